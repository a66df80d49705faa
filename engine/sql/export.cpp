// The SQLite target of an export, and the entry point shared with the
// PostgreSQL script (pgscript.cpp).
#include "engine/sql/export.h"

#include <sqlite3.h>

#include "engine/dataset/fieldtext.h"
#include "engine/sql/exportfile.h"
#include "engine/sql/exportschema.h"
#include "engine/valuetext.h"

namespace engine::sql {

namespace {

// BCD is TEXT: its exact decimal text ("-12.30"); a REAL could not hold its
// 32 digits, and a NUMERIC column would turn the text into a REAL.
const char* SqliteType(const FieldDesc& f, bool keyHasBlank) {
  switch (f.type) {
    case pxShort:
    case pxLong:
    case pxAutoinc:
    case dbLong:
    case dbAutoinc:
      // An INTEGER key column stands for the rowid and would number a blank
      // key itself; INT has the same affinity without that.
      return keyHasBlank ? "INT" : "INTEGER";
    case dbNumber:
      if (f.units2 == 0 && f.units1 <= 18) return keyHasBlank ? "INT" : "INTEGER";
      return "REAL";
    case pxNumber:
    case pxMoney:
    case dbFloat:
    case dbDouble:
      return "REAL";
    case pxLogical:
    case dbLogical:
      return "BOOLEAN";
    case pxDate:
    case dbDate:
      return "DATE";
    case pxTime:
      return "TIME";
    case pxTimestamp:
    case dbTimestamp:
      return "TIMESTAMP";
    case pxAlpha:
    case pxMemo:
    case pxFmtMemo:
    case pxBcd:
    case dbChar:
    case dbMemo:
      return "TEXT";
    default:
      return "BLOB";
  }
}

std::string Literal(const Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return QuoteText(*s);
  if (const auto* b = std::get_if<bool>(&v)) return *b ? "1" : "0";
  if (std::holds_alternative<std::int64_t>(v) || std::holds_alternative<double>(v) ||
      std::holds_alternative<BcdValue>(v))
    return FormatValue(v);
  return QuoteText(FormatValue(v));
}

std::string CheckText(const ExportTable& t, const ExportCheck& c) {
  const ExportColumn& column = t.columns[c.column];
  std::string name = QuoteName(column.name);
  if (column.field.type == pxBcd) name = "CAST(" + name + " AS REAL)";
  std::string text;
  if (!IsNull(c.minimum)) text = name + " >= " + Literal(c.minimum);
  if (!IsNull(c.minimum) && !IsNull(c.maximum)) text += " AND ";
  if (!IsNull(c.maximum)) text += name + " <= " + Literal(c.maximum);
  return text;
}

std::string NameList(const ExportTable& t, const std::vector<std::size_t>& columns) {
  std::string s;
  for (std::size_t c : columns) s += (s.empty() ? "" : ", ") + QuoteName(t.columns[c].name);
  return s;
}

std::string CreateTableText(const ExportTable& t, bool keyHasBlank) {
  std::string sql = "CREATE TABLE " + QuoteName(t.name) + " (";
  for (std::size_t i = 0; i < t.columns.size(); ++i) {
    const ExportColumn& c = t.columns[i];
    const bool soleKey = t.key.size() == 1 && t.key[0] == i;
    sql += (i ? ",\n  " : "\n  ") + QuoteName(c.name) + " " +
           SqliteType(c.field, soleKey && keyHasBlank) + (c.required ? " NOT NULL" : "");
  }
  if (!t.key.empty()) sql += ",\n  PRIMARY KEY (" + NameList(t, t.key) + ")";
  for (const ExportCheck& c : t.checks) sql += ",\n  CHECK (" + CheckText(t, c) + ")";
  for (const ExportLink& l : t.links) {
    std::string parent;
    for (const std::string& p : l.parentColumns) parent += (parent.empty() ? "" : ", ") + QuoteName(p);
    sql += ",\n  FOREIGN KEY (" + NameList(t, l.columns) + ") REFERENCES " + QuoteName(l.parent) +
           " (" + parent + ") ON UPDATE " + (l.cascadeUpdate ? "CASCADE" : "RESTRICT") +
           " ON DELETE " + (l.cascadeDelete ? "CASCADE" : "RESTRICT");
  }
  return sql + "\n)";
}

std::string IndexText(const ExportTable& t, const ExportIndex& ix, bool unique) {
  std::string cols;
  for (std::size_t c : ix.columns)
    cols += (cols.empty() ? "" : ", ") + QuoteName(t.columns[c].name) +
            (ix.noCase ? " COLLATE NOCASE" : "") + (ix.descending ? " DESC" : "");
  return std::string("CREATE ") + (unique ? "UNIQUE " : "") + "INDEX " + QuoteName(ix.name) +
         " ON " + QuoteName(t.name) + " (" + cols + ")";
}

class SqliteWriter {
 public:
  SqliteWriter(const ExportRequest& request, ExportSummary& summary)
      : request_(request), summary_(summary) {}
  ~SqliteWriter() { sqlite3_close(db_); }

