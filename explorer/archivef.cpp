#include "explorer/archivef.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScopedValueRollback>
#include <QShowEvent>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "app/dmf.h"
#include "app/prompter.h"
#include "engine/engine.h"
#include "engine/family.h"
#include "engine/indexes.h"
#include "engine/lists.h"
#include "structure/extraction.h"

namespace {

const char kNoDestination[] = "Destination table was not selected.";

QAction* AddAction(QMenu* menu, const char* name, const char* caption) {
  QAction* action = menu->addAction(caption);
  action->setObjectName(name);
  return action;
}

// The hourglass while the engine works; not while a question is shown.
struct BusyCursor {
  BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~BusyCursor() { QApplication::restoreOverrideCursor(); }
};

// The engine databases of a run, closed on every path.
struct RunDatabases {
  engine::hDBIDb destination = 0, source = 0;
  ~RunDatabases() {
    if (destination) engine::CloseDatabase(destination);
    if (source) engine::CloseDatabase(source);
  }
};

// The number of indexes of a table of the database; -1 when they cannot be
// read (the move then succeeds or fails on its own).
int IndexCount(engine::hDBIDb db, const std::string& table) {
  engine::hDBICur list = 0;
  if (engine::OpenIndexList(db, table, "PARADOX", list) != engine::Ok) return -1;
  std::uint32_t count = 0;
  const engine::Result r = engine::GetListCount(list, count);
  engine::CloseCursor(list);
  return r == engine::Ok ? static_cast<int>(count) : -1;
}

// The source table's first index when it is its primary index.
bool PrimaryIndexOf(engine::hDBIDb db, const std::string& table, engine::IndexDesc& primary) {
  engine::hDBICur list = 0;
  if (engine::OpenIndexList(db, table, "PARADOX", list) != engine::Ok) return false;
  const bool found = engine::GetNextRecord(list, primary) == engine::Ok && primary.primary;
  engine::CloseCursor(list);
  return found;
}

// Gives an unkeyed table that primary index. A Paradox primary index is
// part of the table's file, so it comes through a restructure (which opens
// the table exclusively by itself); a failure is not reported by itself:
// the move then succeeds or fails on its own.
void AddPrimaryIndex(engine::hDBIDb db, const std::string& table,
                     const engine::IndexDesc& primary) {
  engine::TableDesc desc;
  desc.tableName = table;
  desc.driverType = "PARADOX";
  desc.indexes = {primary};
  desc.indexOps = {engine::opAdd};
  engine::RestructureTable(db, desc);
}

}  // namespace

