#include "hosts/FtpUrl.h"

#include <pwd.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "platform/Resolver.h"

namespace {

struct SharedDefaults {
    std::mutex lock;
    UrlDefaults values{"ftp", "anonymous", "<your-email-address>", "21"};
};

SharedDefaults& Defaults() {
    static SharedDefaults defaults;
    return defaults;
}

// ASCII only, so the result does not depend on the locale Qt sets at start-up.
std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

constexpr auto npos = std::string_view::npos;

// The name of the account this process runs as; empty when the system knows none.
std::string LocalAccountName() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return {};
    }
    return found->pw_name;
}

// Looked up once: the account does not change while the program runs, and URLs are parsed at every key.
const std::string& SshDefaultUser() {
    static const std::string name = LocalAccountName();
    return name;
}

// "[" IPv6 address "]" [":" port]: the host is the address without its brackets; the port is kept as
// typed, like after a name. Anything but an IPv6 address inside (a name, dotted IPv4, junk), a missing
// "]" or anything but ":" after it makes no valid URL.
bool ParseBracketedHost(FtpUrl& url, std::string_view hostPart, const std::string& defaultPort) {
    const std::size_t close = hostPart.find(']');
    if (close == npos) {
        return false;
    }
    const std::string_view address = hostPart.substr(1, close - 1);
    const auto literal = ParseIpLiteral(address);
    if (!literal || !literal->IsIPv6()) {
        return false;
    }
    url.host = address;
    const std::string_view after = hostPart.substr(close + 1);
    if (after.empty()) {
        url.port = defaultPort;
        url.portDefaulted = true;
        return true;
    }
    if (after.front() != ':') {
        return false;
    }
    url.port = after.substr(1);
    return true;
}

}  // namespace

FtpUrl::FtpUrl(std::string_view text) {
    if (!ParseUrl(*this, text)) {
        host.clear();
    }
}

bool ParseUrl(FtpUrl& url, std::string_view text) {
    url = FtpUrl();
    std::string_view s = text;
    if (s.empty()) {
        return false;
    }
    const UrlDefaults defaults = GetUrlDefaults();

    const std::size_t schemeEnd = s.find("://");
    if (schemeEnd == npos) {
        url.scheme = defaults.scheme;
        url.schemeDefaulted = true;
    } else if (schemeEnd == 0) {
        return false;
    } else {
        url.scheme = LowerAscii(s.substr(0, schemeEnd));
        s.remove_prefix(schemeEnd + 3);
        if (s.empty()) {
            return false;
        }
    }

    // SSH's port, not the FTP default of the Options: "sftp://host" is port 22 to every reader of url.port.
    const std::string defaultPort = IsSftpScheme(url.scheme) ? std::string("22") : defaults.port;

    const std::size_t at = s.find('@');
    if (at == npos) {
        if (IsSftpScheme(url.scheme)) {
            url.user = SshDefaultUser();
        } else {
            url.user = defaults.user;
            url.password = defaults.password;
        }
        url.loginDefaulted = true;
    } else {
        const std::string_view login = s.substr(0, at);
        const std::size_t colon = login.find(':');
        if (colon == npos) {
            url.user = login;
        } else {
            url.user = login.substr(0, colon);
            url.password = login.substr(colon + 1);
        }
        if (at + 1 == s.size()) {
            return false;
        }
        s.remove_prefix(at + 1);
    }

    const std::size_t slash = s.find('/');
    if (slash == 0) {
        return false;
    }
    const std::string_view hostPart = s.substr(0, slash);
    if (!hostPart.empty() && hostPart.front() == '[') {
        if (!ParseBracketedHost(url, hostPart, defaultPort)) {
            return false;
        }
    } else if (const std::size_t portColon = hostPart.find(':'); portColon == npos) {
        url.host = hostPart;
        url.port = defaultPort;
        url.portDefaulted = true;
    } else if (portColon == 0) {
        return false;
    } else {
        url.host = hostPart.substr(0, portColon);
        url.port = hostPart.substr(portColon + 1);
    }

    if (slash == npos || slash + 1 == s.size()) {
        return true;
    }
    s.remove_prefix(slash + 1);

    const std::size_t semicolon = s.find(';');
    if (semicolon == npos) {
        url.path = s;
        return true;
    }
    if (semicolon == 0) {
        return false;
    }
    url.path = s.substr(0, semicolon);
    url.typeCode = s.substr(semicolon + 1);
    return url.typeCode == "a" || url.typeCode == "i" || url.typeCode == "d";
}

std::string FormatUrl(const FtpUrl& url) {
    std::string text;
    if (!url.schemeDefaulted) {
        text = url.scheme + "://";
    }
    // A host holding ':' can only be an IPv6 address: it goes back into its brackets.
    if (url.host.find(':') != std::string::npos) {
        text += '[' + url.host + ']';
    } else {
        text += url.host;
    }
    if (!url.portDefaulted) {
        text += ':';
        text += url.port;
    }
    if (!url.path.empty()) {
        text += '/';
        text += url.path;
    }
    return text;
}

std::string FormatSite(const FtpUrl& url) {
    std::string text = url.scheme + "://";
    if (!url.user.empty()) {
        text += url.user + "@";
    }
    text += url.host.find(':') != std::string::npos ? '[' + url.host + ']' : url.host;
    return text + ":" + EffectivePort(url);
}

bool IsSupportedScheme(std::string_view scheme) {
    return scheme == "ftp" || IsTlsScheme(scheme) || IsSftpScheme(scheme);
}

bool IsTlsScheme(std::string_view scheme) {
    return scheme == "ftpes" || scheme == "ftps";
}

bool IsSftpScheme(std::string_view scheme) {
    return scheme == "sftp";
}

bool OffersAsciiType(std::string_view scheme) {
    return !IsSftpScheme(scheme);
}

std::string EffectivePort(const FtpUrl& url) {
    if (!url.portDefaulted) {
        return url.port;
    }
    if (url.scheme == "ftps") {
        return "990";
    }
    return url.port;
}

void SetUrlDefaults(std::string_view scheme, std::string_view user, std::string_view password,
                    std::string_view port) {
    SharedDefaults& defaults = Defaults();
    std::lock_guard<std::mutex> guard(defaults.lock);
    defaults.values =
        UrlDefaults{std::string(scheme), std::string(user), std::string(password), std::string(port)};
}

UrlDefaults GetUrlDefaults() {
    SharedDefaults& defaults = Defaults();
    std::lock_guard<std::mutex> guard(defaults.lock);
    return defaults.values;
}
