// quarry restructure / pack / index: the command line's field list read
// against the table's fields, its report, and the pxlib oracle on the result.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cli/run_quarry.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

std::string MakeStaff(const TempDir& dir) {
  const std::string t = dir / "STAFF.DB";
  EXPECT_EQ(RunQuarryProcess({"create", t, "--fields", "Id I; Name A20; Pay A8; Born D", "--key", "1"}).status, 0);
  EXPECT_EQ(RunQuarryProcess({"insert", t},
                             "Id,Name,Pay,Born\n1,Ann Archer,1200.5,1980-01-02\n2,Bob,n/a,\n3,Cy,900,\n")
                .status,
            0);
  return t;
}

}  // namespace

TEST(QuarryRestructure, FieldsByNameWithRenamesAndTheReport) {
  TempDir dir;
  const std::string t = MakeStaff(dir);
  const std::vector<std::string> change = {"restructure", t, "--fields",
                                           "Id I; Pay N; Surname A3; Active L", "--rename",
                                           "Name=Surname"};
  auto dry = RunQuarryProcess([&] { auto a = change; a.push_back("--dry-run"); return a; }());
  EXPECT_EQ(dry.status, 1);  // "n/a" is no number and no problems table is named
  EXPECT_NE(dry.out.find("nothing was changed"), std::string::npos) << dry.out;
  EXPECT_NE(dry.out.find("The restructure would fail: record 2: field Pay: \"n/a\" is not a number"),
            std::string::npos)
      << dry.out;
  EXPECT_NE(dry.out.find("Dropped fields: Born"), std::string::npos) << dry.out;

  auto refused = RunQuarryProcess(change);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("record 2: field Pay"), std::string::npos) << refused.err;
  EXPECT_EQ(RunQuarryProcess({"dump", t}).out,
            "Id,Name,Pay,Born\n1,Ann Archer,1200.5,1980-01-02\n2,Bob,n/a,\n3,Cy,900,\n");

  auto done = RunQuarryProcess([&] { auto a = change; a.insert(a.end(), {"--problems", "ErrorTB"}); return a; }());
  ASSERT_EQ(done.status, 0) << done.err;
  EXPECT_NE(done.out.find("Problems: 1 record(s) went to ErrorTB.db"), std::string::npos) << done.out;
  EXPECT_NE(done.out.find("Shortened: 1 value(s)"), std::string::npos) << done.out;
  EXPECT_EQ(RunQuarryProcess({"dump", t}).out, "Id,Pay,Surname,Active\n1,1200.5,Ann,\n3,900,Cy,\n");
  EXPECT_EQ(RunQuarryProcess({"dump", dir / "ErrorTB.db"}).out, "Id,Name,Pay,Born\n2,Bob,n/a,\n");

  auto keyless = RunQuarryProcess({"restructure", t, "--key", "0", "--level", "5"});
  ASSERT_EQ(keyless.status, 0) << keyless.err;
  auto info = RunQuarryProcess({"info", t}).out;
  EXPECT_NE(info.find("Primary key:      none"), std::string::npos) << info;
  EXPECT_NE(info.find("Level:            5"), std::string::npos) << info;
  EXPECT_FALSE(fs::exists(dir / "STAFF.PX"));
}

TEST(QuarryRestructure, PackAndIndexes) {
  TempDir dir;
  const std::string t = MakeStaff(dir);
  auto added = RunQuarryProcess({"index", "add", t, "ByName", "Name,Born", "--case-insensitive"});
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_NE(RunQuarryProcess({"info", t}).out.find("ByName"), std::string::npos);
  auto unique = RunQuarryProcess({"index", "add", t, "OnePay", "Pay", "--unique"});
  ASSERT_EQ(unique.status, 0) << unique.err;
  ASSERT_EQ(RunQuarryProcess({"insert", t}, "Id,Name,Pay,Born\n4,Cy,77,\n").status, 0);
  auto clash = RunQuarryProcess({"index", "add", t, "OneName", "Name", "--unique"});
  EXPECT_EQ(clash.status, 1);
  EXPECT_NE(clash.err.find("unique index"), std::string::npos) << clash.err;
  auto bad = RunQuarryProcess({"index", "add", t, "X", "Nope"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("no field Nope"), std::string::npos) << bad.err;

  ASSERT_EQ(RunQuarryProcess({"pack", t}).status, 0);
  EXPECT_NE(RunQuarryProcess({"info", t}).out.find("ByName"), std::string::npos);
  auto dropped = RunQuarryProcess({"index", "drop", t, "ByName"});
  ASSERT_EQ(dropped.status, 0) << dropped.err;
  EXPECT_EQ(RunQuarryProcess({"info", t}).out.find("ByName"), std::string::npos);
  EXPECT_EQ(RunQuarryProcess({"dump", t}).out,
            "Id,Name,Pay,Born\n1,Ann Archer,1200.5,1980-01-02\n2,Bob,n/a,\n3,Cy,900,\n4,Cy,77,\n");
}
