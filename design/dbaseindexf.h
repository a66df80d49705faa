// "Define Index": one tag of a dBASE table, on a field or on an expression
// of fields, with a subset condition and the options unique, maintained
// and descending.
#pragma once

#include <QDialog>
#include <QStringList>

#include "engine/records.h"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

class TdBaseIndexF : public QDialog {
  Q_OBJECT
 public:
  explicit TdBaseIndexF(QWidget* parent = nullptr);

  // The roster's field names, for the next opening.
  void setFieldNames(const QStringList& names) { fieldNames_ = names; }

  // Fills the field list and starts in field mode with nothing chosen.
  void FormShow();
  // Shows the clicked field as the indexed field.
  void dBaseFLBClick(QListWidgetItem* item);
  // In expression mode, appends the field to the expression ("+" between).
  void dBaseFLBDblClick(QListWidgetItem* item);
  // Switches between field mode and expression mode.
  void ExpressionBtnClick();
  // Asks for the tag's name and closes with the definition.
  void OKBtnClick();

  // The tag as defined (valid after the dialog was accepted).
  const engine::IndexDesc& Definition() const { return definition_; }

  QListWidget* dBaseFLB;
  QLineEdit* IdxFName;
  QLineEdit* ExpressionEdit;
  QPushButton* ExpressionBtn;
  QLineEdit* SubsetEdit;
  QCheckBox* UniqueCB;
  QCheckBox* MaintainedCB;
  QCheckBox* DescendingCB;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;
  QPushButton* HelpBtn;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  bool expressionMode() const;
  QString key() const;
  void updateOK();

  QStringList fieldNames_;
  engine::IndexDesc definition_;
};
