#pragma once
// The blocking stream socket with one private buffer that carries the control connection and every data
// connection: block receives and sends through the buffer, and CR-terminated line reads and line sends.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Socket.h"

class BufferedSocket : public Socket {
  public:
    // Longest command line before CR LF; the line buffer holds it and the two ending bytes.
    static constexpr std::size_t kMaxLineText = 510;

    BufferedSocket() = default;

    // Returns false when the buffer cannot be allocated; capacity, position and count are reset.
    bool AllocateBuffer(int size);
    // One receive of up to capacity bytes, shaped like recv: the count, 0 when the peer closed the
    // connection (its error then reads WSAECONNRESET), -1 on a socket error.
    int ReceiveBlock();
    // True once a receive found the peer's orderly close (which line reads report like a failure).
    bool PeerClosed() const { return peerClosed_; }
    // Reads a line ending at CR (the byte after the CR is skipped) into `line`, at most size - 1
    // characters. Returns its length, or -1 when it does not fit or the connection fails first; in the
    // latter case `line` keeps the partial line.
    int ReadLine(std::string& line, int size);
    // Sends the first n bytes of the buffer, all of them; n, or -1 at the first send error.
    int SendBlock(int n);
    // Sends text followed by CR LF. Refuses (-1, WSAEMSGSIZE) text longer than kMaxLineText.
    int SendLine(std::string_view text);
    // Sends all n bytes of data; n, or -1.
    int SendAll(const char* data, std::size_t n, bool urgent = false);
    // Bytes received into the buffer and not yet consumed by ReadLine.
    int Buffered() const { return count_; }

    char* Buffer() { return buffer_.get(); }
    int Position() const { return position_; }
    int Count() const { return count_; }
    int Capacity() const { return capacity_; }

  private:
    std::unique_ptr<char[]> buffer_;
    int position_ = 0;
    int count_ = 0;
    int capacity_ = 0;
    bool peerClosed_ = false;
};
