#pragma once
// The two questions a download asks the user: which folder the files go to, and whether a file that is
// already there may be replaced. Dialogs in the program, scripted answers in tests.
#include <optional>
#include <string>

#include "remote/TransferConflict.h"

class DownloadChoices {
  public:
    enum class Answer { Yes, No, Cancel, Resume };

    virtual ~DownloadChoices() = default;
    // The folder chosen, opening on `startFolder`; nothing when the user cancelled.
    virtual std::optional<std::string> ChooseFolder(const std::string& startFolder) = 0;
    // `localPath` exists: replace it (Yes), skip this file (No), or give up the whole download (Cancel).
    virtual Answer AskOverwrite(const std::string& localPath) = 0;
    // The same question when the file can also be continued where it stops (Resume).
    virtual Answer AskOverwriteOrResume(const std::string& localPath) { return AskOverwrite(localPath); }
    // The conflict question of transfers that may hold many files: Overwrite, Overwrite if newer, Resume
    // (when conflict.canResume), Skip, Rename, or Cancel, optionally for all remaining conflicts. By default
    // the overwrite question above, answered for this file alone.
    virtual ConflictAnswer AskConflict(const TransferConflict& conflict) {
        const Answer answer =
            conflict.canResume ? AskOverwriteOrResume(conflict.target) : AskOverwrite(conflict.target);
        switch (answer) {
            case Answer::Yes:
                return {ConflictAction::Overwrite, false};
            case Answer::No:
                return {ConflictAction::Skip, false};
            case Answer::Resume:
                return {ConflictAction::Resume, false};
            case Answer::Cancel:
                break;
        }
        return {ConflictAction::Cancel, false};
    }
};
