#include "platform/IcmpEcho.h"

#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

// After <net/if.h>, which it must not redefine.
#include <linux/icmp.h>
#include <netinet/icmp6.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Icmp6Packet.h"
#include "platform/IcmpPacket.h"
#include "platform/IcmpStatus.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

in_addr Address(const char* dotted) {
    in_addr address{};
    inet_pton(AF_INET, dotted, &address);
    return address;
}

const in_addr kLoopback = Address("127.0.0.1");
const in_addr kOtherLoopback = Address("127.0.0.2");

void SetChecksum(Bytes& message) {
    message[2] = message[3] = 0;
    const std::uint16_t sum = InternetChecksum(message);
    message[2] = static_cast<std::uint8_t>(sum >> 8);
    message[3] = static_cast<std::uint8_t>(sum);
}

Bytes EchoReply(std::uint16_t identifier, std::uint16_t sequence) {
    Bytes reply = BuildEchoRequest(identifier, sequence);
    reply[0] = icmp::kEchoReply;
    SetChecksum(reply);
    return reply;
}

Bytes IpHeader(in_addr from, in_addr to, std::size_t payloadSize, std::uint8_t protocol = 1) {
    Bytes header(20, 0);
    header[0] = 0x45;
    const std::size_t total = header.size() + payloadSize;
    header[2] = static_cast<std::uint8_t>(total >> 8);
    header[3] = static_cast<std::uint8_t>(total);
    header[8] = 64;
    header[9] = protocol;
    std::memcpy(header.data() + 12, &from.s_addr, 4);
    std::memcpy(header.data() + 16, &to.s_addr, 4);
    return header;
}

// An ICMP error as a router would send it about the echo request (identifier, sequence) sent to `requestTo`.
Bytes IcmpError(std::uint8_t type, std::uint8_t code, in_addr requestTo, std::uint16_t identifier,
                std::uint16_t sequence) {
    Bytes error{type, code, 0, 0, 0, 0, 0, 0};
    const Bytes request = BuildEchoRequest(identifier, sequence);
    const Bytes quotedHeader = IpHeader(kLoopback, requestTo, request.size());
    error.insert(error.end(), quotedHeader.begin(), quotedHeader.end());
    error.insert(error.end(), request.begin(), request.end());
    SetChecksum(error);
    return error;
}

Bytes Cut(Bytes bytes, std::size_t length) {
    bytes.resize(length);
    return bytes;
}

Bytes WithIpHeader(in_addr from, const Bytes& message, std::uint8_t protocol = 1) {
    Bytes packet = IpHeader(from, kLoopback, message.size(), protocol);
    packet.insert(packet.end(), message.begin(), message.end());
    return packet;
}

TEST(IcmpPacket, EchoRequestCarriesThePayloadAndAValidChecksum) {
    const Bytes request = BuildEchoRequest(0xbeef, 0x0102);
    ASSERT_EQ(request.size(), 40u);
    EXPECT_EQ(request[0], icmp::kEchoRequest);
    EXPECT_EQ(request[1], 0);
    EXPECT_EQ(InternetChecksum(request), 0) << "a packet with its checksum sums to zero";
    EXPECT_EQ(Bytes(request.begin() + 4, request.begin() + 8), (Bytes{0xbe, 0xef, 0x01, 0x02}));
    const char payload[] = "abcdefghijklmnopqrstuvwxyz01234";  // with its zero byte: 32
    EXPECT_EQ(Bytes(request.begin() + 8, request.end()), Bytes(payload, payload + sizeof payload));
}

