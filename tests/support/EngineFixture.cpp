#include "support/EngineFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <regex>

#include "engine/FtpLogin.h"

std::string ServerUrl(std::uint16_t port, std::string_view path, std::string_view login,
                      std::string_view scheme, std::string_view host) {
    const std::string written =
        host.find(':') != std::string_view::npos ? "[" + std::string(host) + "]" : std::string(host);
    return std::string(scheme) + "://" + std::string(login) + written + ":" + std::to_string(port) + "/" +
           std::string(path);
}

EngineSession::EngineSession(std::string_view loopback) : loopback(loopback), server(loopback) {}

TestSessionOptions EngineSession::StillClock(TestSessionOptions options) {
    if (!options.tickSource) {
        options.tickSource = [] { return std::uint32_t{0}; };
    }
    return options;
}

void EngineSession::Open(TestSessionOptions options, std::string_view login) {
    FtpUrl url;
    EXPECT_TRUE(ParseUrl(url, ServerUrl(server.Port(), "", login, "ftp", loopback)));
    session = FtpSessionTesting::CreateWithoutWorker(url, views.Views(), std::move(options));
}

bool EngineSession::OpenControl(TestSessionOptions options) {
    Open(std::move(options));
    BufferedSocket& control = Context().Control();
    const bool open = control.Create() && control.AllocateBuffer(FtpSession::kControlBufferSize) &&
                      control.Connect(loopback, server.Port());
    EXPECT_TRUE(open);
    return open;
}

bool EngineSession::Connect(TestSessionOptions options) {
    server.Expect("USER anonymous").Line("230 in");
    Open(std::move(options));
    std::string connection;
    const bool ok = FtpLogin::ConnectAndLogin(Context(), connection);
    EXPECT_TRUE(ok);
    callMark_ = views.Calls().size();
    commandMark_ = server.Commands().size();
    return ok;
}

EngineSession::Lines EngineSession::Since(const std::function<bool(const RecordedCall&)>& wanted,
                                          bool normalize, bool withOp) const {
    Lines lines;
    const auto calls = views.Calls();
    for (std::size_t i = callMark_; i < std::min(calls.size(), callEnd_); ++i) {
        if (!wanted(calls[i])) {
            continue;
        }
        std::string line = calls[i].text;
        if (withOp) {
            line = line.empty() ? calls[i].op : calls[i].op + " " + line;
        }
        lines.push_back(normalize ? Normalize(line) : line);
    }
    return lines;
}

EngineSession::Lines EngineSession::Log() const {
    return Since([](const RecordedCall& call) { return call.op == "LogMessage" || call.op == "LogTraffic"; },
                 true, false);
}

EngineSession::Lines EngineSession::Messages() const {
    return Since([](const RecordedCall& call) { return call.op == "LogMessage"; }, true, false);
}

EngineSession::Lines EngineSession::Traffic() const {
    return Since([](const RecordedCall& call) { return call.op == "LogTraffic"; }, true, false);
}

EngineSession::Lines EngineSession::Calls() const {
    return Since([](const RecordedCall&) { return true; }, true, true);
}

EngineSession::Lines EngineSession::Texts(const std::string& op) const {
    return Since([&](const RecordedCall& call) { return call.op == op; }, false, false);
}

EngineSession::Lines EngineSession::Commands() const {
    const Lines all = server.Commands();
    Lines commands;
    for (std::size_t i = commandMark_; i < all.size(); ++i) {
        commands.push_back(Normalize(all[i]));
    }
    return commands;
}

std::string EngineSession::Normalize(const std::string& line) {
    static const std::regex sixNumbers(R"((\d+,\d+,\d+,\d+),\d+,\d+)");
    static const std::regex dataEndpoint(R"(:\d+\] for DATA)");
    static const std::regex extendedPort(R"((EPRT \|[12]\|[^|]*\||229 [^(]*\(\|\|\|)\d+\|)");
    static const std::regex dataEndpointV6(R"(\]:\d+ for DATA)");
    std::string normalized =
        std::regex_replace(std::regex_replace(line, sixNumbers, "$1,P1,P2"), dataEndpoint, ":PORT] for DATA");
    normalized = std::regex_replace(normalized, extendedPort, "$1PORT|");
    return std::regex_replace(normalized, dataEndpointV6, "]:PORT for DATA");
}

int ForEachLocale(const std::function<void(const char* locale)>& body) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    std::vector<const char*> locales = {"C"};
    for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8"}) {
        if (std::setlocale(LC_ALL, name) != nullptr) {
            locales.push_back(name);
        }
    }
    for (const char* locale : locales) {
        EXPECT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale;
        SCOPED_TRACE(locale);
        body(locale);
    }
    std::setlocale(LC_ALL, saved.c_str());
    return static_cast<int>(locales.size());
}
