#include "design/fieldroster.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <algorithm>

#include "app/prompter.h"
#include "design/fieldrules.h"
#include "design/valcheckpanel.h"

namespace design {

namespace {

constexpr int kColumnWidths[] = {20, 213, 33, 48, 30};

// The grid's in-place editor: every keystroke goes to StringGrid1SetEditText
// (which writes the cell as the user types), and the cell's own text does
// not reset an editor that already shows it.
class RosterDelegate : public QStyledItemDelegate {
 public:
  RosterDelegate(FieldRoster* roster, QObject* parent) : QStyledItemDelegate(parent), roster_(roster) {}

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override {
    QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
    if (auto* line = qobject_cast<QLineEdit*>(editor)) {
      const int column = index.column();
      const QPersistentModelIndex at(index);
      FieldRoster* roster = roster_;
      QObject::connect(line, &QLineEdit::textEdited, line, [roster, line, at, column](const QString& t) {
        if (at.isValid()) roster->StringGrid1SetEditText(column, at.row() + 1, t, line);
      });
    }
    return editor;
  }

  void setEditorData(QWidget* editor, const QModelIndex& index) const override {
    if (auto* line = qobject_cast<QLineEdit*>(editor))
      if (line->text() == index.data(Qt::EditRole).toString()) return;
    QStyledItemDelegate::setEditorData(editor, index);
  }

 private:
  FieldRoster* roster_;
};

bool Printable(const QKeyEvent* e) {
  return !e->text().isEmpty() && e->text().at(0).isPrint() &&
         !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
}

}  // namespace

// ---------------------------------------------------------------- the grid

RosterGrid::RosterGrid(FieldRoster* roster) : QTableWidget(roster), roster_(roster) {
  setObjectName("StringGrid1");
}

QModelIndex RosterGrid::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
  const QModelIndex from = currentIndex();
  QModelIndex to = QTableWidget::moveCursor(action, modifiers);
  if (!to.isValid() || to == from) return to;
  if (to.column() == FieldRoster::NumberCol) return from;  // the fixed column
  if (!roster_->StringGrid1SelectCell(to.column(), to.row() + 1)) return from;
  return to;
}

void RosterGrid::keyPressEvent(QKeyEvent* event) {
  if (roster_->StringGrid1KeyDown(event)) return event->accept();
  const int column = currentColumn();
  if (Printable(event) && column != FieldRoster::NameCol && column != FieldRoster::SizeCol) {
    // Type keys choose a type; no other column searches by letter.
    if (column == FieldRoster::TypeCol && event->key() != Qt::Key_Space)
      roster_->StringGrid1KeyPress(event->text().at(0));
    return event->accept();
  }
  if (event->key() == Qt::Key_Delete && (event->modifiers() & Qt::ControlModifier))
    return event->accept();  // acts on release
  QTableWidget::keyPressEvent(event);
}

void RosterGrid::keyReleaseEvent(QKeyEvent* event) {
  if (!event->isAutoRepeat()) roster_->StringGrid1KeyUp(event);
  QTableWidget::keyReleaseEvent(event);
}

void RosterGrid::mousePressEvent(QMouseEvent* event) {
  const QModelIndex at = indexAt(event->position().toPoint());
  if (event->button() == Qt::RightButton) {  // the type menu opens on release
    setFocus(Qt::MouseFocusReason);
    return event->accept();
  }
  if (event->button() == Qt::LeftButton && at.isValid() && at.column() == FieldRoster::NumberCol) {
    dragFrom_ = at.row();  // dragging a field by its number
    roster_->ShowColumnHint(FieldRoster::NumberCol, QChar());
    setFocus(Qt::MouseFocusReason);
    return event->accept();
  }
  if (at.isValid() && at != currentIndex() &&
      !roster_->StringGrid1SelectCell(at.column(), at.row() + 1)) {
    setFocus(Qt::MouseFocusReason);
    return event->accept();
  }
  QTableWidget::mousePressEvent(event);
}

void RosterGrid::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && dragFrom_ >= 0) {
    const int from = dragFrom_;
    dragFrom_ = -1;
    const QModelIndex at = indexAt(event->position().toPoint());
    if (at.isValid() && at.row() != from) roster_->MoveRow(from + 1, at.row() + 1);
    return event->accept();
  }
  if (event->button() == Qt::RightButton) {
    roster_->StringGrid1MouseUp(event);
    return event->accept();
  }
  QTableWidget::mouseReleaseEvent(event);
}

