// The item list of the result page as a Qt model: the rows of one category (or of one app's
// files) with their texts, icons, deleted colour and check boxes, over the scan's item list
// and selection model. Nothing is copied per row, so a category of 100,000 rows fills, sorts
// and filters without a widget or a string per row.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <functional>
#include <memory>
#include <optional>

#include "output/item_list.h"
#include "scan/scan_run.h"

namespace kestrio {

class ItemListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit ItemListModel(QObject* parent = nullptr);

  // Shows `list` (null: nothing), ticking through `run`'s selection model.
  void Show(std::unique_ptr<ItemList> list, ScanRun* run);
  const ItemList* List() const { return list_.get(); }

  // Sorts by a visible column (a column outside them: the scan's order).
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
  void SetDeletedOnly(bool on);
  // The check boxes changed outside the list (a whole category or app was ticked).
  void RefreshChecks();

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // Ticks or unticks rows (an app row: every file of the app) and reports the change.
  void Tick(const QList<int>& rows, bool ticked);
  // Whether a row is ticked (an app row: anything of it).
  Qt::CheckState CheckState(int row) const;

 signals:
  // Rows were ticked or unticked by the user.
  void ticksChanged();

 private:
  std::unique_ptr<ItemList> list_;
  ScanRun* run_ = nullptr;
  QIcon photo_, video_, folder_, deleted_;
};

}  // namespace kestrio
