#include "platform/IcmpEcho.h"

#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "platform/Icmp6Packet.h"
#include "platform/IcmpPacket.h"
#include "platform/IcmpStatus.h"

namespace {
using Clock = std::chrono::steady_clock;

// Raw identifiers: random per process so that two copies of the program differ, then counted so that two
// echo objects of one process differ as well.
std::uint16_t NextRawIdentifier() {
    static std::atomic<std::uint16_t> next{static_cast<std::uint16_t>(std::random_device{}())};
    return next.fetch_add(1, std::memory_order_relaxed);
}

std::uint32_t ElapsedMs(Clock::time_point since) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
    return ms < 0 ? 0u : static_cast<std::uint32_t>(ms);
}

const in_addr& Ipv4Of(const sockaddr_storage& address) {
    return reinterpret_cast<const sockaddr_in&>(address).sin_addr;
}

const in6_addr& Ipv6Of(const sockaddr_storage& address) {
    return reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
}

bool OpenDatagram(int fd, int family, std::uint16_t& identifier) {
    // ICMP errors about our requests come through the error queue only with IP_RECVERR on. Binding makes
    // the kernel assign the identifier now, so that we know what our replies carry.
    const int on = 1;
    sockaddr_storage local{};
    local.ss_family = static_cast<sa_family_t>(family);
    socklen_t length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    const bool ok = (family == AF_INET6 ? setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on)
                                        : setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on)) == 0 &&
                    bind(fd, reinterpret_cast<const sockaddr*>(&local), length) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    identifier = family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6&>(local).sin6_port)
                                    : ntohs(reinterpret_cast<const sockaddr_in&>(local).sin_port);
    return ok;
}

// Spare ourselves the host's other ICMP traffic: only replies and the errors that may concern us.
bool FilterRaw(int fd, int family) {
    if (family == AF_INET6) {
        icmp6_filter filter{};
        ICMP6_FILTER_SETBLOCKALL(&filter);
        for (const std::uint8_t type : {icmp6::kEchoReply, icmp6::kDestUnreachable, icmp6::kPacketTooBig,
                                        icmp6::kTimeExceeded, icmp6::kParameterProblem}) {
            ICMP6_FILTER_SETPASS(type, &filter);
        }
        return setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) == 0;
    }
    icmp_filter filter{};
    filter.data = ~static_cast<std::uint32_t>((1u << icmp::kEchoReply) | (1u << icmp::kDestUnreachable) |
                                              (1u << icmp::kSourceQuench) | (1u << icmp::kTimeExceeded) |
                                              (1u << icmp::kParameterProblem));
    return setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) == 0;
}
}  // namespace

// The request on its way, in the terms of its family.
struct IcmpEcho::InFlight {
    bool isIPv6 = false;
    EchoRequestId v4;
    Echo6RequestId v6;

    // Whether an error queued about a packet sent to `about`, quoting `quoted`, is about this request.
    bool IsQuotedBy(std::span<const std::uint8_t> quoted, const sockaddr_storage& about) const {
        if (isIPv6) {
            return about.ss_family == AF_INET6 &&
                   std::memcmp(&Ipv6Of(about), &v6.destination, sizeof v6.destination) == 0 &&
                   IsOurEcho6Request(quoted, v6);
        }
        return about.ss_family == AF_INET && Ipv4Of(about).s_addr == v4.destination.s_addr &&
               IsOurEchoRequest(quoted, v4);
    }

    // The status a received packet settles, as MatchIcmpMessage tells it.
    std::optional<int> Match(std::span<const std::uint8_t> bytes, const sockaddr_storage& from,
                             IcmpSocketKind kind) const {
        if (isIPv6) {
            // ICMPv6 sockets of both kinds hand over the message alone, without the IPv6 header.
            return from.ss_family == AF_INET6 ? MatchIcmp6Message(bytes, Ipv6Of(from), v6) : std::nullopt;
        }
        return kind == IcmpSocketKind::kRaw ? MatchRawIcmpPacket(bytes, v4)
                                            : MatchIcmpMessage(bytes, Ipv4Of(from), v4);
    }

    // The status of a queued error's extended error, when it is an ICMP error of our family.
    std::optional<int> StatusOf(const cmsghdr& c) const {
        const bool ours = isIPv6 ? c.cmsg_level == IPPROTO_IPV6 && c.cmsg_type == IPV6_RECVERR
                                 : c.cmsg_level == IPPROTO_IP && c.cmsg_type == IP_RECVERR;
        if (!ours) {
            return std::nullopt;
        }
        sock_extended_err error{};
        std::memcpy(&error, CMSG_DATA(&c), sizeof error);
        const int origin =
            isIPv6 ? static_cast<int>(SO_EE_ORIGIN_ICMP6) : static_cast<int>(SO_EE_ORIGIN_ICMP);
        if (error.ee_origin != origin) {
            return std::nullopt;
        }
        const int status = isIPv6 ? IpStatusFromIcmp6Error(error.ee_type, error.ee_code)
                                  : IpStatusFromIcmpError(error.ee_type, error.ee_code);
        return status == ip::kSuccess ? std::nullopt : std::optional<int>(status);
    }
};

IcmpEcho::IcmpEcho(int family) : family_(family) {
    if (!Open(IcmpSocketKind::kDatagram)) {
        Open(IcmpSocketKind::kRaw);
    }
}

IcmpEcho::IcmpEcho(IcmpSocketKind kind, int family) : family_(family) {
    Open(kind);
}

