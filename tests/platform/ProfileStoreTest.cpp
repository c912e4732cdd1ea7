#include "platform/ProfileStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A private scratch folder; the store's root is a not yet existing folder inside it, so a test can
// also see that nothing is written beside the root.
class ProfileStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "wisp-profile-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        scratch_ = pattern;
        root_ = scratch_ / "config";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(scratch_, ec);
    }

    ProfileStore Store() const { return ProfileStore(root_); }
    fs::path ValueFile(const std::string& key) const { return root_ / key / ".values"; }

    static std::string ReadFile(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static void WriteFile(const fs::path& file, const std::string& bytes) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    static unsigned Mode(const fs::path& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    }

    fs::path scratch_;
    fs::path root_;
};

const std::string kKey = "Tarn/Wisp/Hosts";

struct Hostile {
    std::string name;
    std::string value;
};

const std::vector<Hostile> kHostile = {
    {"ftp://user@ftp.example.org:2121/pub/a;i", ","},
    {"a/b\\c:d@e", std::string("u,\x1f\x01\x7f\xff", 6)},
    {std::string("nul\0inside", 10), std::string("\0\0,\0", 4)},
    {"", "empty name"},
    {"empty value", ""},
    {"../../escape", "/etc/passwd"},
    {"\n\r\t ", "\n\r\t "},
    {std::string(3000, 'n'), std::string(70000, 'v')},
    {"WISPKEY\x01", "WISPKEY\x01"},
};

TEST_F(ProfileStoreTest, HostileNamesAndValuesSurviveARoundTripInOrder) {
    {
        ProfileStore store = Store();
        for (const Hostile& h : kHostile) {
            ASSERT_TRUE(store.SetString(kKey, h.name, h.value));
        }
    }
    const ProfileStore reopened = Store();
    const std::vector<ProfileValue> values = reopened.EnumerateValues(kKey);
    ASSERT_EQ(values.size(), kHostile.size());
    for (std::size_t i = 0; i < kHostile.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(values[i].name, kHostile[i].name);
        EXPECT_EQ(values[i].type, ProfileValueType::String);
        EXPECT_EQ(values[i].text, kHostile[i].value);
        EXPECT_EQ(reopened.QueryString(kKey, kHostile[i].name), kHostile[i].value);
    }
    // A value name is never a path: nothing exists outside the key's folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch_), fs::directory_iterator()), 1);
    EXPECT_EQ(reopened.CountSubKeys(kKey), 0);
}

