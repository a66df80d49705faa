// The "Data" page: the grid over the browsed table, its record navigator and
// the deleted-record buttons, and the table commands that act on the
// browsed table as a whole (empty, copy, pack).
#include <QAbstractItemDelegate>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cmath>
#include <functional>
#include <optional>

#include "app/dmf.h"
#include "app/globals.h"
#include "app/prompter.h"
#include "engine/dataset/dberror.h"
#include "engine/family.h"
#include "engine/lists.h"
#include "engine/valchecks.h"
#include "explorer/datagrid.h"
#include "explorer/griddialogs.h"
#include "explorer/paradoxfrm.h"
#include "explorer/backupf.h"
#include "explorer/blobf.h"
#include "explorer/treenodes.h"

namespace {

QString Message(const std::exception& e) { return QString::fromUtf8(e.what()); }

// The navigator's buttons: object name, face, hint.
struct NavButton {
  const char* name;
  const char* face;
  const char* hint;
};
const NavButton kNavButtons[] = {
    {"NavFirst", "|<", "Begin"},   {"NavPrior", "<", "Previos"}, {"NavNext", ">", "Next"},
    {"NavLast", ">|", "End"},      {"NavInsert", "+", "Insert"}, {"NavDelete", "-", "Delete"},
    {"NavEdit", "^", "Edit"},      {"NavPost", "\u2713", "Post"}, {"NavCancel", "x", "Cancel"},
    {"NavRefresh", "\u21bb", "Refresh"},
};

// Runs `work` on a database handle of our own on `database` (an alias or a
// directory), closed afterwards; a failure raises EDBEngineError.
void OnPrivateDatabase(const std::string& database,
                       const std::function<engine::Result(engine::hDBIDb)>& work) {
  engine::hDBIDb db = 0;
  engine::Check(engine::OpenDatabase(database, db));
  const engine::Result r = work(db);
  const std::string why = engine::LastErrorMessage();
  engine::CloseDatabase(db);
  if (r != engine::Ok) throw EDBEngineError(r, why);
}

std::string DriverOf(engine::TTable& table) {
  engine::CursorProps props;
  engine::Check(engine::GetCursorProps(table.Handle(), props));
  return props.driverType;
}

}  // namespace

void TParadoxfrm::buildDataPage() {
  TabSheet2 = new QWidget;
  TabSheet2->setObjectName("TabSheet2");
  buildNavigator();
  ShowDelBtn = new QPushButton("Show deleted records");
  ShowDelBtn->setObjectName("ShowDelBtn");
  ShowDelBtn->setCheckable(true);
  UnDelBtn = new QPushButton("Undelete");
  UnDelBtn->setObjectName("UnDelBtn");
  UnDelBtn->hide();
  auto* orderBtn = new QToolButton;
  orderBtn->setObjectName("OrderBtn");
  orderBtn->setText("Order");
  orderBtn->setToolTip("Order");
  auto* filterBtn = new QToolButton;
  filterBtn->setObjectName("FilterBtn");
  filterBtn->setText("Filter");
  filterBtn->setToolTip("Filter");
  connect(orderBtn, &QToolButton::clicked, this, &TParadoxfrm::Order1Click);
  connect(filterBtn, &QToolButton::clicked, this, &TParadoxfrm::Filter1Click);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(orderBtn);
  buttons->addWidget(filterBtn);
  buttons->addWidget(ShowDelBtn);
  buttons->addWidget(UnDelBtn);
  buttons->addStretch();
  buttons->addWidget(MainDBNav);
  DBGrid1 = new QTableView;
  DBGrid1->setObjectName("DBGrid1");
  DBGrid1->verticalHeader()->setDefaultSectionSize(20);
  DBGrid1->setSelectionBehavior(QAbstractItemView::SelectItems);
  DBGrid1->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                           QAbstractItemView::AnyKeyPressed);
  GridModel = new TableGridModel(DMF().aTable, this);
  DBGrid1->setModel(GridModel);
  connect(DBGrid1->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current) { gridRowChanged(current.row()); });
  connect(DBGrid1->selectionModel(), &QItemSelectionModel::currentColumnChanged, this,
          [this] { DBGrid1ColEnter(); });
  DBGrid1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(DBGrid1, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    if (GridPopup) GridPopup->popup(DBGrid1->viewport()->mapToGlobal(pos));
  });
  DBGrid1->installEventFilter(this);
  connect(GridModel, &TableGridModel::editRefused, this, &TParadoxfrm::gridEditRefused);
  BLOBF = new TBLOBF(DMF().aTable, DBGrid1, this);
  connect(BLOBF, &TBLOBF::valueWritten, GridModel, &TableGridModel::refreshValues);
  auto* layout = new QVBoxLayout(TabSheet2);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addLayout(buttons);
  layout->addWidget(DBGrid1);
}

