#include "gui/category_tree.h"

#include <QTreeWidget>

namespace kestrio {
namespace {

constexpr int kCodeRole = Qt::UserRole + 1;  // a node's category code; 0 on groups

struct NodeInfo {
  int group;
  CategoryCode code;  // 0: a node kept hidden (nothing is read for it)
  const char* name;
  const char* icon;
};

// The tree from top to bottom.
constexpr const char* kGroupNames[] = {"Photos & Videos", "Messages & Call logs", "Memos & Others"};
constexpr NodeInfo kNodes[] = {
    {0, kCodeCameraRoll, "Camera Roll", "cat_camera_roll"},
    {0, kCodePhotoStream, "Photo Stream", "cat_photo_stream"},
    {0, kCodeAppPhotos, "App Photos", "cat_app_photos"},
    {0, kCodeAppVideos, "App Videos", "cat_app_videos"},
    {1, kCodeMessages, "Messages", "cat_messages"},
    {1, kCodeMessageAttachments, "Messages Attachments", "cat_attachments"},
    {1, kCodeContacts, "Contacts", "cat_contacts"},
    {1, kCodeCallHistory, "Call History", "cat_calls"},
    {1, kCodeNotes, "Notes", "cat_notes"},
    {1, CategoryCode{0}, "Voicemail", nullptr},
    {1, kCodeWhatsApp, "WhatsApp", "cat_whatsapp"},
    {1, kCodeWhatsAppAttachments, "WhatsApp Attachments", "cat_attachments"},
    {2, CategoryCode{0}, "Reminders", nullptr},
    {2, CategoryCode{0}, "Calendar", nullptr},
    {2, CategoryCode{0}, "Voice Memos", nullptr},
    {2, CategoryCode{0}, "Safari Bookmark", nullptr},
    {2, CategoryCode{0}, "App Document", nullptr},
};

bool ValidCode(CategoryCode code) {
  return code >= kCodeCameraRoll && code <= kCodeWhatsAppAttachments;
}

}  // namespace

QString CategoryTree::Name(CategoryCode code) {
  for (const NodeInfo& node : kNodes) {
    if (node.code == code && ValidCode(code)) return node.name;
  }
  return {};
}

CategoryTree::CategoryTree(QTreeWidget* tree) : QObject(tree), tree_(tree) {
  tree_->clear();
  tree_->setColumnCount(1);
  tree_->setHeaderHidden(true);
  for (int g = 0; g < 3; ++g) {
    auto* group = new QTreeWidgetItem(tree_, {kGroupNames[g]});
    group->setData(0, kCodeRole, 0);
    group->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    group->setCheckState(0, Qt::Unchecked);
    QFont font = group->font(0);
    font.setBold(true);
    group->setFont(0, font);
    groups_[static_cast<std::size_t>(g)] = group;
  }
  for (const NodeInfo& info : kNodes) {
    auto* item = new QTreeWidgetItem(groups_[static_cast<std::size_t>(info.group)],
                                     {QString(info.name) + " (0)"});
    item->setData(0, kCodeRole, static_cast<int>(info.code));
    if (!ValidCode(info.code)) {
      item->setHidden(true);
      continue;
    }
    const QIcon icon(QString(":/xml/images/%1.svg").arg(info.icon));
    item->setIcon(0, icon);
    nodes_[static_cast<std::size_t>(info.code)].item = item;
  }
  groups_[2]->setHidden(true);  // nothing below it is read
  tree_->expandAll();
  connect(tree_, &QTreeWidget::itemChanged, this, &CategoryTree::OnItemChanged);
  connect(tree_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    if (!item) return;
    const auto code = static_cast<CategoryCode>(item->data(0, kCodeRole).toInt());
    if (ValidCode(code) && Lit(code)) emit categorySelected(code);
  });
  Reset();
}

QTreeWidgetItem* CategoryTree::Node(CategoryCode code) const {
  return ValidCode(code) ? nodes_[static_cast<std::size_t>(code)].item : nullptr;
}

QTreeWidgetItem* CategoryTree::Group(int group) const {
  return group >= 0 && group < 3 ? groups_[static_cast<std::size_t>(group)] : nullptr;
}

void CategoryTree::Reset() {
  updating_ = true;
  tree_->setCurrentItem(nullptr);
  tree_->clearSelection();
  for (std::size_t code = kCodeCameraRoll; code <= kCodeWhatsAppAttachments; ++code) {
    NodeState& node = nodes_[code];
    node.lit = false;
    node.deletedOnly = false;
    // Dark until its category is handed over: no selection, no ticking.
    node.item->setFlags(Qt::ItemIsUserCheckable);
    node.item->setCheckState(0, Qt::Unchecked);
    SetCount(static_cast<CategoryCode>(code), 0);
  }
  for (QTreeWidgetItem* group : groups_) {
    group->setCheckState(0, Qt::Unchecked);
    group->setFlags(Qt::ItemIsUserCheckable);
  }
  updating_ = false;
}

