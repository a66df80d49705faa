// The password dialogs of the Paradox table design dialog: the master
// password, and under it the auxiliary passwords with their table and field
// rights.
#pragma once

#include <QDialog>
#include <QStringList>
#include <optional>

#include "design/designstate.h"

class QButtonGroup;
class QGroupBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QToolButton;
class QTreeWidget;

namespace design {

// Table rights in the order the dialog offers them, with their codes.
const QStringList& TableRightNames();
std::int32_t TableRightCode(int item);
int TableRightItem(std::int32_t code);  // -1 for a code not offered (no rights)

// Field rights: "Read only" 1, "No rights" 0, "All" 31.
std::int32_t FieldRightCode(const QString& right);
QString FieldRightName(std::int32_t code);
// The right after `right` in the cycle Read only, No rights, All.
QString NextFieldRight(const QString& right);

}  // namespace design

class TMasterPassF : public QDialog {
 public:
  explicit TMasterPassF(design::DesignState& state, QWidget* parent = nullptr);

  // Runs the dialog with empty edits; `tableProtected` tells, in restructure
  // mode, that the table has a master password already.
  int Open(bool tableProtected = false);

  void FormShow(bool tableProtected);
  void VerMasterEditChange();
  void OKBtnClick();
  void CancelBtnClick();
  void DeleteBtnClick();
  void AuxBtnClick();

  QLineEdit* MasterEdit;
  QLineEdit* VerMasterEdit;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;
  QPushButton* HelpBtn;
  QPushButton* ChangeBtn;
  QPushButton* DeleteBtn;
  QPushButton* AuxBtn;

 private:
  void EnableEdits(bool enable);

  design::DesignState& state_;
};

class TAuxPasswordsF : public QDialog {
 public:
  explicit TAuxPasswordsF(design::DesignState& state, QWidget* parent = nullptr);

  int Open();

  void FormShow();
  void NewBtnClick();
  void ChangeBtnClick();
  void DeleteBtnClick();
  void DeleteBtnExit();
  void RevertBtnClick();
  void AddBtnClick();
  void PasswordsLBClick();
  void PassNameEditChange();
  void FieldsRightGBClick();
  void FldRightsBtnClick();
  void FldRightsLVClick();
  void OKBtnClick();
  engine::SecurityDesc BuildSecurityDesc() const;

  // Chooses a table-rights item as a click on it would.
  void ChooseTableRights(const QString& item);
  QString TableRights() const;  // the chosen item, empty for none
  QStringList FieldRights() const;

  QListWidget* PasswordsLB;
  QPushButton* NewBtn;
  QPushButton* ChangeBtn;
  QPushButton* DeleteBtn;
  QLineEdit* PassNameEdit;
  QPushButton* AddBtn;
  QPushButton* FldRightsBtn;
  QPushButton* RevertBtn;
  QGroupBox* FieldsRightGB;  // "&Table rights"
  QButtonGroup* TableRightsBG;
  QTreeWidget* FldRightsLV;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;
  QPushButton* HelpBtn;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void SetTableRights(int item);
  void SetAllFieldRights(const QString& right);
  void RefreshList();
  void LoadPassword(const QString& name);
  void Store(const QString& text, const engine::SecurityDesc& security);

  design::DesignState& state_;
  QString changing_;  // the password being changed ("&Accept")
  std::optional<std::pair<QString, design::PasswordRow>> deleted_;  // until "&Revert"
};
