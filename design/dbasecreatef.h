// The design dialog of dBASE tables: a roster of fields (name, type, size,
// decimals) and the table's index tags. It creates a new table in a
// database, or restructures one of its tables to the edited roster.
#pragma once

#include <QDialog>
#include <vector>

#include "design/dbasedesign.h"
#include "engine/engine.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QListWidget;
class QMenu;
class QPushButton;
class QTableWidget;
class TdBaseIndexF;

class TdBaseCreateF : public QDialog {
  Q_OBJECT
 public:
  // Creates a table in `database` (an alias or a directory); with a table
  // name, restructures that table of the database.
  explicit TdBaseCreateF(const QString& database, const QString& table = QString(),
                         QWidget* parent = nullptr);
  ~TdBaseCreateF() override;

  bool restructureMode() const { return !table_.isEmpty(); }
  // The level of a new table (3, 4, 5 or 7).
  void setLevel(int level) { level_ = level; }

  // Headers, caption and, when restructuring, the table's fields and tags.
  // A table that cannot be read raises EDBEngineError.
  void FormShow();
  // Shows the hint of the cell (row, column) for the row's type.
  void FieldsGridSelectCell(int row, int column);
  // Decides a key typed into the current cell, whose name (in the name
  // column) has `nameLength` characters: false refuses it. `key` comes
  // back in upper case.
  bool FieldsGridKeyPress(QChar& key, bool backspaceOrEnter, int nameLength);
  // Down on the last filled row appends a row; Ctrl+Delete deletes the
  // current row.
  void FieldsGridKeyUp(int key, Qt::KeyboardModifiers modifiers, int rowAtPress);
  // Opens the type menu at `globalPos` when (row, column) is a Type cell.
  void FieldsGridMouseUp(int row, int column, const QPoint& globalPos);
  // A type chosen from the menu.
  void Character1Click(QAction* item);
  // "&Define...": a tag for the roster's fields; a new table gets it when
  // created, an existing one at once (a failure raises EDBEngineError).
  void Button1Click();
  // "Save &As..." creates the table in the chosen file ("Error" and the
  // engine's message when it fails; the dialog stays). "&Save" restructures
  // the table to the roster, asking first when values would go; a failure
  // raises EDBEngineError.
  void Button5Click();
  void InfSizeCBClick();
  void FormClose();

  // Moves a roster row with its record to another place.
  void moveRow(int from, int to);
  // The roster as rows.
  std::vector<design::DbaseRow> rosterRows() const;

  QTableWidget* FieldsGrid;
  QLabel* HintLabel;
  QComboBox* PropertiesCB;
  QPushButton* Button1;  // "&Define..."
  QPushButton* Button2;  // "&Modify..."
  QPushButton* Button3;  // "&Erase"
  QPushButton* Button4;  // "&Borrow..."
  QListWidget* IndexesLB;
  QCheckBox* InfSizeCB;
  QListWidget* InfSizeLB;
  QCheckBox* PackCB;
  QPushButton* Button5;  // "Save &As..." / "&Save"
  QPushButton* CancelBtn;
  QPushButton* HelpBtn;
  QMenu* dBasePopup;
  std::vector<QAction*> TypeItems;  // the eight types, in menu order
  TdBaseIndexF* dBaseIndexF;

 protected:
  void showEvent(QShowEvent* event) override;
  void done(int result) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  friend class DbaseRosterDelegate;
  void buildGrid();
  void buildPopup();
  QLayout* buildSide();
  void setRowCount(int rows);
  void appendRow();
  void deleteRow(int row);
  void setRow(int row, const design::DbaseRow& cells);
  QString cell(int row, int column) const;
  void setHint(const QString& text);
  bool filterKey(QObject* watched, QKeyEvent* key);
  void openTable();
  void closeTable();
  void loadTable();
  void createTable();
  void restructureTable();

  QString database_, table_;
  int level_ = 4;
  engine::hDBIDb db_ = 0;
  engine::hDBICur dBaseTable_ = 0;
  int oldFieldCount_ = 0;
  std::vector<design::FieldRow> records_;  // parallel to the roster's rows
  std::vector<engine::IndexDesc> newTags_;  // tags of a table to create
  bool retyping_ = false;  // a key sent again in upper case
  int rowAtPress_ = -1;
  int dragFrom_ = -1;
};
