// The detail views: what the right-hand side shows for the selected node.
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>

#include "app/dmf.h"
#include "app/globals.h"
#include "explorer/paradoxfrm.h"
#include "explorer/treenodes.h"

using namespace tree;

void TParadoxfrm::TreeViewChange(QTreeWidgetItem* node) {
  TreeView->scrollToItem(node);
  setPanelText(1, QString());
  StringGrid->show();
  SQLPanel->hide();
  setPanelText(0, QString::number(node->childCount()) + "Items in " + node->text(0));
  setTreeEditable(false);
  const int level = Level(node);
  if (level <= 3) UpdateCommandStates(level, node);
  if (level == 1) setTreeEditable(true);
}

void TParadoxfrm::ShowPropertyGrid(const QStringList& list) {
  StringGrid->setRowCount(static_cast<int>(list.size()));
  StringGrid->setHorizontalHeaderLabels({"Parameter", "Value"});
  for (int i = 0; i < list.size(); ++i) {
    const int eq = list[i].indexOf('=');
    StringGrid->setItem(i, 0, new QTableWidgetItem(eq < 0 ? list[i] : list[i].left(eq)));
    StringGrid->setItem(i, 1, new QTableWidgetItem(eq < 0 ? QString() : list[i].mid(eq + 1)));
  }
}

void TParadoxfrm::setPageVisible(QWidget* page, bool visible) {
  PageControl->setTabVisible(PageControl->indexOf(page), visible);
}

void TParadoxfrm::showPage(QWidget* page) {
  setPageVisible(page, true);
  PageControl->setCurrentWidget(page);
}
