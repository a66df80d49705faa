// The archive window on the demo database: append into a new alias, update
// into an alias's folder, a copy over an existing table, per-table options
// that must be chosen before anything moves, and the explorer's commands
// that show it.
#include "explorer/archivef.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "engine/paradox/pxfamily.h"
#include "tests/support/listtexts.h"
#include "tests/app/explorer_fixture.h"
#include "tests/support/ptables.h"
#include "tests/support/scripted_prompter.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::vector<engine::Value>> Rows(const std::string& path) {
  auto table = ptables::OpenOk(path);
  return table ? ptables::AllRecords(*table) : std::vector<std::vector<engine::Value>>{};
}

int KeyFields(const std::string& path) {
  auto table = ptables::OpenOk(path);
  return table ? table->header().keyFieldCount() : -1;
}

QString Moved(std::size_t records, const QString& table) {
  return QString::number(records) + " records was moved.\rTable " + table;
}

class ArchiveWindow : public ExplorerTest {
 protected:
  void SetUp() override {
    ExplorerTest::SetUp();
    fs::create_directory(spare());
    ASSERT_EQ(engine::AddStandardAlias("SPARE", spare(), "PARADOX"), engine::Ok);
    window.SourceAliasName = "DEMO";
    window.FormShow();
  }

  std::string spare() const { return dir / "spare"; }
  std::string demoTable(const std::string& name) const { return demo() + "/" + name; }
  // Checks a table as the user's click on its box does.
  void Check(const QString& table) {
    QListWidgetItem* item = window.TablesCLB->findItems(table, Qt::MatchExactly).value(0);
    ASSERT_NE(item, nullptr) << table.toStdString();
    window.TablesCLB->setCurrentItem(item);
    item->setCheckState(Qt::Checked);
  }
  void ChooseAlias(const QString& alias) {
    window.AliasesCB->setCurrentIndex(window.AliasesCB->findText(alias));
    emit window.AliasesCB->activated(window.AliasesCB->currentIndex());
  }

  TArchiveF window;
};

TEST_F(ArchiveWindow, ShowingListsTheSourcesParadoxTablesAndTheAliases) {
  EXPECT_EQ(window.windowTitle(), "Create backup copy");
  EXPECT_EQ(window.DBLabel->text(), "DEMO");
  EXPECT_EQ(Texts(window.TablesCLB),
            (QStringList{"CUSTOMER.DB", "NOTES.DB", "ORDERS.DB", "SECRETS.DB", "STATUS.DB"}));
  EXPECT_EQ(window.TablesCLB->currentRow(), 0);
  EXPECT_EQ(Texts(window.DestFileLB), QStringList());
  EXPECT_EQ(window.AliasesCB->currentIndex(), -1);
  EXPECT_EQ(window.AliasesCB->count(), 2);
  EXPECT_FALSE(window.OKBtn->isEnabled());
  EXPECT_FALSE(window.TblBMOptGB->isVisibleTo(&window));
  // Positions 3 and 4 are the codes 4 (copy) and 3 (delete), both ways.
  EXPECT_EQ(TArchiveF::ModeCode(3), engine::batCopy);
  EXPECT_EQ(TArchiveF::ModeCode(4), engine::batSubtract);
  EXPECT_EQ(TArchiveF::ModePosition(engine::batCopy), 3);
  EXPECT_EQ(TArchiveF::ModePosition(engine::batSubtract), 4);
}

