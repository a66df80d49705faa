// quarry restructure / pack / index add|drop.
#include <iostream>
#include <map>
#include <sstream>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/session_options.h"
#include "engine/dataset/dberror.h"
#include "engine/dbfcursor.h"
#include "engine/engine.h"

namespace cli {

using namespace engine;

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The table's fields and key as they are.
struct Current {
  std::vector<FieldDesc> fields;
  std::uint16_t keyFields = 0;
};

Current ReadCurrent(const std::string& path) {
  hDBICur cursor = 0;
  Check(OpenTablePath(path, OpenMode::ReadOnly, cursor));
  Current c;
  Result r = GetFieldDescs(cursor, c.fields);
  CursorProps props;
  if (r == Ok) r = GetCursorProps(cursor, props);
  IndexDesc primary;
  if (r == Ok && props.indexCount > 0 && GetIndexDesc(cursor, 1, primary) == Ok && primary.primary)
    c.keyFields = primary.fieldsInKey;
  CloseCursor(cursor);
  Check(r);
  return c;
}

int FieldIndex(const std::vector<FieldDesc>& fields, const std::string& name) {
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (Upper(fields[i].name) == Upper(name)) return static_cast<int>(i);
  return -1;
}

// --rename OLD=NEW, by the new name.
std::map<std::string, std::string> Renames(const Args& args, const Current& now,
                                           const std::vector<FieldDesc>& wanted) {
  std::map<std::string, std::string> byNew;
  for (const std::string& r : args.values("rename")) {
    std::size_t eq = r.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == r.size())
      throw UsageError("--rename takes OLD=NEW, not \"" + r + "\"");
    const std::string from = r.substr(0, eq), to = r.substr(eq + 1);
    if (FieldIndex(now.fields, from) < 0) throw UsageError("--rename: the table has no field " + from);
    if (FieldIndex(wanted, to) < 0) throw UsageError("--rename: --fields does not name " + to);
    byNew[Upper(to)] = from;
  }
  return byNew;
}

bool SameDefinition(const FieldDesc& a, const FieldDesc& b) {
  // A size left out in --fields means "as it is".
  return a.type == b.type && (b.units1 == 0 || a.units1 == b.units1) &&
         (b.units2 == 0 || a.units2 == b.units2);
}

// The field list with change codes: an existing (or renamed) field keeps
// its data, a new name is added, a name left out is dropped.
void DescribeFields(const Args& args, const Current& now, bool dbase, TableDesc& desc) {
  auto spec = args.value("fields");
  if (!spec) {
    if (!args.values("rename").empty()) throw UsageError("--rename needs --fields");
    return;
  }
  std::vector<FieldDesc> wanted = dbase ? ParseDbaseFieldList(*spec) : ParseFieldList(*spec);
  const auto renames = Renames(args, now, wanted);
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    FieldDesc f = wanted[i];
    auto renamed = renames.find(Upper(f.name));
    const int from = FieldIndex(now.fields, renamed != renames.end() ? renamed->second : f.name);
    std::int32_t op = opAdd;
    f.number = 0;
    if (from >= 0) {
      const FieldDesc& old = now.fields[from];
      f.number = static_cast<std::uint16_t>(from + 1);
      if (!SameDefinition(old, f) || renamed != renames.end()) {
        op = opModify;
        if (f.units1 == 0 && f.type == old.type) f.units1 = old.units1;
      } else {
        op = static_cast<std::size_t>(from) == i ? opNone : opCopy;
        f = old;
      }
    }
    desc.fields.push_back(f);
    desc.fieldOps.push_back(op);
  }
}

void DescribeKey(const Args& args, const Current& now, TableDesc& desc) {
  if (!args.value("key")) return;
  const std::size_t count = desc.fields.empty() ? now.fields.size() : desc.fields.size();
  const long key = args.intValue("key", 0);
  if (key < 0 || key > static_cast<long>(count))
    throw UsageError("--key must be 0 to the number of fields");
  if (key == now.keyFields) return;
  IndexDesc primary;
  primary.primary = primary.unique = primary.maintained = 1;
  primary.fieldsInKey = static_cast<std::uint16_t>(key);
  for (long i = 0; i < key; ++i) primary.keyFields[i] = static_cast<std::uint16_t>(i + 1);
  desc.indexes.push_back(primary);
  desc.indexOps.push_back(key == 0 ? opDrop : now.keyFields == 0 ? opAdd : opModify);
}

void PrintList(const char* title, const std::vector<std::string>& items, Streams& io) {
  if (items.empty()) return;
  io.out << title;
  for (std::size_t i = 0; i < items.size(); ++i) io.out << (i ? ", " : " ") << items[i];
  io.out << "\n";
}

void PrintSamples(const std::vector<std::string>& samples, std::uint32_t total, Streams& io) {
  for (const std::string& s : samples) io.out << "  " << s << "\n";
  if (total > samples.size()) io.out << "  ... and " << total - samples.size() << " more\n";
}

