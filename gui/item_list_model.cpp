#include "gui/item_list_model.h"

#include <QColor>
#include <QSize>

#include "gui/toolkit/texts.h"

namespace kestrio {
namespace {

// Rows of deleted records are drawn in this colour.
const QColor kDeletedColour(0xF3, 0x73, 0x02);
constexpr int kRowHeight = 30;

// A cut cell shows one line: its line breaks become spaces, the view adds the ellipsis.
QString OneLine(QString text) {
  text.replace(QLatin1String("\r\n"), QLatin1String(" "));
  text.replace(QLatin1Char('\n'), QLatin1Char(' '));
  text.replace(QLatin1Char('\r'), QLatin1Char(' '));
  return text;
}

}  // namespace

ItemListModel::ItemListModel(QObject* parent)
    : QAbstractTableModel(parent),
      photo_(":/xml/images/row_photo.svg"),
      video_(":/xml/images/row_video.svg"),
      folder_(":/xml/images/row_folder.svg"),
      deleted_(":/xml/images/row_deleted.svg") {}

void ItemListModel::Show(std::unique_ptr<ItemList> list, ScanRun* run) {
  beginResetModel();
  list_ = std::move(list);
  run_ = run;
  endResetModel();
}

int ItemListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() || !list_ ? 0 : static_cast<int>(list_->RowCount());
}

int ItemListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() || !list_ ? 0 : static_cast<int>(list_->Columns().size());
}

Qt::CheckState ItemListModel::CheckState(int row) const {
  if (!list_ || !run_) return Qt::Unchecked;
  auto lock = run_->LockSelection();
  const SelectionEntry* entry = run_->Selection().EntryOf(list_->Item(static_cast<size_t>(row)));
  if (entry == nullptr) return Qt::Unchecked;
  if (entry->group == 0) return entry->ticked != 0 ? Qt::Checked : Qt::Unchecked;
  const Counter* counter = entry->counter;
  if (counter == nullptr || counter->ticked == 0) return Qt::Unchecked;
  return counter->ticked >= counter->total ? Qt::Checked : Qt::PartiallyChecked;
}

QVariant ItemListModel::data(const QModelIndex& index, int role) const {
  if (!list_ || !index.isValid() || index.row() >= rowCount()) return {};
  const auto row = static_cast<std::size_t>(index.row());
  const auto column = static_cast<std::size_t>(index.column());
  switch (role) {
    case Qt::DisplayRole: {
      const QString text = toolkit::Qs(list_->Text(row, column));
      return list_->Columns()[column].cut ? OneLine(text) : text;
    }
    case Qt::ToolTipRole:
      return toolkit::Qs(list_->Text(row, column));
    case Qt::ForegroundRole:
      return list_->Deleted(row) ? QVariant(kDeletedColour) : QVariant();
    case Qt::TextAlignmentRole:
      return list_->Columns()[column].centred ? QVariant(Qt::AlignHCenter | Qt::AlignVCenter)
                                              : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::DecorationRole:
      if (column != 0) return {};
      switch (list_->Icon(row)) {
        case RowIcon::kNone:
          return {};
        case RowIcon::kPhoto:
          return photo_;
        case RowIcon::kVideo:
          return video_;
        case RowIcon::kFolder:
          return folder_;
        case RowIcon::kDeleted:
          return deleted_;
      }
      return {};
    case Qt::CheckStateRole:
      return column == 0 ? QVariant(CheckState(index.row())) : QVariant();
    case Qt::SizeHintRole:
      return QSize(-1, kRowHeight);
    default:
      return {};
  }
}

bool ItemListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || !index.isValid() || index.column() != 0) return false;
  Tick({index.row()}, value.toInt() != Qt::Unchecked);
  return true;
}

void ItemListModel::Tick(const QList<int>& rows, bool ticked) {
  if (!list_ || !run_ || rows.isEmpty()) return;
  {
    auto lock = run_->LockSelection();
    SelectionModel& selection = run_->Selection();
    for (int row : rows) {
      if (row >= 0 && row < rowCount())
        selection.TickItem(list_->Item(static_cast<std::size_t>(row)), ticked);
    }
    selection.ResumRoot();
  }
  RefreshChecks();
  emit ticksChanged();
}

void ItemListModel::RefreshChecks() {
  if (rowCount() == 0) return;
  emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
}

QVariant ItemListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (!list_ || orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
  const ListColumn& column = list_->Columns()[static_cast<std::size_t>(section)];
  if (role == Qt::DisplayRole) return toolkit::Qs(std::string(column.title));
  if (role == Qt::TextAlignmentRole)
    return column.centred ? QVariant(Qt::AlignHCenter | Qt::AlignVCenter)
                          : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
  return {};
}

Qt::ItemFlags ItemListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == 0) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

void ItemListModel::sort(int column, Qt::SortOrder order) {
  if (!list_) return;
  beginResetModel();
  list_->SortBy(column < 0 ? list_->Columns().size() : static_cast<std::size_t>(column),
                order == Qt::DescendingOrder);
  endResetModel();
}

void ItemListModel::SetDeletedOnly(bool on) {
  if (!list_) return;
  beginResetModel();
  list_->SetDeletedOnly(on);
  endResetModel();
}

}  // namespace kestrio
