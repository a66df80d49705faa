// The "Backup copies" dialog on the demo database: what it shows, the
// selection commands, the destination path, and the copies it makes with
// kept or asked names; the explorer's commands that open it.
#include "explorer/backupf.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <filesystem>

#include "engine/dataset/dberror.h"
#include "engine/paradox/pxfamily.h"
#include "tests/support/listtexts.h"
#include "tests/app/explorer_fixture.h"
#include "tests/support/ptables.h"
#include "tests/support/scripted_prompter.h"

namespace fs = std::filesystem;

namespace {

// Also records the caption and the starting text of every input box.
class RecordingPrompter : public ScriptedPrompter {
 public:
  std::optional<QString> input(const QString& title, const QString& prompt, const QString& value,
                               bool password) override {
    boxes << title + "|" + value;
    return ScriptedPrompter::input(title, prompt, value, password);
  }
  QStringList boxes;
};

void CheckTables(QListWidget* list, const QStringList& tables) {
  for (int i = 0; i < list->count(); ++i)
    list->item(i)->setCheckState(tables.contains(list->item(i)->text()) ? Qt::Checked
                                                                        : Qt::Unchecked);
}

std::vector<std::vector<engine::Value>> Rows(const std::string& path) {
  auto table = ptables::OpenOk(path);
  return table ? ptables::AllRecords(*table) : std::vector<std::vector<engine::Value>>{};
}

class BackupDialog : public ExplorerTest {
 protected:
  void SetUp() override {
    ExplorerTest::SetUp();
    fs::create_directory(spare());
    ASSERT_EQ(engine::AddStandardAlias("SPARE", spare(), "PARADOX"), engine::Ok);
    CurrentAliasName = "DEMO";
    dialog.FormShow();
  }

  std::string spare() const { return dir / "spare"; }
  QString sparePath() const { return QString::fromStdString(spare()) + "/"; }
  bool InSpare(const std::string& file) const { return fs::exists(spare() + "/" + file); }
  // Same records in the demo table and in its copy in the spare folder.
  void ExpectCopied(const std::string& table, const std::string& copy) {
    SCOPED_TRACE(copy);
    ASSERT_TRUE(InSpare(copy));
    EXPECT_EQ(Rows(spare() + "/" + copy), Rows(demo() + "/" + table));
  }
  void PutInSpare(const std::string& table, const std::string& copy) {
    ASSERT_EQ(
        engine::paradox::CopyParadoxTable(demo() + "/" + table, spare() + "/" + copy, false, {}),
        engine::Ok)
        << engine::LastErrorMessage();
  }
  void ChooseAlias(const QString& alias) {
    dialog.ComboBox1->setCurrentIndex(dialog.ComboBox1->findText(alias));
    emit dialog.ComboBox1->activated(dialog.ComboBox1->currentIndex());
  }

