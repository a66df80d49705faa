#include "design/indexf.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/prompter.h"

namespace design {

engine::IndexDesc FillIndexDesc(const IndexChoice& choice, const RosterFields& roster,
                                const QString& name) {
  engine::IndexDesc index;
  index.name = name.toStdString();
  index.caseInsensitive = choice.caseSensitive ? 0 : 1;
  index.maintained = choice.maintained ? 1 : 0;
  index.unique = choice.unique ? 1 : 0;
  index.descending = choice.descending ? 1 : 0;
  const int count = std::min<int>(choice.fields.size(), engine::kMaxKeyFields);
  index.fieldsInKey = static_cast<std::uint16_t>(count);
  for (int i = 0; i < count; ++i) {
    index.keyFields[i] = static_cast<std::uint16_t>(1 + roster.position(choice.fields[i]));
    if (choice.descending && i < choice.fieldDescending.size())
      index.fieldDescending[i] = choice.fieldDescending[i] ? 1 : 0;
  }
  return index;
}

std::optional<QString> AskName(const QString& caption, const QString& label, const QString& name) {
  return prompter().input(caption, label, name, false);
}

}  // namespace design

namespace {

QToolButton* ArrowButton(Qt::ArrowType arrow, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setArrowType(arrow);
  return button;
}

// The entry of `list` whose name equals `name` apart from letter case.
design::DesignIndexList::iterator FindName(design::DesignIndexList& list, const QString& name) {
  for (auto it = list.begin(); it != list.end(); ++it)
    if (it->first.compare(name, Qt::CaseInsensitive) == 0) return it;
  return list.end();
}

}  // namespace

TIndexF::TIndexF(design::DesignState& state, QWidget* parent) : QDialog(parent), state_(state) {
  setWindowTitle("Secondary index");
  FieldsListBox = new QListWidget(this);
  IndexFieldsListBox = new QListWidget(this);
  ToIndexSpeedBtn = ArrowButton(Qt::RightArrow, this);
  FromIndexSpeedBtn = ArrowButton(Qt::LeftArrow, this);
  SpeedButton1 = ArrowButton(Qt::UpArrow, this);
  SpeedButton2 = ArrowButton(Qt::DownArrow, this);
  UniCheck = new QCheckBox("&Unique", this);
  MainCheck = new QCheckBox("&Maintained", this);
  CaseCheck = new QCheckBox("Case &sensitive", this);
  DescCheck = new QCheckBox("&Descending", this);
  Button1 = new QPushButton("&OK", this);
  Button2 = new QPushButton("&Cancel", this);
  Button1->setDefault(true);

  auto* arrows = new QVBoxLayout;
  arrows->addStretch();
  arrows->addWidget(ToIndexSpeedBtn);
  arrows->addWidget(FromIndexSpeedBtn);
  arrows->addStretch();
  auto* order = new QVBoxLayout;
  order->addWidget(new QLabel("Change order", this));
  order->addWidget(SpeedButton1);
  order->addWidget(SpeedButton2);
  order->addStretch();
  auto* params = new QGroupBox("Index parameters", this);
  auto* paramsLayout = new QVBoxLayout(params);
  for (QCheckBox* box : {UniCheck, MainCheck, CaseCheck, DescCheck}) paramsLayout->addWidget(box);
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(params);
  buttons->addStretch();
  buttons->addWidget(Button1);
  buttons->addWidget(Button2);
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(FieldsListBox);
  layout->addLayout(arrows);
  layout->addWidget(IndexFieldsListBox);
  layout->addLayout(order);
  layout->addLayout(buttons);

  connect(FieldsListBox, &QListWidget::itemClicked, this, &TIndexF::FieldsListBoxClick);
  connect(FieldsListBox, &QListWidget::itemDoubleClicked, this, &TIndexF::ToIndexSpeedBtnClick);
  connect(ToIndexSpeedBtn, &QToolButton::clicked, this, &TIndexF::ToIndexSpeedBtnClick);
  connect(FromIndexSpeedBtn, &QToolButton::clicked, this, &TIndexF::FromIndexSpeedBtnClick);
  connect(SpeedButton1, &QToolButton::clicked, this, &TIndexF::SpeedButton1Click);
  connect(SpeedButton2, &QToolButton::clicked, this, &TIndexF::SpeedButton2Click);
  connect(MainCheck, &QCheckBox::clicked, this, &TIndexF::MainCheckClick);
  connect(UniCheck, &QCheckBox::clicked, this, &TIndexF::UniCheckClick);
  connect(Button1, &QPushButton::clicked, this, &TIndexF::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TIndexF::Button2Click);
}

int TIndexF::Open(const QString& name) {
  current_ = name;
  FormShow();
  return prompter().exec(*this);
}

