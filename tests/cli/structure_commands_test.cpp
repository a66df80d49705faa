// quarry save-structure: by alias or directory, with the password of a
// protected table, and what it says when there is nothing to write.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cli/run_quarry.h"
#include "tests/support/files.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

QuarryRun Quarry(const std::string& config, std::vector<std::string> args) {
  args.push_back("--config");
  args.push_back(config);
  return RunQuarryProcess(args);
}

TEST(QuarrySaveStructure, ByAliasAndByDirectoryTheSameFile) {
  TempDir dir;
  const std::string cfg = dir / "engine.cfg", db = dir / "shop";
  fs::create_directories(db);
  ASSERT_EQ(
      Quarry(cfg, {"create", db + "/PARTS.DB", "--fields", "Code A8; Qty S", "--key", "1"}).status,
      0);
  ASSERT_EQ(Quarry(cfg, {"create", db + "/SAFE.DB", "--fields", "Item A8", "--key", "1",
                         "--password", "lock"})
                .status,
            0);
  ASSERT_EQ(Quarry(cfg, {"alias", "add", "SHOP", db}).status, 0);

  QuarryRun byAlias = Quarry(cfg, {"save-structure", "SHOP", dir / "a.ini", "--password", "lock"});
  ASSERT_EQ(byAlias.status, 0) << byAlias.err;
  EXPECT_EQ(byAlias.out, "Saved the structure of 2 tables of SHOP to " + (dir / "a.ini") + "\n");
  QuarryRun byPath = Quarry(cfg, {"save-structure", db, dir / "b.ini", "--password", "lock"});
  ASSERT_EQ(byPath.status, 0) << byPath.err;
  EXPECT_EQ(Slurp(dir / "a.ini").value_or(""), Slurp(dir / "b.ini").value_or(""));
  EXPECT_NE(Slurp(dir / "a.ini").value_or("").find("[TABLES]\r\n0=PARTS.DB\r\n1=SAFE.DB\r\n"),
            std::string::npos);
  EXPECT_NE(Slurp(dir / "a.ini").value_or("").find("[SAFE.DB\\TBPROPS]"), std::string::npos);

  // Without the password the save stops at the protected table, keeping
  // what it wrote before.
  QuarryRun locked = Quarry(cfg, {"save-structure", "SHOP", dir / "c.ini"});
  EXPECT_EQ(locked.status, 1);
  EXPECT_NE(locked.err.find("SAFE"), std::string::npos) << locked.err;
  EXPECT_NE(Slurp(dir / "c.ini").value_or("").find("[PARTS.DB\\INDEXES\\<Primary>]"),
            std::string::npos);
  EXPECT_EQ(Slurp(dir / "c.ini").value_or("").find("[SAFE.DB\\TBPROPS]"), std::string::npos);
}

TEST(QuarrySaveStructure, NothingToWriteAndUnknownDatabases) {
  TempDir dir;
  const std::string cfg = dir / "engine.cfg";
  fs::create_directories(dir / "empty");
  QuarryRun empty = Quarry(cfg, {"save-structure", dir / "empty", dir / "e.ini"});
  EXPECT_EQ(empty.status, 0) << empty.err;
  EXPECT_EQ(empty.out, dir / "empty" + " has no Paradox tables; nothing written\n");
  EXPECT_FALSE(fs::exists(dir / "e.ini"));

  QuarryRun unknown = Quarry(cfg, {"save-structure", "NOSUCH", dir / "n.ini"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_FALSE(unknown.err.empty());
  EXPECT_EQ(Quarry(cfg, {"save-structure", "ONLYONE"}).status, 2);
}

}  // namespace
