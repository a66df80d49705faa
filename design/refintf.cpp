#include "design/refintf.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/prompter.h"
#include "design/indexf.h"
#include "engine/family.h"
#include "engine/lists.h"
#include "engine/paradox/pxcreate.h"

namespace design {

namespace {

// A database opened for the time of one look-up.
class Database {
 public:
  explicit Database(const QString& name) { result_ = engine::OpenDatabase(name.toStdString(), db_); }
  ~Database() {
    if (db_) engine::CloseDatabase(db_);
  }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  engine::Result result() const { return result_; }
  engine::hDBIDb handle() const { return db_; }

 private:
  engine::hDBIDb db_ = 0;
  engine::Result result_ = engine::Ok;
};

class Cursor {
 public:
  ~Cursor() {
    if (cur) engine::CloseCursor(cur);
  }
  engine::hDBICur cur = 0;
};

// "CustNo[I]", "Name[A30]": a field with its type letter and size.
QString FieldLine(const engine::FieldDesc& field) {
  const char letter = engine::paradox::TypeLetterOf(engine::paradox::FieldCodeOf(field.type));
  QString size;
  if (letter == '#')
    size = QString::number(field.units2);
  else if (QString("AMBFOGY").contains(QChar(letter)))
    size = QString::number(field.units1);
  return QString::fromStdString(field.name) + "[" + QChar(letter) + size + "]";
}

}  // namespace

engine::Result ParadoxTables(const QString& database, QStringList& tables) {
  Database db(database);
  if (db.result()) return db.result();
  Cursor list;
  if (engine::Result r = engine::OpenTableList(db.handle(), false, false, "", list.cur)) return r;
  engine::TableListDesc table;
  while (engine::GetNextRecord(list.cur, table) == engine::Ok)
    if (table.driverType == "PARADOX")
      tables << QString::fromStdString(table.name + "." + table.extension);
  return engine::Ok;
}

engine::Result ReadParentKey(const QString& database, const QString& table,
                             const std::vector<std::uint16_t>& numbers, ParentKey& key) {
  key = ParentKey();
  Database db(database);
  if (db.result()) return db.result();
  Cursor parent;
  if (engine::Result r = engine::OpenTable(db.handle(), table.toStdString(), "PARADOX",
                                           engine::OpenMode::ReadOnly, parent.cur))
    return r;
  engine::CursorProps props;
  if (engine::Result r = engine::GetCursorProps(parent.cur, props)) return r;
  if (props.indexCount == 0) return engine::Ok;
  std::vector<engine::FieldDesc> fields;
  if (engine::Result r = engine::GetFieldDescs(parent.cur, fields)) return r;
  key.numbers = numbers;
  if (key.numbers.empty()) {
    engine::IndexDesc primary;
    if (engine::Result r = engine::GetIndexDesc(parent.cur, 1, primary)) return r;
    if (!primary.primary) return engine::Ok;
    key.numbers.assign(primary.keyFields.begin(), primary.keyFields.begin() + primary.fieldsInKey);
  }
  for (std::uint16_t n : key.numbers) {
    if (n < 1 || n > fields.size())
      return engine::Fail(engine::ErrInvalidIndex, table.toStdString() + " has no field " +
                                                       std::to_string(n));
    key.names << QString::fromStdString(fields[n - 1].name);
    key.lines << FieldLine(fields[n - 1]);
  }
  return engine::Ok;
}

}  // namespace design

namespace {

QToolButton* ArrowButton(Qt::ArrowType arrow, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setArrowType(arrow);
  return button;
}

void EngineError(engine::Result code) {
  prompter().error("Something error: " + QString::fromStdString(engine::LastErrorMessage()) + " " +
                   QString::number(code));
}

QVBoxLayout* Labelled(const QString& label, QWidget* widget) {
  auto* layout = new QVBoxLayout;
  layout->addWidget(new QLabel(label, widget->parentWidget()));
  layout->addWidget(widget);
  return layout;
}

}  // namespace

