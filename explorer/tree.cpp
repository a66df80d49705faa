// The explorer tree: lazy expansion, opening and closing databases, the
// commands offered for each level, rename, delete, refresh and the keys.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <algorithm>

#include "app/dmf.h"
#include "app/globals.h"
#include "app/prompter.h"
#include "compare/differentf.h"
#include "engine/dataset/dberror.h"
#include "explorer/findf.h"
#include "explorer/paradoxfrm.h"
#include "explorer/treenodes.h"
#include "structure/extraction.h"

using namespace tree;

namespace {

QString Message(const EDBEngineError& e) { return QString::fromUtf8(e.what()); }

QString Quoted(const QString& text) { return "\"" + text + "\""; }

// The value part of a NAME=value line.
QString ValueOf(const QString& line) { return line.mid(line.indexOf('=') + 1); }

// The directory of an alias, from the engine's database description.
QString AliasDirectory(const QString& alias) {
  engine::DatabaseDesc desc;
  engine::Check(engine::GetDatabaseDesc(alias.toStdString(), desc));
  return QString::fromStdString(desc.physicalPath);
}

}  // namespace

// ---- Expansion ----

bool TParadoxfrm::TreeViewExpanding(QTreeWidgetItem* node) {
  switch (Level(node)) {
    case 1: {
      engine::TSession& session = DMF().aSession;
      const QString alias = node->text(0);
      try {
        CurrentAliasDriver =
            QString::fromStdString(session.GetAliasDriverName(alias.toStdString()));
        OpenAliasDatabase(alias);  // marks the node open
        fillTables(node);
        fillQueryFiles(node);
      } catch (const EDBEngineError&) {
        return false;  // an alias that does not open stays closed, without a message
      }
      return true;
    }
    case 3:
      if (IsTableNode(node)) fillCategories(node);
      return true;
    case 4:
      if (node->text(0) == kRefInt) fillLinkSides(node);
      return true;
    default:
      return true;
  }
}

void TParadoxfrm::fillTables(QTreeWidgetItem* alias) {
  QTreeWidgetItem* tables = Child(alias, kTables);
  std::vector<std::string> names =
      DMF().aSession.GetTableNames(alias->text(0).toStdString(), "", true, false);
  std::sort(names.begin(), names.end());
  if (!tables || tables->childCount() > 0) return;
  const QSignalBlocker blocker(TreeView);
  for (const std::string& name : names) {
    QTreeWidgetItem* table = AddNode(tables, QString::fromStdString(name), ItemImage);
    for (const char* category : {kFields, kIndexes, kValChecks, kRefInt, kSecurity, kFamily})
      AddNode(table, category, FolderImage);
  }
}

void TParadoxfrm::fillQueryFiles(QTreeWidgetItem* alias) {
  QTreeWidgetItem* queries = Child(alias, kQueryFiles);
  if (!queries || queries->childCount() > 0) return;
  engine::TDatabase* db = DMF().aSession.FindDatabase(alias->text(0).toStdString());
  if (!db) return;
  const QSignalBlocker blocker(TreeView);
  for (const char* pattern : {"*.sql", "*.qbe"}) {
    QStringList lines;
    structure::ListDatabaseFiles(db->Handle(), pattern, lines);
    for (int i = 0; i < lines.size(); i += 4) AddNode(queries, lines[i], QueryImage);
  }
}

// Points aTable at the table of `tableNode` in its alias's database, in its
// natural order and unfiltered, and opens it (a protected table asks for its
// password).
void TParadoxfrm::openTableOf(QTreeWidgetItem* tableNode) {
  engine::TTable& table = DMF().aTable;
  table.Close();
  // An order or filter chosen on the data page belongs to the table it was
  // chosen on.
  table.SetIndexName("");
  table.SetFilter("");
  table.SetFiltered(false);
  const QString alias = AliasNode(tableNode)->text(0);
  table.SetDatabaseName(alias.toStdString());
  table.SetTableName(tableNode->text(0).toStdString());
  table.Open();
  CurrentDatabaseIndex = DMF().IsOpenedDataBase(alias);
}

