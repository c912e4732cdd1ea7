#include "app/CommandLine.h"

#ifndef WISP_VERSION
#define WISP_VERSION "1.0"
#endif

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Decodes every "%XX"; `what` names the part in the error text.
bool PercentDecode(std::string_view text, std::string_view what, std::string& out, std::string& error) {
    out.clear();
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '%') {
            out += c;
            continue;
        }
        const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
            error = "malformed escape \"" + std::string(text.substr(i, 3)) + "\" in the " +
                    std::string(what) + " (a \"%\" must be followed by two hexadecimal digits)";
            return false;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    for (const char c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            error = "the " + std::string(what) + " holds a control character";
            return false;
        }
    }
    return true;
}

}  // namespace

bool CommandLine::DecodeUrl(std::string_view text, CommandLineUrl& url, std::string& error) {
    url = CommandLineUrl{};
    const std::size_t schemeEnd = text.find("://");
    const std::size_t hostStart = schemeEnd == std::string_view::npos ? 0 : schemeEnd + 3;
    std::size_t authorityEnd = text.find('/', hostStart);
    if (authorityEnd == std::string_view::npos) {
        authorityEnd = text.size();
    }
    const std::string_view authority = text.substr(hostStart, authorityEnd - hostStart);
    const std::size_t at = authority.rfind('@');

    std::string_view withoutLogin = text;
    std::string joined;
    if (at != std::string_view::npos) {
        url.loginGiven = true;
        const std::string_view login = authority.substr(0, at);
        const std::size_t colon = login.find(':');
        const std::string_view user = login.substr(0, colon);
        const std::string_view password =
            colon == std::string_view::npos ? std::string_view() : login.substr(colon + 1);
        if (!PercentDecode(user, "user name", url.user, error) ||
            !PercentDecode(password, "password", url.password, error)) {
            url = CommandLineUrl{};
            return false;
        }
        joined = std::string(text.substr(0, hostStart)) + std::string(text.substr(hostStart + at + 1));
        withoutLogin = joined;
    }
    if (!PercentDecode(withoutLogin, "URL", url.url, error)) {
        url = CommandLineUrl{};
        return false;
    }
    // The URL box reads everything before an "@" as a login, wherever the "@" stands, so such a
    // path would silently name another host.
    if (url.url.find('@') != std::string::npos) {
        error = "the URL's path holds an \"@\", which Wisp would read as a login";
        url = CommandLineUrl{};
        return false;
    }
    return true;
}

CommandLineRequest CommandLine::Parse(const std::vector<std::string_view>& args) {
    CommandLineRequest request;
    std::vector<std::string_view> urls;
    std::string unknown;
    bool optionsEnded = false;
    for (const std::string_view arg : args) {
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (arg == "--help" || arg == "-h")) {
            request.action = CommandLineAction::Help;
            return request;
        } else if (!optionsEnded && arg == "--version") {
            request.action = CommandLineAction::Version;
            return request;
        } else if (!optionsEnded && arg.size() > 1 && arg.front() == '-') {
            if (unknown.empty()) {
                unknown = arg;
            }
        } else {
            urls.push_back(arg);
        }
    }
    request.action = CommandLineAction::Fail;
    if (!unknown.empty()) {
        request.error = "unknown option \"" + unknown + "\"";
        return request;
    }
    if (urls.size() > 1) {
        request.error = "only one URL can be opened at a time";
        return request;
    }
    if (urls.size() == 1) {
        if (urls.front().empty()) {
            request.error = "the URL is empty";
            return request;
        }
        if (!DecodeUrl(urls.front(), request.url, request.error)) {
            return request;
        }
        request.hasUrl = true;
    }
    request.action = CommandLineAction::Run;
    return request;
}

CommandLineRequest CommandLine::Parse(int argc, char** argv) {
    std::vector<std::string_view> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    return Parse(args);
}

std::string CommandLine::HelpText() {
    return "Usage: wisp [URL]\n"
           "Starts Wisp, the FTP client, and opens URL on the Host page when one is given,\n"
           "for example ftp://ftp.example.org/pub/ or ftp://user@ftp.example.org:2121/incoming/.\n"
           "ftpes:// connects with explicit TLS (port 21 unless given), ftps:// with implicit TLS\n"
           "(port 990 unless given), sftp:// over SSH (port 22 unless given; without a user name, as\n"
           "your own account, with your SSH keys).\n"
           "Percent escapes such as %20 are decoded; the user name and password are taken out of the\n"
           "URL and handed over separately.\n"
           "\n"
           "  -h, --help     show this help and exit\n"
           "      --version  show the version and exit\n";
}

std::string CommandLine::VersionText() {
    return "Wisp " WISP_VERSION "\n";
}
