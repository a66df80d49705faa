// quarry dump / info / create / insert.
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/csv.h"
#include "cli/csv_rows.h"
#include "cli/index_info.h"
#include "cli/session_options.h"
#include "cli/validity_info.h"
#include "engine/dataset/fieldtext.h"
#include "engine/dataset/dberror.h"
#include "engine/dbfcursor.h"
#include "engine/engine.h"
#include "engine/paradox/pxcreate.h"
#include "engine/typenames.h"

namespace cli {

using namespace engine;

namespace {

// An open table that is closed again on every path.
class OpenCursor {
 public:
  OpenCursor(const std::string& path, OpenMode mode) { Check(OpenTablePath(path, mode, cursor_)); }
  ~OpenCursor() {
    if (cursor_) CloseCursor(cursor_);
  }
  hDBICur get() const { return cursor_; }

 private:
  hDBICur cursor_ = 0;
};

std::vector<FieldDesc> Fields(hDBICur cursor) {
  std::vector<FieldDesc> fields;
  Check(GetFieldDescs(cursor, fields));
  return fields;
}

int Dump(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words, {}, {"deleted"});
  args.expectPositional(1);
  OpenCursor table(ResolveTable(args.positional()[0]), OpenMode::ReadOnly);
  std::vector<FieldDesc> fields = Fields(table.get());
  const std::vector<bool> shown = ReadableFields(table.get(), fields, io);  // family_commands.cpp
  // --deleted: the records marked deleted too, with a first column saying which.
  const bool deleted = args.flag("deleted");
  if (deleted && ValidateProp(table.get(), kPropShowDeleted, 1))
    throw UsageError("--deleted is for dBASE tables: Paradox tables keep no deleted records");
  if (deleted) Check(SetProp(table.get(), kPropShowDeleted, 1));
  const DumpColumns columns{fields, shown, deleted};
  WriteDumpHeader(io.out, columns);
  std::vector<Value> values;
  Check(SetToBegin(table.get()));
  while (true) {
    Result r = GetNextRecord(table.get(), &values);
    if (r == ErrEndOfList) break;
    Check(r);
    bool marked = false;
    if (deleted) Check(IsRecordDeleted(table.get(), marked));
    WriteDumpRecord(io.out, columns, values, marked);
  }
  return 0;
}

int Info(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words);
  args.expectPositional(1);
  OpenCursor table(ResolveTable(args.positional()[0]), OpenMode::ReadOnly);
  CursorProps p;
  Check(GetCursorProps(table.get(), p));
  std::uint32_t count = 0;
  Check(GetRecordCount(table.get(), count));
  auto row = [&](const char* name, const std::string& value) {
    io.out << std::left << std::setw(18) << name << value << "\n";
  };
  row("Table:", args.positional()[0]);
  row("Driver:", p.driverType);
  row("Level:", std::to_string(p.tableLevel));
  const bool dbase = p.driverType == "DBASE";
  if (!dbase) row("Block size:", std::to_string(p.blockSize) + " KiB");
  row("Language driver:", p.languageDriver);
  row("Records:", std::to_string(count));
  row("Record size:", std::to_string(p.recordBufferSize) + " bytes");
  if (!dbase) {
    row("Protected:", p.isProtected ? "Yes" : "No");
    row("Aux passwords:", std::to_string(p.auxPasswordCount));
  }
  std::string key = "none";
  if (p.indexCount > 0 && !dbase) {
    IndexDesc primary;
    Check(GetIndexDesc(table.get(), 1, primary));
    key = std::to_string(primary.fieldsInKey) + " field(s)";
  }
  if (!dbase) row("Primary key:", key);
  io.out << "Fields:\n";
  io.out << "  " << std::left << std::setw(4) << "#" << std::setw(27) << "Name" << std::setw(16)
         << "Type" << std::setw(6) << "Size" << "Scale\n";
  for (const FieldDesc& f : Fields(table.get())) {
    io.out << "  " << std::left << std::setw(4) << f.number << std::setw(27) << f.name
           << std::setw(16) << FieldTypeName(f.type) << std::setw(6)
           << (f.units1 ? std::to_string(f.units1) : "") << (f.units2 ? std::to_string(f.units2) : "")
           << "\n";
  }
  PrintValidity(table.get(), io.out);  // validity_info.cpp
  PrintSecondaryIndexes(table.get(), io.out);  // index_info.cpp
  PrintFamilyAndPasswords(ResolveTable(args.positional()[0]), io);  // family_commands.cpp
  return 0;
}

