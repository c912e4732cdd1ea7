#pragma once
// A page's request queue for tests: records every request with the slot indexes, dropped paths or
// transfer items its object carried, and counts Abort calls, as a session would receive them.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/DeletePlan.h"
#include "engine/FtpRequest.h"
#include "remote/RemoteRequestQueue.h"

struct Queued {
    FtpRequestKind kind;
    std::string text;
    std::vector<std::int32_t> indexes = {};
    std::vector<std::string> paths = {};
    int value = 0;
    bool operator==(const Queued&) const = default;
};

class RecordingQueue : public RemoteRequestQueue {
  public:
    bool Enqueue(FtpRequestKind kind, std::string_view text, std::unique_ptr<FtpRequestObject>& object,
                 int value) override {
        Queued request{kind, std::string(text), {}, {}, value};
        if (const auto* selection = dynamic_cast<SelectionIndexes*>(object.get())) {
            request.indexes = selection->indexes;
        }
        if (const auto* dropped = dynamic_cast<DroppedFiles*>(object.get())) {
            request.paths = dropped->paths;
        }
        // Rename: the slot, and the old and the new name.
        if (const auto* names = dynamic_cast<RenameNames*>(object.get())) {
            request.indexes = {names->slot};
            request.paths = {names->oldName, names->newName};
        }
        // Walk: the slots, and the folder then each name ("name/" for a folder, "name@" for a link).
        if (const auto* selection = dynamic_cast<FolderSelection*>(object.get())) {
            request.paths = {selection->folder};
            for (const auto& chosen : selection->entries) {
                request.indexes.push_back(chosen.slot);
                request.paths.push_back(chosen.name + (chosen.folder ? "/" : chosen.link ? "@" : ""));
            }
        }
        // Removal: each step's slot and path.
        if (const auto* plan = dynamic_cast<DeletePlan*>(object.get())) {
            for (const auto& step : plan->steps) {
                request.indexes.push_back(step.slot);
                request.paths.push_back(step.path);
            }
        }
        if (refuse) {
            return false;
        }
        if (const auto* transfers = dynamic_cast<TransferItems*>(object.get())) {
            transferItems.push_back(transfers->items);
            transferFolders.push_back(transfers->folders);
        }
        object.reset();  // taken, as the session takes it
        queued.push_back(request);
        return true;
    }
    void Abort() override { ++aborts; }
    std::string Site() const override { return site; }
    std::vector<Queued> queued;
    // The items of each request that carried TransferItems, in order.
    std::vector<std::vector<TransferItem>> transferItems;
    // The folders each of those requests makes first.
    std::vector<std::vector<TransferFolder>> transferFolders;
    std::string site;
    // Answer as a session that has ended: nothing is taken.
    bool refuse = false;
    int aborts = 0;
};
