#include "ui/WispHostPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QGridLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <chrono>
#include <optional>
#include <utility>

#include "diag/PingThread.h"
#include "engine/FtpSession.h"
#include "engine/FtpSessionHandle.h"
#include "hosts/FtpUrl.h"
#include "hosts/HostEntry.h"
#include "hosts/TrustedCertificates.h"
#include "sftp/SftpSession.h"
#include "ui/CertificateDialog.h"
#include "ui/HostKeyDialog.h"
#include "ui/HostPageView.h"
#include "ui/MainWindowViews.h"
#include "ui/PassphraseDialog.h"
#include "ui/UrlComboItems.h"
#include "ui/WispOptionsPage.h"
#include "ui/WispRemotePage.h"
#include "ui/WispSheet.h"

namespace {

// How long closing the window waits for a session to end after Stop; the ping thread has its own bound.
constexpr std::chrono::milliseconds kSessionStopWait{1500};

QString FromLocal(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToLocal(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

bool IsEnterKey(const QEvent* event) {
    if (event->type() != QEvent::KeyPress) {
        return false;
    }
    const int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

QPushButton* MakeButton(QWidget* parent, const char* text, const char* name) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    // A focused button answers Enter itself, as in a dialog.
    button->setAutoDefault(true);
    return button;
}

QLineEdit* MakeLoginBox(QWidget* parent, const char* name) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setMaxLength(static_cast<int>(kHostFieldMax));
    return box;
}

}  // namespace

WispHostPage::WispHostPage(ProfileStore& store, WispSheet& sheet, QWidget* parent)
    : WispPropertyPage(parent),
      sheet_(sheet),
      trustedCertificates_(std::make_shared<TrustedCertificates>(store)),
      view_(HostPageView::Create(sheet.Bridge(), this)) {
    setObjectName("WispHostPage");
    BuildControls();
    items_ = std::make_unique<UrlComboItems>(*urlBox_);
    state_ = std::make_unique<HostPageState>(store, *items_);
    state_->SetObserver(this);
    PhaseChanged();
}

WispHostPage::~WispHostPage() {
    // The controls outlive this part of the page; none may call back into it while they go.
    urlBox_->removeEventFilter(this);
    urlBox_->lineEdit()->removeEventFilter(this);
    disconnect(urlBox_, nullptr, this, nullptr);
    StopThreads();
    state_->SetObserver(nullptr);
}

void WispHostPage::BuildControls() {
    auto* urlLabel = new QLabel("Uniform Resource Locator (URL):", this);
    urlBox_ = new QComboBox(this);
    urlBox_->setObjectName("url");
    urlBox_->setEditable(true);
    urlBox_->setMaxVisibleItems(12);
    urlBox_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    urlBox_->setMinimumContentsLength(24);
    urlBox_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    urlLabel->setBuddy(urlBox_);

    auto* userLabel = new QLabel("User name:", this);
    userBox_ = MakeLoginBox(this, "user");
    userLabel->setBuddy(userBox_);
    auto* passwordLabel = new QLabel("Password:", this);
    passwordBox_ = MakeLoginBox(this, "password");
    passwordBox_->setEchoMode(QLineEdit::Password);
    passwordLabel->setBuddy(passwordBox_);
    savePasswordBox_ = new QCheckBox("Save password", this);
    savePasswordBox_->setObjectName("savePassword");

    removeButton_ = MakeButton(this, "&Remove", "remove");
    pingButton_ = MakeButton(this, "&Ping", "ping");
    connectButton_ = MakeButton(this, "&Connect", "connect");
    connectButton_->setDefault(true);
    logoffButton_ = MakeButton(this, "&Logoff", "logoff");

    connectedLabel_ = new QLabel("Connected To:", this);
    connectedLabel_->setObjectName("connectedLabel");
    connectedBox_ = new QLineEdit(this);
    connectedBox_->setObjectName("connected");
    connectedBox_->setReadOnly(true);
    connectedLabel_->setBuddy(connectedBox_);

    // A failure stays in words where the user connected, not only in the Log tab.
    failureLine_ = new QWidget(this);
    failureLine_->setObjectName("failureLine");
    auto* warning = new QLabel(failureLine_);
    const int iconSize = style()->pixelMetric(QStyle::PM_SmallIconSize);
    warning->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(iconSize, iconSize));
    failureText_ = new QLabel(failureLine_);
    failureText_->setObjectName("failure");
    failureText_->setTextFormat(Qt::PlainText);  // the server's words, never markup
    failureText_->setWordWrap(true);
    failureText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* failureLayout = new QHBoxLayout(failureLine_);
    failureLayout->setContentsMargins(0, 0, 0, 0);
    failureLayout->addWidget(warning, 0, Qt::AlignTop);
    failureLayout->addWidget(failureText_, 1);
    failureLine_->hide();

    auto* icon = new QLabel(this);
    icon->setObjectName("icon");
    icon->setPixmap(QIcon(":/wisp/wisp-32.png").pixmap(32, 32));

