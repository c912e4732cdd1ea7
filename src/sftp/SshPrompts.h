#pragma once
// The questions a connection asks its user while it logs in: whether to trust a host key seen for the
// first time, and the passphrase of a key file. Called on the connection's own thread.
#include <optional>
#include <string>

// A server's host key as shown to the user.
struct SshHostKey {
    std::string host;
    unsigned port = 22;
    // "ssh-ed25519", "ecdsa-sha2-nistp256", "ssh-rsa".
    std::string type;
    // As `ssh-keygen -lf` writes it: "SHA256:" and the unpadded base64 of the key's SHA-256.
    std::string fingerprint;
};

enum class HostKeyAnswer { ConnectOnce, Always, Cancel };

class SshPrompts {
  public:
    virtual ~SshPrompts() = default;
    // The key is in no known_hosts file.
    virtual HostKeyAnswer AskUnknownHostKey(const SshHostKey& key) = 0;
    // The passphrase of an encrypted key file; nullopt when the user declines (the key is then skipped).
    virtual std::optional<std::string> AskPassphrase(const std::string& keyPath) = 0;
};