TEST_F(ProfileStoreTest, ValuesKeepTheOrderTheyWereFirstSetIn) {
    ProfileStore store = Store();
    const std::string key = "Tarn/Wisp/Settings";
    ASSERT_TRUE(store.SetDword(key, "Logging", 1));
    ASSERT_TRUE(store.SetDword(key, "LogCmd", 0xFFFFFFFFu));
    ASSERT_TRUE(store.SetString(key, "EMail", "a@b"));
    ASSERT_TRUE(store.SetDword(key, "Passive", 0));
    ASSERT_TRUE(store.SetDword(key, "Logging", 0));       // replaced in place
    ASSERT_TRUE(store.SetString(key, "LogCmd", "text"));  // type change, same place
    ASSERT_TRUE(store.DeleteValue(key, "EMail"));
    ASSERT_TRUE(store.SetString(key, "EMail", "c@d"));  // set again after a delete: goes last

    const std::vector<ProfileValue> values = Store().EnumerateValues(key);
    std::vector<std::string> names;
    for (const ProfileValue& v : values) {
        names.push_back(v.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Logging", "LogCmd", "Passive", "EMail"}));
    EXPECT_EQ(store.QueryDword(key, "Logging"), 0u);
    EXPECT_EQ(store.QueryString(key, "LogCmd"), "text");
    EXPECT_EQ(store.QueryDword(key, "LogCmd"), std::nullopt);  // other type reads as missing
    EXPECT_EQ(store.QueryString(key, "Passive"), std::nullopt);
    EXPECT_EQ(store.QueryDword(key, "Passive"), 0u);
    EXPECT_EQ(store.QueryString(key, "EMail"), "c@d");
    EXPECT_FALSE(store.DeleteValue(key, "missing"));
    EXPECT_EQ(store.QueryString("Tarn/Nothing", "EMail"), std::nullopt);
    EXPECT_TRUE(store.EnumerateValues("Tarn/Nothing").empty());
}

// The removal at exit: sub-keys first, then the application key, then the company key when empty.
TEST_F(ProfileStoreTest, KeysAreDeletedOnlyWithoutSubKeys) {
    ProfileStore store = Store();
    ASSERT_TRUE(store.SetString("Tarn/Wisp/Hosts", "h", ","));
    ASSERT_TRUE(store.SetDword("Tarn/Wisp/Settings", "Logging", 1));
    ASSERT_TRUE(store.CreateKey("Tarn/Other"));
    ASSERT_TRUE(store.SetString("Tarn/Wisp", "own value", "x"));

    EXPECT_EQ(store.CountSubKeys("Tarn/Wisp"), 2);
    EXPECT_EQ(store.CountSubKeys("Tarn"), 2);
    EXPECT_EQ(store.CountSubKeys("Tarn/Missing"), std::nullopt);
    EXPECT_FALSE(store.DeleteKey("Tarn/Wisp"));  // still has sub-keys
    EXPECT_TRUE(store.KeyExists("Tarn/Wisp/Hosts"));

    EXPECT_TRUE(store.DeleteKey("Tarn/Wisp/Settings"));
    EXPECT_TRUE(store.DeleteKey("Tarn/Wisp/Hosts"));
    EXPECT_FALSE(store.DeleteKey("Tarn/Wisp/Hosts"));
    EXPECT_TRUE(store.DeleteKey("Tarn/Wisp"));
    EXPECT_FALSE(store.KeyExists("Tarn/Wisp"));
    EXPECT_EQ(store.CountSubKeys("Tarn"), 1);

    EXPECT_TRUE(store.DeleteKey("Tarn/Other"));
    EXPECT_EQ(store.CountSubKeys("Tarn"), 0);
    EXPECT_TRUE(store.DeleteKey("Tarn"));
    EXPECT_TRUE(fs::is_empty(root_));
}

TEST_F(ProfileStoreTest, RefusesKeyPathsThatLeaveTheirPlace) {
    const std::vector<std::string> refused = {
        "",
        "/",
        "/Tarn",
        "Tarn/",
        "Tarn//Wisp",
        ".",
        "..",
        "Tarn/..",
        "Tarn/../..",
        "Tarn/./Wisp",
        ".values",
        "Tarn/.values",
        std::string("Ta\0rn", 5),
    };
    ProfileStore store = Store();
    ASSERT_TRUE(store.SetString("Tarn", "keep", "me"));
    for (const std::string& key : refused) {
        SCOPED_TRACE(key);
        EXPECT_FALSE(store.CreateKey(key));
        EXPECT_FALSE(store.SetString(key, "n", "v"));
        EXPECT_FALSE(store.SetDword(key, "n", 1));
        EXPECT_FALSE(store.KeyExists(key));
        EXPECT_FALSE(store.DeleteValue(key, "keep"));
        EXPECT_FALSE(store.DeleteKey(key));
        EXPECT_EQ(store.CountSubKeys(key), std::nullopt);
        EXPECT_TRUE(store.EnumerateValues(key).empty());
    }
    EXPECT_EQ(store.QueryString("Tarn", "keep"), "me");
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch_), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
}

// Every shorter file and every file with one changed byte must read as "no values", and the next
// write must start the key afresh.
TEST_F(ProfileStoreTest, DamagedFilesReadAsMissingValues) {
    ProfileStore store = Store();
    ASSERT_TRUE(store.SetString(kKey, "ftp.example.org", "user,\x12\x34"));
    ASSERT_TRUE(store.SetDword(kKey, "n", 7));
    const std::string good = ReadFile(ValueFile(kKey));
    ASSERT_FALSE(good.empty());

    std::vector<std::string> damaged;
    for (std::size_t length = 0; length < good.size(); ++length) {
        damaged.push_back(good.substr(0, length));
    }
    for (std::size_t i = 0; i < good.size(); ++i) {
        std::string flipped = good;
        flipped[i] = static_cast<char>(flipped[i] ^ 0x5A);
        damaged.push_back(flipped);
    }
    damaged.push_back(good + "x");
    damaged.push_back(std::string(4096, '\xff'));
    damaged.push_back("Hosts\nftp.example.org=,\n");

    for (std::size_t i = 0; i < damaged.size(); ++i) {
        SCOPED_TRACE(i);
        WriteFile(ValueFile(kKey), damaged[i]);
        EXPECT_TRUE(store.EnumerateValues(kKey).empty());
        EXPECT_EQ(store.QueryString(kKey, "ftp.example.org"), std::nullopt);
        EXPECT_EQ(store.QueryDword(kKey, "n"), std::nullopt);
    }

    ASSERT_TRUE(store.SetString(kKey, "after", "damage"));
    const std::vector<ProfileValue> values = store.EnumerateValues(kKey);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].text, "damage");
    // The damaged file is kept aside rather than overwritten, and goes with its key.
    EXPECT_EQ(ReadFile(ValueFile(kKey).parent_path() / ".values.damaged"), damaged.back());
    EXPECT_TRUE(store.DeleteKey(kKey));
    EXPECT_FALSE(store.KeyExists(kKey));
}