TArchiveF::TArchiveF(QWidget* parent) : QDialog(parent) {
  setObjectName("ArchiveF");
  setWindowTitle("Create backup copy");

  DBLabel = new QLabel;
  DBLabel->setObjectName("DBLabel");

  AliasesCB = new QComboBox;
  AliasesCB->setObjectName("AliasesCB");
  // Only a choice of the user's points the destination at the alias.
  connect(AliasesCB, &QComboBox::activated, this, &TArchiveF::AliasesCBChange);
  PathEdit = new QLineEdit;
  PathEdit->setObjectName("PathEdit");
  // A typed folder is a destination as well as a browsed one.
  connect(PathEdit, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (!text.isEmpty()) OKBtn->setEnabled(true);
  });
  DestinationStack = new QStackedWidget;
  DestinationStack->addWidget(AliasesCB);
  DestinationStack->addWidget(PathEdit);
  DestinationStack->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  auto* destinationLabel = new QLabel("&Destination database:");
  destinationLabel->setBuddy(DestinationStack);

  NewAliasCb = new QCheckBox("&New alias");
  NewAliasCb->setObjectName("NewAliasCb");
  connect(NewAliasCb, &QCheckBox::toggled, this, &TArchiveF::NewAliasCbClick);
  AliasNameEdit = new QLineEdit;
  AliasNameEdit->setObjectName("AliasNameEdit");
  AliasNameEdit->setAutoFillBackground(true);
  BrowseBtn = new QPushButton("&Browse...");
  BrowseBtn->setObjectName("BrowseBtn");
  BrowseBtn->setAutoDefault(false);
  connect(BrowseBtn, &QPushButton::clicked, this, &TArchiveF::BrowseBtnClick);

  TablesCLB = new QListWidget;
  TablesCLB->setObjectName("TablesCLB");
  TablesCLB->setSortingEnabled(true);
  TablesCLB->installEventFilter(this);
  TablesCLB->viewport()->installEventFilter(this);
  connect(TablesCLB, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
    if (!quiet_) TablesCLBClickCheck(item);
  });
  connect(TablesCLB, &QListWidget::currentItemChanged, this, [this] {
    if (!quiet_) TablesCLBClick();
  });
  connect(TablesCLB, &QListWidget::itemDoubleClicked, this, &TArchiveF::TablesCLBDblClick);
  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  SelectAll1 = AddAction(PopupMenu1, "SelectAll1", "&Select All");
  UnselectAll1 = AddAction(PopupMenu1, "UnselectAll1", "&Unselect All");
  RevertSelect1 = AddAction(PopupMenu1, "RevertSelect1", "&Revert selection");
  connect(SelectAll1, &QAction::triggered, this, &TArchiveF::SlctAllBtnClick);
  connect(UnselectAll1, &QAction::triggered, this, &TArchiveF::UnSlctAllBtnClick);
  connect(RevertSelect1, &QAction::triggered, this, &TArchiveF::RevertSelect1Click);
  TablesCLB->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(TablesCLB, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    PopupMenu1->popup(TablesCLB->viewport()->mapToGlobal(pos));
  });
  auto* tablesLabel = new QLabel("Tables list:");
  tablesLabel->setBuddy(TablesCLB);

  ModeRGroup = new QGroupBox("&Mode");
  ModeRGroup->setObjectName("ModeRGroup");
  ModeButtons = new QButtonGroup(this);
  auto* modeLayout = new QVBoxLayout(ModeRGroup);
  int id = 0;
  for (const char* mode : {"Append", "Update", "Append&&Update", "Copy", "Delete"}) {
    auto* button = new QRadioButton(mode);
    ModeButtons->addButton(button, id++);
    modeLayout->addWidget(button);
  }
  ModeButtons->button(0)->setChecked(true);

  OneModeCB = new QCheckBox("Different &mode for each table");
  OneModeCB->setObjectName("OneModeCB");
  connect(OneModeCB, &QCheckBox::toggled, this, &TArchiveF::OneModeCBClick);

  TblBMOptGB = new QGroupBox("Table batch move options ");
  TblBMOptGB->setObjectName("TblBMOptGB");
  BatModeCB = new QComboBox;
  BatModeCB->setObjectName("BatModeCB");
  BatModeCB->addItems({"APPEND", "UPDATE", "APPEND&UPDATE", "COPY", "DELETE"});
  connect(BatModeCB, &QComboBox::currentIndexChanged, this, [this] {
    if (!quiet_) BatModeCBChange();
  });
  TablesCB = new QComboBox;
  TablesCB->setObjectName("TablesCB");
  TablesCB->setEditable(true);
  TablesCB->setInsertPolicy(QComboBox::NoInsert);  // Enter adds (TablesCBKeyPress)
  TablesCB->lineEdit()->installEventFilter(this);
  connect(TablesCB, &QComboBox::currentTextChanged, this, [this] {
    if (!quiet_) TablesCBChange();
  });
  auto* optionsLayout = new QGridLayout(TblBMOptGB);
  optionsLayout->addWidget(new QLabel("Mode: "), 0, 0);
  optionsLayout->addWidget(BatModeCB, 0, 1);
  optionsLayout->addWidget(new QLabel("Destination table: "), 1, 0);
  optionsLayout->addWidget(TablesCB, 1, 1);
  TblBMOptGB->hide();

  DestFileLB = new QListWidget;
  DestFileLB->setObjectName("DestFileLB");
  DestFileLB->setSelectionMode(QAbstractItemView::ExtendedSelection);
  PopupMenu2 = new QMenu(this);
  PopupMenu2->setObjectName("PopupMenu2");
  Delete1 = AddAction(PopupMenu2, "Delete1", "Delete table");
  connect(Delete1, &QAction::triggered, this, &TArchiveF::Delete1Click);
  DestFileLB->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(DestFileLB, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    if (!DestFileLB->selectedItems().isEmpty())
      PopupMenu2->popup(DestFileLB->viewport()->mapToGlobal(pos));
  });
  auto* destFilesLabel = new QLabel("Destination tables list:");
  destFilesLabel->setBuddy(DestFileLB);

  // Enter belongs to the destination table box, not to a default button.
  OKBtn = new QPushButton("OK");
  OKBtn->setObjectName("OKBtn");
  OKBtn->setAutoDefault(false);
  OKBtn->setEnabled(false);
  connect(OKBtn, &QPushButton::clicked, this, &TArchiveF::OKBtnClick);
  Cancelbtn = new QPushButton("Cancel");
  Cancelbtn->setObjectName("Cancelbtn");
  Cancelbtn->setAutoDefault(false);
  connect(Cancelbtn, &QPushButton::clicked, this, &TArchiveF::CancelbtnClick);

  auto* top = new QGridLayout;
  top->addWidget(new QLabel("Source database: "), 0, 0);
  top->addWidget(DBLabel, 0, 1, 1, 2);
  top->addWidget(destinationLabel, 1, 0);
  top->addWidget(DestinationStack, 1, 1);
  top->addWidget(BrowseBtn, 1, 2);
  top->addWidget(NewAliasCb, 2, 0);
  top->addWidget(AliasNameEdit, 2, 1);
  top->setColumnStretch(1, 1);

  auto* left = new QVBoxLayout;
  left->addWidget(tablesLabel);
  left->addWidget(TablesCLB);
  auto* middle = new QVBoxLayout;
  middle->addWidget(ModeRGroup);
  middle->addWidget(OneModeCB);
  middle->addWidget(TblBMOptGB);
  middle->addStretch();
  auto* right = new QVBoxLayout;
  right->addWidget(destFilesLabel);
  right->addWidget(DestFileLB);
  auto* lists = new QHBoxLayout;
  lists->addLayout(left, 1);
  lists->addLayout(middle);
  lists->addLayout(right, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(Cancelbtn);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(lists, 1);
  layout->addLayout(buttons);

  NewAliasCbClick();
}

