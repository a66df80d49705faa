#include <gtest/gtest.h>

#include <sstream>

#include "cli/args.h"
#include "cli/quarry.h"
#include "tests/cli/run_quarry.h"

TEST(QuarryCommandLine, HelpAndVersionSucceed) {
  auto help = RunQuarryProcess({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: quarry"), std::string::npos);

  auto version = RunQuarryProcess({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("quarry ") + QUARRY_VERSION + "\n");
}

TEST(QuarryCommandLine, BadInvocationsExitWithStatus2AndOneLineError) {
  for (auto args : std::vector<std::vector<std::string>>{{"nonsense"}, {}, {"--frobnicate"}}) {
    auto r = RunQuarryProcess(args);
    EXPECT_EQ(r.status, 2);
    auto firstLine = r.err.substr(0, r.err.find('\n'));
    EXPECT_EQ(firstLine.rfind("quarry: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("usage: quarry"), std::string::npos);
    EXPECT_TRUE(r.out.empty());
  }
}

TEST(QuarryArgs, OptionsAndPositionals) {
  cli::Args a({"T.DB", "--password", "x", "--password=y", "--overwrite", "--level", "7"},
              {"password", "level"}, {"overwrite"});
  EXPECT_EQ(a.positional(), std::vector<std::string>{"T.DB"});
  EXPECT_EQ(a.values("password"), (std::vector<std::string>{"x", "y"}));
  EXPECT_TRUE(a.flag("overwrite"));
  EXPECT_EQ(a.intValue("level", 4), 7);
  EXPECT_EQ(a.intValue("blocksize", 2048), 2048);
  EXPECT_THROW(a.value("password"), cli::UsageError);
  EXPECT_NO_THROW(a.expectPositional(1));
  EXPECT_THROW(a.expectPositional(2), cli::UsageError);
}

TEST(QuarryArgs, MalformedOptionsAreUsageErrors) {
  EXPECT_THROW(cli::Args({"--level"}, {"level"}, {}), cli::UsageError);
  EXPECT_THROW(cli::Args({"--yes=1"}, {}, {"yes"}), cli::UsageError);
  EXPECT_THROW(cli::Args({"--what"}, {}, {}), cli::UsageError);
  cli::Args bad({"--level", "seven"}, {"level"}, {});
  EXPECT_THROW(bad.intValue("level", 0), cli::UsageError);
}
