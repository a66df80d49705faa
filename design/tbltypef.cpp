#include "design/tbltypef.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/globals.h"
#include "app/prompter.h"

namespace {

struct TableType {
  const char* description;
  const char* level;
  const char* type;
};

const TableType kTableTypes[] = {
    {"Paradox 7.0", "7", "PARADOX"},          {"Paradox 5.0 for Windows", "5", "PARADOX"},
    {"Paradox 4.0", "4", "PARADOX"},          {"Paradox 3.5", "3", "PARADOX"},
    {"Visual dBASE", "25", "DBASE"},          {"dBASE for Windows", "5", "DBASE"},
    {"dBASE IV", "4", "DBASE"},               {"dBASE III+", "3", "DBASE"},
};

}  // namespace

TTblTypeF::TTblTypeF(QWidget* parent) : QDialog(parent) {
  setObjectName("TblTypeF");
  setWindowTitle("Table type");
  TableTypeList = new QListWidget;
  TableTypeList->setObjectName("TableTypeList");
  for (const TableType& t : kTableTypes) TableTypeList->addItem(t.description);
  TableTypeList->setCurrentRow(0);
  auto* label = new QLabel("&Table type:");
  label->setBuddy(TableTypeList);
  OKBtn = new QPushButton("OK");
  OKBtn->setObjectName("OKBtn");
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton("Cancel");
  CancelBtn->setObjectName("CancelBtn");
  HelpBtn = new QPushButton("Help");
  HelpBtn->setObjectName("HelpBtn");
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  for (QPushButton* b : {OKBtn, CancelBtn, HelpBtn}) buttons->addWidget(b);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(label);
  layout->addWidget(TableTypeList);
  layout->addLayout(buttons);
  connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(TableTypeList, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
  connect(HelpBtn, &QPushButton::clicked, this, &QDialog::reject);
}

bool AskTableType(QString& level) {
  TTblTypeF dialog;
  if (prompter().exec(dialog) != QDialog::Accepted) return false;
  const int row = dialog.TableTypeList->currentRow();
  if (row < 0 || row >= static_cast<int>(std::size(kTableTypes))) return false;
  level = kTableTypes[row].level;
  NewTableType = kTableTypes[row].type;
  return true;
}
