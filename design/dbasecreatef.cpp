#include "design/dbasecreatef.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <stdexcept>

#include "app/globals.h"
#include "app/prompter.h"
#include "design/dbaseindexf.h"
#include "design/restructureloss.h"
#include "engine/dataset/dberror.h"

using design::DbaseRow;

namespace {

const char* const kNameHint =
    "Enter field name of 10 characters or less, begining with a latter. Use only A-Z, 0-9, or _.";
const char* const kTypeHint = "Right-click or press Spacebar to choose a field type.";
const char* const kCharSizeHint = "Specify a field size from 1 to 254.";
const char* const kNumberSizeHint = "Specify a field size from 1 to 20.";
const char* const kNoSizeHint = "Field size is not allowed for this field type.";
const char* const kDecHint = "Specify the number of digits after the decimal point.";
const char* const kNoDecHint = "Field type does not allow you o specify a number of digits.";

enum Column { colNumber, colName, colType, colSize, colDec };

bool IsNumberType(const QString& type) { return type == "N" || type == "F"; }

QPushButton* NewButton(const char* name, const char* caption) {
  auto* button = new QPushButton(caption);
  button->setObjectName(name);
  button->setAutoDefault(false);
  return button;
}

bool IsNameCharacter(QChar c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ' ';
}

}  // namespace

// Keys typed into a cell editor reach the roster's rules before the
// delegate's own handling (Enter commits the cell).
class DbaseRosterDelegate : public QStyledItemDelegate {
 public:
  explicit DbaseRosterDelegate(TdBaseCreateF* form) : QStyledItemDelegate(form), form_(form) {}
  bool eventFilter(QObject* editor, QEvent* event) override {
    if (event->type() == QEvent::KeyPress &&
        form_->filterKey(editor, static_cast<QKeyEvent*>(event)))
      return true;
    return QStyledItemDelegate::eventFilter(editor, event);
  }

 private:
  TdBaseCreateF* form_;
};

TdBaseCreateF::TdBaseCreateF(const QString& database, const QString& table, QWidget* parent)
    : QDialog(parent), database_(database), table_(table) {
  setObjectName("dBaseCreateF");
  buildGrid();
  buildPopup();
  HintLabel = new QLabel(kNameHint);
  HintLabel->setObjectName("HintLabel");
  HintLabel->setWordWrap(true);
  dBaseIndexF = new TdBaseIndexF(this);

  Button5 = NewButton("Button5", "Save &As...");
  CancelBtn = NewButton("CancelBtn", "Cancel");
  HelpBtn = NewButton("HelpBtn", "Help");
  connect(Button5, &QPushButton::clicked, this, &TdBaseCreateF::Button5Click);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

  auto* left = new QVBoxLayout;
  left->addWidget(FieldsGrid, 1);
  left->addWidget(HintLabel);
  auto* top = new QHBoxLayout;
  top->addLayout(left, 1);
  top->addLayout(buildSide());
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(Button5);
  buttons->addWidget(CancelBtn);
  buttons->addWidget(HelpBtn);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addLayout(buttons);
  resize(720, 420);
}

TdBaseCreateF::~TdBaseCreateF() {
  closeTable();
  if (db_) engine::CloseDatabase(db_);
}

void TdBaseCreateF::buildGrid() {
  FieldsGrid = new QTableWidget(0, 5);
  FieldsGrid->setObjectName("FieldsGrid");
  FieldsGrid->verticalHeader()->hide();
  FieldsGrid->setSelectionMode(QAbstractItemView::SingleSelection);
  FieldsGrid->setEditTriggers(QAbstractItemView::AnyKeyPressed | QAbstractItemView::DoubleClicked |
                              QAbstractItemView::EditKeyPressed);
  const int widths[] = {50, 177, 40, 60, 59};
  for (int c = 0; c < 5; ++c) FieldsGrid->setColumnWidth(c, widths[c]);
  FieldsGrid->setItemDelegate(new DbaseRosterDelegate(this));
  FieldsGrid->installEventFilter(this);
  FieldsGrid->viewport()->installEventFilter(this);
  connect(FieldsGrid, &QTableWidget::currentCellChanged, this,
          [this](int row, int column) { FieldsGridSelectCell(row, column); });
  appendRow();
}

