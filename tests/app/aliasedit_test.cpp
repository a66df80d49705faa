// Alias editing as a user does it: the tree's own label editor, the parameter
// grid's in-place buttons and pick lists, Apply and Cancel; the configuration
// file is read back to see what was written.
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <algorithm>
#include <filesystem>

#include "explorer/treenodes.h"
#include "tests/app/explorer_fixture.h"
#include "tests/support/scripted_prompter.h"

namespace {

using AliasEdit = ExplorerTest;

QStringList GridLines(const TParadoxfrm& form) {
  QStringList lines;
  for (int r = 0; r < form.StringGrid->rowCount(); ++r)
    lines << form.StringGrid->item(r, 0)->text() + "=" + form.StringGrid->item(r, 1)->text();
  return lines;
}

void Show(TParadoxfrm& form) {
  form.show();
  QApplication::setActiveWindow(&form);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
}

// Types into the tree's open label editor and presses Enter.
void TypeLabel(TParadoxfrm& form, const QString& text) {
  auto* editor = form.TreeView->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr);
  editor->setText(text);
  QTest::keyClick(editor, Qt::Key_Return);
  QApplication::processEvents();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Makes the value cell of grid row `row` current, as a click on it does.
void ClickValue(TParadoxfrm& form, int row) {
  form.StringGrid->setFocus();
  const QRect cell = form.StringGrid->visualRect(form.StringGrid->model()->index(row, 1));
  QTest::mouseClick(form.StringGrid->viewport(), Qt::LeftButton, {}, cell.center() - QPoint(20, 0));
}

void Pick(QListWidget* list, const QString& text) {
  ASSERT_NE(list, nullptr);
  const auto found = list->findItems(text, Qt::MatchExactly);
  ASSERT_EQ(found.size(), 1);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(found[0]).center());
}

engine::DatabaseDesc Described(const std::string& alias) {
  EXPECT_EQ(engine::ReloadConfig(), engine::Ok);  // what the file holds
  engine::DatabaseDesc desc;
  EXPECT_EQ(engine::GetDatabaseDesc(alias, desc), engine::Ok) << alias;
  return desc;
}

TEST_F(AliasEdit, F2OnAnAliasRenamesItInTheConfiguration) {
  TParadoxfrm form;
  Show(form);
  QTreeWidgetItem* alias = Node(form, "DEMO");
  form.TreeView->setCurrentItem(alias);
  form.TreeView->setFocus();
  ScriptedPrompter script;
  script.yes("Rename alias DEMO to SHOP");
  QTest::keyClick(form.TreeView, Qt::Key_F2);
  TypeLabel(form, "SHOP");
  EXPECT_EQ(alias->text(0), "SHOP");
  EXPECT_EQ(Described("SHOP").physicalPath, demo());
  form.TreeView->setCurrentItem(form.TreeView->topLevelItem(0));
  form.TreeView->setCurrentItem(alias);  // selecting it again finds the alias
  EXPECT_EQ(GridLines(form)[1], "PATH=" + QString::fromStdString(demo()));
}