TEST_F(ArchiveWindow, AppendIntoANewAliasCreatesUnkeyedTablesWithEveryRecord) {
  const std::string folder = dir / "archive";
  fs::create_directory(folder);
  ScriptedPrompter script;
  window.NewAliasCb->setChecked(true);
  script.answer(QString::fromStdString(folder), "Create archive copy to...");
  window.BrowseBtn->click();
  EXPECT_EQ(window.PathEdit->text(), QString::fromStdString(folder));
  EXPECT_TRUE(window.OKBtn->isEnabled());

  // Without a name nothing happens but the message.
  Check("ORDERS.DB");
  Check("CUSTOMER.DB");
  script.ok("Path or name of the destination database is not specified.");
  window.OKBtn->click();
  EXPECT_TRUE(fs::is_empty(folder));

  window.AliasNameEdit->setText("ARCHIVE");
  const auto orders = Rows(demoTable("ORDERS.DB")), customers = Rows(demoTable("CUSTOMER.DB"));
  ASSERT_FALSE(orders.empty());
  script.ok(Moved(customers.size(), "CUSTOMER.DB")).ok(Moved(orders.size(), "ORDERS.DB"));
  window.OKBtn->click();

  EXPECT_EQ(window.BatchMode, engine::batAppend);
  EXPECT_EQ(window.DestAliasName, "ARCHIVE");
  engine::DatabaseDesc desc;
  ASSERT_EQ(engine::GetDatabaseDesc("ARCHIVE", desc), engine::Ok);
  EXPECT_EQ(desc.physicalPath, folder);
  EXPECT_FALSE(engine::ConfigHasUnsavedChanges());
  EXPECT_EQ(Rows(folder + "/ORDERS.DB"), orders);
  EXPECT_EQ(Rows(folder + "/CUSTOMER.DB"), customers);
  EXPECT_EQ(KeyFields(folder + "/ORDERS.DB"), 0);
  EXPECT_TRUE(Checked(window.TablesCLB).isEmpty());
  EXPECT_TRUE(window.DestFileLB->findItems("ORDERS.DB", Qt::MatchExactly).size() == 1);
}

TEST_F(ArchiveWindow, UpdateCreatesKeyedTablesAndAFailedTableStaysChecked) {
  ChooseAlias("SPARE");
  EXPECT_TRUE(window.OKBtn->isEnabled());
  window.ModeButtons->button(1)->setChecked(true);
  Check("NOTES.DB");  // no primary key: an update cannot use its copy
  Check("ORDERS.DB");
  ScriptedPrompter script;
  // A new table has no records to update.
  script.answer(Prompter::Button::Ok).ok(Moved(0, "ORDERS.DB"));
  window.OKBtn->click();

  EXPECT_EQ(window.BatchMode, engine::batUpdate);
  ASSERT_EQ(script.asked().size(), 2);
  EXPECT_EQ(script.asked()[0], QString::number(engine::ErrInvalidIndex) + "\r" +
                                   QString::fromStdString(spare()) +
                                   "/NOTES.DB: Destination table is not indexed");
  EXPECT_FALSE(fs::exists(spare() + "/NOTES.DB"));  // made for the move, gone with it
  EXPECT_TRUE(Rows(spare() + "/ORDERS.DB").empty());
  EXPECT_EQ(KeyFields(spare() + "/ORDERS.DB"), KeyFields(demoTable("ORDERS.DB")));
  EXPECT_GT(KeyFields(spare() + "/ORDERS.DB"), 0);
  EXPECT_EQ(Checked(window.TablesCLB), QStringList{"NOTES.DB"});
}

TEST_F(ArchiveWindow, CopyOverAnExistingTableSaysSoAndCopies) {
  ASSERT_EQ(
      engine::paradox::CopyParadoxTable(demoTable("STATUS.DB"), spare() + "/ORDERS.DB", false, {}),
      engine::Ok)
      << engine::LastErrorMessage();
  ChooseAlias("SPARE");
  EXPECT_EQ(window.DestFileLB->findItems("ORDERS.DB", Qt::MatchExactly).size(), 1);
  window.ModeButtons->button(3)->setChecked(true);
  Check("ORDERS.DB");
  const auto orders = Rows(demoTable("ORDERS.DB"));
  ScriptedPrompter script;
  script.ok("ORDERS.DB\rDestination table already exist").ok(Moved(orders.size(), "ORDERS.DB"));
  window.OKBtn->click();
  EXPECT_EQ(window.BatchMode, engine::batCopy);
  EXPECT_EQ(Rows(spare() + "/ORDERS.DB"), orders);
  EXPECT_TRUE(Checked(window.TablesCLB).isEmpty());
}

