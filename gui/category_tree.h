// The category tree of the result page: three groups with the category nodes below them,
// each node with its icon, check box and "(n)" count. Nodes stay dark and unticked until
// their category is handed over by the scan; ticking a node ticks its category, ticking a
// group ticks every lit category of it, and each check box shows whether all, some or none
// of what is below it is ticked.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <optional>

#include "scan/selection_model.h"

class QTreeWidget;
class QTreeWidgetItem;

namespace kestrio {

class CategoryTree : public QObject {
  Q_OBJECT
 public:
  // Builds the groups and nodes into `tree` (its earlier items are dropped).
  explicit CategoryTree(QTreeWidget* tree);

  // Every node dark, unticked and counted "(0)", nothing selected, every filter off.
  void Reset();
  // The category was handed over with `count` rows: the node lights, is ticked and counted.
  void Light(CategoryCode code, std::size_t count);
  bool Lit(CategoryCode code) const;
  // Shows a category's tick state on its node and the group's state on the group.
  void ShowTickState(CategoryCode code, TickState state);

  // The selected category; none while a group or nothing is selected.
  std::optional<CategoryCode> Current() const;
  // Selects a lit category's node (its list is shown through categorySelected).
  void Select(CategoryCode code);
  // The deleted-only mark of a node.
  bool DeletedOnly(CategoryCode code) const;
  void SetDeletedOnly(CategoryCode code, bool on);

  QTreeWidgetItem* Node(CategoryCode code) const;
  QTreeWidgetItem* Group(int group) const;
  QTreeWidget* Widget() const { return tree_; }
  // The node's text without its count ("Camera Roll").
  static QString Name(CategoryCode code);

 signals:
  void categorySelected(CategoryCode code);
  // The user ticked or unticked a node, or a group (once per lit category of it).
  void categoryTicked(CategoryCode code, bool ticked);

 private:
  struct NodeState {
    QTreeWidgetItem* item = nullptr;
    bool lit = false;
    bool deletedOnly = false;
  };
  void OnItemChanged(QTreeWidgetItem* item, int column);
  void RefreshGroup(QTreeWidgetItem* group);
  void SetCount(CategoryCode code, std::size_t count);

  QTreeWidget* tree_;
  std::array<NodeState, 12> nodes_;  // by code; 0 unused
  std::array<QTreeWidgetItem*, 3> groups_{};
  bool updating_ = false;
};

}  // namespace kestrio
