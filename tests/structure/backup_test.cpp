// Backup copies of tables made through the engine: names kept or asked for,
// stopping on a refused name or a failed copy, and the source database
// closed whatever happens.
#include "structure/backup.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/dataset/dberror.h"
#include "engine/engine.h"
#include "engine/paradox/pxcreate.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
using ptables::Desc;
using ptables::Field;
namespace fs = std::filesystem;

namespace {

using Rows = std::vector<std::vector<Value>>;

// A keyed table with a memo (so the family has several files) and rows.
void MakeTable(const std::string& path, const Rows& rows) {
  ASSERT_EQ(paradox::CreateParadoxTable(
                Desc(path, {Field("Id", pxLong), Field("Text", pxMemo, 10)}, 1), true),
            Ok)
      << LastErrorMessage();
  hDBICur cursor = 0;
  ASSERT_EQ(OpenTablePath(path, OpenMode::ReadWrite, cursor), Ok) << LastErrorMessage();
  for (const auto& row : rows) EXPECT_EQ(InsertRecord(cursor, row), Ok) << LastErrorMessage();
  CloseCursor(cursor);
}

Rows RowsOf(const std::string& path) {
  auto table = ptables::OpenOk(path);
  return table ? ptables::AllRecords(*table) : Rows{};
}

Rows Numbered(std::int32_t first, int count) {
  Rows rows;
  for (int i = 0; i < count; ++i)
    rows.push_back({Value(std::int64_t{first + i}), Value("row " + std::to_string(first + i))});
  return rows;
}

// A handle of a database opened just now; the engine numbers its handles
// in order, so the handles between two probes are those opened in between.
hDBIDb Probe(const std::string& dir) {
  hDBIDb db = 0;
  EXPECT_EQ(OpenDatabase(dir, db), Ok) << LastErrorMessage();
  hDBIDb copy = db;
  CloseDatabase(copy);
  return db;
}

int OpenDatabasesBetween(hDBIDb from, hDBIDb to) {
  int open = 0;
  std::string directory;
  for (hDBIDb h = from + 1; h < to; ++h) open += GetDatabaseDirectory(h, directory) == Ok;
  ClearLastError();
  return open;
}

class Backup : public testing::Test {
 protected:
  void SetUp() override {
    MakeTable(source / "ALPHA.DB", Numbered(1, 3));
    MakeTable(source / "BETA.DB", Numbered(10, 2));
    MakeTable(source / "GAMMA.DB", Numbered(20, 1));
    before = Probe(source.path());
  }
  // Every database the run opened is closed again.
  void TearDown() override { EXPECT_EQ(OpenDatabasesBetween(before, Probe(source.path())), 0); }

  QString src() const { return QString::fromStdString(source.path()); }
  QString dst() const { return QString::fromStdString(target.path()) + "/"; }
  bool InTarget(const std::string& file) const { return fs::exists(target / file); }

