// "Save structure to..." on an alias of the explorer, and the command line
// writing the same file.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProgressBar>

#include "explorer/treenodes.h"
#include "structure/inifile.h"
#include "tests/app/explorer_fixture.h"
#include "tests/support/password_dialog.h"
#include "tests/support/scripted_prompter.h"

namespace {


QByteArray Bytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class SaveStructureWindow : public ExplorerTest {
 protected:
  QString file(const char* name) const { return QString::fromStdString(dir / name); }
  // Selects DEMO and saves its structure to `path`, answering the
  // protected table's password prompt.
  void SaveDemo(TParadoxfrm& form, const QString& path) {
    form.TreeView->setCurrentItem(Node(form, "DEMO"));
    ScriptedPrompter script;
    script.answer(Prompter::FileChoice{path, "INI Files (*.ini)"}, "Save structure to");
    script.answer(TypePassword(kDemoMasterPassword, "OKBtn"), "DEMO: SECRETS.DB");
    form.command("Savestructureto1")->trigger();
  }
};

TEST_F(SaveStructureWindow, WritesEveryTableOfTheAliasAndLeavesItOpen) {
  TParadoxfrm form;
  SaveDemo(form, file("demo"));  // no extension: ".ini" is added
  const structure::IniFile ini(file("demo.ini"));
  EXPECT_EQ(ini.ReadSectionValues("TABLES"),
            (QStringList{"0=CUSTOMER.DB", "1=NOTES.DB", "2=ORDERS.DB", "3=SECRETS.DB",
                         "4=STATUS.DB"}));
  for (const char* section :
       {"CUSTOMER.DB\\INDEXES\\ByName", "CUSTOMER.DB\\VCHECKS\\Phone", "ORDERS.DB\\RINTS\\OrderCustomer",
        "CUSTOMER.DB\\RINTS\\OrderCustomer", "SECRETS.DB\\SECURITIES\\0", "NOTES.DB\\FIELDS\\Written"})
    EXPECT_TRUE(ini.SectionExists(section)) << section;
  EXPECT_EQ(ini.ReadString("SECRETS.DB\\TBPROPS\\SLIST", "0"), kDemoReadOnlyPassword);
  QTreeWidgetItem* alias = Node(form, "DEMO");
  EXPECT_EQ(tree::ImageOf(alias), tree::OpenDatabaseImage);
  EXPECT_GE(DMF().IsOpenedDataBase("DEMO"), 0);
  EXPECT_EQ(form.ProgressBar->value(), 0);
}

TEST_F(SaveStructureWindow, ACancelledDialogWritesNothing) {
  TParadoxfrm form;
  form.TreeView->setCurrentItem(Node(form, "DEMO"));
  ScriptedPrompter script;
  script.answer(Prompter::FileChoice{}, "Save structure to");
  form.command("SavestructuretoPopup")->trigger();
  EXPECT_TRUE(QDir(QString::fromStdString(dir.path())).entryList({"*.ini"}).isEmpty());
}

TEST_F(SaveStructureWindow, AnAliasThatDoesNotOpenIsRefused) {
  ASSERT_EQ(engine::AddStandardAlias("GONE", dir / "nowhere", "PARADOX"), engine::Ok);
  TParadoxfrm form;
  form.TreeView->setCurrentItem(Node(form, "GONE"));
  ScriptedPrompter script;
  script.answer(Prompter::FileChoice{file("gone.ini"), ""}, "Save structure to");
  script.ok("Can not open database GONE");
  form.command("Savestructureto1")->trigger();
  EXPECT_FALSE(QFile::exists(file("gone.ini")));
}

TEST_F(SaveStructureWindow, ACancelledPasswordEndsTheSaveKeepingTheTablesBefore) {
  TParadoxfrm form;
  form.TreeView->setCurrentItem(Node(form, "DEMO"));
  ScriptedPrompter script;
  script.answer(Prompter::FileChoice{file("part.ini"), ""}, "Save structure to");
  script.answer(TypePassword("", "CancelBtn"), "DEMO: SECRETS.DB");
  script.ok();  // the engine's message
  form.command("Savestructureto1")->trigger();
  EXPECT_TRUE(script.lastAsked().contains("SECRETS")) << script.lastAsked().toStdString();
  const structure::IniFile ini(file("part.ini"));
  EXPECT_TRUE(ini.SectionExists("ORDERS.DB\\TBPROPS"));
  EXPECT_FALSE(ini.SectionExists("SECRETS.DB\\TBPROPS"));
  EXPECT_FALSE(ini.SectionExists("STATUS.DB\\TBPROPS"));
  EXPECT_EQ(form.ProgressBar->value(), 0);
}

#ifdef QUARRY_BIN
TEST_F(SaveStructureWindow, TheCommandLineWritesTheSameFile) {
  TParadoxfrm form;
  SaveDemo(form, file("window.ini"));
  ASSERT_EQ(engine::SaveConfigFile(), engine::Ok);
  QProcess quarry;
  quarry.start(QUARRY_BIN, {"save-structure", "DEMO", file("cli.ini"), "--password",
                            kDemoMasterPassword, "--config",
                            QString::fromStdString(dir / "engine.cfg")});
  ASSERT_TRUE(quarry.waitForFinished(30000));
  EXPECT_EQ(quarry.exitCode(), 0) << quarry.readAllStandardError().toStdString();
  EXPECT_TRUE(quarry.readAllStandardOutput().startsWith("Saved the structure of 5 tables of DEMO"));
  EXPECT_FALSE(Bytes(file("cli.ini")).isEmpty());
  EXPECT_EQ(Bytes(file("cli.ini")), Bytes(file("window.ini")));
}
#endif

}  // namespace