void TdBaseCreateF::buildPopup() {
  dBasePopup = new QMenu(this);
  dBasePopup->setObjectName("dBasePopup");
  dBasePopup->addAction("Type")->setEnabled(false);
  dBasePopup->addSeparator();
  for (const char* caption : {"&Character", "&Number", "&Memo", "&Logical", "&Date", "&Float",
                              "&OLE", "&Binary"}) {
    QAction* item = dBasePopup->addAction(caption);
    connect(item, &QAction::triggered, this, [this, item] { Character1Click(item); });
    TypeItems.push_back(item);
  }
}

QLayout* TdBaseCreateF::buildSide() {
  PropertiesCB = new QComboBox;
  PropertiesCB->setObjectName("PropertiesCB");
  PropertiesCB->addItems({"Indexes", "Table language"});
  auto* propertiesLabel = new QLabel("Table &properties:");
  propertiesLabel->setBuddy(PropertiesCB);

  Button1 = NewButton("Button1", "&Define...");
  Button2 = NewButton("Button2", "&Modify...");
  Button3 = NewButton("Button3", "&Erase");
  Button4 = NewButton("Button4", "&Borrow...");
  connect(Button1, &QPushButton::clicked, this, &TdBaseCreateF::Button1Click);
  IndexesLB = new QListWidget;
  IndexesLB->setObjectName("IndexesLB");
  auto* indexPage = new QWidget;
  auto* indexButtons = new QHBoxLayout;
  for (QPushButton* b : {Button1, Button2, Button3, Button4}) indexButtons->addWidget(b);
  auto* indexLayout = new QVBoxLayout(indexPage);
  indexLayout->setContentsMargins(0, 0, 0, 0);
  indexLayout->addLayout(indexButtons);
  indexLayout->addWidget(IndexesLB);
  auto* pages = new QStackedWidget;
  pages->addWidget(indexPage);
  pages->addWidget(new QWidget);
  connect(PropertiesCB, &QComboBox::currentIndexChanged, pages, &QStackedWidget::setCurrentIndex);

  InfSizeCB = new QCheckBox("&Info size");
  InfSizeCB->setObjectName("InfSizeCB");
  InfSizeLB = new QListWidget;
  InfSizeLB->setObjectName("InfSizeLB");
  InfSizeLB->addItem(" ");
  for (int size = 8; size <= 24; ++size) InfSizeLB->addItem(QString::number(size));
  InfSizeLB->setEnabled(false);
  connect(InfSizeCB, &QCheckBox::clicked, this, &TdBaseCreateF::InfSizeCBClick);
  auto* lock = new QGroupBox("Record lock");
  auto* lockLayout = new QHBoxLayout(lock);
  lockLayout->addWidget(InfSizeCB);
  lockLayout->addWidget(InfSizeLB);
  PackCB = new QCheckBox("Pack table");
  PackCB->setObjectName("PackCB");

  auto* side = new QVBoxLayout;
  side->addWidget(propertiesLabel);
  side->addWidget(PropertiesCB);
  side->addWidget(pages, 1);
  side->addWidget(lock);
  side->addWidget(PackCB);
  return side;
}

void TdBaseCreateF::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormShow();
}

void TdBaseCreateF::done(int result) {
  FormClose();
  QDialog::done(result);
}

void TdBaseCreateF::FormShow() {
  FieldsGrid->setHorizontalHeaderLabels({"", "Field Name", "Type", "Size", "Dec"});
  if (!restructureMode()) {
    setWindowTitle("Create new dBASE table");
  } else if (!dBaseTable_) {
    Button5->setText("&Save");
    openTable();
    loadTable();
  }
  FieldsGrid->setFocus();
  FieldsGrid->setCurrentCell(0, colName);
}

void TdBaseCreateF::FormClose() {
  RestructureMode = false;
  closeTable();
}

void TdBaseCreateF::openTable() {
  if (!db_) engine::Check(engine::OpenDatabase(database_.toStdString(), db_));
  engine::Check(engine::OpenTable(db_, table_.toStdString(), "", engine::OpenMode::ReadOnly,
                                  dBaseTable_));
}

