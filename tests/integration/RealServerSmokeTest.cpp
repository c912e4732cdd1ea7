// Proves the real-server launchers: each server lists, sends and accepts files over loopback in passive
// and active mode, using curl as an independent client.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "support/RealFtpServer.h"
#include "support/TempDir.h"

// Readable parameter names in failure messages.
void PrintTo(RealFtpServer::Kind kind, std::ostream* out) {
    *out << (kind == RealFtpServer::Kind::Pyftpdlib ? "pyftpdlib" : "vsftpd");
}

namespace {

using Kind = RealFtpServer::Kind;

struct CurlResult {
    int exitCode;
    std::string output;
};

// Runs curl against 127.0.0.1 (bounded); arguments must be shell-safe.
CurlResult Curl(const std::string& arguments) {
    std::string command = "curl -s -S --max-time 20 " + arguments + " 2>&1";
    CurlResult result{-1, {}};
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        result.output.append(buffer, n);
    }
    int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string Url(const RealFtpServer& server, const std::string& path) {
    return "ftp://127.0.0.1:" + std::to_string(server.Port()) + "/" + path;
}

struct Mode {
    const char* name;
    const char* curlOptions;  // plain PASV / PORT, as our client speaks them
};
constexpr Mode kModes[] = {
    {"passive", "--disable-epsv"},
    {"active", "--ftp-port 127.0.0.1 --disable-eprt"},
};

class RealServerSmokeTest : public ::testing::TestWithParam<Kind> {};

TEST_P(RealServerSmokeTest, ListsAndSendsFilesInBothModes) {
    RealFtpServer server(GetParam());
    WISP_REQUIRE_REAL_SERVER(server);
    std::string payload = server.WritePatternFile("pub/data.bin", 200000);
    ASSERT_EQ(payload.size(), 200000u);

    for (const Mode& mode : kModes) {
        SCOPED_TRACE(mode.name);
        CurlResult listing = Curl(std::string(mode.curlOptions) + " " + Url(server, "pub/"));
        EXPECT_EQ(listing.exitCode, 0) << listing.output << server.Log();
        EXPECT_NE(listing.output.find("data.bin"), std::string::npos) << listing.output;

        CurlResult file = Curl(std::string(mode.curlOptions) + " " + Url(server, "pub/data.bin"));
        EXPECT_EQ(file.exitCode, 0) << server.Log();
        EXPECT_TRUE(file.output == payload) << "received " << file.output.size() << " bytes";
    }
}

TEST_P(RealServerSmokeTest, AnonymousMayUploadOverwriteAndDeleteInWritableFolder) {
    RealFtpServer server(GetParam());
    WISP_REQUIRE_REAL_SERVER(server);
    TempDir local;
    ASSERT_TRUE(local.WriteFile("up.bin", TempDir::PatternBytes(5000, 7)));
    std::string folder = RealFtpServer::kWritableFolder;
    ASSERT_TRUE(server.WriteFile(folder + "/old.txt", "old\r\n"));

    for (const Mode& mode : kModes) {
        SCOPED_TRACE(mode.name);
        CurlResult upload = Curl(std::string(mode.curlOptions) + " -T " + (local / "up.bin").string() + " " +
                                 Url(server, folder + "/up.bin"));
        EXPECT_EQ(upload.exitCode, 0) << upload.output << server.Log();
        EXPECT_EQ(server.ReadFile(folder + "/up.bin"), TempDir::PatternBytes(5000, 7));
    }
    CurlResult remove = Curl("-Q \"DELE " + folder + "/old.txt\" " + Url(server, ""));
    EXPECT_EQ(remove.exitCode, 0) << remove.output << server.Log();
    EXPECT_FALSE(server.Exists(folder + "/old.txt"));
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerSmokeTest, ::testing::Values(Kind::Pyftpdlib, Kind::Vsftpd),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return info.param == Kind::Pyftpdlib ? "pyftpdlib" : "vsftpd";
                         });

TEST(PyftpdlibAccountTest, NamedAccountLogsIn) {
    RealFtpServer server(Kind::Pyftpdlib);
    WISP_REQUIRE_REAL_SERVER(server);
    ASSERT_TRUE(server.WriteFile("note.txt", "hello\n"));
    std::string login = std::string("-u ") + RealFtpServer::kUser + ":" + RealFtpServer::kPassword + " ";
    EXPECT_EQ(Curl(login + Url(server, "note.txt")).output, "hello\n");
    EXPECT_NE(Curl("-u wisp:wrong " + Url(server, "note.txt")).exitCode, 0);
}

}  // namespace
