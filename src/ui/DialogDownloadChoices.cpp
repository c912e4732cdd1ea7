#include "ui/DialogDownloadChoices.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
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
    switch (question->exec()) {
        case QMessageBox::Yes:
            return Answer::Yes;
        case QMessageBox::No:
            return Answer::No;
        default:
            return Answer::Cancel;
    }
}

QMessageBox* DialogDownloadChoices::CreateOverwriteQuestion(const std::string& localPath, QWidget* owner) {
    auto* question = new QMessageBox(
        QMessageBox::Warning, "Get file(s) as...",
        QString::fromLocal8Bit(localPath) + "\nThis file already exists.\n\nReplace existing file?",
        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, owner);
    question->setDefaultButton(QMessageBox::Yes);
    question->setEscapeButton(QMessageBox::Cancel);
    question->setTextFormat(Qt::PlainText);
    // A question, not a window: no minimise or maximise buttons.
    question->setWindowFlags(kDialogFlags);
    return question;
}
