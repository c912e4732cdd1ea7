#include "diag/PingThread.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/IcmpStatus.h"
#include "platform/Resolver.h"
#include "platform/SocketError.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

IpAddress Address(const char* text) {
    return ParseIpLiteral(text).value_or(IpAddress{});
}

// Everything the run does, in order: view calls and calls to its services.
class Recorder : public StatusView, public LogView, public HostView {
  public:
    void SetStatus(std::optional<std::string_view> text) override {
        Add(text ? "status:" + std::string(*text) : "status:<bare>");
    }
    void SetProgress(int) override { Add("progress"); }
    void LogTraffic(std::string_view line) override { Add("traffic:" + std::string(line)); }
    void LogMessage(std::string_view line) override { Add("log:" + std::string(line)); }
    void ShowConnected(std::string_view) override { Add("connected"); }
    void ResetAfterSession() override { Add("reset"); }
    void PingFinished() override { Add("finished"); }
    void AskCertificateTrust(const CertificateQuestion&,
                             std::function<void(CertificateTrust)> answer) override {
        answer(CertificateTrust::Cancel);
    }

    void Add(std::string event) {
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard lock(mutex_);
            events_.push_back(event);
            hook = onEvent;
        }
        if (hook) {
            hook(event);
        }
    }
    std::vector<std::string> Events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    PingViews Views() { return {*this, *this, *this}; }

    // Runs on the ping thread inside the view call; set before the run starts.
    std::function<void(const std::string&)> onEvent;

  private:
    std::mutex mutex_;
    std::vector<std::string> events_;
};

// A scripted outside world: names, reverse names, echo results; every use is recorded.
struct Script {
    std::map<std::string, ResolvedHost> names;
    int resolveError = wsa::kHostNotFound;
    std::map<std::string, std::string> reverseNames;
    std::vector<IcmpEchoResult> echoes;
};

PingServices Scripted(Recorder& recorder, const Script& script) {
    PingServices services;
    services.resolveName = [&recorder, script](std::string_view name) -> std::optional<ResolvedHost> {
        recorder.Add("resolve:" + std::string(name));
        const auto found = script.names.find(std::string(name));
        if (found == script.names.end()) {
            SetLastSocketError(script.resolveError);
            return std::nullopt;
        }
        return found->second;
    };
    services.reverseLookup = [&recorder, script](const IpAddress& address) -> std::optional<std::string> {
        recorder.Add("reverse:" + FormatIpAddress(address));
        const auto found = script.reverseNames.find(FormatIpAddress(address));
        if (found == script.reverseNames.end()) {
            SetLastSocketError(wsa::kHostNotFound);
            return std::nullopt;
        }
        return found->second;
    };
    services.openEcho = [&recorder, script]() -> PingEchoFunction {
        recorder.Add("open");
        // Closing the echo service shows as the destruction of the last copy of this guard.
        auto closed = std::shared_ptr<void>(nullptr, [&recorder](void*) { recorder.Add("close"); });
        auto next = std::make_shared<std::size_t>(0);
        return [&recorder, script, closed, next](const IpAddress& destination) {
            recorder.Add("echo:" + FormatIpAddress(destination));
            return (*next)++ < script.echoes.size() ? script.echoes[*next - 1]
                                                    : IcmpEchoResult{ip::kReqTimedOut, 0};
        };
    };
    services.pause = [&recorder](std::chrono::milliseconds length) {
        recorder.Add("pause:" + std::to_string(length.count()));
    };
    return services;
}

IcmpEchoResult Ms(std::uint32_t ms) {
    return {ip::kSuccess, ms};
}
IcmpEchoResult Fails(int status) {
    return {status, 0};
}

const ResolvedHost kName{Address("10.1.2.3"), "name"};