void TIndexF::FormShow() {
  FieldsListBox->clear();
  FieldsListBox->addItems(state_.roster.names());
  MainCheck->setVisible(state_.roster.hasKey());
  IndexFieldsListBox->clear();
  ToIndexSpeedBtn->setEnabled(false);
  UniCheck->setChecked(false);
  MainCheck->setChecked(true);
  CaseCheck->setChecked(false);
  DescCheck->setChecked(false);
  auto it = state_.indexes.find(current_);
  if (!current_.isEmpty() && it != state_.indexes.end()) LoadIndex(it->second.index);
  MainCheckClick();
  UniCheckClick();
}

void TIndexF::LoadIndex(const engine::IndexDesc& index) {
  UniCheck->setChecked(index.unique != 0);
  MainCheck->setChecked(index.maintained != 0);
  DescCheck->setChecked(index.descending != 0);
  CaseCheck->setChecked(index.caseInsensitive == 0);
  for (int i = 0; i < index.fieldsInKey && i < engine::kMaxKeyFields; ++i) {
    const int n = index.keyFields[i];
    if (n < 1 || n > static_cast<int>(state_.roster.rows.size())) continue;
    AddIndexField(state_.roster.rows[n - 1].name,
                  index.descending != 0 && index.fieldDescending[i] != 0);
  }
}

void TIndexF::AddIndexField(const QString& name, bool descending) {
  auto* item = new QListWidgetItem(name, IndexFieldsListBox);
  item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
  item->setCheckState(descending ? Qt::Checked : Qt::Unchecked);
}

void TIndexF::FieldsListBoxClick() {
  QListWidgetItem* item = FieldsListBox->currentItem();
  ToIndexSpeedBtn->setEnabled(
      item && IndexFieldsListBox->findItems(item->text(), Qt::MatchExactly).isEmpty());
}

void TIndexF::ToIndexSpeedBtnClick() {
  QListWidgetItem* item = FieldsListBox->currentItem();
  if (!item || !IndexFieldsListBox->findItems(item->text(), Qt::MatchExactly).isEmpty()) return;
  AddIndexField(item->text(), false);
  ToIndexSpeedBtn->setEnabled(false);
}

void TIndexF::FromIndexSpeedBtnClick() {
  delete IndexFieldsListBox->currentItem();
  FieldsListBoxClick();
}

void TIndexF::MoveIndexField(int by) {
  const int row = IndexFieldsListBox->currentRow();
  const int to = row + by;
  if (row < 0 || to < 0 || to >= IndexFieldsListBox->count()) return;
  QListWidgetItem* item = IndexFieldsListBox->takeItem(row);
  IndexFieldsListBox->insertItem(to, item);
  IndexFieldsListBox->setCurrentRow(to);
}

void TIndexF::SpeedButton1Click() { MoveIndexField(-1); }
void TIndexF::SpeedButton2Click() { MoveIndexField(1); }

void TIndexF::MainCheckClick() { UniCheck->setEnabled(MainCheck->isChecked()); }
void TIndexF::UniCheckClick() { MainCheck->setEnabled(!UniCheck->isChecked()); }

design::IndexChoice TIndexF::Choice() const {
  design::IndexChoice choice;
  for (int i = 0; i < IndexFieldsListBox->count(); ++i) {
    choice.fields << IndexFieldsListBox->item(i)->text();
    choice.fieldDescending << (IndexFieldsListBox->item(i)->checkState() == Qt::Checked);
  }
  choice.unique = UniCheck->isChecked();
  choice.maintained = MainCheck->isChecked();
  choice.caseSensitive = CaseCheck->isChecked();
  choice.descending = DescCheck->isChecked();
  return choice;
}

std::optional<QString> TIndexF::ChooseName() {
  // A case-sensitive index of one field bears that field's name.
  if (CaseCheck->isChecked() && IndexFieldsListBox->count() == 1)
    return IndexFieldsListBox->item(0)->text();
  return design::AskName("Save Index As", "Index name:", current_);
}

void TIndexF::Button1Click() {
  if (IndexFieldsListBox->count() == 0) {  // an index needs a field
    QApplication::beep();
    return;
  }
  const std::optional<QString> name = ChooseName();
  if (!name) {
    reject();
    return;
  }
  if (name->trimmed().isEmpty()) return;
  if (Store(name->trimmed())) accept();
}

bool TIndexF::Store(const QString& name) {
  design::DesignIndexList& list = state_.indexes;
  auto same = FindName(list, name);
  if (same != list.end() && same->first != current_ && same->second.op != engine::opDrop) {
    prompter().error("Index \"" + name + "\" is already exist");
    return false;
  }
  design::IndexRow row;
  bool added = true;
  if (auto old = list.find(current_); !current_.isEmpty() && old != list.end()) {
    row = old->second;
    added = row.op == engine::opAdd;
    list.erase(old);
  } else if (same != list.end()) {  // an index dropped in this session comes back
    row = same->second;
    added = false;
    list.erase(same);
  }
  row.index = design::FillIndexDesc(Choice(), state_.roster, name);
  row.op = added || !state_.restructure ? engine::opAdd : engine::opModify;
  list[name] = row;
  return true;
}

void TIndexF::Button2Click() { reject(); }
