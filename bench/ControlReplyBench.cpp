// How fast the control connection reads replies: a loopback peer sends 100,000 one-line replies and then
// 20,000 five-line replies; the reader logs every line to a view that drops it. Prints time and rates.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "engine/FtpSession.h"
#include "views/NullViews.h"
#include "hosts/FtpUrl.h"
#include "listing/RemoteEntry.h"
#include "support/FtpSessionTesting.h"

namespace {

void Run(const char* what, const std::string& reply, int replies, int linesPerReply) {
    Socket listener;
    if (!listener.Create(0, Socket::kStream, "127.0.0.1") || !listener.Listen(5)) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        std::exit(1);
    }
    NullViews views;
    FtpUrl url;
    ParseUrl(url, "ftp://127.0.0.1/");
    auto session = FtpSessionTesting::CreateWithoutWorker(url, views.Views());
    BufferedSocket& control = FtpSessionTesting::Context(*session).Control();
    Socket peer;
    if (!control.Create() || !control.AllocateBuffer(FtpSession::kControlBufferSize) ||
        !control.Connect("127.0.0.1", listener.LocalAddress()->port) || !listener.Accept(peer)) {
        std::fprintf(stderr, "cannot connect over loopback\n");
        std::exit(1);
    }
    std::thread sender([&] {
        std::string block;
        for (int i = 0; i < 100; ++i) {
            block += reply;
        }
        for (int sent = 0; sent < replies; sent += 100) {
            if (peer.Send(block.data(), block.size()) < 0) {
                return;
            }
        }
    });
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < replies; ++i) {
        if (FtpSessionTesting::Context(*session).ReadReply() == 421) {
            std::fprintf(stderr, "reply %d failed\n", i);
            std::exit(1);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sender.join();
    std::printf("%-24s %8d replies in %.3f s: %10.0f replies/s, %10.0f lines/s\n", what, replies, seconds,
                replies / seconds, replies * linesPerReply / seconds);
}

}  // namespace

int main() {
    Run("one-line replies", "226 Transfer complete.\r\n", 100000, 1);
    Run("five-line replies",
        "230-Welcome\r\n    to the\r\n    test\r\n    server\r\n230 Login successful.\r\n", 20000, 5);
    return 0;
}
