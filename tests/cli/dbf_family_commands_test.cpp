// quarry copy / rename / empty / pack / delete on dBASE tables, and copies
// between the drivers from the command line. (quarry insert takes no
// .DBF table: the tests make theirs from Paradox ones.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "engine/dbase/dbtable.h"
#include "engine/paradox/pxtable.h"
#include "tests/cli/run_quarry.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename());
  std::sort(out.begin(), out.end());
  return out;
}

// What dump prints after its header line.
std::string Body(const std::string& dump) {
  const std::size_t line = dump.find('\n');
  return line == std::string::npos ? "" : dump.substr(line + 1);
}

QuarryRun Ok(const std::vector<std::string>& args, const std::string& input = "") {
  QuarryRun run = RunQuarryProcess(args, input);
  EXPECT_EQ(run.status, 0) << args[0] << ": " << run.err;
  return run;
}

}  // namespace

TEST(QuarryDbfFamily, CopyRenamePackEmptyDelete) {
  TempDir dir;
  // The dBASE table is made from a Paradox one.
  Ok({"create", dir / "SOURCE.DB", "--fields", "Id S; Text M 5"});
  Ok({"insert", dir / "SOURCE.DB"}, "Id,Text\n1,first note\n2,second note\n3,third note\n");
  const std::string notes = dir / "NOTES.DBF";
  Ok({"copy", dir / "SOURCE.DB", notes});
  Ok({"delete", dir / "SOURCE.DB"});
  const std::string rows = Ok({"dump", notes}).out;
  EXPECT_EQ(Body(rows), "1,first note\n2,second note\n3,third note\n");

  // A name without extension is a table of the source's kind.
  EXPECT_EQ(Ok({"copy", notes, dir / "BACKUP"}).out,
            "Copied " + notes + " to " + dir / "BACKUP" + "\n");
  EXPECT_EQ(Ok({"dump", dir / "BACKUP.DBF"}).out, rows);
  auto again = RunQuarryProcess({"copy", notes, dir / "BACKUP.DBF"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("BACKUP.DBF: the destination table exists already"), std::string::npos)
      << again.err;
  Ok({"copy", notes, dir / "BACKUP.DBF", "--overwrite"});

  Ok({"rename", dir / "BACKUP.DBF", "OLD"});
  EXPECT_EQ(Names(dir.path()),
            (std::vector<std::string>{"NOTES.DBF", "NOTES.DBT", "OLD.DBF", "OLD.DBT"}));
  const std::string info = Ok({"info", dir / "OLD.DBF"}).out;
  EXPECT_NE(info.find("OLD.DBT"), std::string::npos) << info;

  {
    std::unique_ptr<engine::dbase::DbaseTable> t;
    engine::dbase::OpenOptions o;
    o.writable = true;
    ASSERT_EQ(engine::dbase::DbaseTable::Open(dir / "OLD.DBF", o, t), engine::Ok);
    ASSERT_EQ(t->setDeleted(1, true), engine::Ok);
  }
  EXPECT_EQ(Ok({"pack", dir / "OLD.DBF"}).out, "Packed " + dir / "OLD.DBF" + "\n");
  EXPECT_EQ(Body(Ok({"dump", dir / "OLD.DBF", "--deleted"}).out),
            "false,1,first note\nfalse,3,third note\n");

  Ok({"empty", dir / "OLD.DBF"});
  EXPECT_EQ(Ok({"dump", dir / "OLD.DBF"}).out, "ID,TEXT\n");

  Ok({"delete", dir / "OLD.DBF"});
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"NOTES.DBF", "NOTES.DBT"}));
  EXPECT_EQ(Ok({"dump", notes}).out, rows);
}

TEST(QuarryDbfFamily, CopiesBetweenTheDriversKeepEveryValue) {
  TempDir dir;
  const std::string a = dir / "A.DB";
  Ok({"create", a, "--fields", "Id I; Name A 20; Price $; Born D; Note M 5"});
  Ok({"insert", a},
     "Id,Name,Price,Born,Note\n1,Ann,12.5,1990-04-01,a long note\n2,Bob,,,\n3,Cy,-0.25,2001-12-31,x\n");
  const std::string rows = Ok({"dump", a}).out;

  Ok({"copy", a, dir / "B.DBF"});
  EXPECT_EQ(Body(Ok({"dump", dir / "B.DBF"}).out), Body(rows));
  Ok({"copy", dir / "B.DBF", dir / "C.DB"});
  EXPECT_EQ(Body(Ok({"dump", dir / "C.DB"}).out), Body(rows));

  // A value the other driver cannot hold stops the copy and names itself.
  const std::string wide = dir / "W.DB";
  Ok({"create", wide, "--fields", "Born D"});
  {
    std::unique_ptr<engine::paradox::ParadoxTable> t;
    engine::paradox::OpenOptions o;
    o.writable = true;
    ASSERT_EQ(engine::paradox::ParadoxTable::Open(wide, o, t), engine::Ok);
    ASSERT_EQ(t->insertMany({{engine::DateValue{engine::DayNumber(2000, 1, 1)}},
                             {engine::DateValue{engine::DayNumber(12000, 1, 1)}}}),
              engine::Ok);
  }
  auto refused = RunQuarryProcess({"copy", wide, dir / "W.DBF"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("record 2: field Born: the date lies outside the years 1 to 9999"),
            std::string::npos)
      << refused.err;
  EXPECT_FALSE(fs::exists(dir / "W.DBF"));
}

TEST(QuarryDbfFamily, RestructureTakesDbaseFields) {
  TempDir dir;
  Ok({"create", dir / "A.DB", "--fields", "Name A 10; Age S"});
  Ok({"insert", dir / "A.DB"}, "Name,Age\nAnn,20\nBob,31\n");
  const std::string t = dir / "T.DBF";
  Ok({"copy", dir / "A.DB", t});
  auto dry = RunQuarryProcess({"restructure", t, "--fields", "NAME C 2; AGE N 6", "--dry-run"});
  EXPECT_EQ(dry.status, 1);
  EXPECT_NE(dry.out.find("record 1: field NAME: \"Ann\" is longer than 2 characters"),
            std::string::npos)
      << dry.out;
  Ok({"restructure", t, "--fields", "FULL C 20; AGE C 3", "--rename", "NAME=FULL"});
  EXPECT_EQ(Ok({"dump", t}).out, "FULL,AGE\nAnn,20\nBob,31\n");
  EXPECT_EQ(RunQuarryProcess({"restructure", t, "--key", "1"}).status, 2);
}
