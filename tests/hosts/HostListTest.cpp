#include "hosts/HostList.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "hosts/FtpUrl.h"
#include "hosts/HostListItems.h"
#include "platform/ProfileStore.h"

namespace fs = std::filesystem;

namespace {

// The URL box as a plain list: items, a selected index and the edit field's text.
class FakeItems : public HostListItems {
  public:
    int Count() const override { return static_cast<int>(items.size()); }
    std::string ItemText(int index) const override { return items.at(static_cast<std::size_t>(index)); }
    void InsertItem(int index, const std::string& text) override {
        items.insert(items.begin() + index, text);
        if (selected >= index) {
            ++selected;
        }
    }
    void DeleteItem(int index) override {
        items.erase(items.begin() + index);
        if (selected == index) {
            selected = -1;
        } else if (selected > index) {
            --selected;
        }
    }
    void ClearItems() override {
        items.clear();
        selected = -1;
    }
    int SelectedIndex() const override { return selected; }
    void ClearSelection() override {
        selected = -1;
        text.clear();
    }
    void Select(const std::string& item) {
        selected = FindExact(item);
        ASSERT_GE(selected, 0) << item;
        text = item;
    }
    int Occurrences(const std::string& item) const {
        return static_cast<int>(std::count(items.begin(), items.end(), item));
    }

    std::vector<std::string> items;
    int selected = -1;
    std::string text;
};

class HostListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "wisp-hosts-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // A fresh start of the program: new store object, new list, new items, loaded from disk.
    struct Start {
        explicit Start(const fs::path& root) : store(root), list(store, items) { list.Load(); }
        ProfileStore store;
        FakeItems items;
        HostList list;
    };

    std::vector<ProfileValue> StoredHosts() const { return ProfileStore(root_).EnumerateValues(kHostsKey); }

    fs::path root_;
};

std::vector<std::string> DefaultTexts() {
    return std::vector<std::string>(HostList::DefaultSites().begin(), HostList::DefaultSites().end());
}

bool SortedCaseInsensitively(const std::vector<std::string>& items) {
    return std::is_sorted(items.begin(), items.end(), [](const std::string& a, const std::string& b) {
        return HostListItems::Compare(a, b) < 0;
    });
}

TEST_F(HostListTest, AnEmptyStoreGetsTheDefaultSitesStoredWithoutLogin) {
    Start first(root_);
    std::vector<std::string> defaults = DefaultTexts();
    ASSERT_EQ(defaults.size(), 18u);

    // Bare, distinct host names that are their own canonical text.
    for (const std::string& site : defaults) {
        FtpUrl url(site);
        EXPECT_EQ(FormatUrl(url), site);
        EXPECT_TRUE(url.schemeDefaulted && url.loginDefaulted && url.portDefaulted && url.path.empty())
            << site;
    }
    std::vector<std::string> sorted = defaults;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());

    EXPECT_EQ(first.items.items.size(), 18u);
    EXPECT_TRUE(SortedCaseInsensitively(first.items.items));
    const std::vector<ProfileValue> stored = StoredHosts();
    ASSERT_EQ(stored.size(), 18u);
    for (std::size_t i = 0; i < stored.size(); ++i) {
        EXPECT_EQ(stored[i].name, defaults[i]);  // in table order
        EXPECT_EQ(stored[i].text, ",");
        const std::optional<HostEntry> entry = first.list.LookupHostEntry(defaults[i]);
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(entry->user, "");
        EXPECT_EQ(entry->password, "");
        EXPECT_FALSE(entry->savePassword);
    }

    // The next start reads them back instead of adding them again.
    Start second(root_);
    EXPECT_EQ(second.items.items, first.items.items);
    EXPECT_EQ(StoredHosts().size(), 18u);
}

struct Login {
    std::string url;
    std::string user;
    std::string password;
};

const std::vector<Login> kLogins = {
    {"ftp://files.example.org:2121/pub", "joe", "p,w"},
    {"anon.example.org", "", ""},
    {"ctl.example.org", "u s\x01r", std::string("\x1f\x00,\x7f\xff,", 6)},  // \x1f scrambles to a zero byte
    {"long.example.org", std::string(63, 'u'), std::string(63, ',')},
    {"Case.Example.org", "x", ",leading comma"},
    {"case.example.org", "y", "trailing comma,"},
};

TEST_F(HostListTest, LoginsSurviveStoreReloadAndLookup) {
    {
        Start first(root_);
        for (const Login& login : kLogins) {
            EXPECT_EQ(first.list.StoreHostEntry(login.url, login.user, login.password),
                      HostStoreResult::Stored);
        }
        // Storing never touches the list items.
        EXPECT_EQ(first.items.items.size(), 18u);
    }
    Start second(root_);
    EXPECT_EQ(second.items.items.size(), 18u + kLogins.size());
    EXPECT_TRUE(SortedCaseInsensitively(second.items.items));
    for (const Login& login : kLogins) {
        SCOPED_TRACE(login.url);
        EXPECT_EQ(second.items.Occurrences(login.url), 1);
        const std::optional<HostEntry> entry = second.list.LookupHostEntry(login.url);
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(entry->url, login.url);
        EXPECT_EQ(entry->user, login.user);
        EXPECT_EQ(entry->password, login.password);
        EXPECT_EQ(entry->savePassword, !login.password.empty());
    }
    EXPECT_FALSE(second.list.LookupHostEntry("CASE.EXAMPLE.ORG").has_value());  // the map is exact
}

