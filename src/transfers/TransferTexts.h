#pragma once
// The words and numbers the Transfers page, the title and the progress bar show for the queue's rows and
// its batch: English with a decimal point whatever the user's locale.
#include <cstdint>
#include <string>

#include "transfers/TransferQueue.h"
#include "transfers/TransferRow.h"

class TransferTexts {
  public:
    // "512 bytes", "1.5 KB", "12.0 MB", "3.2 GB"; empty when unknown (negative).
    static std::string Size(std::int64_t bytes);
    // "300.0 KB/s"; empty when nothing moves.
    static std::string Speed(double bytesPerSecond);
    // "0:05", "12:30", "1:02:03"; empty when unknown (negative).
    static std::string TimeLeft(std::int64_t seconds);
    // The Status column: the state, with the reason in words where there is one ("Failed: 550 No such
    // file."), and the attempt while the worker tries again.
    static std::string Status(const TransferRow& row);
    // 0..100; 100 for a done row; -1 when the size is unknown.
    static int Percent(const TransferRow& row);
    // The title's words while a batch runs: "2 of 10 files, 1.5 MB of 12.0 MB, 300.0 KB/s".
    static std::string BatchTitle(const TransferBatchSummary& summary);
    // The progress bar's value for the batch: by bytes when sizes are known, else by files.
    static int BatchPercent(const TransferBatchSummary& summary);
};
