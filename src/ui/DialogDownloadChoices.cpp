#include "ui/DialogDownloadChoices.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <memory>
#include "ui/DialogFlags.h"

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
