#include "ui/HostKeyDialog.h"

#include <string>
#include <utility>

#include "ui/DialogFlags.h"
#include "ui/FingerprintFont.h"
#include "ui/TrustQuestionParts.h"

using namespace TrustQuestion;

HostKeyDialog::HostKeyDialog(const SshHostKey& key, std::function<void(HostKeyAnswer)> answer,
                             QWidget* parent)
    : QDialog(parent, kDialogFlags), answer_(std::move(answer)) {
    setObjectName("HostKeyDialog");
    setWindowTitle("Host key");

    QLabel* heading = PlainText(
        "The host key of this server is not known: it is in none of your known_hosts files, so nothing "
        "shows that this is the server you mean to reach.",
        "heading", this);
    heading->setWordWrap(true);
    QVBoxLayout* column = Column(*this, PlainText(ServerText(key), "server", this), {heading});

    QGridLayout* details = DetailsGrid();
    AddDetail(*details, 0, "Key type:", SelectableText(FromLocal(key.type), "keyType", this));
    QLabel* fingerprint = SelectableText(
        QString::fromLatin1(key.fingerprint.data(), static_cast<qsizetype>(key.fingerprint.size())),
        "fingerprint", this);
    fingerprint->setFont(FingerprintFont());
    AddDetail(*details, 1, "Fingerprint:", fingerprint);
    column->addLayout(details);

    QLabel* advice = PlainText(
        "Compare the fingerprint with the one the server's administrator gives you. \"Connect once\" "
        "trusts the key for this connection only. \"Always\" adds it to ~/.ssh/known_hosts: the key is "
        "not asked about again, and a different key from this server is refused.",
        "advice", this);
    advice->setWordWrap(true);
    column->addWidget(advice);

    AddAnswers(*this, *column, {"Connect &once", "connectOnce", kConnectOnce},
               {"&Always", "always", kAlways});
    connect(this, &QDialog::finished, this, [this](int result) {
        Answer(result == kConnectOnce ? HostKeyAnswer::ConnectOnce
               : result == kAlways    ? HostKeyAnswer::Always
                                      : HostKeyAnswer::Cancel);
    });
    setMinimumWidth(540);
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
