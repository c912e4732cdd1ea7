#include "remote/ConflictResolver.h"

#include "remote/DownloadChoices.h"

ConflictResolver::Decision ConflictResolver::Resolve(const TransferConflict& conflict, std::string_view name,
                                                     const NameTaken& taken) {
    ConflictAction action = ConflictAction::Cancel;
    if (forAll_) {
        action = *forAll_;
    } else {
        const ConflictAnswer answer = choices_.AskConflict(conflict);
        action = answer.action;
        if (answer.forAll && action != ConflictAction::Cancel) {
            forAll_ = action;
        }
    }
    switch (action) {
        case ConflictAction::Overwrite:
            return {Outcome::Write, {}};
        case ConflictAction::OverwriteIfNewer: {
            const bool known = conflict.sourceTime >= 0 && conflict.targetTime >= 0;
            return {known && conflict.sourceTime <= conflict.targetTime ? Outcome::Skip : Outcome::Write, {}};
        }
        case ConflictAction::Resume:
            return {conflict.canResume ? Outcome::Resume : Outcome::Write, {}};
        case ConflictAction::Skip:
            return {Outcome::Skip, {}};
        case ConflictAction::Rename:
            return {Outcome::Rename, FreeName(name, taken)};
        case ConflictAction::Cancel:
            break;
    }
    return {Outcome::Cancel, {}};
}

std::string ConflictResolver::FreeName(std::string_view name, const NameTaken& taken) {
    std::size_t dot = name.rfind('.');
    if (dot == 0 || dot == std::string_view::npos) {
        dot = name.size();
    }
    const std::string_view stem = name.substr(0, dot);
    const std::string_view extension = name.substr(dot);
    for (int number = 2;; ++number) {
        std::string candidate =
            std::string(stem) + " (" + std::to_string(number) + ")" + std::string(extension);
        if (!taken || !taken(candidate)) {
            return candidate;
        }
    }
}
