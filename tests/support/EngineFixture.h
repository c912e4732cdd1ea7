#pragma once
// What the engine tests share: the fake server's URL, request objects that count their release, a
// logged-in session without a worker whose log and commands are read back from the login on, and the
// locales number formats are checked in.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "hosts/FtpUrl.h"
#include "support/FakeFtpServer.h"
#include "support/FtpSessionTesting.h"
#include "support/RecordingViews.h"

// "ftp://127.0.0.1:<port>/<path>", with `login` ("user:password@") before the host; `scheme` may name
// "ftpes" or "ftps" instead, and `host` "::1" (written in brackets).
std::string ServerUrl(std::uint16_t port, std::string_view path = "", std::string_view login = "",
                      std::string_view scheme = "ftp", std::string_view host = "127.0.0.1");
inline std::string ServerUrl(const FakeFtpServer& server, std::string_view path = "",
                             std::string_view login = "") {
    return ServerUrl(server.Port(), path, login);
}

// A request object that counts its own destruction, to prove it is released exactly once. Built on a
// selection by default, so it also serves where any object will do; Counted<DroppedFiles> for uploads.
template <class Base = SelectionIndexes>
class Counted : public Base {
  public:
    template <class... Args>
    explicit Counted(std::atomic<int>& destroyed, Args&&... args)
        : Base(std::forward<Args>(args)...), destroyed_(destroyed) {}
    ~Counted() override { ++destroyed_; }

  private:
    std::atomic<int>& destroyed_;
};

// A session without a worker on a fake server, driven from the test's own thread.
class EngineSession {
  public:
    using Lines = std::vector<std::string>;

    // The fake server listens on `loopback` ("127.0.0.1" or "::1") and the session connects there.
    explicit EngineSession(std::string_view loopback = "127.0.0.1");

    // Transfers are timed with a clock that never moves unless a test gives its own, so the statistics
    // read "in 0 seconds".
    static TestSessionOptions StillClock(TestSessionOptions options = {});

    // Makes the session on ServerUrl(server, "", login) without connecting.
    void Open(TestSessionOptions options = StillClock(), std::string_view login = "");
    // Opens and connects the control connection, nothing more: the test's thread reads the greeting and
    // plays the worker. False (with a test failure) when that did not work.
    bool OpenControl(TestSessionOptions options = {});
    // Opens and logs in as anonymous; false (with a test failure) when that did not work. What the log
    // and the server recorded so far is left out of the readings below.
    bool Connect(TestSessionOptions options = StillClock());
    FtpContext& Context() { return FtpSessionTesting::Context(*session); }

    // Both log channels since the login, one channel, and every call as "op text" ("op" when it has no
    // text); normalized.
    Lines Log() const;
    Lines Messages() const;
    Lines Traffic() const;
    Lines Calls() const;
    // The texts of one operation's calls since the login, as they were.
    Lines Texts(const std::string& op) const;
    // Commands the server received after the login, normalized.
    Lines Commands() const;
    // The view readings above end here: what the test does afterwards is left out of them.
    void EndReadings() { callEnd_ = views.Calls().size(); }

    // The numbers that change from run to run: the port of a PASV reply or PORT command ("P1,P2"), of
    // an EPSV reply or EPRT command ("|PORT|") and of a data connection (":PORT] for DATA", "]:PORT for
    // DATA").
    static std::string Normalize(const std::string& line);

    const std::string loopback;
    FakeFtpServer server;
    RecordingViews views;
    std::unique_ptr<FtpSession> session;

  private:
    Lines Since(const std::function<bool(const RecordedCall&)>& wanted, bool normalize, bool withOp) const;

    std::size_t callMark_ = 0;
    std::size_t callEnd_ = static_cast<std::size_t>(-1);
    std::size_t commandMark_ = 0;
};

// Runs `body` under the C locale and then each installed locale that writes a decimal comma, and puts
// the caller's locale back; returns how many locales it ran under. Qt installs the user's locale at start,
// so a format that must not follow it is checked this way.
int ForEachLocale(const std::function<void(const char* locale)>& body);
