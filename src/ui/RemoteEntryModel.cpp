#include "ui/RemoteEntryModel.h"

#include "listing/RemoteName.h"
#include "remote/RemotePageState.h"

RemoteEntryModel::RemoteEntryModel(const RemotePageState& state, std::array<QIcon, 3> icons, QObject* parent)
    : QAbstractTableModel(parent), state_(state), icons_(std::move(icons)) {}

int RemoteEntryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : state_.RowCount();
}

int RemoteEntryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant RemoteEntryModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= state_.RowCount()) {
        return {};
    }
    const RemoteEntry& entry = state_.EntryOfRow(index.row());
    switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
        case Qt::ToolTipRole:
            switch (index.column()) {
                case kName:
                    // The name stays the server's bytes; only its display is decoded.
                    return QString::fromUtf8(RemoteName::DisplayText(entry.Name()));
                case kSize:
                    return QString::fromLocal8Bit(entry.SizeText());
                case kDate:
                    return QString::fromLocal8Bit(entry.DateText());
                case kPermissions:
                    return QString::fromLatin1(PermissionsText(entry.Permissions()));
                default:
                    return {};
            }
        case Qt::DecorationRole:
            if (index.column() == kName) {
                const auto kind = static_cast<std::size_t>(entry.Kind());
                return kind < icons_.size() ? icons_[kind] : QIcon();
            }
            return {};
        case Qt::TextAlignmentRole:
            // Only the sizes line up on the right; names follow the view (centred under a large icon).
            return index.column() == kSize ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
        default:
            return {};
    }
}

Qt::ItemFlags RemoteEntryModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (renameRow_ && index.isValid() && index.column() == kName) {
        flags |= Qt::ItemIsEditable;
    }
    return flags;
}

bool RemoteEntryModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !renameRow_ || !index.isValid() || index.column() != kName ||
        index.row() >= state_.RowCount()) {
        return false;
    }
    renameRow_(index.row(), value.toString());
    // Shown as before until the server agreed.
    return false;
}

QVariant RemoteEntryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        switch (section) {
            case kName:
                return QStringLiteral("Name");
            case kSize:
                return QStringLiteral("Size");
            case kDate:
                return QStringLiteral("Date/Time");
            case kPermissions:
                return QStringLiteral("Permissions");
            default:
                return {};
        }
    }
    if (role == Qt::TextAlignmentRole) {
        return section == kSize ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                                : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    }
    return {};
}

void RemoteEntryModel::BeginReorder() {
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    reorderIndexes_ = persistentIndexList();
    reorderSlots_.clear();
    reorderSlots_.reserve(static_cast<std::size_t>(reorderIndexes_.size()));
    for (const QModelIndex& index : reorderIndexes_) {
        reorderSlots_.push_back(state_.SlotOfRow(index.row()));
    }
}

void RemoteEntryModel::EndReorder() {
    if (!reorderIndexes_.isEmpty()) {
        // Slot -> new row, once for all persistent indexes.
        std::vector<int> rowOfSlot(static_cast<std::size_t>(state_.UsedCount()), -1);
        for (int row = 0; row < state_.RowCount(); ++row) {
            rowOfSlot[static_cast<std::size_t>(state_.SlotOfRow(row))] = row;
        }
        QModelIndexList moved;
        moved.reserve(reorderIndexes_.size());
        for (qsizetype i = 0; i < reorderIndexes_.size(); ++i) {
            const int row = rowOfSlot[static_cast<std::size_t>(reorderSlots_[static_cast<std::size_t>(i)])];
            moved.append(index(row, reorderIndexes_[i].column()));
        }
        changePersistentIndexList(reorderIndexes_, moved);
    }
    reorderIndexes_.clear();
    reorderSlots_.clear();
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
