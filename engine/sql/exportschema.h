// What an export needs to know of the tables it writes: their columns,
// keys, indexes, checks and links in terms of the target's columns, and a
// reader that hands their rows out one at a time. Shared by the SQLite and
// the PostgreSQL writers (export.cpp, pgscript.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace engine::sql {

struct ExportColumn {
  std::string name;
  FieldDesc field;
  std::size_t value = 0;  // index of the field's value in a record
  bool required = false;
};

struct ExportIndex {
  std::string name;  // unique among the target's tables and indexes
  std::vector<std::size_t> columns;
  bool unique = false;
  bool descending = false;
  bool noCase = false;
};

// A minimum and/or maximum of a column (NULL: none).
struct ExportCheck {
  std::size_t column = 0;
  Value minimum, maximum;
};

struct ExportLink {
  std::string name;
  std::vector<std::size_t> columns;
  std::string parent;  // the parent's name in the target
  std::vector<std::string> parentColumns;
  bool cascadeUpdate = false;
  bool cascadeDelete = false;
};

struct ExportTable {
  std::string file;  // "ORDERS.DB", as the database names it
  std::string name;  // "ORDERS": the name in the target
  std::vector<ExportColumn> columns;
  std::vector<std::size_t> key;  // columns of the primary key
  std::vector<ExportIndex> indexes;
  std::vector<ExportCheck> checks;
  std::vector<ExportLink> links;
  std::uint32_t records = 0;
};

// The tables to export (`only` empty: all), parents before the tables that
// link to them; notes say what is left out.
Result ReadExportTables(hDBIDb db, const std::vector<std::string>& only,
                        std::vector<ExportTable>& tables, std::vector<std::string>& notes);

// Reads a table's records one at a time, read-only.
class ExportRows {
 public:
  ExportRows() = default;
  ~ExportRows();
  ExportRows(const ExportRows&) = delete;
  ExportRows& operator=(const ExportRows&) = delete;
  Result open(hDBIDb db, const ExportTable& table);
  // The next record's values (every field, in field order); false at the end
  // or on failure (`failure` then holds the code).
  bool next(std::vector<Value>& values);
  Result failure() const { return failure_; }

 private:
  hDBICur cursor_ = 0;
  Result failure_ = Ok;
};

// "name" with inner quotes doubled: an identifier of SQLite and PostgreSQL.
std::string QuoteName(const std::string& name);
// 'text' with inner quotes doubled.
std::string QuoteText(const std::string& text);

}  // namespace engine::sql