TEST(PingThread, RunsAsTheExamplesShow) {
    struct Case {
        const char* name;
        std::string host;
        Script script;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"answers and a time-out",
         "host",
         {{{"host", kName}}, 0, {}, {Ms(12), Ms(15), Fails(ip::kReqTimedOut), Ms(11)}},
         {"status:PINGing host",
          "resolve:host",
          "log:PINGing name [10.1.2.3]",
          "open",
          "status:[10.1.2.3]:",
          "echo:10.1.2.3",
          "status:[10.1.2.3]: 12ms",
          "log:... 12ms",
          "echo:10.1.2.3",
          "status:[10.1.2.3]: 12ms, 15ms",
          "log:... 15ms",
          "echo:10.1.2.3",
          "status:[10.1.2.3]: 12ms, 15ms, ****",
          "log:... IP_REQ_TIMED_OUT",
          "echo:10.1.2.3",
          "status:[10.1.2.3]: 12ms, 15ms, ****, 11ms",
          "log:... 11ms",
          "pause:750",
          "close",
          "finished"}},
        {"four answers",
         "host",
         {{{"host", kName}}, 0, {}, {Ms(0), Ms(1), Ms(999), Ms(4294967295u)}},
         {"status:PINGing host",
          "resolve:host",
          "log:PINGing name [10.1.2.3]",
          "open",
          "status:[10.1.2.3]:",
          "echo:10.1.2.3",
          "status:[10.1.2.3]: 0ms",
          "log:... 0ms",
          "echo:10.1.2.3",
          "status:[10.1.2.3]: 0ms, 1ms",
          "log:... 1ms",
          "echo:10.1.2.3",
          "status:[10.1.2.3]: 0ms, 1ms, 999ms",
          "log:... 999ms",
          "echo:10.1.2.3",
          "status:[10.1.2.3]: 0ms, 1ms, 999ms, 4294967295ms",
          "log:... 4294967295ms",
          "pause:750",
          "close",
          "finished"}},
        {"four time-outs",
         "host",
         {{{"host", kName}}, 0, {}, std::vector<IcmpEchoResult>(4, Fails(ip::kReqTimedOut))},
         {"status:PINGing host",
          "resolve:host",
          "log:PINGing name [10.1.2.3]",
          "open",
          "status:[10.1.2.3]:",
          "echo:10.1.2.3",
          "status:[10.1.2.3]: ****",
          "log:... IP_REQ_TIMED_OUT",
          "echo:10.1.2.3",
          "status:[10.1.2.3]: ****, ****",
          "log:... IP_REQ_TIMED_OUT",
          "echo:10.1.2.3",
          "status:[10.1.2.3]: ****, ****, ****",
          "log:... IP_REQ_TIMED_OUT",
          "echo:10.1.2.3",
          "status:[10.1.2.3]: ****, ****, ****, ****",
          "log:... IP_REQ_TIMED_OUT",
          "pause:750",
          "close",
          "finished"}},
        {"an unreachable network on the second echo",
         "host",
         {{{"host", kName}}, 0, {}, {Ms(12), Fails(ip::kDestNetUnreachable), Ms(1), Ms(1)}},
         {"status:PINGing host", "resolve:host", "log:PINGing name [10.1.2.3]", "open",
          "status:[10.1.2.3]:", "echo:10.1.2.3", "status:[10.1.2.3]: 12ms", "log:... 12ms", "echo:10.1.2.3",
          "status:[10.1.2.3]: 12ms, ****", "log:... IP_DEST_NET_UNREACHABLE",
          "status:[10.1.2.3]: IP_DEST_NET_UNREACHABLE", "pause:1500", "close", "finished"}},
        {"a code outside the table",
         "host",
         {{{"host", kName}}, 0, {}, {Fails(12345)}},
         {"status:PINGing host", "resolve:host", "log:PINGing name [10.1.2.3]", "open",
          "status:[10.1.2.3]:", "echo:10.1.2.3", "status:[10.1.2.3]: ****", "log:... <IPunknown>",
          "status:[10.1.2.3]: <IPunknown>", "pause:1500", "close", "finished"}},
        {"no right to send echoes",
         "127.0.0.1",
         {{}, 0, {{"127.0.0.1", "localhost"}}, {Fails(ip::kGeneralFailure)}},
         {"status:PINGing 127.0.0.1", "reverse:127.0.0.1", "log:PINGing localhost [127.0.0.1]", "open",
          "status:[127.0.0.1]:", "echo:127.0.0.1", "status:[127.0.0.1]: ****", "log:... IP_GENERAL_FAILURE",
          "status:[127.0.0.1]: IP_GENERAL_FAILURE", "pause:1500", "close", "finished"}},
        {"an unknown host",
         "nowhere.example",
         {{}, wsa::kHostNotFound, {}, {}},
         {"status:PINGing nowhere.example", "resolve:nowhere.example", "log:PINGing nowhere.example",
          "status:WSAHOST_NOT_FOUND", "log:...WSAHOST_NOT_FOUND", "pause:1500", "finished"}},
        {"a name service failure keeps its own name",
         "flaky.example",
         {{}, wsa::kTryAgain, {}, {}},
         {"status:PINGing flaky.example", "resolve:flaky.example", "log:PINGing flaky.example",
          "status:WSATRY_AGAIN", "log:...WSATRY_AGAIN", "pause:1500", "finished"}},
        // A name that begins with a digit is still a name.
        {"a host name that begins with a digit",
         "3com.example",
         {{{"3com.example", {Address("10.9.8.7"), "www.3com.example"}}}, 0, {}, std::vector(4, Ms(5))},
         {"status:PINGing 3com.example", "resolve:3com.example", "log:PINGing www.3com.example [10.9.8.7]",
          "open", "status:[10.9.8.7]:", "..."}},
        {"digits and dots that are no address",
         "1.2.3",
         {{}, wsa::kHostNotFound, {}, {}},
         {"status:PINGing 1.2.3", "resolve:1.2.3", "log:PINGing 1.2.3", "status:WSAHOST_NOT_FOUND",
          "log:...WSAHOST_NOT_FOUND", "pause:1500", "finished"}},
        {"a dotted address with a reverse name",
         "10.1.2.3",
         {{}, 0, {{"10.1.2.3", "router.example"}}, std::vector(4, Ms(2))},
         {"status:PINGing 10.1.2.3", "reverse:10.1.2.3", "log:PINGing router.example [10.1.2.3]", "open",
          "status:[10.1.2.3]:", "..."}},
        // Pinged all the same, under its own text.
        {"a dotted address without a reverse name",
         "192.0.2.7",
         {{}, 0, {}, std::vector(4, Ms(3))},
         {"status:PINGing 192.0.2.7", "reverse:192.0.2.7", "log:PINGing 192.0.2.7 [192.0.2.7]", "open",
          "status:[192.0.2.7]:", "..."}},
        // IPv6: the same texts, with the IPv6 address where the dotted one stands.
        {"a name whose first address is IPv6",
         "dual.example",
         {{{"dual.example", {Address("2001:db8::5"), "www.dual.example"}}},
          0,
          {},
          {Fails(ip::kDestHostUnreachable)}},
         {"status:PINGing dual.example", "resolve:dual.example", "log:PINGing www.dual.example [2001:db8::5]",
          "open", "status:[2001:db8::5]:", "echo:2001:db8::5", "status:[2001:db8::5]: ****",
          "log:... IP_DEST_HOST_UNREACHABLE", "status:[2001:db8::5]: IP_DEST_HOST_UNREACHABLE", "pause:1500",
          "close", "finished"}},
        {"an IPv6 address with a reverse name",
         "::1",
         {{}, 0, {{"::1", "ip6-localhost"}}, std::vector(4, Ms(0))},
         {"status:PINGing ::1", "reverse:::1", "log:PINGing ip6-localhost [::1]", "open",
          "status:[::1]:", "echo:::1", "status:[::1]: 0ms", "..."}},
        {"an IPv6 address without a reverse name",
         "2001:DB8::7",
         {{}, 0, {}, std::vector(4, Ms(3))},
         {"status:PINGing 2001:DB8::7", "reverse:2001:db8::7", "log:PINGing 2001:db8::7 [2001:db8::7]",
          "open", "status:[2001:db8::7]:", "..."}},
        {"an IPv6 address with a zone",
         "fe80::1%lo",
         {{}, 0, {}, std::vector(4, Ms(3))},
         {"status:PINGing fe80::1%lo", "reverse:fe80::1%lo", "log:PINGing fe80::1%lo [fe80::1%lo]", "open",
          "status:[fe80::1%lo]:", "..."}},
        // An IPv4 address written as IPv6 is the IPv4 address it holds.
        {"an IPv4-mapped IPv6 address",
         "::ffff:192.0.2.9",
         {{}, 0, {}, std::vector(4, Ms(3))},
         {"status:PINGing ::ffff:192.0.2.9", "reverse:192.0.2.9", "log:PINGing 192.0.2.9 [192.0.2.9]", "open",
          "status:[192.0.2.9]:", "..."}},
        {"an address in brackets is looked up as a name",
         "[::1]",
         {{}, wsa::kHostNotFound, {}, {}},
         {"status:PINGing [::1]", "resolve:[::1]", "log:PINGing [::1]", "status:WSAHOST_NOT_FOUND",
          "log:...WSAHOST_NOT_FOUND", "pause:1500", "finished"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder recorder;
        auto ping = PingThread::Start(c.host, recorder.Views(), Scripted(recorder, c.script));
        ping->WaitUntilFinished();
        const auto events = recorder.Events();
        if (c.expected.back() == "...") {
            // Only how the host was resolved matters here; the echoes run as in the cases above.
            const std::vector<std::string> head(c.expected.begin(), c.expected.end() - 1);
            ASSERT_GE(events.size(), head.size());
            EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + head.size()), head);
            EXPECT_EQ(events.back(), "finished");
        } else {
            EXPECT_EQ(events, c.expected);
        }
    }
}