  TBackupF dialog;
};

TEST_F(BackupDialog, ShowingFillsTheListsAndClearsTheRest) {
  EXPECT_EQ(Texts(dialog.TablesCLB),
            (QStringList{"CUSTOMER.DB", "NOTES.DB", "ORDERS.DB", "PARTS.DBF", "SECRETS.DB",
                         "STATUS.DB"}));
  EXPECT_TRUE(Checked(dialog.TablesCLB).isEmpty());
  QStringList aliases;
  for (int i = 0; i < dialog.ComboBox1->count(); ++i) aliases << dialog.ComboBox1->itemText(i);
  aliases.sort();
  EXPECT_EQ(aliases, (QStringList{"DEMO", "SPARE"}));

  dialog.PathEdit->setText("/somewhere/");
  dialog.OverwriteCB->setChecked(true);
  dialog.ProgressLbl->setText("Coping X");
  CheckTables(dialog.TablesCLB, {"NOTES.DB"});
  dialog.FormShow();
  EXPECT_TRUE(Checked(dialog.TablesCLB).isEmpty());
  EXPECT_EQ(dialog.TablesCLB->count(), 6);
  EXPECT_EQ(dialog.ComboBox1->count(), 2);
  EXPECT_TRUE(dialog.PathEdit->text().isEmpty());
  EXPECT_FALSE(dialog.OverwriteCB->isChecked());
  EXPECT_TRUE(dialog.ProgressLbl->text().isEmpty());
}

TEST_F(BackupDialog, AliasChoiceChangesOnlyThePath) {
  CheckTables(dialog.TablesCLB, {"NOTES.DB", "STATUS.DB"});
  ChooseAlias("SPARE");
  EXPECT_EQ(dialog.PathEdit->text(), sparePath());
  ChooseAlias("DEMO");
  EXPECT_EQ(dialog.PathEdit->text(), QString::fromStdString(demo()) + "/");
  EXPECT_EQ(dialog.TablesCLB->count(), 6);
  EXPECT_EQ(Checked(dialog.TablesCLB), (QStringList{"NOTES.DB", "STATUS.DB"}));
}

TEST_F(BackupDialog, BrowsedFolderBecomesThePathUntilCancelled) {
  ScriptedPrompter script;
  script.answer(QString::fromStdString(spare()), "Select Backup Directory");
  dialog.BrowseBtn->click();
  EXPECT_EQ(dialog.PathEdit->text(), sparePath());
  script.answer(QString(), "Select Backup Directory");
  dialog.BrowseBtn->click();
  EXPECT_EQ(dialog.PathEdit->text(), sparePath());
}

TEST_F(BackupDialog, PopupSelectsAllNoneOrTheOthers) {
  CheckTables(dialog.TablesCLB, {"NOTES.DB", "STATUS.DB"});
  dialog.RevertSelect1->trigger();
  EXPECT_EQ(Checked(dialog.TablesCLB),
            (QStringList{"CUSTOMER.DB", "ORDERS.DB", "PARTS.DBF", "SECRETS.DB"}));
  dialog.SelectAll1->trigger();
  EXPECT_EQ(Checked(dialog.TablesCLB), Texts(dialog.TablesCLB));
  dialog.UnselectAll1->trigger();
  EXPECT_TRUE(Checked(dialog.TablesCLB).isEmpty());
  dialog.RevertSelect1->trigger();
  EXPECT_EQ(Checked(dialog.TablesCLB), Texts(dialog.TablesCLB));
}

TEST_F(BackupDialog, EmptyPathSaysSoCopiesNothingAndStillCloses) {
  dialog.setModal(true);
  dialog.OverwriteCB->setChecked(true);
  CheckTables(dialog.TablesCLB, {"NOTES.DB"});
  ScriptedPrompter script;
  script.ok("Path no found");
  dialog.CreateBtn->click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(Checked(dialog.TablesCLB), QStringList{"NOTES.DB"});
  EXPECT_TRUE(fs::is_empty(spare()));
}

TEST_F(BackupDialog, OverwriteKeepsTheNamesWithoutAsking) {
  // A different table already named NOTES in the spare folder is replaced.
  PutInSpare("STATUS.DB", "NOTES.DB");
  ChooseAlias("SPARE");
  dialog.OverwriteCB->setChecked(true);
  dialog.setModal(true);
  CheckTables(dialog.TablesCLB, {"CUSTOMER.DB", "NOTES.DB"});
  ScriptedPrompter script;  // any question fails the test
  dialog.CreateBtn->click();
  EXPECT_TRUE(script.asked().isEmpty());
  ExpectCopied("CUSTOMER.DB", "CUSTOMER.DB");
  ExpectCopied("NOTES.DB", "NOTES.DB");
  EXPECT_TRUE(Checked(dialog.TablesCLB).isEmpty());
  EXPECT_EQ(dialog.ProgressLbl->text(), "Coping NOTES.DB to " + sparePath() + "NOTES.DB");
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST_F(BackupDialog, NamesAreAskedStartingFromTheLastOneOfTheClick) {
  ChooseAlias("SPARE");
  CheckTables(dialog.TablesCLB, {"CUSTOMER.DB", "NOTES.DB", "STATUS.DB"});
  RecordingPrompter script;
  script.answer(std::optional<QString>("CUST1"), "Backup name:")
      .answer(std::optional<QString>(), "Backup name:");  // cancelled
  dialog.CreateBtn->click();
  EXPECT_EQ(script.boxes,
            (QStringList{"Coping CUSTOMER.DB to...|", "Coping NOTES.DB to...|CUST1"}));
  ExpectCopied("CUSTOMER.DB", "CUST1.DB");
  EXPECT_FALSE(InSpare("NOTES.DB") || InSpare("STATUS.DB") || InSpare("CUSTOMER.DB"));
  EXPECT_EQ(Checked(dialog.TablesCLB), (QStringList{"NOTES.DB", "STATUS.DB"}));

  // A new click starts with an empty name again.
  script.boxes.clear();
  script.answer(std::optional<QString>("N2")).answer(std::optional<QString>("S2"));
  dialog.CreateBtn->click();
  EXPECT_EQ(script.boxes, (QStringList{"Coping NOTES.DB to...|", "Coping STATUS.DB to...|N2"}));
  ExpectCopied("NOTES.DB", "N2.DB");
  ExpectCopied("STATUS.DB", "S2.DB");
  EXPECT_TRUE(Checked(dialog.TablesCLB).isEmpty());
}

TEST_F(BackupDialog, ExistingDestinationStopsAfterTheTablesBefore) {
  PutInSpare("STATUS.DB", "STATUS.DB");
  ChooseAlias("SPARE");
  dialog.setModal(true);
  CheckTables(dialog.TablesCLB, {"CUSTOMER.DB", "NOTES.DB", "STATUS.DB"});
  ScriptedPrompter script;
  script.answer(std::optional<QString>("CUSTOMER")).answer(std::optional<QString>("STATUS"));
  try {
    dialog.CreateBtnClick();
    ADD_FAILURE() << "copying onto STATUS should fail";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), engine::ErrDestinationExists) << e.what();
  }
  ExpectCopied("CUSTOMER.DB", "CUSTOMER.DB");
  EXPECT_FALSE(InSpare("NOTES.DB"));
  EXPECT_EQ(Checked(dialog.TablesCLB), (QStringList{"NOTES.DB", "STATUS.DB"}));
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST_F(BackupDialog, PathWithoutSeparatorIsTheFolder) {
  dialog.PathEdit->setText(QString::fromStdString(spare()));
  dialog.OverwriteCB->setChecked(true);
  CheckTables(dialog.TablesCLB, {"STATUS.DB"});
  dialog.CreateBtn->click();
  ExpectCopied("STATUS.DB", "STATUS.DB");
  EXPECT_FALSE(fs::exists(dir / "spareSTATUS.DB"));
}

TEST_F(BackupDialog, CommandsOpenItOnTheSelectedAliasOnly) {
  TParadoxfrm form;
  for (const char* name : {"Backupcopies1", "BackupcopiesPopup"}) {
    SCOPED_TRACE(name);
    CurrentAliasName.clear();
    ScriptedPrompter script;
    form.selectNode(form.TreeView->topLevelItem(0));
    form.command(name)->trigger();  // the root: nothing happens
    EXPECT_TRUE(script.asked().isEmpty());

    QStringList shown;
    script.answer(ScriptedPrompter::DialogDriver([&](QDialog& d) {
                    d.show();  // showing fills it
                    shown = Texts(static_cast<TBackupF&>(d).TablesCLB);
                    d.hide();
                    return int(QDialog::Rejected);
                  }),
                  "Backup copies");
    form.selectNode(Node(form, "DEMO"));
    form.command(name)->trigger();
    EXPECT_EQ(CurrentAliasName, "DEMO");
    EXPECT_EQ(shown, Texts(dialog.TablesCLB));
  }
}

}  // namespace