void TParadoxfrm::fillCategories(QTreeWidgetItem* table) {
  const QSignalBlocker blocker(TreeView);
  try {
    openTableOf(table);
    const structure::OpenTableRef ref = structure::OpenTableRef::Of(DMF().aSession, DMF().aTable);
    const auto fill = [&](const char* category, const QStringList& names) {
      QTreeWidgetItem* node = Child(table, category);
      if (!node || node->childCount() > 0) return;
      for (const QString& name : names) {
        QTreeWidgetItem* child = AddNode(node, name.isEmpty() ? kPrimary : name, ItemImage);
        if (category == kIndexes) AddNode(child, kIndexFields, FolderImage);
      }
    };
    fill(kFields, ref.fieldNames);
    QStringList names, counts;
    structure::ListIndexNamesAndKeyCounts(ref, names, counts);
    fill(kIndexes, names);
    names.clear();
    structure::ListValCheckFields(ref, names);
    fill(kValChecks, names);
    names.clear();
    structure::ListRefIntNames(ref, true, names);
    fill(kRefInt, names);
    names.clear();
    structure::ListPasswords(ref, names);
    fill(kSecurity, names);
  } catch (const EDBEngineError& e) {
    prompter().error(Message(e));
  }
}

void TParadoxfrm::fillLinkSides(QTreeWidgetItem* category) {
  const QSignalBlocker blocker(TreeView);
  engine::TTable& table = DMF().aTable;
  try {
    for (int i = 0; i < category->childCount(); ++i) {
      QStringList primary, foreign;
      openTableOf(category->parent());
      structure::ListRefIntFieldPairs(structure::OpenTableRef::Of(DMF().aSession, table), i + 1,
                                      primary, foreign);
      table.Close();
      QTreeWidgetItem* link = category->child(i);
      if (link->childCount() > 0) continue;
      QTreeWidgetItem* side = AddNode(link, kPrimaryFields, FolderImage);
      for (const QString& line : primary) AddNode(side, ValueOf(line), NoImage);
      side = AddNode(link, kForeignFields, FolderImage);
      for (const QString& line : foreign) AddNode(side, ValueOf(line), ItemImage);
    }
  } catch (const EDBEngineError& e) {
    prompter().error(Message(e));
  }
}

// ---- Databases ----

int TParadoxfrm::OpenAliasDatabase(const QString& alias) {
  DMF().aSession.OpenDatabase(alias.toStdString());
  CurrentDatabaseIndex = DMF().IsOpenedDataBase(alias);
  QTreeWidgetItem* root = TreeView->topLevelItem(0);
  for (int i = 0; root && i < root->childCount(); ++i) {
    QTreeWidgetItem* node = root->child(i);
    if (node->text(0).compare(alias, Qt::CaseInsensitive) != 0) continue;
    SetImage(node, OpenDatabaseImage);
    if (TreeView->currentItem() != node) continue;
    pressOpenCloseBtn(true);
    UpdateCommandStates(1, node);  // "Close" is offered now
  }
  return CurrentDatabaseIndex;
}

void TParadoxfrm::CloseAliasDatabase(const QString& alias) {
  engine::TSession& session = DMF().aSession;
  if (engine::TDatabase* db = session.FindDatabase(alias.toStdString());
      db && db->DatabaseName() == alias.toStdString()) {
    if (DMF().aTable.Active() && DMF().aTable.DatabaseName() == db->DatabaseName())
      DMF().aTable.Close();
    session.SetKeepConnections(false);
    session.CloseDatabase(*db);
    CurrentDatabaseIndex = session.DatabaseCount() > 0 ? 0 : -1;
  }
  pressOpenCloseBtn(false);
  if (QTreeWidgetItem* node = TreeView->currentItem()) {
    CollapseAll(node);
    SetImage(node, ClosedDatabaseImage);
    if (Level(node) == 1) UpdateCommandStates(1, node);
  }
  setPageVisible(TabSheet3, false);
}

