#include "ui/WispAboutPage.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {

QLineEdit* MakeReadOnlyBox(QWidget* parent, const char* name) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setReadOnly(true);
    box->setFrame(false);
    return box;
}

}  // namespace

WispAboutPage::WispAboutPage(QWidget* parent) : WispPropertyPage(parent) {
    setObjectName("WispAboutPage");
    auto* icon = new QLabel(this);
    icon->setPixmap(QIcon(":/wisp/wisp-48.png").pixmap(48, 48));
    auto* title = new QLabel("Wisp - FTP Client for Linux", this);
    title->setObjectName("title");
    auto* maker = new QLabel(QString("Made by %1").arg(kMaker), this);
    auto* rights =
        new QLabel(QString::fromUtf8("Copyright \u00a9 %1. All rights reserved.").arg(kMaker), this);

    auto* terms = new QGroupBox(this);
    auto* termsLayout = new QVBoxLayout(terms);
    termsLayout->addWidget(new QLabel("This program is free of charge.", terms));
    termsLayout->addWidget(new QLabel("You may copy it and give it away freely,", terms));
    termsLayout->addWidget(new QLabel("as long as it is passed on whole and unchanged.", terms));

    auto* versionCaption = new QLabel("Version", this);
    auto* version = new QLabel(kVersion, this);
    version->setObjectName("version");

    webPageBox_ = MakeReadOnlyBox(this, "webPage");
    emailBox_ = MakeReadOnlyBox(this, "email");

    auto* heading = new QHBoxLayout;
    heading->addWidget(icon);
    auto* names = new QVBoxLayout;
    names->addWidget(title);
    names->addWidget(maker);
    names->addWidget(rights);
    heading->addLayout(names, 1);

    auto* versionRow = new QHBoxLayout;
    versionRow->addWidget(versionCaption);
    versionRow->addWidget(version);
    versionRow->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(heading);
    layout->addWidget(terms);
    layout->addLayout(versionRow);
    layout->addWidget(webPageBox_);
    layout->addWidget(emailBox_);
    layout->addStretch(1);
}

void WispAboutPage::PageActivated() {
    if (webPage_.isEmpty()) {
        webPage_ = kWebPage;
        email_ = kEMail;
        webPageBox_->setText(webPage_);
        emailBox_->setText(email_);
    }
}
