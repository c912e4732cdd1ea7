#pragma once
// The question about an SSH server whose host key is in no known_hosts file: the server, the key's type
// and SHA-256 fingerprint, answered with connect once, always (the key is added to known_hosts) or cancel.
// It never blocks its caller: open() it, and the answer reaches the callback exactly once, when the user
// answers or, unanswered, as Cancel when the dialog is destroyed.
#include <QDialog>
#include <QString>
#include <functional>

#include "sftp/SshPrompts.h"

class HostKeyDialog : public QDialog {
    Q_OBJECT
  public:
    HostKeyDialog(const SshHostKey& key, std::function<void(HostKeyAnswer)> answer,
                  QWidget* parent = nullptr);
    ~HostKeyDialog() override;

    // The server as the dialog names it: the host alone on SSH's port 22, else host and port (an IPv6
    // address in brackets).
    static QString ServerText(const SshHostKey& key);

  private:
    // The dialog's result codes; Escape and closing the window give Rejected.
    static constexpr int kConnectOnce = QDialog::Accepted;
    static constexpr int kAlways = QDialog::Accepted + 1;

    void Answer(HostKeyAnswer answer);

    std::function<void(HostKeyAnswer)> answer_;
};
