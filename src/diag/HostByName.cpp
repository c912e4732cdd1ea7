#include "diag/HostByName.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>

#include "platform/SocketError.h"

std::optional<ResolvedHost> ResolveHostByName(std::string_view name) {
    if (name.empty()) {
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
