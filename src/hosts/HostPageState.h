#pragma once
// What the Host page shows and decides, without any widget: its four states, the login in the boxes,
// whether the URL box names a site, the saved sites and what is stored on Connect, and the failure line.
// The page's widgets only show it; the observer tells them what changed.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "hosts/FtpUrl.h"
#include "hosts/HostList.h"

class HostListItems;
class ProfileStore;

// The user name, password and "Save password" boxes.
struct HostLogin {
    std::string user;
    std::string password;
    bool savePassword = false;
    bool operator==(const HostLogin&) const = default;
};

// What the buttons and the connected-to line show.
enum class HostPagePhase { Idle, Pinging, Connecting, Connected };

// A box of the page the keyboard focus can be sent to.
enum class HostPageBox { None, Url, User, Password };

// Told after each change of the state, on the thread that made it (the UI thread in the program).
class HostPageObserver {
  public:
    virtual ~HostPageObserver() = default;
    // Phase() or ConnectedText() changed.
    virtual void PhaseChanged() {}
    // The login boxes must show `login`.
    virtual void LoginChanged(const HostLogin& /*login*/) {}
    // Item `index` of the URL box becomes the selection, its text the edit field's.
    virtual void ItemSelected(int /*index*/) {}
    // The URL box's text is no site to ping or connect to: selected, so that typing replaces it.
    virtual void UrlRefused() {}
    // The failure shown (Failure) changed; empty when there is none.
    virtual void FailureChanged(const std::string& /*failure*/) {}
    // A line for the Log page's messages.
    virtual void LogMessage(std::string_view /*line*/) {}
};

class HostPageState {
  public:
    // Both references must outlive the state; `items` is the URL box, whose items the saved sites keep.
    HostPageState(ProfileStore& store, HostListItems& items);
    HostPageState(const HostPageState&) = delete;
    HostPageState& operator=(const HostPageState&) = delete;

    // Null: nobody is told.
    void SetObserver(HostPageObserver* observer);

    // --- The page comes and goes ---
    // The first time lists the saved sites; every time the boxes must show the login kept here.
    void Activate();
    // What the login boxes hold when the user leaves the page.
    void SetLogin(HostLogin login) { login_ = std::move(login); }

    // --- The URL box ---
    // An item picked in the list: selected, with its stored login.
    void SelectItem(int index);
    // The box loses the focus holding `urlText`: a listed item, or a text that parses, becomes the
    // selection (a new text is listed) with the login it names or the one stored.
    void Validate(std::string_view urlText);
    // A login handed over beside a URL (the command line): taken, unsaved, when the URL was valid and
    // the user is not empty.
    void TakeLogin(std::string_view user, std::string_view password);
    // Forgets the selected site and lists and stores the built-in ones again.
    void RemoveSelected();
    void ReloadDefaultSites();

    // --- The buttons ---
    // Ping of `urlText`: the host to ping, the state Pinging; nothing when not idle or not a URL.
    std::optional<std::string> Ping(std::string_view urlText);
    // Connect to `urlText` with the login the boxes hold: stores the site when its login changed and
    // returns the URL to start the session with, the login beside it, the state Connecting. Nothing when
    // not idle, or when the text is no site with a supported scheme.
    std::optional<FtpUrl> Connect(std::string_view urlText, HostLogin typed);
    // The user acts again (Logoff): the last failure no longer answers what they did.
    void ClearFailure();

    // --- What the session and the ping thread report ---
    void ShowConnected(std::string_view connectionText);
    // Why the session could not reach the server, could not log in, or ended early, until the user's
    // next action.
    void ConnectFailed(std::string_view reason);
    void LoginFailed(std::string_view reason);
    void SessionLost(std::string_view reason);
    // Back to idle; the box the user must correct after a failure (once), else None.
    HostPageBox SessionEnded();
    void PingFinished();

    // --- What the widgets show ---
    HostPagePhase Phase() const { return phase_; }
    // While connected, the connection text; else empty.
    const std::string& ConnectedText() const { return connectedText_; }
    const HostLogin& Login() const { return login_; }
    bool UrlValid() const { return urlValid_; }
    const std::string& Failure() const { return failure_; }
    // The saved sites.
    const HostList& Sites() const { return sites_; }

  private:
    void SetPhase(HostPagePhase phase, std::string_view connectedText = {});
    void SetLoginAndTell(HostLogin login);
    // Selects item `index` and returns the login stored for it (none when nothing is stored).
    HostLogin SelectStored(int index);
    void Malformed();
    void ShowFailure(std::string_view reason, HostPageBox focus);
    // Stores `canonical`'s login when it differs from the stored one, after the rules that keep
    // anonymous logins and unsaved passwords out of the store.
    void SaveSite(const std::string& canonical);

    HostListItems& items_;
    HostList sites_;
    HostPageObserver* observer_ = nullptr;
    HostPageObserver silent_;
    HostPagePhase phase_ = HostPagePhase::Idle;
    std::string connectedText_;
    HostLogin login_;
    bool urlValid_ = false;
    bool loaded_ = false;
    std::string failure_;
    // Where the focus goes when the failed session has ended.
    HostPageBox focusAfterFailure_ = HostPageBox::None;
};
