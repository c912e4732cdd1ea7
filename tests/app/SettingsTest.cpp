#include "app/Settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ProfileKeys.h"
#include "platform/ProfileStore.h"
#include "support/ConfigFolder.h"

namespace {

class SettingsTest : public ::testing::Test {
  protected:
    ConfigFolder config_;
    ProfileStore store_ = ProfileStore::ForCurrentUser();
    Settings settings_{store_};
};

TEST_F(SettingsTest, FirstStartReadsDefaultsAndCreatesTheSettingsKey) {
    ASSERT_EQ(store_.Root(), config_.Path());
    const SettingsValues values = settings_.Load();
    EXPECT_TRUE(values.logging);
    EXPECT_TRUE(values.logCommands);
    EXPECT_TRUE(values.logExtended);
    EXPECT_EQ(values.email, "<your-email-address>");
    EXPECT_TRUE(values.passive);
    EXPECT_TRUE(store_.KeyExists(kSettingsKey));
    // Reading writes nothing.
    EXPECT_TRUE(store_.EnumerateValues(kSettingsKey).empty());
}

TEST_F(SettingsTest, SavedValuesReadBackUnchanged) {
    const std::vector<SettingsValues> cases = {
        {false, false, false, "", false, false, false},
        {true, false, true, "user@example.org", false, true, false},
        {false, true, false, "odd: \"quotes\" / slashes \\ and \x01 bytes", true},
        {true, true, true, "<your-email-address>", true},
    };
    for (const SettingsValues& saved : cases) {
        settings_.Save(saved);
        const SettingsValues loaded = settings_.Load();
        EXPECT_EQ(loaded.logging, saved.logging) << saved.email;
        EXPECT_EQ(loaded.logCommands, saved.logCommands) << saved.email;
        EXPECT_EQ(loaded.logExtended, saved.logExtended) << saved.email;
        EXPECT_EQ(loaded.email, saved.email);
        EXPECT_EQ(loaded.passive, saved.passive) << saved.email;
        EXPECT_EQ(loaded.keepUploadTimes, saved.keepUploadTimes) << saved.email;
        EXPECT_EQ(loaded.keepAlive, saved.keepAlive) << saved.email;
    }
}

TEST_F(SettingsTest, ValuesAreWrittenInOrderWithTheirTypes) {
    settings_.Save({true, false, true, "me@example.org", false, true, false});
    const std::vector<ProfileValue> values = store_.EnumerateValues(kSettingsKey);
    ASSERT_EQ(values.size(), 7u);
    const std::vector<std::string> names = {"Logging", "LogCmd",    "LogExt",   "EMail",
                                            "Passive", "KeepTimes", "KeepAlive"};
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(values[i].name, names[i]);
        EXPECT_EQ(values[i].type, i == 3 ? ProfileValueType::String : ProfileValueType::Dword) << names[i];
    }
    EXPECT_EQ(values[0].dword, 1u);
    EXPECT_EQ(values[1].dword, 0u);
    EXPECT_EQ(values[3].text, "me@example.org");
    EXPECT_EQ(values[6].dword, 0u);
}

TEST_F(SettingsTest, ValuesOfTheWrongTypeOrMissingReadAsDefaults) {
    store_.SetString(kSettingsKey, "Logging", "0");
    store_.SetDword(kSettingsKey, "EMail", 7);
    store_.SetDword(kSettingsKey, "LogCmd", 0);
    store_.SetDword(kSettingsKey, "Passive", 2);  // any non-zero word is on
    const SettingsValues values = settings_.Load();
    EXPECT_TRUE(values.logging);
    EXPECT_FALSE(values.logCommands);
    EXPECT_TRUE(values.logExtended);
    EXPECT_EQ(values.email, "<your-email-address>");
    EXPECT_TRUE(values.passive);
    EXPECT_TRUE(values.keepUploadTimes);
    EXPECT_TRUE(values.keepAlive);
}

TEST_F(SettingsTest, RemovalLeavesNothingOfWispAndKeepsOtherProgramsOfTheCompany) {
    struct Case {
        const char* name;
        const char* otherKey;  // another program's key under the company key, or none
    };
    const Case cases[] = {
        {"alone", nullptr},
        {"beside another program", "Tarn/Other"},
        {"beside another program's deep key", "Tarn/Other/Deep"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        settings_.Save({});
        store_.SetString(kHostsKey, "ftp://ftp.example.org/", "anonymous");
        store_.SetString(kCertificatesKey, "ftp.example.org:990", "AB:CD");
        if (c.otherKey != nullptr) {
            store_.SetString(c.otherKey, "kept", "yes");
        }
        settings_.RemoveAll();
        EXPECT_FALSE(store_.KeyExists(kSettingsKey));
        EXPECT_FALSE(store_.KeyExists(kHostsKey));
        EXPECT_FALSE(store_.KeyExists(kCertificatesKey));
        EXPECT_FALSE(store_.KeyExists(kApplicationKey));
        if (c.otherKey != nullptr) {
            EXPECT_TRUE(store_.KeyExists(kCompanyKey));
            EXPECT_EQ(store_.QueryString(c.otherKey, "kept"), "yes");
            store_.DeleteKey(c.otherKey);
            store_.DeleteKey("Tarn/Other");
            store_.DeleteKey(kCompanyKey);
        } else {
            EXPECT_FALSE(store_.KeyExists(kCompanyKey));
        }
        EXPECT_TRUE(std::filesystem::is_empty(config_.Path()));
    }
}

TEST_F(SettingsTest, RemovalWithNothingStoredLeavesNothingBehind) {
    settings_.RemoveAll();
    EXPECT_TRUE(std::filesystem::is_empty(config_.Path()));
}

}  // namespace
