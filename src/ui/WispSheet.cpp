#include "ui/WispSheet.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QMetaObject>
#include <QProgressBar>
#include <QScreen>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/Settings.h"
#include "hosts/FtpUrl.h"
#include "ui/MainWindowViews.h"
#include "ui/UiBridge.h"
#include "ui/WispAboutPage.h"
#include "ui/WispHostPage.h"
#include "ui/WispLogPage.h"
#include "ui/WispOptionsPage.h"
#include "ui/WispRemotePage.h"

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

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("tabs");
    tabs_->addTab(host_.get(), "Host");
    tabs_->addTab(remote_.get(), "Remote");
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
    tabs_->setTabToolTip(2, "A record of your FTP session's commands and responses");
    tabs_->setTabToolTip(3, "Control your FTP sessions here!");
    tabs_->setTabToolTip(4, "Legal mumbo-jumbo and contact info");

    options_->SetReloadDefaults([this] { host_->ReloadDefaultSites(); });
    options_->SetRemoveConfirmed([this] { RequestRemoval(); });

    // Every page that other threads report to is ready before any thread starts; Host, made ready
    // last, is the page the user sees first.
    for (WispPropertyPage* page :
         {static_cast<WispPropertyPage*>(options_.get()), static_cast<WispPropertyPage*>(log_.get()),
          static_cast<WispPropertyPage*>(remote_.get()), static_cast<WispPropertyPage*>(host_.get())}) {
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
    QString title = kCaption;
    if (text) {
        title += " - ";
        title += QString::fromLocal8Bit(text->data(), static_cast<qsizetype>(text->size()));
    }
    setWindowTitle(title);
}

void WispSheet::SetProgress(int percent) {
    progress_->setValue(percent);
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
