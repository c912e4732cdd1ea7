#pragma once
// The Host tab, where sessions begin: the user picks or types a site's URL, sees and edits the login
// that goes with it, pings the host, connects and logs off. The page shows a HostPageState, which keeps
// the saved sites and the rules, and holds the running session's handle; the worker and the ping thread
// report back through HostPageView.
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "diag/PingServices.h"
#include "hosts/HostPageState.h"
#include "ui/WispPropertyPage.h"
#include "views/HostView.h"

class FtpSessionHandle;
class HostPageView;
class PingThread;
class ProfileStore;
class TrustedCertificates;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class UrlComboItems;
class WispSheet;

class WispHostPage : public WispPropertyPage, private HostPageObserver {
    Q_OBJECT
  public:
    // What the buttons and the connected-to line show.
    using State = HostPagePhase;

    // `store` and `sheet` must outlive the page; the sheet's bridge is fenced before the page goes.
    WispHostPage(ProfileStore& store, WispSheet& sheet, QWidget* parent = nullptr);
    // Ends a session or ping that is still running, within their bounds.
    ~WispHostPage() override;

    // The first time lists the saved sites (after the URL defaults are fixed for the run); every time
    // shows the login members in the boxes.
    void PageActivated() override;
    // Reads the login boxes into the members.
    void PageDeactivated() override;

    // Lists and stores the built-in sites again (the Options page's "&Reload Default FTP Sites").
    void ReloadDefaultSites();

    // A site named on the command line: puts `urlText` into the URL box, checks it as leaving the box
    // does, takes `user` and `password` when `user` is not empty, and connects as Enter does.
    void OpenUrl(const std::string& urlText, const std::string& user, const std::string& password);

    // The password saved for `site` (as the transfer queue names a site) and its user, if any.
    std::optional<std::string> SavedPassword(const std::string& site) const;
    // Sends Logoff to the running session.
    void Logoff();
    bool HasSession() const { return session_ != nullptr; }

    // UI thread; the worker and the ping thread reach these through HostPageView.
    void ShowConnected(std::string_view connectionText);
    void ResetAfterSession();
    void PingFinished();
    // Shows why the session could not begin or ended, until the user's next action.
    void ShowFailure(SessionFailure what, std::string_view reason);
    // The failure shown now, or empty.
    QString Failure() const;
    // Opens the certificate question and returns at once; `answer` gets the user's choice, or Cancel
    // when the page goes away first. Storing an "always" is the session's part, not the page's.
    void AskCertificateTrust(const CertificateQuestion& question,
                             std::function<void(CertificateTrust)> answer);
    // The same for an SSH server's unknown host key and for a key file's passphrase (Cancel and nullopt
    // when the page goes away first). Writing an "Always" to known_hosts is the session's part.
    void AskHostKey(const SshHostKey& key, std::function<void(HostKeyAnswer)> answer);
    void AskPassphrase(const std::string& keyPath, std::function<void(std::optional<std::string>)> answer);

    // At close, once the bridge is fenced: stops the session and the ping and waits for each within its
    // bound. A worker that does not end in time is left to end by itself; it no longer reaches the page.
    void StopThreads();

    State CurrentState() const { return state_->Phase(); }

    // Replaces the name and echo services of later pings (tests).
    void SetPingServices(PingServices services);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Enter that no control took presses the default button, as in a dialog.
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void BuildControls();

    // HostPageObserver
    // The one place that enables, disables and fills the state-dependent controls.
    void PhaseChanged() override;
    void LoginChanged(const HostLogin& login) override;
    void ItemSelected(int index) override;
    void UrlRefused() override;
    void FailureChanged(const std::string& failure) override;
    void LogMessage(std::string_view line) override;

    void Validate();
    // True when the key was consumed.
    bool Enter();
    void PressDefaultButton();
    void Ping();
    void Connect();
    // What the login boxes hold now.
    HostLogin TypedLogin() const;

    WispSheet& sheet_;
    QPushButton* logoffButton_ = nullptr;
    QPushButton* pingButton_ = nullptr;
    QPushButton* connectButton_ = nullptr;
    QPushButton* removeButton_ = nullptr;
    QLineEdit* connectedBox_ = nullptr;
    QLabel* connectedLabel_ = nullptr;
    QComboBox* urlBox_ = nullptr;
    QLineEdit* userBox_ = nullptr;
    QLineEdit* passwordBox_ = nullptr;
    QCheckBox* savePasswordBox_ = nullptr;
    QWidget* failureLine_ = nullptr;
    QLabel* failureText_ = nullptr;

    // The URL box's items, which the state's saved sites keep; made before the state, gone after it.
    std::unique_ptr<UrlComboItems> items_;
    std::unique_ptr<HostPageState> state_;
    std::shared_ptr<FtpSessionHandle> session_;
    // Over the same store as the saved sites; shared with every session's worker.
    std::shared_ptr<TrustedCertificates> trustedCertificates_;

    HostPageView& view_;
    std::unique_ptr<PingThread> ping_;
    PingServices pingServices_;
};
