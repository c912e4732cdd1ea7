#include "platform/IcmpEcho.h"

#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

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
}  // namespace

IcmpEcho::IcmpEcho() {
    if (!Open(IcmpSocketKind::kDatagram)) {
        Open(IcmpSocketKind::kRaw);
    }
}

IcmpEcho::IcmpEcho(IcmpSocketKind kind) {
    Open(kind);
}

IcmpEcho::~IcmpEcho() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool IcmpEcho::Open(IcmpSocketKind kind) {
    const int type = kind == IcmpSocketKind::kDatagram ? SOCK_DGRAM : SOCK_RAW;
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    if (kind == IcmpSocketKind::kDatagram) {
        // ICMP errors about our requests come through the error queue only with IP_RECVERR on. Binding
        // makes the kernel assign the identifier now, so that we know what our replies carry.
        const int on = 1;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        socklen_t length = sizeof local;
        ok = setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0 &&
             bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
             getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
        identifier_ = ntohs(local.sin_port);
    } else {
        // Spare ourselves the host's other ICMP traffic: only replies and the errors that may concern us.
        icmp_filter filter{};
        filter.data = ~static_cast<std::uint32_t>((1u << icmp::kEchoReply) | (1u << icmp::kDestUnreachable) |
                                                  (1u << icmp::kSourceQuench) | (1u << icmp::kTimeExceeded) |
                                                  (1u << icmp::kParameterProblem));
        ok = setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) == 0;
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
    if (!kind_) {
        return {ip::kGeneralFailure, 0};
    }
    const EchoRequestId request{identifier_, sequence_++, destination};
    const std::vector<std::uint8_t> packet = BuildEchoRequest(request.identifier, request.sequence);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = destination;

    DiscardStale();
    const Clock::time_point sent = Clock::now();
    const Clock::time_point deadline = sent + timeout;
    if (sendto(fd_, packet.data(), packet.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) < 0) {
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

std::optional<int> IcmpEcho::ReadErrorQueue(const EchoRequestId& request) {
    for (;;) {
        std::array<std::uint8_t, 576> data{};
        std::array<char, 512> control{};
        sockaddr_in about{};
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
        if (about.sin_addr.s_addr != request.destination.s_addr) {
            continue;
        }
        // The queued packet is the request the error is about, ICMP header first.
        const std::span<const std::uint8_t> quoted(data.data(), static_cast<std::size_t>(received));
        if (!IsOurEchoRequest(quoted, request)) {
            continue;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) {
                continue;
            }
            sock_extended_err error{};
            std::memcpy(&error, CMSG_DATA(c), sizeof error);
            if (error.ee_origin == SO_EE_ORIGIN_ICMP) {
                const int status = IpStatusFromIcmpError(error.ee_type, error.ee_code);
                if (status != ip::kSuccess) {
                    return status;
                }
            }
        }
    }
}

std::optional<int> IcmpEcho::ReadPackets(const EchoRequestId& request) {
    for (;;) {
        std::array<std::uint8_t, 1024> data{};
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t received = recvfrom(fd_, data.data(), data.size(), MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received < 0) {
            // EAGAIN: all read. Anything else is a pending socket error, now cleared; the error queue or the
            // deadline settles the echo.
            return std::nullopt;
        }
        const std::span<const std::uint8_t> bytes(data.data(), static_cast<std::size_t>(received));
        const std::optional<int> status = *kind_ == IcmpSocketKind::kRaw
                                              ? MatchRawIcmpPacket(bytes, request)
                                              : MatchIcmpMessage(bytes, from.sin_addr, request);
        if (status) {
            return status;
        }
    }
}