TEST_F(ProfileStoreTest, ValueFileThatIsNoRegularFileReadsAsMissing) {
    ProfileStore store = Store();
    ASSERT_TRUE(store.CreateKey(kKey));
    ASSERT_TRUE(fs::create_directory(ValueFile(kKey)));
    EXPECT_TRUE(store.EnumerateValues(kKey).empty());
    EXPECT_EQ(store.CountSubKeys(kKey), 0);
}

TEST_F(ProfileStoreTest, FilesAndFoldersArePrivateWhateverTheUmask) {
    const mode_t old = ::umask(0);
    ProfileStore store = Store();
    const bool set = store.SetString(kKey, "site", "user,pw");
    ::umask(old);
    ASSERT_TRUE(set);
    EXPECT_EQ(Mode(root_), 0700u);
    EXPECT_EQ(Mode(root_ / "Tarn"), 0700u);
    EXPECT_EQ(Mode(root_ / "Tarn/Wisp"), 0700u);
    EXPECT_EQ(Mode(root_ / kKey), 0700u);
    EXPECT_EQ(Mode(ValueFile(kKey)), 0600u);
}

// A crash between writing the temporary file and renaming it leaves that file behind: it must not
// change what is read, count as a sub-key or keep the key from being deleted.
TEST_F(ProfileStoreTest, LeftoverTemporaryFilesAreHarmlessAndGoWithTheNextWrite) {
    ProfileStore store = Store();
    ASSERT_TRUE(store.SetString(kKey, "site", ","));
    // What writers killed before their rename leave behind, and a damaged file kept for the user.
    WriteFile(root_ / kKey / ".values.Ab12Cd", "half written");
    WriteFile(root_ / kKey / ".values.zz9ZZ0", "half written too");
    WriteFile(root_ / kKey / ".values.damaged", "kept for recovery by hand");
    EXPECT_EQ(store.QueryString(kKey, "site"), ",");
    EXPECT_EQ(store.CountSubKeys(kKey), 0);
    ASSERT_TRUE(store.SetString(kKey, "second", ","));
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(root_ / kKey)) {
        files.push_back(entry.path().filename().string());
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{".values", ".values.damaged"}));
    EXPECT_EQ(store.QueryString(kKey, "site"), ",");
    EXPECT_EQ(store.QueryString(kKey, "second"), ",");
    EXPECT_TRUE(store.DeleteKey(kKey));
    EXPECT_FALSE(fs::exists(root_ / kKey));
}

// Two running copies of the program writing the same key must not lose each other's values.
TEST_F(ProfileStoreTest, ConcurrentWritersLoseNoValue) {
    constexpr int kWriters = 4;
    constexpr int kValuesEach = 25;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([this, w] {
            ProfileStore store = Store();  // its own store object, as another process would have
            for (int i = 0; i < kValuesEach; ++i) {
                store.SetString(kKey, "w" + std::to_string(w) + "-" + std::to_string(i), ",");
            }
        });
    }
    for (std::thread& t : writers) {
        t.join();
    }
    EXPECT_EQ(Store().EnumerateValues(kKey).size(), static_cast<std::size_t>(kWriters * kValuesEach));
}

TEST_F(ProfileStoreTest, ARelativeRootIsRefused) {
    const fs::path previous = fs::current_path();
    fs::current_path(scratch_);  // so a fault would write into the scratch folder, not the work tree
    ProfileStore store("relative-config");
    const bool created = store.CreateKey(kKey);
    const bool set = store.SetString(kKey, "n", "v");
    const bool exists = fs::exists(scratch_ / "relative-config");
    fs::current_path(previous);
    EXPECT_FALSE(created);
    EXPECT_FALSE(set);
    EXPECT_FALSE(exists);
    EXPECT_EQ(store.QueryString(kKey, "n"), std::nullopt);
}

TEST_F(ProfileStoreTest, ForCurrentUserFollowsTheXdgRules) {
    struct Env {
        const char* name;
        std::optional<std::string> saved;
    };
    std::vector<Env> env = {{"XDG_CONFIG_HOME", {}}, {"HOME", {}}};
    for (Env& e : env) {
        if (const char* v = std::getenv(e.name)) {
            e.saved = v;
        }
    }
    ::setenv("HOME", scratch_.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    const fs::path withXdg = ProfileStore::ForCurrentUser().Root();
    ::setenv("XDG_CONFIG_HOME", "relative/config", 1);  // not absolute: ignored
    const fs::path relativeXdg = ProfileStore::ForCurrentUser().Root();
    ::unsetenv("XDG_CONFIG_HOME");
    const fs::path withoutXdg = ProfileStore::ForCurrentUser().Root();
    for (const Env& e : env) {
        if (e.saved) {
            ::setenv(e.name, e.saved->c_str(), 1);
        } else {
            ::unsetenv(e.name);
        }
    }
    EXPECT_EQ(withXdg, root_);
    EXPECT_EQ(relativeXdg, scratch_ / ".config");
    EXPECT_EQ(withoutXdg, scratch_ / ".config");
}

}  // namespace