void PrintReport(const RestructureReport& r, bool dryRun, bool failed, Streams& io) {
  if (!failed)
    io.out << "Records: " << r.kept << " of " << r.records << (dryRun ? " would be kept\n" : " kept\n");
  if (r.problems) {
    io.out << "Problems: " << r.problems << " record(s)";
    if (!r.problemsTable.empty()) io.out << " went to " << r.problemsTable;
    io.out << "\n";
    PrintSamples(r.problemSamples, r.problems, io);
  }
  if (r.shortened) {
    io.out << "Shortened: " << r.shortened << " value(s)\n";
    PrintSamples(r.shortenedSamples, r.shortened, io);
  }
  PrintList("Dropped fields:", r.droppedFields, io);
  PrintList("Lost with them:", r.lost, io);
}

int Restructure(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(
      words, {"fields", "key", "rename", "level", "langdriver", "blocksize", "problems"},
      {"pack", "dry-run"});
  args.expectPositional(1);
  const std::string path = ResolveTable(args.positional()[0]);
  const Current now = ReadCurrent(path);
  TableDirectory table(path);
  TableDesc desc;
  desc.tableName = table.file();
  const bool dbase = dbf::IsDbfPath(path);
  if (dbase && (args.value("key") || args.value("blocksize") || args.value("problems")))
    throw UsageError("--key, --blocksize and --problems are for Paradox tables");
  DescribeFields(args, now, dbase, desc);
  DescribeKey(args, now, desc);
  if (auto v = args.value("level")) desc.optionalParams.push_back({"LEVEL", *v});
  if (auto v = args.value("langdriver")) desc.optionalParams.push_back({"LANGDRIVER", *v});
  if (auto v = args.value("blocksize")) desc.optionalParams.push_back({"BLOCK SIZE", *v});
  if (auto v = args.value("problems")) desc.problemsTable = *v;
  desc.pack = args.flag("pack") ? -1 : 0;
  const bool dryRun = args.flag("dry-run");
  RestructureReport report;
  Result r = RestructureTable(table.db(), desc, dryRun, &report);
  if (r && report.records == 0 && report.refusal.empty()) Check(r);
  if (r) {
    io.err << "quarry: " << LastErrorMessage() << "\n";
    PrintReport(report, dryRun, true, io);
    return 1;
  }
  io.out << (dryRun ? "Dry run of the restructure of " : "Restructured ") << path
         << (dryRun ? " (nothing was changed)" : "") << "\n";
  PrintReport(report, dryRun, false, io);
  if (dryRun && !report.refusal.empty()) {
    io.out << "The restructure would fail: " << report.refusal << "\n";
    return 1;
  }
  return 0;
}

int Pack(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words);
  args.expectPositional(1);
  const std::string path = ResolveTable(args.positional()[0]);
  TableDirectory table(path);
  Check(PackTable(table.db(), table.file()));
  io.out << "Packed " << path << "\n";
  return 0;
}

std::vector<std::uint16_t> KeyFields(const Current& now, const std::string& list) {
  std::vector<std::uint16_t> numbers;
  std::stringstream s(list);
  for (std::string name; std::getline(s, name, ',');) {
    const int i = FieldIndex(now.fields, name);
    if (i < 0) throw UsageError("the table has no field " + name);
    numbers.push_back(static_cast<std::uint16_t>(i + 1));
  }
  if (numbers.empty() || numbers.size() > kMaxKeyFields)
    throw UsageError("an index has 1 to " + std::to_string(kMaxKeyFields) + " fields");
  return numbers;
}

int Index(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words, {}, {"unique", "descending", "case-insensitive"});
  const auto& p = args.positional();
  if (p.empty() || (p[0] != "add" && p[0] != "drop"))
    throw UsageError("index takes add or drop");
  args.expectPositional(p[0] == "add" ? 4 : 3);
  const std::string path = ResolveTable(p[1]);
  TableDirectory table(path);
  if (p[0] == "drop") {
    Check(DeleteIndex(table.db(), table.file(), p[2]));
    io.out << "Dropped index " << p[2] << " of " << path << "\n";
    return 0;
  }
  const Current now = ReadCurrent(path);
  IndexDesc ix;
  ix.name = p[2];
  const std::vector<std::uint16_t> fields = KeyFields(now, p[3]);
  ix.fieldsInKey = static_cast<std::uint16_t>(fields.size());
  std::copy(fields.begin(), fields.end(), ix.keyFields.begin());
  ix.unique = args.flag("unique") ? 1 : 0;
  ix.descending = args.flag("descending") ? 1 : 0;
  ix.caseInsensitive = args.flag("case-insensitive") ? 1 : 0;
  ix.maintained = 1;
  Check(AddIndex(table.db(), table.file(), ix));
  io.out << "Added index " << ix.name << " to " << path << "\n";
  return 0;
}

}  // namespace

std::vector<Command> RestructureCommands() {
  return {
      {"restructure",
       "TABLE [--fields \"NAME TYPE [SIZE]; ...\"] [--key N] [--rename OLD=NEW]... "
       "[--level L] [--langdriver NAME] [--blocksize BYTES] [--pack] [--problems TABLE] "
       "[--dry-run]",
       "change a table's fields and properties, keeping its data (a name left out of "
       "--fields is dropped)",
       Restructure},
      {"pack", "TABLE", "rebuild a table compactly", Pack},
      {"index",
       "add TABLE NAME FIELD[,FIELD...] [--unique] [--descending] [--case-insensitive] | "
       "drop TABLE NAME",
       "add or remove a secondary index (drop also takes a tag of a dBASE table's production "
       "index, or the whole index by its file name, T.MDX)",
       Index},
  };
}

}  // namespace cli
