#include "ui/WispOptionsPage.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

WispOptionsPage::WispOptionsPage(QWidget* parent) : WispPropertyPage(parent) {
    setObjectName("WispOptionsPage");
    auto* caption =
        new QLabel("Internet &E-Mail Address (used as \"password\" with &Anonymous logins):", this);
    emailBox_ = new QLineEdit(this);
    emailBox_->setObjectName("email");
    caption->setBuddy(emailBox_);
    passiveBox_ = new QCheckBox("Use \"&Passive\" FTP Server data connections", this);
    passiveBox_->setObjectName("passive");
    keepTimesBox_ = new QCheckBox("Keep file times on upload", this);
    keepTimesBox_->setObjectName("keepUploadTimes");
    keepTimesBox_->setToolTip(
        "Gives each uploaded file on the server the time of the local file, where the server allows it");
    keepAliveBox_ = new QCheckBox("Keep the connection alive", this);
    keepAliveBox_->setObjectName("keepAlive");
    keepAliveBox_->setToolTip("Sends NOOP after a minute of quiet, for up to 30 minutes without a request");
    auto* reload = new QPushButton("&Reload Default FTP Sites", this);
    reload->setObjectName("reloadDefaults");
    auto* remove = new QPushButton("Remove Wisp from Registry and &Quit!", this);
    remove->setObjectName("removeAndQuit");

    connect(reload, &QPushButton::clicked, this, [this] {
        if (reloadDefaults_) {
            reloadDefaults_();
        }
    });
    connect(remove, &QPushButton::clicked, this, &WispOptionsPage::ConfirmRemoval);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(caption);
    layout->addWidget(emailBox_);
    layout->addWidget(passiveBox_);
    layout->addWidget(keepTimesBox_);
    layout->addWidget(keepAliveBox_);
    layout->addStretch(1);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(reload);
    buttons->addWidget(remove);
    layout->addLayout(buttons);
    layout->setAlignment(buttons, Qt::AlignHCenter);
}

void WispOptionsPage::SetValues(const std::string& email, bool passive, bool keepUploadTimes,
                                bool keepAlive) {
    email_ = QString::fromLocal8Bit(email.data(), static_cast<qsizetype>(email.size()));
    passive_ = passive;
    keepUploadTimes_ = keepUploadTimes;
    keepAlive_ = keepAlive;
    PageActivated();
}

std::string WispOptionsPage::Email() const {
    return email_.toLocal8Bit().toStdString();
}

void WispOptionsPage::PageActivated() {
    emailBox_->setText(email_);
    passiveBox_->setChecked(passive_);
    keepTimesBox_->setChecked(keepUploadTimes_);
    keepAliveBox_->setChecked(keepAlive_);
}

void WispOptionsPage::PageDeactivated() {
    email_ = emailBox_->text();
    passive_ = passiveBox_->isChecked();
    keepUploadTimes_ = keepTimesBox_->isChecked();
    keepAlive_ = keepAliveBox_->isChecked();
}

void WispOptionsPage::ConfirmRemoval() {
    // The text keeps its CR LF line breaks; Qt shows each pair as one break.
    QMessageBox box(QMessageBox::Critical, "Wisp Removal Confirmation",
                    "This will remove your FTP site list.\r\n"
                    "Any entries you have added will be LOST.\r\n"
                    "\r\n"
                    "Are you SURE you want to continue?",
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Ok);
    if (box.exec() == QMessageBox::Ok && removeConfirmed_) {
        removeConfirmed_();
    }
}
