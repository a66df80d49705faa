#include "app/dmf.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/globals.h"
#include "app/prompter.h"

TDMF::TDMF() : aSession(engine::Session()), aTable(aSession), Query(aSession),
               FileQuery(aSession), mQBE(aSession) {
  aTable.BeforeOpen = [this](engine::TTable& t) { aTableBeforeOpen(t); };
  aSession.OnPassword = [this](engine::TSession& s) { return aSessionPassword(s); };
  aSession.Open();
}

TDMF::~TDMF() {
  // Destruction must not throw: a failing close leaves the rest to the
  // session's own close.
  try {
    if (aTable.Active()) aTable.Close();
    if (Query.Active()) Query.Close();
    if (FileQuery.Active()) FileQuery.Close();
    if (mQBE.Active()) mQBE.Close();
    aSession.Close();
  } catch (const EDBEngineError&) {
  }
  aSession.OnPassword = nullptr;
}

void TDMF::aTableBeforeOpen(engine::TTable& table) {
  PasswordPromptCaption = QString::fromStdString(table.DatabaseName()) + ": " +
                          QString::fromStdString(table.TableName());
}

bool TDMF::aSessionPassword(engine::TSession& session) {
  return PromptForPassword(PasswordPromptCaption, session.RefusedPasswords() > 0);
}

int TDMF::IsOpenedDataBase(const QString& name) {
  const std::string wanted = name.toStdString();
  for (int i = 0; i < aSession.DatabaseCount(); ++i) {
    engine::TDatabase& db = aSession.Databases(i);
    if (db.DatabaseName() == wanted && db.Connected()) return i;
  }
  return -1;
}

TDMF& DMF() {
  static TDMF module;
  return module;
}

TrePasswordF::TrePasswordF(QWidget* parent) : QDialog(parent) {
  setObjectName("rePasswordF");
  setWindowTitle("Enter password");
  auto* group = new QGroupBox("Password", this);
  pEdit = new QLineEdit(group);
  pEdit->setObjectName("pEdit");
  pEdit->setEchoMode(QLineEdit::Password);
  AddPassBtn = new QPushButton("&Add", group);
  AddPassBtn->setObjectName("AddPassBtn");
  RemovePassBtn = new QPushButton("&Remove", group);
  RemovePassBtn->setObjectName("RemovePassBtn");
  RemoveAllBtn = new QPushButton("&Remove all", group);
  RemoveAllBtn->setObjectName("RemoveAllBtn");
  auto* groupLayout = new QVBoxLayout(group);
  groupLayout->addWidget(pEdit);
  auto* groupButtons = new QHBoxLayout;
  groupButtons->addWidget(AddPassBtn);
  groupButtons->addWidget(RemovePassBtn);
  groupButtons->addWidget(RemoveAllBtn);
  groupLayout->addLayout(groupButtons);

  CancelBtn = new QPushButton("Cancel", this);
  CancelBtn->setObjectName("CancelBtn");
  OKBtn = new QPushButton("OK", this);
  OKBtn->setObjectName("OKBtn");
  OKBtn->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  RefusedLabel = new QLabel("The password was not accepted. Type it again.", this);
  RefusedLabel->setObjectName("RefusedLabel");
  RefusedLabel->hide();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(RefusedLabel);
  layout->addWidget(group);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  for (QPushButton* b : {AddPassBtn, RemovePassBtn, RemoveAllBtn, CancelBtn}) b->setAutoDefault(false);
  AddPassBtn->setEnabled(false);
  RemovePassBtn->setEnabled(false);
  OKBtn->setEnabled(false);

  connect(pEdit, &QLineEdit::textChanged, this, &TrePasswordF::pEditChange);
  connect(AddPassBtn, &QPushButton::clicked, this, &TrePasswordF::OKBtnClick);
  connect(OKBtn, &QPushButton::clicked, this, [this] {
    OKBtnClick();
    accept();
  });
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
  connect(RemovePassBtn, &QPushButton::clicked, this, &TrePasswordF::RemovePassBtnClick);
  connect(RemoveAllBtn, &QPushButton::clicked, this, &TrePasswordF::RemoveAllBtnClick);
}

void TrePasswordF::pEditChange(const QString& text) {
  const bool any = !text.isEmpty();
  OKBtn->setEnabled(any);
  AddPassBtn->setEnabled(any);
  RemovePassBtn->setEnabled(any);
}

void TrePasswordF::OKBtnClick() {
  // While a master password is being designed the typed text belongs to
  // that table, not to the session.
  if (!MasterPasswordSet) engine::Session().AddPassword(pEdit->text().toStdString());
}

void TrePasswordF::RemovePassBtnClick() {
  engine::Session().RemovePassword(pEdit->text().toStdString());
}

void TrePasswordF::RemoveAllBtnClick() { engine::Session().RemoveAllPasswords(); }

bool PromptForPassword(const QString& caption, bool refused) {
  TrePasswordF dialog;
  if (!caption.isEmpty()) dialog.setWindowTitle(caption);
  dialog.RefusedLabel->setVisible(refused);
  FitToTitle(dialog);
  if (prompter().exec(dialog) != QDialog::Accepted) return false;
  LastPassword = dialog.pEdit->text();
  engine::Session().AddPassword(LastPassword.toStdString());
  return true;
}
