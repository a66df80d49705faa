// quarry compare: the differences as lines, and the exit status of diff.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cli/run_quarry.h"
#include "tests/support/tempdir.h"

namespace {

// A command that must succeed.
QuarryRun run(const std::vector<std::string>& args, const std::string& in = "") {
  QuarryRun r = RunQuarryProcess(args, in);
  EXPECT_EQ(r.status, 0) << r.err;
  return r;
}

}  // namespace

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

// The whole round: compare, apply with the questions answered by options,
// then nothing differs and the record that could not be kept is in ErrorTB.
TEST(QuarryApply, BringsATargetIntoLineKeepingItsData) {
  TempDir dir;
  std::filesystem::create_directories(dir / "ref");
  std::filesystem::create_directories(dir / "tgt");
  run({"create", dir / "ref/A.DB", "--fields", "Id I; FullName A20; Born D; Qty S", "--key", "1"});
  run({"index", "add", dir / "ref/A.DB", "ByName", "FullName"});
  run({"create", dir / "ref/NEW.DB", "--fields", "X A5"});
  run({"create", dir / "tgt/A.DB", "--fields", "Id I; Name A10; Qty A5; Old N", "--key", "1"});
  run({"insert", dir / "tgt/A.DB"}, "Id,Name,Qty,Old\n1,Ann,5,1.5\n2,Bob,x,2\n");

  auto unanswered = RunQuarryProcess({"apply", dir / "tgt", "--alias", dir / "ref"});
  EXPECT_EQ(unanswered.status, 1);
  EXPECT_NE(unanswered.err.find("--map A.FullName=new|FIELD"), std::string::npos) << unanswered.err;
  EXPECT_EQ(RunQuarryProcess({"dump", dir / "tgt/A.DB"}).out, "Id,Name,Qty,Old\n1,Ann,5,1.5\n2,Bob,x,2\n");

  auto dry = run({"apply", dir / "tgt", "--alias", dir / "ref", "--map", "A.FullName=Name",
                  "--map", "A.Born=new", "--dry-run"});
  EXPECT_EQ(dry.out,
            "A.DB: would be rebuilt, 1 of 2 records kept, 1 to ErrorTB.db (record 2: field Qty: "
            "\"x\" is not a number), field Old dropped.\nNEW.DB: would be created.\n");
  EXPECT_EQ(RunQuarryProcess({"dump", dir / "tgt/A.DB"}).out, "Id,Name,Qty,Old\n1,Ann,5,1.5\n2,Bob,x,2\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "tgt/NEW.DB"));
  auto applied = run({"apply", dir / "tgt", "--alias", dir / "ref", "--map", "A.FullName=Name",
                      "--map", "A.Born=new", "--backup", dir / "saved"});
  EXPECT_EQ(applied.out, "Backed up A.DB to " + (dir / "saved/A.DB") +
                             "\nA.DB: has been rebuilded.\nNEW.DB: has been created.\n");
  EXPECT_EQ(RunQuarryProcess({"dump", dir / "saved/A.DB"}).out,
            "Id,Name,Qty,Old\n1,Ann,5,1.5\n2,Bob,x,2\n");
  EXPECT_EQ(RunQuarryProcess({"compare", dir / "tgt", "--alias", dir / "ref"}).status, 0);
  EXPECT_EQ(RunQuarryProcess({"dump", dir / "tgt/A.DB"}).out, "Id,FullName,Born,Qty\n1,Ann,,5\n");
  EXPECT_EQ(RunQuarryProcess({"dump", dir / "tgt/ErrorTB.db"}).out, "Id,Name,Qty,Old\n2,Bob,x,2\n");
}

// Against a structure file: tables the file lacks are deleted (here without
// asking), tables it has are created or restructured, then nothing differs;
// a real table with checks and a link to its parent keeps them.
TEST(QuarryApply, FromAStructureFile) {
  TempDir dir;
  std::filesystem::create_directories(dir / "ref");
  std::filesystem::create_directories(dir / "tgt");
  run({"create", dir / "ref/A.DB", "--fields", "Id I; Name A20; Qty S", "--key", "1"});
  run({"create", dir / "ref/NEW.DB", "--fields", "X A5"});
  run({"create", dir / "tgt/A.DB", "--fields", "Id I; Name A10; Qty A5; Old N", "--key", "1"});
  run({"create", dir / "tgt/GONE.DB", "--fields", "X A5"});
  run({"insert", dir / "tgt/A.DB"}, "Id,Name,Qty,Old\n1,Ann,5,1.5\n");
  run({"save-structure", dir / "ref", dir / "ref.ini"});
  auto asked = RunQuarryProcess({"apply", dir / "tgt", "--ini", dir / "ref.ini"});
  EXPECT_EQ(asked.status, 1);  // "Delete Table GONE.DB?" has nobody to answer it
  EXPECT_NE(asked.err.find("Delete Table GONE.DB? - answer it with --yes"), std::string::npos) << asked.err;
  EXPECT_TRUE(std::filesystem::exists(dir / "tgt/GONE.DB"));
  run({"apply", dir / "tgt", "--ini", dir / "ref.ini", "--delete", "always", "--messages", "end"});
  EXPECT_EQ(RunQuarryProcess({"compare", dir / "tgt", "--ini", dir / "ref.ini"}).status, 0);
  EXPECT_EQ(RunQuarryProcess({"dump", dir / "tgt/A.DB"}).out, "Id,Name,Qty\n1,Ann,5\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "tgt/GONE.DB"));

  const std::string corpus = CorpusDir("paradox/joins");
  if (corpus.empty()) return;
  std::filesystem::copy(corpus, dir / "joins");
  run({"save-structure", dir / "joins", dir / "joins.ini"});
  run({"restructure", dir / "joins/C.DB", "--fields", "C I; A I; B I; Note A10"});
  EXPECT_EQ(RunQuarryProcess({"compare", dir / "joins", "--ini", dir / "joins.ini"}).status, 3);
  run({"apply", dir / "joins", "--ini", dir / "joins.ini"});
  EXPECT_EQ(RunQuarryProcess({"compare", dir / "joins", "--ini", dir / "joins.ini"}).status, 0);
}
