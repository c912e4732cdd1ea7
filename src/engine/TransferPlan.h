#pragma once
// What a Get or a Put holding folders will move, found by walking the trees (the server's for a download,
// the local ones for an upload): the folders to make and every file, with what exists at each target so
// that the Remote page can ask about conflicts before any row is made. The walk's request posts it to the
// page; the Get or Put the page then queues carries the files as TransferItems.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/FtpRequest.h"

struct PlannedFile {
    // Everything but its row: localPath and remoteFolder already point into the tree.
    TransferItem item;
    // What is at the target already. A download's target is looked at by the page (the local disk may
    // change while the walk runs); an upload's by the walk (the server's listing of an existing folder).
    bool targetExists = false;
    std::int64_t targetSize = -1;
    std::int64_t targetTime = -1;
};

class TransferPlan : public FtpRequestObject {
  public:
    // Deeper folders are not entered, with a log line.
    static constexpr int kMaxDepth = 64;

    // A Put (local trees to the server) rather than a Get.
    bool upload = false;
    // Transfer type index (kAsciiType, kImageType).
    int type = kImageType;
    // Download: the chosen local folder; upload: where the local paths were.
    std::string localFolder;
    // The server folder the selection was made in, or uploaded into; absolute.
    std::string remoteFolder;
    // Folders to make on the receiving side, parents first. An upload's holds only those its walk did not
    // find on the server.
    std::vector<TransferFolder> folders;
    std::vector<PlannedFile> files;
    // Upload: the names found in each server folder that exists already (absolute path -> names), for
    // a free name when the user answers Rename.
    std::unordered_map<std::string, std::unordered_set<std::string>> remoteNames;
    // What the walk left out, one line each in words (a refused name, a folder it could not read, a tree
    // deeper than kMaxDepth, a link loop); already logged.
    std::vector<std::string> problems;
    // The walk was stopped (Escape): nothing is to be queued.
    bool stopped = false;
};
