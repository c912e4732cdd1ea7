#pragma once
// Turns the plan of a tree transfer into the files to queue: every file whose target exists is asked
// about (at most once when the user answers for all), renamed to a free name, resumed, skipped or
// written over, and the whole transfer may be cancelled.
#include <vector>

#include "engine/FtpRequest.h"

class DownloadChoices;
class TransferPlan;

class TransferPlanResolver {
  public:
    struct Result {
        // The user cancelled: nothing is to be queued.
        bool cancelled = false;
        std::vector<TransferItem> files;
        // Files the user chose to skip: rows that end Skipped at once.
        std::vector<TransferItem> skipped;
    };

    // A download's targets are looked at on the local disk now; an upload's are what the walk found.
    static Result Resolve(const TransferPlan& plan, DownloadChoices& choices);
};