// The grid outlives this class's part of the window: an open cell editor
// commits (and may be refused) while the base class closes the window, and
// nothing of that may reach this class's handlers any more.
TParadoxfrm::~TParadoxfrm() {
  GridModel->disconnect(this);
  DBGrid1->selectionModel()->disconnect(this);
  BLOBF->disconnect(this);
}

void TParadoxfrm::buildNavigator() {
  MainDBNav = new QWidget;
  MainDBNav->setObjectName("MainDBNav");
  auto* row = new QHBoxLayout(MainDBNav);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(1);
  for (const NavButton& b : kNavButtons) {
    auto* button = new QToolButton;
    button->setObjectName(b.name);
    button->setText(QString::fromUtf8(b.face));
    button->setToolTip(b.hint);
    row->addWidget(button);
    const QString name = b.name;
    connect(button, &QToolButton::clicked, this, [this, name] { navigate(name); });
  }
}

void TParadoxfrm::wireDataCommands() {
  connect(ShowDelBtn, &QPushButton::clicked, this, &TParadoxfrm::ShowDelBtnClick);
  connect(UnDelBtn, &QPushButton::clicked, this, &TParadoxfrm::UnDelBtnClick);
  const auto on = [this](const char* name, void (TParadoxfrm::*slot)()) {
    QAction* action = command(name);
    disconnect(action, &QAction::triggered, this, nullptr);
    connect(action, &QAction::triggered, this, slot);
  };
  for (const char* name : {"EmptyTable1", "TableEmptyPopup"}) on(name, &TParadoxfrm::Empty1Click);
  for (const char* name : {"CopyTable1", "TableCopyPopup"}) on(name, &TParadoxfrm::Copy2Click);
  for (const char* name : {"PackTable1", "TablePackPopup"}) on(name, &TParadoxfrm::Pack1Click);
  on("Order1", &TParadoxfrm::Order1Click);
  on("Filter1", &TParadoxfrm::Filter1Click);
  on("Round1", &TParadoxfrm::Round1Click);
  on("ExporttoCSV1", &TParadoxfrm::ExporttoCSV1Click);
  on("Removelookuplinks1", &TParadoxfrm::Removelookuplinks1Click);
  on("Empty1", &TParadoxfrm::Deletetables1Click);
  on("EmptyDatabasePopup", &TParadoxfrm::Deletetables1Click);
}

// ---- The grid ----

void TParadoxfrm::bindDataGrid() {
  GridModel->reload();
  ShowDelBtn->setChecked(false);
  UnDelBtn->hide();
  if (DMF().aTable.Active()) {
    if (GridModel->rowCount() > 0) goToGridRow(0);
    gridRowChanged(currentGridRow());
  }
  DBGrid1ColEnter();
}

int TParadoxfrm::currentGridRow() const {
  const QModelIndex current = DBGrid1->currentIndex();
  return current.isValid() ? current.row() : -1;
}

void TParadoxfrm::goToGridRow(int row) {
  GridModel->reach(row);
  row = std::min(row, GridModel->rowCount() - 1);
  if (row < 0) return;
  const int column = std::max(0, DBGrid1->currentIndex().column());
  const QModelIndex target = GridModel->index(row, column);
  DBGrid1->setCurrentIndex(target);
  DBGrid1->scrollTo(target);
}

// The table follows the grid's current row; status panel 0 tells its number.
void TParadoxfrm::gridRowChanged(int row) {
  engine::TTable& table = DMF().aTable;
  if (!table.Active() || GridModel->cancelling()) return;
  BLOBF->CommitText();  // typed for the record being left
  try {
    if (GridModel->inserting() && row != GridModel->insertRow()) {
      // Leaving the new record posts it, as a grid does; a refusal brings
      // the user back to it.
      try {
        GridModel->postNewRow();
      } catch (const std::exception& e) {
        QTimer::singleShot(0, this, [this] { goToGridRow(GridModel->insertRow()); });
        prompter().error(Message(e));
        return;
      }
      QTimer::singleShot(0, this, [this, row] { goToGridRow(row); });
      return;
    }
    if (row >= 0 && !GridModel->inserting())
      GridModel->rows().GoTo(static_cast<std::uint32_t>(row));
  } catch (const EDBEngineError& e) {
    setPanelText(2, Message(e));
  }
  BLOBF->RecordChanged();
  if (gridEntered_) setPanelText(0, "Record No.:" + QString::number(table.RecNo()));
}

