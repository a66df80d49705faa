#include "engine/config/config.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "engine/io/memo.h"
#include "engine/io/path.h"
#include "engine/lists.h"
#include "engine/paradox/pxcreate.h"

namespace engine {

namespace {

constexpr const char* kSystemInit = "\\system\\init";
constexpr const char* kParadoxInit = "\\drivers\\paradox\\init";
constexpr const char* kParadoxCreate = "\\drivers\\paradox\\table create";
constexpr const char* kDatabases = "\\databases";

struct Node {
  std::string path;  // "\drivers\paradox\init", "\databases\WORK"
  std::vector<ConfigEntry> entries;
};

// The nodes every configuration has, with their entries in their fixed order.
const std::vector<Node>& DefaultNodes() {
  static const std::vector<Node> nodes = {
      {kSystemInit, {{"LOCAL SHARE", "FALSE"}, {"LANGDRIVER", "ascii"}, {"PRIVATE DIR", ""}}},
      {kParadoxInit,
       {{"VERSION", "4.0"}, {"TYPE", "FILE"}, {"NET DIR", ""}, {"LANGDRIVER", "ascii"}}},
      {kParadoxCreate,
       {{"LEVEL", "7"}, {"BLOCK SIZE", "2048"}, {"FILL FACTOR", "95"}, {"STRICTINTEGRTY", "TRUE"}}},
  };
  return nodes;
}

const std::vector<ConfigEntry>& AliasDefaults() {
  static const std::vector<ConfigEntry> entries = {
      {"TYPE", "STANDARD"}, {"PATH", ""}, {"ENABLE BCD", "FALSE"}, {"DEFAULT DRIVER", "PARADOX"}};
  return entries;
}

using io::Lower;
using io::Upper;

bool SameName(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// "drivers\paradox\" -> "\drivers\paradox"
std::string NormalPath(std::string path) {
  path = Trim(path);
  if (path.empty() || path[0] != '\\') path.insert(0, "\\");
  while (path.size() > 1 && path.back() == '\\') path.pop_back();
  return path;
}

std::string AliasPath(const std::string& name) { return std::string(kDatabases) + "\\" + name; }

bool IsAliasNode(const Node& n) {
  const std::string prefix = std::string(kDatabases) + "\\";
  return n.path.size() > prefix.size() && SameName(n.path.substr(0, prefix.size()), prefix);
}

std::string AliasNameOf(const Node& n) { return n.path.substr(std::strlen(kDatabases) + 1); }

ConfigEntry* FindEntry(Node& n, const std::string& name) {
  for (ConfigEntry& e : n.entries)
    if (SameName(e.name, name)) return &e;
  return nullptr;
}

// Known entries first in their fixed order (missing ones with their
// defaults), then any others as they came.
void Normalise(Node& n, const std::vector<ConfigEntry>& defaults) {
  std::vector<ConfigEntry> ordered;
  for (const ConfigEntry& d : defaults) {
    ConfigEntry* have = FindEntry(n, d.name);
    ordered.push_back({d.name, have ? have->value : d.value});
  }
  for (const ConfigEntry& e : n.entries) {
    bool known = false;
    for (const ConfigEntry& d : defaults) known = known || SameName(d.name, e.name);
    if (!known) ordered.push_back(e);
  }
  n.entries = std::move(ordered);
}

// ------------------------------------------------------------ text format

// Values are written bare unless blanks at either end, a leading quote or
// control characters need the quoted form with backslash escapes.
std::string EncodeValue(const std::string& v) {
  bool quote = !v.empty() && (v.front() == ' ' || v.front() == '\t' || v.back() == ' ' ||
                              v.back() == '\t' || v.front() == '"');
  for (char ch : v) quote = quote || static_cast<unsigned char>(ch) < 0x20;
  if (!quote) return v;
  std::string out = "\"";
  for (char ch : v) {
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out += ch;
    }
  }
  return out + "\"";
}

bool DecodeValue(const std::string& text, std::string& out) {
  if (text.empty() || text.front() != '"') {
    out = text;
    return true;
  }
  out.clear();
  for (std::size_t i = 1; i < text.size(); ++i) {
    char ch = text[i];
    if (ch == '"') return i + 1 == text.size();
    if (ch != '\\') {
      out += ch;
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case '"':
      case '\\': out += text[i]; break;
      default: return false;
    }
  }
  return false;  // no closing quote
}

Result Parse(const std::string& file, std::istream& in, std::vector<Node>& nodes) {
  nodes.clear();
  std::string line;
  int number = 0;
  auto bad = [&](const std::string& what) {
    return Fail(ErrConfig, file + ":" + std::to_string(number) + ": " + what);
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#' || t[0] == ';') continue;
    if (t[0] == '[') {
      if (t.back() != ']') return bad("section header \"" + t + "\" has no closing ']'");
      std::string path = NormalPath(t.substr(1, t.size() - 2));
      if (path == "\\") return bad("empty section name");
      for (const Node& n : nodes)
        if (SameName(n.path, path)) return bad("section [" + path + "] appears twice");
      Node node{path, {}};
      if (IsAliasNode(node) && !IsValidAliasName(AliasNameOf(node)))
        return bad("\"" + AliasNameOf(node) + "\" is not a valid alias name");
      nodes.push_back(std::move(node));
      continue;
    }
    std::size_t eq = t.find('=');
    if (eq == std::string::npos) return bad("expected NAME = VALUE, found \"" + t + "\"");
    if (nodes.empty()) return bad("entry \"" + t + "\" before the first [section]");
    std::string name = Upper(Trim(t.substr(0, eq)));
    if (name.empty()) return bad("entry without a name");
    std::string value;
    if (!DecodeValue(Trim(t.substr(eq + 1)), value)) return bad("badly quoted value of " + name);
    if (FindEntry(nodes.back(), name))
      return bad(name + " appears twice in [" + nodes.back().path + "]");
    nodes.back().entries.push_back({name, value});
  }
  return Ok;
}

// Adds the nodes a file left out and puts known entries in their order.
void Complete(std::vector<Node>& nodes) {
  std::vector<Node> out;
  for (const Node& d : DefaultNodes()) {
    Node n{d.path, {}};
    for (Node& have : nodes)
      if (SameName(have.path, d.path)) n.entries = have.entries;
    Normalise(n, d.entries);
    out.push_back(std::move(n));
  }
  for (Node& n : nodes) {
    bool known = false;
    for (const Node& d : DefaultNodes()) known = known || SameName(n.path, d.path);
    if (known) continue;
    if (IsAliasNode(n)) Normalise(n, AliasDefaults());
    out.push_back(std::move(n));
  }
  nodes = std::move(out);
}

std::string Format(const std::vector<Node>& nodes) {
  std::ostringstream s;
  s << "# Quarrydesk engine configuration (see docs/engine-config.md).\n"
       "# Rewritten by the program when aliases change; comments are not kept.\n";
  for (const Node& n : nodes) {
    s << "\n[" << n.path << "]\n";
    for (const ConfigEntry& e : n.entries) {
      s << e.name << " =";
      if (!e.value.empty()) s << " " << EncodeValue(e.value);
      s << "\n";
    }
  }
  return s.str();
}

Result WriteFailure(const std::string& path, const std::string& what, int err) {
  Result code = (err == EACCES || err == EPERM || err == EROFS) ? ErrAccessDenied : ErrConfig;
  return Fail(code, path + ": cannot " + what + ": " + std::strerror(err));
}

// Writes the whole text to a new file beside `path` and renames it over
// `path`: readers see the old file or the new one, never a part.
Result WriteAtomically(const std::string& path, const std::string& text) {
  std::filesystem::path target(path);
  std::error_code ec;
  if (target.has_parent_path()) {
    std::filesystem::create_directories(target.parent_path(), ec);
    if (ec) return WriteFailure(path, "create its directory", ec.value());
  }
  std::string temp = path + ".new-" + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return WriteFailure(path, "write the configuration", errno);
  std::size_t done = 0;
  int err = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (!err && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && !err) err = errno;
  if (!err && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err) {
    ::unlink(temp.c_str());
    return WriteFailure(path, "write the configuration", err);
  }
  return Ok;
}

// ------------------------------------------------------------ the state

struct State {
  std::mutex mutex;
  std::string overridePath;
  bool loaded = false;
  bool changed = false;  // aliases changed since the file was read or written
  std::string file;  // the file the nodes were read from
  std::vector<Node> nodes;
};

State& state() {
  static State s;
  return s;
}

std::string DefaultConfigPath() {
  if (const char* env = std::getenv("QUARRY_CONFIG"); env && *env) return env;
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
      const passwd* pw = ::getpwuid(::getuid());
      home = pw ? pw->pw_dir : "/tmp";
    }
    base = std::string(home) + "/.config";
  }
  return base + "/quarrydesk/engine.cfg";
}