    // Columns: captions, login boxes, free space, buttons. The URL box and the connected-to box take
    // whatever width the window gives; the login boxes keep a comfortable width of their own.
    auto* grid = new QGridLayout(this);
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(8);
    grid->addWidget(urlLabel, 0, 0, 1, 3);
    grid->addWidget(icon, 0, 3, 2, 1, Qt::AlignRight | Qt::AlignTop);
    grid->addWidget(urlBox_, 1, 0, 1, 3);
    grid->addWidget(userLabel, 2, 0);
    grid->addWidget(userBox_, 2, 1);
    grid->addWidget(passwordLabel, 3, 0);
    grid->addWidget(passwordBox_, 3, 1);
    grid->addWidget(savePasswordBox_, 4, 1);
    auto* buttons = new QVBoxLayout;
    buttons->setSpacing(6);
    for (QPushButton* button : {removeButton_, pingButton_, connectButton_, logoffButton_}) {
        buttons->addWidget(button);
    }
    buttons->addStretch(1);
    grid->addLayout(buttons, 2, 3, 4, 1);
    grid->setRowMinimumHeight(5, 12);
    grid->addWidget(connectedLabel_, 6, 0);
    grid->addWidget(connectedBox_, 6, 1, 1, 3);
    grid->addWidget(failureLine_, 7, 0, 1, 4);
    grid->setRowStretch(8, 1);
    grid->setColumnStretch(2, 1);
    userBox_->setMinimumWidth(220);
    passwordBox_->setMinimumWidth(220);

    setTabOrder(urlBox_, userBox_);
    setTabOrder(userBox_, passwordBox_);
    setTabOrder(passwordBox_, savePasswordBox_);
    setTabOrder(savePasswordBox_, removeButton_);
    setTabOrder(removeButton_, pingButton_);
    setTabOrder(pingButton_, connectButton_);
    setTabOrder(connectButton_, logoffButton_);
    setTabOrder(logoffButton_, connectedBox_);

    urlBox_->installEventFilter(this);
    urlBox_->lineEdit()->installEventFilter(this);
    connect(urlBox_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0) {
            state_->SelectItem(index);
        }
    });
    connect(removeButton_, &QPushButton::clicked, this, [this] { state_->RemoveSelected(); });
    connect(pingButton_, &QPushButton::clicked, this, [this] { Ping(); });
    connect(connectButton_, &QPushButton::clicked, this, [this] { Connect(); });
    connect(logoffButton_, &QPushButton::clicked, this, [this] { Logoff(); });
}

void WispHostPage::PhaseChanged() {
    const State state = state_->Phase();
    const bool idle = state == State::Idle;
    const bool connected = state == State::Connected;
    pingButton_->setEnabled(idle);
    connectButton_->setEnabled(idle);
    logoffButton_->setEnabled(connected);
    connectedLabel_->setEnabled(connected);
    connectedBox_->setText(FromLocal(state_->ConnectedText()));
    // A text longer than the box shows its beginning (scheme and host), not its end.
    connectedBox_->setCursorPosition(0);
}

void WispHostPage::LoginChanged(const HostLogin& login) {
    userBox_->setText(FromLocal(login.user));
    passwordBox_->setText(FromLocal(login.password));
    savePasswordBox_->setChecked(login.savePassword);
}

void WispHostPage::ItemSelected(int index) {
    items_->Select(index);
}

void WispHostPage::UrlRefused() {
    urlBox_->lineEdit()->selectAll();
}

void WispHostPage::FailureChanged(const std::string& failure) {
    failureText_->setText(FromLocal(failure));
    failureLine_->setVisible(!failure.empty());
}

void WispHostPage::LogMessage(std::string_view line) {
    sheet_.LogMessage(line);
}

HostLogin WispHostPage::TypedLogin() const {
    return {ToLocal(userBox_->text()), ToLocal(passwordBox_->text()), savePasswordBox_->isChecked()};
}

void WispHostPage::PageActivated() {
    state_->Activate();
}

void WispHostPage::PageDeactivated() {
    state_->SetLogin(TypedLogin());
}

void WispHostPage::ReloadDefaultSites() {
    state_->ReloadDefaultSites();
}

void WispHostPage::Validate() {
    state_->Validate(items_->Text());
}

bool WispHostPage::Enter() {
    if (session_) {
        return false;
    }
    if (!items_->Text().empty()) {
        Validate();
        Connect();
    }
    return true;
}

void WispHostPage::Ping() {
    const std::optional<std::string> host = state_->Ping(items_->Text());
    if (!host) {
        return;
    }
    ping_.reset();
    ping_ = PingThread::Start(
        *host, PingViews{MainWindowViews::Instance(), MainWindowViews::Instance(), view_}, pingServices_);
}