void TParadoxfrm::DBGrid1ColEnter() {
  const int column = DBGrid1->currentIndex().column();
  engine::TTable& table = DMF().aTable;
  bool number = false;
  if (table.Active() && column >= 0 && column < table.FieldCount()) {
    switch (table.Fields(column).DataType()) {
      case engine::pxShort: case engine::pxNumber: case engine::pxMoney:
      case engine::dbNumber: case engine::dbFloat: case engine::dbDouble:
        number = true;
        break;
      default:
        break;
    }
  }
  command("Round1")->setEnabled(number);
  BLOBF->FollowColumn(column);
}

void TParadoxfrm::showTableRecord() {
  std::optional<std::uint32_t> row;
  while (!(row = GridModel->rows().CurrentRow()) && GridModel->canFetchMore(QModelIndex())) {
    const int before = GridModel->rowCount();
    GridModel->fetchMore(QModelIndex());
    if (GridModel->rowCount() == before && GridModel->canFetchMore(QModelIndex())) break;
  }
  if (row) goToGridRow(static_cast<int>(*row));
}

void TParadoxfrm::Order1Click() {
  if (!DMF().aTable.Active()) return;
  if (!OrderF) OrderF = new TOrderF(DMF().aTable, this);
  prompter().exec(*OrderF);
  delete OrderF;  // freed when closed; its destructor clears the reference
  GridModel->reload();
  showTableRecord();
}

void TParadoxfrm::Filter1Click() {
  if (!DMF().aTable.Active()) return;
  if (!FilterF) FilterF = new TFilterF(DMF().aTable, this);
  prompter().exec(*FilterF);
  delete FilterF;
  GridModel->reload();
  showTableRecord();
}

void TParadoxfrm::openFindDialog() {
  const int column = DBGrid1->currentIndex().column();
  if (!DMF().aTable.Active() || column < 0) return;
  DBFindDialog = new TDBFindDialog(DMF().aTable, column, [this] { showTableRecord(); }, this);
  DBFindDialog->show();
}

// Halves go to the even neighbour; the value is taken as a currency of four
// decimal places, so 2.355 rounds to 2.36 and 2.345 to 2.34.
static double RoundCurrency(double value, int digits) {
  if (digits >= 4 || digits < 0) return value;
  const long long units = std::llround(value * 10000.0);
  long long divisor = 1;
  for (int i = digits; i < 4; ++i) divisor *= 10;
  long long quotient = units / divisor, rest = units % divisor;
  if (rest < 0) {
    rest = -rest;
    if (2 * rest > divisor || (2 * rest == divisor && quotient % 2 != 0)) --quotient;
  } else if (2 * rest > divisor || (2 * rest == divisor && quotient % 2 != 0)) {
    ++quotient;
  }
  return static_cast<double>(quotient * divisor) / 10000.0;
}

void TParadoxfrm::Round1Click() {
  engine::TTable& table = DMF().aTable;
  const int column = DBGrid1->currentIndex().column();
  if (!table.Active() || column < 0 || column >= table.FieldCount()) return;
  const std::uint16_t type = table.Fields(column).DataType();
  const bool rounds = type == engine::pxNumber || type == engine::pxMoney ||
                      type == engine::dbNumber || type == engine::dbFloat ||
                      type == engine::dbDouble;
  const std::optional<QString> answer = prompter().input("Round field", "Digits after point", "2", false);
  if (!answer || !rounds) return;
  bool ok = false;
  const int digits = answer->trimmed().toInt(&ok);
  if (!ok) {
    prompter().error("'" + *answer + "' is not a valid integer value");
    return;
  }
  const std::uint32_t here = table.RecNo();
  const QString status = panelText(1);
  const std::uint32_t step = table.RecordCount() / 20;
  ProgressBar->setMaximum(20);
  ProgressBar->setValue(0);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  std::uint32_t count = 0;
  try {
    for (table.First(); !table.Eof(); table.Next()) {
      engine::TField& field = table.Fields(column);
      if (!field.IsNull()) {
        table.Edit();
        field.SetValue(RoundCurrency(field.AsFloat(), digits));
        table.Post();
      }
      if (step > 0 && ++count == step) {
        ProgressBar->setValue(ProgressBar->value() + 1);
        setPanelText(1, "Records treated: " + QString::number(table.RecNo()));
        count = 0;
      }
    }
  } catch (const std::exception& e) {
    if (table.GetState() == engine::TTable::State::Edit) table.Cancel();
    prompter().error(Message(e));
  }
  QApplication::restoreOverrideCursor();
  ProgressBar->setValue(0);
  setPanelText(1, status);
  if (here) table.SetRecNo(here);
  GridModel->refreshValues();
}

