// quarry move: destinations made when missing, failures that leave nothing
// changed behind them, and its arguments.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cli/run_quarry.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

const char kItems[] = "Id,Name,Qty\n1,a,10\n2,b,20\n4,d,40\n";

std::string MakeItems(const TempDir& dir, const std::string& name, const std::string& input,
                      const char* key = "1") {
  const std::string t = dir / name;
  EXPECT_EQ(RunQuarryProcess({"create", t, "--fields", "Id I; Name A 10; Qty S", "--key", key}).status, 0);
  EXPECT_EQ(RunQuarryProcess({"insert", t}, input).status, 0);
  return t;
}

}  // namespace

TEST(QuarryMove, MissingDestinationsAreCreatedWithTheKeyUnlessAppending) {
  TempDir dir;
  const std::string items = MakeItems(dir, "ITEMS.DB", kItems);
  auto appended = RunQuarryProcess({"move", items, dir / "PLAIN.DB", "--mode", "append"});
  ASSERT_EQ(appended.status, 0) << appended.err;
  EXPECT_EQ(appended.out, "3 records moved.\n");
  EXPECT_EQ(RunQuarryProcess({"dump", dir / "PLAIN.DB"}).out, kItems);
  EXPECT_NE(RunQuarryProcess({"info", dir / "PLAIN.DB"}).out.find("Primary key:      none"),
            std::string::npos);
  auto updated = RunQuarryProcess({"move", items, dir / "KEYED.DB", "--mode", "appendupdate"});
  ASSERT_EQ(updated.status, 0) << updated.err;
  EXPECT_NE(RunQuarryProcess({"info", dir / "KEYED.DB"}).out.find("Primary key:      1 field(s)"),
            std::string::npos);
  const std::string two = MakeItems(dir, "TWO.DB", "Id,Name,Qty\n2,B,21\n5,e,50\n");
  auto copied = RunQuarryProcess({"move", two, dir / "KEYED.DB", "--mode", "copy"});
  ASSERT_EQ(copied.status, 0) << copied.err;
  EXPECT_EQ(copied.out, "2 records moved.\n");
  EXPECT_EQ(RunQuarryProcess({"dump", dir / "KEYED.DB"}).out, "Id,Name,Qty\n2,B,21\n5,e,50\n");
}

TEST(QuarryMove, AFailedMoveChangesNothingAndLeavesNoNewTable) {
  TempDir dir;
  const std::string items = MakeItems(dir, "ITEMS.DB", kItems);
  const std::string more = MakeItems(dir, "MORE.DB", "Id,Name,Qty\n7,g,70\n1,x,0\n", "0");
  auto refused = RunQuarryProcess({"move", more, items, "--mode", "append"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "quarry: " + more + " record 2: " + items +
                             ": a record with the key 1 exists already\n");
  EXPECT_EQ(RunQuarryProcess({"dump", items}).out, kItems);
  // An unkeyed source makes an unkeyed destination, which an update cannot use.
  auto unkeyed = RunQuarryProcess({"move", more, dir / "NEW.DB", "--mode", "update"});
  EXPECT_EQ(unkeyed.status, 1);
  EXPECT_EQ(unkeyed.err, "quarry: " + dir / "NEW.DB" + ": Destination table is not indexed\n");
  EXPECT_FALSE(fs::exists(dir / "NEW.DB"));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"move", items, dir / "X.DB"},
        {"move", items, dir / "X.DB", "--mode", "merge"},
        {"move", items, "--mode", "append"}})
    EXPECT_EQ(RunQuarryProcess(args).status, 2) << args.size();
  EXPECT_FALSE(fs::exists(dir / "X.DB"));
}

// The archive window moves its tables through the same engine::MoveTable:
// a destination in another directory is made once, moved into after that,
// and kept when a later move into it fails.
TEST(QuarryMove, AnExistingDestinationIsMovedIntoAndKeptWhenAMoveFails) {
  TempDir dir;
  fs::create_directory(dir / "archive");
  const std::string items = MakeItems(dir, "ITEMS.DB", kItems);
  const std::string archived = dir / "archive/ITEMS.DB";
  auto first = RunQuarryProcess({"move", items, archived, "--mode", "update"});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, "0 records moved.\n");  // a new table has nothing to update
  auto again = RunQuarryProcess({"move", items, archived, "--mode", "appendupdate"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, "3 records moved.\n");
  auto refused = RunQuarryProcess({"move", items, archived, "--mode", "append"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(RunQuarryProcess({"dump", archived}).out, kItems);
}
