// The archive window "Create backup copy": moves the records
// of chosen Paradox tables of the source alias into the tables of a
// destination database through the engine's batch move, creating the
// destination tables where needed. One mode for all tables, or a mode and
// a destination table of its own for each. Shown without waiting; the
// move of each table is engine::MoveTable, which `quarry move` shares.
#pragma once

#include <QDialog>
#include <QHash>
#include <cstdint>
#include <functional>

#include "engine/dataset/table.h"

class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QPushButton;
class QStackedWidget;

class TArchiveF : public QDialog {
  Q_OBJECT
 public:
  // A checked table's own options while "Different mode for each table" is
  // on: its batch mode code and the index of its destination in TablesCB
  // (-1: none chosen yet).
  struct TableOptions {
    std::int32_t mode = 0;
    std::int32_t destination = -1;
  };

  explicit TArchiveF(QWidget* parent = nullptr);

 signals:
  // A new alias was added to the configuration for the destination.
  void aliasAdded(const QString& name);

 public:

  // The batch mode code of a ModeRGroup / BatModeCB position, and back
  // (positions 3 and 4 are codes 4 and 3).
  static std::int32_t ModeCode(int position);
  static int ModePosition(std::int32_t code);

  // Shows the window (not modally) for the tables of `alias`; a window
  // already shown for another alias is filled again.
  void ShowFor(const QString& alias);

  // The handlers, by component and event.
  void FormShow();
  void FormClose();
  void AliasesCBChange();
  void NewAliasCbClick();
  void BrowseBtnClick();
  void OneModeCBClick();
  void TablesCLBClickCheck(QListWidgetItem* item);
  void TablesCLBClick();
  void BatModeCBChange();
  void TablesCBChange();
  void TablesCBKeyPress();
  void TablesCLBDblClick();
  void SlctAllBtnClick();
  void UnSlctAllBtnClick();
  void RevertSelect1Click();
  void Delete1Click();
  void CancelbtnClick();
  // Moves the checked tables; the window stays open.
  void OKBtnClick();

  // The per-table options of a table, nullptr when it has none.
  const TableOptions* Options(const QString& table) const;

  QString SourceAliasName;  // the alias whose tables are listed
  QString DestAliasName;    // the destination alias of the last choice or run
  std::int32_t BatchMode = 0;
  bool PerTable = false;  // "Different mode for each table" is on
  int LastSelected = -1;  // row of the last selected table with options

  QLabel* DBLabel;
  QStackedWidget* DestinationStack;  // AliasesCB or PathEdit in front
  QComboBox* AliasesCB;
  QLineEdit* PathEdit;
  QCheckBox* NewAliasCb;
  QLineEdit* AliasNameEdit;
  QPushButton* BrowseBtn;
  QListWidget* TablesCLB;
  QMenu* PopupMenu1;
  QAction* SelectAll1;
  QAction* UnselectAll1;
  QAction* RevertSelect1;
  QGroupBox* ModeRGroup;
  QButtonGroup* ModeButtons;  // the items of ModeRGroup, ids 0-4
  QCheckBox* OneModeCB;
  QGroupBox* TblBMOptGB;
  QComboBox* BatModeCB;
  QComboBox* TablesCB;
  QListWidget* DestFileLB;
  QMenu* PopupMenu2;
  QAction* Delete1;
  QPushButton* OKBtn;
  QPushButton* Cancelbtn;
  engine::TTable DestTB;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The options of `item`; with `create`, a checked item without options
  // gets them (the BatModeCB mode, no destination).
  TableOptions* optionsOf(QListWidgetItem* item, bool create = false);
  // The current table leaves only when it has a destination (per-table
  // options on); otherwise "Destination table was not selected.".
  bool mayLeaveCurrent();
  void selectQuietly(QListWidgetItem* item);
  // TablesCB shows this destination (-1: none), telling no one.
  void showDestination(int index);
  void setChecks(const std::function<bool(bool)>& next);
  void setDestinationFolder(const QString& directory, bool withTablesCB);
  QString aliasDirectory(const QString& alias) const;
  void moveTables();

  QHash<QString, TableOptions> options_;  // by table name
  QString destDirectory_;                 // what DestFileLB shows
  bool quiet_ = false;                    // changes made here, not by the user
};
