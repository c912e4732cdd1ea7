#include "hosts/FtpUrl.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class FtpUrlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = GetUrlDefaults();
        SetUrlDefaults("ftp", "anonymous", "me@example.org", "21");
    }
    void TearDown() override { SetUrlDefaults(saved_.scheme, saved_.user, saved_.password, saved_.port); }

  private:
    UrlDefaults saved_;
};

struct ParseCase {
    std::string text;
    std::string scheme, user, password, host, port, path, typeCode;
    bool schemeDefaulted, loginDefaulted, portDefaulted;
    std::string canonical;
};

const std::string kNul("a\0b", 3);

const std::vector<ParseCase> kCases = {
    // text, scheme, user, password, host, port, path, type, sD, lD, pD, canonical
    {"server", "ftp", "anonymous", "me@example.org", "server", "21", "", "", true, true, true, "server"},
    {"FTP://server:2121/pub/x;i", "ftp", "anonymous", "me@example.org", "server", "2121", "pub/x", "i", false,
     true, false, "ftp://server:2121/pub/x"},
    {"joe:secret@server/", "ftp", "joe", "secret", "server", "21", "", "", true, false, true, "server"},
    {"ftp://server", "ftp", "anonymous", "me@example.org", "server", "21", "", "", false, true, true,
     "ftp://server"},
    {"Gopher://server", "gopher", "anonymous", "me@example.org", "server", "21", "", "", false, true, true,
     "gopher://server"},
    {"server:", "ftp", "anonymous", "me@example.org", "server", "", "", "", true, true, false, "server:"},
    {"@server", "ftp", "", "", "server", "21", "", "", true, false, true, "server"},
    {"server/a@b", "ftp", "server/a", "", "b", "21", "", "", true, false, true, "b"},
    {"u:p:q@server", "ftp", "u", "p:q", "server", "21", "", "", true, false, true, "server"},
    {":pw@server", "ftp", "", "pw", "server", "21", "", "", true, false, true, "server"},
    {"u:@server", "ftp", "u", "", "server", "21", "", "", true, false, true, "server"},
    {"ftp://server:21", "ftp", "anonymous", "me@example.org", "server", "21", "", "", false, true, false,
     "ftp://server:21"},
    {"ftp://u:p@h:x/a/b/;d", "ftp", "u", "p", "h", "x", "a/b/", "d", false, false, false, "ftp://h:x/a/b/"},
    {"h/p;a", "ftp", "anonymous", "me@example.org", "h", "21", "p", "a", true, true, true, "h/p"},
    {"h//x", "ftp", "anonymous", "me@example.org", "h", "21", "/x", "", true, true, true, "h//x"},
    {"h/%20x", "ftp", "anonymous", "me@example.org", "h", "21", "%20x", "", true, true, true, "h/%20x"},
    {"a@b@c", "ftp", "a", "", "b@c", "21", "", "", true, false, true, "b@c"},
    {"Ab-C://h", "ab-c", "anonymous", "me@example.org", "h", "21", "", "", false, true, true, "ab-c://h"},
    {"h:1:2", "ftp", "anonymous", "me@example.org", "h", "1:2", "", "", true, true, false, "h:1:2"},
    {kNul, "ftp", "anonymous", "me@example.org", kNul, "21", "", "", true, true, true, kNul},
    // IPv6 literals in brackets: the host is the address alone, the brackets come back when written.
    {"ftp://[::1]:2121/pub/", "ftp", "anonymous", "me@example.org", "::1", "2121", "pub/", "", false, true,
     false, "ftp://[::1]:2121/pub/"},
    {"ftp://user:pw@[2001:db8::1]/", "ftp", "user", "pw", "2001:db8::1", "21", "", "", false, false, true,
     "ftp://[2001:db8::1]"},
    {"[2001:DB8::1]", "ftp", "anonymous", "me@example.org", "2001:DB8::1", "21", "", "", true, true, true,
     "[2001:DB8::1]"},
    {"ftps://[::ffff:192.0.2.7]:x/a;i", "ftps", "anonymous", "me@example.org", "::ffff:192.0.2.7", "x", "a",
     "i", false, true, false, "ftps://[::ffff:192.0.2.7]:x/a"},
    {"[::1]:", "ftp", "anonymous", "me@example.org", "::1", "", "", "", true, true, false, "[::1]:"},
    {"u:p:[q@[::1]", "ftp", "u", "p:[q", "::1", "21", "", "", true, false, true, "[::1]"},
    {"h/[::1]", "ftp", "anonymous", "me@example.org", "h", "21", "[::1]", "", true, true, true, "h/[::1]"},
    {"h]:[21", "ftp", "anonymous", "me@example.org", "h]", "[21", "", "", true, true, false, "h]:[21"},
};

