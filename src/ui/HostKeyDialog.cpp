#include "ui/HostKeyDialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <string>
#include <utility>

#include "ui/DialogFlags.h"
#include "ui/FingerprintFont.h"

namespace {

QString FromLocal(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

// The host and the key's type come from the URL and the server: plain text always, never markup.
QLabel* Text(const QString& text, const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

QLabel* Sentence(const char* text, const char* name, QWidget* parent) {
    QLabel* label = Text(QString::fromLatin1(text), name, parent);
    label->setWordWrap(true);
    return label;
}

QLabel* Value(const QString& text, const char* name, QWidget* parent) {
    QLabel* label = Text(text, name, parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

QPushButton* Button(const char* text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

}  // namespace

HostKeyDialog::HostKeyDialog(const SshHostKey& key, std::function<void(HostKeyAnswer)> answer,
                             QWidget* parent)
    : QDialog(parent, kDialogFlags), answer_(std::move(answer)) {
    setObjectName("HostKeyDialog");
    setWindowTitle("Host key");

    auto* icon = new QLabel(this);
    icon->setObjectName("icon");
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
    icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    QLabel* server = Text(ServerText(key), "server", this);
    QFont bold = server->font();
    bold.setBold(true);
    server->setFont(bold);
    QLabel* heading = Sentence(
        "The host key of this server is not known: it is in none of your known_hosts files, so nothing "
        "shows that this is the server you mean to reach.",
        "heading", this);
    auto* headingText = new QVBoxLayout;
    headingText->setSpacing(4);
    headingText->addWidget(server);
    headingText->addWidget(heading);
    auto* top = new QHBoxLayout;
    top->setSpacing(12);
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(headingText, 1);

    auto* details = new QGridLayout;
    details->setHorizontalSpacing(12);
    details->setVerticalSpacing(6);
    details->setColumnStretch(1, 1);
    details->addWidget(Text("Key type:", "", this), 0, 0, Qt::AlignLeft | Qt::AlignTop);
    details->addWidget(Value(FromLocal(key.type), "keyType", this), 0, 1, Qt::AlignLeft | Qt::AlignTop);
    QLabel* fingerprint =
        Value(QString::fromLatin1(key.fingerprint.data(), static_cast<qsizetype>(key.fingerprint.size())),
              "fingerprint", this);
    fingerprint->setFont(FingerprintFont());
    details->addWidget(Text("Fingerprint:", "", this), 1, 0, Qt::AlignLeft | Qt::AlignTop);
    details->addWidget(fingerprint, 1, 1, Qt::AlignLeft | Qt::AlignTop);

    QLabel* advice = Sentence(
        "Compare the fingerprint with the one the server's administrator gives you. \"Connect once\" "
        "trusts the key for this connection only. \"Always\" adds it to ~/.ssh/known_hosts: the key is "
        "not asked about again, and a different key from this server is refused.",
        "advice", this);

    QPushButton* once = Button("Connect &once", "connectOnce", this);
    QPushButton* always = Button("&Always", "always", this);
    QPushButton* cancel = Button("Cancel", "cancel", this);
    // Enter must not trust a key by accident.
    cancel->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(once);
    buttons->addWidget(always);
    buttons->addWidget(cancel);
    connect(once, &QPushButton::clicked, this, [this] { done(kConnectOnce); });
    connect(always, &QPushButton::clicked, this, [this] { done(kAlways); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(this, &QDialog::finished, this, [this](int result) {
        Answer(result == kConnectOnce ? HostKeyAnswer::ConnectOnce
               : result == kAlways    ? HostKeyAnswer::Always
                                      : HostKeyAnswer::Cancel);
    });

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(12);
    layout->addLayout(top);
    layout->addLayout(details);
    layout->addWidget(advice);
    // Room the window is given beyond its natural size goes below the texts, not between them.
    layout->addStretch(1);
    layout->addSpacing(4);
    layout->addLayout(buttons);
    setMinimumWidth(540);
    cancel->setFocus();
}

HostKeyDialog::~HostKeyDialog() {
    // Destroyed unanswered (its window went away with the page): nobody trusted the key.
    Answer(HostKeyAnswer::Cancel);
}

QString HostKeyDialog::ServerText(const SshHostKey& key) {
    const QString host = FromLocal(key.host);
    if (key.port == 22) {
        return host;
    }
    const bool ipv6 = host.contains(':');
    return (ipv6 ? '[' + host + ']' : host) + ':' + QString::number(key.port);
}

void HostKeyDialog::Answer(HostKeyAnswer answer) {
    if (!answer_) {
        return;
    }
    std::function<void(HostKeyAnswer)> callback = std::move(answer_);
    answer_ = nullptr;
    callback(answer);
}