void TdBaseCreateF::closeTable() {
  if (dBaseTable_) engine::CloseCursor(dBaseTable_);
}

void TdBaseCreateF::loadTable() {
  engine::CursorProps props;
  engine::Check(engine::GetCursorProps(dBaseTable_, props));
  setWindowTitle("Restructure table \"" + table_ + "\" (dBASE " +
                 QString::number(props.tableLevel) + " table)");
  engine::Check(engine::ValidateProp(dBaseTable_, engine::kPropShowDeleted, 1));
  engine::Check(engine::SetProp(dBaseTable_, engine::kPropTranslateMode, 0));
  std::vector<engine::FieldDesc> fields;
  engine::Check(engine::GetFieldDescs(dBaseTable_, fields));
  oldFieldCount_ = static_cast<int>(fields.size());
  setRowCount(0);
  for (const engine::FieldDesc& f : fields) {
    appendRow();
    setRow(FieldsGrid->rowCount() - 1, design::DbaseRowOf(f));
  }
  if (fields.empty()) appendRow();
  std::vector<engine::IndexDesc> indexes;
  engine::Check(engine::GetIndexDescs(dBaseTable_, indexes));
  IndexesLB->clear();
  for (const engine::IndexDesc& ix : indexes) IndexesLB->addItem(QString::fromStdString(ix.tagName));
  PropertiesCB->setCurrentIndex(0);
}

// The roster's rows.

QString TdBaseCreateF::cell(int row, int column) const {
  const QTableWidgetItem* item = FieldsGrid->item(row, column);
  return item ? item->text() : QString();
}

void TdBaseCreateF::setRowCount(int rows) {
  FieldsGrid->setRowCount(rows);
  records_.resize(static_cast<std::size_t>(rows));
}

void TdBaseCreateF::appendRow() {
  const int row = FieldsGrid->rowCount();
  setRowCount(row + 1);
  for (int c = 0; c < 5; ++c) {
    auto* item = new QTableWidgetItem;
    if (c == colNumber || c == colType) item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    FieldsGrid->setItem(row, c, item);
  }
  FieldsGrid->item(row, colNumber)->setText(QString::number(row + 1));
  records_[row].fieldOp = engine::opAdd;
}

void TdBaseCreateF::deleteRow(int row) {
  if (row < 0 || row >= FieldsGrid->rowCount()) return;
  if (FieldsGrid->rowCount() == 1) {
    setRow(0, DbaseRow{});
    return;
  }
  FieldsGrid->removeRow(row);
  records_.erase(records_.begin() + row);
  for (int r = 0; r < FieldsGrid->rowCount(); ++r)
    FieldsGrid->item(r, colNumber)->setText(QString::number(r + 1));
}

void TdBaseCreateF::setRow(int row, const DbaseRow& cells) {
  FieldsGrid->item(row, colName)->setText(cells.name);
  FieldsGrid->item(row, colType)->setText(cells.type);
  FieldsGrid->item(row, colSize)->setText(cells.size);
  FieldsGrid->item(row, colDec)->setText(cells.dec);
  records_[row] = cells.record;
}

std::vector<DbaseRow> TdBaseCreateF::rosterRows() const {
  std::vector<DbaseRow> rows;
  for (int r = 0; r < FieldsGrid->rowCount(); ++r)
    rows.push_back({cell(r, colName), cell(r, colType), cell(r, colSize), cell(r, colDec),
                    records_[r]});
  return rows;
}

void TdBaseCreateF::moveRow(int from, int to) {
  std::vector<DbaseRow> rows = rosterRows();
  const int count = static_cast<int>(rows.size());
  if (from < 0 || to < 0 || from >= count || to >= count || from == to) return;
  const DbaseRow moved = rows[from];
  rows.erase(rows.begin() + from);
  rows.insert(rows.begin() + to, moved);
  for (int r = 0; r < count; ++r) setRow(r, rows[r]);
  FieldsGrid->setCurrentCell(to, colName);
}

// Hints, typing and the type menu.

void TdBaseCreateF::setHint(const QString& text) { HintLabel->setText(text); }

