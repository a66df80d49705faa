// Export of a database's tables into other database systems: a SQLite
// database file, or a PostgreSQL script that psql loads (docs/export.md
// tells how each field type, index, check and link is carried over).
//
// Rows stream from the tables one at a time; the target appears only when
// complete (it is written beside its final name and renamed at the end), so
// a failure or a cancel leaves no file and an existing target untouched.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/errors.h"

namespace engine::sql {

enum class ExportFormat { Sqlite, PostgresScript };

// Called at the start of each table (rows 0), every few thousand rows and
// at its end; returning false cancels the export (ErrQueryCancelled).
using ExportProgress = std::function<bool(const std::string& table, std::uint64_t rowsDone)>;

struct ExportRequest {
  std::string database;             // an alias or a directory
  std::string target;               // the file to write
  ExportFormat format = ExportFormat::Sqlite;
  std::vector<std::string> tables;  // "ORDERS" or "ORDERS.DB"; empty: every table
  ExportProgress progress;          // may be empty
};

struct ExportSummary {
  struct Table {
    std::string name;  // the table's name in the target
    std::uint64_t rows = 0;
  };
  std::vector<Table> tables;       // in the order they were written
  std::vector<std::string> notes;  // what could not be carried over, and why
};

// Writes the tables of request.database into request.target. Protected
// tables need a session password (AddPassword); fields the password does
// not let us read are left out, with a note.
Result ExportDatabase(const ExportRequest& request, ExportSummary* summary = nullptr);

}  // namespace engine::sql
