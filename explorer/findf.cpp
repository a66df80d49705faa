#include "explorer/findf.h"

#include <QAction>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include "app/application.h"
#include "app/dmf.h"
#include "app/globals.h"
#include "explorer/paradoxfrm.h"
#include "explorer/treenodes.h"

using namespace tree;

namespace {

constexpr int kNodeRole = Qt::UserRole;

// The node after `node` in pre-order, whether expanded or not.
QTreeWidgetItem* Next(QTreeWidgetItem* node) {
  QTreeWidgetItemIterator it(node);
  return *++it;
}

// The result line of a match, or an empty text for levels that are not
// listed. A link field's line leaves out the group and the table.
QString ResultLine(QTreeWidgetItem* node) {
  QList<int> ups;
  switch (Level(node)) {
    case 3:
      ups = {2, 1, 0};
      break;
    case 4:
      ups = {3, 2, 1, 0};
      break;
    case 5:
      ups = {4, 3, 2, 1, 0};
      break;
    case 7:
      ups = {6, 3, 2, 1, 0};
      break;
    default:
      return QString();
  }
  QStringList names;
  for (int n : ups) names << Up(node, n)->text(0);
  return names.join('\\');
}

// Suspends the redrawing of a widget for the lifetime of the guard.
class RedrawSuspended {
 public:
  explicit RedrawSuspended(QWidget* w) : w_(w) { w_->setUpdatesEnabled(false); }
  ~RedrawSuspended() { w_->setUpdatesEnabled(true); }
  RedrawSuspended(const RedrawSuspended&) = delete;
  RedrawSuspended& operator=(const RedrawSuspended&) = delete;

 private:
  QWidget* w_;
};

}  // namespace

TFindF::TFindF(TParadoxfrm* form)
    : QWidget(form, Qt::Tool), form_(form) {  // above the main window, never above its questions
  setObjectName("FindF");
  setWindowTitle("Find in tree");

  ComboBox = new QComboBox;
  ComboBox->setObjectName("ComboBox");
  ComboBox->setEditable(true);
  ComboBox->setInsertPolicy(QComboBox::NoInsert);  // Find keeps the history
  auto* findLabel = new QLabel("Text to find:");
  findLabel->setBuddy(ComboBox);

  ListBox1 = new QListWidget;
  ListBox1->setObjectName("ListBox1");
  auto* resultLabel = new QLabel("Search result:");
  resultLabel->setBuddy(ListBox1);
  ClearSearchResultItem = new QAction("Clear search result", this);
  ClearSearchResultItem->setObjectName("Clearsearchresult1");
  ListBox1->addAction(ClearSearchResultItem);
  ListBox1->setContextMenuPolicy(Qt::ActionsContextMenu);

  BitBtn1 = new QPushButton("&Find");
  BitBtn1->setObjectName("BitBtn1");
  CloseBtn = new QPushButton("&Close");
  CloseBtn->setObjectName("CloseBtn");

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(BitBtn1);
  buttons->addWidget(CloseBtn);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(findLabel);
  layout->addWidget(ComboBox);
  layout->addWidget(resultLabel);
  layout->addWidget(ListBox1, 1);
  layout->addLayout(buttons);
  resize(360, 320);

  connect(BitBtn1, &QPushButton::clicked, this, &TFindF::BitBtn1Click);
  // The window is kept by the main form: closing only hides it.
  connect(CloseBtn, &QPushButton::clicked, this, &QWidget::close);
  connect(ClearSearchResultItem, &QAction::triggered, this, &TFindF::ClearSearchResult);
  connect(ListBox1, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
    ListBox1->setCurrentItem(item);
    ListBox1DblClick();
  });
}

void TFindF::BitBtn1Click() {
  const QString text = ComboBox->currentText();
  if (ComboBox->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0)
    ComboBox->addItem(text);

  QTreeWidget* tree = form_->TreeView;
  QTreeWidgetItem* start = tree->currentItem();
  const int startLevel = Level(start);
  if (!start || startLevel == 0) return;
  {
    const BusyCursor busy;
    const RedrawSuspended treeGuard(tree), listGuard(ListBox1);
    int walked = 0;
    // Each node is expanded before the walk moves on, so the lazy expansion
    // fills (and opens tables for) the levels the walk is about to enter.
    // The walk stops after the first node back at the start level: the start
    // node's subtree and the node that follows it.
    QTreeWidgetItem* node = start;
    do {
      node->setExpanded(true);
      QTreeWidgetItem* before = node;
      node = Next(node);
      if (!node) break;
      if (node->text(0).compare(text, Qt::CaseInsensitive) == 0) {
        form_->selectNode(node);
        addResult(node);
      }
      CollapseAll(node->parent());
      before->setExpanded(false);
      if (++walked % 64 == 0) BusyCursor::keepPainting();
    } while (Level(node) != startLevel);
  }
  form_->selectNode(start);
  // A list widget sizes its horizontal scroll range to its widest line by itself.
}

void TFindF::addResult(QTreeWidgetItem* node) {
  const QString line = ResultLine(node);
  if (line.isEmpty()) return;
  auto* item = new QListWidgetItem(line, ListBox1);
  item->setData(kNodeRole, QVariant::fromValue(static_cast<void*>(node)));
}

QTreeWidgetItem* TFindF::nodeOf(int row) const {
  const QListWidgetItem* item = ListBox1->item(row);
  if (!item) return nullptr;
  // The node may have been removed from the tree since (refresh, delete):
  // only a pointer still found in the tree is used.
  const void* stored = item->data(kNodeRole).value<void*>();
  for (QTreeWidgetItemIterator it(form_->TreeView); *it; ++it)
    if (*it == stored) return *it;
  return nullptr;
}

void TFindF::ListBox1DblClick() {
  QTreeWidgetItem* node = nodeOf(ListBox1->currentRow());
  if (!node) return;
  if (QTreeWidgetItem* selected = form_->TreeView->currentItem()) {
    const int level = Level(selected);
    CollapseAll(level > 3 ? Up(selected, level - 3) : selected);
  }
  CurrentDatabaseIndex = DMF().IsOpenedDataBase(AliasNode(node)->text(0));
  form_->selectNode(node);
}

void TFindF::ClearSearchResult() { ListBox1->clear(); }
