#pragma once
// The SFTP session's walks of folder trees for a Get or a Put holding folders: the server's trees listed
// once per folder (links followed once, by their resolved path) or the local trees with the server
// folders that exist already, posted as a TransferPlan to the Remote page; and the server folders a Put
// of such a plan makes before its files.
#include <string>
#include <vector>

#include "engine/FtpUploadTrees.h"
#include "sftp/SftpContext.h"

struct FtpRequest;
struct TransferFolder;

class SftpTreeWalk {
  public:
    // request.text: the chosen local folder; request.object: FolderSelection; request.value: transfer
    // type. Posts the plan (marked stopped after Escape) unless the connection was lost.
    static SftpOutcome WalkDownload(SftpContext& context, FtpRequest& request);
    // request.text: the server folder uploaded into (the one shown when empty); request.object:
    // DroppedFiles; request.value: transfer type. Walks the local trees, lists each planned server folder
    // that exists already once, and posts the plan unless the connection was lost.
    static SftpOutcome WalkUpload(SftpContext& context, FtpRequest& request);

    // Makes each server folder, parents first; one that exists already is fine. A folder that cannot be
    // made, and every folder below it, lands in `failed` with the reason; a folder made in the one shown
    // is told to the Remote page. False when the connection was lost (`lost` says why); stops early on
    // Escape, leaving it requested.
    static bool MakeFolders(SftpContext& context, const std::vector<TransferFolder>& folders,
                            FtpUploadTrees::FolderFailures& failed, std::string& lost);
};
