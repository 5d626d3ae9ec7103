// The notes and findings of a scan: why a category found nothing or could not be read, and
// what the readers skipped (a page, a chain cut at its bound, a stored file missing). Opened
// from the scan page's status line; OK, the close button and Escape close it.
#pragma once

#include <QString>
#include <array>
#include <vector>

#include "gui/toolkit/popup_window.h"

namespace kestrio {

class FindingsWindow : public toolkit::PopupWindow {
  Q_OBJECT
 public:
  // Each row: kind, category or file, what, where, why.
  using Row = std::array<QString, 5>;
  FindingsWindow(QWidget* owner, std::vector<Row> rows);

 protected:
  void OnInit() override;

 private:
  std::vector<Row> rows_;
};

}  // namespace kestrio
