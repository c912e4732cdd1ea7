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
#include "hosts/HostList.h"
#include "hosts/TrustedCertificates.h"
#include "ui/CertificateDialog.h"
#include "ui/HostPageView.h"
#include "ui/MainWindowViews.h"
#include "ui/UrlComboItems.h"
#include "ui/WispOptionsPage.h"
#include "ui/WispRemotePage.h"
#include "ui/WispSheet.h"

namespace {

constexpr const char* kMalformedUrl = "... malformed URL";
constexpr const char* kAnonymous = "anonymous";

// How long closing the window waits for a session to end after Stop; the ping thread has its own bound.
constexpr std::chrono::milliseconds kSessionStopWait{1500};

// The record the ping thread's host text comes from: made on first use, kept for the whole run.
FtpUrl& PingUrl() {
    static FtpUrl url;
    return url;
}

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
    sites_ = std::make_unique<HostList>(store, *items_);
    SetState(State::Idle);
}

WispHostPage::~WispHostPage() {
    // The controls outlive this part of the page; none may call back into it while they go.
    urlBox_->removeEventFilter(this);
    urlBox_->lineEdit()->removeEventFilter(this);
    disconnect(urlBox_, nullptr, this, nullptr);
    StopThreads();
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
            SelectEntry(index);
        }
    });
    connect(removeButton_, &QPushButton::clicked, this, [this] { Remove(); });
    connect(pingButton_, &QPushButton::clicked, this, [this] { Ping(); });
    connect(connectButton_, &QPushButton::clicked, this, [this] { Connect(); });
    connect(logoffButton_, &QPushButton::clicked, this, [this] { Logoff(); });
}

void WispHostPage::SetState(State state, const QString& connectedText) {
    state_ = state;
    const bool idle = state == State::Idle;
    const bool connected = state == State::Connected;
    pingButton_->setEnabled(idle);
    connectButton_->setEnabled(idle);
    logoffButton_->setEnabled(connected);
    connectedLabel_->setEnabled(connected);
    connectedBox_->setText(connected ? connectedText : QString());
    // A text longer than the box shows its beginning (scheme and host), not its end.
    connectedBox_->setCursorPosition(0);
}

void WispHostPage::PageActivated() {
    if (!loaded_) {
        loaded_ = true;
        sites_->Load();
    }
    PushLogin();
}

void WispHostPage::PageDeactivated() {
    ReadLogin();
}

void WispHostPage::ReloadDefaultSites() {
    sites_->ReloadDefaults();
}

void WispHostPage::PushLogin() {
    userBox_->setText(FromLocal(user_));
    passwordBox_->setText(FromLocal(password_));
    savePasswordBox_->setChecked(savePassword_);
}

void WispHostPage::ReadLogin() {
    user_ = ToLocal(userBox_->text());
    password_ = ToLocal(passwordBox_->text());
    savePassword_ = savePasswordBox_->isChecked();
}

void WispHostPage::LogMessage(std::string_view line) {
    sheet_.LogMessage(line);
}

void WispHostPage::SelectEntry(int index) {
    items_->Select(index);
    if (const std::optional<HostEntry> entry = sites_->LookupHostEntry(items_->ItemText(index))) {
        user_ = entry->user;
        password_ = entry->password;
        savePassword_ = !entry->password.empty();
    } else {
        user_.clear();
        password_.clear();
        savePassword_ = false;
    }
    PushLogin();
    urlValid_ = true;
}