std::int32_t TArchiveF::ModeCode(int position) {
  switch (position) {
    case 3:
      return engine::batCopy;
    case 4:
      return engine::batSubtract;
    default:
      return position;
  }
}

int TArchiveF::ModePosition(std::int32_t code) {
  switch (code) {
    case engine::batCopy:
      return 3;
    case engine::batSubtract:
      return 4;
    default:
      return code;
  }
}

void TArchiveF::ShowFor(const QString& alias) {
  const bool shown = isVisible();
  const bool otherAlias = alias != SourceAliasName;
  SourceAliasName = alias;
  if (!shown)
    show();  // showing fills it
  else if (otherAlias)
    FormShow();
  raise();
  activateWindow();
}

void TArchiveF::showEvent(QShowEvent* event) {
  // Filled each time it comes up (the program's own events only, not a
  // restore from minimised).
  if (!event->spontaneous()) FormShow();
  QDialog::showEvent(event);
}

void TArchiveF::hideEvent(QHideEvent* event) {
  if (!event->spontaneous()) FormClose();
  QDialog::hideEvent(event);
}

void TArchiveF::FormShow() {
  const QScopedValueRollback quiet(quiet_, true);
  DBLabel->setText(SourceAliasName);

  // The session's database names: its aliases and its own databases that
  // are not directories.
  engine::TSession& session = DMF().aSession;
  std::vector<std::string> names = session.GetAliasNames();
  for (int i = 0; i < session.DatabaseCount(); ++i) {
    const std::string& name = session.Databases(i).DatabaseName();
    if (name.find('/') == std::string::npos) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  AliasesCB->clear();
  for (const std::string& name : names) AliasesCB->addItem(QString::fromStdString(name));
  AliasesCB->setCurrentIndex(-1);
  DestAliasName.clear();

  options_.clear();
  LastSelected = -1;
  TablesCLB->clear();
  QStringList tables;
  engine::hDBIDb db = 0;
  if (!SourceAliasName.isEmpty() &&
      engine::OpenDatabase(SourceAliasName.toStdString(), db) == engine::Ok) {
    structure::ListParadoxTableFiles(db, tables);
    engine::CloseDatabase(db);
  }
  for (const QString& table : tables) {
    auto* item = new QListWidgetItem(table, TablesCLB);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Unchecked);
  }
  if (TablesCLB->count() > 0) TablesCLB->setCurrentRow(0);

  DestFileLB->clear();
  destDirectory_.clear();
  TablesCB->clear();
  ModeButtons->button(0)->setChecked(true);
  BatModeCB->setCurrentIndex(0);
  showDestination(-1);
  OKBtn->setEnabled(NewAliasCb->isChecked() && !PathEdit->text().isEmpty());
}

void TArchiveF::FormClose() {
  options_.clear();
  LastSelected = -1;
}

