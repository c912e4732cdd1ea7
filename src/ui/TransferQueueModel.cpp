#include "ui/TransferQueueModel.h"

#include "listing/RemoteName.h"
#include "transfers/TransferQueue.h"
#include "transfers/TransferTexts.h"

namespace {

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The remote file as the user reads it: its folder and name, decoded for display only.
QString RemoteText(const TransferRow& row) {
    std::string path = row.remoteFolder;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    path += row.remoteName;
    return FromUtf8(RemoteName::DisplayText(path));
}

}  // namespace

TransferQueueModel::TransferQueueModel(TransferQueue& queue, QObject* parent)
    : QAbstractTableModel(parent), queue_(queue) {
    queue_.AddObserver(this);
}

TransferQueueModel::~TransferQueueModel() {
    queue_.RemoveObserver(this);
}

int TransferQueueModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : queue_.Count();
}

int TransferQueueModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant TransferQueueModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= queue_.Count()) {
        return {};
    }
    const TransferRow& row = queue_.At(index.row());
    if (role == kPercentRole) {
        return TransferTexts::Percent(row);
    }
    if (role == Qt::TextAlignmentRole) {
        switch (index.column()) {
            case kSize:
            case kSpeed:
            case kTimeLeft:
                return QVariant(Qt::AlignRight | Qt::AlignVCenter);
            default:
                return {};
        }
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) {
        return {};
    }
    switch (index.column()) {
        case kLocal:
            return QString::fromLocal8Bit(row.localPath.data(), static_cast<qsizetype>(row.localPath.size()));
        case kDirection:
            return row.direction == TransferDirection::Download ? QStringLiteral("Download")
                                                                : QStringLiteral("Upload");
        case kRemote:
            return role == Qt::ToolTipRole ? FromUtf8(RemoteName::DisplayText(row.site)) + RemoteText(row)
                                           : RemoteText(row);
        case kSize:
            return FromUtf8(TransferTexts::Size(row.size));
        case kProgress: {
            const int percent = TransferTexts::Percent(row);
            return percent < 0 ? FromUtf8(TransferTexts::Size(row.bytesDone))
                               : QString::number(percent) + "%";
        }
        case kSpeed:
            return FromUtf8(TransferTexts::Speed(row.bytesPerSecond));
        case kTimeLeft:
            return FromUtf8(TransferTexts::TimeLeft(row.secondsLeft));
        case kStatus:
            // The server's words, shown as text.
            return FromUtf8(RemoteName::DisplayText(TransferTexts::Status(row)));
        default:
            return {};
    }
}

QVariant TransferQueueModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    switch (section) {
        case kLocal:
            return QStringLiteral("Local file");
        case kDirection:
            return QStringLiteral("Direction");
        case kRemote:
            return QStringLiteral("Remote file");
        case kSize:
            return QStringLiteral("Size");
        case kProgress:
            return QStringLiteral("Progress");
        case kSpeed:
            return QStringLiteral("Speed");
        case kTimeLeft:
            return QStringLiteral("Time left");
        case kStatus:
            return QStringLiteral("Status");
        default:
            return {};
    }
}

void TransferQueueModel::RowsAboutToBeInserted(int first, int count) {
    beginInsertRows({}, first, first + count - 1);
}

void TransferQueueModel::RowsInserted(int, int) {
    endInsertRows();
}

void TransferQueueModel::RowsChanged(int first, int last) {
    emit dataChanged(index(first, 0), index(last, kColumns - 1));
}

void TransferQueueModel::RowsAboutToBeRemoved(int first, int count) {
    beginRemoveRows({}, first, first + count - 1);
}

void TransferQueueModel::RowsRemoved(int, int) {
    endRemoveRows();
}

void TransferQueueModel::AboutToReset() {
    beginResetModel();
}

void TransferQueueModel::Reset() {
    endResetModel();
}