  TempDir source, target;
  hDBIDb before = 0;
};

TEST_F(Backup, OverwriteKeepsEveryNameAndReplacesWhatIsThere) {
  MakeTable(target / "BETA.DB", Numbered(99, 5));
  QStringList progress;
  std::vector<int> copied;
  structure::BackupHooks hooks;
  hooks.nameFor = [](const QString&, const QString&) -> std::optional<QString> {
    ADD_FAILURE() << "no name is asked when tables are overwritten";
    return std::nullopt;
  };
  hooks.progress = [&](const QString& text) { progress << text; };
  hooks.copied = [&](int index, const QString&) { copied.push_back(index); };

  EXPECT_TRUE(structure::BackupTables(src(), {"ALPHA.DB", "BETA.DB"}, dst(), true, hooks));

  EXPECT_EQ(progress, (QStringList{"Coping ALPHA.DB to " + dst() + "ALPHA.DB",
                                   "Coping BETA.DB to " + dst() + "BETA.DB"}));
  EXPECT_EQ(copied, (std::vector<int>{0, 1}));
  EXPECT_EQ(RowsOf(target / "ALPHA.DB"), Numbered(1, 3));
  EXPECT_EQ(RowsOf(target / "BETA.DB"), Numbered(10, 2));
  EXPECT_TRUE(InTarget("ALPHA.MB") && InTarget("ALPHA.PX"));
  EXPECT_FALSE(InTarget("GAMMA.DB"));
}

TEST_F(Backup, AskedNamesStartFromTheNameGivenLast) {
  QStringList asked;
  QStringList answers = {"FIRST", "SECOND.DB", "THIRD"};
  structure::BackupHooks hooks;
  hooks.nameFor = [&](const QString& table, const QString& last) -> std::optional<QString> {
    asked << table + "|" + last;
    return answers.takeFirst();
  };
  EXPECT_TRUE(
      structure::BackupTables(src(), {"ALPHA.DB", "BETA.DB", "GAMMA.DB"}, dst(), false, hooks));
  EXPECT_EQ(asked, (QStringList{"ALPHA.DB|", "BETA.DB|FIRST", "GAMMA.DB|SECOND.DB"}));
  EXPECT_EQ(RowsOf(target / "FIRST.DB"), Numbered(1, 3));
  EXPECT_EQ(RowsOf(target / "SECOND.DB"), Numbered(10, 2));
  EXPECT_EQ(RowsOf(target / "THIRD.DB"), Numbered(20, 1));
  EXPECT_FALSE(InTarget("ALPHA.DB"));
}

TEST_F(Backup, RefusedNameEndsTheRunQuietly) {
  int asked = 0;
  std::vector<int> copied;
  structure::BackupHooks hooks;
  hooks.nameFor = [&](const QString& table, const QString&) -> std::optional<QString> {
    if (++asked == 2) return std::nullopt;
    return table;
  };
  hooks.copied = [&](int index, const QString&) { copied.push_back(index); };
  EXPECT_FALSE(
      structure::BackupTables(src(), {"ALPHA.DB", "BETA.DB", "GAMMA.DB"}, dst(), false, hooks));
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(copied, std::vector<int>{0});
  EXPECT_TRUE(InTarget("ALPHA.DB"));
  EXPECT_FALSE(InTarget("BETA.DB") || InTarget("GAMMA.DB"));
}

TEST_F(Backup, ExistingDestinationFailsAfterTheTablesBefore) {
  MakeTable(target / "BETA.DB", Numbered(99, 5));
  std::vector<int> copied;
  structure::BackupHooks hooks;
  hooks.copied = [&](int index, const QString&) { copied.push_back(index); };
  try {
    structure::BackupTables(src(), {"ALPHA.DB", "BETA.DB", "GAMMA.DB"}, dst(), false, hooks);
    ADD_FAILURE() << "the copy onto BETA.DB should fail";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), ErrDestinationExists);
    EXPECT_NE(std::string(e.what()).find("BETA.DB"), std::string::npos) << e.what();
  }
  EXPECT_EQ(copied, std::vector<int>{0});
  EXPECT_EQ(RowsOf(target / "BETA.DB"), Numbered(99, 5));  // untouched
  EXPECT_TRUE(InTarget("ALPHA.DB"));
  EXPECT_FALSE(InTarget("GAMMA.DB"));
}

TEST_F(Backup, FolderWithoutSeparatorReceivesTheCopiesInside) {
  const QString folder = QString::fromStdString(target / "sub");
  fs::create_directory(target / "sub");
  QStringList progress;
  structure::BackupHooks hooks;
  hooks.progress = [&](const QString& text) { progress << text; };
  EXPECT_TRUE(structure::BackupTables(src(), {"GAMMA.DB"}, folder, false, hooks));
  EXPECT_EQ(RowsOf(target / "sub/GAMMA.DB"), Numbered(20, 1));
  EXPECT_FALSE(InTarget("subGAMMA.DB"));
  EXPECT_EQ(progress, QStringList{"Coping GAMMA.DB to " + folder + "/GAMMA.DB"});
}

TEST_F(Backup, FailuresBeforeAnyCopyRaiseTheEngineError) {
  // No folder: a bare name would land in the source's own directory.
  EXPECT_THROW(structure::BackupTables(src(), {"ALPHA.DB"}, "", true), EDBEngineError);
  EXPECT_THROW(structure::BackupTables(src() + "/missing", {"ALPHA.DB"}, dst(), true),
               EDBEngineError);
  try {
    structure::BackupTables(src(), {"NONE.DB", "ALPHA.DB"}, dst(), true);
    ADD_FAILURE() << "copying a missing table should fail";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), ErrNotFound) << e.what();
  }
  EXPECT_FALSE(InTarget("ALPHA.DB"));
}

TEST_F(Backup, CandidatesAreTheSortedTablesWithoutSystemTables) {
  MakeTable(source / "$WORK.DB", {});
  MakeTable(source / "aardvark.DB", {});
  EXPECT_EQ(structure::BackupCandidates(src()),
            (QStringList{"aardvark.DB", "ALPHA.DB", "BETA.DB", "GAMMA.DB"}));
}

}  // namespace
