#include "hosts/HostList.h"

#include "hosts/FtpUrl.h"
#include "hosts/HostListItems.h"
#include "platform/ProfileStore.h"

namespace {

// Public anonymous-FTP archives of universities and operating-system projects, as bare host names
// so each one is its own canonical text.
constexpr std::array<const char*, HostList::kDefaultSiteCount> kDefaultSites = {
    "ftp.gnu.org",     "ftp.debian.org",
    "ftp.freebsd.org", "ftp.netbsd.org",
    "ftp.openbsd.org", "ftp.funet.fi",
    "ftp.sunet.se",    "ftp.fau.de",
    "ftp.gwdg.de",     "ftp.halifax.rwth-aachen.de",
    "ftp.heanet.ie",   "ftp.mirrorservice.org",
    "ftp.icm.edu.pl",  "ftp.lip6.fr",
    "ftp.jaist.ac.jp", "ftp.isc.org",
    "ftp.ripe.net",    "ftp.slackware.com",
};

}  // namespace

HostList::HostList(ProfileStore& store, HostListItems& items, std::string hostsKey)
    : store_(store), items_(items), hostsKey_(std::move(hostsKey)) {}

const std::array<const char*, HostList::kDefaultSiteCount>& HostList::DefaultSites() {
    return kDefaultSites;
}

void HostList::Load() {
    store_.CreateKey(hostsKey_);
    bool anyRead = false;
    // Every stored site is listed whatever the length of its name or data: a fixed-size read that
    // ended the list at an over-long value would hide every later site and, for the first value,
    // store the defaults over saved logins. Values that are no text are not sites and are skipped.
    for (ProfileValue& value : store_.EnumerateValues(hostsKey_)) {
        if (value.type != ProfileValueType::String) {
            continue;
        }
        items_.AddItem(value.name);
        map_.insert_or_assign(std::move(value.name), std::move(value.text));
        anyRead = true;
    }
    if (!anyRead) {
        AddDefaultSites();
    }
}

void HostList::ReloadDefaults() {
    AddDefaultSites();
}

void HostList::AddDefaultSites() {
    for (const char* site : kDefaultSites) {
        items_.AddItem(FormatUrl(FtpUrl(site)));
        StoreHostEntry(site, "", "");
    }
}

HostStoreResult HostList::StoreHostEntry(std::string_view url, std::string_view user,
                                         std::string_view password) {
    if (user.find(',') != std::string_view::npos) {
        return HostStoreResult::CommaInUser;
    }
    if (user.size() > kHostFieldMax) {
        return HostStoreResult::UserTooLong;
    }
    if (password.size() > kHostFieldMax) {
        return HostStoreResult::PasswordTooLong;
    }
    const std::string stored = EncodeHostValue(user, password);
    map_.insert_or_assign(std::string(url), stored);
    return store_.SetString(hostsKey_, url, stored) ? HostStoreResult::Stored : HostStoreResult::NotWritten;
}

std::optional<HostEntry> HostList::LookupHostEntry(std::string_view url) const {
    const auto it = map_.find(url);
    if (it == map_.end()) {
        return std::nullopt;
    }
    return DecodeHostValue(url, it->second);
}

void HostList::Remove() {
    const int selected = items_.SelectedIndex();
    if (selected >= 0) {
        // The selected item's own text, not the edit field's: the user may have typed over the
        // field, and the site forgotten must be the one whose item goes.
        const std::string url = items_.ItemText(selected);
        if (map_.erase(url) > 0) {
            store_.DeleteValue(hostsKey_, url);
        }
        items_.DeleteItem(selected);
    }
    items_.ClearSelection();
}
