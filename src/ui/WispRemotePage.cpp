#include "ui/WispRemotePage.h"

#include <QActionGroup>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QStackedWidget>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

#include "engine/FtpSessionHandle.h"
#include "hosts/FtpUrl.h"
#include "listing/PropertiesTexts.h"
#include "remote/SessionRequestQueue.h"
#include "ui/DialogDownloadChoices.h"
#include "ui/MainWindowViews.h"
#include "ui/PropertiesDialog.h"
#include "ui/RemoteEntryModel.h"
#include "ui/RemoteIcons.h"
#include "ui/RemoteViewAdapter.h"
#include "ui/UiBridge.h"
#include "ui/UploadChooser.h"

namespace {

// Cells of the icon views: room for a name under a 32-pixel icon, or beside a 16-pixel one.
constexpr QSize kLargeIconCell(96, 64);
constexpr QSize kSmallIconCell(168, 20);

constexpr const char* kAsciiModeTip = "ASCII (text) transfer mode";
constexpr const char* kNoAsciiOverSftp =
    "ASCII type is not available over SFTP: files are moved in binary only";

}  // namespace

// Rows of the icon views share one size, taken from the first row's hint: a longer name than the first
// would be cut to that width although its cell has room. Every row hints its whole cell instead; a name
// wider than the cell is cut there and shown whole in its tooltip.
class WispRemotePage::CellDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    // An invalid size: the rows' own hints.
    void SetCell(QSize cell) { cell_ = cell; }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return cell_.isValid() ? cell_ : QStyledItemDelegate::sizeHint(option, index);
    }

  private:
    QSize cell_;
};