void WispHostPage::Connect() {
    std::optional<FtpUrl> url = state_->Connect(items_->Text(), TypedLogin());
    if (!url) {
        return;
    }
    sheet_.RemotePage().SetSite(FormatSite(*url));
    MainWindowViews& mainWindow = MainWindowViews::Instance();
    const SessionViews views{mainWindow, mainWindow, view_, sheet_.RemotePage().SessionView(), mainWindow};
    const WispOptionsPage& optionsPage = sheet_.OptionsPage();
    if (IsSftpScheme(url->scheme)) {
        // Passive mode and the certificate store are FTP's; SSH has its own keep-alive and host keys.
        SftpSessionOptions options;
        options.keepUploadTimes = optionsPage.KeepUploadTimes();
        if (!optionsPage.KeepAlive()) {
            options.keepAliveIdleMs = 0;
        }
        session_ = SftpSession::Start(std::move(*url), views, std::move(options));
        return;
    }
    FtpSessionOptions options;
    options.passive = optionsPage.Passive();
    options.keepUploadTimes = optionsPage.KeepUploadTimes();
    if (!optionsPage.KeepAlive()) {
        options.keepAliveIdleMs = 0;
    }
    options.trustedCertificates = trustedCertificates_;
    session_ = FtpSession::Start(std::move(*url), views, std::move(options));
}

void WispHostPage::Logoff() {
    if (session_) {
        state_->ClearFailure();
        session_->Enqueue(FtpRequestKind::Logoff);
    }
}

std::optional<std::string> WispHostPage::SavedPassword(const std::string& site) const {
    const FtpUrl url(site);
    if (url.host.empty()) {
        return std::nullopt;
    }
    // Sites are saved under the text the user typed, made canonical: with or without the scheme and port.
    const std::string host = url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host;
    const std::string port = EffectivePort(url);
    for (const std::string& text :
         {host, host + ":" + port, url.scheme + "://" + host, url.scheme + "://" + host + ":" + port}) {
        const std::optional<HostEntry> entry = state_->Sites().LookupHostEntry(text);
        if (entry && entry->savePassword && entry->user == url.user) {
            return entry->password;
        }
    }
    return std::nullopt;
}

void WispHostPage::OpenUrl(const std::string& urlText, const std::string& user, const std::string& password) {
    items_->SetText(urlText);
    Validate();
    state_->TakeLogin(user, password);
    if (!session_ && !urlText.empty()) {
        Connect();
    }
}

void WispHostPage::ShowConnected(std::string_view connectionText) {
    state_->ShowConnected(connectionText);
}

void WispHostPage::ResetAfterSession() {
    session_.reset();
    sheet_.SetStatus(std::nullopt);
    QWidget* focus = nullptr;
    switch (state_->SessionEnded()) {
        case HostPageBox::Url:
            focus = urlBox_->lineEdit();
            break;
        case HostPageBox::User:
            focus = userBox_;
            break;
        case HostPageBox::Password:
            focus = passwordBox_;
            break;
        case HostPageBox::None:
            break;
    }
    if (focus != nullptr) {
        focus->setFocus(Qt::OtherFocusReason);
        if (auto* box = qobject_cast<QLineEdit*>(focus)) {
            box->selectAll();
        }
    }
}

void WispHostPage::ShowFailure(SessionFailure what, std::string_view reason) {
    switch (what) {
        case SessionFailure::Connect:
            state_->ConnectFailed(reason);
            break;
        case SessionFailure::Login:
            state_->LoginFailed(reason);
            break;
        case SessionFailure::Lost:
            state_->SessionLost(reason);
            break;
    }
}

QString WispHostPage::Failure() const {
    return FromLocal(state_->Failure());
}

void WispHostPage::PingFinished() {
    sheet_.SetStatus(std::nullopt);
    state_->PingFinished();
}

void WispHostPage::AskCertificateTrust(const CertificateQuestion& question,
                                       std::function<void(CertificateTrust)> answer) {
    // A child of the page: should the page go first, the dialog goes with it and answers Cancel.
    auto* dialog = new CertificateDialog(question, std::move(answer), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

void WispHostPage::AskHostKey(const SshHostKey& key, std::function<void(HostKeyAnswer)> answer) {
    auto* dialog = new HostKeyDialog(key, std::move(answer), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

void WispHostPage::AskPassphrase(const std::string& keyPath,
                                 std::function<void(std::optional<std::string>)> answer) {
    auto* dialog = new PassphraseDialog(keyPath, std::move(answer), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

void WispHostPage::StopThreads() {
    if (session_) {
        session_->Stop();
        session_->WaitEnded(kSessionStopWait);
        session_.reset();
    }
    // Bounded by the ping thread's own stop wait.
    ping_.reset();
}

void WispHostPage::SetPingServices(PingServices services) {
    pingServices_ = std::move(services);
}

bool WispHostPage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == urlBox_ || watched == urlBox_->lineEdit()) {
        if (IsEnterKey(event)) {
            // Otherwise the key's normal way is the default button; the combo box's own handling of
            // Enter (picking an item equal to the text) is no part of it.
            if (!Enter()) {
                PressDefaultButton();
            }
            return true;
        }
        if (event->type() == QEvent::FocusOut &&
            static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) {
            Validate();
        }
    }
    return WispPropertyPage::eventFilter(watched, event);
}

void WispHostPage::keyPressEvent(QKeyEvent* event) {
    if (IsEnterKey(event)) {
        PressDefaultButton();
        event->accept();
        return;
    }
    WispPropertyPage::keyPressEvent(event);
}

void WispHostPage::PressDefaultButton() {
    if (connectButton_->isEnabled()) {
        connectButton_->click();
    }
}
