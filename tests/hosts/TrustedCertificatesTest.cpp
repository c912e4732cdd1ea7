#include "hosts/TrustedCertificates.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/ProfileKeys.h"
#include "platform/ProfileStore.h"
#include "support/TempDir.h"

namespace {

using Match = TrustedCertificates::Match;

constexpr const char* kFirst = "AB:CD:EF";
constexpr const char* kSecond = "01:23:45";

class TrustedCertificatesTest : public ::testing::Test {
  protected:
    TempDir root_;
    ProfileStore store_{root_.Path()};
};

TEST_F(TrustedCertificatesTest, AnswersNoneSameOrChangedPerHostAndPort) {
    TrustedCertificates trusted(store_);
    EXPECT_EQ(trusted.Check("ftp.example.org", 990, kFirst), Match::None);
    ASSERT_TRUE(trusted.Remember("ftp.example.org", 990, kFirst));
    EXPECT_EQ(trusted.Check("ftp.example.org", 990, kFirst), Match::Same);
    EXPECT_EQ(trusted.Check("ftp.example.org", 990, kSecond), Match::Changed);
    // Another port or host is another server.
    EXPECT_EQ(trusted.Check("ftp.example.org", 21, kFirst), Match::None);
    EXPECT_EQ(trusted.Check("other.example.org", 990, kFirst), Match::None);
    // The host's letter case does not matter.
    EXPECT_EQ(trusted.Check("FTP.Example.ORG", 990, kFirst), Match::Same);
    EXPECT_EQ(store_.QueryString(kCertificatesKey, "ftp.example.org:990"), kFirst);
}

TEST_F(TrustedCertificatesTest, RememberReplacesAndSurvivesANewObjectOnTheSameStore) {
    {
        TrustedCertificates trusted(store_);
        ASSERT_TRUE(trusted.Remember("Host", 21, kFirst));
        ASSERT_TRUE(trusted.Remember("host", 21, kSecond));
        ASSERT_TRUE(trusted.Remember("host", 2121, kFirst));
    }
    const TrustedCertificates reopened(ProfileStore(root_.Path()));
    EXPECT_EQ(reopened.Check("host", 21, kSecond), Match::Same);
    EXPECT_EQ(reopened.Check("host", 21, kFirst), Match::Changed);
    EXPECT_EQ(reopened.Check("host", 2121, kFirst), Match::Same);
    EXPECT_EQ(store_.EnumerateValues(kCertificatesKey).size(), 2u);
}

TEST_F(TrustedCertificatesTest, AStoreThatRefusesWritesRemembersNothing) {
    TrustedCertificates trusted(ProfileStore("relative/root"));
    EXPECT_FALSE(trusted.Remember("host", 21, kFirst));
    EXPECT_EQ(trusted.Check("host", 21, kFirst), Match::None);
}

// Several sessions' workers may ask and store at once; under TSan this shows a race.
TEST_F(TrustedCertificatesTest, WorkersMayCheckAndRememberAtOnce) {
    TrustedCertificates trusted(store_);
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) {
        workers.emplace_back([&trusted, i] {
            for (int n = 0; n < 20; ++n) {
                const std::uint16_t port = static_cast<std::uint16_t>(1000 + i);
                trusted.Remember("host", port, n % 2 ? kFirst : kSecond);
                EXPECT_NE(trusted.Check("host", port, kFirst), Match::None);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(store_.EnumerateValues(kCertificatesKey).size(), 4u);
}

}  // namespace