void CategoryTree::SetCount(CategoryCode code, std::size_t count) {
  QTreeWidgetItem* item = Node(code);
  if (!item) return;
  // The text up to its count, with the new count.
  QString text = item->text(0);
  const qsizetype open = text.indexOf('(');
  if (open >= 0) text.truncate(open);
  if (!text.endsWith(' ')) text += ' ';
  item->setText(0, QString("%1(%2)").arg(text).arg(count));
}

void CategoryTree::Light(CategoryCode code, std::size_t count) {
  QTreeWidgetItem* item = Node(code);
  if (!item) return;
  updating_ = true;
  SetCount(code, count);
  if (count > 0) {
    nodes_[static_cast<std::size_t>(code)].lit = true;
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(0, Qt::Checked);
    item->parent()->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    RefreshGroup(item->parent());
  }
  updating_ = false;
}

bool CategoryTree::Lit(CategoryCode code) const {
  return ValidCode(code) && nodes_[static_cast<std::size_t>(code)].lit;
}

void CategoryTree::ShowTickState(CategoryCode code, TickState state) {
  QTreeWidgetItem* item = Node(code);
  if (!item || !Lit(code)) return;
  updating_ = true;
  item->setCheckState(0, state == TickState::kAll    ? Qt::Checked
                         : state == TickState::kSome ? Qt::PartiallyChecked
                                                     : Qt::Unchecked);
  RefreshGroup(item->parent());
  updating_ = false;
}

// A group is ticked when all its lit nodes are, unticked when none is, half-ticked between.
void CategoryTree::RefreshGroup(QTreeWidgetItem* group) {
  int lit = 0, all = 0, none = 0;
  for (int i = 0; i < group->childCount(); ++i) {
    QTreeWidgetItem* child = group->child(i);
    const auto code = static_cast<CategoryCode>(child->data(0, kCodeRole).toInt());
    if (!Lit(code)) continue;
    ++lit;
    if (child->checkState(0) == Qt::Checked) ++all;
    if (child->checkState(0) == Qt::Unchecked) ++none;
  }
  const bool wasUpdating = updating_;
  updating_ = true;
  group->setCheckState(0, lit == 0 || none == lit ? Qt::Unchecked
                          : all == lit            ? Qt::Checked
                                                  : Qt::PartiallyChecked);
  updating_ = wasUpdating;
}

void CategoryTree::OnItemChanged(QTreeWidgetItem* item, int column) {
  if (updating_ || column != 0) return;
  const bool ticked = item->checkState(0) != Qt::Unchecked;
  const auto code = static_cast<CategoryCode>(item->data(0, kCodeRole).toInt());
  if (ValidCode(code)) {
    if (!Lit(code)) return;
    {
      updating_ = true;
      RefreshGroup(item->parent());
      updating_ = false;
    }
    emit categoryTicked(code, ticked);
    return;
  }
  // A group: every lit category below it.
  updating_ = true;
  for (int i = 0; i < item->childCount(); ++i) {
    const auto child = static_cast<CategoryCode>(item->child(i)->data(0, kCodeRole).toInt());
    if (Lit(child)) item->child(i)->setCheckState(0, ticked ? Qt::Checked : Qt::Unchecked);
  }
  RefreshGroup(item);
  updating_ = false;
  for (int i = 0; i < item->childCount(); ++i) {
    const auto child = static_cast<CategoryCode>(item->child(i)->data(0, kCodeRole).toInt());
    if (Lit(child)) emit categoryTicked(child, ticked);
  }
}

std::optional<CategoryCode> CategoryTree::Current() const {
  QTreeWidgetItem* item = tree_->currentItem();
  if (!item) return std::nullopt;
  const auto code = static_cast<CategoryCode>(item->data(0, kCodeRole).toInt());
  if (!ValidCode(code) || !Lit(code)) return std::nullopt;
  return code;
}

void CategoryTree::Select(CategoryCode code) {
  if (!Lit(code)) return;
  QTreeWidgetItem* item = Node(code);
  if (tree_->currentItem() == item) {
    emit categorySelected(code);  // shown again (back from an app's files)
    return;
  }
  tree_->setCurrentItem(item);
}

bool CategoryTree::DeletedOnly(CategoryCode code) const {
  return ValidCode(code) && nodes_[static_cast<std::size_t>(code)].deletedOnly;
}

void CategoryTree::SetDeletedOnly(CategoryCode code, bool on) {
  if (ValidCode(code)) nodes_[static_cast<std::size_t>(code)].deletedOnly = on;
}

}  // namespace kestrio
