// Alias editing: a new alias made in the tree, the in-place editors of the
// parameter grid (a folder button for the path, pick lists for the BCD switch
// and the default driver), and Apply / Cancel, which write the configuration
// or read it back.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QHeaderView>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTableWidget>
#include <QTreeWidget>
#include <algorithm>

#include "app/dmf.h"
#include "app/globals.h"
#include "app/prompter.h"
#include "engine/dataset/dberror.h"
#include "explorer/paradoxfrm.h"
#include "explorer/treenodes.h"

using namespace tree;

namespace {

const char* const kNewAlias = "NEW STANDARD";
const char* const kPath = "PATH";
const char* const kBcd = "ENABLE BCD";
const char* const kDriver = "DEFAULT DRIVER";

QString Message(const EDBEngineError& e) { return QString::fromUtf8(e.what()); }

// The grid row holding parameter `name`, -1 when there is none.
int RowOf(const QTableWidget* grid, const QString& name) {
  for (int row = 0; row < grid->rowCount(); ++row)
    if (grid->item(row, 0) && grid->item(row, 0)->text() == name) return row;
  return -1;
}

QString ValueOf(const QTableWidget* grid, const QString& name) {
  const int row = RowOf(grid, name);
  return row >= 0 && grid->item(row, 1) ? grid->item(row, 1)->text() : QString();
}

template <typename W>
void Free(W*& widget) {
  if (!widget) return;
  widget->hide();
  widget->deleteLater();  // it may be the sender of the click being handled
  widget = nullptr;
}

}  // namespace

bool TParadoxfrm::editingAlias() const {
  QTreeWidgetItem* node = TreeView->currentItem();
  return node && Level(node) == 1 && StringGrid->isVisible() && StringGrid->rowCount() > 0 &&
         StringGrid->item(0, 1) && StringGrid->item(0, 1)->text() == "STANDARD";
}

bool TParadoxfrm::pendingAliasSelected() const {
  QTreeWidgetItem* node = TreeView->currentItem();
  return PendingAliasMode && node && Level(node) == 1 && node->text(0) == PendingAliasName;
}

void TParadoxfrm::setAliasEditsEnabled(bool enabled) {
  for (const char* name : {"ApplyBtn", "CancelBtn", "ApplyNode", "CancelNode"})
    command(name)->setEnabled(enabled);
}

void TParadoxfrm::Alias1Click() {
  if (PendingAliasMode) {  // one new alias at a time
    QTreeWidgetItem* pending = Child(TreeView->topLevelItem(0), PendingAliasName);
    if (pending) selectNode(pending);
    prompter().inform("Apply or cancel the new alias " + PendingAliasName + " first.");
    return;
  }
  pendingAliasLines_ = {"TYPE=STANDARD", QString(kPath) + "=", QString(kBcd) + "=FALSE",
                        QString(kDriver) + "=PARADOX"};
  PendingAliasName = kNewAlias;
  PendingAliasMode = true;
  QTreeWidgetItem* node;
  {
    const QSignalBlocker blocker(TreeView);
    node = AddNode(TreeView->topLevelItem(0), kNewAlias, ClosedDatabaseImage);
    node->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    SetUnsavedMark(node, true);
  }
  selectNode(node);
  setAliasEditsEnabled(true);
  TreeView->setFocus();
  TreeView->editItem(node);  // the user types the alias's name
}

// The in-place editor of the current cell: the path button, or the button of
// a pick list; the others go.
void TParadoxfrm::StringGridSelectCell(int row, int column) {
  freeAliasEditors();
  if (!editingAlias() || column != 1) return;
  const QString name = StringGrid->item(row, 0) ? StringGrid->item(row, 0)->text() : QString();
  const auto makeButton = [this](const char* objectName, int width) {
    auto* button = new QPushButton(StringGrid->viewport());
    button->setObjectName(objectName);
    button->setFocusPolicy(Qt::NoFocus);
    button->setFixedSize(width, 20);
    button->show();
    return button;
  };
  if (name == kPath) {
    PathButton = makeButton("PathButton", 20);
    PathButton->setText("\\...");
    connect(PathButton, &QPushButton::clicked, this, &TParadoxfrm::ButtonOnClick);
  } else if (name == kBcd) {
    BcdButton = makeButton("BcdButton", 15);
    BcdButton->setIcon(style()->standardIcon(QStyle::SP_ArrowDown));
    connect(BcdButton, &QPushButton::clicked, this, &TParadoxfrm::dButtonOnClick);
  } else if (name == kDriver) {
    DriverButton = makeButton("DriverButton", 15);
    DriverButton->setIcon(style()->standardIcon(QStyle::SP_ArrowDown));
    connect(DriverButton, &QPushButton::clicked, this, &TParadoxfrm::aButtonOnClick);
  }
  placeAliasEditors();
}

// Buttons sit at the top of their cells, flush with the right edge; lists
// lie below their cells, as wide as them.
void TParadoxfrm::placeAliasEditors() {
  const auto cellRect = [this](const char* name) {
    const int row = RowOf(StringGrid, name);
    return row < 0 ? QRect() : StringGrid->visualRect(StringGrid->model()->index(row, 1));
  };
  const auto placeButton = [](QPushButton* button, const QRect& cell) {
    if (button) button->move(cell.right() - button->width() + 1, cell.top());
  };
  placeButton(PathButton, cellRect(kPath));
  placeButton(BcdButton, cellRect(kBcd));
  placeButton(DriverButton, cellRect(kDriver));
  const auto placeList = [](QListWidget* list, const QRect& cell) {
    if (!list) return;
    const int rows = list->count() * list->sizeHintForRow(0);
    list->setGeometry(cell.left(), cell.top() + 20, cell.width(), rows + 2);
  };
  placeList(BcdList, cellRect(kBcd));
  placeList(DriverList, cellRect(kDriver));
}