// ---- Stopping: the owner's destruction at exit ----

TEST(PingThread, StopCutsThePauseShortAndSilencesTheRun) {
    Recorder recorder;
    Script script{{{"host", kName}}, 0, {}, {Fails(ip::kDestNetUnreachable)}};
    PingServices services = Scripted(recorder, script);
    services.pause = nullptr;  // the run's own pause, 1500 ms here
    std::promise<void> failureShown;
    recorder.onEvent = [&failureShown](const std::string& event) {
        if (event == "status:[10.1.2.3]: IP_DEST_NET_UNREACHABLE") {
            failureShown.set_value();
        }
    };
    auto ping = PingThread::Start("host", recorder.Views(), services);
    failureShown.get_future().wait();
    const auto start = Clock::now();
    ping.reset();
    // The pause would have lasted 1500 ms; ending it is the point here, not speed.
    EXPECT_LT(Clock::now() - start, 1000ms);
    const auto events = recorder.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "close") << "no view call after the stop request, PingFinished included";
}

TEST(PingThread, AnEchoInProgressFinishesButIsNotReported) {
    Recorder recorder;
    Script script{{{"host", kName}}, 0, {}, {}};
    PingServices services = Scripted(recorder, script);
    std::promise<void> echoStarted;
    services.openEcho = [&echoStarted]() -> PingEchoFunction {
        return [&echoStarted](const IpAddress&) {
            echoStarted.set_value();
            std::this_thread::sleep_for(300ms);
            return Ms(1);
        };
    };
    auto ping = PingThread::Start("host", recorder.Views(), services);
    echoStarted.get_future().wait();
    ping.reset();
    EXPECT_EQ(recorder.Events(),
              (std::vector<std::string>{"status:PINGing host", "resolve:host", "log:PINGing name [10.1.2.3]",
                                        "status:[10.1.2.3]:"}));
}

