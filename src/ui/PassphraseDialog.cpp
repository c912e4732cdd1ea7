#include "ui/PassphraseDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <utility>

#include "ui/DialogFlags.h"

PassphraseDialog::PassphraseDialog(const std::string& keyPath,
                                   std::function<void(std::optional<std::string>)> answer, QWidget* parent)
    : QDialog(parent, kDialogFlags), answer_(std::move(answer)) {
    setObjectName("PassphraseDialog");
    setWindowTitle("Key passphrase");

    auto* caption = new QLabel("The key file is protected by a passphrase:", this);
    caption->setObjectName("caption");
    // A file name, never markup.
    auto* path = new QLabel(this);
    path->setObjectName("keyPath");
    path->setTextFormat(Qt::PlainText);
    path->setText(QString::fromLocal8Bit(keyPath.data(), static_cast<qsizetype>(keyPath.size())));
    path->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QFont bold = path->font();
    bold.setBold(true);
    path->setFont(bold);

    auto* label = new QLabel("&Passphrase:", this);
    passphraseBox_ = new QLineEdit(this);
    passphraseBox_->setObjectName("passphrase");
    passphraseBox_->setEchoMode(QLineEdit::Password);
    label->setBuddy(passphraseBox_);
    auto* hint = new QLabel("Cancel skips this key and tries the next way of logging in.", this);
    hint->setObjectName("hint");
    hint->setWordWrap(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName("ok");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("cancel");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(this, &QDialog::finished, this, [this](int result) {
        if (result == QDialog::Accepted) {
            Answer(passphraseBox_->text().toLocal8Bit().toStdString());
        } else {
            Answer(std::nullopt);
        }
    });

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(8);
    layout->addWidget(caption);
    layout->addWidget(path);
    layout->addSpacing(4);
    layout->addWidget(label);
    layout->addWidget(passphraseBox_);
    layout->addWidget(hint);
    layout->addStretch(1);
    layout->addSpacing(4);
    layout->addWidget(buttons);
    setMinimumWidth(420);
    passphraseBox_->setFocus();
}

PassphraseDialog::~PassphraseDialog() {
    // Destroyed unanswered (its window went away with the page): the key is skipped.
    Answer(std::nullopt);
}

void PassphraseDialog::Answer(std::optional<std::string> passphrase) {
    // The passphrase leaves the window with the answer; nothing of it stays in the box.
    passphraseBox_->clear();
    if (!answer_) {
        return;
    }
    std::function<void(std::optional<std::string>)> callback = std::move(answer_);
    answer_ = nullptr;
    callback(std::move(passphrase));
}
