// The engine configuration: its file created with defaults, aliases added,
// changed, deleted, saved and read again, hand-written and broken files,
// and what the rest of the engine takes from it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>

#include "engine/config/config.h"
#include "engine/engine.h"
#include "engine/lists.h"
#include "engine/paradox/pxcreate.h"
#include "tests/support/scratch_config.h"
#include "tests/support/tempdir.h"

using namespace engine;
namespace fs = std::filesystem;

// Every test of this program reads and writes a scratch configuration.
const ScratchConfig kScratchConfig;

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries ConfigList(const std::string& path) {
  Entries out;
  hDBICur cur = 0;
  EXPECT_EQ(OpenConfigList(path, cur), Ok) << LastErrorMessage();
  ConfigEntry e;
  while (GetNextRecord(cur, e) == Ok) out.emplace_back(e.name, e.value);
  CloseCursor(cur);
  return out;
}

std::vector<std::string> Names(const Entries& entries) {
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.first);
  return names;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

class Config : public testing::Test {
 protected:
  void SetUp() override { SetConfigFile(file); }
  void TearDown() override { SetConfigFile(""); }

  std::vector<std::string> Aliases() {
    std::vector<std::string> names;
    EXPECT_EQ(GetAliasNames(names), Ok) << LastErrorMessage();
    return names;
  }
  Entries Params(const std::string& alias) {
    std::vector<ConfigEntry> params;
    EXPECT_EQ(GetAliasParams(alias, params), Ok) << LastErrorMessage();
    Entries out;
    for (const ConfigEntry& e : params) out.emplace_back(e.name, e.value);
    return out;
  }

  TempDir dir;
  std::string file = dir / "conf/engine.cfg";  // its folder does not exist yet
};

}  // namespace

TEST_F(Config, MissingFileIsWrittenWithDefaultsAndListsNodesInOrder) {
  EXPECT_EQ(ConfigFilePath(), file);
  EXPECT_TRUE(Aliases().empty());
  ASSERT_TRUE(fs::exists(file)) << "the defaults are written on first use";

  EXPECT_EQ(Names(ConfigList("\\drivers\\paradox\\table create")),
            (std::vector<std::string>{"LEVEL", "BLOCK SIZE", "FILL FACTOR", "STRICTINTEGRTY"}));
  EXPECT_EQ(Names(ConfigList("\\drivers\\paradox\\init")),
            (std::vector<std::string>{"VERSION", "TYPE", "NET DIR", "LANGDRIVER"}));
  // Paths are read without regard to case or a trailing backslash.
  EXPECT_EQ(ConfigList("DRIVERS\\Paradox\\INIT\\"), ConfigList("\\drivers\\paradox\\init"));
  EXPECT_EQ(Names(ConfigList("\\drivers")), (std::vector<std::string>{"paradox"}));
  EXPECT_TRUE(ConfigList("\\databases").empty());

  paradox::CreateDefaults d;
  ASSERT_EQ(GetCreateDefaults(d), Ok);
  EXPECT_EQ(d.level, 7);
  EXPECT_EQ(d.blockSize, 2048u);
  EXPECT_EQ(d.languageDriver, "ascii");

  hDBICur cur = 0;
  EXPECT_EQ(OpenConfigList("\\drivers\\oracle", cur), ErrInvalidParameter);
  EXPECT_NE(LastErrorMessage().find("\\drivers\\oracle"), std::string::npos);
}

