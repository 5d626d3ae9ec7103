#include "gui/findings_window.h"

#include <QHeaderView>
#include <QTreeWidget>

#include "gui/toolkit/skin.h"

namespace kestrio {

FindingsWindow::FindingsWindow(QWidget* owner, std::vector<Row> rows)
    : PopupWindow(owner, "FindingsWnd", "FindingsWnd"), rows_(std::move(rows)) {}

void FindingsWindow::OnInit() {
  auto* list = toolkit::FindControl<QTreeWidget>(Content(), "FindingsList");
  if (!list) return;
  for (const Row& row : rows_) {
    auto* item = new QTreeWidgetItem(list, {row[0], row[1], row[2], row[3], row[4]});
    for (int column = 0; column < 5; ++column) item->setToolTip(column, row[column]);
  }
  list->header()->setStretchLastSection(true);
  for (int column = 0; column < 4; ++column) list->resizeColumnToContents(column);
}

}  // namespace kestrio
