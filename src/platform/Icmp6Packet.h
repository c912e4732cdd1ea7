#pragma once
// Building our ICMPv6 echo request and telling, for anything an ICMPv6 socket hands back, whether it answers
// that request (its reply, or an error that quotes it) or belongs to someone else.
#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace icmp6 {
constexpr std::uint8_t kDestUnreachable = 1;
constexpr std::uint8_t kPacketTooBig = 2;
constexpr std::uint8_t kTimeExceeded = 3;
constexpr std::uint8_t kParameterProblem = 4;
constexpr std::uint8_t kEchoRequest = 128;
constexpr std::uint8_t kEchoReply = 129;
constexpr std::uint8_t kNextHeaderIcmp6 = 58;
constexpr std::size_t kIpv6HeaderSize = 40;
}  // namespace icmp6

// What identifies our request: an answer must carry the same identifier and sequence and concern the address
// we sent to.
struct Echo6RequestId {
    std::uint16_t identifier = 0;
    std::uint16_t sequence = 0;
    in6_addr destination{};
};

// The 40-byte echo request: header and the same 32-byte payload as the IPv4 echo. The checksum stays zero:
// it covers a pseudo-header with the source address, which only the kernel knows, and the kernel fills it in
// for every ICMPv6 socket.
std::vector<std::uint8_t> BuildEcho6Request(std::uint16_t identifier, std::uint16_t sequence);

// The IP_* code for an ICMPv6 error message's type and code; 0 for messages that are no failure
// (informational ones, redirects, ...).
int IpStatusFromIcmp6Error(std::uint8_t type, std::uint8_t code);

// True when `icmpMessage` (ICMPv6 header first) is our echo request, as sent or as quoted in an error.
bool IsOurEcho6Request(std::span<const std::uint8_t> icmpMessage, const Echo6RequestId& request);

// An ICMPv6 message (header first, as both datagram and raw ICMPv6 sockets deliver it) received from
// `source`: 0 when it is the reply to our request, an IP_* code when it is an error quoting our request,
// nullopt when it is not about our request.
std::optional<int> MatchIcmp6Message(std::span<const std::uint8_t> icmpMessage, const in6_addr& source,
                                     const Echo6RequestId& request);
