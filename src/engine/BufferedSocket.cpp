#include "engine/BufferedSocket.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/SocketError.h"

namespace {
constexpr char kCR = 13;
constexpr char kLF = 10;
}  // namespace

bool BufferedSocket::AllocateBuffer(int size) {
    if (size <= 0) {
        return false;
    }
    buffer_.reset(new (std::nothrow) char[static_cast<std::size_t>(size)]);
    if (!buffer_) {
        capacity_ = position_ = count_ = 0;
        return false;
    }
    capacity_ = size;
    peerClosed_ = false;  // a fresh buffer starts a fresh connection's reads
    position_ = 0;
    count_ = 0;
    return true;
}

int BufferedSocket::ReceiveBlock() {
    if (!buffer_) {
        SetLastSocketError(wsa::kFault);  // no buffer to receive into
        return -1;
    }
    const long received = Receive(buffer_.get(), static_cast<std::size_t>(capacity_));
    if (received < 0) {
        return -1;
    }
    if (received == 0) {
        // A closed connection carries no error of its own; name it so the failure message says why.
        SetLastSocketError(wsa::kConnectionReset);
        peerClosed_ = true;
        return 0;
    }
    position_ = 0;
    count_ = static_cast<int>(received);
    return count_;
}

int BufferedSocket::ReadLine(std::string& line, int size) {
    line.clear();
    for (;;) {
        if (count_ == 0 && ReceiveBlock() <= 0) {
            return -1;  // partial line kept in `line`
        }
        const char* begin = buffer_.get() + position_;
        const char* cr = static_cast<const char*>(std::memchr(begin, kCR, static_cast<std::size_t>(count_)));
        const int take = cr != nullptr ? static_cast<int>(cr - begin) : count_;
        const int room = size - static_cast<int>(line.size());
        if (take >= room) {
            // The line does not fit: consume what a byte loop would have, the bytes it stored and the one
            // it took and found no room for (the CR itself when the line ends just too late). Whatever
            // the stream holds next is read from the same place then.
            line.append(begin, static_cast<std::size_t>(room > 0 ? room : 0));
            position_ += room > 0 ? room : 0;
            count_ -= room > 0 ? room : 0;
            if (count_ > 0 || ReceiveBlock() > 0) {
                ++position_;
                --count_;
            }
            line.resize(static_cast<std::size_t>(size > 0 ? size - 1 : 0));
            SetLastSocketError(wsa::kMessageTooLong);
            return -1;
        }
        line.append(begin, static_cast<std::size_t>(take));
        position_ += take;
        count_ -= take;
        if (cr == nullptr) {
            continue;
        }
        ++position_;  // the CR
        --count_;
        // Skip the byte after the CR, whatever it is; if it cannot be read it stays unconsumed.
        if (count_ == 0 && ReceiveBlock() <= 0) {
            return static_cast<int>(line.size());
        }
        ++position_;
        --count_;
        return static_cast<int>(line.size());
    }
}

int BufferedSocket::SendAll(const char* data, std::size_t n, bool urgent) {
    std::size_t sent = 0;
    while (sent < n) {
        const long rc = Send(data + sent, n - sent, urgent);
        if (rc < 0) {
            return -1;
        }
        sent += static_cast<std::size_t>(rc);
    }
    return static_cast<int>(n);
}

int BufferedSocket::SendBlock(int n) {
    if (n < 0 || n > capacity_ || !buffer_) {
        SetLastSocketError(wsa::kInvalidArgument);
        return -1;
    }
    return SendAll(buffer_.get(), static_cast<std::size_t>(n));
}

int BufferedSocket::SendLine(std::string_view text) {
    if (text.size() > kMaxLineText) {
        SetLastSocketError(wsa::kMessageTooLong);
        return -1;
    }
    std::array<char, kMaxLineText + 2> line;
    std::memcpy(line.data(), text.data(), text.size());
    line[text.size()] = kCR;
    line[text.size() + 1] = kLF;
    return SendAll(line.data(), text.size() + 2);
}
