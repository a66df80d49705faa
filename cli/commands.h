// The groups of commands the quarry program offers.
#pragma once

#include <string>
#include <vector>

#include "cli/quarry.h"
#include "engine/engine.h"

namespace cli {

std::vector<Command> TableCommands();  // dump, info, create, insert
std::vector<Command> FamilyCommands();  // copy, delete, rename, empty, move
// quarry info: the table's family members and auxiliary passwords.
void PrintFamilyAndPasswords(const std::string& tablePath, Streams& io);
// quarry dump: the fields the session's password may read (a note on
// standard error names each one left out).
std::vector<bool> ReadableFields(engine::hDBICur table, const std::vector<engine::FieldDesc>& fields,
                                 Streams& io);
std::vector<Command> AliasCommands();  // aliases, alias add/delete
std::vector<Command> BackupCommands();  // backup
std::vector<Command> StructureCommands();  // save-structure
std::vector<Command> RestructureCommands();  // restructure, pack, index
std::vector<Command> ExportCommands();  // export
std::vector<Command> SqlCommands();  // sql, qbe

// A database on the directory of a table, closed on every path; the
// engine's operations then name the table by its file name.
class TableDirectory {
 public:
  explicit TableDirectory(const std::string& tablePath);
  ~TableDirectory();
  TableDirectory(const TableDirectory&) = delete;
  TableDirectory& operator=(const TableDirectory&) = delete;
  engine::hDBIDb db() const { return db_; }
  const std::string& file() const { return file_; }

 private:
  engine::hDBIDb db_ = 0;
  std::string file_;
};

// "NAME TYPE [SIZE]; ..." (the --fields of create and restructure) as field
// descriptors; a usage error when malformed.
std::vector<engine::FieldDesc> ParseFieldList(const std::string& spec);
// The same for a .DBF table: "NAME TYPE [SIZE [DECIMALS]]; ..." with dBASE
// type letters.
std::vector<engine::FieldDesc> ParseDbaseFieldList(const std::string& spec);

}  // namespace cli
