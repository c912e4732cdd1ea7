#pragma once
// Looks a host name up in the IPv4 name service the way a host entry is read: its first address and its
// official (canonical) name.
#include <netinet/in.h>

#include <optional>
#include <string>
#include <string_view>

struct ResolvedHost {
    in_addr address{};
    std::string canonicalName;
};

// nullopt when the name does not resolve; the thread's last socket error then says why (WSAHOST_NOT_FOUND,
// WSANO_DATA, ...).
std::optional<ResolvedHost> ResolveHostByName(std::string_view name);
