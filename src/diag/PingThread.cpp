#include "diag/PingThread.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "diag/IcmpStatusName.h"
#include "platform/IcmpStatus.h"
#include "platform/Resolver.h"
#include "platform/WinsockErrorName.h"

namespace {
constexpr int kEchoCount = 4;
constexpr std::chrono::milliseconds kClosingPause{750};
constexpr std::chrono::milliseconds kFailurePause{1500};
}  // namespace

struct PingThread::State {
    State(std::string hostText, PingViews viewSet, PingServices serviceSet)
        : host(std::move(hostText)), views(viewSet), services(std::move(serviceSet)) {}

    const std::string host;
    const PingViews views;
    PingServices services;

    std::mutex mutex;
    std::condition_variable changed;
    bool stopRequested = false;
    bool finished = false;

    bool StopRequested() {
        std::lock_guard lock(mutex);
        return stopRequested;
    }

    // Each view call goes through here, so that none starts after a stop request.
    bool Status(std::optional<std::string_view> text) {
        if (StopRequested()) {
            return false;
        }
        views.status.SetStatus(text);
        return true;
    }

    bool Log(std::string_view line) {
        if (StopRequested()) {
            return false;
        }
        views.log.LogMessage(line);
        return true;
    }

    // False when the pause ended because of a stop request.
    bool Pause(std::chrono::milliseconds length) {
        if (services.pause) {
            services.pause(length);
            return !StopRequested();
        }
        std::unique_lock lock(mutex);
        return !changed.wait_for(lock, length, [this] { return stopRequested; });
    }

    void Run();
    void RunEchoes(const IpAddress& target, const std::string& canonicalName);
};

void PingThread::State::Run() {
    if (!Status("PINGing " + host)) {
        return;
    }
    // Only text that really is an address (dotted IPv4, or IPv6) is taken as one; anything else, a name
    // that starts with a digit included, goes to the name service. An address without a reverse name is
    // pinged anyway under its own text.
    std::optional<IpAddress> target;
    std::string canonicalName;
    if (const auto literal = ParseIpLiteral(host)) {
        target = literal;
        const auto reverse = services.reverseLookup(*literal);
        canonicalName = reverse ? *reverse : FormatIpAddress(*literal);
    } else if (auto resolved = services.resolveName(host)) {
        target = resolved->address;
        canonicalName = std::move(resolved->canonicalName);
    }

    if (!target) {
        // Read before anything else can touch the thread's last error.
        const std::string error = WinsockErrorName();
        if (!Log("PINGing " + host) || !Status(error) || !Log("..." + error) || !Pause(kFailurePause)) {
            return;
        }
    } else {
        RunEchoes(*target, canonicalName);
    }
    if (StopRequested()) {
        return;
    }
    views.host.PingFinished();
}

void PingThread::State::RunEchoes(const IpAddress& target, const std::string& canonicalName) {
    // An IPv6 address stands where the dotted one does, in the same brackets.
    const std::string address = FormatIpAddress(target);
    if (!Log("PINGing " + canonicalName + " [" + address + "]")) {
        return;
    }
    PingEchoFunction echo = services.openEcho();
    std::chrono::milliseconds pause = kClosingPause;
    const std::string prefix = "[" + address + "]:";
    std::string line = prefix;
    if (!Status(line)) {
        return;
    }
    for (int attempt = 0; attempt < kEchoCount; ++attempt) {
        const IcmpEchoResult answer = echo(target);
        std::string result;
        std::string status;
        if (answer.status == ip::kSuccess) {
            result = std::to_string(answer.roundTripMs) + "ms";
            status = result;
        } else {
            result = "****";
            status = IcmpStatusName(answer.status);
        }
        line += attempt == 0 ? " " : ", ";
        line += result;
        if (!Status(line) || !Log("... " + status)) {
            return;
        }
        if (answer.status != ip::kSuccess && answer.status != ip::kReqTimedOut) {
            if (!Status(prefix + " " + status)) {
                return;
            }
            pause = kFailurePause;
            break;
        }
    }
    Pause(pause);
    echo = nullptr;  // closes the echo service before the page hears that the ping is over
}

std::unique_ptr<PingThread> PingThread::Start(std::string host, PingViews views, PingServices services) {
    std::unique_ptr<PingThread> owner(new PingThread());
    owner->state_ = std::make_shared<State>(std::move(host), views, std::move(services));
    // The thread keeps its own reference: if it has to be left running at exit, nothing it uses goes away.
    owner->thread_ = std::thread([state = owner->state_] {
        state->Run();
        std::lock_guard lock(state->mutex);
        state->finished = true;
        state->changed.notify_all();
    });
    return owner;
}

void PingThread::RequestStop() {
    std::lock_guard lock(state_->mutex);
    state_->stopRequested = true;
    state_->changed.notify_all();
}

void PingThread::WaitUntilFinished() {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [this] { return state_->finished; });
}

PingThread::~PingThread() {
    RequestStop();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // destroyed from one of its own view calls: it ends as soon as that returns
        return;
    }
    bool finished = false;
    {
        std::unique_lock lock(state_->mutex);
        finished = state_->changed.wait_for(lock, kStopWait, [this] { return state_->finished; });
    }
    if (finished) {
        thread_.join();
    } else {
        thread_.detach();
    }
}
