// The data module: the one engine session and the data sets the windows
// share (the browsed table, the ad-hoc and stored queries), and the password
// prompt the session raises for a protected table.
#pragma once

#include <QDialog>
#include <QString>

class QLabel;

#include "engine/dataset/query.h"
#include "engine/dataset/session.h"
#include "engine/dataset/table.h"

class QLineEdit;
class QPushButton;

class TDMF {
 public:
  TDMF();   // DMFCreate
  ~TDMF();  // DMFDestroy
  TDMF(const TDMF&) = delete;
  TDMF& operator=(const TDMF&) = delete;

  engine::TSession& aSession;
  engine::TTable aTable;
  engine::TQuery Query;
  engine::TQuery FileQuery;
  engine::TQBE mQBE;

  // Position of the connected open database named exactly `name` in the
  // session's list of databases; -1 when there is none.
  int IsOpenedDataBase(const QString& name);

 private:
  void aTableBeforeOpen(engine::TTable& table);
  bool aSessionPassword(engine::TSession& session);
};

// The data module of the process, created on first use.
TDMF& DMF();

// The password dialog: a password edit with buttons that add it to, or
// remove it from, the session's passwords.
class TrePasswordF : public QDialog {
  Q_OBJECT
 public:
  explicit TrePasswordF(QWidget* parent = nullptr);

  QLineEdit* pEdit;
  QPushButton* AddPassBtn;
  QPushButton* RemovePassBtn;
  QPushButton* RemoveAllBtn;
  QPushButton* CancelBtn;
  QPushButton* OKBtn;
  QLabel* RefusedLabel;  // shown when the password typed before was not accepted

 private:
  void pEditChange(const QString& text);
  void OKBtnClick();
  void RemovePassBtnClick();
  void RemoveAllBtnClick();
};

// Shows the password dialog with `caption`; on OK keeps the typed password in
// LastPassword and adds it to the session. True exactly when OK closed it.
// `refused`: the password typed before was not accepted, and the dialog says so.
bool PromptForPassword(const QString& caption, bool refused = false);
