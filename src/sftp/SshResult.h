#pragma once
// What an SSH or SFTP operation returns: success, or the reason it failed in words fit for the Log page
// (SFTP status names, libssh's own error text).
#include <string>
#include <utility>

struct SshResult {
    bool ok = false;
    std::string reason;

    static SshResult Success() { return SshResult{true, {}}; }
    static SshResult Failure(std::string why) { return SshResult{false, std::move(why)}; }
    explicit operator bool() const { return ok; }
};
