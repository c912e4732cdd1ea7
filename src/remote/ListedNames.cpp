#include "remote/ListedNames.h"

#include <algorithm>
#include <utility>

ListedNames::ListedNames(std::shared_ptr<const EntryArray> listing, int count,
                         const std::vector<std::string>& dropped)
    : listing_(std::move(listing)), count_(std::min(count, listing_->Count())) {
    taken_.insert(dropped.begin(), dropped.end());
    for (int slot = 0; slot < count_ && !dropped.empty(); ++slot) {
        const RemoteEntry& entry = (*listing_)[slot];
        // The first of equal names, as the list shows it first.
        if (!entry.IsBlank() && taken_.count(entry.Name()) > 0 && found_.count(entry.Name()) == 0) {
            found_.emplace(entry.Name(), entry);
        }
    }
}

std::optional<RemoteEntry> ListedNames::Find(std::string_view name) const {
    const auto found = found_.find(std::string(name));
    if (found == found_.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool ListedNames::Taken(std::string_view name) {
    if (!listingRead_) {
        // Read only when a file is renamed: most drops never need every name of a large folder.
        listingRead_ = true;
        for (int slot = 0; slot < count_; ++slot) {
            if (!(*listing_)[slot].IsBlank()) {
                taken_.insert((*listing_)[slot].Name());
            }
        }
    }
    return taken_.count(std::string(name)) > 0;
}

void ListedNames::Take(std::string name) {
    taken_.insert(std::move(name));
}
