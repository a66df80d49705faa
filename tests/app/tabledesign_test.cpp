// "New" and "Restructure" from the explorer: the type prompt leads to the
// design dialog of the chosen kind, on the selected alias or table, and the
// tree shows what the dialog made.
#include <QAction>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>

#include "design/createf.h"
#include "design/dbasecreatef.h"
#include "design/fieldroster.h"
#include "design/tbltypef.h"
#include "tests/app/explorer_fixture.h"
#include "tests/support/scripted_prompter.h"

namespace {

using TableDesign = ExplorerTest;

ScriptedPrompter::DialogDriver ChooseType(const QString& description) {
  return [description](QDialog& d) {
    auto& dialog = dynamic_cast<TTblTypeF&>(d);
    const auto items = dialog.TableTypeList->findItems(description, Qt::MatchExactly);
    EXPECT_EQ(items.size(), 1);
    if (!items.isEmpty()) dialog.TableTypeList->setCurrentItem(items[0]);
    dialog.OKBtn->click();
    return dialog.result();
  };
}

TEST_F(TableDesign, NewAsksTheTypeAndOpensTheDbaseDialogOnTheAlias) {
  TParadoxfrm form;
  form.TreeView->setCurrentItem(Node(form, "DEMO/Tables"));
  QString database, caption;
  bool restructure = true;
  ScriptedPrompter script;
  script.answer(ChooseType("dBASE IV"));
  script.answer(ScriptedPrompter::DialogDriver([&](QDialog& d) {
    auto& dialog = dynamic_cast<TdBaseCreateF&>(d);
    restructure = dialog.restructureMode();
    return int(QDialog::Rejected);
  }));
  form.command("NewTable1")->trigger();
  EXPECT_FALSE(restructure);
  EXPECT_EQ(NewTableType, "DBASE");
  EXPECT_EQ(NewTableLevel, "4");
  EXPECT_EQ(CurrentAliasName, "DEMO");

  script.answer(ScriptedPrompter::DialogDriver([](QDialog&) { return int(QDialog::Rejected); }));
  form.command("TableNewPopup")->trigger();  // cancelled at the type: nothing more is asked
}

TEST_F(TableDesign, RestructureOpensTheDialogOfTheTablesKindAndTheTreeShowsTheNewStructure) {
  TParadoxfrm form;
  QTreeWidgetItem* parts = Node(form, "DEMO/Tables/PARTS.DBF");
  QTreeWidgetItem* fields = Node(form, "DEMO/Tables/PARTS.DBF/FIELDS");
  ASSERT_NE(fields, nullptr);
  const int before = fields->childCount();
  form.TreeView->setCurrentItem(parts);
  bool restructure = false, modeSet = false;
  ScriptedPrompter script;
  script.answer(ScriptedPrompter::DialogDriver([&](QDialog& d) {
    auto& dialog = dynamic_cast<TdBaseCreateF&>(d);
    restructure = dialog.restructureMode();
    modeSet = RestructureMode;
    return int(QDialog::Rejected);
  }));
  form.command("RstrctBtn")->trigger();
  EXPECT_TRUE(restructure);
  EXPECT_TRUE(modeSet);
  EXPECT_FALSE(RestructureMode);
  EXPECT_EQ(RestructTargetTable, "PARTS.DBF");
  EXPECT_GT(before, 0);
  EXPECT_EQ(fields->childCount(), 0);  // read again when next expanded
  fields->setExpanded(true);
  Node(form, "DEMO/Tables/PARTS.DBF/FIELDS");
  EXPECT_EQ(fields->childCount(), before);
}


TEST_F(TableDesign, ParadoxNewAndRestructureOpenTheParadoxDialog) {
  TParadoxfrm form;
  form.TreeView->setCurrentItem(Node(form, "DEMO/Tables"));
  QString title;
  ScriptedPrompter script;
  script.answer(ChooseType("Paradox 5.0 for Windows"));
  script.answer(ScriptedPrompter::DialogDriver([&](QDialog& d) {
    auto& dialog = dynamic_cast<TCreateF&>(d);
    dialog.show();
    title = dialog.windowTitle();
    EXPECT_FALSE(dialog.restructureMode());
    dialog.CancelBtn->click();
    return dialog.result();
  }));
  form.command("NewTable1")->trigger();
  EXPECT_EQ(title, "Create Paradox 5 table ");

  form.TreeView->setCurrentItem(Node(form, "DEMO/Tables/STATUS.DB"));
  QStringList names;
  script.answer(ScriptedPrompter::DialogDriver([&](QDialog& d) {
    auto& dialog = dynamic_cast<TCreateF&>(d);
    dialog.show();
    title = dialog.windowTitle();
    names = dialog.Roster->FieldNames();
    dialog.CancelBtn->click();
    return dialog.result();
  }));
  form.command("Restructure1")->trigger();
  EXPECT_EQ(title, "Restructure table STATUS.DB (Paradox 4)");
  EXPECT_EQ(names.size(), 2);
  EXPECT_FALSE(RestructureMode);
}

}  // namespace
