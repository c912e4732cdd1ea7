#pragma once
// Decides, file by file, what a transfer does with a target that exists: asks the user through
// DownloadChoices until an answer is given for all remaining conflicts, then applies that answer without
// asking again (a tree of 10,000 files asks at most once).
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "remote/TransferConflict.h"

class DownloadChoices;

class ConflictResolver {
  public:
    enum class Outcome { Write, Resume, Skip, Rename, Cancel };
    struct Decision {
        Outcome outcome = Outcome::Write;
        // Rename: the free name chosen in the target's folder.
        std::string newName;
    };
    // Answers whether a name is taken in the target's folder (for Rename).
    using NameTaken = std::function<bool(std::string_view name)>;

    explicit ConflictResolver(DownloadChoices& choices) : choices_(choices) {}

    // `name`: the target's name in its folder. Resume asked for where it cannot apply overwrites;
    // Overwrite if newer with an unknown time on either side overwrites (nothing says the target is newer).
    Decision Resolve(const TransferConflict& conflict, std::string_view name, const NameTaken& taken);

    // The first of "name (2).ext", "name (3).ext", ... that is not taken ("name (2)" without an extension;
    // a leading dot is no extension: ".profile (2)").
    static std::string FreeName(std::string_view name, const NameTaken& taken);

  private:
    DownloadChoices& choices_;
    std::optional<ConflictAction> forAll_;
};
