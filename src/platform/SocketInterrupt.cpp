#include "platform/SocketInterrupt.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

SocketInterrupt::SocketInterrupt() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SocketInterrupt::~SocketInterrupt() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void SocketInterrupt::Trigger() {
    triggered_.store(true, std::memory_order_release);
    if (fd_ >= 0) {
        const std::uint64_t one = 1;
        // The counter stays non-zero (readable) until Reset drains it; a full counter is still readable.
        [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
    }
}

void SocketInterrupt::Reset() {
    // Drain first: a Trigger racing with this leaves the descriptor readable, which is what waits watch.
    if (fd_ >= 0) {
        std::uint64_t value = 0;
        [[maybe_unused]] const ssize_t n = read(fd_, &value, sizeof value);
    }
    triggered_.store(false, std::memory_order_release);
}
