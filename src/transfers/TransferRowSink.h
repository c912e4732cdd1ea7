#pragma once
// Where a page puts the files of a Get or a Put: each becomes a queue row, and what comes back is the
// request's object naming those rows. The transfer queue in the program, a recorder in tests.
#include <memory>
#include <string_view>
#include <vector>

#include "engine/FtpRequest.h"
#include "transfers/TransferRow.h"

class TransferRowSink {
  public:
    virtual ~TransferRowSink() = default;
    // `files` as the page knows them (their `row` is ignored); `site` may hold a password, which is not
    // kept. The result's items carry their row ids and the queue's stop list.
    virtual std::unique_ptr<TransferItems> AddTransfers(TransferDirection direction, std::string_view site,
                                                        int type, const std::vector<TransferItem>& files) = 0;
    // The request naming `items` could not be queued (the session had ended): their rows end with `reason`.
    virtual void NotEnqueued(const TransferItems& items, std::string_view reason) = 0;
    // Rows made for files the user chose to skip (a conflict answered Skip): they end Skipped with
    // `reason` at once.
    virtual void SkipRows(const TransferItems& /*items*/, std::string_view /*reason*/) {}
};
