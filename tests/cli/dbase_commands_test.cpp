// dBASE tables from the command line: create, insert, dump (with the
// records marked deleted), undelete; info on real files of other programs.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/engine.h"
#include "tests/cli/run_quarry.h"
#include "tests/support/tempdir.h"

namespace {

QuarryRun run(const std::vector<std::string>& args, const std::string& in = "") {
  QuarryRun r = RunQuarryProcess(args, in);
  EXPECT_EQ(r.status, 0) << r.err;
  return r;
}

// Marks record `recordNo` of a table deleted through the handle API.
void MarkDeleted(const std::string& path, std::uint32_t recordNo) {
  engine::hDBICur c = 0;
  ASSERT_EQ(engine::OpenTablePath(path, engine::OpenMode::ReadWrite, c), engine::Ok)
      << engine::LastErrorMessage();
  ASSERT_EQ(engine::SetToRecordNo(c, recordNo), engine::Ok);
  ASSERT_EQ(engine::DeleteRecord(c), engine::Ok) << engine::LastErrorMessage();
  engine::CloseCursor(c);
}

}  // namespace

TEST(QuarryDbase, CreateInsertDumpDeletedAndUndelete) {
  TempDir dir;
  const std::string t = dir / "PEOPLE.DBF";
  run({"create", t, "--fields", "NAME C 20; QTY N 8 0; PRICE N 10 2; BORN D; OK L; NOTE M",
       "--level", "4"});
  run({"insert", t}, "NAME,QTY,PRICE,BORN,OK,NOTE\nAnn,5,1.50,1990-02-03,true,first\n"
                     "Bob,7,2.25,,false,\nCy,9,3.00,2001-12-31,,third line\n");
  EXPECT_EQ(run({"dump", t}).out,
            "NAME,QTY,PRICE,BORN,OK,NOTE\nAnn,5,1.5,1990-02-03,true,first\nBob,7,2.25,,false,\n"
            "Cy,9,3,2001-12-31,,third line\n");
  MarkDeleted(t, 2);
  EXPECT_EQ(run({"dump", t}).out,
            "NAME,QTY,PRICE,BORN,OK,NOTE\nAnn,5,1.5,1990-02-03,true,first\n"
            "Cy,9,3,2001-12-31,,third line\n");
  EXPECT_EQ(run({"dump", t, "--deleted"}).out,
            "_deleted,NAME,QTY,PRICE,BORN,OK,NOTE\nfalse,Ann,5,1.5,1990-02-03,true,first\n"
            "true,Bob,7,2.25,,false,\nfalse,Cy,9,3,2001-12-31,,third line\n");
  EXPECT_EQ(run({"undelete", t, "1"}).out, "Record 1 is not deleted\n");
  EXPECT_EQ(run({"undelete", t, "2"}).out, "Recalled record 2\n");
  EXPECT_EQ(run({"dump", t}).out.find("Bob,7,2.25"), std::string("NAME,QTY,PRICE,BORN,OK,NOTE\nAnn,5,1.5,1990-02-03,true,first\n").size());

  const QuarryRun info = run({"info", t});
  EXPECT_NE(info.out.find("Driver:           DBASE"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Level:            4"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("PEOPLE.DBT"), std::string::npos) << info.out;

  // What does not fit is refused, naming the field; Paradox tables keep no deleted records.
  QuarryRun wide = RunQuarryProcess({"insert", t}, "NAME,QTY\nDee,123456789\n");
  EXPECT_NE(wide.status, 0);
  EXPECT_NE(wide.err.find("QTY"), std::string::npos) << wide.err;
  run({"create", dir / "P.DB", "--fields", "Id I"});
  QuarryRun px = RunQuarryProcess({"dump", dir / "P.DB", "--deleted"});
  EXPECT_NE(px.status, 0);
  EXPECT_NE(px.err.find("--deleted is for dBASE tables"), std::string::npos) << px.err;
  QuarryRun bad = RunQuarryProcess({"create", dir / "X.DBF", "--fields", "A Q 3"});
  EXPECT_NE(bad.err.find("unknown dBASE type letter Q"), std::string::npos) << bad.err;
}

TEST(QuarryDbase, LevelSevenTypes) {
  TempDir dir;
  const std::string t = dir / "L7.DBF";
  run({"create", t, "--fields", "ID +; N I; WHEN @; RATE O; NAME C 10", "--level", "7"});
  run({"insert", t}, "N,WHEN,RATE,NAME\n-5,2020-01-02 03:04:05,2.5,x\n7,,,y\n");
  EXPECT_EQ(run({"dump", t}).out,
            "ID,N,WHEN,RATE,NAME\n1,-5,2020-01-02 03:04:05,2.5,x\n2,7,,,y\n");
}

TEST(QuarryDbase, TagsFromCreateAreKeptByInsertsAndDropped) {
  TempDir dir;
  const std::string t = dir / "PARTS.DBF";
  EXPECT_EQ(RunQuarryProcess({"create", t, "--fields", "NO C 4", "--level", "3", "--tag",
                              "NO=NO"}).status,
            1);
  EXPECT_EQ(RunQuarryProcess({"create", dir / "P.DB", "--fields", "A A 4", "--tag", "A=A"}).status,
            2);
  run({"create", t, "--fields", "NO C 4; QTY N 8 2", "--level", "4", "--tag",
       "NO=UPPER(NO),unique", "--tag", "QTY=STR(QTY,10,2),descending"});
  run({"insert", t}, "NO,QTY\nb1,2\na2,1.5\nB1,3\n");
  const QuarryRun info = run({"info", t});
  EXPECT_NE(info.out.find("UPPER(NO)"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("STR(QTY,10,2)"), std::string::npos) << info.out;
  run({"index", "drop", t, "no"});
  run({"index", "drop", t, "PARTS.MDX"});
  EXPECT_FALSE(std::filesystem::exists(dir / "PARTS.MDX"));
  run({"insert", t}, "NO,QTY\nc3,1\n");
}
