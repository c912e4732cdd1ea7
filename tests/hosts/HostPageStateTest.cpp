#include "hosts/HostPageState.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hosts/HostEntry.h"
#include "hosts/HostListItems.h"
#include "platform/ProfileKeys.h"
#include "platform/ProfileStore.h"
#include "support/TempDir.h"

namespace {

using Sites = std::vector<std::pair<std::string, std::string>>;

// The URL box as a plain list, and the widgets as records of what they were told to show.
class FakePage : public HostListItems, public HostPageObserver {
  public:
    int Count() const override { return static_cast<int>(items.size()); }
    std::string ItemText(int index) const override { return items.at(static_cast<std::size_t>(index)); }
    void InsertItem(int index, const std::string& text) override {
        items.insert(items.begin() + index, text);
    }
    void DeleteItem(int index) override { items.erase(items.begin() + index); }
    void ClearItems() override { items.clear(); }
    int SelectedIndex() const override { return selected; }
    void ClearSelection() override { selected = -1; }

    void PhaseChanged() override { phases.push_back(state->Phase()); }
    void LoginChanged(const HostLogin& login) override { shown = login; }
    void ItemSelected(int index) override { selected = index; }
    void UrlRefused() override { ++refused; }
    void LogMessage(std::string_view line) override { log.emplace_back(line); }

    const HostPageState* state = nullptr;
    std::vector<std::string> items;
    int selected = -1;
    std::vector<HostPagePhase> phases;
    std::optional<HostLogin> shown;  // what the login boxes were last told to show
    int refused = 0;
    std::vector<std::string> log;
};

// The page over a profile store of its own holding `sites` (one that refuses every write when not
// `writable`), started as the program starts it.
struct Page {
    explicit Page(const Sites& sites, bool writable = true)
        : store(writable ? dir.Path() : std::filesystem::path("relative")), state(store, fake) {
        for (const auto& [url, value] : sites) {
            store.SetString(kHostsKey, url, value);
        }
        fake.state = &state;
        state.SetObserver(&fake);
        state.Activate();
        fake.shown.reset();
    }
    TempDir dir{"wisp-host-page"};
    ProfileStore store;
    FakePage fake;
    HostPageState state;
};

std::string Saved(const std::string& user, const std::string& password = "") {
    return EncodeHostValue(user, password);
}

TEST(HostPageStateTest, LeavingTheUrlBoxSelectsTheSiteWithTheLoginItNamesOrStores) {
    struct Case {
        int picked;  // an item the user picked before, else -1
        std::string typed;
        std::optional<HostLogin> login;  // none: no site, and the login stays as it was
        int itemsAdded = 0;
    };
    const Case cases[] = {
        {0, "typed over", HostLogin{"ann", "pw", true}},  // the pick wins over the text
        {-1, "A.EXAMPLE", HostLogin{"ann", "pw", true}},
        {-1, "joe:p@a.example", HostLogin{"joe", "p", true}},  // the stored flag stays
        {-1, "b.example", HostLogin{}},                        // stored as anonymous: nothing shown
        {-1, "ftp://new.example:2121/x;i", HostLogin{}, 1},
        {-1, "Anonymous:me@new.example", HostLogin{}, 1},
        {-1, "joe@new.example", HostLogin{"joe", "", false}, 1},
        {-1, "", std::nullopt},
        {-1, "user@", std::nullopt},
    };
    const HostLogin stale{"stale", "stale", true};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        Page page({{"a.example", Saved("ann", "pw")}, {"b.example", Saved("anonymous", "x")}});
        page.fake.selected = c.picked;
        page.state.SetLogin(stale);
        page.state.Validate(c.typed);
        EXPECT_EQ(page.fake.shown, c.login);
        EXPECT_EQ(page.state.Login(), c.login.value_or(stale));
        EXPECT_EQ(page.state.UrlValid(), c.login.has_value());
        EXPECT_EQ(page.fake.selected >= 0, c.login.has_value());
        EXPECT_EQ(page.fake.items.size(), 2u + static_cast<std::size_t>(c.itemsAdded));
        EXPECT_TRUE(page.fake.log.empty());
        // A login handed over beside the URL is taken for a site only.
        page.state.TakeLogin("given", "secret");
        EXPECT_EQ(page.state.Login() == (HostLogin{"given", "secret", false}), c.login.has_value());
    }
}

