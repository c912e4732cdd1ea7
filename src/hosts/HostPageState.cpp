#include "hosts/HostPageState.h"

#include "hosts/HostEntry.h"
#include "hosts/HostListItems.h"

namespace {

constexpr const char* kMalformedUrl = "... malformed URL";
constexpr const char* kMalformedFailure =
    "Malformed URL: a site is written as ftp://host/path (or ftpes://, ftps://, sftp://)";

// Anonymous logins are the URL defaults' business: neither shown nor stored.
bool IsAnonymous(std::string_view user) {
    return HostListItems::EqualNoCase(user, "anonymous");
}

}  // namespace

HostPageState::HostPageState(ProfileStore& store, HostListItems& items)
    : items_(items), sites_(store, items), observer_(&silent_) {}

void HostPageState::SetObserver(HostPageObserver* observer) {
    observer_ = observer != nullptr ? observer : &silent_;
}

void HostPageState::Activate() {
    if (!loaded_) {
        loaded_ = true;
        sites_.Load();
    }
    observer_->LoginChanged(login_);
}

void HostPageState::SetLoginAndTell(HostLogin login) {
    login_ = std::move(login);
    observer_->LoginChanged(login_);
}

HostLogin HostPageState::SelectStored(int index) {
    observer_->ItemSelected(index);
    urlValid_ = true;
    if (const std::optional<HostEntry> entry = sites_.LookupHostEntry(items_.ItemText(index))) {
        return {entry->user, entry->password, !entry->password.empty()};
    }
    return {};
}

void HostPageState::SelectItem(int index) {
    SetLoginAndTell(SelectStored(index));
}

void HostPageState::Validate(std::string_view urlText) {
    urlValid_ = false;
    const int selected = items_.SelectedIndex();
    if (selected >= 0) {
        SelectItem(selected);
        return;
    }
    FtpUrl url;
    if (urlText.empty() || !ParseUrl(url, urlText)) {
        return;  // nothing said: Ping and Connect refuse it
    }
    const std::string canonical = FormatUrl(url);
    const int found = items_.FindExact(canonical);
    HostLogin login;
    if (found < 0) {
        observer_->ItemSelected(items_.AddItem(canonical));
        urlValid_ = true;
        if (!url.loginDefaulted) {
            login = {url.user, url.password, false};
        }
    } else {
        login = SelectStored(found);
        // A login in the text replaces the stored one; the flag stays as the stored entry set it.
        if (!url.loginDefaulted) {
            login.user = url.user;
            login.password = url.password;
        }
    }
    if (IsAnonymous(login.user)) {
        login = {};
    }
    SetLoginAndTell(std::move(login));
}

void HostPageState::TakeLogin(std::string_view user, std::string_view password) {
    if (urlValid_ && !user.empty()) {
        SetLoginAndTell({std::string(user), std::string(password), false});
    }
}

void HostPageState::RemoveSelected() {
    sites_.Remove();
}

void HostPageState::ReloadDefaultSites() {
    sites_.ReloadDefaults();
}

void HostPageState::Malformed() {
    observer_->UrlRefused();
    observer_->LogMessage(kMalformedUrl);
    ShowFailure(kMalformedFailure, HostPageBox::None);
}

std::optional<std::string> HostPageState::Ping(std::string_view urlText) {
    // Only from idle: at most one ping, and never beside a session.
    if (phase_ != HostPagePhase::Idle) {
        return std::nullopt;
    }
    ClearFailure();
    // The box may have been emptied (Remove) since it was last checked.
    FtpUrl url;
    if (!urlValid_ || !ParseUrl(url, urlText)) {
        Malformed();
        return std::nullopt;
    }
    SetPhase(HostPagePhase::Pinging);
    return std::move(url.host);
}

std::optional<FtpUrl> HostPageState::Connect(std::string_view urlText, HostLogin typed) {
    if (phase_ != HostPagePhase::Idle) {
        return std::nullopt;
    }
    ClearFailure();
    FtpUrl parsed;
    if (!urlValid_ || !ParseUrl(parsed, urlText) || !IsSupportedScheme(parsed.scheme)) {
        Malformed();
        return std::nullopt;
    }
    const std::string canonical = FormatUrl(parsed);
    login_ = std::move(typed);
    SaveSite(canonical);
    SetPhase(HostPagePhase::Connecting);
    // The login travels beside the URL, never inside its text: a user name or password holding "@",
    // ":" or "/" would otherwise be split by the parser and reach the wrong host.
    FtpUrl url(canonical);
    if (!login_.user.empty()) {
        url.user = login_.user;
        url.password = login_.password;
        url.loginDefaulted = false;
    }
    return url;
}

void HostPageState::SaveSite(const std::string& canonical) {
    const std::optional<HostEntry> stored = sites_.LookupHostEntry(canonical);
    const bool flagAgrees = login_.savePassword != login_.password.empty();
    if (stored && stored->user == login_.user && stored->password == login_.password && flagAgrees) {
        return;
    }
    if (login_.user.empty() || IsAnonymous(login_.user)) {
        SetLoginAndTell({});
    } else if (login_.password.empty() && login_.savePassword) {
        SetLoginAndTell({login_.user, {}, false});
    }
    switch (sites_.StoreHostEntry(canonical, login_.user,
                                  login_.savePassword ? login_.password : std::string())) {
        case HostStoreResult::Stored:
            break;
        case HostStoreResult::CommaInUser:
            observer_->LogMessage("... site not saved: a user name with \",\" cannot be stored");
            break;
        default:
            observer_->LogMessage("... site not saved");
            break;
    }
}

void HostPageState::ShowConnected(std::string_view connectionText) {
    SetPhase(HostPagePhase::Connected, connectionText);
}

void HostPageState::ConnectFailed(std::string_view reason) {
    ShowFailure(reason, HostPageBox::Url);
}

void HostPageState::LoginFailed(std::string_view reason) {
    // Anonymous logins have no password to correct: the user name is what to change.
    ShowFailure(reason, login_.user.empty() ? HostPageBox::User : HostPageBox::Password);
}

void HostPageState::SessionLost(std::string_view reason) {
    ShowFailure(reason, HostPageBox::None);
}

HostPageBox HostPageState::SessionEnded() {
    SetPhase(HostPagePhase::Idle);
    const HostPageBox focus = focusAfterFailure_;
    focusAfterFailure_ = HostPageBox::None;
    return focus;
}

void HostPageState::PingFinished() {
    SetPhase(HostPagePhase::Idle);
}

void HostPageState::ShowFailure(std::string_view reason, HostPageBox focus) {
    failure_ = reason;
    focusAfterFailure_ = focus;
    observer_->FailureChanged(failure_);
}

void HostPageState::ClearFailure() {
    focusAfterFailure_ = HostPageBox::None;
    if (!failure_.empty()) {
        failure_.clear();
        observer_->FailureChanged(failure_);
    }
}

void HostPageState::SetPhase(HostPagePhase phase, std::string_view connectedText) {
    phase_ = phase;
    connectedText_ = phase == HostPagePhase::Connected ? std::string(connectedText) : std::string();
    observer_->PhaseChanged();
}