// Every kind of message an ICMP socket may hand over, and whether it answers our request
// (identifier 0x1234, sequence 7, sent to 127.0.0.1).
TEST(IcmpPacket, OnlyAnswersToOurRequestMatch) {
    const EchoRequestId ours{0x1234, 7, kLoopback};
    struct Case {
        const char* name;
        Bytes message;
        in_addr source;
        std::optional<int> expected;
    };
    const std::vector<Case> cases = {
        {"our reply", EchoReply(0x1234, 7), kLoopback, ip::kSuccess},
        {"another program's reply", EchoReply(0x1235, 7), kLoopback, std::nullopt},
        {"late reply to an earlier echo", EchoReply(0x1234, 6), kLoopback, std::nullopt},
        {"reply from another host", EchoReply(0x1234, 7), kOtherLoopback, std::nullopt},
        {"our own request seen on loopback", BuildEchoRequest(0x1234, 7), kLoopback, std::nullopt},
        {"network unreachable", IcmpError(3, 0, kLoopback, 0x1234, 7), kOtherLoopback,
         ip::kDestNetUnreachable},
        {"host unreachable", IcmpError(3, 1, kLoopback, 0x1234, 7), kOtherLoopback, ip::kDestHostUnreachable},
        {"protocol unreachable", IcmpError(3, 2, kLoopback, 0x1234, 7), kLoopback, ip::kDestProtUnreachable},
        {"port unreachable", IcmpError(3, 3, kLoopback, 0x1234, 7), kLoopback, ip::kDestPortUnreachable},
        {"fragmentation needed", IcmpError(3, 4, kLoopback, 0x1234, 7), kLoopback, ip::kPacketTooBig},
        {"host prohibited", IcmpError(3, 10, kLoopback, 0x1234, 7), kLoopback, ip::kDestHostUnreachable},
        {"network prohibited", IcmpError(3, 9, kLoopback, 0x1234, 7), kLoopback, ip::kDestNetUnreachable},
        {"time exceeded in transit", IcmpError(11, 0, kLoopback, 0x1234, 7), kOtherLoopback,
         ip::kTtlExpiredTransit},
        {"time exceeded in reassembly", IcmpError(11, 1, kLoopback, 0x1234, 7), kLoopback,
         ip::kTtlExpiredReassem},
        {"parameter problem", IcmpError(12, 0, kLoopback, 0x1234, 7), kLoopback, ip::kParamProblem},
        {"source quench", IcmpError(4, 0, kLoopback, 0x1234, 7), kLoopback, ip::kSourceQuench},
        {"redirect is no failure", IcmpError(5, 1, kLoopback, 0x1234, 7), kLoopback, std::nullopt},
        {"error about another program's request", IcmpError(3, 1, kLoopback, 0x4321, 7), kLoopback,
         std::nullopt},
        {"error about an earlier echo", IcmpError(3, 1, kLoopback, 0x1234, 6), kLoopback, std::nullopt},
        {"error about a request to another address", IcmpError(3, 1, kOtherLoopback, 0x1234, 7), kLoopback,
         std::nullopt},
        {"empty", {}, kLoopback, std::nullopt},
        {"reply cut short", Cut(EchoReply(0x1234, 7), 7), kLoopback, std::nullopt},
        {"error cut inside the quoted header", Cut(IcmpError(3, 1, kLoopback, 0x1234, 7), 20), kLoopback,
         std::nullopt},
        {"error cut inside the quoted request", Cut(IcmpError(3, 1, kLoopback, 0x1234, 7), 31), kLoopback,
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MatchIcmpMessage(c.message, c.source, ours), c.expected);
        // A raw socket delivers the same message behind the IPv4 header it came with.
        EXPECT_EQ(MatchRawIcmpPacket(WithIpHeader(c.source, c.message), ours), c.expected);
    }
}

TEST(IcmpPacket, RawPacketsThatAreNoIcmpOverIpv4AreIgnored) {
    const EchoRequestId ours{0x1234, 7, kLoopback};
    const Bytes reply = EchoReply(0x1234, 7);
    Bytes notIcmp = WithIpHeader(kLoopback, reply, 6);
    Bytes shortHeader = WithIpHeader(kLoopback, reply);
    shortHeader[0] = 0x44;
    Bytes version6 = WithIpHeader(kLoopback, reply);
    version6[0] = 0x65;
    for (const Bytes& packet : {notIcmp, shortHeader, version6, Bytes(10, 0x45)}) {
        EXPECT_EQ(MatchRawIcmpPacket(packet, ours), std::nullopt);
    }
}

// ---- The echo over real sockets, on loopback only ----

std::string KindName(std::optional<IcmpSocketKind> kind) {
    if (!kind) {
        return "none";
    }
    return *kind == IcmpSocketKind::kDatagram ? "datagram" : "raw";
}

