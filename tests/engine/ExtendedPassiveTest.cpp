// Data connections of a session whose control connection is IPv6 (the fake server on ::1): EPSV and
// EPRT instead of PASV and PORT, the extended replies servers send and the ones they should not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/FtpSession.h"
#include "platform/Socket.h"
#include "support/SessionRows.h"

namespace {

using Lines = std::vector<std::string>;

bool HasIPv6Loopback() {
    Socket probe;
    return probe.Create(0, Socket::kStream, "::1");
}

class ExtendedPassive : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HasIPv6Loopback()) {
            GTEST_SKIP() << "no ::1 on this machine";
        }
    }
};

const std::string kListing = "a\r\nb\r\n";

TEST_F(ExtendedPassive, ListingsOverIPv6UseTheExtendedCommands) {
    struct Case {
        const char* what;
        bool passive;
        std::vector<Step> script;
        Lines log;
    };
    const std::vector<Case> cases = {
        {"passive: EPSV, connected to the control peer",
         true,
         {Step::Epsv(), {"LIST", "150 go", Step::Send(kListing, "226 Done")}},
         {"LISTing /pub", "<EPSV", ">229 Entering Extended Passive Mode (|||PORT|)", "<LIST",
          "Connected to [::1]:PORT for DATA", ">150 go", "... received 2 bytes in 0 seconds", ">226 Done"}},
        {"active: EPRT names the control connection's own address",
         false,
         {{"EPRT |2|::1|PORT|", "200 EPRT ok"}, {"LIST", "150 go", Step::Send(kListing, "226 Done")}},
         {"LISTing /pub", "<EPRT |2|::1|PORT|", ">200 EPRT ok", "<LIST",
          "Accepted connection on [::1]:PORT for DATA", ">150 go", "... received 2 bytes in 0 seconds",
          ">226 Done"}},
        {"425 to EPSV: EPRT instead",
         true,
         {{"EPSV", "425 no passive here"},
          {"EPRT |2|::1|PORT|", "200 EPRT ok"},
          {"LIST", "150 go", Step::Send(kListing, "226 Done")}},
         {"LISTing /pub", "<EPSV", ">425 no passive here", "... Can't open PASSIVEly; trying PORT",
          "<EPRT |2|::1|PORT|", ">200 EPRT ok", "<LIST", "Accepted connection on [::1]:PORT for DATA",
          ">150 go", "... received 2 bytes in 0 seconds", ">226 Done"}},
    };
    for (const Case& c : cases) {
        RunRow({.what = c.what,
                .script = c.script,
                .passive = c.passive,
                .loopback = "::1",
                .run = {Run::List("/pub")},
                .results = {226},
                .log = c.log,
                .texts = {{"AddListingLine", {"a", "b"}}}});
    }
}

TEST_F(ExtendedPassive, TransfersOverIPv6) {
    RunRow({.what = "download, upload and delete over EPSV",
            .script = {Step::Epsv(),
                       {"RETR f", "150 go", Step::Send("abc\r\n", "226 sent")},
                       {"TYPE I", "200 binary"},
                       Step::Epsv(),
                       {"STOR up", "150 go", Step::Receive("226 stored")},
                       {"DELE gone", "250 deleted"}},
            .local = {{"up", "xyz"}},
            .loopback = "::1",
            .run = {Run::Get({RemoteEntry("f", 5, 0)}), Run::Put({"up"}, kImageType), Run::Delete({"gone"})},
            .results = {226, 226, 250},
            .files = {{"f", "abc\n"}, {"up", "xyz"}},
            .received = {"xyz"}});
}

// A reply the client cannot use is refused like a bad 227: the data connection is closed before it was
// made, nothing else is sent for the request, the request ends as it does for a bad 227 on IPv4, and the
// session goes on (the runner's NOOP gets its own 200).
TEST_F(ExtendedPassive, UnusableReplyIsRefusedLikeABadPasvReplyAndTheSessionGoesOn) {
    struct Case {
        const char* what;
        std::string reply;
    };
    const std::vector<Case> cases = {
        {"port 0", "229 Entering Extended Passive Mode (|||0|)"},
        {"port above 65535", "229 Entering Extended Passive Mode (|||65536|)"},
        {"no parentheses", "229 Entering Extended Passive Mode |||6446|"},
        {"no closing parenthesis", "229 Entering Extended Passive Mode (|||6446|"},
        {"an address in the reply", "229 Entering Extended Passive Mode (|2|::1|6446|)"},
        {"mixed delimiters", "229 Entering Extended Passive Mode (|||6446!)"},
        {"blank delimiters", "229 Entering Extended Passive Mode (   6446 )"},
        {"no port at all", "229 Entering Extended Passive Mode"},
        {"over-long", "229 Entering Extended Passive Mode (|||6446|) " + std::string(150, 'x')},
        {"a 227 reply instead", "227 Entering Passive Mode (127,0,0,1,4,1)"},
        {"refused", "500 EPSV not understood"},
    };
    const auto pasvTwin =
        RunRow({.what = "a bad 227 on IPv4",
                .script = {{"PASV", "227 Entering Passive Mode (127,0,0,1,0,0)"}},
                .run = {Run::List("/pub")},
                .log = {"LISTing /pub", "<PASV", ">227 Entering Passive Mode (127,0,0,1,P1,P2)",
                        "... [DATA] connection CLOSED"}});
    for (const Case& c : cases) {
        const auto run = RunRow({.what = c.what,
                                 .script = {{"EPSV", c.reply}},
                                 .loopback = "::1",
                                 .run = {Run::List("/pub")},
                                 .log = {"LISTing /pub", "<EPSV", ">" + EngineSession::Normalize(c.reply),
                                         "... [DATA] connection CLOSED"},
                                 .texts = {{"FinishListing", {}}}});
        if (c.reply[0] == '2') {
            EXPECT_EQ(run->results, pasvTwin->results) << c.what;
        } else {
            EXPECT_EQ(run->results, std::vector<int>{500}) << c.what;
        }
    }
}

// A server that offers nothing but PASV over IPv6 cannot serve a data connection: the listing fails
// cleanly with the server's refusal.
TEST_F(ExtendedPassive, NoPassiveCommandOfTheOldFormIsSentOverIPv6) {
    const auto run = RunRow({.what = "EPSV refused, PASV never tried",
                             .script = {{"EPSV", "502 EPSV not implemented"}},
                             .loopback = "::1",
                             .run = {Run::List("/pub")},
                             .results = {502},
                             .commands = {"EPSV"}});
}

}  // namespace