void TParadoxfrm::OpenCloseBtnClick(bool pressed) {
  QTreeWidgetItem* node = TreeView->currentItem();
  if (!node) return;
  if (pressed)
    OpenAliasDatabase(node->text(0));
  else
    CloseAliasDatabase(node->text(0));
}

void TParadoxfrm::pressOpenCloseBtn(bool pressed) {
  const QSignalBlocker blocker(command("OpenCloseBtn"));
  command("OpenCloseBtn")->setChecked(pressed);
}

void TParadoxfrm::CompareBtnClick() {
  DMF().aTable.Close();
  QTreeWidgetItem* node = TreeView->currentItem();
  if (node && !DMF().aSession.FindDatabase(node->text(0).toStdString()))
    OpenAliasDatabase(node->text(0));
  DifferentF->Execute();
}

// ---- Command states ----

void TParadoxfrm::UpdateCommandStates(int level, QTreeWidgetItem* node) {
  const auto set = [this](std::initializer_list<const char*> names, bool enabled) {
    for (const char* name : names)
      if (QAction* a = command(name)) a->setEnabled(enabled);
  };
  switch (level) {
    case 0:
      set({"RefreshNode", "RefreshBtn"}, true);
      set({"OpenNode", "CloseNode", "TreeSearchBtn", "DelBtn", "CompareBtn", "OpenCloseBtn",
           "TableRestructurePopup", "Restructure1", "RstrctBtn", "Databases1Item", "Tables1Item",
           "Databaseutilites1Item", "Tableutilites1Item"},
          false);
      break;
    case 1: {
      const bool open = ImageOf(node) == OpenDatabaseImage;
      set({"CloseNode"}, open);
      set({"OpenNode"}, !open);
      set({"RefreshNode", "RefreshBtn", "DeleteNode", "DelBtn", "TreeSearchBtn", "CompareBtn",
           "OpenCloseBtn", "Databases1Item", "Databaseutilites1Item"},
          true);
      set({"Tables1Item", "RstrctBtn", "Tableutilites1Item"}, false);
      break;
    }
    case 2:
      for (QAction* a : TreePopup->actions()) a->setEnabled(false);
      set({"Databases1Item", "Tables1Item", "OpenCloseBtn"}, false);
      break;
    case 3:
      set({"RefreshNode", "Tables1Item", "DeleteNode", "DelBtn", "TableRestructurePopup",
           "TreeSearchBtn", "RstrctBtn", "Tableutilites1Item"},
          true);
      set({"OpenNode", "CloseNode", "CompareBtn", "OpenCloseBtn", "RefreshBtn", "Databases1Item",
           "Databaseutilites1Item"},
          false);
      break;
    default:
      break;
  }
}

// ---- Rename ----

void TParadoxfrm::setTreeEditable(bool editable) {
  TreeView->setEditTriggers(editable ? QAbstractItemView::EditKeyPressed |
                                           QAbstractItemView::SelectedClicked
                                     : QAbstractItemView::NoEditTriggers);
}

void TParadoxfrm::Rename1Click() {
  QTreeWidgetItem* node = TreeView->currentItem();
  if (!node) return;
  setTreeEditable(true);
  TreeView->editItem(node);  // the label editor keeps the name from before the edit
}

// A label edit ends: the node's text changed from the name it had.
void TParadoxfrm::itemChanged(QTreeWidgetItem* node) {
  const QVariant before = node->data(0, Qt::UserRole + 1);
  if (!before.isValid()) return;
  const QString oldText = before.toString();
  {
    const QSignalBlocker blocker(TreeView);
    node->setData(0, Qt::UserRole + 1, QVariant());
  }
  if (node->text(0) != oldText) TreeViewEdited(node, oldText, node->text(0));
}

