// quarry copy / delete / rename / empty / move, and the family members and
// auxiliary passwords that quarry info shows.
#include <iomanip>
#include <iostream>
#include <map>
#include <set>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/session_options.h"
#include "engine/dataset/dberror.h"
#include "engine/engine.h"
#include "engine/lists.h"

namespace cli {

using namespace engine;

TableDirectory::TableDirectory(const std::string& tablePath) {
  std::size_t slash = tablePath.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : tablePath.substr(0, slash);
  if (dir.empty()) dir = "/";
  file_ = slash == std::string::npos ? tablePath : tablePath.substr(slash + 1);
  Check(OpenDatabase(dir, db_));
}

TableDirectory::~TableDirectory() {
  if (db_) CloseDatabase(db_);
}

namespace {

// A name without a directory is taken in the working directory, as the
// other commands take table paths.
std::string AsPath(const std::string& name) {
  return name.find('/') == std::string::npos ? "./" + name : name;
}

int Copy(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words, {}, {"overwrite"});
  args.expectPositional(2);
  const std::string from = ResolveTable(args.positional()[0]);
  const std::string to = ResolveTable(args.positional()[1]);
  TableDirectory source(from);
  Check(CopyTable(source.db(), args.flag("overwrite"), source.file(), "", AsPath(to)));
  io.out << "Copied " << from << " to " << to << "\n";
  return 0;
}

int Delete(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words, {}, {});
  args.expectPositional(1);
  const std::string path = ResolveTable(args.positional()[0]);
  TableDirectory table(path);
  Check(DeleteTable(table.db(), table.file(), ""));
  io.out << "Deleted " << path << "\n";
  return 0;
}

int Rename(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words, {}, {});
  args.expectPositional(2);
  const std::string path = ResolveTable(args.positional()[0]);
  const std::string newName = args.positional()[1];
  if (newName.find('/') != std::string::npos)
    throw UsageError("NEWNAME is a name in the table's directory, not a path");
  TableDirectory table(path);
  Check(RenameTable(table.db(), table.file(), newName));
  io.out << "Renamed " << path << " to " << newName << "\n";
  return 0;
}

int Empty(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words, {}, {});
  args.expectPositional(1);
  const std::string path = ResolveTable(args.positional()[0]);
  TableDirectory table(path);
  Check(EmptyTable(table.db(), table.file()));
  io.out << "Emptied " << path << "\n";
  return 0;
}

// quarry move: the destination is made when it is missing, and goes again
// when the move fails, so that a failed move leaves nothing behind
// (engine::MoveTable, which the archive window shares).
int Move(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words, {"mode"}, {});
  args.expectPositional(2);
  static const std::map<std::string, std::int32_t> modes = {
      {"append", batAppend},   {"update", batUpdate}, {"appendupdate", batAppendUpdate},
      {"subtract", batSubtract}, {"copy", batCopy}};
  const auto modeName = args.value("mode");
  if (!modeName) throw UsageError("--mode is required");
  const auto mode = modes.find(*modeName);
  if (mode == modes.end())
    throw UsageError("--mode must be append, update, appendupdate, subtract or copy");
  TableDirectory from(ResolveTable(args.positional()[0]));
  TableDirectory to(ResolveTable(args.positional()[1]));
  BatchTableDesc source, destination;
  source.db = from.db();
  source.tableName = from.file();
  destination.db = to.db();
  destination.tableName = to.file();
  const MoveOutcome outcome = MoveTable(source, destination, mode->second);
  if (outcome.result != Ok) throw EDBEngineError(outcome.result, outcome.message);
  io.out << outcome.moved << " records moved.\n";
  return 0;
}

std::string KindText(std::int32_t kind) {
  switch (kind) {
    case famTable: return "table";
    case famIndex: return "primary index";
    case famForm: return "form";
    case famReport: return "report";
    case famValChecks: return "validity checks";
    case famSecIndex:
    case famSecIndex2: return "secondary index";
    case famBlob: return "BLOB file";
    default: return "unknown";
  }
}

std::string TableRightsText(std::int32_t code) {
  switch (code) {
    case 0: return "none";
    case 1: return "read only";
    case 3: return "update";
    case 7: return "data entry";
    case 15: return "insert and delete";
    case 31: return "all";
    default: return "unknown (" + std::to_string(code) + ")";
  }
}

std::string FieldRightsText(std::int32_t code) {
  return code == 0 ? "none" : code == 1 ? "read only" : code == 31 ? "all" : "unknown";
}

// Reads every record of a list cursor and closes it.
template <typename Record>
std::vector<Record> ReadList(hDBICur cursor) {
  std::vector<Record> rows;
  Record row;
  while (GetNextRecord(cursor, row) == Ok) rows.push_back(row);
  CloseCursor(cursor);
  return rows;
}

void PrintPasswords(const TableDirectory& table, Streams& io) {
  hDBICur cursor = 0;
  Result r = OpenSecurityList(table.db(), table.file(), "", cursor);
  if (r == ErrNoRights) {
    io.out << "Auxiliary passwords: listed only with the master password\n";
    return;
  }
  Check(r);
  std::vector<SecurityDesc> passwords = ReadList<SecurityDesc>(cursor);
  if (passwords.empty()) return;
  std::vector<FieldDesc> fields;
  Check(OpenFieldList(table.db(), table.file(), "", true, cursor));
  fields = ReadList<FieldDesc>(cursor);
  io.out << "Auxiliary passwords:\n";
  for (const SecurityDesc& s : passwords) {
    io.out << "  " << std::left << std::setw(20) << s.password << "table: "
           << TableRightsText(s.tableRights) << "; fields:";
    for (std::size_t i = 0; i < fields.size(); ++i)
      io.out << (i ? ", " : " ") << fields[i].name << " " << FieldRightsText(s.fieldRights[i]);
    io.out << "\n";
  }
}

}  // namespace

std::vector<bool> ReadableFields(hDBICur table, const std::vector<FieldDesc>& fields, Streams& io) {
  std::vector<std::int32_t> rights;
  Check(GetFieldRights(table, rights));
  std::vector<bool> readable;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    readable.push_back(i >= rights.size() || rights[i] != 0);
    if (!readable.back())
      io.err << "quarry: field " << fields[i].name
             << " is left out: the password gives no right to read it\n";
  }
  return readable;
}

void PrintFamilyAndPasswords(const std::string& tablePath, Streams& io) {
  TableDirectory table(tablePath);
  hDBICur cursor = 0;
  Check(OpenFamilyList(table.db(), table.file(), "", cursor));
  io.out << "Family members:\n";
  for (const FamilyDesc& m : ReadList<FamilyDesc>(cursor))
    io.out << "  " << std::left << std::setw(20) << m.name << KindText(m.kind) << "\n";
  PrintPasswords(table, io);
}

std::vector<Command> FamilyCommands() {
  return {
      {"copy", "SRC DEST [--overwrite] [--password PW]...",
       "copy a table with its whole family (indexes, checks, BLOBs, passwords)", Copy},
      {"delete", "TABLE [--password PW]...", "delete a table with its whole family", Delete},
      {"rename", "TABLE NEWNAME [--password PW]...",
       "rename a table and its whole family within its directory", Rename},
      {"empty", "TABLE [--password PW]...",
       "remove every record; structure, checks, indexes and passwords stay", Empty},
      {"move", "SRC DEST --mode append|update|appendupdate|subtract|copy [--password PW]...",
       "move the records of SRC into DEST as one change (DEST is created when missing)", Move},
  };
}

}  // namespace cli