TRefIntF::TRefIntF(design::DesignState& state, QWidget* parent) : QDialog(parent), state_(state) {
  setWindowTitle("Referential integrity");
  FldRefIntLB = new QListWidget(this);
  TablesLB = new QListWidget(this);
  ChildLB = new QListWidget(this);
  ParentLB = new QListWidget(this);
  ChildLB->setSelectionMode(QAbstractItemView::NoSelection);
  ParentLB->setSelectionMode(QAbstractItemView::NoSelection);
  FldToChildBtn = ArrowButton(Qt::RightArrow, this);
  ReplaceChildFldBtn = ArrowButton(Qt::LeftArrow, this);
  TblToKeyBtn = ArrowButton(Qt::LeftArrow, this);
  CascadeRB = new QRadioButton("Cascade", this);
  ProhibitRB = new QRadioButton("Prohibit", this);
  StrictCB = new QCheckBox("Strict referential integrity", this);
  StrictCB->setChecked(true);
  StrictCB->setEnabled(false);
  Button1 = new QPushButton("&OK", this);
  Button2 = new QPushButton("&Cancel", this);
  HelpBtn = new QPushButton("&Help", this);
  Button1->setDefault(true);

  auto* rule = new QGroupBox("Update rule", this);
  auto* ruleLayout = new QVBoxLayout(rule);
  ruleLayout->addWidget(CascadeRB);
  ruleLayout->addWidget(ProhibitRB);
  auto* childButtons = new QVBoxLayout;
  childButtons->addWidget(FldToChildBtn);
  childButtons->addWidget(ReplaceChildFldBtn);
  auto* keys = new QHBoxLayout;
  keys->addWidget(ChildLB, 0, Qt::AlignTop);
  keys->addWidget(ParentLB, 0, Qt::AlignTop);
  auto* middle = new QVBoxLayout;
  middle->addLayout(keys);
  middle->addWidget(rule);
  middle->addWidget(StrictCB);
  middle->addStretch();
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  for (QPushButton* b : {Button1, Button2, HelpBtn}) buttons->addWidget(b);
  auto* top = new QHBoxLayout;
  top->addLayout(Labelled("Fields:", FldRefIntLB));
  top->addLayout(childButtons);
  top->addLayout(middle);
  top->addWidget(TblToKeyBtn);
  top->addLayout(Labelled("Tables:", TablesLB));
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(buttons);

  connect(FldToChildBtn, &QToolButton::clicked, this, &TRefIntF::FldToChildBtnClick);
  connect(FldRefIntLB, &QListWidget::itemDoubleClicked, this, &TRefIntF::FldToChildBtnClick);
  connect(ReplaceChildFldBtn, &QToolButton::clicked, this, &TRefIntF::ReplaceChildFldBtnClick);
  connect(TblToKeyBtn, &QToolButton::clicked, this, &TRefIntF::TblToKeyBtnClick);
  connect(TablesLB, &QListWidget::itemDoubleClicked, this, &TRefIntF::TblToKeyBtnClick);
  connect(Button1, &QPushButton::clicked, this, &TRefIntF::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
  connect(this, &QDialog::finished, this, &TRefIntF::FormClose);
}

int TRefIntF::Open(const QString& name) {
  current_ = name;
  FormShow();
  return prompter().exec(*this);
}

void TRefIntF::FormShow() {
  FormClose();
  QStringList tables;
  if (engine::Result r = design::ParadoxTables(state_.database, tables))
    EngineError(r);
  TablesLB->addItems(tables);
  for (int i = 0; i < static_cast<int>(state_.roster.rows.size()); ++i)
    FldRefIntLB->addItem(state_.roster.line(i));
  CascadeRB->setChecked(true);
  auto it = state_.links.find(current_);
  if (!current_.isEmpty() && it != state_.links.end()) LoadLink(it->second.link);
}

void TRefIntF::LoadLink(const engine::RefIntDesc& link) {
  std::vector<std::uint16_t> numbers;
  for (int i = 0; i < link.fieldCount && i < engine::kMaxKeyFields; ++i) {
    const int n = link.thisFields[i];
    if (n >= 1 && n <= static_cast<int>(state_.roster.rows.size()))
      ChildLB->addItem(state_.roster.line(n - 1));
    numbers.push_back(link.otherFields[i]);
  }
  FitHeight(ChildLB);
  const QString parent = QString::fromStdString(link.otherTable).section('/', -1).section('\\', -1);
  design::ParentKey key;
  if (engine::Result r = design::ReadParentKey(state_.database, parent, numbers, key))
    EngineError(r);
  else {
    parent_ = parent;
    ShowParent(key);
  }
  const bool cascade = link.updateRule == engine::riCascade || link.deleteRule == engine::riCascade;
  (cascade ? CascadeRB : ProhibitRB)->setChecked(true);
  const auto found = TablesLB->findItems(parent, Qt::MatchFixedString);
  if (!found.isEmpty()) TablesLB->setCurrentItem(found.first());
}

void TRefIntF::ShowParent(const design::ParentKey& key) {
  key_ = key;
  ParentLB->clear();
  ParentLB->addItems(key.lines);
  FitHeight(ParentLB);
}

void TRefIntF::ClearParent() {
  parent_.clear();
  ShowParent(design::ParentKey());
}

void TRefIntF::FitHeight(QListWidget* list) {
  const int line = list->fontMetrics().height() + 2;
  list->setFixedHeight(line * std::max(1, list->count()) + 2 * list->frameWidth());
}

void TRefIntF::TblToKeyBtnClick() {
  QListWidgetItem* item = TablesLB->currentItem();
  if (!item) return;
  ClearParent();
  design::ParentKey key;
  if (engine::Result r = design::ReadParentKey(state_.database, item->text(), {}, key)) {
    QApplication::beep();
    EngineError(r);
    return;
  }
  if (key.numbers.empty()) {
    QApplication::beep();
    prompter().error("Table is not indexed");
    return;
  }
  parent_ = item->text();
  ShowParent(key);
}

void TRefIntF::FldToChildBtnClick() {
  const int row = FldRefIntLB->currentRow();
  if (row < 0 || row >= static_cast<int>(state_.roster.rows.size())) return;
  if (state_.roster.rows[row].type == "+") {
    QApplication::beep();
    return;
  }
  const QString line = FldRefIntLB->item(row)->text();
  if (!ChildLB->findItems(line, Qt::MatchExactly).isEmpty()) return;
  if (ChildLB->count() >= ParentLB->count()) return;
  ChildLB->addItem(line);
  FitHeight(ChildLB);
}

void TRefIntF::ReplaceChildFldBtnClick() {
  delete ChildLB->takeItem(ChildLB->count() - 1);
  FitHeight(ChildLB);
}

bool TRefIntF::BuildRefIntDesc(const QString& name, engine::RefIntDesc& link) {
  const int count = ChildLB->count();
  if (parent_.isEmpty() || count == 0 || count != static_cast<int>(key_.numbers.size()) ||
      count > engine::kMaxKeyFields)
    return false;
  design::Database db(state_.database);
  std::string directory;
  if (db.result() || engine::GetDatabaseDirectory(db.handle(), directory)) return false;
  link = engine::RefIntDesc();
  link.name = name.toStdString();
  link.kind = engine::riDependent;
  link.deleteRule = engine::riRestrict;
  link.updateRule = CascadeRB->isChecked() ? engine::riCascade : engine::riRestrict;
  link.fieldCount = static_cast<std::uint16_t>(count);
  for (int i = 0; i < count; ++i) {
    const auto found = FldRefIntLB->findItems(ChildLB->item(i)->text(), Qt::MatchExactly);
    if (found.isEmpty()) return false;
    link.thisFields[i] = static_cast<std::uint16_t>(1 + FldRefIntLB->row(found.first()));
    link.otherFields[i] = key_.numbers[i];
  }
  link.otherTable = directory + "/" + parent_.toStdString();
  return true;
}

void TRefIntF::Button1Click() {
  const std::optional<QString> name =
      design::AskName("Save Referential Integrity As", "Referential integrity name:", current_);
  if (!name) return;
  const QString chosen = name->trimmed();
  auto same = state_.links.find(chosen);
  const bool taken = same != state_.links.end() && chosen != current_ &&
                     same->second.op != engine::opDrop;
  engine::RefIntDesc link;
  if (chosen.isEmpty() || taken || !BuildRefIntDesc(chosen, link)) {
    prompter().error("Referential integrity not formed");
    return;
  }
  Store(chosen, link);
  accept();
}

void TRefIntF::Store(const QString& name, const engine::RefIntDesc& link) {
  design::DesignRefIntList& list = state_.links;
  design::RefIntRow row;
  if (auto old = list.find(current_); !current_.isEmpty() && old != list.end()) {
    row = old->second;
    list.erase(old);
  } else if (auto dropped = list.find(name); dropped != list.end()) {
    row = dropped->second;  // a link dropped in this session comes back
    list.erase(dropped);
  }
  row.link = link;
  row.link.number = row.loadedLink.number;
  // A renamed loaded link is saved as the old one dropped and the new one added.
  const bool same = !row.loadedLink.name.empty() && row.loadedLink.name == link.name;
  row.op = state_.restructure && same ? engine::opModify : engine::opAdd;
  list[name] = row;
}

void TRefIntF::FormClose() {
  FldRefIntLB->clear();
  TablesLB->clear();
  ChildLB->clear();
  FitHeight(ChildLB);
  ClearParent();
}
