#pragma once
// The question about a server certificate that failed verification: whom it names, who signed it, when
// it is valid, its fingerprint and why it failed, answered with trust this time, always trust or cancel.
// It never blocks its caller: open() it, and the answer reaches the callback exactly once, when the user
// answers or, unanswered, as Cancel when the dialog is destroyed.
#include <QDialog>
#include <QString>
#include <functional>
#include <string>

#include "views/HostView.h"

class CertificateDialog : public QDialog {
    Q_OBJECT
  public:
    CertificateDialog(const CertificateQuestion& question, std::function<void(CertificateTrust)> answer,
                      QWidget* parent = nullptr);
    ~CertificateDialog() override;

    // The fingerprint as shown: long ones broken after the colon in the middle, so the dialog stays narrow.
    static QString FingerprintText(const std::string& fingerprint);

  private:
    // The dialog's result codes; Escape and closing the window give Rejected.
    static constexpr int kTrustThisTime = QDialog::Accepted;
    static constexpr int kTrustAlways = QDialog::Accepted + 1;

    void Answer(CertificateTrust trust);

    std::function<void(CertificateTrust)> answer_;
};
