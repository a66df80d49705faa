// The Paradox field roster of the table design dialog: the grid StringGrid1
// under "&Field roster:" in which each data row is one field (row number,
// name, type letter, size, key mark), the type menu ParadoxPopup, the hint
// line HintLabel, and each row's FieldRow record. The design dialog (TCreateF)
// places it, switches it to restructure mode, loads the table's fields into
// it and reads the rows back when saving. Rows are numbered as the roster
// numbers them: row n (1-based) is field number n.
#pragma once

#include <QStringList>
#include <QTableWidget>
#include <QWidget>
#include <memory>
#include <optional>
#include <vector>

#include "design/designrows.h"
#include "design/designstate.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;

namespace design {

class FieldRoster;
class ValCheckPanel;

// StringGrid1: a table widget whose cell selection, keys and mouse go
// through the roster's handlers first (a refused selection does not move).
class RosterGrid : public QTableWidget {
  Q_OBJECT
 public:
  explicit RosterGrid(FieldRoster* roster);
  // A cell editor is open.
  bool Editing() const { return state() == EditingState; }

 protected:
  QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  FieldRoster* roster_;
  int dragFrom_ = -1;  // the row whose number cell was pressed (0-based)
};

class FieldRoster : public QWidget {
  Q_OBJECT
 public:
  // The grid's columns.
  enum Column { NumberCol = 0, NameCol = 1, TypeCol = 2, SizeCol = 3, KeyCol = 4 };

  explicit FieldRoster(QWidget* parent = nullptr);
  ~FieldRoster() override;

  // One data row as read back.
  struct Row {
    QString name;
    QChar type;  // null when no type was chosen
    QString size;
    bool key = false;
    std::optional<FieldRow> record;  // absent for a create-mode row without one
  };

  // Back to a new roster: one empty data row, selection on its name cell.
  void Reset();

  // Restructure mode: checks are kept as edited beside loaded ones, with
  // change codes; create mode uses the edited check only.
  bool RestructureMode = false;
  // The level of the table designed ("3", "4", "5", "7"); filters the menu.
  QString TableLevel;
  // The dialog's secondary indexes, whose key field numbers follow a moved
  // row; may stay null.
  DesignIndexList* IndexList = nullptr;
  // The check panel beside the roster (set by the panel itself).
  ValCheckPanel* CheckPanel = nullptr;

  // Program-wide editing flags: the type last chosen needs a
  // size; the last row was just appended with Down.
  static inline bool TypeSizeRequired = false;
  static inline bool RowJustAppended = false;

  // Adds a row at the end (into the only row when that is still empty);
  // returns its number.
  int AddRow(const QString& name, QChar type, const QString& size, bool key,
             std::optional<FieldRow> record = std::nullopt);
  // Adds a field read from the table: its name, letter and size, with the
  // FieldRow of a loaded field at the next position.
  int AddLoadedField(const engine::FieldDesc& field);
  void SetKey(int number, bool key);

  int FieldCount() const;
  QString FieldName(int number) const;
  QChar FieldType(int number) const;  // null for none or an unknown letter
  QString FieldSize(int number) const;
  bool IsKeyed(int number) const;
  QStringList FieldNames() const;
  // The rows marked "*", in row order.
  QList<int> KeyFields() const;
  std::vector<Row> Rows() const;
  // The rows as the sub-dialogs read them (DesignState::roster).
  RosterFields Fields() const;

  // The record of row `number`; null when it has none.
  FieldRow* Record(int number);
  const FieldRow* Record(int number) const;
  // The record of row `number`, made when missing (field change code add).
  FieldRow& EnsureRecord(int number);

  // The current row (0 when none) and column.
  int CurrentRow() const;
  int CurrentColumn() const;
  // Selects a cell as the user does, through StringGrid1SelectCell; false
  // when refused.
  bool SelectCell(int number, int column);

  // Moves row `from` to position `to` with its record, as dragging its
  // number does, then runs StringGrid1RowMoved.
  void MoveRow(int from, int to);
  // Deletes row `number` (Ctrl+Delete).
  void DeleteRow(int number);

  // A restructure save's field changes: each row's change code
  // and descriptors against the table's current field names. Returns the
  // conversion error of a size that is not a number, else empty.
  QString ResolveFieldChanges(const QStringList& currentNames);

  // Handlers (the names of TCreateF's); rows 1-based.
  bool StringGrid1SelectCell(int column, int row);
  bool StringGrid1KeyDown(QKeyEvent* event);  // true when the key was used
  bool StringGrid1KeyPress(QChar key);        // true when the key was used
  void StringGrid1KeyUp(QKeyEvent* event);
  void StringGrid1SetEditText(int column, int row, const QString& text, QLineEdit* editor);
  void StringGrid1RowMoved(int from, int to);
  void StringGrid1DblClick();
  void StringGrid1MouseUp(QMouseEvent* event);
  void ParadoxPopupPopup();
  void Alpha1Click() { ChooseType('A'); }
  void Number1Click() { ChooseType('N'); }
  void Money1Click() { ChooseType('$'); }
  void Short1Click() { ChooseType('S'); }
  void LongInteger1Click() { ChooseType('I'); }
  void BCD1Click() { ChooseType('#'); }
  void Date1Click() { ChooseType('D'); }
  void Time1Click() { ChooseType('T'); }
  void TimeStamp1Click() { ChooseType('@'); }
  void Memo2Click() { ChooseType('M'); }
  void FormattedMemo1Click() { ChooseType('F'); }
  void Graphic1Click() { ChooseType('G'); }
  void OLE1Click() { ChooseType('O'); }
  void Logical1Click() { ChooseType('L'); }
  void Autoincrement1Click() { ChooseType('+'); }
  void Binary1Click() { ChooseType('B'); }
  void Bytes1Click() { ChooseType('Y'); }
  // Choosing a type by menu or key for the current row.
  void ChooseType(QChar letter);
  void ApplyCheckAvailability(QChar letter);
  void ShowColumnHint(int column, QChar letter);
  // Double-click or Spacebar in the Key column.
  void ToggleKey();

  // Tells the dialog that something the user edits changed.
  void NotifyChanged() { emit Changed(); }

  QLabel* RosterLabel;  // "&Field roster:"
  RosterGrid* StringGrid1;
  QLabel* HintLabel;
  QMenu* ParadoxPopup;
  QAction* TypeItem;  // "Type", without action
  // The seventeen type items, named after their click handlers.
  QAction *Alpha1, *Number1, *Money1, *Short1, *LongInteger1, *BCD1, *Date1, *Time1, *TimeStamp1,
      *Memo2, *FormattedMemo1, *Graphic1, *OLE1, *Logical1, *Autoincrement1, *Binary1, *Bytes1;

 signals:
  // A name, type, size or key, a row, or a row's check changed.
  void Changed();
  // The selection moved to row `number`.
  void RowSelected(int number);

 private:
  friend class RosterGrid;
  QString Cell(int number, int column) const;
  void SetCell(int number, int column, const QString& text);
  void MakeRow(int qtRow);
  void Renumber();
  bool RowEmpty(int number) const;
  void LoadRowCheck(int number);
  void OpenTypeMenu(int number);

  std::vector<std::unique_ptr<FieldRow>> records_;  // one per grid row
};

}  // namespace design
