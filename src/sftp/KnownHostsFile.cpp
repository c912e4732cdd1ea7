#include "sftp/KnownHostsFile.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <fstream>

namespace {

// Base64 to bytes; empty on malformed input.
std::string DecodeBase64(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) {
        return {};
    }
    std::string out(text.size() / 4 * 3, '\0');
    int length =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length < 0) {
        return {};
    }
    // EVP_DecodeBlock counts the padding as zero bytes.
    std::size_t padding = 0;
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) {
        ++padding;
    }
    out.resize(static_cast<std::size_t>(length) - padding);
    return out;
}

// "|1|<base64 salt>|<base64 HMAC-SHA1(salt, name)>".
bool HashedNameMatches(std::string_view field, const std::string& hostName) {
    constexpr std::string_view kMagic = "|1|";
    std::string_view rest = field.substr(kMagic.size());
    std::size_t bar = rest.find('|');
    if (bar == std::string_view::npos) {
        return false;
    }
    std::string salt = DecodeBase64(rest.substr(0, bar));
    std::string expected = DecodeBase64(rest.substr(bar + 1));
    if (salt.empty() || expected.empty()) {
        return false;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (HMAC(EVP_sha1(), salt.data(), static_cast<int>(salt.size()),
             reinterpret_cast<const unsigned char*>(hostName.data()), hostName.size(), digest,
             &digestLength) == nullptr) {
        return false;
    }
    return expected == std::string_view(reinterpret_cast<const char*>(digest), digestLength);
}

// OpenSSH's host patterns: "*" any run, "?" any one character, case ignored; nothing else is special
// ("[host]:port" is literal).
bool GlobMatches(std::string_view pattern, std::string_view text) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t star = std::string_view::npos;
    std::size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || lower(pattern[p]) == lower(text[t]))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            ++i;
        }
        if (i > start) {
            fields.push_back(line.substr(start, i - start));
        }
    }
    return fields;
}

}  // namespace

std::string KnownHostsFile::HostName(std::string_view host, std::uint16_t port) {
    if (port == 22) {
        return std::string(host);
    }
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

bool KnownHostsFile::Matches(std::string_view patterns, const std::string& hostName) {
    if (patterns.substr(0, 3) == "|1|") {
        return HashedNameMatches(patterns, hostName);
    }
    bool matched = false;
    std::size_t start = 0;
    while (start <= patterns.size()) {
        std::size_t comma = patterns.find(',', start);
        std::string_view pattern =
            patterns.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        bool negated = !pattern.empty() && pattern[0] == '!';
        if (negated) {
            pattern.remove_prefix(1);
        }
        if (!pattern.empty() && GlobMatches(pattern, hostName)) {
            if (negated) {
                return false;
            }
            matched = true;
        }
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    return matched;
}

std::vector<KnownHostsFile::Entry> KnownHostsFile::Find(const std::string& path, std::string_view host,
                                                        std::uint16_t port) {
    std::vector<Entry> entries;
    std::ifstream in(path);
    if (!in) {
        return entries;
    }
    const std::string hostName = HostName(host, port);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::vector<std::string_view> fields = SplitFields(line);
        if (fields.empty() || fields[0][0] == '#') {
            continue;
        }
        if (fields[0][0] == '@') {
            // @revoked and @cert-authority lines name no key of the host itself.
            continue;
        }
        if (fields.size() < 3 || !Matches(fields[0], hostName)) {
            continue;
        }
        entries.push_back(Entry{path, number, std::string(fields[1])});
    }
    return entries;
}
