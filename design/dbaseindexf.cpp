#include "design/dbaseindexf.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/prompter.h"

namespace {

QCheckBox* NewCheck(const char* name, const char* caption) {
  auto* box = new QCheckBox(caption);
  box->setObjectName(name);
  return box;
}

QPushButton* NewButton(const char* name, const char* caption) {
  auto* button = new QPushButton(caption);
  button->setObjectName(name);
  button->setAutoDefault(false);
  return button;
}

}  // namespace

TdBaseIndexF::TdBaseIndexF(QWidget* parent) : QDialog(parent) {
  setObjectName("dBaseIndexF");
  setWindowTitle("Define Index");

  dBaseFLB = new QListWidget;
  dBaseFLB->setObjectName("dBaseFLB");
  auto* fieldsLabel = new QLabel("&Field list:");
  fieldsLabel->setBuddy(dBaseFLB);
  connect(dBaseFLB, &QListWidget::itemClicked, this, &TdBaseIndexF::dBaseFLBClick);
  connect(dBaseFLB, &QListWidget::itemDoubleClicked, this, &TdBaseIndexF::dBaseFLBDblClick);

  IdxFName = new QLineEdit;
  IdxFName->setObjectName("IdxFName");
  IdxFName->setReadOnly(true);
  ExpressionEdit = new QLineEdit;
  ExpressionEdit->setObjectName("ExpressionEdit");
  auto* expressionLabel = new QLabel("&Expression index");
  expressionLabel->setBuddy(ExpressionEdit);
  ExpressionBtn = NewButton("ExpressionBtn", "&Expression Index");
  connect(ExpressionBtn, &QPushButton::clicked, this, &TdBaseIndexF::ExpressionBtnClick);
  connect(ExpressionEdit, &QLineEdit::textChanged, this, &TdBaseIndexF::updateOK);
  SubsetEdit = new QLineEdit;
  SubsetEdit->setObjectName("SubsetEdit");
  auto* subsetLabel = new QLabel("&Subset condition (filter) expression:");
  subsetLabel->setBuddy(SubsetEdit);

  UniqueCB = NewCheck("UniqueCB", "&Unique");
  MaintainedCB = NewCheck("MaintainedCB", "&Maintained");
  DescendingCB = NewCheck("DescendingCB", "&Descending");
  auto* options = new QGroupBox("Options");
  auto* optionsLayout = new QVBoxLayout(options);
  optionsLayout->addWidget(UniqueCB);
  optionsLayout->addWidget(MaintainedCB);
  optionsLayout->addWidget(DescendingCB);

  OKBtn = NewButton("OKBtn", "OK");
  OKBtn->setDefault(true);
  CancelBtn = NewButton("CancelBtn", "Cancel");
  HelpBtn = NewButton("HelpBtn", "Help");
  connect(OKBtn, &QPushButton::clicked, this, &TdBaseIndexF::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

  auto* right = new QGridLayout;
  right->addWidget(new QLabel("Indexed field:"), 0, 0);
  right->addWidget(IdxFName, 0, 1);
  right->addWidget(expressionLabel, 1, 0);
  right->addWidget(ExpressionEdit, 1, 1);
  right->addWidget(ExpressionBtn, 2, 1, Qt::AlignLeft);
  right->addWidget(subsetLabel, 3, 0, 1, 2);
  right->addWidget(SubsetEdit, 4, 0, 1, 2);
  right->addWidget(options, 5, 0, 1, 2);
  auto* left = new QVBoxLayout;
  left->addWidget(fieldsLabel);
  left->addWidget(dBaseFLB);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  buttons->addWidget(HelpBtn);
  auto* top = new QHBoxLayout;
  top->addLayout(left);
  top->addLayout(right, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(buttons);
}

void TdBaseIndexF::showEvent(QShowEvent* event) {
  FormShow();
  QDialog::showEvent(event);
}

void TdBaseIndexF::FormShow() {
  dBaseFLB->clear();
  dBaseFLB->addItems(fieldNames_);
  IdxFName->clear();
  ExpressionEdit->clear();
  ExpressionEdit->setEnabled(false);
  ExpressionBtn->setText("&Expression Index");
  SubsetEdit->clear();
  UniqueCB->setChecked(false);
  MaintainedCB->setChecked(true);
  DescendingCB->setChecked(false);
  definition_ = engine::IndexDesc{};
  updateOK();
}

void TdBaseIndexF::dBaseFLBClick(QListWidgetItem* item) {
  if (!item) return;
  IdxFName->setText(item->text());
  updateOK();
}

void TdBaseIndexF::dBaseFLBDblClick(QListWidgetItem* item) {
  if (!item || !expressionMode()) return;
  const QString old = ExpressionEdit->text();
  ExpressionEdit->setText(old.isEmpty() ? item->text() : old + "+" + item->text());
}

void TdBaseIndexF::ExpressionBtnClick() {
  const bool expression = !expressionMode();
  ExpressionEdit->setEnabled(expression);
  ExpressionBtn->setText(expression ? "Index field" : "&Expression Index");
  updateOK();
}

bool TdBaseIndexF::expressionMode() const { return ExpressionEdit->isEnabled(); }

QString TdBaseIndexF::key() const {
  return (expressionMode() ? ExpressionEdit->text() : IdxFName->text()).trimmed();
}

void TdBaseIndexF::updateOK() { OKBtn->setEnabled(!key().isEmpty()); }

void TdBaseIndexF::OKBtnClick() {
  if (key().isEmpty()) return;
  const QString suggested = expressionMode() ? QString() : key();
  const std::optional<QString> name =
      prompter().input("Define Index", "Tag name:", suggested, false);
  if (!name || name->trimmed().isEmpty()) return;
  engine::IndexDesc& d = definition_;
  d = engine::IndexDesc{};
  d.tagName = name->trimmed().toUpper().toStdString();
  d.name = d.tagName;
  d.keyExpression = key().toStdString();
  d.expression = expressionMode() ? 1 : 0;
  d.subsetCondition = SubsetEdit->text().trimmed().toStdString();
  d.subset = d.subsetCondition.empty() ? 0 : 1;
  d.unique = UniqueCB->isChecked() ? 1 : 0;
  d.maintained = MaintainedCB->isChecked() ? 1 : 0;
  d.descending = DescendingCB->isChecked() ? 1 : 0;
  accept();
}
