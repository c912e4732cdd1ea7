#pragma once
// Pings a host on a thread of its own: resolves the host text, sends four ICMP echo requests back to back,
// reports each result in the title and the log, pauses so the last title stays readable, then calls the
// Host page's PingFinished. The object owns that thread.
//
// The Host page starts a run and keeps the returned owner until the next Ping or until it closes:
//
//   ping_ = PingThread::Start(url.host, {status, log, host});   // Ping button
//   ...                                                         // PingFinished arrives on the ping thread
//   ping_.reset();                                              // at exit (or replaced by the next Start)
//
// Destroying the owner asks the run to stop: a pause ends at once, an echo in progress may take its 1000 ms,
// and afterwards no view is called any more (PingFinished included). The destructor waits for the thread at
// most kStopWait; a thread that is still blocked in the name service by then is left to end by itself (it
// holds only its own copy of everything it uses and calls no view). Destroy the owner only where a view call
// from the ping thread cannot be waiting on the destroying thread (the UI bridge is fenced at exit), and not
// from inside PingFinished: both would only cost the kStopWait.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "diag/PingServices.h"
#include "views/HostView.h"
#include "views/LogView.h"
#include "views/StatusView.h"

// The views a ping run reports to; non-owning, they must outlive the run (or its stop request).
struct PingViews {
    StatusView& status;
    LogView& log;
    HostView& host;
};

class PingThread {
  public:
    static constexpr std::chrono::milliseconds kStopWait{2000};

    // Starts the run for `host` (host name, dotted IPv4 or IPv6 address as the user typed it).
    static std::unique_ptr<PingThread> Start(std::string host, PingViews views, PingServices services = {});

    ~PingThread();
    PingThread(const PingThread&) = delete;
    PingThread& operator=(const PingThread&) = delete;

    // Asks the run to stop; returns at once. After this no further view call starts.
    void RequestStop();
    // Waits until the run has ended by itself (after PingFinished) or by a stop request.
    void WaitUntilFinished();

  private:
    struct State;

    PingThread() = default;

    std::shared_ptr<State> state_;
    std::thread thread_;
};