TEST(IcmpEcho, FourEchoesToLoopbackAreAnswered) {
    IcmpEcho echo;
    if (!echo.Kind()) {
        GTEST_SKIP() << "no right to send ICMP echoes here (neither ping_group_range nor CAP_NET_RAW)";
    }
    RecordProperty("socket", KindName(echo.Kind()));
    for (int i = 0; i < 4; ++i) {
        const IcmpEchoResult result = echo.Send(kLoopback);
        EXPECT_EQ(result.status, ip::kSuccess)
            << "echo " << i << " over a " << KindName(echo.Kind()) << " socket";
        EXPECT_LT(result.roundTripMs, 1000u);
    }
}

// Runs `body` in a forked child and returns what it returned; "crashed" when the child did not exit normally.
std::string InChild(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) {
        return "no pipe";
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const std::string out = body();
        std::size_t written = 0;
        while (written < out.size()) {
            const ssize_t n = write(fds[1], out.data() + written, out.size() - written);
            if (n <= 0) {
                break;
            }
            written += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buffer[256];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "crashed";
}

constexpr const char* kNoNamespace = "no network namespace";

bool WriteFile(const char* path, const char* text) {
    std::ofstream file(path);
    file << text;
    file.flush();
    return static_cast<bool>(file);
}

// Gives the calling child a network namespace of its own, loopback up, so that its settings and forged
// packets touch nothing outside it.
bool EnterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return ok;
}

// In a private namespace: lets our group open datagram ICMP sockets; `answer` says whether the kernel
// itself answers echo requests.
bool PreparePrivateNetwork(bool answer) {
    return EnterPrivateNetwork() && WriteFile("/proc/sys/net/ipv4/ping_group_range", "0 2147483647") &&
           WriteFile("/proc/sys/net/ipv4/icmp_echo_ignore_all", answer ? "0" : "1");
}

bool SendForged(const Bytes& message) {
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        return false;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = kLoopback;
    const bool ok =
        sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) == static_cast<ssize_t>(message.size());
    close(fd);
    return ok;
}

// A raw socket that sees only echo requests: how the forger hears our request go out.
int OpenRequestListener() {
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    icmp_filter filter{};
    filter.data = ~(1u << icmp::kEchoRequest);
    setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    return fd;
}

// Waits (bounded) until `listener` sees a packet that `isOurs` takes for our request.
bool AwaitRequest(int listener, const std::function<bool(const Bytes&)>& isOurs) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd waiting{listener, POLLIN, 0};
        if (poll(&waiting, 1, 100) <= 0) {
            continue;
        }
        Bytes packet(1024);
        const ssize_t n = recv(listener, packet.data(), packet.size(), 0);
        if (n > 0) {
            packet.resize(static_cast<std::size_t>(n));
            if (isOurs(packet)) {
                return true;
            }
        }
    }
    return false;
}

// In the calling child: `send` sends an echo while a forger process, once `listener` has seen the request go
// out (`isOurs`), sends each of `forged` with `sendForged`. The status, or why there is none.
std::string EchoWithForger(const std::function<IcmpEchoResult()>& send, int listener,
                           const std::function<bool(const Bytes&)>& isOurs,
                           const std::function<bool(const Bytes&)>& sendForged,
                           const std::vector<Bytes>& forged) {
    if (listener < 0) {
        return "no listener";
    }
    const pid_t forger = fork();
    if (forger == 0) {
        bool ok = AwaitRequest(listener, isOurs);
        for (const Bytes& message : forged) {
            ok = ok && sendForged(message);
        }
        _exit(ok ? 0 : 1);
    }
    close(listener);
    const IcmpEchoResult result = send();
    int status = 0;
    waitpid(forger, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "forging failed";
    }
    return std::to_string(result.status);
}

std::string EchoWithForgedAnswers(IcmpEcho& echo, const std::vector<Bytes>& forged) {
    const EchoRequestId request{echo.Identifier(), echo.NextSequence(), kLoopback};
    const auto isOurs = [&request](const Bytes& packet) {
        const std::size_t header = static_cast<std::size_t>(packet[0] & 0x0f) * 4;
        return packet.size() >= 28 && IsOurEchoRequest(std::span(packet).subspan(header), request);
    };
    return EchoWithForger([&echo] { return echo.Send(kLoopback); }, OpenRequestListener(), isOurs, SendForged,
                          forged);
}