long ParseRecordNumber(const std::string& text) {
  std::size_t used = 0;
  long n = 0;
  try {
    n = std::stol(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || n < 1) throw UsageError("RECNO must be a record number from 1, not \"" + text + "\"");
  return n;
}


// --tag NAME=EXPR[,unique][,descending]: a tag of the production index.
IndexDesc ParseTag(const std::string& text) {
  const std::size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size())
    throw UsageError("--tag takes NAME=EXPRESSION[,unique][,descending], not \"" + text + "\"");
  IndexDesc ix;
  ix.tagName = text.substr(0, eq);
  std::string rest = text.substr(eq + 1);
  // Options come last; an expression may hold commas itself (STR(N,10,2)).
  for (;;) {
    const std::size_t comma = rest.find_last_of(',');
    if (comma == std::string::npos) break;
    std::string word = rest.substr(comma + 1);
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word == "unique") {
      ix.unique = 1;
    } else if (word == "descending") {
      ix.descending = 1;
    } else {
      break;
    }
    rest.resize(comma);
  }
  ix.keyExpression = rest;
  ix.maintained = 1;
  return ix;
}

int CreateDbase(TableDesc& desc, const std::string& spec, const Args& args, Streams& io) {
  if (args.value("key") || args.value("blocksize") || args.value("password"))
    throw UsageError("--key, --blocksize and --password are for Paradox tables");
  desc.driverType = "DBASE";
  desc.fields = ParseDbaseFieldList(spec);
  for (const std::string& tag : args.values("tag")) desc.indexes.push_back(ParseTag(tag));
  desc.optionalParams.push_back({"LEVEL", args.value("level").value_or("4")});
  if (auto v = args.value("langdriver")) desc.optionalParams.push_back({"LANGDRIVER", *v});
  Check(dbf::Create(desc.tableName, false, desc));
  io.out << "Created " << desc.tableName << "\n";
  return 0;
}

int Create(const std::vector<std::string>& words, Streams& io) {
  Args args =
      ParseCommandArgs(words, {"fields", "key", "level", "langdriver", "blocksize", "tag"});
  args.expectPositional(1);
  auto fieldSpec = args.value("fields");
  if (!fieldSpec) throw UsageError("--fields is required");
  TableDesc desc;
  desc.tableName = ResolveTable(args.positional()[0]);
  if (dbf::IsDbfPath(desc.tableName)) return CreateDbase(desc, *fieldSpec, args, io);
  if (!args.values("tag").empty()) throw UsageError("--tag is for dBASE tables");
  desc.fields = ParseFieldList(*fieldSpec);
  long key = args.intValue("key", 0);
  if (key < 0 || key > static_cast<long>(desc.fields.size()))
    throw UsageError("--key must be 0 to the number of fields");
  if (key > 0) {
    IndexDesc primary;
    primary.primary = primary.unique = primary.maintained = 1;
    primary.fieldsInKey = static_cast<std::uint16_t>(key);
    for (long i = 0; i < key; ++i) primary.keyFields[i] = static_cast<std::uint16_t>(i + 1);
    desc.indexes.push_back(primary);
  }
  if (auto v = args.value("level")) desc.optionalParams.push_back({"LEVEL", *v});
  if (auto v = args.value("langdriver")) desc.optionalParams.push_back({"LANGDRIVER", *v});
  if (auto v = args.value("blocksize")) desc.optionalParams.push_back({"BLOCK SIZE", *v});
  if (auto v = args.value("password")) {
    desc.password = *v;
    desc.isProtected = 1;
  }
  paradox::CreateDefaults defaults;
  Check(GetCreateDefaults(defaults));
  Check(paradox::CreateParadoxTable(desc, false, defaults));
  io.out << "Created " << desc.tableName << "\n";
  return 0;
}

// quarry undelete TABLE RECNO: recalls a record of a dBASE table.
int Undelete(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words);
  args.expectPositional(2);
  const long recordNo = ParseRecordNumber(args.positional()[1]);
  OpenCursor table(ResolveTable(args.positional()[0]), OpenMode::ReadWrite);
  if (ValidateProp(table.get(), kPropShowDeleted, 1))
    throw UsageError("undelete is for dBASE tables: Paradox tables keep no deleted records");
  Check(SetProp(table.get(), kPropShowDeleted, 1));
  Check(SetToRecordNo(table.get(), static_cast<std::uint32_t>(recordNo)));
  bool marked = false;
  Check(IsRecordDeleted(table.get(), marked));
  if (!marked) {
    io.out << "Record " << recordNo << " is not deleted\n";
    return 0;
  }
  Check(UndeleteRecord(table.get()));
  io.out << "Recalled record " << recordNo << "\n";
  return 0;
}

int Insert(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words);
  args.expectPositional(1);
  OpenCursor table(ResolveTable(args.positional()[0]), OpenMode::ReadWrite);
  std::vector<FieldDesc> fields = Fields(table.get());
  CsvRows rows(io.in, fields);
  std::uint64_t inserted = 0;
  if (Result r = InsertRecordStream(table.get(), rows, &inserted)) {
    if (!rows.failure().empty()) throw std::runtime_error(rows.failure());
    Check(r);
  }
  io.out << "Inserted " << inserted << " records\n";
  return 0;
}

}  // namespace

