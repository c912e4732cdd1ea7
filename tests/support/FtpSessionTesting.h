#pragma once
// What tests, benchmarks and fuzz targets reach of a session that the pages never do: a session without
// a worker driven from the caller's own thread, its context, and hooks that replace the handlers or the
// clock so that a worker's output is exact.
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>

#include "engine/FtpContext.h"
#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "hosts/FtpUrl.h"

// The session's options with the test hooks beside them.
struct TestSessionOptions : FtpSessionOptions {
    TestSessionOptions() = default;
    TestSessionOptions(const FtpSessionOptions& options) : FtpSessionOptions(options) {}  // NOLINT: widening
    // When set, serves every request except Logoff instead of the built-in handlers: tests of the
    // worker loop itself, independent of what the handlers send.
    std::function<int(FtpContext&, FtpRequest&)> handlerOverride;
    // The millisecond tick count transfers are timed with; empty: the steady clock.
    std::function<std::uint32_t()> tickSource;
};

class FtpSessionTesting {
  public:
    // A session without a worker: its handle works as usual but never reports an end.
    static std::unique_ptr<FtpSession> CreateWithoutWorker(FtpUrl url, SessionViews views,
                                                           const TestSessionOptions& options = {}) {
        std::unique_ptr<FtpSession> session(new FtpSession(std::move(url), views, options));
        Hook(*session, options);
        return session;
    }
    static std::shared_ptr<FtpSessionHandle> Start(FtpUrl url, SessionViews views,
                                                   const TestSessionOptions& options = {}) {
        std::unique_ptr<FtpSession> session(new FtpSession(std::move(url), views, options));
        Hook(*session, options);
        return FtpSession::StartWorker(std::move(session));
    }
    static std::shared_ptr<FtpSessionHandle> Start(std::string_view urlText, SessionViews views,
                                                   const TestSessionOptions& options = {}) {
        FtpUrl url;
        ParseUrl(url, urlText);
        return Start(std::move(url), views, options);
    }
    static FtpContext& Context(FtpSession& session) { return session.context_; }
    // Runs on the caller's thread what Start's worker runs (connect, log in, serve the queue until
    // Logoff or the end, the end's reports and ResetAfterSession) and frees the session: a fuzz target
    // runs one session per input without starting a thread for each.
    static void RunOnThisThread(std::unique_ptr<FtpSession> session) { FtpSession::Run(std::move(session)); }

  private:
    static void Hook(FtpSession& session, const TestSessionOptions& options) {
        session.handlerOverride_ = options.handlerOverride;
        session.context_.tickSource_ = options.tickSource;
    }
};