void TParadoxfrm::TreeViewEdited(QTreeWidgetItem* node, const QString& oldText,
                                 const QString& newText) {
  const QSignalBlocker blocker(TreeView);
  const int level = Level(node);
  if (level == 1 && PendingAliasMode) {
    PendingAliasName = newText;
  } else if (level == 1) {
    renameAlias(oldText, newText);
  } else if (IsTableNode(node)) {
    renameTable(node, oldText, newText);
  } else {
    node->setText(0, oldText);  // nothing else is renamed
  }
  if (level != 1) setTreeEditable(false);
}

void TParadoxfrm::renameAlias(const QString& oldName, const QString& newName) {
  QTreeWidgetItem* node = TreeView->currentItem();
  if (!prompter().confirm("Rename alias " + oldName + " to " + newName)) {
    node->setText(0, oldName);
    return;
  }
  engine::TSession& session = DMF().aSession;
  try {
    // The grid's rows are TYPE, PATH, ENABLE BCD, DEFAULT DRIVER.
    const QString path = StringGrid->item(1, 1) ? StringGrid->item(1, 1)->text() : StartAliasPath;
    const QString driver =
        StringGrid->item(3, 1) ? StringGrid->item(3, 1)->text() : StartAliasDriver;
    session.AddStandardAlias(newName.toStdString(), path.trimmed().toStdString(),
                             driver.trimmed().toStdString());
    session.DeleteAlias(CurrentAliasName.toStdString());
    session.SaveConfigFile();
    CurrentAliasName = newName;
  } catch (const EDBEngineError& e) {
    node->setText(0, oldName);
    prompter().error(Message(e));
  }
}

void TParadoxfrm::renameTable(QTreeWidgetItem* node, const QString& oldName,
                              const QString& newName) {
  if (!prompter().confirm("Rename table " + oldName + " to " + newName)) {
    node->setText(0, oldName);
    return;
  }
  engine::TTable& table = DMF().aTable;
  try {
    table.Close();
    table.SetDatabaseName(AliasNode(node)->text(0).toStdString());
    table.SetTableName(oldName.toStdString());
    table.RenameTable(newName.toStdString());
    table.SetTableName(newName.toStdString());
    table.Open();
  } catch (const EDBEngineError& e) {
    if (table.TableName() != newName.toStdString()) node->setText(0, oldName);
    prompter().error(Message(e));
  }
}

// ---- Delete ----

void TParadoxfrm::DeleteItemClick() {
  QTreeWidgetItem* node = TreeView->currentItem();
  if (!node || TreePages->currentWidget() != TreeView) return;  // the tree is hidden
  const int level = Level(node);
  const QString name = node->text(0);
  QString question;
  if (level == 1 && PendingAliasMode && name == PendingAliasName)
    question = "Cancel edit to " + name;
  else if (level == 1)
    question = "Delete alias " + Quoted(name) + " ?";
  else if (IsTableNode(node))
    question = "Delete table " + Quoted(name) + " ?";
  else if (IsQueryFileNode(node))
    question = "Delete query " + Quoted(name) + " ?";
  else if (level == 5 && ParentText(node) == kIndexes)
    question = "Delete index " + Quoted(name) + " (Table: " + Up(node, 2)->text(0) + ") ?";
  else
    return;
  if (!prompter().confirm(question)) return;
  try {
    deleteNode(node);
  } catch (const EDBEngineError& e) {
    prompter().error(Message(e));
  }
}