TEST_F(AliasEdit, ANewAliasIsNamedGivenItsParametersAndApplied) {
  TParadoxfrm form;
  Show(form);
  EXPECT_FALSE(form.command("ApplyBtn")->isEnabled());
  EXPECT_FALSE(form.command("CancelBtn")->isEnabled());
  const std::string folder = dir / "archive";
  std::filesystem::create_directory(folder);
  ScriptedPrompter script;
  form.command("New1")->trigger();
  EXPECT_TRUE(form.command("ApplyBtn")->isEnabled());
  QTreeWidgetItem* node = form.TreeView->currentItem();
  ASSERT_EQ(node->text(0), "NEW STANDARD");
  EXPECT_TRUE(tree::HasUnsavedMark(node));
  TypeLabel(form, "ARCHIVE");
  EXPECT_EQ(PendingAliasName, "ARCHIVE");

  ClickValue(form, 1);
  ASSERT_NE(form.PathButton, nullptr);
  script.answer(QString::fromStdString(folder));
  QTest::mouseClick(form.PathButton, Qt::LeftButton);
  ClickValue(form, 2);
  ASSERT_NE(form.BcdButton, nullptr);
  EXPECT_EQ(form.PathButton, nullptr);  // one button at a time
  QTest::mouseClick(form.BcdButton, Qt::LeftButton);
  ASSERT_NE(form.BcdList, nullptr);
  QTest::mouseClick(form.BcdButton, Qt::LeftButton);  // the second click takes the list away
  EXPECT_EQ(form.BcdList, nullptr);
  ClickValue(form, 3);
  QTest::mouseClick(form.DriverButton, Qt::LeftButton);
  Pick(form.DriverList, "dBASE");
  EXPECT_EQ(form.DriverList, nullptr);
  EXPECT_EQ(GridLines(form), (QStringList{"TYPE=STANDARD", "PATH=" + QString::fromStdString(folder),
                                          "ENABLE BCD=FALSE", "DEFAULT DRIVER=dBASE"}));

  script.yes("Save alias ARCHIVE to config file?");
  form.command("ApplyBtn")->trigger();
  const engine::DatabaseDesc desc = Described("ARCHIVE");
  EXPECT_EQ(desc.physicalPath, folder);
  EXPECT_EQ(desc.driverType, "DBASE");
  EXPECT_FALSE(tree::HasUnsavedMark(node));
  EXPECT_FALSE(PendingAliasMode);
  EXPECT_FALSE(form.command("ApplyBtn")->isEnabled());
  node->setExpanded(true);
  EXPECT_EQ(Children(node), (QStringList{"Tables", "SQL & QBE Files"}));
}

TEST_F(AliasEdit, CancelOfTheNewAliasRemovesItsNodeAndTheNextStartsAfresh) {
  TParadoxfrm form;
  Show(form);
  ScriptedPrompter script;
  form.command("NewaliasPopup")->trigger();
  TypeLabel(form, "SCRATCH");
  script.yes("Cancel all edits to SCRATCH");
  form.command("CancelBtn")->trigger();
  EXPECT_EQ(Children(form.TreeView->topLevelItem(0)), QStringList{"DEMO"});
  EXPECT_FALSE(PendingAliasMode);
  EXPECT_FALSE(form.command("CancelBtn")->isEnabled());
  form.command("New1")->trigger();
  EXPECT_EQ(form.TreeView->currentItem()->text(0), "NEW STANDARD");
  EXPECT_EQ(GridLines(form)[1], "PATH=");
}

TEST_F(AliasEdit, AnExistingAliasIsChangedOnlyByARealChangeAndApplyWritesIt) {
  TParadoxfrm form;
  Show(form);
  form.TreeView->setCurrentItem(Node(form, "DEMO"));
  ScriptedPrompter script;
  ClickValue(form, 1);
  script.answer(QString::fromStdString(demo()));  // the same folder again
  QTest::mouseClick(form.PathButton, Qt::LeftButton);
  EXPECT_FALSE(form.command("ApplyBtn")->isEnabled());

  ClickValue(form, 2);
  QTest::mouseClick(form.BcdButton, Qt::LeftButton);
  Pick(form.BcdList, "TRUE");
  EXPECT_TRUE(form.command("ApplyBtn")->isEnabled());
  script.no("Cancel all edits to DEMO");
  form.command("CancelNode")->trigger();
  EXPECT_EQ(GridLines(form)[2], "ENABLE BCD=TRUE");  // answered No: kept
  script.yes("Save all edits to DEMO ?");
  form.command("ApplyBtn")->trigger();
  EXPECT_FALSE(form.command("ApplyBtn")->isEnabled());
  ASSERT_EQ(engine::ReloadConfig(), engine::Ok);
  std::vector<engine::ConfigEntry> params;
  ASSERT_EQ(engine::GetAliasParams("DEMO", params), engine::Ok);
  const auto bcd = std::find_if(params.begin(), params.end(),
                                [](const engine::ConfigEntry& p) { return p.name == "ENABLE BCD"; });
  ASSERT_NE(bcd, params.end());
  EXPECT_EQ(bcd->value, "TRUE");

  ClickValue(form, 3);
  QTest::mouseClick(form.DriverButton, Qt::LeftButton);
  Pick(form.DriverList, "dBASE");
  script.yes("Cancel all edits to DEMO");
  form.command("CancelBtn")->trigger();
  EXPECT_EQ(GridLines(form)[3], "DEFAULT DRIVER=PARADOX");  // read again
  EXPECT_FALSE(form.command("ApplyBtn")->isEnabled());
}

}  // namespace
