#pragma once
// The saved sites behind the Host page's URL box: the list items, an in-memory map from canonical
// URL text to stored text, and the profile store's "Hosts" key, kept in step.
#include <array>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "hosts/HostEntry.h"
#include "platform/ProfileKeys.h"

class HostListItems;
class ProfileStore;

enum class HostStoreResult {
    Stored,
    NotWritten,       // kept in memory, but the profile store could not be written
    CommaInUser,      // refused: the stored text would split the user name at its ","
    UserTooLong,      // refused: more than kHostFieldMax characters
    PasswordTooLong,  // refused: more than kHostFieldMax characters
};

class HostList {
  public:
    static constexpr std::size_t kDefaultSiteCount = 18;

    // Both references must outlive the list.
    HostList(ProfileStore& store, HostListItems& items, std::string hostsKey = std::string(kHostsKey));

    // Lists and remembers every stored site; with none stored, lists and stores the default sites.
    void Load();

    // Remembers and stores a site's login; leaves the list items alone. A refused entry changes nothing.
    HostStoreResult StoreHostEntry(std::string_view url, std::string_view user, std::string_view password);

    // The site stored under exactly this text.
    std::optional<HostEntry> LookupHostEntry(std::string_view url) const;

    // Forgets the selected site and deletes its item; with none selected only clears the selection.
    void Remove();

    // Lists and stores every default site again, replacing any login saved for one of them.
    void ReloadDefaults();

    static const std::array<const char*, kDefaultSiteCount>& DefaultSites();

  private:
    void AddDefaultSites();

    ProfileStore& store_;
    HostListItems& items_;
    std::string hostsKey_;
    std::map<std::string, std::string, std::less<>> map_;
};