void TParadoxfrm::freeAliasEditors() {
  Free(PathButton);
  Free(BcdButton);
  Free(DriverButton);
  Free(BcdList);
  Free(DriverList);
}

void TParadoxfrm::ButtonOnClick() {
  const QString folder = prompter().chooseFolder("Alias directory", ValueOf(StringGrid, kPath));
  if (folder.isEmpty()) return;
  setAliasValue(kPath, QDir::toNativeSeparators(folder), StartAliasPath);
}

void TParadoxfrm::dButtonOnClick() { togglePickList(BcdList, "BcdList", {"TRUE", "FALSE"}); }

void TParadoxfrm::aButtonOnClick() {
  togglePickList(DriverList, "DriverList", {"PARADOX", "dBASE", "ASCIIDRV"});
}

void TParadoxfrm::togglePickList(QListWidget*& list, const char* objectName,
                                 const QStringList& items) {
  if (list) {
    Free(list);
    return;
  }
  list = new QListWidget(StringGrid->viewport());
  list->setObjectName(objectName);
  list->setFocusPolicy(Qt::NoFocus);
  list->setFrameShape(QFrame::Box);
  list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list->addItems(items);
  connect(list, &QListWidget::itemClicked, this, &TParadoxfrm::ListBoxOnMouseUp);
  placeAliasEditors();
  list->show();
  list->raise();
}

void TParadoxfrm::ListBoxOnMouseUp(QListWidgetItem* item) {
  if (!item) return;
  if (item->listWidget() == BcdList) {
    setAliasValue(kBcd, item->text(), StartAliasBcd);
    Free(BcdList);
  } else if (item->listWidget() == DriverList) {
    setAliasValue(kDriver, item->text(), StartAliasDriver);
    Free(DriverList);
  }
}

void TParadoxfrm::StringGridExit() { freeAliasEditors(); }

// Puts a chosen value into the grid; a real change enables Apply and Cancel.
void TParadoxfrm::setAliasValue(const QString& name, const QString& value, const QString& start) {
  const int row = RowOf(StringGrid, name);
  if (row < 0) return;
  StringGrid->setItem(row, 1, new QTableWidgetItem(value));
  if (pendingAliasSelected() && row < pendingAliasLines_.size())
    pendingAliasLines_[row] = name + "=" + value;
  if (value != start) setAliasEditsEnabled(true);
}

void TParadoxfrm::ApplyBtnClick() {
  QTreeWidgetItem* node = TreeView->currentItem();
  if (!node || Level(node) != 1) return;
  if (pendingAliasSelected()) {
    applyNewAlias(node);
    return;
  }
  const QString alias = node->text(0);
  if (!prompter().confirm("Save all edits to " + alias + " ?")) return;
  std::vector<engine::ConfigEntry> params;
  for (const char* name : {kPath, kBcd, kDriver})
    params.push_back({name, ValueOf(StringGrid, name).toStdString()});
  try {
    engine::TSession& session = DMF().aSession;
    session.ModifyAlias(alias.toStdString(), params);
    session.SaveConfigFile();
  } catch (const EDBEngineError& e) {
    prompter().error(Message(e));
    return;
  }
  StartAliasPath = ValueOf(StringGrid, kPath);
  StartAliasBcd = ValueOf(StringGrid, kBcd);
  StartAliasDriver = ValueOf(StringGrid, kDriver);
  setAliasEditsEnabled(false);
}

void TParadoxfrm::applyNewAlias(QTreeWidgetItem* node) {
  if (!prompter().confirm("Save alias " + PendingAliasName + " to config file?")) return;
  try {
    engine::TSession& session = DMF().aSession;
    session.AddStandardAlias(PendingAliasName.toStdString(),
                             ValueOf(StringGrid, kPath).trimmed().toStdString(),
                             ValueOf(StringGrid, kDriver).trimmed().toStdString());
    session.SaveConfigFile();
  } catch (const EDBEngineError& e) {
    prompter().error(Message(e));
    return;
  }
  PendingAliasMode = false;
  PendingAliasName.clear();
  pendingAliasLines_.clear();
  {
    const QSignalBlocker blocker(TreeView);
    SetUnsavedMark(node, false);
    node->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
    AddGroupNodes(node);
  }
  setAliasEditsEnabled(false);
  TreeViewChange(node);  // now an ordinary alias: its parameters as the session has them
}

void TParadoxfrm::CancelBtnClick() {
  QTreeWidgetItem* node = TreeView->currentItem();
  if (!node || Level(node) != 1) return;
  if (!prompter().confirm("Cancel all edits to " + node->text(0))) return;
  freeAliasEditors();
  try {
    const std::vector<std::string> names = DMF().aSession.GetAliasNames();
    const bool configured =
        std::find(names.begin(), names.end(), node->text(0).toStdString()) != names.end();
    if (!configured || pendingAliasSelected()) {
      PendingAliasMode = false;
      PendingAliasName.clear();
      pendingAliasLines_.clear();
      delete node;  // the tree selects another node and shows it
    } else {
      TreeViewChange(node);  // the parameters read again
    }
  } catch (const EDBEngineError& e) {
    prompter().error(Message(e));
  }
  setAliasEditsEnabled(false);
}
