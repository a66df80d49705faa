#include "design/passwordsf.h"

#include <QButtonGroup>
#include <QEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/prompter.h"

namespace design {

namespace {

const std::int32_t kTableRightCodes[] = {engine::rightsFull, engine::rightsInsertDelete,
                                         engine::rightsDataEntry, engine::rightsUpdate,
                                         engine::rightsReadOnly};
const char kReadOnly[] = "Read only";
const char kNoRights[] = "No rights";
const char kAll[] = "All";
const int kUpdateItem = 3;
const int kReadOnlyItem = 4;

}  // namespace

const QStringList& TableRightNames() {
  static const QStringList names = {"All", "Insert + delete", "Data entry", "Update", "Read only"};
  return names;
}

std::int32_t TableRightCode(int item) {
  return item >= 0 && item < 5 ? kTableRightCodes[item] : engine::rightsNone;
}

int TableRightItem(std::int32_t code) {
  for (int i = 0; i < 5; ++i)
    if (kTableRightCodes[i] == code) return i;
  return -1;
}

std::int32_t FieldRightCode(const QString& right) {
  if (right == kAll) return engine::rightsFull;
  if (right == kNoRights) return engine::rightsNone;
  return engine::rightsReadOnly;
}

QString FieldRightName(std::int32_t code) {
  if (code == engine::rightsFull) return kAll;
  if (code == engine::rightsNone) return kNoRights;
  return kReadOnly;
}

QString NextFieldRight(const QString& right) {
  if (right == kReadOnly) return kNoRights;
  if (right == kNoRights) return kAll;
  return kReadOnly;
}

}  // namespace design

// The master password ---------------------------------------------------------

TMasterPassF::TMasterPassF(design::DesignState& state, QWidget* parent)
    : QDialog(parent), state_(state) {
  setWindowTitle("Master Password");
  setStyleSheet("QLineEdit:enabled { background: white; } QLineEdit:disabled { background: silver; }");
  MasterEdit = new QLineEdit(this);
  VerMasterEdit = new QLineEdit(this);
  MasterEdit->setEchoMode(QLineEdit::Password);
  VerMasterEdit->setEchoMode(QLineEdit::Password);
  OKBtn = new QPushButton("&OK", this);
  CancelBtn = new QPushButton("&Cancel", this);
  HelpBtn = new QPushButton("&Help", this);
  ChangeBtn = new QPushButton("Chan&ge", this);
  DeleteBtn = new QPushButton("&Delete", this);
  AuxBtn = new QPushButton("&Auxiliary Passwords...", this);
  OKBtn->setDefault(true);

  auto* form = new QFormLayout;
  form->addRow("Master password:", MasterEdit);
  form->addRow("Verify master password:", VerMasterEdit);
  auto* buttons = new QVBoxLayout;
  for (QPushButton* b : {OKBtn, CancelBtn, HelpBtn, ChangeBtn, DeleteBtn}) buttons->addWidget(b);
  buttons->addStretch();
  auto* left = new QVBoxLayout;
  left->addLayout(form);
  left->addStretch();
  left->addWidget(AuxBtn, 0, Qt::AlignLeft);
  auto* layout = new QHBoxLayout(this);
  layout->addLayout(left);
  layout->addLayout(buttons);

  connect(MasterEdit, &QLineEdit::textChanged, this, &TMasterPassF::VerMasterEditChange);
  connect(VerMasterEdit, &QLineEdit::textChanged, this, &TMasterPassF::VerMasterEditChange);
  connect(OKBtn, &QPushButton::clicked, this, &TMasterPassF::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &TMasterPassF::CancelBtnClick);
  connect(DeleteBtn, &QPushButton::clicked, this, &TMasterPassF::DeleteBtnClick);
  connect(AuxBtn, &QPushButton::clicked, this, &TMasterPassF::AuxBtnClick);
}

int TMasterPassF::Open(bool tableProtected) {
  FormShow(tableProtected);
  return prompter().exec(*this);
}

void TMasterPassF::EnableEdits(bool enable) {
  MasterEdit->setEnabled(enable);
  VerMasterEdit->setEnabled(enable);
}

void TMasterPassF::FormShow(bool tableProtected) {
  MasterEdit->clear();
  VerMasterEdit->clear();
  EnableEdits(true);
  OKBtn->setEnabled(false);
  AuxBtn->setEnabled(false);
  ChangeBtn->setEnabled(false);
  DeleteBtn->setEnabled(false);
  if (state_.restructure && tableProtected && !state_.RemoveProtection) {
    state_.MasterPasswordSet = true;
    OKBtn->setEnabled(true);
    EnableEdits(false);
    AuxBtn->setEnabled(true);
    ChangeBtn->setEnabled(true);
    DeleteBtn->setEnabled(true);
  }
}