  Result open(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr))
      return failed("cannot create the file");
    // The file is new and renamed into place only when complete: no journal
    // is needed, and one flush at the end (ExportFile) makes it durable.
    return exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA cache_size=-8192;"
                "PRAGMA ignore_check_constraints=ON");
  }

  Result write(hDBIDb db, const ExportTable& t) {
    ExportRows rows;
    if (Result r = rows.open(db, t)) return r;
    std::vector<Value> values;
    bool more = rows.next(values);
    if (rows.failure()) return rows.failure();
    // Blank keys sort first: the first record tells whether one exists.
    const bool keyHasBlank = more && t.key.size() == 1 && IsNull(values[t.columns[t.key[0]].value]);
    if (Result r = exec(CreateTableText(t, keyHasBlank))) return r;
    std::uint64_t count = 0;
    if (Result r = insertRows(t, rows, values, more, count)) return r;
    summary_.tables.push_back({t.name, count});
    if (Result r = addIndexes(t)) return r;
    return noteCheckViolations(t);
  }

  Result finish() {
    if (Result r = exec("PRAGMA ignore_check_constraints=OFF")) return r;
    return noteOrphans();
  }

 private:
  Result failed(const std::string& what) {
    // Messages name the file the user asked for, not the work file beside it.
    return Fail(ErrIo, request_.target + ": " + what + ": " +
                           (db_ ? sqlite3_errmsg(db_) : "out of memory"));
  }

  Result exec(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
      return failed(sql.substr(0, sql.find('(')));
    return Ok;
  }

  bool cancelled(const std::string& table, std::uint64_t rows) {
    return request_.progress && !request_.progress(table, rows);
  }

  Result insertRows(const ExportTable& t, ExportRows& rows, std::vector<Value>& values, bool more,
                    std::uint64_t& count) {
    std::string sql = "INSERT INTO " + QuoteName(t.name) + " VALUES (";
    for (std::size_t i = 0; i < t.columns.size(); ++i) sql += i ? ", ?" : "?";
    sqlite3_stmt* insert = nullptr;
    if (sqlite3_prepare_v2(db_, (sql + ")").c_str(), -1, &insert, nullptr))
      return failed("INSERT INTO " + t.name);
    Result r = exec("BEGIN");
    if (!r && cancelled(t.name, 0)) r = Fail(ErrQueryCancelled, "The export was cancelled.");
    for (; !r && more; more = rows.next(values)) {
      for (std::size_t i = 0; i < t.columns.size(); ++i)
        bind(insert, static_cast<int>(i + 1), values[t.columns[i].value]);
      if (sqlite3_step(insert) != SQLITE_DONE)
        r = failed(t.name + ", record " + std::to_string(count + 1));
      sqlite3_reset(insert);
      if (++count % 4096 == 0 && !r && cancelled(t.name, count))
        r = Fail(ErrQueryCancelled, "The export was cancelled.");
    }
    sqlite3_finalize(insert);
    if (!r) r = rows.failure();
    if (!r) r = exec("COMMIT");
    if (!r && cancelled(t.name, count)) r = Fail(ErrQueryCancelled, "The export was cancelled.");
    return r;
  }

  static void bind(sqlite3_stmt* s, int i, const Value& v) {
    if (IsNull(v)) {
      sqlite3_bind_null(s, i);
    } else if (const auto* b = std::get_if<bool>(&v)) {
      sqlite3_bind_int(s, i, *b ? 1 : 0);
    } else if (const auto* n = std::get_if<std::int64_t>(&v)) {
      sqlite3_bind_int64(s, i, *n);
    } else if (const auto* d = std::get_if<double>(&v)) {
      sqlite3_bind_double(s, i, *d);
    } else if (const auto* text = std::get_if<std::string>(&v)) {
      sqlite3_bind_text(s, i, text->data(), static_cast<int>(text->size()), SQLITE_STATIC);
    } else if (const auto* blob = std::get_if<BlobValue>(&v)) {
      sqlite3_bind_blob(s, i, blob->bytes.data(), static_cast<int>(blob->bytes.size()),
                        SQLITE_STATIC);
    } else {
      const std::string text = FormatValue(v);  // dates, times, timestamps, BCD
      sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
  }

  // Indexes are built once the rows are in (faster than keeping them up to
  // date row by row). A unique index the rows do not fit becomes a plain one.
  Result addIndexes(const ExportTable& t) {
    for (const ExportIndex& ix : t.indexes) {
      if (sqlite3_exec(db_, IndexText(t, ix, ix.unique).c_str(), nullptr, nullptr, nullptr) ==
          SQLITE_OK)
        continue;
      if (!ix.unique || sqlite3_errcode(db_) != SQLITE_CONSTRAINT)
        return failed("CREATE INDEX " + ix.name);
      summary_.notes.push_back(t.name + ": index " + ix.name +
                               " is not unique, the records hold duplicate keys");
      if (Result r = exec(IndexText(t, ix, false))) return r;
    }
    return Ok;
  }

  Result count(const std::string& sql, std::int64_t& n) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr)) return failed("SELECT count(*)");
    n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_finalize(s);
    return Ok;
  }

  // The rows are loaded as they are; rows that break a check are counted.
  Result noteCheckViolations(const ExportTable& t) {
    for (const ExportCheck& c : t.checks) {
      std::int64_t n = 0;
      if (Result r = count("SELECT count(*) FROM " + QuoteName(t.name) + " WHERE NOT (" +
                               CheckText(t, c) + ")",
                           n))
        return r;
      if (n)
        summary_.notes.push_back(t.name + ": " + std::to_string(n) + " record(s) break the check " +
                                 CheckText(t, c));
    }
    return Ok;
  }

  Result noteOrphans() {
    std::int64_t n = 0;
    if (Result r = count("SELECT count(*) FROM pragma_foreign_key_check", n)) return r;
    if (n) summary_.notes.push_back(std::to_string(n) + " record(s) name a parent row that does not exist");
    return Ok;
  }

  const ExportRequest& request_;
  ExportSummary& summary_;
  sqlite3* db_ = nullptr;
};