TEST(HostPageStateTest, ConnectStoresAChangedLoginAndHandsTheSessionTheUrlWithTheLogin) {
    const std::string site = "ftp.example.org";
    const std::string noComma = "joe";  // reads as joe without a password, but is not the text we write
    const std::string notSaved = "... site not saved";
    const std::string comma = "... site not saved: a user name with \",\" cannot be stored";
    const std::string malformed = "... malformed URL";
    struct Case {
        const char* name;
        Sites sites;
        std::string typed;
        HostLogin login;
        std::optional<std::string> stored;  // under the canonical text afterwards
        std::optional<HostLogin> shown;     // what the boxes are told to show instead of `login`
        std::vector<std::string> log = {};
        bool started = true;
        bool writable = true;
    };
    const Case cases[] = {
        {"saved", {}, site, {"joe", "pw", true}, Saved("joe", "pw"), {}},
        {"unsaved", {}, site, {"joe", "pw", false}, Saved("joe"), {}},
        {"separators", {}, site, {"a@b.example", "p@ss:w/rd", false}, Saved("a@b.example"), {}},
        {"anonymous", {}, site, {"ANONYMOUS", "x", true}, Saved(""), HostLogin{}},
        {"no user", {}, site, {"", "x", false}, Saved(""), HostLogin{}},
        {"no password to save", {}, site, {"joe", "", true}, Saved("joe"), HostLogin{"joe", "", false}},
        {"as stored", {{site, noComma}}, site, {"joe", "", false}, noComma, {}},
        {"new password", {{site, noComma}}, site, {"joe", "pw", false}, Saved("joe"), {}},
        {"flag cleared", {{site, Saved("joe", "pw")}}, site, {"joe", "pw", false}, Saved("joe"), {}},
        {"tls", {}, "FTPES://h.example:990/pub", {}, Saved(""), HostLogin{}},
        {"comma", {}, site, {"a,b", "pw", true}, {}, {}, {comma}},
        {"too long", {}, site, {std::string(kHostFieldMax + 1, 'u'), "", false}, {}, {}, {notSaved}},
        {"store refuses", {}, site, {"joe", "", false}, {}, {}, {notSaved}, true, false},
        {"no URL", {}, "ftp://", {"joe", "", false}, {}, {}, {malformed}, false},
        {"not ftp", {}, "http://h.example", {"joe", "", false}, {}, {}, {malformed}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Page page(c.sites, c.writable);
        page.state.Validate(c.typed);
        page.fake.shown.reset();
        const std::optional<FtpUrl> url = page.state.Connect(c.typed, c.login);
        EXPECT_EQ(page.fake.log, c.log);
        EXPECT_EQ(page.fake.shown, c.shown);
        EXPECT_EQ(page.store.QueryString(kHostsKey, FormatUrl(FtpUrl(c.typed))), c.stored);
        EXPECT_EQ(page.state.Phase(), c.started ? HostPagePhase::Connecting : HostPagePhase::Idle);
        EXPECT_EQ(page.fake.refused, c.started ? 0 : 1);
        EXPECT_EQ(page.state.Failure().empty(), c.started);
        ASSERT_EQ(url.has_value(), c.started);
        if (!url) {
            continue;
        }
        // The session logs in with what the boxes show, the password too when it is not saved.
        const HostLogin sent = c.shown.value_or(c.login);
        EXPECT_EQ(FormatUrl(*url), FormatUrl(FtpUrl(c.typed)));
        EXPECT_EQ(url->loginDefaulted, sent.user.empty());
        if (!sent.user.empty()) {
            EXPECT_EQ(url->user, sent.user);
            EXPECT_EQ(url->password, sent.password);
        }
    }
}

TEST(HostPageStateTest, ThePhasesFollowTheSessionAndAFailureSendsTheFocusBackOnce) {
    using enum HostPagePhase;
    using enum HostPageBox;
    const std::string site = "127.0.0.1:2121";
    const std::string why = "Login refused: 530 no";
    // What a step did: pings and sessions started, and the box the last session's end asked for.
    int started = 0;
    HostPageBox focus = None;
    std::string user;
    using Step = std::function<void(HostPageState&)>;
    const Step ping = [&](HostPageState& s) { started += s.Ping(site) ? 1 : 0; };
    const Step connect = [&](HostPageState& s) { started += s.Connect(site, {user, "pw", false}) ? 1 : 0; };
    const Step up = [](HostPageState& s) { s.ShowConnected("localhost [127.0.0.1:2121]"); };
    const Step noConnection = [&](HostPageState& s) { s.ConnectFailed(why); };
    const Step refused = [&](HostPageState& s) { s.LoginFailed(why); };
    const Step lost = [&](HostPageState& s) { s.SessionLost(why); };
    const Step ended = [&](HostPageState& s) { focus = s.SessionEnded(); };
    const Step pingDone = [](HostPageState& s) { s.PingFinished(); };
    const Step logoff = [](HostPageState& s) { s.ClearFailure(); };
    struct Case {
        const char* name;
        std::string user;
        std::vector<Step> steps;
        std::vector<HostPagePhase> phases;  // every phase the page was told of
        std::string failure;
        HostPageBox focus;
        int started = 1;
    };
    const Case cases[] = {
        {"ping", "joe", {ping, connect, ping, pingDone}, {Pinging, Idle}, "", None},
        {"session", "joe", {connect, connect, ping, up, ended}, {Connecting, Connected, Idle}, "", None},
        {"no connection", "joe", {connect, noConnection, ended}, {Connecting, Idle}, why, Url},
        {"login refused", "joe", {connect, refused, ended}, {Connecting, Idle}, why, Password},
        {"anonymous refused", "", {connect, refused, ended}, {Connecting, Idle}, why, User},
        {"lost", "joe", {connect, up, lost, ended}, {Connecting, Connected, Idle}, why, None},
        {"focus once", "joe", {connect, noConnection, ended, ended}, {Connecting, Idle, Idle}, why, None},
        {"logoff clears", "joe", {connect, refused, logoff, ended}, {Connecting, Idle}, "", None},
        {"connect clears",
         "joe",
         {connect, noConnection, ended, connect},
         {Connecting, Idle, Connecting},
         "",
         Url,
         2},
        {"ping clears", "joe", {connect, refused, ended, ping}, {Connecting, Idle, Pinging}, "", Password, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Page page({});
        page.state.Validate(site);
        started = 0;
        focus = None;
        user = c.user;
        for (const Step& step : c.steps) {
            step(page.state);
            EXPECT_EQ(page.state.ConnectedText().empty(), page.state.Phase() != Connected);
        }
        EXPECT_EQ(page.fake.phases, c.phases);
        EXPECT_EQ(page.state.Failure(), c.failure);
        EXPECT_EQ(focus, c.focus);
        EXPECT_EQ(started, c.started);
        EXPECT_TRUE(page.fake.log.empty());
    }
}

}  // namespace
