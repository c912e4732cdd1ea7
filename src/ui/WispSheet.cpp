#include "ui/WispSheet.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QInputDialog>
#include <QLineEdit>
#include <QMetaObject>
#include <QProgressBar>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "app/Settings.h"
#include "hosts/FtpUrl.h"
#include "transfers/TransferTexts.h"
#include "ui/MainWindowViews.h"
#include "ui/UiBridge.h"
#include "ui/WispAboutPage.h"
#include "ui/WispHostPage.h"
#include "ui/WispLogPage.h"
#include "ui/WispOptionsPage.h"
#include "ui/WispRemotePage.h"
#include "ui/WispTransfersPage.h"

// The resources live in a static library; nothing else would pull their initialiser in.
static void InitWispResources() {
    Q_INIT_RESOURCE(wisp);
}

namespace {

constexpr const char* kCaption = "Wisp";

// The tab widget places its corner from the corner widget's size hint, not its fixed size: a plain
// progress bar hints a few pixels narrower and would hang past the right edge and be cut off. The
// hint is a little taller than the bar, so the corner is placed with room below it and the fixed-height
// bar stays clear of the page frame's top line.
class CornerProgressBar : public QProgressBar {
  public:
    static constexpr int kGapBelow = 4;
    using QProgressBar::QProgressBar;
    QSize sizeHint() const override {
        return {WispSheet::kProgressWidth, WispSheet::kProgressHeight + kGapBelow};
    }
    QSize minimumSizeHint() const override { return {WispSheet::kProgressWidth, WispSheet::kProgressHeight}; }

  protected:
    // At 0 nothing moves: an empty bar would only look like a text box waiting for input in the tab row.
    void paintEvent(QPaintEvent* event) override {
        if (value() > minimum()) {
            QProgressBar::paintEvent(event);
        }
    }
};

}  // namespace

