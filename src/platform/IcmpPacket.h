#pragma once
// Building our ICMP echo request and telling, for anything an ICMP socket hands back, whether it answers that
// request (its reply, or an error that quotes it) or belongs to someone else.
#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace icmp {
constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kDestUnreachable = 3;
constexpr std::uint8_t kSourceQuench = 4;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kTimeExceeded = 11;
constexpr std::uint8_t kParameterProblem = 12;
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kPayloadSize = 32;
}  // namespace icmp

// What identifies our request: an answer must carry the same identifier and sequence and concern the address
// we sent to.
struct EchoRequestId {
    std::uint16_t identifier = 0;
    std::uint16_t sequence = 0;
    in_addr destination{};
};

// The 40-byte echo request (header and the 32-byte payload "abcdefghijklmnopqrstuvwxyz01234" with its zero
// byte), checksum filled in.
std::vector<std::uint8_t> BuildEchoRequest(std::uint16_t identifier, std::uint16_t sequence);

std::uint16_t InternetChecksum(std::span<const std::uint8_t> bytes);

// The IP_* code for an ICMP error message's type and code; 0 for messages that are no failure (redirects,
// ...).
int IpStatusFromIcmpError(std::uint8_t type, std::uint8_t code);

// The IP_* code for a local send failure (errno).
int IpStatusFromErrno(int errnoValue);

// True when `icmpMessage` (ICMP header first) is our echo request, as sent or as quoted in an error.
bool IsOurEchoRequest(std::span<const std::uint8_t> icmpMessage, const EchoRequestId& request);

// An ICMP message (ICMP header first) received from `source`: 0 when it is the reply to our request, an IP_*
// code when it is an error quoting our request, nullopt when it is not about our request.
std::optional<int> MatchIcmpMessage(std::span<const std::uint8_t> icmpMessage, in_addr source,
                                    const EchoRequestId& request);

// The same for a packet as a raw ICMP socket delivers it, IPv4 header first.
std::optional<int> MatchRawIcmpPacket(std::span<const std::uint8_t> ipPacket, const EchoRequestId& request);
