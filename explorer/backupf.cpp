#include "explorer/backupf.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "app/dmf.h"
#include "app/globals.h"
#include "app/prompter.h"
#include "structure/backup.h"

namespace {

// A folder as the path edit shows it: with a separator at its end.
QString WithSeparator(const QString& folder) {
  return folder.endsWith(QDir::separator()) ? folder : folder + QDir::separator();
}

QAction* AddAction(QMenu* menu, const char* name, const char* caption) {
  QAction* action = menu->addAction(caption);
  action->setObjectName(name);
  return action;
}

}  // namespace

TBackupF::TBackupF(QWidget* parent) : QDialog(parent) {
  setObjectName("BackupF");
  setWindowTitle("Backup copies");

  TablesCLB = new QListWidget;
  TablesCLB->setObjectName("TablesCLB");
  auto* tablesLabel = new QLabel("Tables list:");
  tablesLabel->setBuddy(TablesCLB);
  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  SelectAll1 = AddAction(PopupMenu1, "SelectAll1", "Select All");
  UnselectAll1 = AddAction(PopupMenu1, "UnselectAll1", "Unselect All");
  RevertSelect1 = AddAction(PopupMenu1, "RevertSelect1", "Revert Select");
  connect(SelectAll1, &QAction::triggered, this, &TBackupF::SelectAll1Click);
  connect(UnselectAll1, &QAction::triggered, this, &TBackupF::UnselectAll1Click);
  connect(RevertSelect1, &QAction::triggered, this, &TBackupF::RevertSelect1Click);
  TablesCLB->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(TablesCLB, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    PopupMenu1->popup(TablesCLB->viewport()->mapToGlobal(pos));
  });

  ComboBox1 = new QComboBox;
  ComboBox1->setObjectName("ComboBox1");
  auto* aliasLabel = new QLabel("Alias:");
  aliasLabel->setBuddy(ComboBox1);
  // Only a choice of the user's fills the path, not the filling of the list.
  connect(ComboBox1, &QComboBox::activated, this, &TBackupF::ComboBox1Change);

  PathEdit = new QLineEdit;
  PathEdit->setObjectName("PathEdit");
  auto* pathLabel = new QLabel("Path to backup:");
  pathLabel->setBuddy(PathEdit);
  BrowseBtn = new QPushButton("Browse folder");
  BrowseBtn->setObjectName("BrowseBtn");
  connect(BrowseBtn, &QPushButton::clicked, this, &TBackupF::BrowseBtnClick);

  OverwriteCB = new QCheckBox("Overwrite existing tables");
  OverwriteCB->setObjectName("OverwriteCB");
  CheckBox1 = new QCheckBox("Use same names");
  CheckBox1->setObjectName("CheckBox1");
  auto* options = new QGroupBox;
  options->setObjectName("GroupBox1");
  auto* optionsLayout = new QVBoxLayout(options);
  optionsLayout->addWidget(OverwriteCB);
  optionsLayout->addWidget(CheckBox1);

  ProgressLbl = new QLabel;
  ProgressLbl->setObjectName("ProgressLbl");

  CreateBtn = new QPushButton("Create");
  CreateBtn->setObjectName("CreateBtn");
  CreateBtn->setDefault(true);
  connect(CreateBtn, &QPushButton::clicked, this, &TBackupF::CreateBtnClick);
  CloseBtn = new QPushButton("Close");
  CloseBtn->setObjectName("CloseBtn");
  connect(CloseBtn, &QPushButton::clicked, this, &QDialog::reject);

  auto* right = new QGridLayout;
  right->addWidget(aliasLabel, 0, 0);
  right->addWidget(ComboBox1, 0, 1, 1, 2);
  right->addWidget(pathLabel, 1, 0);
  right->addWidget(PathEdit, 1, 1);
  right->addWidget(BrowseBtn, 1, 2);
  right->addWidget(options, 2, 0, 1, 3);
  right->setRowStretch(3, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(CreateBtn);
  buttons->addWidget(CloseBtn);
  right->addLayout(buttons, 4, 0, 1, 3);

  auto* left = new QVBoxLayout;
  left->addWidget(tablesLabel);
  left->addWidget(TablesCLB);
  auto* top = new QHBoxLayout;
  top->addLayout(left);
  top->addLayout(right, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(ProgressLbl);
}

void TBackupF::showEvent(QShowEvent* event) {
  // The dialog lives only while it is shown: it is filled once, when it
  // comes up (the program's own events only, not a restore from minimised).
  if (!event->spontaneous()) FormShow();
  QDialog::showEvent(event);
}

void TBackupF::FormShow() {
  engine::TSession& session = DMF().aSession;
  ComboBox1->clear();
  for (const std::string& alias : session.GetAliasNames())
    ComboBox1->addItem(QString::fromStdString(alias));
  ComboBox1->setCurrentIndex(-1);
  TablesCLB->clear();
  for (const QString& table : structure::BackupCandidates(CurrentAliasName)) {
    auto* item = new QListWidgetItem(table, TablesCLB);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Unchecked);
  }
  OverwriteCB->setChecked(false);
  PathEdit->clear();
  ProgressLbl->clear();
}

void TBackupF::ComboBox1Change() {
  const std::string alias = ComboBox1->currentText().toStdString();
  for (const engine::ConfigEntry& param : DMF().aSession.GetAliasParams(alias))
    if (param.name == "PATH") PathEdit->setText(WithSeparator(QString::fromStdString(param.value)));
}

void TBackupF::BrowseBtnClick() {
  QString folder = prompter().chooseFolder("Select Backup Directory", PathEdit->text());
  if (!folder.isEmpty()) PathEdit->setText(WithSeparator(folder));
}

void TBackupF::setAllChecks(const std::function<bool(bool)>& next) {
  for (int i = 0; i < TablesCLB->count(); ++i) {
    QListWidgetItem* item = TablesCLB->item(i);
    item->setCheckState(next(item->checkState() == Qt::Checked) ? Qt::Checked : Qt::Unchecked);
  }
}

void TBackupF::SelectAll1Click() {
  setAllChecks([](bool) { return true; });
}

void TBackupF::UnselectAll1Click() {
  setAllChecks([](bool) { return false; });
}

void TBackupF::RevertSelect1Click() {
  setAllChecks([](bool checked) { return !checked; });
}

void TBackupF::CreateBtnClick() {
  // Create closes a modally shown dialog with OK after its work, also when
  // the work ended in a message, a cancelled prompt or an engine error.
  struct CloseWhenModal {
    TBackupF* form;
    ~CloseWhenModal() {
      if (form->isModal()) form->accept();
    }
  } closer{this};
  if (PathEdit->text().isEmpty()) {
    prompter().error("Path no found");
    return;
  }
  copyCheckedTables();
}

void TBackupF::copyCheckedTables() {
  QStringList tables;
  QList<QListWidgetItem*> items;
  for (int i = 0; i < TablesCLB->count(); ++i) {
    QListWidgetItem* item = TablesCLB->item(i);
    if (item->checkState() != Qt::Checked) continue;
    tables << item->text();
    items << item;
  }
  structure::BackupHooks hooks;
  hooks.progress = [this](const QString& text) {
    ProgressLbl->setText(text);
    ProgressLbl->repaint();
  };
  hooks.nameFor = [](const QString& table, const QString& last) {
    return prompter().input("Coping " + table + " to...", "Backup name:", last, false);
  };
  hooks.copied = [&items](int index, const QString&) {
    items[index]->setCheckState(Qt::Unchecked);
  };
  structure::BackupTables(CurrentAliasName, tables, PathEdit->text(), OverwriteCB->isChecked(),
                          hooks);
}