WispSheet::WispSheet(ProfileStore store, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                          Qt::WindowCloseButtonHint),
      store_(std::move(store)),
      bridge_(std::make_shared<UiBridge>()) {
    InitWispResources();
    setWindowTitle(kCaption);

    about_ = std::make_unique<WispAboutPage>();
    host_ = std::make_unique<WispHostPage>(store_, *this);
    log_ = std::make_unique<WispLogPage>();
    options_ = std::make_unique<WispOptionsPage>();
    remote_ = std::make_unique<WispRemotePage>(bridge_);
    transfers_ = std::make_unique<WispTransfersPage>(queue_);

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("tabs");
    tabs_->addTab(host_.get(), "Host");
    tabs_->addTab(remote_.get(), "Remote");
    tabs_->addTab(transfers_.get(), "Transfers");
    tabs_->addTab(log_.get(), "Log");
    tabs_->addTab(options_.get(), "Options");
    tabs_->addTab(about_.get(), "About");
    tabs_->setMinimumSize(520, 300);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    // Resizable; every page stretches with the window and the corner keeps the progress bar at the
    // right end of the tab row.
    resize(kDefaultWidth, kDefaultHeight);

    LoadSettings();

    QIcon icon;
    icon.addFile(":/wisp/wisp-16.png", QSize(16, 16));
    icon.addFile(":/wisp/wisp-32.png", QSize(32, 32));
    icon.addFile(":/wisp/wisp-48.png", QSize(48, 48));
    icon.addFile(":/wisp/wisp-128.png", QSize(128, 128));
    setWindowIcon(icon);

    progress_ = new CornerProgressBar(tabs_);
    progress_->setObjectName("progress");
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    progress_->setFixedSize(kProgressWidth, kProgressHeight);
    tabs_->setCornerWidget(progress_, Qt::TopRightCorner);

    tabs_->setTabToolTip(0, "\"PING\" or connect to FTP servers anywhere on the Internet!");
    tabs_->setTabToolTip(1, "A window onto the server; try right-clicking on files or the background!");
    tabs_->setTabToolTip(2, "Files being fetched and sent; retry, stop or remove them here");
    tabs_->setTabToolTip(3, "A record of your FTP session's commands and responses");
    tabs_->setTabToolTip(4, "Control your FTP sessions here!");
    tabs_->setTabToolTip(5, "Legal mumbo-jumbo and contact info");

    // The queue of the last run comes back (unfinished rows interrupted) and is saved as it changes.
    queueStore_ =
        std::make_unique<TransferQueueStore>(TransferQueueStore::DefaultFile(), static_cast<LogView&>(*this));
    queue_.Restore(queueStore_->Load());
    queueStore_->Follow(queue_);
    queue_.AddObserver(this);
    remote_->State().SetTransferRows(&queue_);
    remote_->SetSessionListener([this](bool connected) { RemoteSessionChanged(connected); });
    remote_->SetAbortListener([this] { HoldBatch(); });
    transfers_->SetRetryHandler(
        [this](std::vector<RetriedTransfers> retries) { RetryTransfers(std::move(retries)); });
    transfers_->SetStopRunningHandler([this] { remote_->CancelTransfer(); });
    askPassword_ = [this](const std::string& site) -> std::optional<std::string> {
        bool ok = false;
        const QString password = QInputDialog::getText(
            this, "Retry transfers",
            "Password for " + QString::fromUtf8(site.data(), static_cast<qsizetype>(site.size())) + ":",
            QLineEdit::Password, {}, &ok);
        if (!ok) {
            return std::nullopt;
        }
        return password.toLocal8Bit().toStdString();
    };
    // Progress reports come many times a second: the batch's title and the store's writes follow at
    // this pace rather than per report.
    queueTimer_ = new QTimer(this);
    queueTimer_->setInterval(250);
    connect(queueTimer_, &QTimer::timeout, this, [this] {
        queueStore_->SaveIfDue();
        if (batchPending_) {
            ShowBatch();
        }
    });
    queueTimer_->start();

    options_->SetReloadDefaults([this] { host_->ReloadDefaultSites(); });
    options_->SetRemoveConfirmed([this] { RequestRemoval(); });

    // Every page that other threads report to is ready before any thread starts; Host, made ready
    // last, is the page the user sees first.
    for (WispPropertyPage* page :
         {static_cast<WispPropertyPage*>(options_.get()), static_cast<WispPropertyPage*>(log_.get()),
          static_cast<WispPropertyPage*>(transfers_.get()), static_cast<WispPropertyPage*>(remote_.get()),
          static_cast<WispPropertyPage*>(host_.get())}) {
        page->PageActivated();
    }
    tabs_->setCurrentIndex(0);
    activePage_ = host_.get();
    connect(tabs_, &QTabWidget::currentChanged, this, &WispSheet::ActivateTab);

    MainWindowViews::Instance().Attach(bridge_, this);
}

WispSheet::~WispSheet() {
    StopReporting();
    disconnect(tabs_, nullptr, this, nullptr);
    queueTimer_->stop();
    queue_.RemoveObserver(this);
    remote_->SetSessionListener({});
    remote_->SetAbortListener({});
    remote_->State().SetTransferRows(nullptr);
    transfers_.reset();
    queueStore_.reset();
    about_.reset();
    host_.reset();
    log_.reset();
    options_.reset();
    remote_.reset();
}

void WispSheet::LoadSettings() {
    Settings settings(store_);
    const SettingsValues values = settings.Load();
    log_->SetSwitches(values.logging, values.logCommands, values.logExtended);
    options_->SetValues(values.email, values.passive, values.keepUploadTimes, values.keepAlive);
    // Fixed for the whole run: a changed e-mail address becomes the anonymous password next start.
    SetUrlDefaults("ftp", "anonymous", values.email, "21");
}

void WispSheet::SaveSettings() {
    Settings settings(store_);
    if (removeOnExit_) {
        settings.RemoveAll();
        return;
    }
    // The Options page's box may hold an edit the user has not left the page after; the Log page's
    // switches are saved as they act, not as the check boxes show them.
    options_->PageDeactivated();
    SettingsValues values;
    values.logging = log_->Logging();
    values.logCommands = log_->Commands();
    values.logExtended = log_->Extended();
    values.email = options_->Email();
    values.passive = options_->Passive();
    values.keepUploadTimes = options_->KeepUploadTimes();
    values.keepAlive = options_->KeepAlive();
    settings.Save(values);
}

