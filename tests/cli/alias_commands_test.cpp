// quarry aliases / alias add / alias delete, ALIAS:TABLE names and the
// options every command takes (--config, --password).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/cli/run_quarry.h"
#include "tests/support/scratch_config.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

// Every test of this program (and every quarry it runs) uses a scratch
// configuration.
const ScratchConfig kScratchConfig;

namespace {

QuarryRun Quarry(const std::string& config, std::vector<std::string> args,
              const std::string& input = "") {
  args.push_back("--config");
  args.push_back(config);
  return RunQuarryProcess(args, input);
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TEST(QuarryAliases, AddListUseAndDelete) {
  TempDir dir;
  const std::string cfg = dir / "engine.cfg";
  fs::create_directories(dir / "work");
  fs::create_directories(dir / "old");

  auto added = Quarry(cfg, {"alias", "add", "Work", dir / "work/./"});
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(added.out, "Added alias Work for " + (dir / "work") + "\n");
  ASSERT_EQ(Quarry(cfg, {"alias", "add", "Legacy", dir / "old", "--driver", "dbase"}).status, 0);
  auto list = Quarry(cfg, {"aliases"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, "Work    PARADOX  " + (dir / "work") + "\nLegacy  DBASE    " +
                          (dir / "old") + "\n");

  // Tables by ALIAS:TABLE, through every table command.
  ASSERT_EQ(Quarry(cfg, {"create", "WORK:PARTS", "--fields", "Code A8; Qty S", "--key", "1"}).status,
            0);
  EXPECT_TRUE(fs::exists(dir / "work/PARTS.DB"));
  auto inserted = Quarry(cfg, {"insert", "work:PARTS"}, "Code,Qty\nB,2\nA,1\n");
  ASSERT_EQ(inserted.status, 0) << inserted.err;
  EXPECT_EQ(Quarry(cfg, {"dump", "Work:PARTS.DB"}).out, "Code,Qty\nA,1\nB,2\n");
  auto info = Quarry(cfg, {"info", "Work:PARTS"});
  EXPECT_TRUE(Has(info.out, "Records:          2")) << info.out;

  ASSERT_EQ(Quarry(cfg, {"alias", "delete", "WORK"}).status, 0);
  EXPECT_EQ(Quarry(cfg, {"aliases"}).out, "Legacy  DBASE    " + (dir / "old") + "\n");
  auto gone = Quarry(cfg, {"dump", "Work:PARTS"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_TRUE(Has(gone.err, "Unknown alias \"Work\"")) << gone.err;
  EXPECT_EQ(gone.err.find('\n'), gone.err.size() - 1) << "one line";
}

TEST(QuarryAliases, RefusalsExplainThemselves) {
  TempDir dir;
  const std::string cfg = dir / "engine.cfg";
  ASSERT_EQ(Quarry(cfg, {"alias", "add", "Work", dir.path()}).status, 0);
  const std::pair<std::vector<std::string>, std::string> failures[] = {
      {{"alias", "add", "work", dir.path()}, "\"work\" exists already"},
      {{"alias", "add", "a:b", dir.path()}, "\"a:b\" is not a valid alias name"},
      {{"alias", "add", "New", dir / "missing"}, "missing: directory does not exist"},
      {{"alias", "add", "New", dir.path(), "--driver", "ORACLE"}, "PARADOX or DBASE"},
      {{"alias", "delete", "Nope"}, "Unknown alias \"Nope\""},
  };
  for (const auto& [args, message] : failures) {
    auto r = Quarry(cfg, args);
    EXPECT_EQ(r.status, 1) << args[2];
    EXPECT_TRUE(Has(r.err, message)) << r.err;
  }
  const std::vector<std::string> usage[] = {
      {"alias"}, {"alias", "rename", "Work"}, {"alias", "add", "X"},
      {"aliases", "extra"}, {"alias", "delete", "Work", "--driver", "DBASE"}};
  for (const auto& args : usage) EXPECT_EQ(Quarry(cfg, args).status, 2) << args.back();
  EXPECT_EQ(Quarry(cfg, {"aliases"}).out, "Work  PARADOX  " + dir.path() + "\n");
}

TEST(QuarryAliases, ConfigOptionChoosesTheFile) {
  TempDir dir;
  // Without --config the environment's file is used (the scratch one here).
  ASSERT_EQ(RunQuarryProcess({"alias", "add", "EnvAlias", dir.path()}).status, 0);
  EXPECT_TRUE(Has(RunQuarryProcess({"aliases"}).out, "EnvAlias"));
  EXPECT_EQ(Quarry(dir / "other.cfg", {"aliases"}).out, "");
  EXPECT_TRUE(fs::exists(dir / "other.cfg")) << "a missing file is written with the defaults";
  ASSERT_EQ(RunQuarryProcess({"alias", "delete", "EnvAlias"}).status, 0);

  std::ofstream(dir / "plain") << "";
  auto unwritable = Quarry(dir / "plain/engine.cfg", {"alias", "add", "X", dir.path()});
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_TRUE(Has(unwritable.err, "plain/engine.cfg: cannot create its directory"))
      << unwritable.err;

  std::ofstream(dir / "broken.cfg") << "[\\databases\\W]\nno equals sign\n";
  auto broken = Quarry(dir / "broken.cfg", {"dump", "W:T"});
  EXPECT_EQ(broken.status, 1);
  EXPECT_TRUE(Has(broken.err, "broken.cfg:2: expected NAME = VALUE")) << broken.err;
}

TEST(QuarryAliases, ConfigOptionNamingADirectoryIsRefusedByEveryCommand) {
  TempDir dir;
  const std::string table = dir / "T.DB", config = dir / "cfg";
  ASSERT_EQ(RunQuarryProcess({"create", table, "--fields", "A S"}).status, 0);
  fs::create_directory(config);
  for (std::vector<std::string> args : {std::vector<std::string>{"aliases"},
                                        {"dump", table},
                                        {"alias", "add", "W", dir.path()}}) {
    auto r = Quarry(config, args);
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_EQ(r.err, "quarry: " + config + ": is a directory, not a configuration file\n")
        << args[0];
    EXPECT_EQ(r.out, "") << args[0];
  }
  EXPECT_TRUE(fs::is_empty(config));
}

TEST(QuarryAliases, PasswordsOpenProtectedTablesByAlias) {
  TempDir dir;
  const std::string cfg = dir / "engine.cfg";
  ASSERT_EQ(Quarry(cfg, {"alias", "add", "Safe", dir.path()}).status, 0);
  ASSERT_EQ(Quarry(cfg, {"create", "Safe:T", "--fields", "A A10", "--password", "pw"}).status, 0);
  EXPECT_EQ(Quarry(cfg, {"dump", "Safe:T"}).status, 1);
  auto dump = Quarry(cfg, {"dump", "Safe:T", "--password", "no", "--password", "pw"});
  EXPECT_EQ(dump.status, 0) << dump.err;
  EXPECT_EQ(Quarry(cfg, {"aliases", "--password", "pw"}).status, 0) << "every command takes it";
}