void RosterGrid::mouseDoubleClickEvent(QMouseEvent* event) {
  const QModelIndex at = indexAt(event->position().toPoint());
  if (event->button() == Qt::LeftButton && at.isValid() && at.column() == FieldRoster::NumberCol)
    return event->accept();
  QTableWidget::mouseDoubleClickEvent(event);
  if (event->button() == Qt::LeftButton) roster_->StringGrid1DblClick();
}

// -------------------------------------------------------------- the roster

FieldRoster::FieldRoster(QWidget* parent) : QWidget(parent) {
  setObjectName("FieldRoster");
  StringGrid1 = new RosterGrid(this);
  RosterLabel = new QLabel("&Field roster:", this);
  RosterLabel->setBuddy(StringGrid1);
  HintLabel = new QLabel(this);
  HintLabel->setObjectName("HintLabel");
  HintLabel->setWordWrap(true);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(RosterLabel);
  layout->addWidget(StringGrid1, 1);
  layout->addWidget(HintLabel);

  StringGrid1->setColumnCount(5);
  StringGrid1->setHorizontalHeaderLabels({"", "Field Name", "Type", "Size", "Key"});
  for (int c = 0; c < 5; ++c) StringGrid1->setColumnWidth(c, kColumnWidths[c]);
  StringGrid1->verticalHeader()->hide();
  StringGrid1->horizontalHeader()->setSectionsClickable(false);
  StringGrid1->horizontalHeader()->setHighlightSections(false);
  StringGrid1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  StringGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
  StringGrid1->setSelectionBehavior(QAbstractItemView::SelectItems);
  StringGrid1->setEditTriggers(QAbstractItemView::AnyKeyPressed | QAbstractItemView::EditKeyPressed |
                               QAbstractItemView::DoubleClicked);
  StringGrid1->setTabKeyNavigation(false);
  StringGrid1->setItemDelegate(new RosterDelegate(this, StringGrid1));

  ParadoxPopup = new QMenu(this);
  ParadoxPopup->setObjectName("ParadoxPopup");
  TypeItem = ParadoxPopup->addAction("Type");
  ParadoxPopup->addSeparator();
  QAction** items[] = {&Alpha1, &Number1, &Money1, &Short1, &LongInteger1, &BCD1,
                       &Date1, &Time1, &TimeStamp1, &Memo2, &FormattedMemo1, &Graphic1,
                       &OLE1, &Logical1, &Autoincrement1, &Binary1, &Bytes1};
  const auto types = ParadoxFieldTypes();
  for (std::size_t i = 0; i < types.size(); ++i) {
    QAction* item = ParadoxPopup->addAction(types[i].caption);
    item->setObjectName(types[i].itemName);
    const QChar letter = types[i].letter;
    connect(item, &QAction::triggered, this, [this, letter] { ChooseType(letter); });
    *items[i] = item;
  }
  connect(ParadoxPopup, &QMenu::aboutToShow, this, &FieldRoster::ParadoxPopupPopup);

  Reset();
}

FieldRoster::~FieldRoster() = default;

void FieldRoster::MakeRow(int qtRow) {
  for (int c = 0; c < 5; ++c) {
    auto* item = new QTableWidgetItem;
    Qt::ItemFlags flags = Qt::ItemIsEnabled;
    if (c != NumberCol) flags |= Qt::ItemIsSelectable;
    if (c == NameCol || c == SizeCol) flags |= Qt::ItemIsEditable;
    item->setFlags(flags);
    if (c == NumberCol) {
      item->setBackground(palette().button());
      item->setTextAlignment(Qt::AlignCenter);
    }
    if (c == KeyCol) item->setTextAlignment(Qt::AlignCenter);
    StringGrid1->setItem(qtRow, c, item);
  }
}

void FieldRoster::Renumber() {
  for (int r = 0; r < StringGrid1->rowCount(); ++r)
    StringGrid1->item(r, NumberCol)->setText(QString::number(r + 1));
}

QString FieldRoster::Cell(int number, int column) const {
  const QTableWidgetItem* item = StringGrid1->item(number - 1, column);
  return item ? item->text() : QString();
}

void FieldRoster::SetCell(int number, int column, const QString& text) {
  if (QTableWidgetItem* item = StringGrid1->item(number - 1, column)) item->setText(text);
}

bool FieldRoster::RowEmpty(int number) const {
  return Cell(number, NameCol).isEmpty() && Cell(number, TypeCol).isEmpty() &&
         Cell(number, SizeCol).isEmpty() && Cell(number, KeyCol).isEmpty();
}

