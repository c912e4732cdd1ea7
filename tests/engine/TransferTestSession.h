#pragma once
// A logged-in session without a worker on a fake FTP server, for driving the data connection and the
// transfer handlers from the test's own thread, with the log read back from the point of login.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "engine/FtpLogin.h"
#include "engine/FtpSession.h"
#include "hosts/FtpUrl.h"
#include "support/FakeFtpServer.h"
#include "support/FtpSessionTesting.h"
#include "support/RecordingViews.h"

class TransferTestSession {
  public:
    using Lines = std::vector<std::string>;

    // The statistics are timed with a clock that never moves unless a test gives its own.
    static TestSessionOptions StillClock(TestSessionOptions options = {}) {
        if (!options.tickSource) {
            options.tickSource = [] { return std::uint32_t{0}; };
        }
        return options;
    }

    // Logs in as anonymous; false (with a test failure) when that did not work.
    bool Connect(TestSessionOptions options = StillClock()) {
        server.Expect("USER anonymous").Line("230 in");
        FtpUrl url;
        EXPECT_TRUE(ParseUrl(url, "ftp://127.0.0.1:" + std::to_string(server.Port()) + "/"));
        session = FtpSessionTesting::CreateWithoutWorker(url, views.Views(), std::move(options));
        std::string connection;
        const bool ok = FtpLogin::ConnectAndLogin(FtpSessionTesting::Context(*session), connection);
        EXPECT_TRUE(ok);
        mark_ = views.Calls().size();
        return ok;
    }

    // Both log channels since the login, with the ports that change from run to run replaced.
    Lines Log() const { return LogSince(true); }
    Lines Messages() const { return LogSince(false); }
    // The calls of one operation since the login.
    Lines Texts(const std::string& op) const {
        Lines texts;
        const auto calls = views.Calls();
        for (std::size_t i = mark_; i < calls.size(); ++i) {
            if (calls[i].op == op) {
                texts.push_back(calls[i].text);
            }
        }
        return texts;
    }
    // Commands the server received after the login.
    Lines Commands() const {
        Lines commands = server.Commands();
        commands.erase(commands.begin());  // USER
        for (auto& command : commands) {
            command = Normalize(command);
        }
        return commands;
    }

    static std::string Normalize(const std::string& line) {
        static const std::regex sixNumbers(R"((\d+,\d+,\d+,\d+),\d+,\d+)");
        static const std::regex dataEndpoint(R"(:\d+\] for DATA)");
        return std::regex_replace(std::regex_replace(line, sixNumbers, "$1,P1,P2"), dataEndpoint,
                                  ":PORT] for DATA");
    }

    FakeFtpServer server;
    RecordingViews views;
    std::unique_ptr<FtpSession> session;

  private:
    Lines LogSince(bool withTraffic) const {
        Lines lines;
        const auto calls = views.Calls();
        for (std::size_t i = mark_; i < calls.size(); ++i) {
            if (calls[i].op == "LogMessage" || (withTraffic && calls[i].op == "LogTraffic")) {
                lines.push_back(Normalize(calls[i].text));
            }
        }
        return lines;
    }

    std::size_t mark_ = 0;
};