TEST_F(Config, AliasesSurviveSaveAndReload) {
  ASSERT_EQ(AddStandardAlias("Work", "/data/work", ""), Ok) << LastErrorMessage();
  ASSERT_EQ(AddStandardAlias("Legacy", "/data/old", "dbase"), Ok);
  ASSERT_EQ(AddStandardAlias("Gone", "/data/gone", "PARADOX"), Ok);
  ASSERT_EQ(ModifyAlias("legacy", {{"enable bcd", "true"}, {"PATH", "/data/older"}}), Ok)
      << LastErrorMessage();
  ASSERT_EQ(DeleteAlias("GONE"), Ok);
  ASSERT_EQ(SaveConfigFile(), Ok) << LastErrorMessage();

  SetConfigFile(file);  // drops what is in memory: everything below comes from the file
  EXPECT_EQ(Aliases(), (std::vector<std::string>{"Work", "Legacy"}));
  EXPECT_EQ(Params("Work"), (Entries{{"TYPE", "STANDARD"},
                                     {"PATH", "/data/work"},
                                     {"ENABLE BCD", "FALSE"},
                                     {"DEFAULT DRIVER", "PARADOX"}}));
  EXPECT_EQ(Params("LEGACY"), (Entries{{"TYPE", "STANDARD"},
                                       {"PATH", "/data/older"},
                                       {"ENABLE BCD", "TRUE"},
                                       {"DEFAULT DRIVER", "DBASE"}}));
  EXPECT_EQ(Names(ConfigList("\\databases")), (std::vector<std::string>{"Work", "Legacy"}));
  DatabaseDesc desc;
  ASSERT_EQ(GetDatabaseDesc("work", desc), Ok);
  EXPECT_EQ(desc.name, "Work");
  EXPECT_EQ(desc.physicalPath, "/data/work");
  EXPECT_EQ(desc.driverType, "PARADOX");

  // Unsaved changes go with a reload.
  ASSERT_EQ(DeleteAlias("Work"), Ok);
  ASSERT_EQ(ReloadConfig(), Ok);
  EXPECT_EQ(Aliases().size(), 2u);
}

TEST_F(Config, AwkwardPathsRoundTrip) {
  const std::vector<std::string> paths = {
      "/data/with space ", " /lead", "\"quoted\"", "/a=b/#c;d", "/tab\there", "/line\nbreak",
      "/back\\slash", "/Ünïcödé/数据"};
  for (std::size_t i = 0; i < paths.size(); ++i)
    ASSERT_EQ(AddStandardAlias("A" + std::to_string(i), paths[i], ""), Ok) << paths[i];
  ASSERT_EQ(SaveConfigFile(), Ok);
  ASSERT_EQ(ReloadConfig(), Ok) << LastErrorMessage();
  for (std::size_t i = 0; i < paths.size(); ++i) {
    DatabaseDesc d;
    ASSERT_EQ(GetDatabaseDesc("A" + std::to_string(i), d), Ok);
    EXPECT_EQ(d.physicalPath, paths[i]);
  }
}

struct AliasRefusal {
  const char* what;
  std::function<Result()> call;
  Result code;
  const char* message;
};

