#pragma once
// Name service: host name or address text to the addresses of both families, and address to host name.
// Failures store a WinSock-numbered last socket error (WSAHOST_NOT_FOUND, WSANO_DATA, ...).
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One IPv4 or IPv6 address (port 0) in the form the socket calls take it.
struct IpAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int Family() const { return storage.ss_family; }
    bool IsIPv6() const { return storage.ss_family == AF_INET6; }
};

// An address literal: dotted IPv4 ("192.0.2.7") or IPv6 text without brackets ("2001:db8::5", with a zone
// "fe80::1%lo"); nullopt for names and anything else. No lookup.
std::optional<IpAddress> ParseIpLiteral(std::string_view text);

// Every address of `host`, both families, in the order the resolver gives them (its preference); a
// literal is itself, without a lookup.
std::optional<std::vector<IpAddress>> ResolveAddresses(std::string_view host);

// The address as text: dotted IPv4, or IPv6 without brackets. An IPv4 address mapped into IPv6 (a
// dual-stack socket's view of an IPv4 peer) is written as the dotted IPv4 it is.
std::string FormatIpAddress(const IpAddress& address);

// The address of a socket address of either family with its port (host order); nullopt for another
// family.
std::optional<IpAddress> AddressOf(const sockaddr_storage& sa, std::uint16_t* port);

// True for IPv6 address text ("::1"): text holding a colon.
bool IsIPv6Text(std::string_view address);

// An endpoint as the log writes it: "[192.0.2.7:21]" for IPv4, "[2001:db8::5]:21" for IPv6.
std::string BracketedEndpoint(std::string_view address, std::uint16_t port);

// A dotted IPv4 address ("192.0.2.7") parsed strictly; nullopt for anything else (names, "1.2.3").
std::optional<in_addr> ParseDottedIPv4(std::string_view text);

struct ResolvedHost {
    IpAddress address;
    std::string canonicalName;
};

// A host name's first address of either family, the one ResolveAddresses puts first, and its official
// (canonical) name.
std::optional<ResolvedHost> ResolveHostByName(std::string_view name);

// The first IPv4 address of a host name, or of dotted text (used unchanged, no lookup); for the ping.
std::optional<in_addr> ResolveIPv4(std::string_view host);

// The host name of an address of either family (reverse lookup); nullopt when it has none.
std::optional<std::string> ReverseLookup(const IpAddress& address);
std::optional<std::string> ReverseLookupIPv4(in_addr address);

// "a.b.c.d" of an address.
std::string FormatIPv4(in_addr address);