TEST_F(HostListTest, ReplacingASavedLoginKeepsOneEntry) {
    Start first(root_);
    ASSERT_EQ(first.list.StoreHostEntry("h.example.org", "joe", "secret"), HostStoreResult::Stored);
    ASSERT_EQ(first.list.StoreHostEntry("h.example.org", "ann", ""), HostStoreResult::Stored);
    Start second(root_);
    const std::optional<HostEntry> entry = second.list.LookupHostEntry("h.example.org");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->user, "ann");
    EXPECT_EQ(entry->password, "");
    EXPECT_FALSE(entry->savePassword);
    EXPECT_EQ(second.items.Occurrences("h.example.org"), 1);
    EXPECT_EQ(StoredHosts().size(), 19u);
}

TEST_F(HostListTest, LoginsTheStoredTextCannotHoldAreRefused) {
    struct Refused {
        std::string user;
        std::string password;
        HostStoreResult result;
    };
    const std::vector<Refused> refused = {
        {"jo,e", "pw", HostStoreResult::CommaInUser},
        {",", "", HostStoreResult::CommaInUser},
        {std::string(64, 'u'), "", HostStoreResult::UserTooLong},
        {"joe", std::string(64, 'p'), HostStoreResult::PasswordTooLong},
    };
    Start first(root_);
    ASSERT_EQ(first.list.StoreHostEntry("h.example.org", "joe", "old"), HostStoreResult::Stored);
    for (const Refused& r : refused) {
        SCOPED_TRACE(r.user);
        EXPECT_EQ(first.list.StoreHostEntry("h.example.org", r.user, r.password), r.result);
        EXPECT_EQ(first.list.StoreHostEntry("new.example.org", r.user, r.password), r.result);
    }
    Start second(root_);
    for (const HostList* list : {&first.list, &second.list}) {
        const std::optional<HostEntry> kept = list->LookupHostEntry("h.example.org");
        ASSERT_TRUE(kept.has_value());
        EXPECT_EQ(kept->user, "joe");
        EXPECT_EQ(kept->password, "old");
        EXPECT_FALSE(list->LookupHostEntry("new.example.org").has_value());
    }
}

// Values another program (or a hand edit) put into the key must read safely.
TEST_F(HostListTest, ForeignStoredValuesReadSafely) {
    const std::string longName = "ftp://" + std::string(300, 'n') + ".example.org";
    {
        ProfileStore store(root_);
        ASSERT_TRUE(store.SetString(kHostsKey, "nocomma.example.org", "justauser"));
        ASSERT_TRUE(store.SetString(kHostsKey, "longpw.example.org",
                                    "u," + ScramblePassword(std::string(40, 'a') + std::string(60, 'b'))));
        ASSERT_TRUE(store.SetString(kHostsKey, "longuser.example.org", std::string(100, 'u')));
        ASSERT_TRUE(store.SetDword(kHostsKey, "dword.example.org", 7));
        ASSERT_TRUE(store.SetString(kHostsKey, longName, std::string(200, 'x') + ",y"));
        ASSERT_TRUE(store.SetString(kHostsKey, "last.example.org", "z,"));
    }
    struct Expected {
        std::string url;
        std::string user;
        std::string password;
    };
    const std::vector<Expected> expected = {
        {"nocomma.example.org", "justauser", ""},
        {"longpw.example.org", "u", std::string(40, 'a') + std::string(23, 'b')},
        {"longuser.example.org", std::string(63, 'u'), ""},
        {longName, std::string(63, 'x'), ScramblePassword("y")},
        {"last.example.org", "z", ""},
    };
    Start start(root_);
    EXPECT_EQ(start.items.items.size(), expected.size());  // no defaults: sites were read
    EXPECT_EQ(start.items.FindExact("dword.example.org"), -1);
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.url.substr(0, 40));
        EXPECT_EQ(start.items.Occurrences(e.url), 1);
        const std::optional<HostEntry> entry = start.list.LookupHostEntry(e.url);
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(entry->user, e.user);
        EXPECT_EQ(entry->password, e.password);
    }
}