// Texts that are no valid URL.
const std::vector<std::string> kMalformed = {
    "",
    "://server",
    "ftp://",
    "server@",
    "ftp://u:p@",
    "/pub",
    "ftp:///pub",
    ":21",
    "u@:21/x",
    "server/;i",
    "server/pub;type=i",
    "server/pub;A",
    "server/pub;",
    "server/pub;ii",
    "server/p;a;i",
    "[::1",
    "ftp://[::1/pub",
    "[]",
    "[::1]x",
    "[::1]]",
    "[::1]/;x",
    "[::g]",
    "[localhost]",
    "[192.0.2.7]",
    "[ ::1]",
    "[[::1]]",
    "ftp://u@[::1",
};

TEST_F(FtpUrlTest, RefusesMalformedTexts) {
    for (const std::string& text : kMalformed) {
        SCOPED_TRACE("text: " + text);
        FtpUrl url;
        EXPECT_FALSE(ParseUrl(url, text));
        EXPECT_TRUE(FtpUrl(text).host.empty());
    }
}

TEST_F(FtpUrlTest, ParsesAndFormats) {
    for (const ParseCase& c : kCases) {
        SCOPED_TRACE("text: " + c.text);
        FtpUrl url;
        ASSERT_TRUE(ParseUrl(url, c.text));
        FtpUrl constructed(c.text);
        EXPECT_EQ(url.scheme, c.scheme);
        EXPECT_EQ(url.user, c.user);
        EXPECT_EQ(url.password, c.password);
        EXPECT_EQ(url.host, c.host);
        EXPECT_EQ(url.port, c.port);
        EXPECT_EQ(url.path, c.path);
        EXPECT_EQ(url.typeCode, c.typeCode);
        EXPECT_EQ(url.schemeDefaulted, c.schemeDefaulted);
        EXPECT_EQ(url.loginDefaulted, c.loginDefaulted);
        EXPECT_EQ(url.portDefaulted, c.portDefaulted);
        EXPECT_EQ(FormatUrl(url), c.canonical);
        EXPECT_EQ(constructed.host, c.host);

        // The canonical text is a fixed point when it holds no login separator.
        if (c.canonical.find('@') == std::string::npos) {
            FtpUrl again;
            ASSERT_TRUE(ParseUrl(again, c.canonical));
            EXPECT_EQ(FormatUrl(again), c.canonical);
        }
    }
}

TEST_F(FtpUrlTest, CapitalSchemeGivesSameCanonicalText) {
    EXPECT_EQ(FormatUrl(FtpUrl("FTP://server")), FormatUrl(FtpUrl("ftp://server")));
}

TEST_F(FtpUrlTest, DefaultsComeFromTheLastSetUrlDefaults) {
    SetUrlDefaults("gopher", "guest", "x@y", "2121");
    FtpUrl url("host");
    EXPECT_EQ(url.scheme, "gopher");
    EXPECT_EQ(url.user, "guest");
    EXPECT_EQ(url.password, "x@y");
    EXPECT_EQ(url.port, "2121");
    EXPECT_EQ(FormatUrl(url), "host");  // defaulted parts never reach the canonical text
}