void TParadoxfrm::DBGrid1Enter() {
  gridEntered_ = true;
  gridRowChanged(currentGridRow());
}

// The engine refused a value typed into a cell: its message, then the cell
// opens again with the text typed, to be corrected.
void TParadoxfrm::gridEditRefused(const QModelIndex& index, const QString& text,
                                  const QString& message) {
  QTimer::singleShot(0, this, [this, index, text, message] {
    prompter().error(message);
    if (!index.isValid() || index.row() >= GridModel->rowCount()) return;
    DBGrid1->setCurrentIndex(index);
    DBGrid1->edit(index);
    if (auto* editor = qobject_cast<QLineEdit*>(DBGrid1->indexWidget(index)))
      editor->setText(text);
  });
}

void TParadoxfrm::navigate(const QString& button) {
  engine::TTable& table = DMF().aTable;
  if (!table.Active()) return;
  const int row = currentGridRow();
  QWidget* editor = DBGrid1->currentIndex().isValid() ? DBGrid1->indexWidget(DBGrid1->currentIndex())
                                                      : nullptr;
  try {
    if (button == "NavFirst") {
      goToGridRow(0);
    } else if (button == "NavPrior") {
      goToGridRow(std::max(0, row - 1));
    } else if (button == "NavNext") {
      goToGridRow(row + 1);
    } else if (button == "NavLast") {
      goToGridRow(INT_MAX);
    } else if (button == "NavInsert") {
      if (GridModel->inserting()) return;
      GridModel->beginNewRow();
      goToGridRow(GridModel->insertRow());
    } else if (button == "NavDelete") {
      if (row < 0 || GridModel->inserting()) return;
      if (!prompter().confirm("Delete record?")) return;
      GridModel->rows().GoTo(static_cast<std::uint32_t>(row));
      table.Delete();
      GridModel->reload();
      goToGridRow(row);
    } else if (button == "NavEdit") {
      if (DBGrid1->currentIndex().isValid()) DBGrid1->edit(DBGrid1->currentIndex());
    } else if (button == "NavPost") {
      if (editor) {
        DBGrid1->itemDelegate()->setModelData(editor, GridModel, DBGrid1->currentIndex());
        QMetaObject::invokeMethod(DBGrid1, "closeEditor", Q_ARG(QWidget*, editor),
                                  Q_ARG(QAbstractItemDelegate::EndEditHint,
                                        QAbstractItemDelegate::NoHint));
      }
      if (GridModel->inserting()) {
        GridModel->postNewRow();
        if (auto at = GridModel->rows().CurrentRow()) goToGridRow(static_cast<int>(*at));
      }
    } else if (button == "NavCancel") {
      if (editor)
        QMetaObject::invokeMethod(DBGrid1, "closeEditor", Q_ARG(QWidget*, editor),
                                  Q_ARG(QAbstractItemDelegate::EndEditHint,
                                        QAbstractItemDelegate::RevertModelCache));
      if (GridModel->inserting()) {
        GridModel->cancelNewRow();
        goToGridRow(std::min(row, GridModel->rowCount() - 1));
      }
    } else if (button == "NavRefresh") {
      table.Refresh();
      GridModel->reload();
      if (auto at = GridModel->rows().CurrentRow()) goToGridRow(static_cast<int>(*at));
    }
  } catch (const std::exception& e) {
    prompter().error(Message(e));
  }
}

// ---- Deleted dBASE records ----

void TParadoxfrm::ShowDelBtnClick(bool pressed) {
  engine::TTable& table = DMF().aTable;
  if (!table.Active()) return;
  (void)engine::SetProp(table.Handle(), engine::kPropShowDeleted, pressed ? 1 : 0);
  engine::ClearLastError();
  UnDelBtn->setVisible(pressed);
  try {
    table.Refresh();
  } catch (const std::exception& e) {
    prompter().error(Message(e));
  }
  GridModel->reload();
  if (auto at = GridModel->rows().CurrentRow()) goToGridRow(static_cast<int>(*at));
}