std::string PathLocked(const State& s) {
  return s.overridePath.empty() ? DefaultConfigPath() : s.overridePath;
}

// Reads the file; a missing file is written with the defaults. When that
// write fails the defaults still serve, and SaveConfigFile reports why.
Result LoadLocked(State& s) {
  s.loaded = false;
  s.file = PathLocked(s);
  std::vector<Node> nodes;
  std::error_code dirError;
  if (std::filesystem::is_directory(s.file, dirError))
    return Fail(ErrConfig, s.file + ": is a directory, not a configuration file");
  std::ifstream in(s.file, std::ios::binary);
  if (in) {
    if (Result r = Parse(s.file, in, nodes)) return r;
    if (in.bad()) return Fail(ErrIo, s.file + ": cannot read the configuration");
    Complete(nodes);
  } else {
    std::error_code ec;
    if (std::filesystem::exists(s.file, ec))
      return Fail(ErrAccessDenied, s.file + ": cannot read the configuration");
    Complete(nodes);
    WriteAtomically(s.file, Format(nodes));
    ClearLastError();
  }
  s.nodes = std::move(nodes);
  s.loaded = true;
  s.changed = false;
  return Ok;
}

// The configuration, read when needed (or when the file to use changed).
Result Loaded(State& s) {
  if (s.loaded && s.file == PathLocked(s)) return Ok;
  return LoadLocked(s);
}

