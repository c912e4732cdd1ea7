#pragma once
// The symbolic name of an ICMP echo failure code ("IP_REQ_TIMED_OUT"), as the ping results show it.
#include <string_view>

// Name of `code`, or "<IPunknown>" for a code outside the table (0 included).
std::string_view IcmpStatusName(int code);