WispRemotePage::WispRemotePage(std::shared_ptr<UiBridge> bridge, LogView* log, QWidget* parent)
    : WispPropertyPage(parent),
      bridge_(std::move(bridge)),
      state_(log != nullptr ? *log : static_cast<LogView&>(MainWindowViews::Instance())) {
    setObjectName("WispRemotePage");
    if (bridge_ == nullptr) {
        bridge_ = std::make_shared<UiBridge>();
        ownBridge_ = true;
    }
    adapter_ = &RemoteViewAdapter::Create(bridge_, this);

    const auto& icons = RemoteIcons::Entries();
    model_ = new RemoteEntryModel(state_, {icons[0], icons[1], icons[2]}, this);

    auto* label = new QLabel("&Directory:");
    directory_ = new QComboBox;
    directory_->setObjectName("directory");
    directory_->setEditable(true);
    directory_->setInsertPolicy(QComboBox::NoInsert);
    directory_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    directory_->setMinimumContentsLength(20);
    directory_->setMaxVisibleItems(12);
    // The combo box keeps the keyboard focus and hands keys to its line edit itself, past any filter on
    // the line edit: real keys are seen on the combo box, synthetic ones may reach either.
    directory_->installEventFilter(this);
    directory_->lineEdit()->installEventFilter(this);
    label->setBuddy(directory_);
    connect(directory_, &QComboBox::activated, this, [this](int index) {
        state_.ChangeDirectory(directory_->itemText(index).toLocal8Bit().toStdString());
    });
    // The box would also pick the cached item equal to its text whenever the field loses the focus (a
    // click on the list), queuing a change to the folder already shown: only a pick from its list, or
    // Enter, goes anywhere.
    QObject::disconnect(directory_->lineEdit(), SIGNAL(editingFinished()), directory_, nullptr);
    connect(directory_->lineEdit(), &QLineEdit::textEdited, this,
            [this](const QString& text) { state_.SetDirectoryText(text.toLocal8Bit().toStdString()); });

    BuildToolBar();

    listView_ = new QListView;
    listView_->setObjectName("list");
    listView_->setModel(model_);
    listView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    listView_->setUniformItemSizes(true);
    listView_->setMovement(QListView::Static);
    listView_->setResizeMode(QListView::Adjust);
    listView_->setLayoutMode(QListView::Batched);
    listView_->setBatchSize(2000);
    listView_->setTextElideMode(Qt::ElideRight);
    cells_ = new CellDelegate(listView_);
    listView_->setItemDelegate(cells_);
    listView_->viewport()->installEventFilter(this);

    treeView_ = new QTreeView;
    treeView_->setObjectName("details");
    treeView_->setModel(model_);
    treeView_->setSelectionModel(listView_->selectionModel());
    treeView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    treeView_->setRootIsDecorated(false);
    treeView_->setItemsExpandable(false);
    treeView_->setUniformRowHeights(true);
    treeView_->setAllColumnsShowFocus(true);
    treeView_->setIconSize(QSize(16, 16));
    treeView_->header()->setSectionsClickable(true);
    treeView_->header()->setSectionsMovable(false);
    treeView_->header()->setStretchLastSection(false);
    treeView_->viewport()->installEventFilter(this);
    connect(treeView_->header(), &QHeaderView::sectionClicked, this, &WispRemotePage::ColumnClicked);
    connect(treeView_->header(), &QHeaderView::sectionResized, this, [this] {
        if (!settingColumns_) {
            columnsSizedByUser_ = true;
        }
    });

    views_ = new QStackedWidget;
    views_->addWidget(listView_);
    views_->addWidget(treeView_);

    auto* top = new QHBoxLayout;
    top->addWidget(label);
    top->addWidget(directory_, 1);
    top->addSpacing(4);
    top->addWidget(toolBar_);

    // The last failure of what the user did here, in words, until the next action.
    failureLine_ = new QWidget;
    failureLine_->setObjectName("failureLine");
    auto* warning = new QLabel;
    const int iconSize = style()->pixelMetric(QStyle::PM_SmallIconSize);
    warning->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(iconSize, iconSize));
    failureText_ = new QLabel;
    failureText_->setObjectName("failure");
    failureText_->setTextFormat(Qt::PlainText);  // the server's words, never markup
    failureText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    failureText_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto* failureLayout = new QHBoxLayout(failureLine_);
    failureLayout->setContentsMargins(0, 0, 0, 0);
    failureLayout->addWidget(warning);
    failureLayout->addWidget(failureText_, 1);
    failureLine_->hide();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addLayout(top);
    layout->addWidget(views_, 1);
    layout->addWidget(failureLine_);

    // Over the empty list while no session runs: what to do, rather than a blank page. Clicks go through
    // to the list, whose background menu still offers View and Arrange Icons.
    placeholder_ =
        new QLabel("Not connected.\nConnect to a site on the Host page to see its folders here.", views_);
    placeholder_->setObjectName("placeholder");
    placeholder_->setAlignment(Qt::AlignCenter);
    placeholder_->setWordWrap(true);
    placeholder_->setEnabled(false);  // drawn in the muted colour of disabled text
    placeholder_->setAttribute(Qt::WA_TransparentForMouseEvents);
    views_->installEventFilter(this);

    for (QAbstractItemView* view :
         {static_cast<QAbstractItemView*>(listView_), static_cast<QAbstractItemView*>(treeView_)}) {
        view->installEventFilter(this);
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& pos) {
            // A click beside every row (below them, or right of the last column in Details) is a click on
            // the background: it lets go of the selection, so View, Refresh and Logoff stay in reach.
            if (!view->indexAt(pos).isValid()) {
                Selection()->clearSelection();
            }
            ShowContextMenu(view->viewport()->mapToGlobal(pos));
        });
    }
    menuRunner_ = [](QMenu& menu, const QPoint& globalPos) { return menu.exec(globalPos); };
    askFolderName_ = [this]() -> std::optional<QString> {
        bool ok = false;
        const QString name = QInputDialog::getText(
            this, "New folder", "&Name of the new folder:", QLineEdit::Normal, "New folder", &ok);
        return ok ? std::optional<QString>(name) : std::nullopt;
    };
    askUpload_ = [this] { return UploadChooser::Ask(this, uploadFolder_); };
    confirmDelete_ = [this](const QString& question) {
        return QMessageBox::question(this, "Delete", question, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    };
    // Names are edited in place only on F2 or Rename: a double-click opens, as it always did.
    for (QAbstractItemView* view :
         {static_cast<QAbstractItemView*>(listView_), static_cast<QAbstractItemView*>(treeView_)}) {
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    }
    model_->SetRenameHandler([this](int row, const QString& name) {
        // An edit closed unchanged is no rename, whatever bytes the shown name decodes.
        if (name == model_->data(model_->index(row, RemoteEntryModel::kName), Qt::EditRole).toString()) {
            return;
        }
        state_.RenameRow(row, name.toUtf8().toStdString());
    });
    choices_ = std::make_unique<DialogDownloadChoices>(this);

    viewMode_ = 0;
    SetViewMode(kList);
    state_.SetObserver(this);
    SessionChanged(false);
}

