#pragma once
// The IP_* failure codes an ICMP echo yields, numbered as the program has always reported them; 0 is success.

namespace ip {
constexpr int kSuccess = 0;
constexpr int kBufTooSmall = 11001;
constexpr int kDestNetUnreachable = 11002;
constexpr int kDestHostUnreachable = 11003;
constexpr int kDestProtUnreachable = 11004;
constexpr int kDestPortUnreachable = 11005;
constexpr int kNoResources = 11006;
constexpr int kBadOption = 11007;
constexpr int kHwError = 11008;
constexpr int kPacketTooBig = 11009;
constexpr int kReqTimedOut = 11010;
constexpr int kBadReq = 11011;
constexpr int kBadRoute = 11012;
constexpr int kTtlExpiredTransit = 11013;
constexpr int kTtlExpiredReassem = 11014;
constexpr int kParamProblem = 11015;
constexpr int kSourceQuench = 11016;
constexpr int kOptionTooBig = 11017;
constexpr int kBadDestination = 11018;
constexpr int kAddrDeleted = 11019;
constexpr int kSpecMtuChange = 11020;
constexpr int kMtuChange = 11021;
constexpr int kUnload = 11022;
constexpr int kGeneralFailure = 11050;
constexpr int kPending = 11255;
}  // namespace ip