class IcmpEchoByKind : public testing::TestWithParam<IcmpSocketKind> {};

TEST_P(IcmpEchoByKind, FourEchoesToLoopbackInAPrivateNetwork) {
    const IcmpSocketKind kind = GetParam();
    const std::string out = InChild([kind]() -> std::string {
        if (!PreparePrivateNetwork(true)) {
            return kNoNamespace;
        }
        IcmpEcho echo(kind);
        if (!echo.Kind()) {
            return "not opened";
        }
        std::string statuses;
        for (int i = 0; i < 4; ++i) {
            statuses += std::to_string(echo.Send(kLoopback).status) + " ";
        }
        return statuses;
    });
    if (out == kNoNamespace) {
        GTEST_SKIP() << "cannot make a private network namespace here";
    }
    EXPECT_EQ(out, "0 0 0 0 ");
}

// The kernel of a private namespace is told not to answer; what arrives is forged, sent as soon as our
// request has gone out. Only an answer to our very request may end the wait.
TEST_P(IcmpEchoByKind, OnlyAnswersToOurRequestEndTheWait) {
    const IcmpSocketKind kind = GetParam();
    struct Case {
        const char* name;
        std::function<std::vector<Bytes>(std::uint16_t id, std::uint16_t seq)> forge;
        int expected;
    };
    const std::vector<Case> cases = {
        {"our reply",
         [](std::uint16_t id, std::uint16_t seq) { return std::vector<Bytes>{EchoReply(id, seq)}; },
         ip::kSuccess},
        {"nothing", [](std::uint16_t, std::uint16_t) { return std::vector<Bytes>{}; }, ip::kReqTimedOut},
        {"only another program's reply",
         [](std::uint16_t id, std::uint16_t seq) {
             return std::vector<Bytes>{EchoReply(static_cast<std::uint16_t>(id ^ 0x5a5a), seq)};
         },
         ip::kReqTimedOut},
        {"only a reply to an earlier echo",
         [](std::uint16_t id, std::uint16_t seq) {
             return std::vector<Bytes>{EchoReply(id, static_cast<std::uint16_t>(seq - 1))};
         },
         ip::kReqTimedOut},
        {"a stray reply, then ours",
         [](std::uint16_t id, std::uint16_t seq) {
             return std::vector<Bytes>{EchoReply(static_cast<std::uint16_t>(id ^ 0x5a5a), seq),
                                       EchoReply(id, static_cast<std::uint16_t>(seq + 1)),
                                       EchoReply(id, seq)};
         },
         ip::kSuccess},
        {"network unreachable",
         [](std::uint16_t id, std::uint16_t seq) {
             return std::vector<Bytes>{IcmpError(3, 0, kLoopback, id, seq)};
         },
         ip::kDestNetUnreachable},
        {"host unreachable",
         [](std::uint16_t id, std::uint16_t seq) {
             return std::vector<Bytes>{IcmpError(3, 1, kLoopback, id, seq)};
         },
         ip::kDestHostUnreachable},
        {"protocol unreachable",
         [](std::uint16_t id, std::uint16_t seq) {
             return std::vector<Bytes>{IcmpError(3, 2, kLoopback, id, seq)};
         },
         ip::kDestProtUnreachable},
        {"port unreachable",
         [](std::uint16_t id, std::uint16_t seq) {
             return std::vector<Bytes>{IcmpError(3, 3, kLoopback, id, seq)};
         },
         ip::kDestPortUnreachable},
        {"time exceeded",
         [](std::uint16_t id, std::uint16_t seq) {
             return std::vector<Bytes>{IcmpError(11, 0, kLoopback, id, seq)};
         },
         ip::kTtlExpiredTransit},
        {"an error about an earlier echo",
         [](std::uint16_t id, std::uint16_t seq) {
             return std::vector<Bytes>{IcmpError(3, 1, kLoopback, id, static_cast<std::uint16_t>(seq - 1))};
         },
         ip::kReqTimedOut},
        {"an error about another address, then our reply",
         [](std::uint16_t id, std::uint16_t seq) {
             return std::vector<Bytes>{IcmpError(3, 1, kOtherLoopback, id, seq), EchoReply(id, seq)};
         },
         ip::kSuccess},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = InChild([&]() -> std::string {
            if (!PreparePrivateNetwork(false)) {
                return kNoNamespace;
            }
            IcmpEcho echo(kind);
            if (!echo.Kind()) {
                return "not opened";
            }
            return EchoWithForgedAnswers(echo, c.forge(echo.Identifier(), echo.NextSequence()));
        });
        if (out == kNoNamespace) {
            GTEST_SKIP() << "cannot make a private network namespace here";
        }
        EXPECT_EQ(out, std::to_string(c.expected));
    }
}

