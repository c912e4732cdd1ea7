#include "ui/CertificateDialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <utility>
#include "ui/DialogFlags.h"
#include "ui/FingerprintFont.h"

namespace {

QString FromLocal(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

// Every text here but the captions comes from the server or the URL: plain text always, so markup in a
// certificate's name is shown, never interpreted.
QLabel* Text(const QString& text, const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

QLabel* Value(const std::string& text, const char* name, QWidget* parent) {
    QLabel* label = Text(FromLocal(text), name, parent);
    label->setWordWrap(true);
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

CertificateDialog::CertificateDialog(const CertificateQuestion& question,
                                     std::function<void(CertificateTrust)> answer, QWidget* parent)
    : QDialog(parent, kDialogFlags), answer_(std::move(answer)) {
    setObjectName("CertificateDialog");
    setWindowTitle("Certificate");

    auto* icon = new QLabel(this);
    icon->setObjectName("icon");
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
    icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    QLabel* server = Text(FromLocal(question.host) + ':' + QString::number(question.port), "server", this);
    QFont bold = server->font();
    bold.setBold(true);
    server->setFont(bold);
    const bool hasProblem = !question.certificate.problem.empty();
    QLabel* heading = Text(hasProblem ? "The server's certificate could not be verified:"
                                      : "The server's certificate could not be verified.",
                           "heading", this);
    QLabel* problem = Value(question.certificate.problem, "problem", this);
    problem->setVisible(hasProblem);

    auto* headingText = new QVBoxLayout;
    headingText->setSpacing(4);
    headingText->addWidget(server);
    headingText->addWidget(heading);
    headingText->addWidget(problem);
    auto* top = new QHBoxLayout;
    top->setSpacing(12);
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(headingText, 1);

    QLabel* changed = Text(
        "Warning: the certificate of this server has changed since you chose to always trust it. "
        "It may have been renewed, or someone may be intercepting the connection.",
        "changed", this);
    changed->setWordWrap(true);
    changed->setFont(bold);
    changed->setVisible(question.changed);

    auto* details = new QGridLayout;
    details->setHorizontalSpacing(12);
    details->setVerticalSpacing(6);
    details->setColumnStretch(1, 1);
    const struct {
        const char* caption;
        const std::string& value;
        const char* name;
    } rows[] = {
        {"Subject:", question.certificate.subject, "subject"},
        {"Issuer:", question.certificate.issuer, "issuer"},
        {"Valid from:", question.certificate.validFrom, "validFrom"},
        {"Valid until:", question.certificate.validUntil, "validUntil"},
    };
    int row = 0;
    for (const auto& field : rows) {
        details->addWidget(Text(field.caption, "", this), row, 0, Qt::AlignLeft | Qt::AlignTop);
        details->addWidget(Value(field.value, field.name, this), row, 1, Qt::AlignTop);
        ++row;
    }
    QLabel* fingerprint = Value(std::string(), "fingerprint", this);
    fingerprint->setWordWrap(false);
    fingerprint->setText(FingerprintText(question.certificate.fingerprint));
    fingerprint->setFont(FingerprintFont());
    details->addWidget(Text("SHA-256 fingerprint:", "", this), row, 0, Qt::AlignLeft | Qt::AlignTop);
    details->addWidget(fingerprint, row, 1, Qt::AlignLeft | Qt::AlignTop);

    QPushButton* thisTime = Button("Trust this &time", "trustThisTime", this);
    QPushButton* always = Button("&Always trust", "trustAlways", this);
    QPushButton* cancel = Button("Cancel", "cancel", this);
    // Enter must not trust a certificate by accident.
    cancel->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(thisTime);
    buttons->addWidget(always);
    buttons->addWidget(cancel);
    connect(thisTime, &QPushButton::clicked, this, [this] { done(kTrustThisTime); });
    connect(always, &QPushButton::clicked, this, [this] { done(kTrustAlways); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(this, &QDialog::finished, this, [this](int result) {
        Answer(result == kTrustThisTime ? CertificateTrust::ThisTime
               : result == kTrustAlways ? CertificateTrust::Always
                                        : CertificateTrust::Cancel);
    });

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(12);
    layout->addLayout(top);
    layout->addWidget(changed);
    layout->addLayout(details);
    // Room the window is given beyond its natural size goes below the texts, not between them.
    layout->addStretch(1);
    layout->addSpacing(4);
    layout->addLayout(buttons);
    setMinimumWidth(580);
    cancel->setFocus();
}

CertificateDialog::~CertificateDialog() {
    // Destroyed unanswered (its window went away with the page): nobody trusted the certificate.
    Answer(CertificateTrust::Cancel);
}

QString CertificateDialog::FingerprintText(const std::string& fingerprint) {
    QString text = QString::fromLatin1(fingerprint.data(), static_cast<qsizetype>(fingerprint.size()));
    constexpr qsizetype kLongest = 48;
    if (text.size() > kLongest) {
        const qsizetype middle = text.indexOf(':', text.size() / 2 - 1);
        if (middle >= 0 && middle + 1 < text.size()) {
            text.insert(middle + 1, '\n');
        }
    }
    return text;
}

void CertificateDialog::Answer(CertificateTrust trust) {
    if (!answer_) {
        return;
    }
    std::function<void(CertificateTrust)> answer = std::move(answer_);
    answer_ = nullptr;
    answer(trust);
}
