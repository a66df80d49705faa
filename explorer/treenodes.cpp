#include "explorer/treenodes.h"

#include <QApplication>
#include <QFont>
#include <QIcon>
#include <QStyle>
#include <QTreeWidgetItem>

namespace tree {

namespace {
constexpr int kImageRole = Qt::UserRole;
// UserRole + 1: the text before a label edit; + 2: a table marked by F.
constexpr int kUnsavedRole = Qt::UserRole + 3;
}

QIcon ImageIcon(int image) {
  static const QStyle::StandardPixmap kPixmaps[] = {
      QStyle::SP_ComputerIcon, QStyle::SP_DirIcon, QStyle::SP_FileIcon,
      QStyle::SP_FileDialogContentsView, QStyle::SP_DriveHDIcon, QStyle::SP_DirOpenIcon};
  if (image < 0 || image > OpenDatabaseImage) return QIcon();
  return QApplication::style()->standardIcon(kPixmaps[image]);
}

int Level(const QTreeWidgetItem* node) {
  int level = 0;
  for (const QTreeWidgetItem* p = node ? node->parent() : nullptr; p; p = p->parent()) ++level;
  return level;
}

int ImageOf(const QTreeWidgetItem* node) {
  const QVariant v = node->data(0, kImageRole);
  return v.isValid() ? v.toInt() : NoImage;
}

void SetImage(QTreeWidgetItem* node, int image) {
  node->setData(0, kImageRole, image);
  node->setIcon(0, ImageIcon(image));
}

QTreeWidgetItem* AddNode(QTreeWidgetItem* parent, const QString& text, int image) {
  auto* node = new QTreeWidgetItem(parent, {text});
  node->setFlags(node->flags() | Qt::ItemIsEditable);
  if (image != NoImage) SetImage(node, image);
  return node;
}

QTreeWidgetItem* Up(QTreeWidgetItem* node, int levels) {
  for (; node && levels > 0; --levels) node = node->parent();
  return node;
}

QTreeWidgetItem* Child(const QTreeWidgetItem* node, const QString& text) {
  if (!node) return nullptr;
  for (int i = 0; i < node->childCount(); ++i)
    if (node->child(i)->text(0) == text) return node->child(i);
  return nullptr;
}

QString ParentText(const QTreeWidgetItem* node) {
  return node && node->parent() ? node->parent()->text(0) : QString();
}

QTreeWidgetItem* AliasNode(QTreeWidgetItem* node) {
  const int level = Level(node);
  return level >= 1 ? Up(node, level - 1) : nullptr;
}

bool IsTableNode(const QTreeWidgetItem* node) {
  return Level(node) == 3 && ParentText(node) == kTables;
}

bool IsQueryFileNode(const QTreeWidgetItem* node) {
  return Level(node) == 3 && ParentText(node) == kQueryFiles;
}

QTreeWidgetItem* AddAliasNode(QTreeWidgetItem* root, const QString& name) {
  QTreeWidgetItem* alias = AddNode(root, name, ClosedDatabaseImage);
  AddGroupNodes(alias);
  return alias;
}

void AddGroupNodes(QTreeWidgetItem* alias) {
  AddNode(alias, kTables, FolderImage);
  AddNode(alias, kQueryFiles, FolderImage);
}

void SetUnsavedMark(QTreeWidgetItem* node, bool unsaved) {
  node->setData(0, kUnsavedRole, unsaved ? QVariant(true) : QVariant());
  QFont font = node->font(0);
  font.setItalic(unsaved);
  node->setFont(0, font);
  node->setToolTip(0, unsaved ? QStringLiteral("Not saved to the configuration yet") : QString());
}

bool HasUnsavedMark(const QTreeWidgetItem* node) { return node->data(0, kUnsavedRole).toBool(); }

void RemoveChildren(QTreeWidgetItem* node) {
  for (QTreeWidgetItem* child : node->takeChildren()) delete child;
}

void CollapseAll(QTreeWidgetItem* node) {
  for (int i = 0; i < node->childCount(); ++i) CollapseAll(node->child(i));
  node->setExpanded(false);
}

}  // namespace tree