// An error that comes in after its echo has timed out leaves a pending error on the socket; the next echo
// must not fail because of it.
TEST_P(IcmpEchoByKind, ALateErrorAboutTheLastEchoDoesNotFailTheNext) {
    const IcmpSocketKind kind = GetParam();
    const std::string out = InChild([kind]() -> std::string {
        if (!PreparePrivateNetwork(true)) {
            return kNoNamespace;
        }
        IcmpEcho echo(kind);
        if (!echo.Kind() || echo.Send(kLoopback).status != ip::kSuccess) {
            return "first echo failed";
        }
        const auto last = static_cast<std::uint16_t>(echo.NextSequence() - 1);
        if (!SendForged(IcmpError(3, 1, kLoopback, echo.Identifier(), last))) {
            return "forging failed";
        }
        return std::to_string(echo.Send(kLoopback).status);
    });
    if (out == kNoNamespace) {
        GTEST_SKIP() << "cannot make a private network namespace here";
    }
    EXPECT_EQ(out, "0");
}

INSTANTIATE_TEST_SUITE_P(Sockets, IcmpEchoByKind,
                         testing::Values(IcmpSocketKind::kRaw, IcmpSocketKind::kDatagram),
                         [](const auto& info) { return KindName(info.param); });

// True when "/proc/sys/net/ipv4/ping_group_range" of the caller's namespace admits group `gid`.
bool PingGroupAdmits(gid_t gid) {
    std::ifstream file("/proc/sys/net/ipv4/ping_group_range");
    long low = 1;
    long high = 0;
    file >> low >> high;
    return low <= static_cast<long>(gid) && static_cast<long>(gid) <= high;
}

TEST(IcmpEcho, WithoutTheRightToPingEveryEchoIsAGeneralFailure) {
    if (geteuid() != 0) {
        IcmpEcho echo;
        if (echo.Kind()) {
            GTEST_SKIP() << "this user may ping; the check needs root (to drop the right) or no right at all";
        }
        EXPECT_EQ(echo.Send(kLoopback, 300ms).status, ip::kGeneralFailure);
        return;
    }
    const std::string out = InChild([]() -> std::string {
        // A fresh namespace admits no group to datagram sockets; without one, the host's setting decides.
        EnterPrivateNetwork();
        constexpr uid_t kNobody = 65534;
        const std::string expected = PingGroupAdmits(kNobody) ? "datagram 0" : "none 11050";
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
            return "cannot drop privileges";
        }
        IcmpEcho echo;
        const IcmpEchoResult result = echo.Send(kLoopback, 300ms);
        return expected + " | " + KindName(echo.Kind()) + " " + std::to_string(result.status);
    });
    const auto bar = out.find(" | ");
    ASSERT_NE(bar, std::string::npos) << out;
    EXPECT_EQ(out.substr(bar + 3), out.substr(0, bar));
}

// ---- ICMPv6 ----

in6_addr Address6(const char* text) {
    in6_addr address{};
    inet_pton(AF_INET6, text, &address);
    return address;
}

IpAddress IpOf(const in6_addr& address) {
    IpAddress ip;
    auto& v6 = reinterpret_cast<sockaddr_in6&>(ip.storage);
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = address;
    ip.length = sizeof v6;
    return ip;
}

const in6_addr kLoopback6 = Address6("::1");
const in6_addr kElsewhere6 = Address6("2001:db8::2");

Bytes Echo6Reply(std::uint16_t identifier, std::uint16_t sequence) {
    Bytes reply = BuildEcho6Request(identifier, sequence);
    reply[0] = icmp6::kEchoReply;
    return reply;
}

