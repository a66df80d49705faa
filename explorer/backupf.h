// The "Backup copies" dialog: copies chosen tables of the current alias
// (CurrentAliasName) into the directory of another alias or any folder.
#pragma once

#include <QDialog>
#include <functional>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;

class TBackupF : public QDialog {
  Q_OBJECT
 public:
  explicit TBackupF(QWidget* parent = nullptr);

  // Fills the alias list and the source alias's tables (all unchecked) and
  // clears the options, the path and the progress text.
  void FormShow();
  // Puts the chosen alias's directory (with a separator) into the path.
  void ComboBox1Change();
  void BrowseBtnClick();
  void SelectAll1Click();
  void UnselectAll1Click();
  void RevertSelect1Click();
  // Copies the checked tables; a failed copy raises EDBEngineError. A
  // modally shown dialog closes afterwards in every case.
  void CreateBtnClick();

  QListWidget* TablesCLB;
  QComboBox* ComboBox1;
  QLineEdit* PathEdit;
  QPushButton* BrowseBtn;
  QCheckBox* OverwriteCB;
  QCheckBox* CheckBox1;  // "Use same names": shown, the names follow OverwriteCB
  QLabel* ProgressLbl;
  QPushButton* CreateBtn;
  QPushButton* CloseBtn;
  QMenu* PopupMenu1;
  QAction* SelectAll1;
  QAction* UnselectAll1;
  QAction* RevertSelect1;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void copyCheckedTables();
  void setAllChecks(const std::function<bool(bool)>& next);
};