void WispHostPage::Validate() {
    urlValid_ = false;
    const int selected = items_->SelectedIndex();
    if (selected >= 0) {
        SelectEntry(selected);
        return;
    }
    const std::string text = items_->Text();
    if (text.empty()) {
        return;
    }
    FtpUrl url;
    if (!ParseUrl(url, text)) {
        return;
    }
    const std::string canonical = FormatUrl(url);
    const int found = items_->FindExact(canonical);
    if (found < 0) {
        items_->Select(items_->AddItem(canonical));
        if (url.loginDefaulted) {
            user_.clear();
            password_.clear();
        } else {
            user_ = url.user;
            password_ = url.password;
        }
        savePassword_ = false;
        urlValid_ = true;
    } else {
        SelectEntry(found);
        if (!url.loginDefaulted) {
            user_ = url.user;
            password_ = url.password;
        }
    }
    if (HostListItems::EqualNoCase(user_, kAnonymous)) {
        user_.clear();
        password_.clear();
        savePassword_ = false;
    }
    PushLogin();
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

void WispHostPage::Malformed() {
    urlBox_->lineEdit()->selectAll();
    LogMessage(kMalformedUrl);
    failureText_->setText("Malformed URL: a site is written as ftp://host/path (or ftpes://, ftps://)");
    failureLine_->show();
}

void WispHostPage::Ping() {
    // Only from idle: at most one ping, and never beside a session (Enter can reach here too).
    if (state_ != State::Idle) {
        return;
    }
    ClearFailure();
    if (!urlValid_) {
        Malformed();
        return;
    }
    // The box may have been emptied (Remove) since it was last checked.
    FtpUrl& url = PingUrl();
    if (!ParseUrl(url, items_->Text())) {
        Malformed();
        return;
    }
    SetState(State::Pinging);
    ping_.reset();
    ping_ = PingThread::Start(
        url.host, PingViews{MainWindowViews::Instance(), MainWindowViews::Instance(), view_}, pingServices_);
}

void WispHostPage::Connect() {
    if (state_ != State::Idle) {
        return;
    }
    ClearFailure();
    if (!urlValid_) {
        Malformed();
        return;
    }
    FtpUrl typed;
    if (!ParseUrl(typed, items_->Text()) || !IsSupportedScheme(typed.scheme)) {
        Malformed();
        return;
    }
    const std::string canonical = FormatUrl(typed);
    ReadLogin();

    const std::optional<HostEntry> stored = sites_->LookupHostEntry(canonical);
    const bool flagAgrees = savePassword_ != password_.empty();
    if (!stored || stored->user != user_ || stored->password != password_ || !flagAgrees) {
        if (user_.empty() || HostListItems::EqualNoCase(user_, kAnonymous)) {
            user_.clear();
            password_.clear();
            savePassword_ = false;
            PushLogin();
        } else if (password_.empty() && savePassword_) {
            savePassword_ = false;
            PushLogin();
        }
        switch (sites_->StoreHostEntry(canonical, user_, savePassword_ ? password_ : std::string())) {
            case HostStoreResult::Stored:
                break;
            case HostStoreResult::CommaInUser:
                LogMessage("... site not saved: a user name with \",\" cannot be stored");
                break;
            default:
                LogMessage("... site not saved");
                break;
        }
    }

    SetState(State::Connecting);
    // The login travels beside the URL, never inside its text: a user name or password holding "@",
    // ":" or "/" would otherwise be split by the parser and reach the wrong host.
    FtpUrl url(canonical);
    if (!user_.empty()) {
        url.user = user_;
        url.password = password_;
        url.loginDefaulted = false;
    }
    FtpSessionOptions options;
    options.passive = sheet_.OptionsPage().Passive();
    options.trustedCertificates = trustedCertificates_;
    MainWindowViews& mainWindow = MainWindowViews::Instance();
    session_ = FtpSession::Start(
        std::move(url), SessionViews{mainWindow, mainWindow, view_, sheet_.RemotePage().SessionView()},
        std::move(options));
}

void WispHostPage::Logoff() {
    if (session_) {
        ClearFailure();
        session_->Enqueue(FtpRequestKind::Logoff);
    }
}

void WispHostPage::Remove() {
    sites_->Remove();
}

void WispHostPage::OpenUrl(const std::string& urlText, const std::string& user, const std::string& password) {
    items_->SetText(urlText);
    Validate();
    if (urlValid_ && !user.empty()) {
        user_ = user;
        password_ = password;
        savePassword_ = false;
        PushLogin();
    }
    if (!session_ && !urlText.empty()) {
        Connect();
    }
}

void WispHostPage::ShowConnected(std::string_view connectionText) {
    SetState(State::Connected,
             QString::fromLocal8Bit(connectionText.data(), static_cast<qsizetype>(connectionText.size())));
}

void WispHostPage::ResetAfterSession() {
    session_.reset();
    sheet_.SetStatus(std::nullopt);
    SetState(State::Idle);
    if (focusAfterFailure_ != nullptr) {
        focusAfterFailure_->setFocus(Qt::OtherFocusReason);
        if (auto* box = qobject_cast<QLineEdit*>(focusAfterFailure_)) {
            box->selectAll();
        }
        focusAfterFailure_ = nullptr;
    }
}

void WispHostPage::ShowFailure(SessionFailure what, std::string_view reason) {
    failureText_->setText(FromLocal(std::string(reason)));
    failureLine_->show();
    switch (what) {
        case SessionFailure::Connect:
            focusAfterFailure_ = urlBox_->lineEdit();
            break;
        case SessionFailure::Login:
            // Anonymous logins have no password to correct: the user name is what to change.
            focusAfterFailure_ = userBox_->text().isEmpty() ? static_cast<QWidget*>(userBox_) : passwordBox_;
            break;
        case SessionFailure::Lost:
            focusAfterFailure_ = nullptr;
            break;
    }
}

QString WispHostPage::Failure() const {
    return failureLine_->isHidden() ? QString() : failureText_->text();
}

void WispHostPage::ClearFailure() {
    failureText_->clear();
    failureLine_->hide();
    focusAfterFailure_ = nullptr;
}

void WispHostPage::PingFinished() {
    sheet_.SetStatus(std::nullopt);
    SetState(State::Idle);
}

void WispHostPage::AskCertificateTrust(const CertificateQuestion& question,
                                       std::function<void(CertificateTrust)> answer) {
    // A child of the page: should the page go first, the dialog goes with it and answers Cancel.
    auto* dialog = new CertificateDialog(question, std::move(answer), this);
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