// An ICMPv6 error as a router would send it about the echo request (identifier, sequence) sent to
// `requestTo`; `nextHeader` is what the quoted IPv6 header says follows it.
Bytes Icmp6Error(std::uint8_t type, std::uint8_t code, in6_addr requestTo, std::uint16_t identifier,
                 std::uint16_t sequence, std::uint8_t nextHeader = 58) {
    Bytes error{type, code, 0, 0, 0, 0, 0, 0};
    const Bytes request = BuildEcho6Request(identifier, sequence);
    Bytes header(40, 0);
    header[0] = 0x60;
    header[5] = static_cast<std::uint8_t>(request.size());
    header[6] = nextHeader;
    header[7] = 64;
    std::memcpy(header.data() + 8, kLoopback6.s6_addr, 16);
    std::memcpy(header.data() + 24, requestTo.s6_addr, 16);
    error.insert(error.end(), header.begin(), header.end());
    error.insert(error.end(), request.begin(), request.end());
    return error;
}

TEST(Icmp6Packet, EchoRequestCarriesThePayloadAndLeavesTheChecksumToTheKernel) {
    const Bytes request = BuildEcho6Request(0xbeef, 0x0102);
    ASSERT_EQ(request.size(), 40u);
    EXPECT_EQ(request[0], 128);
    EXPECT_EQ(request[1], 0);
    EXPECT_EQ(Bytes(request.begin() + 2, request.begin() + 8), (Bytes{0, 0, 0xbe, 0xef, 0x01, 0x02}));
    const char payload[] = "abcdefghijklmnopqrstuvwxyz01234";
    EXPECT_EQ(Bytes(request.begin() + 8, request.end()), Bytes(payload, payload + sizeof payload));
}

// Every kind of message an ICMPv6 socket may hand over, and whether it answers our request
// (identifier 0x1234, sequence 7, sent to ::1).
TEST(Icmp6Packet, OnlyAnswersToOurRequestMatch) {
    const Echo6RequestId ours{0x1234, 7, kLoopback6};
    struct Case {
        const char* name;
        Bytes message;
        in6_addr source;
        std::optional<int> expected;
    };
    const auto error = [](std::uint8_t type, std::uint8_t code) {
        return Icmp6Error(type, code, kLoopback6, 0x1234, 7);
    };
    const std::vector<Case> cases = {
        {"our reply", Echo6Reply(0x1234, 7), kLoopback6, ip::kSuccess},
        {"another program's reply", Echo6Reply(0x1235, 7), kLoopback6, std::nullopt},
        {"late reply to an earlier echo", Echo6Reply(0x1234, 6), kLoopback6, std::nullopt},
        {"reply from another host", Echo6Reply(0x1234, 7), kElsewhere6, std::nullopt},
        {"our own request seen on loopback", BuildEcho6Request(0x1234, 7), kLoopback6, std::nullopt},
        {"an IPv4 echo reply is no ICMPv6 reply", EchoReply(0x1234, 7), kLoopback6, std::nullopt},
        {"no route", error(1, 0), kElsewhere6, ip::kDestNetUnreachable},
        {"administratively prohibited", error(1, 1), kElsewhere6, ip::kDestHostUnreachable},
        {"beyond the source's scope", error(1, 2), kElsewhere6, ip::kDestNetUnreachable},
        {"address unreachable", error(1, 3), kLoopback6, ip::kDestHostUnreachable},
        {"port unreachable", error(1, 4), kLoopback6, ip::kDestPortUnreachable},
        {"source policy failed", error(1, 5), kElsewhere6, ip::kDestHostUnreachable},
        {"reject route", error(1, 6), kElsewhere6, ip::kDestNetUnreachable},
        {"bad source routing header", error(1, 7), kElsewhere6, ip::kBadRoute},
        {"an unknown unreachable code", error(1, 99), kElsewhere6, ip::kDestHostUnreachable},
        {"packet too big", error(2, 0), kElsewhere6, ip::kPacketTooBig},
        {"hop limit exceeded", error(3, 0), kElsewhere6, ip::kTtlExpiredTransit},
        {"reassembly time exceeded", error(3, 1), kLoopback6, ip::kTtlExpiredReassem},
        {"erroneous header field", error(4, 0), kLoopback6, ip::kParamProblem},
        {"unknown next header", error(4, 1), kLoopback6, ip::kDestProtUnreachable},
        {"redirect is no failure", error(137, 0), kElsewhere6, std::nullopt},
        {"an IPv4 unreachable type is no ICMPv6 error", error(11, 0), kElsewhere6, std::nullopt},
        {"error about another program's request", Icmp6Error(1, 3, kLoopback6, 0x4321, 7), kLoopback6,
         std::nullopt},
        {"error about an earlier echo", Icmp6Error(1, 3, kLoopback6, 0x1234, 6), kLoopback6, std::nullopt},
        {"error about a request to another address", Icmp6Error(1, 3, kElsewhere6, 0x1234, 7), kLoopback6,
         std::nullopt},
        {"error quoting another protocol", Icmp6Error(1, 4, kLoopback6, 0x1234, 7, 17), kLoopback6,
         std::nullopt},
        {"empty", {}, kLoopback6, std::nullopt},
        {"reply cut short", Cut(Echo6Reply(0x1234, 7), 7), kLoopback6, std::nullopt},
        {"error cut inside the quoted header", Cut(error(1, 3), 40), kLoopback6, std::nullopt},
        {"error cut inside the quoted request", Cut(error(1, 3), 55), kLoopback6, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MatchIcmp6Message(c.message, c.source, ours), c.expected);
    }
}

