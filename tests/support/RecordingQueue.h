#pragma once
// A page's request queue for tests: records every request with the slot indexes or dropped paths its object
// carried, and counts Abort calls, as a session would receive them.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
        object.reset();  // taken, as the session takes it
        queued.push_back(request);
        return true;
    }
    void Abort() override { ++aborts; }
    std::vector<Queued> queued;
    int aborts = 0;
};
