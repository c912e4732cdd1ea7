#pragma once
// The download questions as the desktop's dialogs: the folder chooser and the Yes/No/Cancel question
// about replacing a local file (with Resume when the file can be continued), both owned by the Remote page.
#include "remote/DownloadChoices.h"

class QMessageBox;
class QWidget;

class DialogDownloadChoices final : public DownloadChoices {
  public:
    explicit DialogDownloadChoices(QWidget* owner) : owner_(owner) {}
    std::optional<std::string> ChooseFolder(const std::string& startFolder) override;
    Answer AskOverwrite(const std::string& localPath) override;
    Answer AskOverwriteOrResume(const std::string& localPath) override;

    // The question, not yet shown (for its look); with `offerResume`, a Resume button (object name
    // "resume") beside Yes, No and Cancel.
    static QMessageBox* CreateOverwriteQuestion(const std::string& localPath, QWidget* owner,
                                                bool offerResume = false);
    // The answer the button the user clicked in `question` stands for.
    static Answer AnswerOf(QMessageBox& question, int result);

  private:
    QWidget* owner_;
};
