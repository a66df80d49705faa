// The design dialog of Paradox tables: the field roster with its check
// panel, the table's property pages (validity checks, secondary indexes,
// referential integrity, passwords), the table options, and "Save". It
// creates new tables in a database, or restructures one of its tables in
// place.
#pragma once

#include <QDialog>
#include <optional>

#include "design/designstate.h"
#include "engine/engine.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class TIndexF;
class TMasterPassF;
class TRefIntF;

namespace design {
class FieldRoster;
class ValCheckPanel;
}  // namespace design

class TCreateF : public QDialog {
  Q_OBJECT
 public:
  // Creates tables in `database` (an alias or a directory); with a table
  // name, restructures that table of the database.
  explicit TCreateF(const QString& database, const QString& table = QString(),
                    QWidget* parent = nullptr);
  ~TCreateF() override;

  bool restructureMode() const { return !table_.isEmpty(); }
  // The level text of a new table ("7", "5", "4", "3").
  void setLevel(const QString& level) { level_ = level; }
  design::DesignState& state() { return state_; }

  // Options, caption, empty lists and roster; in restructure mode the
  // table's fields, indexes, checks, links and passwords.
  void FormShow();
  void TblPropComBChange();
  void DefineBtnClick();
  void ModifyBtnClick();
  void EraseBtnClick();
  void RefIndxLBClick();
  void RefIndxLBDblClick();
  void EngineDefCBClick();
  // "Save": creates a table under a chosen file name (the dialog stays), or
  // restructures the table and closes. A restructure the engine refuses
  // raises EDBEngineError once the dialog has closed.
  void CreateBtnClick();
  void SaveAsBtnClick();
  void CancelBtnClick();
  void FormClose();

  design::FieldRoster* Roster;
  design::ValCheckPanel* CheckPanel;
  QComboBox* TblPropComB;
  QPushButton* DefineBtn;  // "Define..."
  QPushButton* ModifyBtn;  // "Modify..."
  QPushButton* EraseBtn;   // "Erase"
  QListWidget* RefIndxLB;
  QCheckBox* EngineDefCB;
  QGroupBox* MoreCtrlGB;
  QComboBox* LangDrvCB;
  QComboBox* BlockSizeCB;
  QLineEdit* FillFactorEdit;
  QLineEdit* Edit1;  // level
  QCheckBox* PackCB;
  QPushButton* CreateBtn;  // "Save"
  QPushButton* SaveAsBtn;  // "Save As"
  QPushButton* CancelBtn;
  TIndexF* IndexF;
  TRefIntF* RefIntF;
  TMasterPassF* MasterPassF;

 protected:
  void showEvent(QShowEvent* event) override;
  void done(int result) override;

 private:
  QWidget* buildOptions();
  QWidget* buildProperties();
  void showOptions(const QString& blockSize, const QString& fillFactor, const QString& driver);
  void openTable();
  void closeTable();
  void loadTable();
  void loadFields();
  void loadIndexes();
  void loadChecks();
  void loadLinks();
  void loadPasswords();
  void showPage();
  void refillList();
  bool tableProtected();
  void openEntry(const QString& name);
  void createTable();
  void restructureTable();

  QString database_, table_, level_ = "7";
  design::DesignState state_;
  engine::hDBIDb db_ = 0;
  engine::hDBICur cursor_ = 0;  // the table being restructured, open exclusively
  QStringList currentNames_;
  std::optional<engine::IndexDesc> currentPrimary_;
  int page_ = 0;  // the page shown
  bool shown_ = false;
  bool closed_ = false;
};
