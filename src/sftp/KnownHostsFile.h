#pragma once
// Finds where a known_hosts file (OpenSSH's format: plain, bracketed "[host]:port" and hashed "|1|"
// names, comma lists, wildcards) holds keys for a host, so that a changed key can be reported with the
// file and line of the old one.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class KnownHostsFile {
  public:
    struct Entry {
        std::string file;
        int line = 0;
        // The key's type as written ("ssh-ed25519").
        std::string keyType;
    };

    // The entries of `path` naming host:port, in file order; none when the file cannot be read.
    // Revoked and certificate-authority lines are not keys of the host and are left out.
    static std::vector<Entry> Find(const std::string& path, std::string_view host, std::uint16_t port);
    // How known_hosts names host:port: "host" for port 22, else "[host]:port".
    static std::string HostName(std::string_view host, std::uint16_t port);
    // Does one field of host patterns ("a,b,*.c", "|1|salt|hash") name `hostName`?
    static bool Matches(std::string_view patterns, const std::string& hostName);
};