void FieldRoster::Reset() {
  StringGrid1->clearContents();
  StringGrid1->setRowCount(1);
  MakeRow(0);
  records_.clear();
  records_.resize(1);
  Renumber();
  StringGrid1->setCurrentCell(0, NameCol);
  ShowColumnHint(NameCol, QChar());
  LoadRowCheck(1);
  StringGrid1->setFocus();
}

int FieldRoster::AddRow(const QString& name, QChar type, const QString& size, bool key,
                        std::optional<FieldRow> record) {
  int number = FieldCount();
  if (!(number == 1 && RowEmpty(1) && !records_[0])) {
    StringGrid1->insertRow(number);
    MakeRow(number);
    records_.emplace_back();
    ++number;
    Renumber();
  }
  SetCell(number, NameCol, name);
  SetCell(number, TypeCol, type.isNull() ? QString() : QString(type));
  SetCell(number, SizeCol, size);
  SetCell(number, KeyCol, key ? "*" : "");
  records_[number - 1] = record ? std::make_unique<FieldRow>(*record) : nullptr;
  if (number == CurrentRow()) LoadRowCheck(number);
  return number;
}

int FieldRoster::AddLoadedField(const engine::FieldDesc& field) {
  const int position = (FieldCount() == 1 && RowEmpty(1) && !records_[0]) ? 1 : FieldCount() + 1;
  return AddRow(QString::fromStdString(field.name), ConvertFldType1(field.type), SizeTextOf(field),
                false, LoadedFieldRow(field, position));
}

void FieldRoster::SetKey(int number, bool key) {
  if (number >= 1 && number <= FieldCount()) SetCell(number, KeyCol, key ? "*" : "");
}

int FieldRoster::FieldCount() const { return StringGrid1->rowCount(); }
QString FieldRoster::FieldName(int number) const { return Cell(number, NameCol); }
QString FieldRoster::FieldSize(int number) const { return Cell(number, SizeCol); }
bool FieldRoster::IsKeyed(int number) const { return Cell(number, KeyCol) == "*"; }

QChar FieldRoster::FieldType(int number) const {
  const QString t = Cell(number, TypeCol);
  return t.size() == 1 && ConvertFldType(t[0]) ? t[0] : QChar();
}

QStringList FieldRoster::FieldNames() const {
  QStringList names;
  for (int n = 1; n <= FieldCount(); ++n) names << FieldName(n);
  return names;
}

QList<int> FieldRoster::KeyFields() const {
  QList<int> keys;
  for (int n = 1; n <= FieldCount(); ++n)
    if (IsKeyed(n)) keys << n;
  return keys;
}

std::vector<FieldRoster::Row> FieldRoster::Rows() const {
  std::vector<Row> rows;
  for (int n = 1; n <= FieldCount(); ++n) {
    Row row{FieldName(n), FieldType(n), FieldSize(n), IsKeyed(n), std::nullopt};
    if (const FieldRow* r = Record(n)) row.record = *r;
    rows.push_back(std::move(row));
  }
  return rows;
}

RosterFields FieldRoster::Fields() const {
  RosterFields fields;
  for (int n = 1; n <= FieldCount(); ++n)
    fields.rows.push_back({FieldName(n), Cell(n, TypeCol), FieldSize(n), IsKeyed(n)});
  return fields;
}

FieldRow* FieldRoster::Record(int number) {
  return number >= 1 && number <= static_cast<int>(records_.size()) ? records_[number - 1].get()
                                                                      : nullptr;
}

const FieldRow* FieldRoster::Record(int number) const {
  return const_cast<FieldRoster*>(this)->Record(number);
}

FieldRow& FieldRoster::EnsureRecord(int number) {
  auto& slot = records_.at(number - 1);
  if (!slot) {
    slot = std::make_unique<FieldRow>();
    slot->fieldOp = engine::opAdd;
  }
  return *slot;
}

int FieldRoster::CurrentRow() const {
  const int r = StringGrid1->currentRow();
  return r < 0 ? 0 : r + 1;
}

int FieldRoster::CurrentColumn() const { return StringGrid1->currentColumn(); }

bool FieldRoster::SelectCell(int number, int column) {
  if (number < 1 || number > FieldCount() || column < NameCol || column > KeyCol) return false;
  if (number == CurrentRow() && column == CurrentColumn()) return true;
  if (!StringGrid1SelectCell(column, number)) return false;
  StringGrid1->setCurrentCell(number - 1, column);
  return true;
}

void FieldRoster::ShowColumnHint(int column, QChar letter) {
  HintLabel->setText(ColumnHint(column, letter));
}

void FieldRoster::ApplyCheckAvailability(QChar letter) {
  if (CheckPanel) CheckPanel->ApplyCheckAvailability(letter);
}

