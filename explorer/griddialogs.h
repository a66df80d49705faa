// The dialogs of the data page: the index order (TOrderF), the filter
// (TFilterF) and find-in-field (TDBFindDialog). Each is reached through one
// global reference, made on demand and cleared when the dialog closes.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "engine/dataset/table.h"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

// Text search in one field of a table's records.
struct FieldSearch {
  std::string text;
  bool caseSensitive = false;
  bool whole = false;
};
// Whether a field's value (as text) matches: the whole value, or the text
// inside it; without case sensitivity both sides are upper-cased.
bool FieldMatches(const std::string& value, const FieldSearch& search);

class TOrderF : public QDialog {
  Q_OBJECT
 public:
  explicit TOrderF(engine::TTable& table, QWidget* parent = nullptr);
  ~TOrderF() override;

  QListWidget* IdxLB;
  QLineEdit* FldEdit;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;

  void IdxLBClick();
  void OKBtnClick();

 private:
  engine::TTable* table_;
};

class TFilterF : public QDialog {
  Q_OBJECT
 public:
  explicit TFilterF(engine::TTable& table, QWidget* parent = nullptr);
  ~TFilterF() override;

  QLineEdit* FilterEdit;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;
  QPushButton* ResetBtn;

  void OKBtnClick();
  void ResetBtnClick();

 private:
  engine::TTable* table_;
};

class TDBFindDialog : public QDialog {
  Q_OBJECT
 public:
  // Searches field `field` (0-based) of `table`; `found` is told after a
  // search moved the table to another record.
  TDBFindDialog(engine::TTable& table, int field, std::function<void()> found,
                QWidget* parent = nullptr);
  ~TDBFindDialog() override;

  QLineEdit* FindEdit;
  QCheckBox* CaseCB;
  QCheckBox* WholeCB;
  QRadioButton* FromCursorRB;
  QRadioButton* EntireScopeRB;
  QPushButton* FindBtn;
  QPushButton* CloseBtn;

  void FindBtnClick();

 private:
  engine::TTable* table_;
  int field_;
  std::function<void()> found_;
};

extern TOrderF* OrderF;
extern TFilterF* FilterF;
extern TDBFindDialog* DBFindDialog;
// An "&Entire scope" search has already started at the first record.
extern bool FindFromStartDone;
