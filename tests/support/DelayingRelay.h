#pragma once
// A TCP relay on 127.0.0.1 that holds every chunk it carries for a fixed time in each direction before it
// passes it on: a link with a round trip of twice that delay and no bandwidth limit, for benchmarks on
// machines whose kernel has no netem queueing discipline.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class DelayingRelay {
  public:
    // Relays connections made to Port() to 127.0.0.1:`serverPort`, each direction delayed by `oneWay`.
    DelayingRelay(std::uint16_t serverPort, std::chrono::milliseconds oneWay);
    // Closes every connection and joins every thread.
    ~DelayingRelay();
    DelayingRelay(const DelayingRelay&) = delete;
    DelayingRelay& operator=(const DelayingRelay&) = delete;

    bool Listening() const { return listener_ >= 0; }
    std::uint16_t Port() const { return port_; }

  private:
    void Accept();
    // Reads from `from` and writes each chunk to `to` once it is `oneWay_` old, until either side ends.
    void Carry(int from, int to);
    int Track(int fd);

    const std::uint16_t serverPort_;
    const std::chrono::milliseconds oneWay_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<int> sockets_;
    std::vector<std::jthread> threads_;
};
