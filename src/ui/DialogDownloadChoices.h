#pragma once
// The transfer questions as the desktop's dialogs: the folder chooser, the Yes/No/Cancel question about
// replacing a local file (with Resume when the file can be continued) and the conflict question of
// downloads and uploads, all owned by the Remote page.
#include <memory>

#include "remote/DownloadChoices.h"

class QMessageBox;
class QWidget;

class DialogDownloadChoices final : public DownloadChoices {
  public:
    explicit DialogDownloadChoices(QWidget* owner) : owner_(owner) {}
    std::optional<std::string> ChooseFolder(const std::string& startFolder) override;
    Answer AskOverwrite(const std::string& localPath) override;
    Answer AskOverwriteOrResume(const std::string& localPath) override;
    ConflictAnswer AskConflict(const TransferConflict& conflict) override;

    // The question, not yet shown (for its look); with `offerResume`, a Resume button (object name
    // "resume") beside Yes, No and Cancel.
    static QMessageBox* CreateOverwriteQuestion(const std::string& localPath, QWidget* owner,
                                                bool offerResume = false);
    // The answer the button the user clicked in `question` stands for.
    static Answer AnswerOf(QMessageBox& question, int result);

    // The conflict question, not yet shown: the overwrite question's words (for an upload, about the
    // server's file), both files' sizes and times, buttons Overwrite (Enter), Overwrite if newer, Resume
    // (only when conflict.canResume), Skip, Rename and Cancel (Escape), and the box "Do this for all
    // remaining conflicts". Buttons carry the object names overwrite, newer, resume, skip, rename, cancel.
    static std::unique_ptr<QMessageBox> CreateConflictQuestion(const TransferConflict& conflict,
                                                               QWidget* owner);
    // The answer the button the user clicked in `question` stands for, with the box's state.
    static ConflictAnswer ConflictAnswerOf(const QMessageBox& question);

  private:
    QWidget* owner_;
};
