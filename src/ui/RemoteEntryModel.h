#pragma once
// The Remote page's rows as an item model: one row per shown entry of the page state, with the Name,
// Size, Date/Time and Permissions columns and the entry's kind as its icon. The page forwards the state's
// changes.
#include <QAbstractTableModel>
#include <QIcon>
#include <array>
#include <functional>

class RemotePageState;

class RemoteEntryModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Column { kName = 0, kSize = 1, kDate = 2, kPermissions = 3, kColumnCount };

    // `icons`: by kind (folder, link, file).
    RemoteEntryModel(const RemotePageState& state, std::array<QIcon, 3> icons, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // Names are editable in place once a rename handler is set; the edit goes to it and the row keeps
    // its name until the state says otherwise.
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    void SetRenameHandler(std::function<void(int row, const QString& name)> handler) {
        renameRow_ = std::move(handler);
    }

    // What the state reports, turned into the model's signals.
    void BeginReset() { beginResetModel(); }
    void EndReset() { endResetModel(); }
    void BeginAppend(int first, int count) { beginInsertRows({}, first, first + count - 1); }
    void EndAppend() { endInsertRows(); }
    void RowChanged(int row) { emit dataChanged(index(row, 0), index(row, kPermissions)); }
    void BeginRemove(int row) { beginRemoveRows({}, row, row); }
    void EndRemove() { endRemoveRows(); }
    // Around a sort: selections and the current row follow their entries.
    void BeginReorder();
    void EndReorder();

  private:
    const RemotePageState& state_;
    std::array<QIcon, 3> icons_;
    std::function<void(int row, const QString& name)> renameRow_;
    QModelIndexList reorderIndexes_;
    std::vector<int> reorderSlots_;
};