TEST_F(Config, BadAliasRequestsAreRefusedAndChangeNothing) {
  ASSERT_EQ(AddStandardAlias("Work", "/data/work", ""), Ok);
  const std::vector<AliasRefusal> cases = {
      {"empty name", [] { return AddStandardAlias("", "/x", ""); }, ErrInvalidAliasName,
       "not a valid alias name"},
      {"slash", [] { return AddStandardAlias("a/b", "/x", ""); }, ErrInvalidAliasName, "a/b"},
      {"colon", [] { return AddStandardAlias("a:b", "/x", ""); }, ErrInvalidAliasName, "a:b"},
      {"bracket", [] { return AddStandardAlias("[x]", "/x", ""); }, ErrInvalidAliasName, "[x]"},
      {"newline", [] { return AddStandardAlias("a\nb", "/x", ""); }, ErrInvalidAliasName, ""},
      {"leading blank", [] { return AddStandardAlias(" a", "/x", ""); }, ErrInvalidAliasName, ""},
      {"too long", [] { return AddStandardAlias(std::string(32, 'n'), "/x", ""); },
       ErrInvalidAliasName, ""},
      {"duplicate", [] { return AddStandardAlias("WORK", "/y", ""); }, ErrDuplicateAlias,
       "\"WORK\" exists already"},
      {"no path", [] { return AddStandardAlias("New", "", ""); }, ErrInvalidParameter, "PATH"},
      {"driver", [] { return AddStandardAlias("New", "/x", "ORACLE"); }, ErrInvalidParameter,
       "DEFAULT DRIVER must be PARADOX or DBASE"},
      {"modify unknown", [] { return ModifyAlias("Nope", {{"PATH", "/x"}}); }, ErrUnknownAlias,
       "Unknown alias \"Nope\""},
      {"delete unknown", [] { return DeleteAlias("Nope"); }, ErrUnknownAlias, "Nope"},
      {"params unknown",
       [] {
         std::vector<ConfigEntry> p;
         return GetAliasParams("Nope", p);
       },
       ErrUnknownAlias, "Nope"},
      {"entry unknown", [] { return ModifyAlias("Work", {{"PATH", "/new"}, {"COLOR", "red"}}); },
       ErrInvalidParameter, "no entry \"COLOR\""},
      {"type", [] { return ModifyAlias("Work", {{"PATH", "/new"}, {"TYPE", "SQL"}}); },
       ErrInvalidParameter, "TYPE must be STANDARD"},
      {"bcd", [] { return ModifyAlias("Work", {{"PATH", "/new"}, {"ENABLE BCD", "maybe"}}); },
       ErrInvalidParameter, "ENABLE BCD must be TRUE or FALSE"},
  };
  for (const AliasRefusal& c : cases) {
    EXPECT_EQ(c.call(), c.code) << c.what;
    EXPECT_NE(LastErrorMessage().find(c.message), std::string::npos)
        << c.what << ": " << LastErrorMessage();
  }
  EXPECT_EQ(Aliases(), (std::vector<std::string>{"Work"}));
  EXPECT_EQ(Params("Work")[1].second, "/data/work") << "a refused change leaves every entry";
}

