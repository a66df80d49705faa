#include "compare/operf.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/prompter.h"

TOperF::TOperF(QWidget* parent) : QDialog(parent) {
  setObjectName("OperF");
  setWindowTitle("Unknown field");
  ListBox1 = new QListWidget;
  ListBox1->setObjectName("ListBox1");
  NewBtn = new QPushButton("New");
  NewBtn->setObjectName("NewBtn");
  ModifyBtn = new QPushButton("Modify");
  ModifyBtn->setObjectName("ModifyBtn");
  connect(NewBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(ModifyBtn, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(NewBtn);
  buttons->addWidget(ModifyBtn);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(ListBox1);
  layout->addLayout(buttons);
}

int AskFieldMapping(const QStringList& fields, const QString& table, const QString& field) {
  TOperF dialog;
  dialog.setWindowTitle(table + ": " + field);
  dialog.ListBox1->addItems(fields);
  if (prompter().exec(dialog) == QDialog::Accepted) return -1;
  const QList<QListWidgetItem*> chosen = dialog.ListBox1->selectedItems();
  return chosen.isEmpty() ? -1 : dialog.ListBox1->row(chosen.first());
}