QString TArchiveF::aliasDirectory(const QString& alias) const {
  engine::DatabaseDesc desc;
  if (engine::GetDatabaseDesc(alias.toStdString(), desc) == engine::Ok)
    return QString::fromStdString(desc.physicalPath);
  if (engine::TDatabase* db = DMF().aSession.FindDatabase(alias.toStdString()))
    return QString::fromStdString(db->Directory());
  return QString();
}

void TArchiveF::setDestinationFolder(const QString& directory, bool withTablesCB) {
  destDirectory_ = directory;
  const QStringList files =
      directory.isEmpty() ? QStringList() : QDir(directory).entryList(QDir::Files, QDir::Name);
  DestFileLB->clear();
  DestFileLB->addItems(files);
  if (!withTablesCB) return;
  // The tables' chosen destinations keep their names in the new list (a
  // name the folder lacks is a new table).
  QHash<QString, QString> chosen;
  for (auto it = options_.begin(); it != options_.end(); ++it)
    if (it->destination >= 0) chosen[it.key()] = TablesCB->itemText(it->destination);
  const QScopedValueRollback quiet(quiet_, true);
  TablesCB->clear();
  TablesCB->addItems(files);
  for (auto it = options_.begin(); it != options_.end(); ++it) {
    if (!chosen.contains(it.key())) continue;
    const QString& name = chosen[it.key()];
    int index = TablesCB->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index < 0) {
      TablesCB->addItem(name);
      index = TablesCB->count() - 1;
    }
    it->destination = index;
  }
  const TableOptions* current =
      TablesCLB->currentItem() ? optionsOf(TablesCLB->currentItem()) : nullptr;
  showDestination(current ? current->destination : -1);
}

void TArchiveF::AliasesCBChange() {
  if (AliasesCB->currentIndex() < 0) return;
  const QString alias = AliasesCB->currentText();
  setDestinationFolder(aliasDirectory(alias), true);
  OKBtn->setEnabled(true);
  DestAliasName = alias;
}

void TArchiveF::NewAliasCbClick() {
  const bool on = NewAliasCb->isChecked();
  DestinationStack->setCurrentWidget(on ? static_cast<QWidget*>(PathEdit) : AliasesCB);
  AliasNameEdit->setEnabled(on);
  BrowseBtn->setEnabled(on);
  QPalette palette = AliasNameEdit->palette();
  const QColor background = on ? QColor(Qt::white) : QColor(192, 192, 192);
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    palette.setColor(group, QPalette::Base, background);
  AliasNameEdit->setPalette(palette);
}

void TArchiveF::BrowseBtnClick() {
  const QString folder = prompter().chooseFolder("Create archive copy to...", PathEdit->text());
  if (folder.isEmpty()) return;
  PathEdit->setText(folder);
  setDestinationFolder(folder, true);
  OKBtn->setEnabled(true);
}

void TArchiveF::OneModeCBClick() {
  PerTable = OneModeCB->isChecked();
  TblBMOptGB->setVisible(PerTable);
}

const TArchiveF::TableOptions* TArchiveF::Options(const QString& table) const {
  const auto it = options_.constFind(table);
  return it == options_.cend() ? nullptr : &*it;
}

TArchiveF::TableOptions* TArchiveF::optionsOf(QListWidgetItem* item, bool create) {
  if (!item) return nullptr;
  auto it = options_.find(item->text());
  if (it != options_.end()) return &*it;
  if (!create || item->checkState() != Qt::Checked) return nullptr;
  return &*options_.insert(item->text(), {ModeCode(BatModeCB->currentIndex()), -1});
}

void TArchiveF::showDestination(int index) {
  const QScopedValueRollback quiet(quiet_, true);
  TablesCB->setCurrentIndex(index);
  if (index < 0) TablesCB->clearEditText();
}

void TArchiveF::selectQuietly(QListWidgetItem* item) {
  const QScopedValueRollback quiet(quiet_, true);
  TablesCLB->setCurrentItem(item);
}

bool TArchiveF::mayLeaveCurrent() {
  if (!PerTable) return true;
  const TableOptions* options = optionsOf(TablesCLB->currentItem());
  if (!options || options->destination >= 0) return true;
  prompter().error(kNoDestination);
  return false;
}

void TArchiveF::TablesCLBClickCheck(QListWidgetItem* item) {
  if (!PerTable) return;
  if (item->checkState() == Qt::Checked)
    options_[item->text()] = {
        ModeCode(BatModeCB->currentIndex()),
        TablesCB->findText(TablesCB->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive)};
  else
    options_.remove(item->text());
}

