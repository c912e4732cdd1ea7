// Any bytes from a server through the control connection's reply reader, over loopback. The first byte
// chooses whether an ABOR is outstanding. Every reply must end with a code, every failure with 421 and
// its message, and the reader must stop at the end of the data. Each reply also goes through the FEAT
// reader.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/FtpFeatures.h"
#include "engine/FtpSession.h"
#include "hosts/FtpUrl.h"
#include "listing/RemoteEntry.h"
#include "platform/Socket.h"
#include "support/FtpSessionTesting.h"
#include "views/NullViews.h"

namespace {

class CheckingViews : public NullViews {
  public:
    void LogTraffic(std::string_view line) override {
        // A logged reply line never holds the CR that ends it and never exceeds 255 characters.
        if (line.size() > 256 + 64 || line.find('\r') != std::string_view::npos) {
            std::abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 64 * 1024) {
        return 0;
    }
    static Socket listener;
    static bool listening = listener.Create(0, Socket::kStream, "127.0.0.1") && listener.Listen(5);
    if (!listening) {
        std::abort();
    }
    CheckingViews views;
    FtpUrl url;
    ParseUrl(url, "ftp://127.0.0.1/");
    auto session = FtpSessionTesting::CreateWithoutWorker(url, views.Views());
    BufferedSocket& control = FtpSessionTesting::Context(*session).Control();
    Socket peer;
    if (!control.Create() || !control.AllocateBuffer(FtpSession::kControlBufferSize) ||
        !control.Connect("127.0.0.1", listener.LocalAddress()->port) || !listener.Accept(peer)) {
        std::abort();
    }
    control.SetTimeout(2000);
    const bool abor = (data[0] & 1) != 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (!bytes.empty() && peer.Send(bytes.data(), bytes.size()) != static_cast<long>(bytes.size())) {
        return 0;  // more than the loopback buffers hold at once; not the reader's concern
    }
    // Half-close: the reader sees the end of the data, and the ABOR below still has somewhere to go.
    ::shutdown(peer.Handle(), SHUT_WR);
    if (abor) {
        FtpSessionTesting::Context(*session).Abort().SetTransferring(true);
        session->Abort();
    }
    // Each reply consumes at least one line, so the reads end well before this bound.
    for (std::size_t i = 0; i <= bytes.size() + 1; ++i) {
        FtpReply reply;
        reply.keepLines = true;
        const int code = FtpSessionTesting::Context(*session).ReadReply(&reply);
        // Every reply may be taken for an answer to FEAT: what is kept of it stays within its bounds.
        const FtpFeatures features = FtpFeatures::Parse(reply.lines);
        if (features.Names().size() > FtpFeatures::kMaxFeatures ||
            reply.lines.size() > FtpReply::kMaxKeptLines) {
            std::abort();
        }
        if (code == 421 && reply.codeText == "421") {
            if (reply.lastLine.empty()) {
                return 0;  // the failure (or a genuine bare 421 without text, which still ends here)
            }
        }
        if (reply.codeText.size() != 3 || code < 0 || code > 999) {
            std::abort();
        }
    }
    std::abort();  // never reached the end of the data
}
