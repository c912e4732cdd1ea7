#pragma once
// The Host tab, where sessions begin: the user picks or types a site's URL, sees and edits the login
// that goes with it, pings the host, connects and logs off. The page owns the saved sites and the
// running session's handle; the worker and the ping thread report back through HostPageView.
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "diag/PingServices.h"
#include "engine/HostView.h"
#include "ui/WispPropertyPage.h"

class FtpSessionHandle;
class HostList;
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

class WispHostPage : public WispPropertyPage {
    Q_OBJECT
  public:
    // What the buttons and the connected-to line show.
    enum class State { Idle, Pinging, Connecting, Connected };

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

    // At close, once the bridge is fenced: stops the session and the ping and waits for each within its
    // bound. A worker that does not end in time is left to end by itself; it no longer reaches the page.
    void StopThreads();

    State CurrentState() const { return state_; }

    // Replaces the name and echo services of later pings (tests).
    void SetPingServices(PingServices services);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Enter that no control took presses the default button, as in a dialog.
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void BuildControls();
    // The one place that enables, disables and fills the state-dependent controls.
    void SetState(State state, const QString& connectedText = QString());

    void SelectEntry(int index);
    void Validate();
    // True when the key was consumed.
    bool Enter();
    void PressDefaultButton();
    void Ping();
    void Connect();
    void Logoff();
    void Remove();
    void Malformed();
    void PushLogin();
    void ReadLogin();
    void LogMessage(std::string_view line);
    void ClearFailure();

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
    // Where the focus goes when the failed session has ended: the box the user must correct.
    QWidget* focusAfterFailure_ = nullptr;

    std::string password_;
    std::string user_;
    bool savePassword_ = false;
    std::unique_ptr<UrlComboItems> items_;
    std::unique_ptr<HostList> sites_;
    std::shared_ptr<FtpSessionHandle> session_;
    // Over the same store as the saved sites; shared with every session's worker.
    std::shared_ptr<TrustedCertificates> trustedCertificates_;
    bool urlValid_ = false;
    bool loaded_ = false;
    State state_ = State::Idle;

    HostPageView& view_;
    std::unique_ptr<PingThread> ping_;
    PingServices pingServices_;
};
