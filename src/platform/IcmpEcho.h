#pragma once
// The program's ICMP echo service: sends one echo request to an IPv4 address (ICMP) or an IPv6 address
// (ICMPv6) and waits for its answer, yielding the round-trip time or an IP_* failure code
// (platform/IcmpStatus.h).
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/Resolver.h"

// Datagram: an unprivileged ICMP socket, allowed when net.ipv4.ping_group_range covers one of the user's
// groups; the kernel picks the identifier and hands over only replies carrying it, and reports ICMP errors
// through the socket's error queue. Raw: needs root or CAP_NET_RAW and sees every ICMP packet of the host.
// The same holds for ICMPv6, whose datagram sockets the same net.ipv4 setting governs.
enum class IcmpSocketKind { kDatagram, kRaw };

struct IcmpEchoResult {
    int status = 0;  // 0, or an IP_* failure code
    std::uint32_t roundTripMs = 0;
};

class IcmpEcho {
  public:
    static constexpr std::chrono::milliseconds kTimeout{1000};

    // Opens a datagram socket of `family` (AF_INET or AF_INET6) when the system allows it, else a raw one.
    // When neither opens, every Send fails with IP_GENERAL_FAILURE.
    explicit IcmpEcho(int family = AF_INET);
    // Opens only the given kind (tests of each path).
    explicit IcmpEcho(IcmpSocketKind kind, int family = AF_INET);
    ~IcmpEcho();
    IcmpEcho(const IcmpEcho&) = delete;
    IcmpEcho& operator=(const IcmpEcho&) = delete;

    // AF_INET or AF_INET6: the addresses this echo sends to.
    int Family() const { return family_; }
    // The socket in use; nullopt when none could be opened.
    std::optional<IcmpSocketKind> Kind() const { return kind_; }
    // The identifier our requests carry (for a datagram socket, the one the kernel assigned).
    std::uint16_t Identifier() const { return identifier_; }
    // The sequence number the next request will carry.
    std::uint16_t NextSequence() const { return sequence_; }

    // Sends one echo request and waits up to `timeout` for its reply or an ICMP error about it; anything
    // else that arrives meanwhile is passed over. IP_REQ_TIMED_OUT when nothing of ours came in time;
    // IP_BAD_DESTINATION for an address of the other family.
    IcmpEchoResult Send(const IpAddress& destination, std::chrono::milliseconds timeout = kTimeout);
    IcmpEchoResult Send(in_addr destination, std::chrono::milliseconds timeout = kTimeout);

  private:
    struct InFlight;

    bool Open(IcmpSocketKind kind);
    // Drops what arrived since the last echo: late replies and errors, and the pending socket error that a
    // late ICMP error leaves behind, which would otherwise fail the next send.
    void DiscardStale();
    // The answer's status when the socket's error queue holds an error about our request.
    std::optional<int> ReadErrorQueue(const InFlight& request);
    // 0 when the reply arrived, an IP_* code for an error about our request, nullopt when nothing of ours.
    std::optional<int> ReadPackets(const InFlight& request);

    int family_ = AF_INET;
    int fd_ = -1;
    std::optional<IcmpSocketKind> kind_;
    std::uint16_t identifier_ = 0;
    std::uint16_t sequence_ = 1;
};
