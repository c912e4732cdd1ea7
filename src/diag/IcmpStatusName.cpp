#include "diag/IcmpStatusName.h"

#include <array>
#include <utility>

namespace {
constexpr std::array<std::pair<int, std::string_view>, 24> kNames{{
    {11001, "IP_BUF_TOO_SMALL"},
    {11002, "IP_DEST_NET_UNREACHABLE"},
    {11003, "IP_DEST_HOST_UNREACHABLE"},
    {11004, "IP_DEST_PROT_UNREACHABLE"},
    {11005, "IP_DEST_PORT_UNREACHABLE"},
    {11006, "IP_NO_RESOURCES"},
    {11007, "IP_BAD_OPTION"},
    {11008, "IP_HW_ERROR"},
    {11009, "IP_PACKET_TOO_BIG"},
    {11010, "IP_REQ_TIMED_OUT"},
    {11011, "IP_BAD_REQ"},
    {11012, "IP_BAD_ROUTE"},
    {11013, "IP_TTL_EXPIRED_TRANSIT"},
    {11014, "IP_TTL_EXPIRED_REASSEM"},
    {11015, "IP_PARAM_PROBLEM"},
    {11016, "IP_SOURCE_QUENCH"},
    {11017, "IP_OPTION_TOO_BIG"},
    {11018, "IP_BAD_DESTINATION"},
    {11019, "IP_ADDR_DELETED"},
    {11020, "IP_SPEC_MTU_CHANGE"},
    {11021, "IP_MTU_CHANGE"},
    {11022, "IP_UNLOAD"},
    {11050, "IP_GENERAL_FAILURE"},
    {11255, "IP_PENDING"},
}};
}  // namespace

std::string_view IcmpStatusName(int code) {
    for (const auto& [known, name] : kNames) {
        if (known == code) {
            return name;
        }
    }
    return "<IPunknown>";
}