// dBASE fields: "NAME C 20; QTY N 8 0; PRICE N 10 2; BORN D; OK L; NOTE M"
// (type letter as the file writes it, size, decimals).
// The items of a --fields list ("NAME TYPE [SIZE [DECIMALS]]; ..."), each
// as its text and its words; empty items are left out.
static std::vector<std::pair<std::string, std::vector<std::string>>> FieldItems(const std::string& spec) {
  std::vector<std::pair<std::string, std::vector<std::string>>> items;
  std::stringstream all(spec);
  std::string item;
  while (std::getline(all, item, ';')) {
    std::stringstream words(item);
    std::vector<std::string> w;
    for (std::string s; words >> s;) w.push_back(s);
    if (!w.empty()) items.emplace_back(item, std::move(w));
  }
  return items;
}

std::vector<FieldDesc> ParseDbaseFieldList(const std::string& spec) {
  static const std::map<char, std::uint16_t> codes = {
      {'C', dbChar}, {'N', dbNumber}, {'M', dbMemo},  {'L', dbLogical},   {'D', dbDate},
      {'F', dbFloat}, {'G', dbOle},   {'B', dbBinary}, {'I', dbLong},     {'+', dbAutoinc},
      {'@', dbTimestamp}, {'O', dbDouble}};
  std::vector<FieldDesc> fields;
  for (auto& [item, w] : FieldItems(spec)) {
    if (w.size() < 2 || w.size() > 4 || w[1].size() != 1)
      throw UsageError("field \"" + item + "\" is not NAME TYPE [SIZE [DECIMALS]]");
    const auto code = codes.find(static_cast<char>(std::toupper(static_cast<unsigned char>(w[1][0]))));
    if (code == codes.end()) throw UsageError("field " + w[0] + ": unknown dBASE type letter " + w[1]);
    FieldDesc f;
    f.name = w[0];
    f.type = code->second;
    for (std::size_t k = 2; k < w.size(); ++k) {
      int n = 0;
      try {
        n = std::stoi(w[k]);
      } catch (const std::exception&) {
        throw UsageError("field " + w[0] + ": \"" + w[k] + "\" is not a number");
      }
      (k == 2 ? f.units1 : f.units2) = static_cast<std::int16_t>(n);
    }
    fields.push_back(f);
  }
  if (fields.empty()) throw UsageError("--fields names no field");
  return fields;
}

std::vector<FieldDesc> ParseFieldList(const std::string& spec) {
  std::vector<FieldDesc> fields;
  for (auto& [item, w] : FieldItems(spec)) {
    // "A20" is read as "A 20".
    if (w.size() == 2 && w[1].size() > 1 && std::isdigit(static_cast<unsigned char>(w[1][1]))) {
      w.push_back(w[1].substr(1));
      w[1].resize(1);
    }
    if (w.size() < 2 || w.size() > 3 || w[1].size() != 1)
      throw UsageError("field \"" + item + "\" is not NAME TYPE [SIZE]");
    std::uint8_t code = paradox::FieldCodeOfLetter(w[1][0]);
    if (!code) throw UsageError("field " + w[0] + ": unknown type letter " + w[1]);
    FieldDesc f;
    f.name = w[0];
    f.type = paradox::PhysicalTypeOf(code);
    if (w.size() == 3) {
      int size = 0;
      try {
        size = std::stoi(w[2]);
      } catch (const std::exception&) {
        throw UsageError("field " + w[0] + ": size \"" + w[2] + "\" is not a number");
      }
      if (code == paradox::fcBcd) {
        f.units1 = 32;
        f.units2 = static_cast<std::int16_t>(size);
      } else {
        f.units1 = static_cast<std::int16_t>(size);
      }
    }
    fields.push_back(f);
  }
  if (fields.empty()) throw UsageError("--fields names no field");
  return fields;
}

std::vector<Command> TableCommands() {
  return {
      {"dump", "TABLE [--deleted] [--password PW]...",
       "print every record as CSV (--deleted: a dBASE table's deleted records too, marked in a "
       "first column _deleted)",
       Dump},
      {"undelete", "TABLE RECNO", "recall a deleted record of a dBASE table", Undelete},
      {"info", "TABLE [--password PW]...", "print the table's properties and fields", Info},
      {"create",
       "TABLE --fields \"NAME TYPE [SIZE]; ...\" [--key N] [--level 3|4|5|7] "
       "[--tag NAME=EXPR[,unique][,descending]]... [--langdriver NAME] [--blocksize BYTES] "
       "[--password PW]",
       "create a table (TYPE: A N $ D S M B F O G I T @ L + Y #; a .DBF table: \"NAME TYPE "
       "[SIZE [DECIMALS]]\" with C N F D L M B G, and at level 7 I + @ O; level 3, 4 (the "
       "default), 5 or 7; --tag adds a tag of its production index, level 4 and later)",
       Create},
      {"insert", "TABLE [--password PW]... < rows.csv",
       "insert the records of CSV input (header line names the fields)", Insert},
  };
}

}  // namespace cli