void TdBaseCreateF::FieldsGridSelectCell(int row, int column) {
  if (row < 0) return;
  const QString type = cell(row, colType);
  if (column == colName) setHint(kNameHint);
  if (column == colType) setHint(kTypeHint);
  if (column == colSize && !type.isEmpty())
    setHint(type == "C" ? kCharSizeHint : IsNumberType(type) ? kNumberSizeHint : kNoSizeHint);
  if (column == colDec && !type.isEmpty()) setHint(IsNumberType(type) ? kDecHint : kNoDecHint);
}

bool TdBaseCreateF::FieldsGridKeyPress(QChar& key, bool backspaceOrEnter, int nameLength) {
  if (!backspaceOrEnter) key = key.toUpper();
  if (FieldsGrid->currentColumn() != colName) return true;
  if (backspaceOrEnter) {
    setHint(kNameHint);
    return true;
  }
  if (nameLength >= 10) {
    setHint("Text will not fit in field.");
    return false;
  }
  if (!IsNameCharacter(key)) {
    setHint("Illegal character.");
    return false;
  }
  return true;
}

void TdBaseCreateF::FieldsGridKeyUp(int key, Qt::KeyboardModifiers modifiers, int rowAtPress) {
  const int row = FieldsGrid->currentRow();
  const int last = FieldsGrid->rowCount() - 1;
  if (key == Qt::Key_Down && rowAtPress == last && row == last &&
      !cell(row, colName).trimmed().isEmpty() && !cell(row, colType).isEmpty()) {
    appendRow();
    FieldsGrid->setCurrentCell(last + 1, colName);
  }
  if (key == Qt::Key_Delete && (modifiers & Qt::ControlModifier)) deleteRow(row);
}

void TdBaseCreateF::FieldsGridMouseUp(int row, int column, const QPoint& globalPos) {
  if (row < 0 || column != colType) return;
  FieldsGrid->setCurrentCell(row, colType);
  dBasePopup->popup(globalPos);
}

void TdBaseCreateF::Character1Click(QAction* item) {
  const int row = FieldsGrid->currentRow();
  if (row < 0) return;
  const QString caption = item->text();
  const QString letter = caption.mid(caption.indexOf('&') + 1, 1);
  FieldsGrid->item(row, colType)->setText(letter);
  // Size and decimals stay only where the type has them.
  if (letter != "C" && !IsNumberType(letter)) FieldsGrid->item(row, colSize)->setText("");
  if (!IsNumberType(letter)) FieldsGrid->item(row, colDec)->setText("");
  if (letter == "C" || IsNumberType(letter)) {
    FieldsGrid->setCurrentCell(row, colSize);
    setHint(letter == "C" ? kCharSizeHint : kNumberSizeHint);
  }
}

void TdBaseCreateF::InfSizeCBClick() { InfSizeLB->setEnabled(InfSizeCB->isChecked()); }

bool TdBaseCreateF::eventFilter(QObject* watched, QEvent* event) {
  QWidget* viewport = FieldsGrid->viewport();
  if (event->type() == QEvent::KeyPress && watched == FieldsGrid)
    return filterKey(watched, static_cast<QKeyEvent*>(event));
  if (event->type() == QEvent::KeyRelease && watched == FieldsGrid) {
    auto* key = static_cast<QKeyEvent*>(event);
    FieldsGridKeyUp(key->key(), key->modifiers(), rowAtPress_);
  }
  if (watched == viewport &&
      (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease)) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    const QModelIndex at = FieldsGrid->indexAt(mouse->position().toPoint());
    const bool press = event->type() == QEvent::MouseButtonPress;
    if (mouse->button() == Qt::LeftButton && press)
      dragFrom_ = at.column() == colNumber ? at.row() : -1;
    if (mouse->button() == Qt::LeftButton && !press && dragFrom_ >= 0 && at.isValid()) {
      moveRow(dragFrom_, at.row());
      dragFrom_ = -1;
    }
    if (mouse->button() == Qt::RightButton && !press)
      FieldsGridMouseUp(at.row(), at.column(), mouse->globalPosition().toPoint());
  }
  return QDialog::eventFilter(watched, event);
}