IcmpEcho::~IcmpEcho() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool IcmpEcho::Open(IcmpSocketKind kind) {
    if (family_ != AF_INET && family_ != AF_INET6) {
        return false;
    }
    const int type = kind == IcmpSocketKind::kDatagram ? SOCK_DGRAM : SOCK_RAW;
    const int protocol =
        family_ == AF_INET6 ? static_cast<int>(IPPROTO_ICMPV6) : static_cast<int>(IPPROTO_ICMP);
    const int fd = socket(family_, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    if (kind == IcmpSocketKind::kDatagram) {
        ok = OpenDatagram(fd, family_, identifier_);
    } else {
        // A raw ICMPv6 socket has the kernel compute the checksum, as IPv6 requires of every sender.
        ok = FilterRaw(fd, family_);
        identifier_ = NextRawIdentifier();
    }
    if (!ok) {
        close(fd);
        return false;
    }
    fd_ = fd;
    kind_ = kind;
    return true;
}

IcmpEchoResult IcmpEcho::Send(in_addr destination, std::chrono::milliseconds timeout) {
    IpAddress address;
    auto& v4 = reinterpret_cast<sockaddr_in&>(address.storage);
    v4.sin_family = AF_INET;
    v4.sin_addr = destination;
    address.length = sizeof v4;
    return Send(address, timeout);
}

IcmpEchoResult IcmpEcho::Send(const IpAddress& destination, std::chrono::milliseconds timeout) {
    if (!kind_) {
        return {ip::kGeneralFailure, 0};
    }
    if (destination.Family() != family_) {
        return {ip::kBadDestination, 0};
    }
    InFlight request;
    request.isIPv6 = family_ == AF_INET6;
    std::vector<std::uint8_t> packet;
    if (request.isIPv6) {
        request.v6 = {identifier_, sequence_++, Ipv6Of(destination.storage)};
        packet = BuildEcho6Request(request.v6.identifier, request.v6.sequence);
    } else {
        request.v4 = {identifier_, sequence_++, Ipv4Of(destination.storage)};
        packet = BuildEchoRequest(request.v4.identifier, request.v4.sequence);
    }
    // The scope of a link-local IPv6 address travels in the address given; the port field carries nothing
    // for ICMP and must be zero for the ICMPv6 datagram socket.
    sockaddr_storage to = destination.storage;
    socklen_t toLength = request.isIPv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (request.isIPv6) {
        reinterpret_cast<sockaddr_in6&>(to).sin6_port = 0;
    } else {
        reinterpret_cast<sockaddr_in&>(to).sin_port = 0;
    }

    DiscardStale();
    const Clock::time_point sent = Clock::now();
    const Clock::time_point deadline = sent + timeout;
    if (sendto(fd_, packet.data(), packet.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
               toLength) < 0) {
        return {IpStatusFromErrno(errno), 0};
    }
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) {
            return {ip::kReqTimedOut, 0};
        }
        // Round up so that a wait never ends a hair before the deadline and spins.
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd waiting{fd_, POLLIN, 0};
        const int ready = poll(&waiting, 1, static_cast<int>(remaining));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {ip::kGeneralFailure, 0};
        }
        if (ready == 0) {
            continue;
        }
        if (waiting.revents & POLLERR) {
            if (auto status = ReadErrorQueue(request)) {
                return {*status, 0};
            }
        }
        if (waiting.revents & POLLIN) {
            if (auto status = ReadPackets(request)) {
                return {*status, *status == ip::kSuccess ? ElapsedMs(sent) : 0};
            }
        }
    }
}

void IcmpEcho::DiscardStale() {
    // Bounded: a raw socket on a busy host may never run dry.
    constexpr int kMaxDiscarded = 256;
    std::array<std::uint8_t, 1024> data{};
    for (int i = 0; i < kMaxDiscarded; ++i) {
        if (recv(fd_, data.data(), data.size(), MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            break;
        }
    }
    int pending = 0;
    socklen_t length = sizeof pending;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &length);
    for (int i = 0; i < kMaxDiscarded; ++i) {
        if (recv(fd_, data.data(), data.size(), MSG_DONTWAIT) < 0) {
            break;
        }
    }
}

std::optional<int> IcmpEcho::ReadErrorQueue(const InFlight& request) {
    for (;;) {
        std::array<std::uint8_t, 576> data{};
        std::array<char, 512> control{};
        sockaddr_storage about{};
        iovec io{data.data(), data.size()};
        msghdr message{};
        message.msg_name = &about;
        message.msg_namelen = sizeof about;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        const ssize_t received = recvmsg(fd_, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (received < 0) {
            // No queued error: whatever is pending is a plain socket error; clear it so poll stops saying so.
            int pending = 0;
            socklen_t length = sizeof pending;
            getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &length);
            return std::nullopt;
        }
        // The queued packet is the request the error is about, ICMP header first; the name is where it went.
        const std::span<const std::uint8_t> quoted(data.data(), static_cast<std::size_t>(received));
        if (!request.IsQuotedBy(quoted, about)) {
            continue;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (auto status = request.StatusOf(*c)) {
                return status;
            }
        }
    }
}

std::optional<int> IcmpEcho::ReadPackets(const InFlight& request) {
    for (;;) {
        std::array<std::uint8_t, 1024> data{};
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t received = recvfrom(fd_, data.data(), data.size(), MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received < 0) {
            // EAGAIN: all read. Anything else is a pending socket error, now cleared; the error queue or the
            // deadline settles the echo.
            return std::nullopt;
        }
        const std::span<const std::uint8_t> bytes(data.data(), static_cast<std::size_t>(received));
        if (auto status = request.Match(bytes, from, *kind_)) {
            return status;
        }
    }
}
