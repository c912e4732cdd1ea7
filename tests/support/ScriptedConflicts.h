#pragma once
// The transfer questions answered from a script, for page-state tests of conflicts: the folder given, the
// conflict answers in order (Cancel once they run out), and what each conflict question was told.
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "remote/DownloadChoices.h"

class ScriptedConflicts : public DownloadChoices {
  public:
    std::optional<std::string> ChooseFolder(const std::string&) override { return folder; }
    Answer AskOverwrite(const std::string&) override { return Answer::Cancel; }
    ConflictAnswer AskConflict(const TransferConflict& conflict) override {
        asked.push_back(conflict);
        ConflictAnswer answer;
        if (!answers.empty()) {
            answer = answers.front();
            answers.pop_front();
        }
        return answer;
    }
    std::optional<std::string> folder;
    std::deque<ConflictAnswer> answers;
    std::vector<TransferConflict> asked;
};