bool TdBaseCreateF::filterKey(QObject* watched, QKeyEvent* key) {
  if (retyping_) return false;
  if (watched == FieldsGrid) rowAtPress_ = FieldsGrid->currentRow();
  const int column = FieldsGrid->currentColumn();
  if (column == colType && key->key() == Qt::Key_Space && watched == FieldsGrid) {
    const QRect cellRect = FieldsGrid->visualItemRect(FieldsGrid->currentItem());
    FieldsGridMouseUp(FieldsGrid->currentRow(), column,
                      FieldsGrid->viewport()->mapToGlobal(cellRect.center()));
    return true;
  }
  const bool backspaceOrEnter = key->key() == Qt::Key_Backspace || key->key() == Qt::Key_Return ||
                                key->key() == Qt::Key_Enter;
  const QString text = key->text();
  // Ctrl+Delete deletes the row on its release; its press opens no editor.
  if (key->key() == Qt::Key_Delete && (key->modifiers() & Qt::ControlModifier))
    return watched == FieldsGrid;
  if (key->modifiers() & Qt::ControlModifier) return false;
  if (!backspaceOrEnter && (text.isEmpty() || !text[0].isPrint())) return false;
  if (column == colNumber || column == colType) return false;
  int nameLength = 0;  // a key typed into a closed cell replaces its text
  if (auto* editor = qobject_cast<QLineEdit*>(watched))
    nameLength = editor->text().size() - editor->selectedText().size();
  QChar typed = backspaceOrEnter ? QChar() : text[0];
  if (!FieldsGridKeyPress(typed, backspaceOrEnter, nameLength)) {
    QApplication::beep();
    return true;
  }
  if (backspaceOrEnter || typed == text[0]) return false;
  QKeyEvent upper(key->type(), key->key(), key->modifiers(), QString(typed));
  retyping_ = true;
  QCoreApplication::sendEvent(watched, &upper);
  retyping_ = false;
  return true;
}

// Define, create and restructure.

void TdBaseCreateF::Button1Click() {
  QStringList names;
  for (int r = 0; r < FieldsGrid->rowCount(); ++r)
    if (!cell(r, colName).trimmed().isEmpty()) names << cell(r, colName).trimmed();
  dBaseIndexF->setFieldNames(names);
  if (prompter().exec(*dBaseIndexF) != QDialog::Accepted) return;
  const engine::IndexDesc tag = dBaseIndexF->Definition();
  if (restructureMode()) {
    closeTable();
    const engine::Result r = engine::AddIndex(db_, table_.toStdString(), tag);
    const std::string message = engine::LastErrorMessage();
    openTable();
    if (r) throw EDBEngineError(r, message);
  } else {
    newTags_.push_back(tag);
  }
  IndexesLB->addItem(QString::fromStdString(tag.tagName));
}

void TdBaseCreateF::Button5Click() {
  try {
    if (restructureMode())
      restructureTable();
    else
      createTable();
  } catch (const std::invalid_argument& e) {
    prompter().error(QString::fromStdString(e.what()));
  }
}

void TdBaseCreateF::createTable() {
  if (!db_) engine::Check(engine::OpenDatabase(database_.toStdString(), db_));
  std::string directory;
  engine::Check(engine::GetDatabaseDirectory(db_, directory));
  QString path = prompter()
                     .saveFile("Save table as...", QString::fromStdString(directory),
                               "dBase Tables (*.dbf)")
                     .path;
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty()) path += ".dbf";
  const engine::TableDesc desc = design::DbaseCreateDesc(path, rosterRows(), newTags_, level_);
  if (engine::CreateTable(db_, true, desc)) {
    prompter().error("Error" + QString::fromStdString(engine::LastErrorMessage()));
    return;
  }
  accept();
}

void TdBaseCreateF::restructureTable() {
  const engine::TableDesc desc =
      design::DbaseRestructureDesc(table_, rosterRows(), oldFieldCount_);
  closeTable();
  bool go = false;
  try {
    go = design::ConfirmRestructureLoss(db_, desc, oldFieldCount_);
  } catch (...) {
    openTable();
    throw;
  }
  engine::Result r = engine::Ok;
  if (go) r = engine::RestructureTable(db_, desc);
  if (!go || r) {
    const std::string message = engine::LastErrorMessage();
    openTable();
    if (r) throw EDBEngineError(r, message);
    return;
  }
  accept();
}
