#include "platform/Resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <net/if.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/SocketError.h"

std::optional<in_addr> ParseDottedIPv4(std::string_view text) {
    if (text.empty() || text.size() > 15) {
        return std::nullopt;
    }
    std::string copy(text);
    in_addr address{};
    if (inet_pton(AF_INET, copy.c_str(), &address) != 1) {
        return std::nullopt;
    }
    return address;
}

namespace {

// Room for a zone name after an IPv6 literal's '%'.
constexpr std::size_t kZoneRoom = IF_NAMESIZE + 1;

// Names under the reserved "invalid" domain never exist (RFC 6761); answering at once keeps the lookup
// off the network.
bool IsReservedInvalidName(std::string_view host) {
    while (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);
    }
    constexpr std::string_view kInvalid = "invalid";
    if (host.size() < kInvalid.size()) {
        return false;
    }
    const std::string_view last = host.substr(host.size() - kInvalid.size());
    for (std::size_t i = 0; i < kInvalid.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(last[i])) != kInvalid[i]) {
            return false;
        }
    }
    return host.size() == kInvalid.size() || host[host.size() - kInvalid.size() - 1] == '.';
}

}  // namespace

std::optional<ResolvedHost> ResolveHostByName(std::string_view name) {
    if (name.empty() || IsReservedInvalidName(name)) {
        SetLastSocketError(wsa::kHostNotFound);
        return std::nullopt;
    }
    // The hints of ResolveAddresses, so that the address pinged is the one a connection would try first.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* raw = nullptr;
    const std::string text(name);
    const int rc = getaddrinfo(text.c_str(), nullptr, &hints, &raw);
    if (rc != 0) {
        SetLastSocketErrorFromResolver(rc, errno);
        return std::nullopt;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> results(raw, &freeaddrinfo);
    for (const addrinfo* ai = results.get(); ai != nullptr; ai = ai->ai_next) {
        if ((ai->ai_family == AF_INET || ai->ai_family == AF_INET6) && ai->ai_addr != nullptr &&
            ai->ai_addrlen <= sizeof(sockaddr_storage)) {
            ResolvedHost host;
            std::memcpy(&host.address.storage, ai->ai_addr, ai->ai_addrlen);
            host.address.length = ai->ai_addrlen;
            // The canonical name rides on the first entry only.
            const char* canonical = results->ai_canonname;
            host.canonicalName = canonical != nullptr && *canonical != '\0' ? canonical : text;
            return host;
        }
    }
    SetLastSocketError(wsa::kNoData);
    return std::nullopt;
}

std::optional<IpAddress> ParseIpLiteral(std::string_view text) {
    // The longest IPv6 text with a zone name stays well under this; longer text is no literal.
    if (text.empty() || text.size() > INET6_ADDRSTRLEN + kZoneRoom ||
        text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    if (auto dotted = ParseDottedIPv4(text)) {
        IpAddress address;
        auto& v4 = reinterpret_cast<sockaddr_in&>(address.storage);
        v4.sin_family = AF_INET;
        v4.sin_addr = *dotted;
        address.length = sizeof(sockaddr_in);
        return address;
    }
    if (text.find(':') == std::string_view::npos) {
        return std::nullopt;
    }
    // getaddrinfo rather than inet_pton: it also takes a zone ("%lo") and sets the scope from it.
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* raw = nullptr;
    const std::string copy(text);
    if (getaddrinfo(copy.c_str(), nullptr, &hints, &raw) != 0) {
        return std::nullopt;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> results(raw, &freeaddrinfo);
    if (results->ai_addr == nullptr || results->ai_addrlen > sizeof(sockaddr_storage)) {
        return std::nullopt;
    }
    IpAddress address;
    std::memcpy(&address.storage, results->ai_addr, results->ai_addrlen);
    address.length = results->ai_addrlen;
    return address;
}

std::optional<std::vector<IpAddress>> ResolveAddresses(std::string_view host) {
    if (auto literal = ParseIpLiteral(host)) {
        return std::vector<IpAddress>{*literal};
    }
    if (host.empty() || IsReservedInvalidName(host)) {
        SetLastSocketError(wsa::kHostNotFound);
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    const std::string text(host);
    const int rc = getaddrinfo(text.c_str(), nullptr, &hints, &raw);
    if (rc != 0) {
        SetLastSocketErrorFromResolver(rc, errno);
        return std::nullopt;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> results(raw, &freeaddrinfo);
    std::vector<IpAddress> addresses;
    for (const addrinfo* ai = results.get(); ai != nullptr; ai = ai->ai_next) {
        if ((ai->ai_family == AF_INET || ai->ai_family == AF_INET6) && ai->ai_addr != nullptr &&
            ai->ai_addrlen <= sizeof(sockaddr_storage)) {
            IpAddress address;
            std::memcpy(&address.storage, ai->ai_addr, ai->ai_addrlen);
            address.length = ai->ai_addrlen;
            addresses.push_back(address);
        }
    }
    if (addresses.empty()) {
        SetLastSocketError(wsa::kNoData);
        return std::nullopt;
    }
    return addresses;
}

std::optional<IpAddress> AddressOf(const sockaddr_storage& sa, std::uint16_t* port) {
    IpAddress address;
    address.storage = sa;
    if (sa.ss_family == AF_INET) {
        address.length = sizeof(sockaddr_in);
        auto& v4 = reinterpret_cast<sockaddr_in&>(address.storage);
        if (port != nullptr) {
            *port = ntohs(v4.sin_port);
        }
        v4.sin_port = 0;
        return address;
    }
    if (sa.ss_family == AF_INET6) {
        address.length = sizeof(sockaddr_in6);
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address.storage);
        if (port != nullptr) {
            *port = ntohs(v6.sin6_port);
        }
        v6.sin6_port = 0;
        return address;
    }
    return std::nullopt;
}

std::string FormatIpAddress(const IpAddress& address) {
    if (address.Family() == AF_INET) {
        return FormatIPv4(reinterpret_cast<const sockaddr_in&>(address.storage).sin_addr);
    }
    if (address.Family() != AF_INET6) {
        return {};
    }
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address.storage);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
        in_addr v4{};
        std::memcpy(&v4, v6.sin6_addr.s6_addr + 12, sizeof v4);
        return FormatIPv4(v4);
    }
    std::array<char, NI_MAXHOST> text{};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&v6), sizeof v6, text.data(), text.size(), nullptr, 0,
                    NI_NUMERICHOST) != 0) {
        inet_ntop(AF_INET6, &v6.sin6_addr, text.data(), text.size());
    }
    return text.data();
}

