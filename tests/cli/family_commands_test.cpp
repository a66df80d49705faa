// quarry copy / delete / rename / empty, and what info and dump show of a
// table's family and auxiliary passwords.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "engine/engine.h"
#include "engine/paradox/pxcreate.h"
#include "tests/cli/run_quarry.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename());
  std::sort(out.begin(), out.end());
  return out;
}

// A keyed table with a memo, made and filled through quarry.
std::string MakeNotes(const TempDir& dir) {
  std::string t = dir / "NOTES.DB";
  EXPECT_EQ(RunQuarryProcess({"create", t, "--fields", "Id I; Text M 5", "--key", "1"}).status, 0);
  EXPECT_EQ(RunQuarryProcess({"insert", t}, "Id,Text\n1,first note\n2,second note\n").status, 0);
  return t;
}

}  // namespace

TEST(QuarryFamily, CopyRenameEmptyDelete) {
  TempDir dir;
  std::string notes = MakeNotes(dir);
  const std::string rows = "Id,Text\n1,first note\n2,second note\n";

  auto copied = RunQuarryProcess({"copy", notes, dir / "BACKUP"});
  ASSERT_EQ(copied.status, 0) << copied.err;
  EXPECT_EQ(RunQuarryProcess({"dump", dir / "BACKUP.DB"}).out, rows);
  auto again = RunQuarryProcess({"copy", notes, dir / "BACKUP.DB"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("BACKUP.DB: the destination table exists already"), std::string::npos)
      << again.err;
  EXPECT_EQ(RunQuarryProcess({"copy", notes, dir / "BACKUP.DB", "--overwrite"}).status, 0);

  auto renamed = RunQuarryProcess({"rename", dir / "BACKUP.DB", "OLD"});
  ASSERT_EQ(renamed.status, 0) << renamed.err;
  EXPECT_EQ(renamed.out, "Renamed " + dir / "BACKUP.DB" + " to OLD\n");
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"NOTES.DB", "NOTES.MB", "NOTES.PX",
                                                         "OLD.DB", "OLD.MB", "OLD.PX"}));

  ASSERT_EQ(RunQuarryProcess({"empty", dir / "OLD.DB"}).status, 0);
  EXPECT_EQ(RunQuarryProcess({"dump", dir / "OLD.DB"}).out, "Id,Text\n");
  EXPECT_EQ(RunQuarryProcess({"insert", dir / "OLD.DB"}, "Id,Text\n5,new\n").status, 0);

  ASSERT_EQ(RunQuarryProcess({"delete", dir / "OLD.DB"}).status, 0);
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"NOTES.DB", "NOTES.MB", "NOTES.PX"}));
  EXPECT_EQ(RunQuarryProcess({"dump", notes}).out, rows);

  auto missing = RunQuarryProcess({"delete", dir / "OLD.DB"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("OLD.DB: table does not exist"), std::string::npos) << missing.err;
  EXPECT_EQ(RunQuarryProcess({"copy", notes}).status, 2);
  EXPECT_EQ(RunQuarryProcess({"rename", notes, dir / "X"}).status, 2);
  EXPECT_EQ(RunQuarryProcess({"empty", notes, "extra"}).status, 2);
}

TEST(QuarryFamily, ATableInUseIsLeftAlone) {
  TempDir dir;
  std::string notes = MakeNotes(dir);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    hDBICur c = 0;
    Result r = OpenTablePath(notes, OpenMode::ReadOnly, c);
    if (write(ready[1], &r, sizeof r) != sizeof r) _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  Result opened = 0xFFFF;
  ASSERT_EQ(read(ready[0], &opened, sizeof opened), static_cast<ssize_t>(sizeof opened));
  close(ready[0]);
  ASSERT_EQ(opened, Ok);
  for (std::vector<std::string> args :
       {std::vector<std::string>{"delete", notes}, {"rename", notes, "OTHER"}, {"empty", notes}}) {
    auto r = RunQuarryProcess(args);
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_EQ(r.err, "quarry: Table is in use: " + notes + "\n") << args[0];
  }
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(RunQuarryProcess({"empty", notes}).status, 0);
}

TEST(QuarryFamily, StagedFilesOfACutShortRunGoWhenTheTableIsNextUsed) {
  TempDir dir;
  std::string notes = MakeNotes(dir);
  std::vector<std::string> kept = Names(dir.path());
  // What a copy, empty or rename killed before its plan leaves, beside
  // files of the same look that belong to no family of NOTES.
  for (const char* name : {"NOTES.DB.new~", "NOTES.MB.new~", "notes.px.new~"})
    std::ofstream(dir / name) << "half written";
  for (const char* name : {"NOTES.TXT.new~", "NOTESX.DB.new~"}) {
    std::ofstream(dir / name) << "not ours";
    kept.push_back(name);
  }
  std::sort(kept.begin(), kept.end());
  auto dump = RunQuarryProcess({"dump", notes});
  EXPECT_EQ(dump.status, 0) << dump.err;
  EXPECT_EQ(dump.out, "Id,Text\n1,first note\n2,second note\n");
  EXPECT_EQ(Names(dir.path()), kept);
}

TEST(QuarryFamily, InfoAndDumpFollowThePassword) {
  TempDir dir;
  std::string staff = dir / "STAFF.DB";
  TableDesc d = ptables::Desc(staff, {ptables::Field("Id", pxLong), ptables::Field("Name", pxAlpha, 10),
                                      ptables::Field("Salary", pxMoney)},
                              1);
  d.password = "boss";
  d.isProtected = 1;
  SecurityDesc clerk;
  clerk.password = "clerk";
  clerk.tableRights = 7;
  clerk.fieldRights[0] = clerk.fieldRights[1] = 31;  // Salary: none
  d.passwords = {clerk};
  ASSERT_EQ(paradox::CreateParadoxTable(d, false), Ok) << LastErrorMessage();
  ASSERT_EQ(RunQuarryProcess({"insert", staff, "--password", "boss"}, "Id,Name,Salary\n1,Ann,10\n")
                .status,
            0);

  auto info = RunQuarryProcess({"info", staff, "--password", "boss"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("Family members:\n"
                          "  STAFF.DB            table\n"
                          "  STAFF.PX            primary index\n"
                          "  STAFF.QPW           table\n"),
            std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("Auxiliary passwords:\n"
                          "  clerk               table: data entry; fields: Id all, Name all, "
                          "Salary none\n"),
            std::string::npos)
      << info.out;
  auto limited = RunQuarryProcess({"info", staff, "--password", "clerk"});
  EXPECT_NE(limited.out.find("Auxiliary passwords: listed only with the master password"),
            std::string::npos)
      << limited.out << limited.err;

  auto dump = RunQuarryProcess({"dump", staff, "--password", "clerk"});
  EXPECT_EQ(dump.status, 0) << dump.err;
  EXPECT_EQ(dump.out, "Id,Name\n1,Ann\n");
  EXPECT_EQ(dump.err, "quarry: field Salary is left out: the password gives no right to read it\n");
  EXPECT_EQ(RunQuarryProcess({"dump", staff, "--password", "boss"}).out, "Id,Name,Salary\n1,Ann,10\n");
  auto removed = RunQuarryProcess({"delete", staff, "--password", "clerk"});
  EXPECT_EQ(removed.status, 1);
  EXPECT_NE(removed.err.find("the password does not allow deleting the table"), std::string::npos)
      << removed.err;
}