void TParadoxfrm::UnDelBtnClick() {
  engine::TTable& table = DMF().aTable;
  if (!table.Active()) return;
  const int row = currentGridRow();
  try {
    engine::Check(engine::SetProp(table.Handle(), engine::kPropShowDeleted, 1));
    if (!ShowDelBtn->isChecked()) {  // the deleted records have just come into view
      ShowDelBtn->setChecked(true);
      UnDelBtn->show();
      GridModel->reload();
      if (auto at = GridModel->rows().CurrentRow()) goToGridRow(static_cast<int>(*at));
    } else if (row >= 0) {
      GridModel->rows().GoTo(static_cast<std::uint32_t>(row));
    }
    const engine::Result r = engine::UndeleteRecord(table.Handle());
    const QString text = QString::fromStdString(engine::LastErrorMessage());
    table.Refresh();
    GridModel->refreshValues();
    if (r != engine::Ok) prompter().error("Engine Error: " + text.left(128));
  } catch (const std::exception& e) {
    prompter().error(Message(e));
  }
}

// ---- Whole-table commands ----

bool TParadoxfrm::tableSelected() const {
  const QTreeWidgetItem* node = TreeView->currentItem();
  return node && tree::IsTableNode(node) && DMF().aTable.Active();
}

void TParadoxfrm::reopenTable() {
  engine::TTable& table = DMF().aTable;
  table.Close();
  table.SetExclusive(false);
  try {
    table.Open();
    std::uint32_t count = 0;
    engine::Check(engine::GetRecordCount(table.Handle(), count));
    setPanelText(1, "Records count: " + QString::number(count));
  } catch (const std::exception& e) {
    prompter().error(Message(e));
  }
  bindDataGrid();
}

void TParadoxfrm::Empty1Click() {
  if (!tableSelected()) return;
  if (prompter().message(Prompter::Icon::Warning, QString(),
                         "All records will be deleted.\rContinue ?",
                         QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel) !=
      QMessageBox::Yes)
    return;
  engine::TTable& table = DMF().aTable;
  try {
    table.Close();
    table.SetExclusive(true);
    table.Open();
    table.EmptyTable();
    table.Close();
  } catch (const std::exception& e) {
    prompter().error(Message(e));
  }
  reopenTable();
}

