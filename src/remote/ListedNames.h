#pragma once
// The names of the listing shown that dropped files are checked against: which entry a dropped file would
// replace, and which names a renamed upload must not take (listed, dropped, or already given).
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "listing/EntryArray.h"

class ListedNames {
  public:
    // One pass over the first `count` slots of `listing` finds the entries named in `dropped`; the
    // listing is kept alive, since another may be shown while the user answers a question.
    ListedNames(std::shared_ptr<const EntryArray> listing, int count,
                const std::vector<std::string>& dropped);

    // The entry listed under `name` (one of the dropped names), as it was listed.
    std::optional<RemoteEntry> Find(std::string_view name) const;
    // `name` is listed, dropped or taken; the whole listing is read once, at the first call.
    bool Taken(std::string_view name);
    void Take(std::string name);

  private:
    std::shared_ptr<const EntryArray> listing_;
    int count_;
    std::unordered_map<std::string, RemoteEntry> found_;
    std::unordered_set<std::string> taken_;
    bool listingRead_ = false;
};