void TParadoxfrm::deleteNode(QTreeWidgetItem* node) {
  engine::TSession& session = DMF().aSession;
  engine::TTable& table = DMF().aTable;
  const int level = Level(node);
  const QString name = node->text(0);
  if (level == 1 && PendingAliasMode && name == PendingAliasName) {
    PendingAliasMode = false;
    PendingAliasName.clear();
    command("ApplyBtn")->setEnabled(false);
    command("CancelBtn")->setEnabled(false);
  } else if (level == 1) {
    if (session.FindDatabase(name.toStdString())) CloseAliasDatabase(name);
    session.DeleteAlias(name.toStdString());
    session.SaveConfigFile();
  } else if (IsTableNode(node)) {
    table.Close();
    table.SetDatabaseName(AliasNode(node)->text(0).toStdString());
    table.SetTableName(name.toStdString());
    table.DeleteTable();
  } else if (IsQueryFileNode(node)) {
    // The file of this node's alias (the alias selected last may be another).
    const QString path = QDir(AliasDirectory(AliasNode(node)->text(0))).filePath(name);
    if (!QFile::remove(path)) {
      prompter().error("Can not delete " + QDir::toNativeSeparators(path));
      return;
    }
  } else {  // an index
    table.Close();
    table.SetDatabaseName(AliasNode(node)->text(0).toStdString());
    table.SetTableName(Up(node, 2)->text(0).toStdString());
    table.SetExclusive(false);
    table.DeleteIndex(name == kPrimary ? std::string() : name.toStdString());
  }
  delete node;
}

// ---- Refresh ----

void TParadoxfrm::RebuildBtnClick() {
  RestructureMode = false;
  QTreeWidgetItem* node = TreeView->currentItem();
  if (!node) return;
  const int level = Level(node);
  if (level == 0) {
    // Aliases added or changed elsewhere (the command line, another copy of
    // the program) appear, unless this session holds alias changes of its
    // own not yet saved: those are never dropped.
    if (!PendingAliasMode && !engine::ConfigHasUnsavedChanges() &&
        engine::ReloadConfig() != engine::Ok)
      prompter().error(QString::fromStdString(engine::LastErrorMessage()));
    FormCreate();
  } else if (level == 1 || level == 3) {
    CollapseAll(node);
    if (node->childCount() > 0) RemoveChildren(node->child(0));
  }
}

void TParadoxfrm::Refresh1Click() {
  StringGrid->show();  // the grid in front again
  ListView1->hide();
  SQLPanel->hide();
  RebuildBtnClick();
}

// ---- Keys, find, list ----

void TParadoxfrm::TreeViewKeyUp(QKeyEvent* event) {
  if (!(event->modifiers() & Qt::ControlModifier)) return;
  if (event->key() == Qt::Key_F) Findintree1Click();
  QTreeWidgetItem* node = TreeView->currentItem();
  if (!IsTableNode(node)) return;
  const bool cut = !node->data(0, Qt::UserRole + 2).toBool();
  node->setData(0, Qt::UserRole + 2, cut);
  node->setForeground(0, cut ? TreeView->palette().brush(QPalette::Disabled, QPalette::Text)
                             : TreeView->palette().brush(QPalette::Text));
  const QSignalBlocker blocker(TreeView);
  const QString file = QFileInfo(QDir::fromNativeSeparators(node->text(0))).fileName();
  try {
    const QString dir = AliasDirectory(AliasNode(node)->text(0));
    node->setText(0, cut ? QDir::toNativeSeparators(QDir(dir).filePath(file)) : file);
  } catch (const EDBEngineError& e) {
    prompter().error(Message(e));
  }
}

void TParadoxfrm::Findintree1Click() {
  if (!FindF) {
    FindF = new TFindF(this);
    // First shown at the top right of the pages, clear of the menus and the tool bar.
    const QPoint corner = PageControl->mapToGlobal(QPoint(PageControl->width(), 0));
    FindF->move(corner.x() - FindF->width(), corner.y());
  }
  FindF->show();
  FindF->raise();
}

void TParadoxfrm::ListView1DblClick() {
  QTreeWidgetItem* item = ListView1->currentItem();
  if (!item) return;
  if (QTreeWidgetItem* child = Child(TreeView->currentItem(), item->text(0))) selectNode(child);
}

void TParadoxfrm::selectNode(QTreeWidgetItem* node) { TreeView->setCurrentItem(node); }
