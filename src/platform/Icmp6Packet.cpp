#include "platform/Icmp6Packet.h"

#include <cstring>

#include "platform/IcmpPacket.h"
#include "platform/IcmpStatus.h"

namespace {
std::uint16_t Read16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

bool SameAddress(const in6_addr& a, const in6_addr& b) {
    return std::memcmp(a.s6_addr, b.s6_addr, sizeof a.s6_addr) == 0;
}

// The destination of a quoted IPv6 header that carries ICMPv6 right behind it; nullopt for anything else.
// We send no extension headers, so a quote of our request has none either.
std::optional<in6_addr> QuotedIcmp6Destination(std::span<const std::uint8_t> quoted) {
    if (quoted.size() < icmp6::kIpv6HeaderSize || (quoted[0] >> 4) != 6 ||
        quoted[6] != icmp6::kNextHeaderIcmp6) {
        return std::nullopt;
    }
    in6_addr destination{};
    std::memcpy(destination.s6_addr, quoted.data() + 24, sizeof destination.s6_addr);
    return destination;
}
}  // namespace

std::vector<std::uint8_t> BuildEcho6Request(std::uint16_t identifier, std::uint16_t sequence) {
    // The IPv4 request with another type and no checksum: the same header layout and payload.
    std::vector<std::uint8_t> packet = BuildEchoRequest(identifier, sequence);
    packet[0] = icmp6::kEchoRequest;
    packet[2] = packet[3] = 0;
    return packet;
}

int IpStatusFromIcmp6Error(std::uint8_t type, std::uint8_t code) {
    switch (type) {
        case icmp6::kDestUnreachable:
            switch (code) {
                case 0:  // no route to destination
                case 2:  // beyond the scope of the source address
                case 6:  // reject route to destination
                    return ip::kDestNetUnreachable;
                case 4:
                    return ip::kDestPortUnreachable;
                case 7:
                    return ip::kBadRoute;  // error in the source routing header
                default:
                    return ip::kDestHostUnreachable;  // address unreachable, prohibited, policy failed
            }
        case icmp6::kPacketTooBig:
            return ip::kPacketTooBig;
        case icmp6::kTimeExceeded:
            return code == 1 ? ip::kTtlExpiredReassem : ip::kTtlExpiredTransit;
        case icmp6::kParameterProblem:
            // An unrecognised next header is IPv6's way of saying the protocol is not served there.
            return code == 1 ? ip::kDestProtUnreachable : ip::kParamProblem;
        default:
            return ip::kSuccess;
    }
}

bool IsOurEcho6Request(std::span<const std::uint8_t> icmpMessage, const Echo6RequestId& request) {
    return icmpMessage.size() >= icmp::kHeaderSize && icmpMessage[0] == icmp6::kEchoRequest &&
           icmpMessage[1] == 0 && Read16(icmpMessage, 4) == request.identifier &&
           Read16(icmpMessage, 6) == request.sequence;
}

std::optional<int> MatchIcmp6Message(std::span<const std::uint8_t> icmpMessage, const in6_addr& source,
                                     const Echo6RequestId& request) {
    if (icmpMessage.size() < icmp::kHeaderSize) {
        return std::nullopt;
    }
    const std::uint8_t type = icmpMessage[0];
    if (type == icmp6::kEchoReply) {
        // Another program's ping, a late reply to an earlier sequence or a reply from elsewhere is not ours.
        if (icmpMessage[1] == 0 && SameAddress(source, request.destination) &&
            Read16(icmpMessage, 4) == request.identifier && Read16(icmpMessage, 6) == request.sequence) {
            return ip::kSuccess;
        }
        return std::nullopt;
    }
    const int status = IpStatusFromIcmp6Error(type, icmpMessage[1]);
    if (status == ip::kSuccess) {
        return std::nullopt;
    }
    // An error quotes as much of the offending packet as fits, IPv6 header first.
    const auto quoted = icmpMessage.subspan(icmp::kHeaderSize);
    const std::optional<in6_addr> quotedDestination = QuotedIcmp6Destination(quoted);
    if (!quotedDestination || !SameAddress(*quotedDestination, request.destination) ||
        !IsOurEcho6Request(quoted.subspan(icmp6::kIpv6HeaderSize), request)) {
        return std::nullopt;
    }
    return status;
}
