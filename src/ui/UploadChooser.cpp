#include "ui/UploadChooser.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>

UploadChooser::UploadChooser(QWidget* parent, const QString& folder)
    : QFileDialog(parent, "Upload", folder.isEmpty() ? QDir::homePath() : folder) {
    setObjectName("uploadChooser");
    setOption(QFileDialog::DontUseNativeDialog, true);
    setFileMode(QFileDialog::ExistingFiles);
    setAcceptMode(QFileDialog::AcceptOpen);
    setLabelText(QFileDialog::Accept, "&Upload");
    setLabelText(QFileDialog::FileName, "&Files and folders:");
}

void UploadChooser::showEvent(QShowEvent* event) {
    QFileDialog::showEvent(event);
    if (labelKept_) {
        return;
    }
    labelKept_ = true;
    // Connected after the dialog's own handlers, so that this label comes last.
    if (auto* list = findChild<QListView*>("listView");
        list != nullptr && list->selectionModel() != nullptr) {
        connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                [this] { KeepUploadLabel(); });
    }
    if (auto* name = findChild<QLineEdit*>("fileNameEdit")) {
        connect(name, &QLineEdit::textChanged, this, [this] { KeepUploadLabel(); });
    }
    KeepUploadLabel();
}

void UploadChooser::KeepUploadLabel() {
    if (auto* buttons = findChild<QDialogButtonBox*>("buttonBox")) {
        if (QPushButton* upload = buttons->button(QDialogButtonBox::Open)) {
            upload->setText("&Upload");
        }
    }
}

void UploadChooser::accept() {
    // The selection holds the folders too (the name field shows only the files); a name typed that does
    // not exist is left to the dialog, which says so.
    const QStringList selected = selectedFiles();
    QStringList chosen;
    for (const QString& path : selected) {
        if (!QFileInfo::exists(path)) {
            QFileDialog::accept();
            return;
        }
        chosen.append(path);
    }
    if (chosen.isEmpty()) {
        QFileDialog::accept();
        return;
    }
    chosen_ = chosen;
    QDialog::accept();
}

std::vector<std::string> UploadChooser::Ask(QWidget* parent, QString& folder) {
    UploadChooser chooser(parent, folder);
    if (chooser.exec() != QDialog::Accepted) {
        return {};
    }
    folder = chooser.directory().absolutePath();
    std::vector<std::string> paths;
    for (const QString& path : chooser.Chosen()) {
        paths.push_back(path.toLocal8Bit().toStdString());
    }
    return paths;
}
