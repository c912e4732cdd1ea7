#include "ui/CertificateDialog.h"

#include <utility>

#include "ui/DialogFlags.h"
#include "ui/FingerprintFont.h"
#include "ui/TrustQuestionParts.h"

using namespace TrustQuestion;

namespace {

// Names, dates and reasons from the certificate: wrapped, as they can be long.
QLabel* Value(const std::string& text, const char* name, QWidget* parent) {
    QLabel* label = SelectableText(FromLocal(text), name, parent);
    label->setWordWrap(true);
    return label;
}

}  // namespace

CertificateDialog::CertificateDialog(const CertificateQuestion& question,
                                     std::function<void(CertificateTrust)> answer, QWidget* parent)
    : QDialog(parent, kDialogFlags), answer_(std::move(answer)) {
    setObjectName("CertificateDialog");
    setWindowTitle("Certificate");

    QLabel* server =
        PlainText(FromLocal(question.host) + ':' + QString::number(question.port), "server", this);
    const bool hasProblem = !question.certificate.problem.empty();
    QLabel* heading = PlainText(hasProblem ? "The server's certificate could not be verified:"
                                           : "The server's certificate could not be verified.",
                                "heading", this);
    QLabel* problem = Value(question.certificate.problem, "problem", this);
    problem->setVisible(hasProblem);
    QVBoxLayout* column = Column(*this, server, {heading, problem});

    QLabel* changed = PlainText(
        "Warning: the certificate of this server has changed since you chose to always trust it. "
        "It may have been renewed, or someone may be intercepting the connection.",
        "changed", this);
    changed->setWordWrap(true);
    changed->setFont(server->font());
    changed->setVisible(question.changed);
    column->addWidget(changed);

    QGridLayout* details = DetailsGrid();
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
        AddDetail(*details, row++, field.caption, Value(field.value, field.name, this));
    }
    QLabel* fingerprint =
        SelectableText(FingerprintText(question.certificate.fingerprint), "fingerprint", this);
    fingerprint->setFont(FingerprintFont());
    AddDetail(*details, row, "SHA-256 fingerprint:", fingerprint);
    column->addLayout(details);

    AddAnswers(*this, *column, {"Trust this &time", "trustThisTime", kTrustThisTime},
               {"&Always trust", "trustAlways", kTrustAlways});
    connect(this, &QDialog::finished, this, [this](int result) {
        Answer(result == kTrustThisTime ? CertificateTrust::ThisTime
               : result == kTrustAlways ? CertificateTrust::Always
                                        : CertificateTrust::Cancel);
    });
    setMinimumWidth(580);
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
