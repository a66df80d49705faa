// quarry compare: the differences as lines, and the exit status of diff.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cli/run_quarry.h"
#include "tests/support/tempdir.h"

TEST(QuarryCompare, PrintsTheTreeAndExitsLikeDiff) {
  TempDir dir;
  std::filesystem::create_directories(dir / "ref");
  std::filesystem::create_directories(dir / "tgt");
  for (const char* side : {"ref", "tgt"})
    ASSERT_EQ(RunQuarryProcess({"create", dir / side + "/A.DB", "--fields", "Id I; Name A20", "--key", "1"}).status, 0);
  auto same = RunQuarryProcess({"compare", dir / "tgt", "--alias", dir / "ref"});
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_EQ(same.out, "No difference was found.\n");

  ASSERT_EQ(RunQuarryProcess({"restructure", dir / "tgt/A.DB", "--fields", "Id I; Name A10"}).status, 0);
  auto differ = RunQuarryProcess({"compare", dir / "tgt", "--alias", dir / "ref"});
  EXPECT_EQ(differ.status, 3) << differ.err;
  EXPECT_EQ(differ.out,
            "A.DB\n"
            "  FIELDS\n"
            "    Name\n"
            "        Name: Name -> Name\n"
            "        Order: 2 -> 2\n"
            "        Type: ALPHA -> ALPHA\n"
            "        Scale: 0 -> 0\n"
            "        Size: 10 -> 20\n");
  auto json = RunQuarryProcess({"compare", dir / "tgt", "--alias", dir / "ref", "--json"});
  EXPECT_EQ(json.status, 3);
  EXPECT_NE(json.out.find("\"name\": \"Size\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"current\": \"10\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"text\": \"FIELDS\""), std::string::npos) << json.out;
  auto missing = RunQuarryProcess({"compare", dir / "tgt"});
  EXPECT_EQ(missing.status, 2);
}
