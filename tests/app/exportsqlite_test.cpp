// "Export to SQLite..." of an alias: the file dialog, the password of a
// protected table asked on the way, the status line, and a cancel from the
// progress dialog that leaves no file.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QAction>
#include <QProgressDialog>
#include <QTimer>
#include <filesystem>

#include "tests/app/explorer_fixture.h"
#include "tests/support/password_dialog.h"
#include "tests/support/scripted_prompter.h"

namespace {

class ExportSqlite : public ExplorerTest {
 protected:
  void SelectDemo(TParadoxfrm& form) { form.TreeView->setCurrentItem(Node(form, "DEMO")); }
  std::string target() const { return dir / "demo.sqlite"; }

  static int TableCount(const std::string& path) {
    sqlite3* db = nullptr;
    int n = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt* s = nullptr;
      sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table'", -1, &s,
                         nullptr);
      if (s && sqlite3_step(s) == SQLITE_ROW) n = sqlite3_column_int(s, 0);
      sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return n;
  }
};

TEST_F(ExportSqlite, ThePopupExportsTheAliasAskingForTheProtectedTablesPassword) {
  TParadoxfrm form;
  form.show();
  SelectDemo(form);
  ScriptedPrompter prompter;
  prompter.answer(Prompter::FileChoice{QString::fromStdString(dir / "demo"), "SQLite databases (*.sqlite *.db)"},
                  "Export to SQLite");
  prompter.answer(TypePassword(kDemoMasterPassword, "OKBtn"));
  form.command("ExporttoSQLitePopup")->trigger();
  EXPECT_EQ(TableCount(target()), 6);
  EXPECT_EQ(form.panelText(2), "6 tables exported to " + QString::fromStdString(target()));
}

TEST_F(ExportSqlite, CancelInTheProgressDialogLeavesNoFile) {
  DMF().aSession.AddPassword(kDemoMasterPassword);
  TParadoxfrm form;
  form.show();
  SelectDemo(form);
  ScriptedPrompter prompter;
  prompter.answer(Prompter::FileChoice{QString::fromStdString(target()), "All files (*)"},
                  "Export to SQLite");
  QTimer::singleShot(0, &form, [&form] {
    if (auto* progress = form.findChild<QProgressDialog*>()) progress->cancel();
  });
  form.command("ExporttoSQLite1")->trigger();
  EXPECT_FALSE(std::filesystem::exists(target()));
  EXPECT_FALSE(std::filesystem::exists(target() + ".part"));
  EXPECT_EQ(form.panelText(2), "Export cancelled");
}

}  // namespace