WispRemotePage::~WispRemotePage() {
    // QWidget's destructor hides the children after this one has run, and a combo box losing focus then
    // emits activated(): nothing of this page may answer any more.
    for (QObject* child : findChildren<QObject*>()) {
        QObject::disconnect(child, nullptr, this, nullptr);
        child->removeEventFilter(this);
    }
    state_.SetObserver(nullptr);
    adapter_->Detach();
    if (ownBridge_) {
        bridge_->Fence();
    }
}

RemoteView& WispRemotePage::SessionView() {
    return *adapter_;
}

void WispRemotePage::BuildToolBar() {
    toolBar_ = new QToolBar;
    toolBar_->setObjectName("toolbar");
    toolBar_->setIconSize(QSize(16, 16));
    toolBar_->setFloatable(false);
    toolBar_->setMovable(false);
    toolBar_->setStyleSheet("QToolBar { border: 0px; }");

    upAction_ = toolBar_->addAction(RemoteIcons::UpOneLevel(), "&Up one level");
    upAction_->setObjectName("upOneLevel");
    upAction_->setToolTip("Up one level (to parent directory)");
    connect(upAction_, &QAction::triggered, this, [this] { state_.UpOneLevel(); });
    toolBar_->addSeparator();

    auto* mode = new QActionGroup(this);
    mode->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
    asciiAction_ = toolBar_->addAction(RemoteIcons::AsciiMode(), "&ASCII transfer mode");
    asciiAction_->setObjectName("asciiMode");
    asciiAction_->setToolTip(kAsciiModeTip);
    imageAction_ = toolBar_->addAction(RemoteIcons::ImageMode(), "&Image transfer mode");
    imageAction_->setObjectName("imageMode");
    imageAction_->setToolTip("Image (binary) transfer mode");
    for (QAction* action : {asciiAction_, imageAction_}) {
        action->setCheckable(true);
        mode->addAction(action);
    }
}

void WispRemotePage::ResetForSession(std::shared_ptr<FtpSessionHandle> session) {
    session_ = session;
    state_.ResetForSession(std::make_shared<SessionRequestQueue>(std::move(session), site_));
}

void WispRemotePage::ResetAfterSession() {
    state_.ResetAfterSession();
    session_.reset();
}

int WispRemotePage::TransferType() const {
    return asciiAction_->isChecked() ? 0 : 1;
}

void WispRemotePage::SetViewMode(int mode) {
    if (mode == viewMode_ || mode < kLargeIcons || mode > kDetails) {
        return;
    }
    viewMode_ = mode;
    if (mode == kDetails) {
        views_->setCurrentWidget(treeView_);
        AcceptFileDrops();
        return;
    }
    listView_->setUpdatesEnabled(false);
    cells_->SetCell(QSize());
    switch (mode) {
        case kLargeIcons:
            listView_->setViewMode(QListView::IconMode);
            listView_->setFlow(QListView::LeftToRight);
            listView_->setIconSize(QSize(32, 32));
            listView_->setGridSize(kLargeIconCell);
            listView_->setWordWrap(true);
            cells_->SetCell(kLargeIconCell);
            break;
        case kSmallIcons:
            listView_->setViewMode(QListView::ListMode);
            listView_->setFlow(QListView::LeftToRight);
            listView_->setIconSize(QSize(16, 16));
            listView_->setGridSize(kSmallIconCell);
            listView_->setWordWrap(false);
            cells_->SetCell(kSmallIconCell);
            break;
        default:  // List: columns filled top to bottom
            listView_->setViewMode(QListView::ListMode);
            listView_->setFlow(QListView::TopToBottom);
            listView_->setIconSize(QSize(16, 16));
            listView_->setGridSize(kSmallIconCell);
            listView_->setWordWrap(false);
            break;
    }
    listView_->setWrapping(true);
    listView_->setMovement(QListView::Static);
    listView_->setResizeMode(QListView::Adjust);
    listView_->setUpdatesEnabled(true);
    views_->setCurrentWidget(listView_);
    AcceptFileDrops();
}

