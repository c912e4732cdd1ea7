// Finding the lines of a known_hosts file that name a host, in the forms OpenSSH writes and reads.
#include <gtest/gtest.h>

#include "sftp/KnownHostsFile.h"
#include "support/RealSshServer.h"
#include "support/TempDir.h"

namespace {

constexpr const char* kKey = "AAAAC3NzaC1lZDI1NTE5AAAAIOMqqnkVzrm0SdG6UOoqKLsabgH5C9okWi0dh2l9GKJl";

struct FindRow {
    const char* name;
    const char* hostField;
    const char* host;
    std::uint16_t port;
    bool found;
};

const FindRow kFindRows[] = {
    {"PlainName", "files.example", "files.example", 22, true},
    {"PlainNameOtherPort", "files.example", "files.example", 2222, false},
    {"BracketedPort", "[files.example]:2222", "files.example", 2222, true},
    {"BracketedOtherPort", "[files.example]:2222", "files.example", 22, false},
    {"CommaList", "a.example,files.example,192.0.2.1", "192.0.2.1", 22, true},
    {"Wildcard", "*.example", "files.example", 22, true},
    {"NegatedInList", "*.example,!files.example", "files.example", 22, false},
    {"CaseDiffers", "FILES.example", "files.example", 22, true},
    {"QuestionMark", "files?.example", "files1.example", 22, true},
    {"OtherHost", "other.example", "files.example", 22, false},
    {"RevokedIsNoKeyOfTheHost", "@revoked files.example", "files.example", 22, false},
};

class KnownHostsFind : public testing::TestWithParam<FindRow> {};

TEST_P(KnownHostsFind, NamesTheLineOfTheHostsKey) {
    const FindRow& row = GetParam();
    TempDir dir;
    const std::string path = (dir / "known_hosts").string();
    ASSERT_TRUE(TempDir::WriteFileAt(path, std::string("# comment\n\nelse.example ssh-rsa AAAA\n") +
                                               row.hostField + " ssh-ed25519 " + kKey + "\n"));
    std::vector<KnownHostsFile::Entry> entries = KnownHostsFile::Find(path, row.host, row.port);
    ASSERT_EQ(entries.size(), row.found ? 1u : 0u);
    if (row.found) {
        EXPECT_EQ(entries[0].file, path);
        EXPECT_EQ(entries[0].line, 4);
        EXPECT_EQ(entries[0].keyType, "ssh-ed25519");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, KnownHostsFind, testing::ValuesIn(kFindRows),
                         [](const testing::TestParamInfo<FindRow>& info) {
                             return std::string(info.param.name);
                         });

// Names hashed by OpenSSH's own ssh-keygen -H are found under their real name and port only.
TEST(KnownHostsHashed, FindsNamesThatSshKeygenHashed) {
    TempDir dir;
    const std::string path = (dir / "known_hosts").string();
    ASSERT_TRUE(TempDir::WriteFileAt(path, std::string("files.example ssh-ed25519 ") + kKey +
                                               "\n[10.0.0.7]:2200 ssh-ed25519 " + kKey + "\n"));
    std::string output;
    if (RealSshServer::Run({"ssh-keygen", "-H", "-f", path}, &output) != 0) {
        GTEST_SKIP() << "ssh-keygen -H failed: " << output;
    }
    ASSERT_EQ(TempDir::ReadFileAt(path).value_or("").rfind("|1|", 0), 0u);
    const struct {
        const char* host;
        std::uint16_t port;
        int line;
    } rows[] = {
        {"files.example", 22, 1}, {"10.0.0.7", 2200, 2}, {"10.0.0.7", 22, 0}, {"other.example", 22, 0}};
    for (const auto& row : rows) {
        std::vector<KnownHostsFile::Entry> entries = KnownHostsFile::Find(path, row.host, row.port);
        EXPECT_EQ(entries.empty() ? 0 : entries[0].line, row.line) << row.host << ":" << row.port;
    }
}

}  // namespace
