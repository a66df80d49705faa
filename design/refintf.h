// The link dialog of the Paradox table design dialog: a referential
// integrity link from fields of the table being designed (the child) to
// the primary key of another table of the same database (the parent).
#pragma once

#include <QDialog>
#include <QStringList>
#include <string>
#include <vector>

#include "design/designstate.h"
#include "engine/errors.h"

class QCheckBox;
class QListWidget;
class QPushButton;
class QRadioButton;
class QToolButton;

namespace design {

// The primary key of a parent table, field by field in key order.
struct ParentKey {
  QStringList names;
  QStringList lines;  // "CustNo[I]"
  std::vector<std::uint16_t> numbers;  // the fields' numbers in the parent
};

// The Paradox tables of a database by file name ("CUSTOMER.DB").
engine::Result ParadoxTables(const QString& database, QStringList& tables);

// Reads the primary key of `table`, or the key fields with the given field
// numbers when `numbers` is not empty. engine::ErrNoSuchIndex when the table
// has no primary key.
engine::Result ReadParentKey(const QString& database, const QString& table,
                             const std::vector<std::uint16_t>& numbers, ParentKey& key);

}  // namespace design

class TRefIntF : public QDialog {
 public:
  explicit TRefIntF(design::DesignState& state, QWidget* parent = nullptr);

  // Runs the dialog for a new link (empty name) or for the link named
  // `name`; returns the dialog's result.
  int Open(const QString& name = QString());

  void FormShow();
  void TblToKeyBtnClick();
  void FldToChildBtnClick();
  void ReplaceChildFldBtnClick();
  void Button1Click();  // "&OK"
  void FormClose();
  // The link named `name` as the dialog holds it; false when it cannot be
  // formed (no parent, child fields not matching the parent key).
  bool BuildRefIntDesc(const QString& name, engine::RefIntDesc& link);

  QListWidget* FldRefIntLB;
  QListWidget* TablesLB;
  QListWidget* ChildLB;
  QListWidget* ParentLB;
  QToolButton* FldToChildBtn;
  QToolButton* ReplaceChildFldBtn;
  QToolButton* TblToKeyBtn;
  QRadioButton* CascadeRB;
  QRadioButton* ProhibitRB;
  QCheckBox* StrictCB;
  QPushButton* Button1;
  QPushButton* Button2;
  QPushButton* HelpBtn;

 private:
  void LoadLink(const engine::RefIntDesc& link);
  void ShowParent(const design::ParentKey& key);
  void ClearParent();
  void Store(const QString& name, const engine::RefIntDesc& link);
  void FitHeight(QListWidget* list);

  design::DesignState& state_;
  QString current_;   // the link being changed; empty for a new one
  QString parent_;    // the parent table's file name
  design::ParentKey key_;
};