TEST(IcmpEcho, AnAddressOfTheOtherFamilyIsRefused) {
    IcmpEcho v4(AF_INET);
    IcmpEcho v6(AF_INET6);
    if (!v4.Kind() || !v6.Kind()) {
        GTEST_SKIP() << "no right to send ICMP echoes here";
    }
    EXPECT_EQ(v4.Send(IpOf(kLoopback6), 300ms).status, ip::kBadDestination);
    EXPECT_EQ(v6.Send(kLoopback, 300ms).status, ip::kBadDestination);
}

TEST(IcmpEcho, FourEchoesToIpv6LoopbackAreAnswered) {
    IcmpEcho echo(AF_INET6);
    if (!echo.Kind()) {
        GTEST_SKIP() << "no right to send ICMPv6 echoes here (neither ping_group_range nor CAP_NET_RAW)";
    }
    if (const int probe = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0); probe < 0) {
        GTEST_SKIP() << "no IPv6 on this host";
    } else {
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_addr = kLoopback6;
        to.sin6_port = htons(9);
        const bool reachable = connect(probe, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
        close(probe);
        if (!reachable) {
            GTEST_SKIP() << "::1 is not configured here";
        }
    }
    RecordProperty("socket", KindName(echo.Kind()));
    for (int i = 0; i < 4; ++i) {
        const IcmpEchoResult result = echo.Send(IpOf(kLoopback6));
        EXPECT_EQ(result.status, ip::kSuccess)
            << "echo " << i << " over a " << KindName(echo.Kind()) << " socket";
        EXPECT_LT(result.roundTripMs, 1000u);
    }
}

// In a private namespace: lets our group open datagram ICMP sockets (the IPv4 setting governs ICMPv6 too);
// `answer` says whether the kernel itself answers ICMPv6 echo requests.
bool PreparePrivateNetwork6(bool answer) {
    return EnterPrivateNetwork() && WriteFile("/proc/sys/net/ipv4/ping_group_range", "0 2147483647") &&
           WriteFile("/proc/sys/net/ipv6/icmp/echo_ignore_all", answer ? "0" : "1");
}

// Sent over a raw ICMPv6 socket, which fills in the checksum.
bool SendForged6(const Bytes& message) {
    const int fd = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    if (fd < 0) {
        return false;
    }
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_addr = kLoopback6;
    const bool ok =
        sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) == static_cast<ssize_t>(message.size());
    close(fd);
    return ok;
}

// A raw ICMPv6 socket that sees only echo requests, ICMPv6 header first.
int OpenRequestListener6() {
    const int fd = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    icmp6_filter filter{};
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(icmp6::kEchoRequest, &filter);
    setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    return fd;
}

std::string Echo6WithForgedAnswers(IcmpEcho& echo, const std::vector<Bytes>& forged) {
    const Echo6RequestId request{echo.Identifier(), echo.NextSequence(), kLoopback6};
    const auto isOurs = [&request](const Bytes& message) { return IsOurEcho6Request(message, request); };
    return EchoWithForger([&echo] { return echo.Send(IpOf(kLoopback6)); }, OpenRequestListener6(), isOurs,
                          SendForged6, forged);
}

