// File names and paths as the table families use them: a table's members
// share its directory and base name and differ in extension, and whole-table
// operations build their files in a work directory beside the table.
#pragma once

#include <functional>
#include <string>

#include "engine/errors.h"

namespace engine::io {

// ASCII case mapping; other bytes are left as they are.
std::string Upper(std::string s);
std::string Lower(std::string s);

// The file name of a path: what follows its last '/'.
std::string BaseName(const std::string& path);

struct PathParts {
  std::string dir;   // "." when the path names none
  std::string stem;  // the file name without its extension
  std::string ext;   // without the dot; empty when the name has none
};
PathParts SplitPath(const std::string& path);
std::string JoinPath(const std::string& dir, const std::string& name);

// An extension written like the table's: lower case when the table's
// extension starts in lower case, else upper case.
std::string CaseLike(const std::string& ext, const std::string& tableExt);
// The file name of the member with extension `ext` of the table whose path
// splits into `table` ("ORDERS.DB", "MB" -> "ORDERS.MB"; "t.db" -> "t.mb").
std::string MemberFileName(const PathParts& table, const std::string& ext);

// The path of a table's main file from a name: "." + `ext` (upper case) is
// added to a name without extension; another extension than `ext` (in any
// case) is refused, as belonging to another kind of table (`kind`: "a
// dBASE table").
Result TableFileName(const std::string& name, const std::string& ext, const std::string& kind,
                     std::string& out);

// Whether anything is at `path` (a dangling link counts).
bool PathExists(const std::string& path);
// Whether both paths lead to the same file.
bool SameFile(const std::string& a, const std::string& b);

// Where a whole-table operation builds the new files of the table at
// `table` (its main file): beside it, TABLE.DB + ".work~".
std::string WorkDirectoryOf(const std::string& table);
// Removes a work directory and what it holds (it holds files only).
void RemoveWorkDirectory(const std::string& dir);
// Runs `build` in a fresh work directory of the table at `table` (an earlier
// run's, cut short, goes first) and removes the directory afterwards,
// keeping a failure's message.
Result InWorkDirectory(const std::string& table,
                       const std::function<Result(const std::string& work)>& build);

}  // namespace engine::io
