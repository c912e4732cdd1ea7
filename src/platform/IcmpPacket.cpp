#include "platform/IcmpPacket.h"

#include <cerrno>
#include <cstring>

#include "platform/IcmpStatus.h"

namespace {
constexpr std::uint8_t kProtocolIcmp = 1;
constexpr std::size_t kMinIpHeader = 20;
constexpr char kPayload[icmp::kPayloadSize] = "abcdefghijklmnopqrstuvwxyz01234";

std::uint16_t Read16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

in_addr ReadAddress(std::span<const std::uint8_t> bytes, std::size_t at) {
    in_addr address{};
    std::memcpy(&address.s_addr, bytes.data() + at, 4);  // already in network order
    return address;
}

// Length of a plausible IPv4 ICMP header at the start of `bytes`, or 0.
std::size_t IcmpIpHeaderLength(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kMinIpHeader || (bytes[0] >> 4) != 4) {
        return 0;
    }
    const std::size_t length = static_cast<std::size_t>(bytes[0] & 0x0f) * 4;
    if (length < kMinIpHeader || bytes.size() < length || bytes[9] != kProtocolIcmp) {
        return 0;
    }
    return length;
}
}  // namespace

std::vector<std::uint8_t> BuildEchoRequest(std::uint16_t identifier, std::uint16_t sequence) {
    std::vector<std::uint8_t> packet(icmp::kHeaderSize + icmp::kPayloadSize, 0);
    packet[0] = icmp::kEchoRequest;
    packet[4] = static_cast<std::uint8_t>(identifier >> 8);
    packet[5] = static_cast<std::uint8_t>(identifier);
    packet[6] = static_cast<std::uint8_t>(sequence >> 8);
    packet[7] = static_cast<std::uint8_t>(sequence);
    std::memcpy(packet.data() + icmp::kHeaderSize, kPayload, icmp::kPayloadSize);
    const std::uint16_t sum = InternetChecksum(packet);
    packet[2] = static_cast<std::uint8_t>(sum >> 8);
    packet[3] = static_cast<std::uint8_t>(sum);
    return packet;
}

std::uint16_t InternetChecksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        sum += Read16(bytes, i);
    }
    if (i < bytes.size()) {
        sum += static_cast<std::uint32_t>(bytes[i]) << 8;
    }
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

int IpStatusFromIcmpError(std::uint8_t type, std::uint8_t code) {
    switch (type) {
        case icmp::kDestUnreachable:
            switch (code) {
                case 0:   // network
                case 6:   // network unknown
                case 9:   // network administratively prohibited
                case 11:  // network for type of service
                    return ip::kDestNetUnreachable;
                case 2:
                    return ip::kDestProtUnreachable;
                case 3:
                    return ip::kDestPortUnreachable;
                case 4:
                    return ip::kPacketTooBig;  // fragmentation needed
                case 5:
                    return ip::kBadRoute;  // source route failed
                default:
                    return ip::kDestHostUnreachable;
            }
        case icmp::kTimeExceeded:
            return code == 1 ? ip::kTtlExpiredReassem : ip::kTtlExpiredTransit;
        case icmp::kParameterProblem:
            return ip::kParamProblem;
        case icmp::kSourceQuench:
            return ip::kSourceQuench;
        default:
            return ip::kSuccess;
    }
}

int IpStatusFromErrno(int errnoValue) {
    switch (errnoValue) {
        case ENETUNREACH:
        case ENETDOWN:
            return ip::kDestNetUnreachable;
        case EHOSTUNREACH:
        case EHOSTDOWN:
            return ip::kDestHostUnreachable;
        case EMSGSIZE:
            return ip::kPacketTooBig;
        case ENOBUFS:
        case ENOMEM:
            return ip::kNoResources;
        default:
            return ip::kGeneralFailure;
    }
}

bool IsOurEchoRequest(std::span<const std::uint8_t> icmpMessage, const EchoRequestId& request) {
    return icmpMessage.size() >= icmp::kHeaderSize && icmpMessage[0] == icmp::kEchoRequest &&
           icmpMessage[1] == 0 && Read16(icmpMessage, 4) == request.identifier &&
           Read16(icmpMessage, 6) == request.sequence;
}

std::optional<int> MatchIcmpMessage(std::span<const std::uint8_t> icmpMessage, in_addr source,
                                    const EchoRequestId& request) {
    if (icmpMessage.size() < icmp::kHeaderSize) {
        return std::nullopt;
    }
    const std::uint8_t type = icmpMessage[0];
    if (type == icmp::kEchoReply) {
        // Another program's ping, a late reply to an earlier sequence or a reply from elsewhere is not ours.
        if (icmpMessage[1] == 0 && source.s_addr == request.destination.s_addr &&
            Read16(icmpMessage, 4) == request.identifier && Read16(icmpMessage, 6) == request.sequence) {
            return ip::kSuccess;
        }
        return std::nullopt;
    }
    const int status = IpStatusFromIcmpError(type, icmpMessage[1]);
    if (status == ip::kSuccess) {
        return std::nullopt;
    }
    // An error quotes the IP header of the packet it is about and at least 8 bytes of that packet.
    const auto quoted = icmpMessage.subspan(icmp::kHeaderSize);
    const std::size_t quotedHeader = IcmpIpHeaderLength(quoted);
    if (quotedHeader == 0 || ReadAddress(quoted, 16).s_addr != request.destination.s_addr ||
        !IsOurEchoRequest(quoted.subspan(quotedHeader), request)) {
        return std::nullopt;
    }
    return status;
}

std::optional<int> MatchRawIcmpPacket(std::span<const std::uint8_t> ipPacket, const EchoRequestId& request) {
    const std::size_t header = IcmpIpHeaderLength(ipPacket);
    if (header == 0) {
        return std::nullopt;
    }
    return MatchIcmpMessage(ipPacket.subspan(header), ReadAddress(ipPacket, 12), request);
}
