#pragma once
// The download questions as the desktop's dialogs: the folder chooser and the Yes/No/Cancel question
// about replacing a local file, both owned by the Remote page.
#include "remote/DownloadChoices.h"

class QMessageBox;
class QWidget;

class DialogDownloadChoices final : public DownloadChoices {
  public:
    explicit DialogDownloadChoices(QWidget* owner) : owner_(owner) {}
    std::optional<std::string> ChooseFolder(const std::string& startFolder) override;
    Answer AskOverwrite(const std::string& localPath) override;

    // The question, not yet shown (for its look).
    static QMessageBox* CreateOverwriteQuestion(const std::string& localPath, QWidget* owner);

  private:
    QWidget* owner_;
};