Node* FindNode(State& s, const std::string& path) {
  std::string p = NormalPath(path);
  for (Node& n : s.nodes)
    if (SameName(n.path, p)) return &n;
  return nullptr;
}

Result FindAlias(State& s, const std::string& name, Node*& node) {
  node = IsValidAliasName(name) ? FindNode(s, AliasPath(name)) : nullptr;
  if (!node) return Fail(ErrUnknownAlias, "Unknown alias \"" + name + "\" in " + s.file);
  return Ok;
}

std::string ValueOf(State& s, const char* path, const char* name) {
  Node* n = FindNode(s, path);
  ConfigEntry* e = n ? FindEntry(*n, name) : nullptr;
  return e ? e->value : std::string();
}

Result CheckAliasEntry(const std::string& alias, ConfigEntry& e) {
  std::string name = Upper(Trim(e.name));
  auto bad = [&](const std::string& what) {
    return Fail(ErrInvalidParameter, "Alias \"" + alias + "\": " + what);
  };
  if (name == "TYPE") {
    if (Upper(e.value) != "STANDARD") return bad("TYPE must be STANDARD, not \"" + e.value + "\"");
    e.value = "STANDARD";
  } else if (name == "PATH") {
    if (Trim(e.value).empty()) return bad("PATH must name a directory");
  } else if (name == "ENABLE BCD") {
    std::string v = Upper(e.value);
    if (v != "TRUE" && v != "FALSE") return bad("ENABLE BCD must be TRUE or FALSE, not \"" + e.value + "\"");
    e.value = v;
  } else if (name == "DEFAULT DRIVER") {
    std::string v = Upper(e.value.empty() ? "PARADOX" : e.value);
    if (v != "PARADOX" && v != "DBASE")
      return bad("DEFAULT DRIVER must be PARADOX or DBASE, not \"" + e.value + "\"");
    e.value = v;
  } else {
    return bad("there is no entry \"" + e.name + "\" (TYPE, PATH, ENABLE BCD, DEFAULT DRIVER)");
  }
  e.name = name;
  return Ok;
}

bool ParseLong(const std::string& text, long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && errno == 0 && *end == '\0';
}

}  // namespace

// ------------------------------------------------------------ operations

std::string ConfigFilePath() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return PathLocked(s);
}

void SetConfigFile(const std::string& path) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.overridePath = path;
  s.loaded = false;
}

