// The explorer tree's nodes: a node knows only its text, its image and its
// depth; everything else is read from the texts of the node and its
// ancestors.
#pragma once

#include <QString>

class QIcon;
class QTreeWidget;
class QTreeWidgetItem;

namespace tree {

// Images of the tree (and of the detail list's small icons).
enum Image {
  RootImage = 0,
  FolderImage = 1,
  ItemImage = 2,
  QueryImage = 3,
  ClosedDatabaseImage = 4,
  OpenDatabaseImage = 5,
  NoImage = -1,
};

inline const char* const kTables = "Tables";
inline const char* const kQueryFiles = "SQL & QBE Files";
inline const char* const kFields = "FIELDS";
inline const char* const kIndexes = "INDEXES";
inline const char* const kValChecks = "VALIDITY CHECKS";
inline const char* const kRefInt = "REFERENTIAL INTEGRITY";
inline const char* const kSecurity = "SECURITY";
inline const char* const kFamily = "FAMILY MEMBERS";
inline const char* const kPrimary = "<Primary>";
inline const char* const kIndexFields = "Fields";
inline const char* const kPrimaryFields = "Primary Fields";
inline const char* const kForeignFields = "Foreing Fields";

QIcon ImageIcon(int image);

// Depth below the root (the root is level 0).
int Level(const QTreeWidgetItem* node);
int ImageOf(const QTreeWidgetItem* node);
void SetImage(QTreeWidgetItem* node, int image);
QTreeWidgetItem* AddNode(QTreeWidgetItem* parent, const QString& text, int image);
// The ancestor `levels` up (0: the node itself).
QTreeWidgetItem* Up(QTreeWidgetItem* node, int levels);
// The child with exactly this text, or nullptr.
QTreeWidgetItem* Child(const QTreeWidgetItem* node, const QString& text);
QString ParentText(const QTreeWidgetItem* node);
// The alias node above (or at) `node`, nullptr for the root.
QTreeWidgetItem* AliasNode(QTreeWidgetItem* node);
// A level-3 node under "Tables".
bool IsTableNode(const QTreeWidgetItem* node);
bool IsQueryFileNode(const QTreeWidgetItem* node);
// An alias node with its two groups, "Tables" and "SQL & QBE Files".
QTreeWidgetItem* AddAliasNode(QTreeWidgetItem* root, const QString& name);
void AddGroupNodes(QTreeWidgetItem* alias);
// The mark of an alias that exists only in the tree (not yet saved).
void SetUnsavedMark(QTreeWidgetItem* node, bool unsaved);
bool HasUnsavedMark(const QTreeWidgetItem* node);
// Removes the children of `node`.
void RemoveChildren(QTreeWidgetItem* node);
// Collapses `node` and everything below it.
void CollapseAll(QTreeWidgetItem* node);

}  // namespace tree
