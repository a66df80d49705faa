// quarry backup: all tables of an alias or the named tables of a directory
// copied into a folder, one line per copy, and a stop at the first failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/engine.h"
#include "engine/paradox/pxcreate.h"
#include "structure/backup.h"
#include "tests/cli/run_quarry.h"
#include "tests/support/files.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using namespace engine;

namespace {

std::vector<std::string> Files(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class QuarryBackup : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(source());
    for (const char* name : {"ALPHA", "BETA", "GAMMA"}) {
      const std::string path = source() + "/" + name + ".DB";
      ASSERT_EQ(
          paradox::CreateParadoxTable(
              ptables::Desc(path,
                            {ptables::Field("Id", pxLong), ptables::Field("Text", pxMemo, 10)}, 1),
              false),
          Ok)
          << LastErrorMessage();
      hDBICur cursor = 0;
      ASSERT_EQ(OpenTablePath(path, OpenMode::ReadWrite, cursor), Ok) << LastErrorMessage();
      EXPECT_EQ(InsertRecord(cursor, {Value(std::int64_t{1}), Value(std::string(name) + " memo")}),
                Ok);
      CloseCursor(cursor);
    }
    fs::create_directories(out());
  }

  QuarryRun Quarry(std::vector<std::string> args) {
    args.push_back("--config");
    args.push_back(dir / "engine.cfg");
    return RunQuarryProcess(args);
  }

  std::string source() const { return dir / "data"; }
  std::string out() const { return dir / "out"; }
  TempDir dir;
};

TEST_F(QuarryBackup, AllTablesOfAnAliasAsTheDialogCopiesThem) {
  ASSERT_EQ(Quarry({"alias", "add", "DATA", source()}).status, 0);
  auto run = Quarry({"backup", "DATA", out()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Copied ALPHA.DB to " + out() + "/ALPHA.DB\nCopied BETA.DB to " + out() +
                         "/BETA.DB\nCopied GAMMA.DB to " + out() + "/GAMMA.DB\n");

  // The same run through the code the dialog uses gives the same files.
  const std::string byDialog = dir / "dialog";
  fs::create_directories(byDialog);
  ASSERT_NO_THROW(
      structure::BackupTables(QString::fromStdString(source()),
                              structure::BackupCandidates(QString::fromStdString(source())),
                              QString::fromStdString(byDialog) + "/", true));
  ASSERT_EQ(Files(out()), Files(byDialog));
  EXPECT_EQ(Files(out()).size(), 9u);  // table, primary index and memo file each
  for (const std::string& file : Files(out()))
    EXPECT_EQ(Slurp(out() + "/" + file).value_or(""), Slurp(byDialog + "/" + file).value_or(""))
        << file;

  // Again: the tables are there now, and only --overwrite replaces them.
  auto again = Quarry({"backup", "DATA", out()});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_NE(again.err.find("ALPHA.DB: the destination table exists already"), std::string::npos)
      << again.err;
  auto replaced = Quarry({"backup", "DATA", out(), "--overwrite"});
  EXPECT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_EQ(std::count(replaced.out.begin(), replaced.out.end(), '\n'), 3);
}

TEST_F(QuarryBackup, NamedTablesOfADirectoryStopAtTheFirstFailure) {
  ASSERT_EQ(Quarry({"backup", source(), out(), "--tables", "BETA"}).status, 0);
  auto run = Quarry({"backup", source(), out(), "--tables", "GAMMA.DB, BETA,ALPHA"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Copied GAMMA.DB to " + out() + "/GAMMA.DB\n");
  EXPECT_NE(run.err.find("BETA.DB: the destination table exists already"), std::string::npos)
      << run.err;
  EXPECT_FALSE(fs::exists(out() + "/ALPHA.DB"));

  // A folder given without its separator is the folder all the same.
  auto plain = Quarry({"backup", source(), out(), "--tables", "ALPHA"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_TRUE(fs::exists(out() + "/ALPHA.DB"));
}

TEST_F(QuarryBackup, BadArgumentsAreUsageErrors) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"backup", source()},
        std::vector<std::string>{"backup", source(), ""},
        std::vector<std::string>{"backup", source(), out(), "--tables", " , "}}) {
    auto run = Quarry(args);
    EXPECT_EQ(run.status, 2) << run.err;
  }
  EXPECT_TRUE(fs::is_empty(out()));
}

}  // namespace