Result ReloadConfig() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return LoadLocked(s);
}

bool IsValidAliasName(const std::string& name) {
  if (name.empty() || name.size() > kNameWidth) return false;
  if (name.front() == ' ' || name.back() == ' ' || name.front() == '.') return false;
  for (char ch : name) {
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) return false;
    if (std::strchr("\\/:*?\"<>|[]=", ch)) return false;
  }
  return true;
}

Result GetDatabaseDesc(const std::string& alias, DatabaseDesc& desc) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (Result r = Loaded(s)) return r;
  Node* n = nullptr;
  if (Result r = FindAlias(s, alias, n)) return r;
  desc = DatabaseDesc{};
  desc.name = AliasNameOf(*n);
  desc.physicalPath = FindEntry(*n, "PATH")->value;
  desc.driverType = FindEntry(*n, "DEFAULT DRIVER")->value;
  return Ok;
}

Result GetSystemConfig(SystemConfig& config) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (Result r = Loaded(s)) return r;
  config = SystemConfig{};
  config.localShare = Upper(ValueOf(s, kSystemInit, "LOCAL SHARE")) == "TRUE" ? 1 : 0;
  config.netType = "NONE";
  if (const char* user = std::getenv("USER"); user && *user) {
    config.userName = user;
  } else if (const passwd* pw = ::getpwuid(::getuid())) {
    config.userName = pw->pw_name;
  }
  config.configFile = s.file;
  config.langDriver = ValueOf(s, kSystemInit, "LANGDRIVER");
  return Ok;
}

Result OpenConfigList(const std::string& path, hDBICur& cursor) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (Result r = Loaded(s)) return r;
  const std::string p = NormalPath(path);
  if (Node* n = FindNode(s, p)) {
    cursor = OpenList(n->entries);
    return Ok;
  }
  // A node that holds others lists its children.
  const std::string prefix = p == "\\" ? p : p + "\\";
  std::vector<ConfigEntry> children;
  for (const Node& n : s.nodes) {
    if (n.path.size() <= prefix.size() || !SameName(n.path.substr(0, prefix.size()), prefix))
      continue;
    std::string child = n.path.substr(prefix.size());
    child = child.substr(0, child.find('\\'));
    bool seen = false;
    for (const ConfigEntry& e : children) seen = seen || e.name == child;
    if (!seen) children.push_back({child, ""});
  }
  if (children.empty() && !SameName(p, kDatabases))
    return Fail(ErrInvalidParameter, s.file + ": no configuration node " + p);
  cursor = OpenList(children);
  return Ok;
}

Result GetConfigValue(const std::string& path, const std::string& name, std::string& value) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (Result r = Loaded(s)) return r;
  Node* n = FindNode(s, path);
  ConfigEntry* e = n ? FindEntry(*n, name) : nullptr;
  if (!e) return Fail(ErrInvalidParameter, s.file + ": no entry " + name + " in " + NormalPath(path));
  value = e->value;
  return Ok;
}

Result GetAliasNames(std::vector<std::string>& names) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (Result r = Loaded(s)) return r;
  names.clear();
  for (const Node& n : s.nodes)
    if (IsAliasNode(n)) names.push_back(AliasNameOf(n));
  return Ok;
}

Result GetAliasParams(const std::string& alias, std::vector<ConfigEntry>& params) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (Result r = Loaded(s)) return r;
  Node* n = nullptr;
  if (Result r = FindAlias(s, alias, n)) return r;
  params = n->entries;
  return Ok;
}

Result AddStandardAlias(const std::string& name, const std::string& path,
                        const std::string& driver) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (Result r = Loaded(s)) return r;
  if (!IsValidAliasName(name))
    return Fail(ErrInvalidAliasName,
                "\"" + name + "\" is not a valid alias name (1 to 31 characters, none of "
                              "\\ / : * ? \" < > | [ ] = and no blanks at either end)");
  if (FindNode(s, AliasPath(name)))
    return Fail(ErrDuplicateAlias, "An alias named \"" + name + "\" exists already in " + s.file);
  Node n{AliasPath(name), AliasDefaults()};
  std::vector<ConfigEntry> given = {{"PATH", path}, {"DEFAULT DRIVER", driver}};
  for (ConfigEntry& e : given) {
    if (Result r = CheckAliasEntry(name, e)) return r;
    FindEntry(n, e.name)->value = e.value;
  }
  s.nodes.push_back(std::move(n));
  s.changed = true;
  return Ok;
}

