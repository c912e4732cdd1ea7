// Logging in to OpenSSH's server: the login methods, the host-key question and its three answers, a
// changed key, and a cancel from another thread.
#include <gtest/gtest.h>

#include <pwd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "sftp/SshConnection.h"
#include "support/RealSshServer.h"
#include "support/SshTestKit.h"

namespace {

struct LoginRow {
    const char* name;
    const char* keyType;
    bool viaAgent;
    const char* passphrase;
    // What the user answers when asked (nullptr: the passphrase prompt is declined).
    const char* answer;
    bool loggedIn;
    // Part of the method the connection reports.
    const char* method;
};

const LoginRow kLoginRows[] = {
    {"Ed25519KeyFile", "ed25519", false, "", nullptr, true, "id_test, ssh-ed25519"},
    {"RsaKeyFileWithSha2Signatures", "rsa", false, "", nullptr, true, "id_test, ssh-rsa"},
    {"EcdsaKeyFile", "ecdsa", false, "", nullptr, true, "id_test, ecdsa"},
    {"Agent", "ed25519", true, "", nullptr, true, "ssh-agent"},
    {"EncryptedKeyWithPassphrase", "ed25519", false, "open sesame", "open sesame", true, "id_test"},
    {"EncryptedKeyPassphraseDeclined", "ed25519", false, "open sesame", nullptr, false, ""},
    {"EncryptedKeyWrongPassphrase", "ed25519", false, "open sesame", "guess", false, ""},
};

class SshLogin : public testing::TestWithParam<LoginRow> {};

TEST_P(SshLogin, LogsInWithWhatTheRowOffers) {
    const LoginRow& row = GetParam();
    RealSshServer server;
    WISP_REQUIRE_SSH_SERVER(server);
    std::string key = server.MakeClientKey("id_test", row.keyType, row.passphrase);
    ASSERT_FALSE(key.empty()) << server.Error();
    SshConnectOptions options = OptionsFor(server);
    if (row.viaAgent) {
        ASSERT_TRUE(server.AddToAgent(key)) << server.Error();
        options.useAgent = true;
        options.agentSocket = server.AgentSocket();
    } else {
        options.keyFiles = {(server.Dir() / "id_missing").string(), key};
    }
    ScriptedPrompts prompts;
    if (row.answer != nullptr) {
        prompts.passphrase = row.answer;
    }
    TwoChannelLog log;
    SshConnection connection(log, prompts);
    SshResult result = connection.Open(options);
    EXPECT_EQ(result.ok, row.loggedIn) << result.reason << "\n" << log.Messages();
    EXPECT_EQ(connection.IsOpen(), row.loggedIn);
    EXPECT_EQ(prompts.passphraseAsked.size(), std::string(row.passphrase).empty() ? 0u : 1u);
    if (row.loggedIn) {
        EXPECT_NE(connection.LoginMethod().find(row.method), std::string::npos) << connection.LoginMethod();
        EXPECT_NE(log.Messages().find("Logged in as " + server.User()), std::string::npos) << log.Messages();
        EXPECT_EQ(connection.ServerBanner().rfind("SSH-2.0-OpenSSH", 0), 0u) << connection.ServerBanner();
    } else {
        EXPECT_EQ(connection.LastFailure(), SshConnection::Failure::Login);
        EXPECT_NE(result.reason.find("publickey"), std::string::npos) << result.reason;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, SshLogin, testing::ValuesIn(kLoginRows),
                         [](const testing::TestParamInfo<LoginRow>& info) {
                             return std::string(info.param.name);
                         });

// The account the test command makes where it runs as root, with a new password each run.
struct PasswordRow {
    const char* name;
    bool rightPassword;
    // The server asks for the password through keyboard-interactive (PAM) rather than "password".
    bool keyboardInteractive;
};

const PasswordRow kPasswordRows[] = {{"RightPassword", true, false},
                                     {"WrongPassword", false, false},
                                     {"KeyboardInteractive", true, true},
                                     {"KeyboardInteractiveWrongPassword", false, true}};

class SshPasswordLogin : public testing::TestWithParam<PasswordRow> {};

TEST_P(SshPasswordLogin, UsesThePasswordTheUserTyped) {
    std::ifstream file(std::string(WISP_SOURCE_DIR) + "/.cache/sftp-test-password");
    std::string password;
    if (!std::getline(file, password) || password.empty() || ::getpwnam("wisp-sftp-test") == nullptr) {
        GTEST_SKIP() << "no account wisp-sftp-test: scripts/test.sh makes it when it runs as root";
    }
    RealSshServer server;
    WISP_REQUIRE_SSH_SERVER(server);
    if (GetParam().keyboardInteractive) {
        ASSERT_TRUE(server.RestartWithKeyboardInteractiveOnly()) << server.Error();
    }
    SshConnectOptions options = OptionsFor(server);
    options.user = "wisp-sftp-test";
    options.password = GetParam().rightPassword ? password : password + "!";
    ScriptedPrompts prompts;
    TwoChannelLog log;
    SshConnection connection(log, prompts);

    const SshResult result = connection.Open(options);

    EXPECT_EQ(result.ok, GetParam().rightPassword) << result.reason << "\n" << log.Messages();
    if (GetParam().rightPassword) {
        EXPECT_EQ(connection.LoginMethod(),
                  GetParam().keyboardInteractive ? "keyboard-interactive" : "password");
    } else {
        EXPECT_EQ(connection.LastFailure(), SshConnection::Failure::Login);
        EXPECT_NE(result.reason.find(GetParam().keyboardInteractive ? "keyboard-interactive" : "password"),
                  std::string::npos)
            << result.reason;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, SshPasswordLogin, testing::ValuesIn(kPasswordRows),
                         [](const testing::TestParamInfo<PasswordRow>& info) {
                             return std::string(info.param.name);
                         });

struct HostKeyRow {
    const char* name;
    // known_hosts holds the server's key before the connection.
    bool known;
    // The key was replaced after it became known.
    bool changed;
    HostKeyAnswer answer;
    bool asked;
    bool loggedIn;
    SshConnection::Failure failure;
    // `ssh-keygen -F` finds the host in known_hosts afterwards.
    bool savedAfter;
};

const HostKeyRow kHostKeyRows[] = {
    {"Known", true, false, HostKeyAnswer::Cancel, false, true, SshConnection::Failure::None, true},
    {"UnknownConnectOnce", false, false, HostKeyAnswer::ConnectOnce, true, true, SshConnection::Failure::None,
     false},
    {"UnknownAlways", false, false, HostKeyAnswer::Always, true, true, SshConnection::Failure::None, true},
    {"UnknownCancel", false, false, HostKeyAnswer::Cancel, true, false,
     SshConnection::Failure::HostKeyUnknownRefused, false},
    {"Changed", true, true, HostKeyAnswer::Always, false, false, SshConnection::Failure::HostKeyChanged,
     true},
};

class SshHostKeyCheck : public testing::TestWithParam<HostKeyRow> {};

TEST_P(SshHostKeyCheck, AsksOrRefusesBeforeAnythingIsSent) {
    const HostKeyRow& row = GetParam();
    RealSshServer server;
    WISP_REQUIRE_SSH_SERVER(server);
    SshConnectOptions options = OptionsFor(server);
    options.keyFiles = {server.MakeClientKey("id_test", "ed25519")};
    const std::string knownHosts = options.userKnownHosts;
    // Two unrelated hosts first, so the old key's line number is not simply 1.
    std::string known =
        "[127.0.0.1]:1 ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOMqqnkVzrm0SdG6UOoqKLsabgH5C9okWi0dh2l9GKJl\n"
        "other.example ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOMqqnkVzrm0SdG6UOoqKLsabgH5C9okWi0dh2l9GKJl\n";
    if (row.known) {
        known += server.KnownHostsLine("ed25519") + "\n";
    }
    ASSERT_TRUE(TempDir::WriteFileAt(knownHosts, known));
    if (row.changed) {
        ASSERT_TRUE(server.ReplaceHostKeys()) << server.Error();
    }
    const std::string logBefore = server.Log();
    ScriptedPrompts prompts;
    prompts.answer = row.answer;
    TwoChannelLog log;
    SshConnection connection(log, prompts);
    SshResult result = connection.Open(options);

    EXPECT_EQ(result.ok, row.loggedIn) << result.reason << "\n" << log.Messages();
    EXPECT_EQ(connection.LastFailure(), row.failure);
    ASSERT_EQ(prompts.asked.size(), row.asked ? 1u : 0u);
    if (row.asked) {
        EXPECT_EQ(prompts.asked[0].type, "ssh-ed25519");
        EXPECT_EQ(prompts.asked[0].fingerprint, server.HostKeyFingerprint("ed25519"));
    }
    std::string found;
    RealSshServer::Run({"ssh-keygen", "-F", "[127.0.0.1]:" + std::to_string(server.Port()), "-f", knownHosts},
                       &found);
    EXPECT_EQ(found.find("ssh-ed25519") != std::string::npos, row.savedAfter) << found;
    if (!row.loggedIn) {
        connection.Close();
        std::string sshdLog;
        // sshd notes every authentication request; a refused key must leave none.
        for (int i = 0; i < 50 && sshdLog.find("Connection closed") == std::string::npos &&
                        sshdLog.find("disconnect") == std::string::npos;
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            sshdLog = server.Log().substr(logBefore.size());
        }
        EXPECT_EQ(sshdLog.find("userauth-request"), std::string::npos) << sshdLog;
    }
    if (row.changed) {
        EXPECT_NE(result.reason.find(knownHosts + ":3"), std::string::npos) << result.reason;
        EXPECT_NE(result.reason.find(server.HostKeyFingerprint("ed25519")), std::string::npos)
            << result.reason;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, SshHostKeyCheck, testing::ValuesIn(kHostKeyRows),
                         [](const testing::TestParamInfo<HostKeyRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(SshConnect, NothingListeningFailsAtOnceNamingTheHost) {
    RealSshServer server;
    WISP_REQUIRE_SSH_SERVER(server);
    SshConnectOptions options = OptionsFor(server);
    server.Kill();
    ScriptedPrompts prompts;
    TwoChannelLog log;
    SshConnection connection(log, prompts);
    SshResult result = connection.Open(options);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(connection.LastFailure(), SshConnection::Failure::Network);
    EXPECT_NE(result.reason.find("127.0.0.1"), std::string::npos) << result.reason;
}

TEST(SshConnect, CancelFromAnotherThreadEndsTheWaitForAnAnswer) {
    RealSshServer server;
    WISP_REQUIRE_SSH_SERVER(server);
    SshConnectOptions options = OptionsFor(server);
    options.keyFiles = {server.MakeClientKey("id_test", "ed25519")};
    TwoChannelLog log;
    // The question is where a user may sit for long: cancel while it is open.
    struct CancellingPrompts : ScriptedPrompts {
        SshConnection* connection = nullptr;
        HostKeyAnswer AskUnknownHostKey(const SshHostKey&) override {
            std::thread([this] { connection->Cancel(); }).join();
            return HostKeyAnswer::ConnectOnce;
        }
    } cancelling;
    SshConnection cancelled(log, cancelling);
    cancelling.connection = &cancelled;
    SshResult result = cancelled.Open(options);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(cancelled.LastFailure(), SshConnection::Failure::Cancelled) << result.reason;
}

}  // namespace

namespace {

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// Logged in, refused, or cancelled: the socket goes with the connection, whoever gave up.
TEST(SshConnect, EveryEndingClosesTheSocket) {
    RealSshServer server;
    WISP_REQUIRE_SSH_SERVER(server);
    const std::string key = server.MakeClientKey("id_test", "ed25519");
    const HostKeyAnswer answers[] = {HostKeyAnswer::Cancel, HostKeyAnswer::ConnectOnce,
                                     HostKeyAnswer::ConnectOnce};
    for (HostKeyAnswer answer : answers) {
        const std::size_t before = OpenDescriptors();
        {
            SshConnectOptions options = OptionsFor(server);
            options.keyFiles = {key};
            ScriptedPrompts prompts;
            prompts.answer = answer;
            TwoChannelLog log;
            SshConnection connection(log, prompts);
            connection.Open(options);
        }
        std::string open;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ignored;
            open += std::filesystem::read_symlink(entry.path(), ignored).string() + " ";
        }
        EXPECT_EQ(OpenDescriptors(), before)
            << open << (answer == HostKeyAnswer::Cancel ? "refused" : "logged in");
    }
}

}  // namespace