Result ExportSqlite(hDBIDb db, const ExportRequest& request, const std::vector<ExportTable>& tables,
                    const std::string& path, ExportSummary& summary) {
  SqliteWriter writer(request, summary);
  if (Result r = writer.open(path)) return r;
  for (const ExportTable& t : tables)
    if (Result r = writer.write(db, t)) return r;
  return writer.finish();
}

class OpenDb {
 public:
  ~OpenDb() {
    if (db) CloseDatabase(db);
  }
  hDBIDb db = 0;
};

}  // namespace

Result ExportDatabase(const ExportRequest& request, ExportSummary* summary) {
  ExportSummary local;
  ExportSummary& out = summary ? *summary : local;
  out = {};
  if (request.target.empty()) return Fail(ErrInvalidParameter, "No file to export to.");
  OpenDb open;
  if (Result r = OpenDatabase(request.database, open.db)) return r;
  std::vector<ExportTable> tables;
  if (Result r = ReadExportTables(open.db, request.tables, tables, out.notes)) return r;
  ExportFile file(request.target);
  if (Result r = file.begin()) return r;
  Result r = request.format == ExportFormat::Sqlite
                 ? ExportSqlite(open.db, request, tables, file.workPath(), out)
                 : ExportPostgres(open.db, request, tables, file.workPath(), out);
  return r ? r : file.commit();
}

}  // namespace engine::sql