Result ModifyAlias(const std::string& name, const std::vector<ConfigEntry>& params) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (Result r = Loaded(s)) return r;
  Node* n = nullptr;
  if (Result r = FindAlias(s, name, n)) return r;
  std::vector<ConfigEntry> checked = params;
  for (ConfigEntry& e : checked)
    if (Result r = CheckAliasEntry(name, e)) return r;
  for (const ConfigEntry& e : checked) FindEntry(*n, e.name)->value = e.value;
  s.changed = true;
  return Ok;
}

Result DeleteAlias(const std::string& name) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (Result r = Loaded(s)) return r;
  Node* n = nullptr;
  if (Result r = FindAlias(s, name, n)) return r;
  s.nodes.erase(s.nodes.begin() + (n - s.nodes.data()));
  s.changed = true;
  return Ok;
}

Result SaveConfigFile() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (Result r = Loaded(s)) return r;
  if (Result r = WriteAtomically(s.file, Format(s.nodes))) return r;
  s.changed = false;
  return Ok;
}

bool ConfigHasUnsavedChanges() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.loaded && s.changed;
}

Result GetCreateDefaults(paradox::CreateDefaults& defaults) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (Result r = Loaded(s)) return r;
  defaults = paradox::CreateDefaults{};
  long level = 0, blockSize = 0;
  std::string levelText = ValueOf(s, kParadoxCreate, "LEVEL");
  std::string blockText = ValueOf(s, kParadoxCreate, "BLOCK SIZE");
  if (!ParseLong(levelText, level))
    return Fail(ErrConfig, s.file + ": LEVEL \"" + levelText + "\" of [" + kParadoxCreate +
                               "] is not a number");
  if (!ParseLong(blockText, blockSize) || blockSize <= 0)
    return Fail(ErrConfig, s.file + ": BLOCK SIZE \"" + blockText + "\" of [" + kParadoxCreate +
                               "] is not a number of bytes");
  defaults.level = static_cast<int>(level);
  defaults.blockSize = static_cast<std::uint32_t>(blockSize);
  std::string driver = ValueOf(s, kParadoxInit, "LANGDRIVER");
  if (!driver.empty()) defaults.languageDriver = driver;
  return Ok;
}

Result ResolveDatabaseName(const std::string& name, std::string& databaseName,
                           std::string& directory) {
  databaseName = directory = name;
  // Alias names hold no '/', so paths never need the configuration.
  if (!IsValidAliasName(name)) return Ok;
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (Result r = Loaded(s)) return r;
  if (Node* n = FindNode(s, AliasPath(name))) {
    databaseName = AliasNameOf(*n);
    directory = FindEntry(*n, "PATH")->value;
  }
  return Ok;
}

std::string MatchFileCase(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) return path;
  const std::filesystem::path p(path);
  const std::string want = Lower(p.filename().string());
  const std::string dir = p.has_parent_path() ? p.parent_path().string() : ".";
  if (auto names = io::DirectoryNames(dir))
    for (const std::string& name : *names)
      if (Lower(name) == want) return p.has_parent_path() ? (p.parent_path() / name).string() : name;
  return path;
}

Result ResolveTableName(const std::string& name, std::string& path) {
  path = name;
  const std::size_t colon = name.find(':');
  if (colon == std::string::npos || colon == 0) return Ok;
  const std::string alias = name.substr(0, colon);
  if (!IsValidAliasName(alias)) return Ok;
  std::error_code ec;
  if (std::filesystem::exists(name, ec)) return Ok;
  std::string table = name.substr(colon + 1);
  if (table.empty()) return Fail(ErrInvalidParameter, name + ": no table name after the alias");
  DatabaseDesc desc;
  if (Result r = GetDatabaseDesc(alias, desc)) return r;
  if (std::filesystem::path(table).extension().empty())
    table += desc.driverType == "DBASE" ? ".DBF" : ".DB";
  path = MatchFileCase(desc.physicalPath + (desc.physicalPath.ends_with('/') ? "" : "/") + table);
  return Ok;
}

}  // namespace engine
