#pragma once
// Asks for the passphrase of an encrypted SSH key file while a session logs in. It never blocks its
// caller: open() it, and the answer reaches the callback exactly once: the passphrase typed, or nothing
// when the user cancels, closes the window or the dialog is destroyed unanswered (the key is then skipped).
#include <QDialog>
#include <functional>
#include <optional>
#include <string>

class QLineEdit;

class PassphraseDialog : public QDialog {
    Q_OBJECT
  public:
    PassphraseDialog(const std::string& keyPath, std::function<void(std::optional<std::string>)> answer,
                     QWidget* parent = nullptr);
    ~PassphraseDialog() override;

  private:
    void Answer(std::optional<std::string> passphrase);

    QLineEdit* passphraseBox_ = nullptr;
    std::function<void(std::optional<std::string>)> answer_;
};