// ------------------------------------------------------------ the handlers

bool FieldRoster::StringGrid1SelectCell(int column, int row) {
  const QChar type = FieldType(row);
  ShowColumnHint(column, type);
  if (CheckPanel && CheckPanel->HasInvalidValue()) {
    HintLabel->setText("Invalid validity checks");
    return false;
  }
  if (Cell(row, NameCol).isEmpty() && Cell(row, TypeCol).isEmpty() && Cell(row, SizeCol).isEmpty() &&
      !RowJustAppended && TypeSizeRequired)
    return false;
  const bool appended = RowJustAppended;
  const bool otherRow = row != CurrentRow();
  RowJustAppended = false;
  LoadRowCheck(row);
  if (appended)
    ApplyCheckAvailability('M');
  else if (otherRow)
    ApplyCheckAvailability(type);
  if (otherRow) emit RowSelected(row);
  return true;
}

void FieldRoster::LoadRowCheck(int number) {
  if (!CheckPanel) return;
  const FieldRow* record = Record(number);
  const engine::ValCheckDesc* check = nullptr;
  if (record) {
    if (!RestructureMode) {
      if (HasCheck(record->check)) check = &record->check;
    } else if (record->checkOp == engine::opAdd || record->checkOp == engine::opModify) {
      check = &record->check;
    } else if (record->checkOp == engine::opNone && HasCheck(record->loadedCheck)) {
      check = &record->loadedCheck;
    }
  }
  CheckPanel->LoadCheck(check, ConvertFldType(FieldType(number)).value_or(0));
}

void FieldRoster::ChooseType(QChar letter) {
  const int row = CurrentRow();
  if (row < 1) return;
  SetCell(row, TypeCol, letter);
  ApplyCheckAvailability(letter);
  if (SizeNeededFirst(letter)) SelectCell(row, SizeCol);
  TypeSizeRequired = SetsTypeSizeRequired(letter);
  NotifyChanged();
}

bool FieldRoster::StringGrid1KeyDown(QKeyEvent* event) {
  const int key = event->key();
  if (key != Qt::Key_Up && key != Qt::Key_Down) return false;
  const int row = CurrentRow();
  if (row < 1) return false;
  ApplyCheckAvailability(FieldType(row));
  if (key != Qt::Key_Down || row != FieldCount() || FieldName(row).isEmpty() ||
      Cell(row, TypeCol).isEmpty())
    return false;
  const QString type = Cell(row, TypeCol);
  if (type.size() == 1 && SizeNeededFirst(type[0]) && FieldSize(row).isEmpty()) {
    QApplication::beep();
    if (SelectCell(row, SizeCol)) StringGrid1->editItem(StringGrid1->item(row - 1, SizeCol));
    HintLabel->setText("Field size required.");
    return true;
  }
  StringGrid1->insertRow(row);
  MakeRow(row);
  auto record = std::make_unique<FieldRow>();
  record->fieldOp = engine::opAdd;
  record->checkOp = engine::opNone;
  records_.push_back(std::move(record));
  Renumber();
  RowJustAppended = true;
  SelectCell(row + 1, NameCol);
  NotifyChanged();
  return true;
}

bool FieldRoster::StringGrid1KeyPress(QChar key) {
  if (CurrentColumn() != TypeCol) return false;
  const QChar letter = TypeOfKey(key);
  if (letter.isNull()) return false;
  ChooseType(letter);
  return true;
}

void FieldRoster::StringGrid1KeyUp(QKeyEvent* event) {
  const int key = event->key();
  // A release that comes up from an open cell editor (a space in a name,
  // Ctrl+Delete deleting a word) is the editor's.
  const bool editing = StringGrid1->Editing();
  if (editing && key != Qt::Key_Up) return;
  if (key == Qt::Key_Space) {
    if (CurrentColumn() == TypeCol)
      OpenTypeMenu(CurrentRow());
    else if (CurrentColumn() == KeyCol)
      ToggleKey();
  } else if (key == Qt::Key_Up) {
    const int last = FieldCount();
    if (last > 1 && RowEmpty(last)) {
      StringGrid1->removeRow(last - 1);
      records_.pop_back();
      NotifyChanged();
    }
  } else if (key == Qt::Key_Delete && (event->modifiers() & Qt::ControlModifier)) {
    if (CurrentRow() >= 1) DeleteRow(CurrentRow());
  }
}