void TParadoxfrm::Copy2Click() {
  if (!tableSelected()) return;
  engine::TTable& table = DMF().aTable;
  const Prompter::FileChoice choice = prompter().saveFile(
      "Save File To", QString(), "Paradox tables (*.db);;dBase tables (*.dbf)");
  if (choice.path.isEmpty()) return;
  QString target = QDir::toNativeSeparators(choice.path);
  if (QFileInfo(target).suffix().isEmpty())
    target += choice.filter.contains("dbf", Qt::CaseInsensitive) ? ".dbf" : ".db";
  // The engine copies a table that nobody has open.
  std::string driver;
  try {
    driver = DriverOf(table);
  } catch (const std::exception& e) {
    prompter().error(Message(e));
    return;
  }
  const std::string source = table.TablePath();
  table.Close();
  try {
    OnPrivateDatabase(table.DatabaseName(), [&](engine::hDBIDb db) -> engine::Result {
      const std::string to = target.toStdString();
      const engine::Result r = engine::CopyTable(db, false, source, driver, to);
      if (r != engine::ErrDestinationExists) return r;
      engine::ClearLastError();
      if (prompter().message(Prompter::Icon::Warning, QString(),
                             "Table \"" + target + "\" is already exists.\rOverwrite it ?",
                             QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return engine::Ok;
      return engine::CopyTable(db, true, source, driver, to);
    });
  } catch (const std::exception& e) {
    prompter().error(Message(e));
  }
  reopenTable();
}

// Both drivers pack through the engine: a dBASE table loses its records
// marked deleted, a Paradox table is rebuilt compact.
void TParadoxfrm::Pack1Click() {
  if (!tableSelected()) return;
  engine::TTable& table = DMF().aTable;
  const std::string database = table.DatabaseName();
  const std::string path = table.TablePath();
  table.Close();
  try {
    OnPrivateDatabase(database, [&](engine::hDBIDb db) { return engine::PackTable(db, path); });
  } catch (const std::exception& e) {
    prompter().error(Message(e));
  }
  reopenTable();
}

void TParadoxfrm::copyGridSelection() {
  const QModelIndexList cells = DBGrid1->selectionModel()->selectedIndexes();
  if (cells.isEmpty()) return;
  int top = INT_MAX, bottom = -1, left = INT_MAX, right = -1;
  for (const QModelIndex& c : cells) {
    top = std::min(top, c.row());
    bottom = std::max(bottom, c.row());
    left = std::min(left, c.column());
    right = std::max(right, c.column());
  }
  const auto clean = [](QString text) {
    return text.replace('\t', ' ').replace('\r', ' ').replace('\n', ' ');
  };
  QStringList lines, header;
  for (int c = left; c <= right; ++c)
    header << clean(GridModel->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
  lines << header.join('\t');
  for (int r = top; r <= bottom; ++r) {
    QStringList line;
    for (int c = left; c <= right; ++c) {
      const QModelIndex cell = GridModel->index(r, c);
      line << (DBGrid1->selectionModel()->isSelected(cell) ? clean(cell.data(Qt::EditRole).toString())
                                                           : QString());
    }
    lines << line.join('\t');
  }
  QApplication::clipboard()->setText(lines.join('\n') + '\n');
}

// ---- All tables of an alias ----

void TParadoxfrm::Deletetables1Click() {
  QTreeWidgetItem* alias = TreeView->currentItem();
  if (!alias || tree::Level(alias) != 1) return;
  alias->setExpanded(true);
  QTreeWidgetItem* tables = tree::Child(alias, tree::kTables);
  if (!tables) return;
  tables->setExpanded(true);
  const QString name = alias->text(0);
  if (prompter().message(Prompter::Icon::Question, QString(),
                         "Delete " + QString::number(tables->childCount()) + " tables from \"" +
                             name + "\" ?",
                         QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel) !=
      QMessageBox::Yes)
    return;
  const auto answer = prompter().message(
      Prompter::Icon::Warning, QString(),
      "All data will be lost.\rWould You like to make backup copies?",
      QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
  if (answer == QMessageBox::Yes) {
    Backupcopies1Click();
    return;
  }
  if (answer != QMessageBox::No) return;
  DMF().aTable.Close();
  engine::hDBIDb db = 0;
  if (engine::OpenDatabase(name.toStdString(), db) != engine::Ok) {
    prompter().error(QString::fromStdString(engine::LastErrorMessage()));
    return;
  }
  // A table that cannot go (in use elsewhere) keeps its node; the others
  // are named in one message at the end.
  QStringList kept;
  for (int i = tables->childCount() - 1; i >= 0; --i) {
    QTreeWidgetItem* table = tables->child(i);
    if (engine::DeleteTable(db, table->text(0).toStdString(), "") == engine::Ok) {
      delete table;
    } else {
      kept.prepend(table->text(0) + ": " + QString::fromStdString(engine::LastErrorMessage()));
      engine::ClearLastError();
    }
  }
  engine::CloseDatabase(db);
  if (!kept.isEmpty()) prompter().error("These tables were not deleted:\n" + kept.join('\n'));
}

// ---- Lookup links ----

void TParadoxfrm::Removelookuplinks1Click() {
  engine::TTable& table = DMF().aTable;
  if (!table.Active()) return;
  engine::TableDesc desc;
  QString lookup;
  try {
    desc.driverType = DriverOf(table);
    desc.tableName = table.TablePath();
    engine::TDatabase* db = DMF().aSession.FindDatabase(table.DatabaseName());
    engine::hDBICur list = 0;
    engine::Check(engine::OpenValCheckList(db ? db->Handle() : 0, desc.tableName, "", list));
    engine::ValCheckDesc check;
    while (engine::GetNextRecord(list, check) == engine::Ok) {
      if (check.lookupTable.empty()) continue;
      lookup = QString::fromStdString(check.lookupTable);
      check.lookupTable.clear();
      check.lookupType = 0;
      desc.checks.push_back(check);
      desc.checkOps.push_back(engine::opModify);
    }
    engine::ClearLastError();
    engine::CloseCursor(list);
  } catch (const std::exception& e) {
    prompter().error(Message(e));
    return;
  }
  if (desc.checks.empty()) {
    prompter().inform("Table don't contain any links.");
    return;
  }
  if (prompter().message(Prompter::Icon::Question, QString(),
                         "Table links to \"" + lookup + "\". Disable link?",
                         QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
    const std::string database = table.DatabaseName();
    table.Close();
    try {
      OnPrivateDatabase(database,
                        [&](engine::hDBIDb db) { return engine::RestructureTable(db, desc); });
    } catch (const std::exception& e) {
      prompter().error(Message(e));
    }
  }
  reopenTable();
}
