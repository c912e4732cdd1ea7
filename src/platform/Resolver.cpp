#include "platform/Resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <array>
#include <cctype>
#include <cerrno>
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
    addrinfo hints{};
    hints.ai_family = AF_INET;
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
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr) {
            ResolvedHost host;
            host.address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
            // The canonical name rides on the first entry only.
            const char* canonical = results->ai_canonname;
            host.canonicalName = canonical != nullptr && *canonical != '\0' ? canonical : text;
            return host;
        }
    }
    SetLastSocketError(wsa::kNoData);
    return std::nullopt;
}

std::optional<in_addr> ResolveIPv4(std::string_view host) {
    if (auto dotted = ParseDottedIPv4(host)) {
        return dotted;
    }
    if (auto resolved = ResolveHostByName(host)) {
        return resolved->address;
    }
    return std::nullopt;
}

std::optional<std::string> ReverseLookupIPv4(in_addr address) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = address;
    std::array<char, NI_MAXHOST> host{};
    const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host.data(), host.size(),
                               nullptr, 0, NI_NAMEREQD);
    if (rc != 0) {
        SetLastSocketErrorFromResolver(rc, errno);
        return std::nullopt;
    }
    return std::string(host.data());
}

std::string FormatIPv4(in_addr address) {
    std::array<char, INET_ADDRSTRLEN> text{};
    inet_ntop(AF_INET, &address, text.data(), text.size());
    return text.data();
}