TEST_F(HostListTest, RemovedSitesStayGoneAfterTheNextStart) {
    {
        Start first(root_);
        ASSERT_EQ(first.list.StoreHostEntry("mine.example.org", "joe", "pw"), HostStoreResult::Stored);
        first.items.AddItem("mine.example.org");
        first.items.AddItem("typed.example.org");  // listed, never stored

        for (const std::string site : {"mine.example.org", "ftp.gnu.org", "typed.example.org"}) {
            first.items.Select(site);
            first.list.Remove();
            EXPECT_EQ(first.items.FindExact(site), -1) << site;
            EXPECT_EQ(first.items.selected, -1);
            EXPECT_EQ(first.items.text, "");
            EXPECT_FALSE(first.list.LookupHostEntry(site).has_value());
        }

        // Without a selection only the selection changes.
        const std::vector<std::string> before = first.items.items;
        first.items.text = "ftp.debian.org";
        first.list.Remove();
        EXPECT_EQ(first.items.items, before);
        EXPECT_EQ(first.items.text, "");
        EXPECT_TRUE(first.list.LookupHostEntry("ftp.debian.org").has_value());

        // Text typed over a selected item: the selected site goes, the typed one stays.
        first.items.Select("ftp.funet.fi");
        first.items.text = "ftp.debian.org";
        first.list.Remove();
        EXPECT_FALSE(first.list.LookupHostEntry("ftp.funet.fi").has_value());
        EXPECT_TRUE(first.list.LookupHostEntry("ftp.debian.org").has_value());
    }
    Start second(root_);
    EXPECT_EQ(second.items.items.size(), 16u);
    for (const std::string site : {"mine.example.org", "ftp.gnu.org", "typed.example.org", "ftp.funet.fi"}) {
        EXPECT_EQ(second.items.FindExact(site), -1) << site;
    }
    EXPECT_EQ(second.items.Occurrences("ftp.debian.org"), 1);
}

TEST_F(HostListTest, ReloadDefaultsListsEachTwiceUntilTheNextStartAndDropsSavedLogins) {
    {
        Start first(root_);
        ASSERT_EQ(first.list.StoreHostEntry("ftp.gnu.org", "joe", "pw"), HostStoreResult::Stored);
        ASSERT_EQ(first.list.StoreHostEntry("mine.example.org", "ann", "pw"), HostStoreResult::Stored);
        first.items.AddItem("mine.example.org");
        first.list.ReloadDefaults();
        for (const std::string& site : DefaultTexts()) {
            EXPECT_EQ(first.items.Occurrences(site), 2) << site;
        }
        EXPECT_TRUE(SortedCaseInsensitively(first.items.items));
        EXPECT_EQ(first.list.LookupHostEntry("ftp.gnu.org")->user, "");
        EXPECT_EQ(first.list.LookupHostEntry("mine.example.org")->user, "ann");
    }
    Start second(root_);
    for (const std::string& site : DefaultTexts()) {
        EXPECT_EQ(second.items.Occurrences(site), 1) << site;
        const std::optional<HostEntry> entry = second.list.LookupHostEntry(site);
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(entry->user, "");
        EXPECT_EQ(entry->password, "");
    }
    EXPECT_EQ(second.list.LookupHostEntry("mine.example.org")->password, "pw");
    EXPECT_EQ(second.items.items.size(), 19u);
}

// The URL box's order: whatever order items arrive in, they end up in one case-insensitive order
// (letters fold to lower case, so punctuation such as "[" and "_" sorts before them).
TEST(HostListItemsTest, KeepsOneCaseInsensitiveOrderWhateverTheInsertionOrder) {
    std::vector<std::string> texts = {"b.org", "A.org", "a.org", "B.org",     "ftp://Z",
                                      "_x",    "[y",    "a.org", "\xe9t\xe9", ""};
    const std::vector<std::string> expected = {"",      "[y",    "_x",    "A.org",   "a.org",
                                               "a.org", "B.org", "b.org", "ftp://Z", "\xe9t\xe9"};
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::shuffle(texts.begin(), texts.end(), random);
        FakeItems items;
        for (const std::string& t : texts) {
            items.AddItem(t);
        }
        ASSERT_EQ(items.items, expected) << round;
    }
}

TEST(HostListItemsTest, FindsWholeTextsIgnoringLetterCase) {
    FakeItems items;
    for (const char* t : {"ftp.gnu.org", "FTP.Debian.org", "server"}) {
        items.AddItem(t);
    }
    EXPECT_EQ(items.ItemText(items.FindExact("FTP.GNU.ORG")), "ftp.gnu.org");
    EXPECT_EQ(items.ItemText(items.FindExact("ftp.debian.org")), "FTP.Debian.org");
    EXPECT_EQ(items.FindExact("serve"), -1);
    EXPECT_EQ(items.FindExact("server/"), -1);
}

TEST(HostEntryTest, NoTypeableCharacterScramblesToAZeroByte) {
    for (int c = 0x20; c < 0x7F; ++c) {
        EXPECT_NE(ScramblePassword(std::string(1, static_cast<char>(c))), std::string(1, '\0')) << c;
    }
    EXPECT_EQ(EncodeHostValue("", ""), ",");
}

}  // namespace