void FieldRoster::DeleteRow(int number) {
  if (number < 1 || number > FieldCount()) return;
  if (FieldCount() == 1) {  // the roster keeps one data row
    for (int c = NameCol; c <= KeyCol; ++c) SetCell(1, c, QString());
    records_[0].reset();
  } else {
    StringGrid1->removeRow(number - 1);
    records_.erase(records_.begin() + (number - 1));
    Renumber();
  }
  if (CurrentRow() >= 1) LoadRowCheck(CurrentRow());
  NotifyChanged();
}

void FieldRoster::StringGrid1SetEditText(int column, int row, const QString& text, QLineEdit* editor) {
  QString value = text;
  if (column == NameCol && FieldNameAtLimit(value)) {
    const QPointer<QLineEdit> line(editor);
    QApplication::beep();
    prompter().error(kFieldNameTooLong);
    value = CutFieldName(value);
    if (line && line->text() != value) line->setText(value);
  }
  if (row >= 1 && row <= FieldCount()) SetCell(row, column, value);
  NotifyChanged();
}

void FieldRoster::MoveRow(int from, int to) {
  const int count = FieldCount();
  if (from < 1 || from > count || to < 1 || to > count || from == to) return;
  QList<QTableWidgetItem*> items;
  for (int c = 0; c < 5; ++c) items << StringGrid1->takeItem(from - 1, c);
  const int column = std::max(CurrentColumn(), static_cast<int>(NameCol));
  StringGrid1->removeRow(from - 1);
  StringGrid1->insertRow(to - 1);
  for (int c = 0; c < 5; ++c) StringGrid1->setItem(to - 1, c, items[c]);
  auto record = std::move(records_[from - 1]);
  records_.erase(records_.begin() + (from - 1));
  records_.insert(records_.begin() + (to - 1), std::move(record));
  StringGrid1->setCurrentCell(to - 1, column);
  StringGrid1RowMoved(from, to);
}

void FieldRoster::StringGrid1RowMoved(int from, int to) {
  if (IndexList)
    for (auto& [name, row] : *IndexList)
      for (int k = 0; k < row.index.fieldsInKey && k < engine::kMaxKeyFields; ++k)
        if (row.index.keyFields[k] == from) row.index.keyFields[k] = static_cast<std::uint16_t>(to);
  if (RestructureMode)
    if (FieldRow* record = Record(to)) {
      if (record->check.fieldNumber != 0) record->check.fieldNumber = static_cast<std::uint16_t>(to);
      if (record->loadedPosition == 0) record->loadedPosition = from;
    }
  Renumber();
  LoadRowCheck(to);
  NotifyChanged();
}

void FieldRoster::ToggleKey() {
  const int row = CurrentRow();
  if (row < 1) return;
  const bool above = row == 1 || IsKeyed(row - 1);
  const bool below = row < FieldCount() && IsKeyed(row + 1);
  if (const auto mark = ToggledKey(above, IsKeyed(row), below)) {
    SetKey(row, *mark);
    NotifyChanged();
  }
}

void FieldRoster::StringGrid1DblClick() {
  if (CurrentColumn() == KeyCol) ToggleKey();
}

void FieldRoster::StringGrid1MouseUp(QMouseEvent* event) {
  const QModelIndex at = StringGrid1->indexAt(event->position().toPoint());
  if (!at.isValid() || at.column() != TypeCol) return;
  if (!SelectCell(at.row() + 1, TypeCol)) return;
  OpenTypeMenu(at.row() + 1);
}

void FieldRoster::OpenTypeMenu(int number) {
  if (number < 1) return;
  const QRect cell = StringGrid1->visualRect(StringGrid1->model()->index(number - 1, TypeCol));
  ParadoxPopup->popup(StringGrid1->viewport()->mapToGlobal(cell.bottomLeft()));
}

void FieldRoster::ParadoxPopupPopup() {
  const auto types = ParadoxFieldTypes();
  const QList<QAction*> actions = ParadoxPopup->actions();
  // The items after "Type" and the separator, in the order of the types.
  for (std::size_t i = 0; i < types.size(); ++i)
    actions[static_cast<int>(i) + 2]->setVisible(TypeOfferedAtLevel(types[i].letter, TableLevel));
}

QString FieldRoster::ResolveFieldChanges(const QStringList& currentNames) {
  for (int n = 1; n <= FieldCount(); ++n) {
    const QChar letter = FieldType(n);
    const auto size = SizeValue(letter, FieldSize(n));
    if (!size) return IntegerConversionError(FieldSize(n));
    ResolveFieldChange(EnsureRecord(n), n, FieldName(n), letter, *size, currentNames);
  }
  return {};
}

}  // namespace design