void WispSheet::SetStatus(std::optional<std::string_view> text) {
    sessionStatus_ = text ? std::optional<std::string>(*text) : std::nullopt;
    if (!batchShown_) {
        ShowTitle();
    }
}

void WispSheet::ShowTitle() {
    QString title = kCaption;
    if (sessionStatus_) {
        title += " - ";
        title +=
            QString::fromLocal8Bit(sessionStatus_->data(), static_cast<qsizetype>(sessionStatus_->size()));
    }
    setWindowTitle(title);
}

void WispSheet::SetProgress(int percent) {
    sessionProgress_ = percent;
    if (!batchShown_) {
        progress_->setValue(percent);
    }
}

void WispSheet::TransferStarted(std::uint64_t row, std::int64_t offset, std::int64_t size) {
    queue_.Started(row, offset, size);
}

void WispSheet::TransferProgress(std::uint64_t row, std::int64_t bytes) {
    queue_.Progress(row, bytes);
}

void WispSheet::TransferRetrying(std::uint64_t row, int attempt, int delaySeconds, std::string_view reason) {
    queue_.Retrying(row, attempt, delaySeconds, reason);
}

void WispSheet::TransferEnded(std::uint64_t row, TransferEnd end, std::string_view reason) {
    queue_.Ended(row, end, reason);
}

void WispSheet::QueueChanged(bool) {
    batchPending_ = true;
}

void WispSheet::HoldBatch() {
    batchHeld_ = true;
    ShowBatch();
}

void WispSheet::ShowBatch() {
    batchPending_ = false;
    const TransferBatchSummary summary = queue_.Summary();
    if (!summary.active) {
        batchHeld_ = false;
    }
    // One file is what the session's own title and bar already show; after the user's Escape, the
    // session's own "Transfer terminated" until the stopped batch has ended.
    if (summary.active && summary.files > 1 && !batchHeld_) {
        batchShown_ = true;
        setWindowTitle(QString(kCaption) + " - " + QString::fromUtf8(TransferTexts::BatchTitle(summary)));
        progress_->setValue(TransferTexts::BatchPercent(summary));
    } else if (batchShown_) {
        batchShown_ = false;
        ShowTitle();
        progress_->setValue(sessionProgress_);
    }
}

void WispSheet::RetryTransfers(std::vector<RetriedTransfers> retries) {
    for (RetriedTransfers& retry : retries) {
        if (remote_->Connected() && retry.site == remote_->Site()) {
            EnqueueRetry(retry);
        } else {
            pendingRetries_.push_back(std::move(retry));
        }
    }
    if (!pendingRetries_.empty() && retryConnect_ == RetryConnect::None) {
        ConnectForRetries();
    }
}

void WispSheet::EnqueueRetry(RetriedTransfers& retry) {
    const bool download = retry.direction == TransferDirection::Download;
    std::string folder;
    if (download && !retry.items->items.empty()) {
        const std::string& path = retry.items->items.front().localPath;
        const std::size_t slash = path.rfind('/');
        folder = slash == std::string::npos ? std::string() : slash == 0 ? "/" : path.substr(0, slash);
    }
    std::unique_ptr<FtpRequestObject> object = std::move(retry.items);
    const std::shared_ptr<RemoteRequestQueue>& session = remote_->State().Session();
    if (session &&
        session->Enqueue(download ? FtpRequestKind::Get : FtpRequestKind::Put, folder, object, retry.type)) {
        return;
    }
    if (const auto* items = dynamic_cast<TransferItems*>(object.get())) {
        queue_.NotEnqueued(*items, "The session ended before the transfer could start");
    }
}