void WispRemotePage::AcceptFileDrops() {
    // The list view's mode setters choose its viewport's drop acceptance from its own item moves; files
    // from outside are taken by the event filter, whatever the mode.
    listView_->viewport()->setAcceptDrops(true);
    treeView_->viewport()->setAcceptDrops(true);
}

QAbstractItemView* WispRemotePage::CurrentView() const {
    return viewMode_ == kDetails ? static_cast<QAbstractItemView*>(treeView_)
                                 : static_cast<QAbstractItemView*>(listView_);
}

QItemSelectionModel* WispRemotePage::Selection() const {
    return listView_->selectionModel();
}

std::vector<int> WispRemotePage::SelectedRows() const {
    // The icon and list views select the name's cell alone, Details the whole row: a row counts as
    // selected when any of its cells is.
    std::vector<int> rows;
    for (const QModelIndex& index : Selection()->selectedIndexes()) {
        rows.push_back(index.row());
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

std::vector<int> WispRemotePage::SelectedSlots() const {
    std::vector<int> slotIndexes;
    for (const int row : SelectedRows()) {
        slotIndexes.push_back(state_.SlotOfRow(row));
    }
    return slotIndexes;
}

std::unique_ptr<PropertiesDialog> WispRemotePage::CreatePropertiesDialog() {
    const std::vector<int> rows = SelectedRows();
    if (rows.empty()) {
        return nullptr;
    }
    // A copy: the dialog keeps nothing that a listing arriving meanwhile could change.
    std::vector<RemoteEntry> entries;
    entries.reserve(rows.size());
    for (const int row : rows) {
        entries.push_back(state_.EntryOfRow(row));
    }
    const PropertiesTexts texts = PropertiesTexts::Build(entries, static_cast<int>(entries.size()));
    const auto& icons = RemoteIcons::Entries();
    const auto icon = static_cast<std::size_t>(std::clamp(texts.iconIndex, 0, RemoteIcons::kCount - 1));
    return std::make_unique<PropertiesDialog>(texts, icons[icon], this);
}

void WispRemotePage::ShowProperties() {
    if (std::unique_ptr<PropertiesDialog> dialog = CreatePropertiesDialog()) {
        dialog->exec();
    }
}

void WispRemotePage::ColumnClicked(int column) {
    state_.SortByColumn(column);
}

namespace {

bool IsEnter(const QKeyEvent& key) {
    return key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter;
}

// A name's editor is open in `view`: read from the widgets, so that no editor closed by a new listing or
// a focus change can leave the list's keys switched off.
bool EditingName(const QWidget& view) {
    for (const QLineEdit* editor : view.findChildren<QLineEdit*>()) {
        if (editor->isVisible()) {
            return true;
        }
    }
    return false;
}

QAction* AddCommand(QMenu& menu, const QString& text, int id) {
    QAction* action = menu.addAction(text);
    action->setData(id);
    return action;
}

}  // namespace

QString WispRemotePage::GetItemLabel() const {
    return asciiAction_->isChecked() ? "&Get file(s) as Ascii (text)..."
                                     : "&Get file(s) as Image (binary)...";
}

std::unique_ptr<QMenu> WispRemotePage::CreateContextMenu() {
    auto menu = std::make_unique<QMenu>(this);
    const std::vector<int> rows = SelectedRows();
    if (!rows.empty()) {
        menu->setObjectName("selectionMenu");
        const EntryKind kind = rows.size() == 1 ? state_.EntryOfRow(rows[0]).Kind() : EntryKind::File;
        QAction* open = nullptr;
        if (kind == EntryKind::Directory || kind == EntryKind::Link) {
            open = AddCommand(*menu, "&Open", kOpen);
        }
        if (kind == EntryKind::Directory) {
            menu->setDefaultAction(open);
        } else {
            menu->setDefaultAction(AddCommand(*menu, GetItemLabel(), kGet));
        }
        menu->addSeparator();
        AddCommand(*menu, "&Delete", kDelete);
        if (rows.size() == 1) {
            AddCommand(*menu, "Re&name", kRename)->setShortcut(QKeySequence(Qt::Key_F2));
        }
        menu->addSeparator();
        AddCommand(*menu, "P&roperties", kProperties);
        return menu;
    }
    menu->setObjectName("backgroundMenu");
    QMenu* view = menu->addMenu("&View");
    const char* const views[] = {"Lar&ge Icons", "S&mall Icons", "&List", "&Details"};
    for (int mode = kLargeIcons; mode <= kDetails; ++mode) {
        QAction* action = AddCommand(*view, views[mode - 1], mode);
        action->setCheckable(true);
        action->setChecked(mode == viewMode_);
    }
    menu->addSeparator();
    QMenu* arrange = menu->addMenu("Arrange &Icons");
    AddCommand(*arrange, "&Name", kArrangeByName);
    AddCommand(*arrange, "Si&ze", kArrangeBySize);
    AddCommand(*arrange, "&Date", kArrangeByDate);
    menu->addSeparator();
    AddCommand(*menu, "&New folder...", kNewFolder)->setEnabled(Connected());
    AddCommand(*menu, "&Upload...", kUpload)->setEnabled(Connected());
    AddCommand(*menu, "&Refresh", kRefresh)->setEnabled(Connected());
    menu->addSeparator();
    AddCommand(*menu, "&Logoff", kLogoff)->setEnabled(Connected());
    return menu;
}

void WispRemotePage::ShowContextMenu(const QPoint& globalPos) {
    const std::unique_ptr<QMenu> menu = CreateContextMenu();
    const bool selectionMenu = menu->objectName() == "selectionMenu";
    QAction* chosen = menuRunner_(*menu, globalPos);
    if (chosen != nullptr && chosen->isEnabled()) {
        RunMenuCommand(chosen->data().toInt(), selectionMenu);
    }
}

void WispRemotePage::RunMenuCommand(int id, bool selectionMenu) {
    if (selectionMenu) {
        switch (id) {
            case kOpen:
                state_.OpenSelection(SelectedRows());
                break;
            case kGet:
                GetFilesAs();
                break;
            case kDelete:
                DeleteSelection();
                break;
            case kRename:
                RenameSelection();
                break;
            case kProperties:
                ShowProperties();
                break;
            default:
                break;
        }
        return;
    }
    if (id >= kLargeIcons && id <= kDetails) {
        SetViewMode(id);
    } else if (id >= kArrangeByName && id <= kArrangeByDate) {
        state_.Arrange(id - 4);
    } else if (id == kNewFolder) {
        NewFolder();
    } else if (id == kUpload) {
        Upload();
    } else if (id == kRefresh) {
        state_.Refresh();
    } else if (id == kLogoff) {
        state_.Logoff();
    }
}

void WispRemotePage::GetFilesAs() {
    state_.GetFilesAs(SelectedRows(), TransferType(), *choices_, [this](int row) {
        if (row >= model_->rowCount()) {
            return;
        }
        Selection()->select(model_->index(row, 0), QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    });
}

void WispRemotePage::DeleteSelection() {
    state_.DeleteRows(SelectedRows());
}

void WispRemotePage::RenameSelection() {
    const std::vector<int> rows = SelectedRows();
    if (!Connected() || rows.size() != 1) {
        return;
    }
    QAbstractItemView* view = CurrentView();
    const QModelIndex name = model_->index(rows[0], RemoteEntryModel::kName);
    view->setCurrentIndex(name);
    view->edit(name);
}

void WispRemotePage::NewFolder() {
    if (!Connected()) {
        return;
    }
    if (const std::optional<QString> name = askFolderName_()) {
        state_.MakeFolder(name->toUtf8().toStdString());
    }
}

void WispRemotePage::Upload() {
    if (!Connected()) {
        return;
    }
    // Folders go with the files: the page's state plans their trees.
    if (const std::vector<std::string> paths = askUpload_(); !paths.empty()) {
        state_.PutFiles(paths, TransferType());
    }
}

void WispRemotePage::DeletePlanWaiting() {
    // Asked once the worker's report has returned: the worker never waits on a question.
    QMetaObject::invokeMethod(
        this, [this] { AskDeletePlan(); }, Qt::QueuedConnection);
}

void WispRemotePage::TransferPlanWaiting() {
    // As for a Delete: the conflicts are asked about once the worker's report has returned.
    QMetaObject::invokeMethod(
        this, [this] { state_.AnswerTransferPlan(*choices_); }, Qt::QueuedConnection);
}

void WispRemotePage::AskDeletePlan() {
    const std::string question = state_.DeleteQuestion();
    if (question.empty()) {
        return;
    }
    state_.AnswerDeletePlan(confirmDelete_(QString::fromUtf8(question)));
}

void WispRemotePage::CancelTransfer() {
    if (abortListener_) {
        abortListener_();
    }
    state_.Abort();
}

void WispRemotePage::DropUrls(const QList<QUrl>& urls) {
    if (!Connected()) {
        return;
    }
    std::vector<std::string> paths;
    for (const QUrl& url : urls) {
        if (url.isLocalFile()) {
            paths.push_back(url.toLocalFile().toLocal8Bit().toStdString());
        }
    }
    if (!paths.empty()) {
        state_.PutFiles(paths, TransferType(), choices_.get());
    }
}

void WispRemotePage::EnterInList() {
    const std::vector<int> rows = SelectedRows();
    if (rows.empty()) {
        return;
    }
    if (rows.size() == 1) {
        const RemoteEntry& entry = state_.EntryOfRow(rows[0]);
        if (entry.Kind() == EntryKind::Directory) {
            state_.ChangeDirectory(entry.Name());
        } else if (entry.Kind() == EntryKind::File) {
            GetFilesAs();
        }
        return;
    }
    GetFilesAs();
}

bool WispRemotePage::ListKeyPressed(const QKeyEvent& key) {
    if (IsEnter(key)) {
        if (!Connected()) {
            return false;
        }
        EnterInList();
        return true;
    }
    switch (key.key()) {
        case Qt::Key_Escape:
            CancelTransfer();
            return true;
        case Qt::Key_F5:
            state_.Refresh();
            return true;
        case Qt::Key_Delete:
            DeleteSelection();
            return true;
        case Qt::Key_F2:
            RenameSelection();
            return true;
        default:
            return false;
    }
}

bool WispRemotePage::ListDragEvent(QEvent* event) {
    switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDropEvent*>(event);
            if (drag->mimeData()->hasUrls()) {
                drag->setDropAction(Qt::CopyAction);
                drag->accept();
            } else {
                drag->ignore();
            }
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            if (drop->mimeData()->hasUrls()) {
                drop->setDropAction(Qt::CopyAction);
                drop->accept();
                DropUrls(drop->mimeData()->urls());
            }
            return true;
        }
        default:
            return false;
    }
}

void WispRemotePage::keyPressEvent(QKeyEvent* event) {
    // F5 anywhere on the page that no control took.
    if (event->key() == Qt::Key_F5) {
        state_.Refresh();
        event->accept();
        return;
    }
    WispPropertyPage::keyPressEvent(event);
}

bool WispRemotePage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == views_ && event->type() == QEvent::Resize) {
        PlacePlaceholder();
        SetColumnWidths();
    }
    if ((watched == directory_ || watched == directory_->lineEdit()) && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (IsEnter(*key) && state_.Connected()) {
            state_.ChangeDirectory(directory_->currentText().toLocal8Bit().toStdString());
            return true;
        }
        if (key->key() == Qt::Key_F5) {
            state_.Refresh();
            return true;
        }
    }
    // While a name is edited in place, its keys (Enter, Escape) are the editor's: an Enter the line edit
    // passes on must not also open or download the row.
    if ((watched == listView_ || watched == treeView_) && event->type() == QEvent::KeyPress &&
        !EditingName(*static_cast<QWidget*>(watched))) {
        if (ListKeyPressed(*static_cast<QKeyEvent*>(event))) {
            return true;
        }
    }
    if ((watched == listView_->viewport() || watched == treeView_->viewport()) && ListDragEvent(event)) {
        return true;
    }
    if ((watched == listView_->viewport() || watched == treeView_->viewport()) &&
        event->type() == QEvent::MouseButtonDblClick) {
        // Anywhere in the list, even on empty space: the one selected directory opens.
        state_.OpenSelection(SelectedRows());
    }
    return WispPropertyPage::eventFilter(watched, event);
}

