#pragma once
// IPv4 name service: host name or dotted text to address, and address to host name. Failures store a
// WinSock-numbered last socket error (WSAHOST_NOT_FOUND, WSANO_DATA, ...).
#include <netinet/in.h>

#include <optional>
#include <string>
#include <string_view>

// A dotted IPv4 address ("192.0.2.7") parsed strictly; nullopt for anything else (names, "1.2.3").
std::optional<in_addr> ParseDottedIPv4(std::string_view text);

struct ResolvedHost {
    in_addr address{};
    std::string canonicalName;
};

// A host name's first IPv4 address and its official (canonical) name, as a host entry gives them.
std::optional<ResolvedHost> ResolveHostByName(std::string_view name);

// The first IPv4 address of a host name, or of dotted text (used unchanged, no lookup).
std::optional<in_addr> ResolveIPv4(std::string_view host);

// The host name of an address (reverse lookup); nullopt when it has none.
std::optional<std::string> ReverseLookupIPv4(in_addr address);

// "a.b.c.d" of an address.
std::string FormatIPv4(in_addr address);