bool IsIPv6Text(std::string_view address) {
    return address.find(':') != std::string_view::npos;
}

std::string BracketedEndpoint(std::string_view address, std::uint16_t port) {
    std::string text = "[";
    text.append(address);
    text += IsIPv6Text(address) ? "]:" : ":";
    text += std::to_string(port);
    if (!IsIPv6Text(address)) {
        text += ']';
    }
    return text;
}

std::optional<in_addr> ResolveIPv4(std::string_view host) {
    if (auto dotted = ParseDottedIPv4(host)) {
        return dotted;
    }
    if (ParseIpLiteral(host)) {
        SetLastSocketError(wsa::kNoData);  // an IPv6 literal has no IPv4 address
        return std::nullopt;
    }
    const auto addresses = ResolveAddresses(host);
    if (!addresses) {
        return std::nullopt;
    }
    for (const IpAddress& address : *addresses) {
        if (address.Family() == AF_INET) {
            return reinterpret_cast<const sockaddr_in&>(address.storage).sin_addr;
        }
    }
    SetLastSocketError(wsa::kNoData);
    return std::nullopt;
}

std::optional<std::string> ReverseLookup(const IpAddress& address) {
    if (address.Family() != AF_INET && address.Family() != AF_INET6) {
        SetLastSocketError(wsa::kNoData);
        return std::nullopt;
    }
    std::array<char, NI_MAXHOST> host{};
    const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&address.storage), address.length,
                               host.data(), host.size(), nullptr, 0, NI_NAMEREQD);
    if (rc != 0) {
        SetLastSocketErrorFromResolver(rc, errno);
        return std::nullopt;
    }
    return std::string(host.data());
}

std::optional<std::string> ReverseLookupIPv4(in_addr address) {
    IpAddress v4;
    auto& sa = reinterpret_cast<sockaddr_in&>(v4.storage);
    sa.sin_family = AF_INET;
    sa.sin_addr = address;
    v4.length = sizeof sa;
    return ReverseLookup(v4);
}

std::string FormatIPv4(in_addr address) {
    std::array<char, INET_ADDRSTRLEN> text{};
    inet_ntop(AF_INET, &address, text.data(), text.size());
    return text.data();
}