TEST_F(ArchiveWindow, PerTableOptionsMustBeChosenBeforeAnythingMoves) {
  ChooseAlias("SPARE");
  window.OneModeCB->setChecked(true);
  EXPECT_TRUE(window.TblBMOptGB->isVisibleTo(&window));
  ScriptedPrompter script;

  // Checked all at once: no table has its options.
  window.SelectAll1->trigger();
  EXPECT_EQ(window.Options("CUSTOMER.DB"), nullptr);
  script.ok("Choose the mode and destination table of CUSTOMER.DB.");
  window.OKBtn->click();
  EXPECT_EQ(window.TablesCLB->currentItem()->text(), "CUSTOMER.DB");
  EXPECT_TRUE(fs::is_empty(spare()));

  // Checked by a click: options without a destination yet.
  window.UnselectAll1->trigger();
  Check("ORDERS.DB");
  ASSERT_NE(window.Options("ORDERS.DB"), nullptr);
  EXPECT_EQ(window.Options("ORDERS.DB")->destination, -1);
  script.ok("Destination table was not selected.");
  QTest::keyClick(window.TablesCLB, Qt::Key_Down);  // it may not be left so
  EXPECT_EQ(window.TablesCLB->currentItem()->text(), "ORDERS.DB");
  script.ok("Choose the mode and destination table of ORDERS.DB.");
  window.OKBtn->click();
  EXPECT_TRUE(fs::is_empty(spare()));

  // A double click makes the table its own destination; the mode is
  // APPEND&UPDATE.
  window.TablesCLBDblClick();
  EXPECT_EQ(window.TablesCB->currentText(), "ORDERS.DB");
  window.BatModeCB->setCurrentIndex(2);
  EXPECT_EQ(window.Options("ORDERS.DB")->mode, engine::batAppendUpdate);
  EXPECT_EQ(window.Options("ORDERS.DB")->destination, window.TablesCB->currentIndex());
  const auto orders = Rows(demoTable("ORDERS.DB"));
  script.ok(Moved(orders.size(), "ORDERS.DB"));
  window.OKBtn->click();
  EXPECT_EQ(Rows(spare() + "/ORDERS.DB"), orders);
  EXPECT_GT(KeyFields(spare() + "/ORDERS.DB"), 0);
  EXPECT_TRUE(Checked(window.TablesCLB).isEmpty());
  EXPECT_EQ(window.Options("ORDERS.DB"), nullptr);
}

TEST_F(ArchiveWindow, CommandsShowItWithoutWaitingForTheSelectedAlias) {
  TParadoxfrm form;
  ScriptedPrompter script;
  form.selectNode(form.TreeView->topLevelItem(0));
  script.ok("Select an alias in the tree first: the archive moves that alias's tables.");
  form.command("Archivecopy1")->trigger();
  EXPECT_FALSE(form.ArchiveF->isVisible());

  form.selectNode(Node(form, "DEMO/Tables"));
  form.command("ArchivebatchmovePopup")->trigger();
  EXPECT_TRUE(form.ArchiveF->isVisible());
  EXPECT_FALSE(form.ArchiveF->isModal());
  EXPECT_EQ(form.ArchiveF->DBLabel->text(), "DEMO");
  EXPECT_EQ(Texts(form.ArchiveF->TablesCLB), Texts(window.TablesCLB));
  form.ArchiveF->Cancelbtn->click();
  EXPECT_FALSE(form.ArchiveF->isVisible());

  // A destination alias made on the spot appears in the tree at once.
  const std::string folder = dir / "archive";
  fs::create_directory(folder);
  form.ArchiveF->NewAliasCb->setChecked(true);
  QTest::keyClicks(form.ArchiveF->PathEdit, QString::fromStdString(folder));
  form.ArchiveF->AliasNameEdit->setText("ARCHIVE");
  form.ArchiveF->TablesCLB->findItems("STATUS.DB", Qt::MatchExactly)
      .value(0)
      ->setCheckState(Qt::Checked);
  script.ok();  // the records moved
  form.ArchiveF->OKBtn->click();
  EXPECT_EQ(Children(form.TreeView->topLevelItem(0)), (QStringList{"ARCHIVE", "DEMO", "SPARE"}));
  EXPECT_EQ(Children(Node(form, "ARCHIVE")), (QStringList{"Tables", "SQL & QBE Files"}));
}

}  // namespace