void WispRemotePage::showEvent(QShowEvent* event) {
    WispPropertyPage::showEvent(event);
    SetColumnWidths();
}

void WispRemotePage::SetColumnWidths() {
    // A third, a sixth, a quarter and an eighth of the width, following the window, until the user sizes
    // a column: the rest stays free on the right as the list's background.
    if (columnsSizedByUser_) {
        return;
    }
    const int width = std::max(views_->width(), 360);
    settingColumns_ = true;
    treeView_->setColumnWidth(RemoteEntryModel::kName, width / 3);
    treeView_->setColumnWidth(RemoteEntryModel::kSize, width / 6);
    treeView_->setColumnWidth(RemoteEntryModel::kDate, width / 4);
    treeView_->setColumnWidth(RemoteEntryModel::kPermissions, width / 8);
    settingColumns_ = false;
}

void WispRemotePage::PlacePlaceholder() {
    placeholder_->setGeometry(views_->rect().adjusted(12, 12, -12, -12));
    placeholder_->raise();
}

void WispRemotePage::RowsAboutToBeReset() {
    model_->BeginReset();
}

void WispRemotePage::RowsReset() {
    model_->EndReset();
}

void WispRemotePage::RowsAboutToBeAppended(int first, int count) {
    model_->BeginAppend(first, count);
}

