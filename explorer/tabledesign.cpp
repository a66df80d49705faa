// "New" and "Restructure" of tables: the type prompt, then the design
// dialog of the table's kind; afterwards the tree and the detail views show
// the tables and the structure as they are now.
#include <QAction>
#include <QFileInfo>
#include <QTreeWidget>

#include "app/dmf.h"
#include "app/globals.h"
#include "app/prompter.h"
#include "design/createf.h"
#include "design/dbasecreatef.h"
#include "design/tbltypef.h"
#include "engine/dataset/dberror.h"
#include "explorer/paradoxfrm.h"
#include "explorer/treenodes.h"

using namespace tree;

namespace {

// The level a dBASE design dialog takes for the level text of the type
// prompt ("25" is the newest level, 7).
int DbaseLevel(const QString& levelText) { return levelText == "25" ? 7 : levelText.toInt(); }

}  // namespace

void TParadoxfrm::Table1Click() {
  QTreeWidgetItem* alias = AliasNode(TreeView->currentItem());
  if (!alias) return;
  CurrentAliasName = alias->text(0);
  if (!AskTableType(NewTableLevel)) return;
  if (NewTableType == "DBASE") {
    TdBaseCreateF dialog(CurrentAliasName, QString(), this);
    dialog.setLevel(DbaseLevel(NewTableLevel));
    prompter().exec(dialog);
  } else {
    TCreateF dialog(CurrentAliasName, QString(), this);
    dialog.setLevel(NewTableLevel);
    prompter().exec(dialog);
  }
  relistTables(alias);
}

void TParadoxfrm::Restructure1Click() {
  QTreeWidgetItem* node = TreeView->currentItem();
  if (!node || !IsTableNode(node)) return;
  engine::TTable& table = DMF().aTable;
  RestructTargetDatabase = AliasNode(node)->text(0);
  RestructTargetTable = node->text(0);
  const bool dbase = QFileInfo(RestructTargetTable).suffix().compare("DBF", Qt::CaseInsensitive) == 0;
  table.Close();
  RestructureMode = true;
  try {
    if (dbase) {
      TdBaseCreateF dialog(RestructTargetDatabase, RestructTargetTable, this);
      prompter().exec(dialog);
    } else {
      TCreateF dialog(RestructTargetDatabase, RestructTargetTable, this);
      prompter().exec(dialog);
    }
  } catch (const EDBEngineError& e) {
    prompter().error(QString::fromUtf8(e.what()));
  }
  RestructureMode = false;
  showNewStructure(node);
}

// The alias's tables as the directory holds them now.
void TParadoxfrm::relistTables(QTreeWidgetItem* alias) {
  QTreeWidgetItem* tables = Child(alias, kTables);
  if (!tables || !alias->isExpanded()) return;
  const bool expanded = tables->isExpanded();
  RemoveChildren(tables);
  fillTables(alias);
  tables->setExpanded(expanded);
  if (TreeView->currentItem()) TreeViewChange(TreeView->currentItem());
}

// The table's categories are read again when next expanded; its details
// show at once.
void TParadoxfrm::showNewStructure(QTreeWidgetItem* table) {
  CollapseAll(table);
  for (int i = 0; i < table->childCount(); ++i) RemoveChildren(table->child(i));
  if (TreeView->currentItem() == table) TreeViewChange(table);
}