TEST_F(Config, HandWrittenFileIsReadInFixedOrderAndKeepsUnknownParts) {
  fs::create_directories(dir / "conf");
  WriteFile(file,
            "# my settings\n"
            "[drivers\\paradox\\table create]\n"
            "  strictintegrty = FALSE\r\n"
            "BLOCK SIZE=4096\n"
            "; LEVEL is left to its default\n"
            "[\\system\\init]\n"
            "LOCAL SHARE = TRUE\n"
            "LANGDRIVER = DBWINUS0\n"
            "COLOR = blue\n"
            "[\\databases\\Work]\n"
            "PATH = \"" + dir.path() + "\"\n"
            "[\\tools\\viewer]\n"
            "FONT = Mono\n");
  EXPECT_EQ(ConfigList("\\drivers\\paradox\\table create"),
            (Entries{{"LEVEL", "7"}, {"BLOCK SIZE", "4096"}, {"FILL FACTOR", "95"},
                     {"STRICTINTEGRTY", "FALSE"}}));
  EXPECT_EQ(ConfigList("\\system\\init"),
            (Entries{{"LOCAL SHARE", "TRUE"}, {"LANGDRIVER", "DBWINUS0"}, {"PRIVATE DIR", ""},
                     {"COLOR", "blue"}}));
  EXPECT_EQ(Params("Work")[3], (std::pair<std::string, std::string>{"DEFAULT DRIVER", "PARADOX"}));
  SystemConfig sys;
  ASSERT_EQ(GetSystemConfig(sys), Ok);
  EXPECT_EQ(sys.localShare, 1);
  EXPECT_EQ(sys.langDriver, "DBWINUS0");
  EXPECT_EQ(sys.configFile, file);

  ASSERT_EQ(SaveConfigFile(), Ok);
  std::string saved = ReadFile(file);
  EXPECT_NE(saved.find("[\\tools\\viewer]\nFONT = Mono\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("COLOR = blue"), std::string::npos);
}

TEST_F(Config, TablesCreatedThroughAnAliasTakeTheConfiguredDefaults) {
  fs::create_directories(dir / "conf");
  WriteFile(file,
            "[\\drivers\\paradox\\table create]\nLEVEL = 4\nBLOCK SIZE = 4096\n"
            "[\\drivers\\paradox\\init]\nLANGDRIVER = DBWINUS0\n"
            "[\\databases\\Work]\nPATH = " + dir.path() + "\n");
  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase("WORK", db), Ok) << LastErrorMessage();
  std::string directory;
  ASSERT_EQ(GetDatabaseDirectory(db, directory), Ok);
  EXPECT_EQ(directory, dir.path());
  TableDesc d;
  d.tableName = "T";
  FieldDesc f;
  f.name = "Name";
  f.type = pxAlpha;
  f.units1 = 10;
  d.fields = {f};
  ASSERT_EQ(CreateTable(db, false, d), Ok) << LastErrorMessage();
  hDBICur cur = 0;
  ASSERT_EQ(OpenTable(db, "T", "", OpenMode::ReadOnly, cur), Ok) << LastErrorMessage();
  CursorProps p;
  ASSERT_EQ(GetCursorProps(cur, p), Ok);
  EXPECT_EQ(p.tableLevel, 4);
  EXPECT_EQ(p.blockSize, 4);
  EXPECT_EQ(p.languageDriver, "DBWINUS0");
  CloseCursor(cur);
  CloseDatabase(db);

  WriteFile(file, "[\\drivers\\paradox\\table create]\nLEVEL = seven\n");
  ASSERT_EQ(ReloadConfig(), Ok);
  paradox::CreateDefaults defaults;
  EXPECT_EQ(GetCreateDefaults(defaults), ErrConfig);
  EXPECT_NE(LastErrorMessage().find("LEVEL \"seven\""), std::string::npos) << LastErrorMessage();
}

TEST_F(Config, BrokenFilesNameTheLineAndTheFault) {
  fs::create_directories(dir / "conf");
  const std::pair<std::string, std::string> cases[] = {
      {"[\\system\\init\nX = 1\n", ":1: section header"},
      {"# c\nLEVEL = 7\n", ":2: entry \"LEVEL = 7\" before the first [section]"},
      {"[\\a]\njust words\n", ":2: expected NAME = VALUE"},
      {"[\\a]\n[\\A\\]\n", ":2: section [\\A] appears twice"},
      {"[\\a]\nX = 1\nx = 2\n", ":3: X appears twice"},
      {"[\\a]\nX = \"open\n", ":2: badly quoted value of X"},
      {"[\\databases\\a:b]\n", ":1: \"a:b\" is not a valid alias name"},
      {"[\\databases\\W]\n[\\databases\\w]\n", ":2: section [\\databases\\w] appears twice"},
  };
  for (const auto& [text, message] : cases) {
    WriteFile(file, text);
    EXPECT_EQ(ReloadConfig(), ErrConfig) << text;
    EXPECT_NE(LastErrorMessage().find(file + message), std::string::npos)
        << text << " -> " << LastErrorMessage();
    std::vector<std::string> names;
    EXPECT_EQ(GetAliasNames(names), ErrConfig) << "every operation reports the broken file";
  }
}

TEST_F(Config, ADirectoryIsNoConfigurationFile) {
  fs::create_directories(file);
  std::vector<std::string> names;
  EXPECT_EQ(GetAliasNames(names), ErrConfig);
  EXPECT_EQ(LastErrorMessage(), file + ": is a directory, not a configuration file");
  EXPECT_EQ(ReloadConfig(), ErrConfig);
  EXPECT_TRUE(fs::is_empty(file));
}

TEST_F(Config, FailedSavesLeaveTheOldFileWhole) {
  ASSERT_EQ(AddStandardAlias("Work", "/data/work", ""), Ok);
  ASSERT_EQ(SaveConfigFile(), Ok);
  const std::string before = ReadFile(file);
  ASSERT_EQ(AddStandardAlias("More", "/data/more", ""), Ok);
  // The new file is written beside the old one: block that name.
  fs::create_directories(file + ".new-" + std::to_string(::getpid()) + "/x");
  Result r = SaveConfigFile();
  EXPECT_TRUE(r == ErrConfig || r == ErrAccessDenied) << r;
  EXPECT_NE(LastErrorMessage().find(file + ": cannot write the configuration"), std::string::npos)
      << LastErrorMessage();
  EXPECT_EQ(ReadFile(file), before);

  // A configuration whose folder cannot be made.
  WriteFile(dir / "plain", "");
  SetConfigFile(dir / "plain/engine.cfg");
  ASSERT_EQ(AddStandardAlias("Work", "/data/work", ""), Ok) << "the defaults serve in memory";
  EXPECT_EQ(SaveConfigFile(), ErrConfig);
  EXPECT_NE(LastErrorMessage().find("plain/engine.cfg: cannot create its directory"),
            std::string::npos)
      << LastErrorMessage();
}

TEST_F(Config, TableNamesResolveThroughAliases) {
  ASSERT_EQ(AddStandardAlias("Work", dir.path(), ""), Ok);
  ASSERT_EQ(AddStandardAlias("Old", dir.path() + "/", "DBASE"), Ok);
  WriteFile(dir / "odd:name.DB", "");
  WriteFile(dir / "Mixed.db", "");
  const std::pair<std::string, std::string> cases[] = {
      {"WORK:ORDERS", dir / "ORDERS.DB"},
      {"work:orders.db", dir / "orders.db"},
      {"Old:CLIENTS", dir / "CLIENTS.DBF"},
      {"Work:MIXED", dir / "Mixed.db"},  // the file on disk, whatever its case
      {"/plain/path/T.DB", "/plain/path/T.DB"},
      {"T.DB", "T.DB"},
      {dir / "odd:name.DB", dir / "odd:name.DB"},  // an existing file is a path
  };
  for (const auto& [name, path] : cases) {
    std::string got;
    EXPECT_EQ(ResolveTableName(name, got), Ok) << name << ": " << LastErrorMessage();
    EXPECT_EQ(got, path) << name;
  }
  std::string got;
  EXPECT_EQ(ResolveTableName("Nope:T", got), ErrUnknownAlias);
  EXPECT_NE(LastErrorMessage().find("Nope"), std::string::npos);
  EXPECT_EQ(ResolveTableName("Work:", got), ErrInvalidParameter);
}

TEST(ConfigLocation, EnvironmentChoosesTheFile) {
  const std::string saved = getenv("QUARRY_CONFIG");
  const char* xdg = getenv("XDG_CONFIG_HOME");
  const std::string savedXdg = xdg ? xdg : "";
  const std::string savedHome = getenv("HOME") ? getenv("HOME") : "";
  SetConfigFile("");
  EXPECT_EQ(ConfigFilePath(), saved);
  unsetenv("QUARRY_CONFIG");
  setenv("XDG_CONFIG_HOME", "/xdg/conf", 1);
  EXPECT_EQ(ConfigFilePath(), "/xdg/conf/quarrydesk/engine.cfg");
  setenv("XDG_CONFIG_HOME", "relative", 1);  // only absolute XDG paths count
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(ConfigFilePath(), "/home/someone/.config/quarrydesk/engine.cfg");
  SetConfigFile("/explicit.cfg");
  EXPECT_EQ(ConfigFilePath(), "/explicit.cfg");
  SetConfigFile("");
  setenv("HOME", savedHome.c_str(), 1);
  if (xdg)
    setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
  setenv("QUARRY_CONFIG", saved.c_str(), 1);
}