void WispRemotePage::RowsAppended(int, int) {
    model_->EndAppend();
}

void WispRemotePage::RowChanged(int row) {
    model_->RowChanged(row);
}

void WispRemotePage::RowAboutToBeRemoved(int row) {
    model_->BeginRemove(row);
}

void WispRemotePage::RowRemoved(int) {
    model_->EndRemove();
}

void WispRemotePage::RowsAboutToBeReordered() {
    model_->BeginReorder();
}

void WispRemotePage::RowsReordered() {
    model_->EndReorder();
}

void WispRemotePage::DirectoryTextChanged(const std::string& text) {
    directory_->setEditText(QString::fromLocal8Bit(text));
}

void WispRemotePage::CacheChanged() {
    const QString text = directory_->currentText();
    const QSignalBlocker block(directory_);
    directory_->clear();
    for (const std::string& path : state_.CachedDirectories()) {
        directory_->addItem(QString::fromLocal8Bit(path));
    }
    directory_->setCurrentIndex(-1);
    directory_->setEditText(text);
}

void WispRemotePage::FailureChanged(const std::string& failure) {
    const QString text = QString::fromLocal8Bit(failure);
    failureText_->setText(text);
    failureText_->setToolTip(text);  // a long reason is cut at the page's edge; the tip shows it whole
    failureLine_->setVisible(!failure.empty());
}

void WispRemotePage::SessionChanged(bool connected) {
    // Nothing to go up from and nothing to transfer without a session.
    for (QAction* action : {upAction_, asciiAction_, imageAction_}) {
        action->setEnabled(connected);
    }
    placeholder_->setVisible(!connected);
    // SFTP moves files in binary only: the page does not offer what the session would refuse, and says
    // why on the button the user reaches for.
    const bool binaryOnly = connected && !OffersAsciiType(FtpUrl(site_).scheme);
    asciiAction_->setEnabled(connected && !binaryOnly);
    asciiAction_->setToolTip(binaryOnly ? kNoAsciiOverSftp : kAsciiModeTip);
    asciiAction_->setStatusTip(binaryOnly ? kNoAsciiOverSftp : QString());
    // Every session starts in ASCII mode where it has one; while idle neither mode is checked (the group
    // lets a button be unchecked from code, never by a click).
    if (connected) {
        (binaryOnly ? imageAction_ : asciiAction_)->setChecked(true);
    } else {
        asciiAction_->setChecked(false);
        imageAction_->setChecked(false);
    }
    if (sessionListener_) {
        sessionListener_(connected);
    }
}
