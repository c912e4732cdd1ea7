#include "ui/DialogDownloadChoices.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <limits>
#include <memory>

#include "listing/EnglishDate.h"
#include "listing/PropertiesTexts.h"
#include "listing/RemoteName.h"
#include "ui/DialogFlags.h"

namespace {

// "1.50KB (1536 bytes), Friday, January 05, 1996 1:45:00 PM", as the properties dialog writes them.
QString Facts(std::int64_t size, std::int64_t time) {
    const QString sizeText = size < 0 ? QString("size unknown") : QString::fromStdString(SizeSummary(size));
    std::string date;
    if (time >= 0 && time <= std::numeric_limits<std::int32_t>::max()) {
        date = LongDateText(static_cast<std::int32_t>(time));
    }
    return sizeText + ", " + (date.empty() ? QString("time unknown") : QString::fromStdString(date));
}

}  // namespace

std::optional<std::string> DialogDownloadChoices::ChooseFolder(const std::string& startFolder) {
    // Before the first download the chooser opens on the user's download folder, not wherever the
    // program was started from.
    QString start = QString::fromLocal8Bit(startFolder);
    if (start.isEmpty()) {
        start = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    }
    if (start.isEmpty() || !QFileInfo(start).isDir()) {
        start = QDir::homePath();
    }
    const QString folder =
        QFileDialog::getExistingDirectory(owner_, "Select folder for downloaded files", start);
    if (folder.isEmpty()) {
        return std::nullopt;
    }
    return folder.toLocal8Bit().toStdString();
}

DownloadChoices::Answer DialogDownloadChoices::AskOverwrite(const std::string& localPath) {
    const std::unique_ptr<QMessageBox> question(CreateOverwriteQuestion(localPath, owner_));
    const int result = question->exec();
    return AnswerOf(*question, result);
}

DownloadChoices::Answer DialogDownloadChoices::AskOverwriteOrResume(const std::string& localPath) {
    const std::unique_ptr<QMessageBox> question(CreateOverwriteQuestion(localPath, owner_, true));
    const int result = question->exec();
    return AnswerOf(*question, result);
}

DownloadChoices::Answer DialogDownloadChoices::AnswerOf(QMessageBox& question, int result) {
    if (question.clickedButton() != nullptr && question.clickedButton()->objectName() == "resume") {
        return Answer::Resume;
    }
    switch (result) {
        case QMessageBox::Yes:
            return Answer::Yes;
        case QMessageBox::No:
            return Answer::No;
        default:
            return Answer::Cancel;
    }
}

QMessageBox* DialogDownloadChoices::CreateOverwriteQuestion(const std::string& localPath, QWidget* owner,
                                                            bool offerResume) {
    QString text =
        QString::fromLocal8Bit(localPath) + "\nThis file already exists.\n\nReplace existing file?";
    if (offerResume) {
        text += "\n\nIt is shorter than the file on the server: Resume fetches only the rest.";
    }
    auto* question = new QMessageBox(QMessageBox::Warning, "Get file(s) as...", text,
                                     QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, owner);
    if (offerResume) {
        QPushButton* resume = question->addButton("&Resume", QMessageBox::AcceptRole);
        resume->setObjectName("resume");
    }
    // Replacing stays what Enter does: only the user can tell that the local copy is a beginning of the
    // server's file (an ASCII copy is shorter too, and resuming it would splice two different files).
    question->setDefaultButton(QMessageBox::Yes);
    question->setEscapeButton(QMessageBox::Cancel);
    question->setTextFormat(Qt::PlainText);
    // A question, not a window: no minimise or maximise buttons.
    question->setWindowFlags(kDialogFlags);
    return question;
}

ConflictAnswer DialogDownloadChoices::AskConflict(const TransferConflict& conflict) {
    const std::unique_ptr<QMessageBox> question = CreateConflictQuestion(conflict, owner_);
    question->exec();
    return ConflictAnswerOf(*question);
}

std::unique_ptr<QMessageBox> DialogDownloadChoices::CreateConflictQuestion(const TransferConflict& conflict,
                                                                           QWidget* owner) {
    const bool upload = conflict.direction == TransferDirection::Upload;
    // A download names a local path; an upload the server's bytes, shown as the listing shows names.
    const QString target = upload ? QString::fromStdString(RemoteName::DisplayText(conflict.target))
                                  : QString::fromLocal8Bit(conflict.target);
    const QString text =
        target + (upload ? "\nThis file already exists on the server." : "\nThis file already exists.") +
        "\n\nReplace existing file?";
    auto question =
        std::make_unique<QMessageBox>(QMessageBox::Warning, upload ? "Upload file(s)" : "Get file(s) as...",
                                      text, QMessageBox::NoButton, owner);
    QString facts = (upload ? "Local file: " : "Server's file: ") +
                    Facts(conflict.sourceSize, conflict.sourceTime) + "\n" +
                    (upload ? "Server's file: " : "Existing file: ") +
                    Facts(conflict.targetSize, conflict.targetTime);
    if (conflict.canResume) {
        facts += upload ? "\n\nThe server's file is shorter: Resume sends only the rest."
                        : "\n\nIt is shorter than the file on the server: Resume fetches only the rest.";
    }
    question->setInformativeText(facts);
    // All but Cancel in one role, so that every desktop's layout keeps them in this order.
    const auto add = [&question](const QString& label, const char* name, QMessageBox::ButtonRole role) {
        QPushButton* button = question->addButton(label, role);
        button->setObjectName(name);
        return button;
    };
    QPushButton* overwrite = add("&Overwrite", "overwrite", QMessageBox::ActionRole);
    add("Overwrite if &newer", "newer", QMessageBox::ActionRole);
    if (conflict.canResume) {
        add("&Resume", "resume", QMessageBox::ActionRole);
    }
    add("&Skip", "skip", QMessageBox::ActionRole);
    add("Rena&me", "rename", QMessageBox::ActionRole);
    QPushButton* cancel = add("Cancel", "cancel", QMessageBox::RejectRole);
    // Enter replaces, as the overwrite question's Yes does.
    question->setDefaultButton(overwrite);
    question->setEscapeButton(cancel);
    question->setCheckBox(new QCheckBox("Do this for &all remaining conflicts", question.get()));
    question->setTextFormat(Qt::PlainText);
    question->setWindowFlags(kDialogFlags);
    return question;
}

ConflictAnswer DialogDownloadChoices::ConflictAnswerOf(const QMessageBox& question) {
    static const struct {
        const char* name;
        ConflictAction action;
    } kButtons[] = {
        {"overwrite", ConflictAction::Overwrite}, {"newer", ConflictAction::OverwriteIfNewer},
        {"resume", ConflictAction::Resume},       {"skip", ConflictAction::Skip},
        {"rename", ConflictAction::Rename},
    };
    ConflictAnswer answer;
    const QAbstractButton* clicked = question.clickedButton();
    for (const auto& button : kButtons) {
        if (clicked != nullptr && clicked->objectName() == button.name) {
            answer.action = button.action;
        }
    }
    answer.forAll = question.checkBox() != nullptr && question.checkBox()->isChecked();
    return answer;
}
