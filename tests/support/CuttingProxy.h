#pragma once
// A TCP relay on 127.0.0.1 between the engine and a real FTP server, for tests that cut a transfer half-way:
// it passes the control connection through, answers each 227 reply with a data listener of its own, and
// relays the data connections, cutting one (both sides closed) once it has carried a given number of
// bytes. Passive mode over IPv4 only.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CuttingProxy {
  public:
    // Relays to the server at 127.0.0.1:`serverPort`; Port() is where the engine connects.
    explicit CuttingProxy(std::uint16_t serverPort);
    // Closes every connection and joins every relay.
    ~CuttingProxy();
    CuttingProxy(const CuttingProxy&) = delete;
    CuttingProxy& operator=(const CuttingProxy&) = delete;

    bool Listening() const { return listener_ >= 0; }
    std::uint16_t Port() const { return port_; }
    // The next data connection is cut once `bytes` have passed it (either way); < 0: none is.
    void CutNextDataAfter(std::int64_t bytes) { cutAfter_ = bytes; }
    // Data connections cut so far, and the bytes all data connections carried.
    int Cuts() const { return cuts_; }
    std::int64_t DataBytes() const { return dataBytes_; }

  private:
    // Accepts control connections until the proxy goes away.
    void AcceptControl();
    // One control connection: the client's bytes go to the server as they are; the server's replies go
    // back line by line, 227 replies naming a data listener of the proxy's.
    void RelayControl(int client, int server);
    // Listens for the client's data connection for a 227 that named `serverDataPort`.
    std::uint16_t OpenDataListener(std::uint16_t serverDataPort);
    void RelayData(int listener, std::uint16_t serverDataPort);
    // Copies from `from` to `to` until either ends; `counted` bytes are added up, and a copy that passes
    // `cutAt` (>= 0) ends both connections (`engine` names the engine's end).
    void Pump(int from, int to, std::atomic<std::int64_t>* counted, std::int64_t cutAt, int engine);
    // Resets the connection of `fd` while keeping the number valid.
    static void Cut(int fd);
    void Spawn(std::jthread thread);
    // Registers a socket so that the destructor can end the relay blocked on it.
    int Track(int fd);

    const std::uint16_t serverPort_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::int64_t> cutAfter_{-1};
    std::atomic<int> cuts_{0};
    std::atomic<std::int64_t> dataBytes_{0};
    std::mutex mutex_;
    std::vector<int> sockets_;
    std::vector<std::jthread> threads_;
};