class Icmp6EchoByKind : public testing::TestWithParam<IcmpSocketKind> {};

TEST_P(Icmp6EchoByKind, FourEchoesToLoopbackInAPrivateNetwork) {
    const IcmpSocketKind kind = GetParam();
    const std::string out = InChild([kind]() -> std::string {
        if (!PreparePrivateNetwork6(true)) {
            return kNoNamespace;
        }
        IcmpEcho echo(kind, AF_INET6);
        if (!echo.Kind()) {
            return "not opened";
        }
        std::string statuses;
        for (int i = 0; i < 4; ++i) {
            statuses += std::to_string(echo.Send(IpOf(kLoopback6)).status) + " ";
        }
        return statuses;
    });
    if (out == kNoNamespace) {
        GTEST_SKIP() << "cannot make a private network namespace with IPv6 here";
    }
    EXPECT_EQ(out, "0 0 0 0 ");
}

// As for IPv4: the kernel stays silent, forged answers follow our request, and only an answer to our very
// request ends the wait. A datagram socket hears errors through its error queue, a raw one as messages.
TEST_P(Icmp6EchoByKind, OnlyAnswersToOurRequestEndTheWait) {
    const IcmpSocketKind kind = GetParam();
    using Forge = std::function<std::vector<Bytes>(std::uint16_t id, std::uint16_t seq)>;
    const auto errorOf = [](std::uint8_t type, std::uint8_t code) -> Forge {
        return [type, code](std::uint16_t id, std::uint16_t seq) {
            return std::vector<Bytes>{Icmp6Error(type, code, kLoopback6, id, seq)};
        };
    };
    struct Case {
        const char* name;
        Forge forge;
        int expected;
    };
    const std::vector<Case> cases = {
        {"our reply",
         [](std::uint16_t id, std::uint16_t seq) { return std::vector<Bytes>{Echo6Reply(id, seq)}; },
         ip::kSuccess},
        {"nothing", [](std::uint16_t, std::uint16_t) { return std::vector<Bytes>{}; }, ip::kReqTimedOut},
        {"a stray reply and a late one, then ours",
         [](std::uint16_t id, std::uint16_t seq) {
             return std::vector<Bytes>{Echo6Reply(static_cast<std::uint16_t>(id ^ 0x5a5a), seq),
                                       Echo6Reply(id, static_cast<std::uint16_t>(seq - 1)),
                                       Echo6Reply(id, seq)};
         },
         ip::kSuccess},
        {"no route", errorOf(1, 0), ip::kDestNetUnreachable},
        {"address unreachable", errorOf(1, 3), ip::kDestHostUnreachable},
        {"port unreachable", errorOf(1, 4), ip::kDestPortUnreachable},
        {"packet too big", errorOf(2, 0), ip::kPacketTooBig},
        {"hop limit exceeded", errorOf(3, 0), ip::kTtlExpiredTransit},
        {"an error about an earlier echo",
         [](std::uint16_t id, std::uint16_t seq) {
             return std::vector<Bytes>{Icmp6Error(1, 3, kLoopback6, id, static_cast<std::uint16_t>(seq - 1))};
         },
         ip::kReqTimedOut},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = InChild([&]() -> std::string {
            if (!PreparePrivateNetwork6(false)) {
                return kNoNamespace;
            }
            IcmpEcho echo(kind, AF_INET6);
            if (!echo.Kind()) {
                return "not opened";
            }
            return Echo6WithForgedAnswers(echo, c.forge(echo.Identifier(), echo.NextSequence()));
        });
        if (out == kNoNamespace) {
            GTEST_SKIP() << "cannot make a private network namespace with IPv6 here";
        }
        EXPECT_EQ(out, std::to_string(c.expected));
    }
}

INSTANTIATE_TEST_SUITE_P(Sockets, Icmp6EchoByKind,
                         testing::Values(IcmpSocketKind::kRaw, IcmpSocketKind::kDatagram),
                         [](const auto& info) { return KindName(info.param); });

}  // namespace
