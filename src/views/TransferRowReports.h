#pragma once
// The transfer queue's reports of one row, for the engines that move its files: nothing is reported for
// an item that names no row (a plain selection or a drop outside the queue).
#include <cstdint>
#include <string_view>

#include "views/TransferView.h"

class TransferRowReports {
  public:
    TransferRowReports(TransferView& view, std::uint64_t row) : view_(view), row_(row) {}
    void Retrying(int attempt, int delayMs, std::string_view reason) {
        if (row_ != 0) {
            view_.TransferRetrying(row_, attempt, (delayMs + 500) / 1000, reason);
        }
    }
    void Ended(TransferEnd end, std::string_view reason) {
        if (row_ != 0) {
            view_.TransferEnded(row_, end, reason);
        }
    }

  private:
    TransferView& view_;
    std::uint64_t row_;
};