// A name service that does not answer cannot hold the program's exit for longer than the stop wait.
TEST(PingThread, AHangingNameServiceDoesNotHoldTheOwner) {
    Recorder recorder;
    struct Gate {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
    };
    auto gate = std::make_shared<Gate>();
    std::promise<void> resolving;
    PingServices services = Scripted(recorder, Script{});
    services.resolveName = [gate, &resolving](std::string_view) -> std::optional<ResolvedHost> {
        resolving.set_value();
        std::unique_lock lock(gate->mutex);
        gate->opened.wait(lock, [&] { return gate->open; });
        SetLastSocketError(wsa::kHostNotFound);
        return std::nullopt;
    };
    auto ping = PingThread::Start("slow.example", recorder.Views(), services);
    resolving.get_future().wait();
    const auto start = Clock::now();
    ping.reset();
    EXPECT_LT(Clock::now() - start, PingThread::kStopWait + 1s);
    {
        std::lock_guard lock(gate->mutex);
        gate->open = true;
    }
    gate->opened.notify_all();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(recorder.Events(), std::vector<std::string>{"status:PINGing slow.example"});
}

// ---- The real thing, on loopback only ----

// One real run against `host` on loopback: four answers, each shown and logged.
void PingLoopback(const std::string& host, const char* logged) {
    Recorder recorder;
    auto ping = PingThread::Start(host, recorder.Views());
    ping->WaitUntilFinished();
    const auto events = recorder.Events();
    ASSERT_EQ(events.size(), 12u) << testing::PrintToString(events);
    EXPECT_EQ(events[0], "status:PINGing " + host);
    EXPECT_TRUE(std::regex_match(events[1], std::regex(logged))) << events[1];
    EXPECT_EQ(events[2], "status:[" + host + "]:");
    std::string line = "status:[" + host + "]:";
    for (int i = 0; i < 4; ++i) {
        const std::string& status = events[3 + 2 * i];
        const std::string& log = events[4 + 2 * i];
        std::smatch ms;
        ASSERT_TRUE(std::regex_match(log, ms, std::regex(R"(log:\.\.\. (\d+ms))"))) << log;
        line += (i == 0 ? " " : ", ") + ms[1].str();
        EXPECT_EQ(status, line);
    }
    EXPECT_EQ(events[11], "finished");
}

