// The groups of commands the quarry program offers.
#pragma once

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

}  // namespace cli
