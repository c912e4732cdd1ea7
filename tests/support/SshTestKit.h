#pragma once
// What SFTP tests share: prompts that answer as a row says and record what they were asked, a log that
// keeps both channels, and options that point a connection at a RealSshServer's own files only.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sftp/SshConnectOptions.h"
#include "sftp/SshPrompts.h"
#include "support/RealSshServer.h"
#include "views/LogView.h"

class ScriptedPrompts : public SshPrompts {
  public:
    HostKeyAnswer AskUnknownHostKey(const SshHostKey& key) override {
        asked.push_back(key);
        return answer;
    }
    std::optional<std::string> AskPassphrase(const std::string& keyPath) override {
        passphraseAsked.push_back(keyPath);
        return passphrase;
    }
    HostKeyAnswer answer = HostKeyAnswer::ConnectOnce;
    std::optional<std::string> passphrase;
    std::vector<SshHostKey> asked;
    std::vector<std::string> passphraseAsked;
};

class TwoChannelLog : public LogView {
  public:
    void LogTraffic(std::string_view line) override { traffic.emplace_back(line); }
    void LogMessage(std::string_view line) override { messages.emplace_back(line); }
    // The messages one per line, for failure output and substring checks.
    std::string Messages() const {
        std::string all;
        for (const std::string& line : messages) {
            all += line + "\n";
        }
        return all;
    }
    std::vector<std::string> traffic;
    std::vector<std::string> messages;
};

// Options for the server's account with no agent, no key file and the server's own known_hosts file.
inline SshConnectOptions OptionsFor(const RealSshServer& server) {
    SshConnectOptions options;
    options.host = "127.0.0.1";
    options.port = server.Port();
    options.user = server.User();
    options.userKnownHosts = (server.Dir() / "known_hosts").string();
    options.globalKnownHosts = (server.Dir() / "no_global_known_hosts").string();
    options.useAgent = false;
    options.timeout = std::chrono::seconds(10);
    return options;
}