void TArchiveF::TablesCLBClick() {
  if (!PerTable) return;
  QListWidgetItem* item = TablesCLB->currentItem();
  if (!item) return;
  const QScopedValueRollback quiet(quiet_, true);
  if (item->checkState() == Qt::Checked) {
    const TableOptions* options = optionsOf(item);
    if (!options) {
      prompter().error(kNoDestination);
      return;
    }
    BatModeCB->setCurrentIndex(ModePosition(options->mode));
    showDestination(options->destination);
    LastSelected = TablesCLB->row(item);
    return;
  }
  QListWidgetItem* last = LastSelected >= 0 ? TablesCLB->item(LastSelected) : nullptr;
  const TableOptions* lastOptions = last ? optionsOf(last) : nullptr;
  if (last && last != item && lastOptions && lastOptions->destination < 0) {
    TablesCLB->setCurrentItem(last);
    prompter().error(kNoDestination);
    return;
  }
  BatModeCB->setCurrentIndex(0);
  showDestination(-1);
}

bool TArchiveF::eventFilter(QObject* watched, QEvent* event) {
  if (watched == TablesCLB->viewport() && event->type() == QEvent::MouseButtonPress) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    QListWidgetItem* target = TablesCLB->itemAt(mouse->position().toPoint());
    if (mouse->button() == Qt::LeftButton && target && target != TablesCLB->currentItem() &&
        !mayLeaveCurrent())
      return true;
  }
  if (watched == TablesCLB && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if ((key == Qt::Key_Up || key == Qt::Key_Down) && !mayLeaveCurrent()) return true;
  }
  if (watched == TablesCB->lineEdit() && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      TablesCBKeyPress();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TArchiveF::BatModeCBChange() {
  if (!PerTable) return;
  if (TableOptions* options = optionsOf(TablesCLB->currentItem(), true))
    options->mode = ModeCode(BatModeCB->currentIndex());
}

void TArchiveF::TablesCBChange() {
  if (!PerTable) return;
  const int index =
      TablesCB->findText(TablesCB->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (index < 0) return;
  if (TableOptions* options = optionsOf(TablesCLB->currentItem(), true))
    options->destination = index;
}

void TArchiveF::TablesCBKeyPress() {
  if (!PerTable) return;
  const QString name = TablesCB->currentText().trimmed();
  if (name.isEmpty()) return;
  int index = TablesCB->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (index < 0) {
    const QScopedValueRollback quiet(quiet_, true);
    TablesCB->addItem(name);
    index = TablesCB->count() - 1;
    TablesCB->setCurrentIndex(index);
  }
  if (TableOptions* options = optionsOf(TablesCLB->currentItem(), true))
    options->destination = index;
}

void TArchiveF::TablesCLBDblClick() {
  if (!PerTable) return;
  QListWidgetItem* item = TablesCLB->currentItem();
  if (!item || item->checkState() != Qt::Checked) return;
  const QScopedValueRollback quiet(quiet_, true);
  int index = TablesCB->findText(item->text(), Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (index < 0) {
    TablesCB->addItem(item->text());
    index = TablesCB->count() - 1;
  }
  TablesCB->setCurrentIndex(index);
  if (TableOptions* options = optionsOf(item, true)) options->destination = index;
}

void TArchiveF::setChecks(const std::function<bool(bool)>& next) {
  // Checked this way a table gets no options of its own (OKBtnClick asks
  // for them); unchecked, it loses them.
  const QScopedValueRollback quiet(quiet_, true);
  for (int i = 0; i < TablesCLB->count(); ++i) {
    QListWidgetItem* item = TablesCLB->item(i);
    const bool checked = next(item->checkState() == Qt::Checked);
    item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    if (!checked) options_.remove(item->text());
  }
}

void TArchiveF::SlctAllBtnClick() {
  setChecks([](bool) { return true; });
}

void TArchiveF::UnSlctAllBtnClick() {
  setChecks([](bool) { return false; });
}

void TArchiveF::RevertSelect1Click() {
  setChecks([](bool checked) { return !checked; });
}

void TArchiveF::Delete1Click() {
  for (QListWidgetItem* item : DestFileLB->selectedItems()) {
    const QString file = item->text();
    if (!prompter().confirm("Delete table \"" + file + "\" ?")) continue;
    DestTB.Close();
    DestTB.SetExclusive(false);
    DestTB.SetDatabaseName(destDirectory_.toStdString());
    DestTB.SetTableName(file.toStdString());
    DestTB.DeleteTable();
    delete item;
  }
}

void TArchiveF::CancelbtnClick() { close(); }

void TArchiveF::OKBtnClick() {
  if (NewAliasCb->isChecked() && (PathEdit->text().isEmpty() || AliasNameEdit->text().isEmpty())) {
    prompter().inform("Path or name of the destination database is not specified.");
    return;
  }
  if (!NewAliasCb->isChecked() && AliasesCB->currentIndex() < 0) {
    AliasesCB->setFocus();
    return;
  }
  // A table without its own mode and destination is not moved anywhere:
  // nothing is moved until every checked table has them.
  if (PerTable)
    for (int i = 0; i < TablesCLB->count(); ++i) {
      QListWidgetItem* item = TablesCLB->item(i);
      if (item->checkState() != Qt::Checked) continue;
      const TableOptions* options = optionsOf(item);
      if (options && options->destination >= 0 && options->destination < TablesCB->count())
        continue;
      selectQuietly(item);
      if (options) {
        const QScopedValueRollback quiet(quiet_, true);
        BatModeCB->setCurrentIndex(ModePosition(options->mode));
        showDestination(-1);
        LastSelected = i;
      }
      prompter().error("Choose the mode and destination table of " + item->text() + ".");
      return;
    }
  if (NewAliasCb->isChecked()) {
    engine::TSession& session = DMF().aSession;
    session.AddStandardAlias(AliasNameEdit->text().toStdString(), PathEdit->text().toStdString(),
                             "PARADOX");
    session.SaveConfigFile();
    DestAliasName = AliasNameEdit->text();
    emit aliasAdded(DestAliasName);
  } else {
    DestAliasName = AliasesCB->currentText();
  }
  BatchMode = ModeCode(ModeButtons->checkedId());
  moveTables();
}

void TArchiveF::moveTables() {
  QList<QListWidgetItem*> checked;
  for (int i = 0; i < TablesCLB->count(); ++i)
    if (TablesCLB->item(i)->checkState() == Qt::Checked) checked << TablesCLB->item(i);

  // The destination's files as they are now decide what is created.
  const QString directory =
      NewAliasCb->isChecked() ? PathEdit->text() : aliasDirectory(DestAliasName);
  setDestinationFolder(directory, false);
  const auto listed = [this](const QString& name) {
    return !DestFileLB->findItems(name, Qt::MatchExactly | Qt::MatchCaseSensitive).isEmpty();
  };

  RunDatabases dbs;
  engine::OpenDatabase(DestAliasName.toStdString(), dbs.destination);
  engine::OpenDatabase(SourceAliasName.toStdString(), dbs.source);
  for (QListWidgetItem* item : checked) {
    const QString table = item->text();
    QString destination = table;
    std::int32_t mode = BatchMode;
    if (PerTable) {
      const TableOptions& options = options_[table];
      destination = TablesCB->itemText(options.destination);
      mode = options.mode;
    }
    engine::BatchTableDesc source, dest;
    source.db = dbs.source;
    source.tableName = table.toStdString();
    dest.db = dbs.destination;
    dest.tableName = destination.toStdString();

    if (mode == engine::batCopy) {
      if (listed(destination)) prompter().error(table + "\rDestination table already exist");
    } else if (listed(destination) && IndexCount(dbs.destination, dest.tableName) == 0) {
      // A missing destination is created by MoveTable; an unkeyed one of
      // the same name may get the source's primary index.
      engine::IndexDesc primary;
      if (destination != table) {
        prompter().error(table + "\rDestination table is not indexed");
      } else if (PrimaryIndexOf(dbs.source, source.tableName, primary) &&
                 prompter().message(Prompter::Icon::Critical, QString(),
                                    table + " Destination table is not indexed\r"
                                            "Add primary index same as in source table?\r"
                                            "Some data may be Lost from destination table.",
                                    Prompter::Button::Yes | Prompter::Button::No) ==
                     Prompter::Button::Yes) {
        BusyCursor busy;
        AddPrimaryIndex(dbs.destination, dest.tableName, primary);
      }
    }

    engine::MoveOutcome outcome;
    {
      BusyCursor busy;
      outcome = engine::MoveTable(source, dest, mode);
    }
    if (outcome.result != engine::Ok) {
      prompter().error(QString::number(outcome.result) + "\r" +
                       QString::fromStdString(outcome.message));
      continue;
    }
    {
      const QScopedValueRollback quiet(quiet_, true);
      item->setCheckState(Qt::Unchecked);
    }
    setDestinationFolder(directory, false);
    prompter().inform(QString::number(outcome.moved) + " records was moved.\rTable " + table);
    options_.remove(table);
  }
}