// A loopback address of each family; a family the host cannot ping, or whose loopback is not configured,
// is skipped.
struct LoopbackRow {
    const char* name;
    std::string host;
    int family;
    const char* logged;  // the log line that names the host, as a pattern
};

bool LoopbackConfigured(const std::string& host) {
    const auto address = ParseIpLiteral(host);
    const int probe = address ? socket(address->Family(), SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
    if (probe < 0) {
        return false;
    }
    IpAddress to = *address;
    reinterpret_cast<sockaddr_in&>(to.storage).sin_port = htons(9);  // same place in both families
    const bool ok = connect(probe, reinterpret_cast<const sockaddr*>(&to.storage), to.length) == 0;
    close(probe);
    return ok;
}

class PingsLoopbackForReal : public testing::TestWithParam<LoopbackRow> {};

TEST_P(PingsLoopbackForReal, FourAnswersShownAndLogged) {
    const LoopbackRow& row = GetParam();
    if (!IcmpEcho(row.family).Kind()) {
        GTEST_SKIP() << "no right to send ICMP echoes of this family here";
    }
    if (!LoopbackConfigured(row.host)) {
        GTEST_SKIP() << row.host << " is not configured here";
    }
    PingLoopback(row.host, row.logged);
}

INSTANTIATE_TEST_SUITE_P(PingThread, PingsLoopbackForReal,
                         testing::Values(LoopbackRow{"ipv4", "127.0.0.1", AF_INET,
                                                     R"(log:PINGing \S+ \[127\.0\.0\.1\])"},
                                         LoopbackRow{"ipv6", "::1", AF_INET6, R"(log:PINGing \S+ \[::1\])"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
