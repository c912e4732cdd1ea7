#pragma once
// What a Delete of a selection holding folders will remove, found by walking the folders' trees: every
// file, link and folder in removal order (a folder after everything in it), with the counts the user is
// asked about. The walk's request posts it to the Remote page; the removal's request carries it back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/FtpRequest.h"
#include "listing/RemoteEntry.h"

struct DeleteStep {
    // Absolute on the server, as the server's bytes: what DELE or RMD is sent with.
    std::string path;
    // Relative to the selection's folder ("a/b/c.txt"): what the log and the failure line name.
    std::string shownName;
    // Directory: RMD; File and Link: DELE (a link is removed as itself, never followed).
    EntryKind kind = EntryKind::File;
    // The Remote page's slot of a selected entry; -1 for what lies below one.
    std::int32_t slot = -1;
    // The step of the folder holding it; -1 for a selected entry.
    std::int32_t parent = -1;
    // Never sent: a folder that could not be listed, or lies deeper than the walk goes.
    bool keep = false;
};

class DeletePlan : public FtpRequestObject {
  public:
    // Deeper folders are not entered: they, and the folders holding them, stay.
    static constexpr int kMaxDepth = 64;

    // The folder the selection was made in, absolute.
    std::string folder;
    std::vector<DeleteStep> steps;
    // Selected folders, the files and links anywhere below them, and the selected files and links.
    int selectedFolders = 0;
    int filesBelow = 0;
    int selectedFiles = 0;
    // Folders that will stay because the walk could not look into them (refused listing, too deep).
    int unreadFolders = 0;

    // A walked folder's own step, after the steps of what it holds (`children`, indexes into steps):
    // they get it as their parent. `keep`: the folder could not be read and stays.
    void AddFolderStep(std::string path, std::string shownName, std::int32_t slot, bool keep,
                       const std::vector<std::size_t>& children) {
        if (keep) {
            ++unreadFolders;
        }
        steps.push_back({std::move(path), std::move(shownName), EntryKind::Directory, slot, -1, keep});
        const auto folderStep = static_cast<std::int32_t>(steps.size() - 1);
        for (const std::size_t child : children) {
            steps[child].parent = folderStep;
        }
    }
};