TEST_F(FtpUrlTest, TheSchemeChoosesTheTransportAndADefaultedPortForImplicitTls) {
    struct Case {
        std::string text;
        bool supported;
        bool tls;
        std::string port;
    };
    const std::vector<Case> cases = {
        {"server", true, false, "21"},
        {"ftp://server", true, false, "21"},
        {"ftpes://server", true, true, "21"},
        {"FTPES://server:2121", true, true, "2121"},
        {"ftps://server/pub", true, true, "990"},
        {"FtPs://u:p@server", true, true, "990"},
        {"ftps://server:21", true, true, "21"},
        {"ftps://server:", true, true, ""},
        {"gopher://server", false, false, "21"},
        {"ftpss://server", false, false, "21"},
        {"ssh://server", false, false, "21"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const FtpUrl url(c.text);
        EXPECT_EQ(IsSupportedScheme(url.scheme), c.supported);
        EXPECT_EQ(IsTlsScheme(url.scheme), c.tls);
        EXPECT_EQ(EffectivePort(url), c.port);
        EXPECT_FALSE(IsSftpScheme(url.scheme));
        EXPECT_TRUE(OffersAsciiType(url.scheme));
    }
    // The canonical text keeps the port as typed: a defaulted one stays out of it.
    EXPECT_EQ(FormatUrl(FtpUrl("ftps://server")), "ftps://server");
}

// The worker parses while the UI thread may set the defaults; run under TSan this shows a race.
TEST_F(FtpUrlTest, DefaultsCanBeReadWhileSetFromAnotherThread) {
    std::thread setter([] {
        for (int i = 0; i < 200; ++i) {
            SetUrlDefaults("ftp", "anonymous", i % 2 ? "a@b" : "c@d", "21");
        }
    });
    for (int i = 0; i < 200; ++i) {
        FtpUrl url("host");
        EXPECT_TRUE(url.password == "a@b" || url.password == "c@d" || url.password == "me@example.org");
    }
    setter.join();
}

}  // namespace

namespace {

// The transfer queue's name for a session's site: every part given, never the password, and read back
// by the parser as the same site.
TEST_F(FtpUrlTest, SitesNameEveryPartButThePassword) {
    const struct {
        const char* text;
        const char* site;
    } rows[] = {
        {"server", "ftp://anonymous@server:21"},
        {"joe:secret@server:2121/pub", "ftp://joe@server:2121"},
        {"ftps://ann@secure.test", "ftps://ann@secure.test:990"},
        {"ftpes://[::1]:2100/x", "ftpes://anonymous@[::1]:2100"},
        {"sftp://joe:pw@files.test/home/joe", "sftp://joe@files.test:22"},
        {"SFTP://joe@[::1]:2222", "sftp://joe@[::1]:2222"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        const std::string site = FormatSite(FtpUrl(row.text));
        EXPECT_EQ(site, row.site);
        const FtpUrl again(site);
        EXPECT_EQ(FormatSite(again), site);
    }
}

}  // namespace

namespace {

// The account the program runs as, as the system names it: whom ssh logs in as when no user is given.
std::string ThisAccount() {
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr ? entry->pw_name : "";
}

// SFTP sites: SSH's port and login defaults, never FTP's anonymous login, and no ASCII type.
TEST_F(FtpUrlTest, SftpSitesUsePortTwentyTwoAndTheLocalAccount) {
    const struct {
        const char* text;
        const char* user;  // nullptr: this account
        const char* password;
        const char* port;
        const char* canonical;
    } rows[] = {
        {"sftp://files.test", nullptr, "", "22", "sftp://files.test"},
        {"SFTP://files.test/home/me/", nullptr, "", "22", "sftp://files.test/home/me/"},
        {"sftp://files.test:2222/x", nullptr, "", "2222", "sftp://files.test:2222/x"},
        {"sftp://joe@files.test", "joe", "", "22", "sftp://files.test"},
        {"sftp://joe:s3cret@[2001:db8::5]:22/", "joe", "s3cret", "22", "sftp://[2001:db8::5]:22"},
        {"sftp://:pw@files.test", "", "pw", "22", "sftp://files.test"},
        {"sftp://files.test:", nullptr, "", "", "sftp://files.test:"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        const FtpUrl url(row.text);
        ASSERT_FALSE(url.host.empty());
        EXPECT_EQ(url.scheme, "sftp");
        EXPECT_TRUE(IsSupportedScheme(url.scheme));
        EXPECT_TRUE(IsSftpScheme(url.scheme));
        EXPECT_FALSE(IsTlsScheme(url.scheme));
        EXPECT_FALSE(OffersAsciiType(url.scheme));
        EXPECT_EQ(url.user, row.user != nullptr ? row.user : ThisAccount());
        EXPECT_EQ(url.password, row.password);
        EXPECT_EQ(url.loginDefaulted, row.user == nullptr);
        // The session reads url.port: the port named, or SSH's, never the FTP default.
        EXPECT_EQ(url.port, row.port);
        EXPECT_EQ(EffectivePort(url), row.port);
        EXPECT_EQ(FormatUrl(url), row.canonical);
    }
    EXPECT_FALSE(ThisAccount().empty());
    EXPECT_EQ(FormatSite(FtpUrl("sftp://files.test")), "sftp://" + ThisAccount() + "@files.test:22");
}

}  // namespace