void WispSheet::ConnectForRetries() {
    if (pendingRetries_.empty()) {
        retryConnect_ = RetryConnect::None;
        return;
    }
    // One session at a time: another site's is logged off first, and this runs again when it has ended.
    if (host_->HasSession()) {
        retryConnect_ = RetryConnect::LoggingOff;
        host_->Logoff();
        return;
    }
    const std::string site = pendingRetries_.front().site;
    const FtpUrl url(site);
    if (url.host.empty()) {
        DropPendingRetries("Not retried: \"" + site + "\" is no site to connect to");
        return;
    }
    std::optional<std::string> password;
    if (url.user.empty() || url.user == GetUrlDefaults().user) {
        password = GetUrlDefaults().password;
    } else {
        password = host_->SavedPassword(site);
        // SFTP logs in with the agent and the key files first: nothing to ask where no password was saved.
        if (!password && IsSftpScheme(url.scheme)) {
            password = std::string();
        }
        if (!password && askPassword_) {
            password = askPassword_(site);
        }
    }
    if (!password) {
        DropPendingRetries("Not retried: no password given for " + site);
        return;
    }
    retryConnect_ = RetryConnect::Connecting;
    host_->OpenUrl(site, url.user.empty() ? GetUrlDefaults().user : url.user, *password);
    if (!host_->HasSession()) {
        DropPendingRetries("Not retried: could not connect to " + site);
    }
}

void WispSheet::DropPendingRetries(const std::string& reason) {
    std::vector<RetriedTransfers> dropped = std::move(pendingRetries_);
    pendingRetries_.clear();
    retryConnect_ = RetryConnect::None;
    for (const RetriedTransfers& retry : dropped) {
        queue_.NotEnqueued(*retry.items, reason);
    }
}

void WispSheet::RemoteSessionChanged(bool connected) {
    if (connected) {
        if (retryConnect_ == RetryConnect::Connecting) {
            std::vector<RetriedTransfers> waiting = std::move(pendingRetries_);
            pendingRetries_.clear();
            retryConnect_ = RetryConnect::None;
            for (RetriedTransfers& retry : waiting) {
                if (retry.site == remote_->Site()) {
                    EnqueueRetry(retry);
                } else {
                    pendingRetries_.push_back(std::move(retry));
                }
            }
            // One site per retry: the others wait for the user to connect there and retry them.
            DropPendingRetries("Not retried: connect to the row's site and retry it");
        }
        return;
    }
    // Whatever the ended session still owed is not coming any more.
    queue_.InterruptUnfinished(remote_->Site(), "The session ended before the transfer finished");
    switch (retryConnect_) {
        case RetryConnect::LoggingOff:
            ConnectForRetries();
            break;
        case RetryConnect::Connecting:
            DropPendingRetries("Not retried: could not connect to the row's site");
            break;
        case RetryConnect::None:
            break;
    }
}

void WispSheet::LogTraffic(std::string_view line) {
    log_->LogTraffic(line);
}

void WispSheet::LogMessage(std::string_view line) {
    log_->LogMessage(line);
}

void WispSheet::RequestRemoval() {
    removeOnExit_ = true;
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void WispSheet::ActivateTab(int index) {
    if (activePage_) {
        activePage_->PageDeactivated();
    }
    activePage_ = qobject_cast<WispPropertyPage*>(tabs_->widget(index));
    if (activePage_) {
        activePage_->PageActivated();
    }
}

void WispSheet::StopReporting() {
    // Fence first: a thread waiting in the bridge is released and nothing queued runs any more.
    bridge_->Fence();
    MainWindowViews::Instance().Detach(this);
}

void WispSheet::closeEvent(QCloseEvent* event) {
    if (!closing_) {
        closing_ = true;
        SetStatus("Exiting");
        SaveSettings();
        if (removeOnExit_) {
            queueStore_->RemoveFile();
        } else {
            queueStore_->Flush();
        }
        StopReporting();
        // Fenced first: a worker waiting on this window is released, so it can see the stop and end.
        host_->StopThreads();
    }
    event->accept();
}

void WispSheet::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!centred_) {
        centred_ = true;
        if (const QScreen* screen = this->screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
}