void TMasterPassF::VerMasterEditChange() {
  if (!MasterEdit->isEnabled()) return;
  const bool same = VerMasterEdit->text() == MasterEdit->text();
  OKBtn->setEnabled(same);
  AuxBtn->setEnabled(same);
}

void TMasterPassF::OKBtnClick() {
  if (!VerMasterEdit->text().isEmpty()) {
    state_.MasterPasswordSet = true;
    state_.LastPassword = VerMasterEdit->text();
    state_.RemoveProtection = false;
  }
  accept();
}

void TMasterPassF::CancelBtnClick() { reject(); }

void TMasterPassF::DeleteBtnClick() {
  state_.MasterPasswordSet = false;
  if (MasterEdit->isEnabled()) return;
  EnableEdits(true);
  ChangeBtn->setEnabled(false);
  AuxBtn->setEnabled(false);
  state_.LastPassword.clear();
  // Saving the table without a master password must take its protection off.
  state_.RemoveProtection = true;
}

void TMasterPassF::AuxBtnClick() {
  TAuxPasswordsF aux(state_, this);
  aux.Open();
}

// Auxiliary passwords -------------------------------------------------------

TAuxPasswordsF::TAuxPasswordsF(design::DesignState& state, QWidget* parent)
    : QDialog(parent), state_(state) {
  setWindowTitle("Auxiliary passwords");
  PasswordsLB = new QListWidget(this);
  NewBtn = new QPushButton("&New", this);
  ChangeBtn = new QPushButton("&Change", this);
  DeleteBtn = new QPushButton("&Delete", this);
  PassNameEdit = new QLineEdit(this);
  AddBtn = new QPushButton("&Add", this);
  FldRightsBtn = new QPushButton("&Fields Rights", this);
  RevertBtn = new QPushButton("&Revert", this);
  RevertBtn->setFocusPolicy(Qt::NoFocus);  // pressing it keeps the focus on "&Delete"
  FieldsRightGB = new QGroupBox("&Table rights", this);
  TableRightsBG = new QButtonGroup(this);
  auto* rightsLayout = new QVBoxLayout(FieldsRightGB);
  for (int i = 0; i < design::TableRightNames().size(); ++i) {
    auto* radio = new QRadioButton(design::TableRightNames()[i], FieldsRightGB);
    TableRightsBG->addButton(radio, i);
    rightsLayout->addWidget(radio);
  }
  FldRightsLV = new QTreeWidget(this);
  FldRightsLV->setHeaderLabels({"Right", "Fields"});
  FldRightsLV->setRootIsDecorated(false);
  OKBtn = new QPushButton("&OK", this);
  CancelBtn = new QPushButton("&Cancel", this);
  HelpBtn = new QPushButton("&Help", this);

  auto* listButtons = new QHBoxLayout;
  for (QPushButton* b : {NewBtn, ChangeBtn, DeleteBtn}) listButtons->addWidget(b);
  auto* left = new QVBoxLayout;
  left->addWidget(new QLabel("Pass&words:", this));
  left->addWidget(PasswordsLB);
  left->addLayout(listButtons);
  auto* current = new QGroupBox("Current &password", this);
  auto* currentLayout = new QVBoxLayout(current);
  currentLayout->addWidget(PassNameEdit);
  auto* currentButtons = new QHBoxLayout;
  for (QPushButton* b : {AddBtn, FldRightsBtn, RevertBtn}) currentButtons->addWidget(b);
  currentLayout->addLayout(currentButtons);
  auto* rights = new QHBoxLayout;
  rights->addWidget(FieldsRightGB);
  rights->addWidget(FldRightsLV);
  currentLayout->addLayout(rights);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  for (QPushButton* b : {OKBtn, CancelBtn, HelpBtn}) buttons->addWidget(b);
  auto* top = new QHBoxLayout;
  top->addLayout(left);
  top->addWidget(current);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(buttons);

  connect(NewBtn, &QPushButton::clicked, this, &TAuxPasswordsF::NewBtnClick);
  connect(ChangeBtn, &QPushButton::clicked, this, &TAuxPasswordsF::ChangeBtnClick);
  connect(DeleteBtn, &QPushButton::clicked, this, &TAuxPasswordsF::DeleteBtnClick);
  connect(RevertBtn, &QPushButton::clicked, this, &TAuxPasswordsF::RevertBtnClick);
  connect(AddBtn, &QPushButton::clicked, this, &TAuxPasswordsF::AddBtnClick);
  connect(FldRightsBtn, &QPushButton::clicked, this, &TAuxPasswordsF::FldRightsBtnClick);
  connect(PasswordsLB, &QListWidget::itemClicked, this, &TAuxPasswordsF::PasswordsLBClick);
  connect(PassNameEdit, &QLineEdit::textChanged, this, &TAuxPasswordsF::PassNameEditChange);
  connect(TableRightsBG, &QButtonGroup::idClicked, this, &TAuxPasswordsF::FieldsRightGBClick);
  connect(FldRightsLV, &QTreeWidget::itemClicked, this, &TAuxPasswordsF::FldRightsLVClick);
  connect(FldRightsLV, &QTreeWidget::itemDoubleClicked, this, &TAuxPasswordsF::FldRightsBtnClick);
  connect(OKBtn, &QPushButton::clicked, this, &TAuxPasswordsF::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
  DeleteBtn->installEventFilter(this);
}

int TAuxPasswordsF::Open() {
  FormShow();
  return prompter().exec(*this);
}

bool TAuxPasswordsF::eventFilter(QObject* watched, QEvent* event) {
  if (watched == DeleteBtn && event->type() == QEvent::FocusOut) DeleteBtnExit();
  return QDialog::eventFilter(watched, event);
}

void TAuxPasswordsF::FormShow() {
  FldRightsLV->clear();
  for (const QString& name : state_.roster.names())
    new QTreeWidgetItem(FldRightsLV, {design::kReadOnly, name});
  SetTableRights(design::kReadOnlyItem);
  for (QWidget* w : std::initializer_list<QWidget*>{FieldsRightGB, FldRightsLV, FldRightsBtn,
                                                    AddBtn, ChangeBtn, DeleteBtn})
    w->setEnabled(false);
  AddBtn->setText("&Add");
  RevertBtn->hide();
  PassNameEdit->clear();
  PassNameEdit->setEnabled(true);
  changing_.clear();
  deleted_.reset();
  RefreshList();
}

void TAuxPasswordsF::RefreshList() {
  PasswordsLB->clear();
  PasswordsLB->addItems(design::ListedNames(state_.passwords));
}

void TAuxPasswordsF::PassNameEditChange() {
  const bool typed = !PassNameEdit->text().isEmpty();
  FieldsRightGB->setEnabled(typed);
  AddBtn->setEnabled(typed);
  FldRightsLV->setEnabled(typed);
}

void TAuxPasswordsF::NewBtnClick() {
  RevertBtn->hide();
  AddBtn->setText("&Add");
  changing_.clear();
  PassNameEdit->clear();
  PassNameEdit->setEnabled(true);
  SetAllFieldRights(design::kReadOnly);
  SetTableRights(design::kReadOnlyItem);
  FldRightsBtn->setEnabled(false);
  FldRightsLV->setEnabled(false);
}

void TAuxPasswordsF::PasswordsLBClick() {
  if (!PasswordsLB->currentItem()) return;
  DeleteBtn->setEnabled(true);
  ChangeBtn->setEnabled(true);
  ChangeBtnClick();
  PassNameEdit->setEnabled(false);
}

void TAuxPasswordsF::ChangeBtnClick() {
  if (!PasswordsLB->currentItem()) return;
  LoadPassword(PasswordsLB->currentItem()->text());
  AddBtn->setText("&Accept");
  AddBtn->setEnabled(true);
  RevertBtn->show();
  PassNameEdit->setEnabled(true);
}

void TAuxPasswordsF::LoadPassword(const QString& name) {
  auto it = state_.passwords.find(name);
  if (it == state_.passwords.end()) return;
  const engine::SecurityDesc& security = it->second.security;
  changing_ = name;
  PassNameEdit->setText(QString::fromStdString(security.password));
  for (int i = 0; i < FldRightsLV->topLevelItemCount() && i < 256; ++i)
    FldRightsLV->topLevelItem(i)->setText(0, design::FieldRightName(security.fieldRights[i]));
  SetTableRights(design::TableRightItem(security.tableRights));
}

void TAuxPasswordsF::SetTableRights(int item) {
  if (QAbstractButton* b = TableRightsBG->button(item)) {
    b->setChecked(true);
    return;
  }
  TableRightsBG->setExclusive(false);  // no item for "no rights"
  for (QAbstractButton* b : TableRightsBG->buttons()) b->setChecked(false);
  TableRightsBG->setExclusive(true);
}

void TAuxPasswordsF::SetAllFieldRights(const QString& right) {
  for (int i = 0; i < FldRightsLV->topLevelItemCount(); ++i)
    FldRightsLV->topLevelItem(i)->setText(0, right);
}

void TAuxPasswordsF::ChooseTableRights(const QString& item) {
  const int id = design::TableRightNames().indexOf(item);
  SetTableRights(id);
  FieldsRightGBClick();
}

QString TAuxPasswordsF::TableRights() const {
  const int id = TableRightsBG->checkedId();
  return id < 0 ? QString() : design::TableRightNames()[id];
}

QStringList TAuxPasswordsF::FieldRights() const {
  QStringList rights;
  for (int i = 0; i < FldRightsLV->topLevelItemCount(); ++i)
    rights << FldRightsLV->topLevelItem(i)->text(0);
  return rights;
}

void TAuxPasswordsF::FieldsRightGBClick() {
  const int id = TableRightsBG->checkedId();
  if (id == 0 || id == 1) SetAllFieldRights(design::kAll);
  if (id == design::kReadOnlyItem) SetAllFieldRights(design::kReadOnly);
}

void TAuxPasswordsF::FldRightsLVClick() { FldRightsBtn->setEnabled(FldRightsLV->isEnabled()); }

void TAuxPasswordsF::FldRightsBtnClick() {
  QTreeWidgetItem* item = FldRightsLV->currentItem();
  if (!item) return;
  const QString right = design::NextFieldRight(item->text(0));
  item->setText(0, right);
  const bool allFull = !FieldRights().contains(design::kReadOnly) &&
                       !FieldRights().contains(design::kNoRights);
  if (right == design::kAll ||
      (!allFull && TableRightsBG->checkedId() != design::kReadOnlyItem))
    SetTableRights(design::kUpdateItem);
}

engine::SecurityDesc TAuxPasswordsF::BuildSecurityDesc() const {
  engine::SecurityDesc security;
  security.password = PassNameEdit->text().toStdString();
  security.familyRights = 0;
  const QStringList rights = FieldRights();
  for (int i = 0; i < rights.size() && i < 256; ++i)
    security.fieldRights[i] = design::FieldRightCode(rights[i]);
  security.tableRights = design::TableRightCode(TableRightsBG->checkedId());
  return security;
}

void TAuxPasswordsF::AddBtnClick() {
  const QString text = PassNameEdit->text();
  if (text.isEmpty()) return;
  Store(text, BuildSecurityDesc());
  changing_.clear();
  AddBtn->setText("&Add");
  RefreshList();
  PassNameEdit->clear();
  PassNameEdit->setEnabled(true);
  SetAllFieldRights(design::kReadOnly);
  SetTableRights(design::kReadOnlyItem);
  AddBtn->setEnabled(false);
}

void TAuxPasswordsF::Store(const QString& text, const engine::SecurityDesc& security) {
  design::DesignPasswordList& list = state_.passwords;
  std::uint16_t number = 0;
  if (auto old = list.find(changing_); !changing_.isEmpty() && old != list.end()) {
    number = old->second.security.number;
    // A password given a new text: the old one goes, the new one comes.
    if (changing_ != text) design::EraseEntry(list, changing_, state_.restructure);
  }
  design::PasswordRow row;
  bool added = true;
  if (auto same = list.find(text); same != list.end()) {  // the same text: a change of it
    row = same->second;
    added = row.op == engine::opAdd;
    number = row.security.number;
  }
  row.security = security;
  row.security.number = added ? 0 : number;
  row.op = added || !state_.restructure ? engine::opAdd : engine::opModify;
  list[text] = row;
}

void TAuxPasswordsF::DeleteBtnClick() {
  QListWidgetItem* item = PasswordsLB->currentItem();
  if (!item) return;
  const QString name = item->text();
  auto it = state_.passwords.find(name);
  if (it == state_.passwords.end()) return;
  deleted_ = std::make_pair(name, it->second);
  design::EraseEntry(state_.passwords, name, state_.restructure);
  delete item;
  if (changing_ == name) {
    changing_.clear();
    AddBtn->setText("&Add");
  }
  RevertBtn->show();
}

void TAuxPasswordsF::DeleteBtnExit() {
  RevertBtn->hide();
  deleted_.reset();
}

void TAuxPasswordsF::RevertBtnClick() {
  if (!deleted_) return;
  state_.passwords[deleted_->first] = deleted_->second;
  deleted_.reset();
  RefreshList();
  RevertBtn->hide();
}

void TAuxPasswordsF::OKBtnClick() { accept(); }
