// The PostgreSQL target of an export: a script for psql that creates the
// tables, loads them with COPY ... FROM stdin, then adds keys, checks,
// indexes and foreign keys, all in one transaction.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "engine/dataset/fieldtext.h"
#include "engine/io/file.h"
#include "engine/sql/exportfile.h"
#include "engine/valuetext.h"

namespace engine::sql {

namespace {

std::string PgType(const FieldDesc& f) {
  switch (f.type) {
    case pxShort:
      return "smallint";
    case pxLong:
    case pxAutoinc:
    case dbLong:
    case dbAutoinc:
      return "integer";
    case dbNumber:
      if (f.units2 == 0 && f.units1 <= 9) return "integer";
      if (f.units2 == 0 && f.units1 <= 18) return "bigint";
      return "double precision";
    case pxNumber:
    case pxMoney:
    case dbFloat:
    case dbDouble:
      return "double precision";
    case pxBcd:
      if (f.units1 > 0 && f.units1 <= 1000 && f.units2 >= 0 && f.units2 <= f.units1)
        return "numeric(" + std::to_string(f.units1) + "," + std::to_string(f.units2) + ")";
      return "numeric";
    case pxLogical:
    case dbLogical:
      return "boolean";
    case pxDate:
    case dbDate:
      return "date";
    case pxTime:
      return "time";
    case pxTimestamp:
    case dbTimestamp:
      return "timestamp";
    case pxAlpha:
    case pxMemo:
    case pxFmtMemo:
    case dbChar:
    case dbMemo:
      return "text";
    default:
      return "bytea";
  }
}

std::string Number(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-Infinity" : "Infinity";
  return FormatNumber(d);
}

// A value in COPY's text format: backslash escapes, \N for NULL, bytea
// as \x and hex digits (with its backslash escaped in turn).
void AppendCopyValue(std::string& out, const Value& v) {
  const auto escaped = [&out](const std::string& text) {
    for (char c : text) {
      switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += c;
      }
    }
  };
  if (IsNull(v)) {
    out += "\\N";
  } else if (const auto* b = std::get_if<bool>(&v)) {
    out += *b ? 't' : 'f';
  } else if (const auto* d = std::get_if<double>(&v)) {
    out += Number(*d);
  } else if (const auto* s = std::get_if<std::string>(&v)) {
    escaped(*s);
  } else if (std::holds_alternative<BlobValue>(v)) {
    out += "\\\\x" + FormatValue(v);
  } else {
    out += FormatValue(v);
  }
}

std::string Literal(const Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return QuoteText(*s);
  if (const auto* b = std::get_if<bool>(&v)) return *b ? "true" : "false";
  if (const auto* d = std::get_if<double>(&v)) return std::isfinite(*d) ? Number(*d) : QuoteText(Number(*d));
  if (std::holds_alternative<std::int64_t>(v) || std::holds_alternative<BcdValue>(v))
    return FormatValue(v);
  return QuoteText(FormatValue(v));
}

std::string NameList(const ExportTable& t, const std::vector<std::size_t>& columns) {
  std::string s;
  for (std::size_t c : columns) s += (s.empty() ? "" : ", ") + QuoteName(t.columns[c].name);
  return s;
}

// Text compares byte by byte, whatever the database's collation.
std::string CheckText(const ExportTable& t, const ExportCheck& c) {
  std::string name = QuoteName(t.columns[c.column].name);
  const Value& any = IsNull(c.minimum) ? c.maximum : c.minimum;
  if (std::holds_alternative<std::string>(any)) name += " COLLATE \"C\"";
  std::string text;
  if (!IsNull(c.minimum)) text = name + " >= " + Literal(c.minimum);
  if (!IsNull(c.minimum) && !IsNull(c.maximum)) text += " AND ";
  if (!IsNull(c.maximum)) text += name + " <= " + Literal(c.maximum);
  return text;
}

bool Numeric(const Value& v, double& out) {
  if (const auto* b = std::get_if<BcdValue>(&v)) {
    out = std::strtod(b->text.c_str(), nullptr);
    return true;
  }
  return AsNumber(v, out);
}

template <typename T>
int Order(const T& a, const T& b) {
  return (b < a) - (a < b);
}

// The order of two values as the check compares them; 0 when they do not
// compare (the check then says nothing of the value).
int Compare(const Value& a, const Value& b) {
  double x, y;
  if (Numeric(a, x) && Numeric(b, y)) return Order(x, y);
  if (a.index() != b.index()) return 0;
  if (const auto* s = std::get_if<std::string>(&a)) return Order(s->compare(std::get<std::string>(b)), 0);
  if (const auto* d = std::get_if<DateValue>(&a)) return Order(d->day, std::get<DateValue>(b).day);
  if (const auto* t = std::get_if<TimeValue>(&a)) return Order(t->ms, std::get<TimeValue>(b).ms);
  if (const auto* t = std::get_if<TimestampValue>(&a)) return Order(t->ms, std::get<TimestampValue>(b).ms);
  return 0;
}

bool Breaks(const Value& v, const ExportCheck& c) {
  if (IsNull(v)) return false;
  return (!IsNull(c.minimum) && Compare(v, c.minimum) < 0) ||
         (!IsNull(c.maximum) && Compare(v, c.maximum) > 0);
}

// What the rows of a table showed: the columns with blanks, and how many
// records break each check.
struct RowFacts {
  std::vector<bool> sawNull;
  std::vector<std::uint64_t> broken;
};

class ScriptWriter {
 public:
  ScriptWriter(const ExportRequest& request, ExportSummary& summary)
      : request_(request), summary_(summary) {}
  ~ScriptWriter() {
    if (file_) std::fclose(file_);
  }

  Result open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) return io::OsFailure(request_.target, "create");
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    return put("-- Tables of " + request_.database + ", for psql -f\n"
               "SET client_encoding = 'UTF8';\n"
               "SET standard_conforming_strings = on;\n"
               "BEGIN;\n");
  }

  Result write(hDBIDb db, const ExportTable& t) {
    std::string sql = "\nCREATE TABLE " + QuoteName(t.name) + " (";
    for (std::size_t i = 0; i < t.columns.size(); ++i)
      sql += (i ? ",\n  " : "\n  ") + QuoteName(t.columns[i].name) + " " + PgType(t.columns[i].field);
    sql += "\n);\nCOPY " + QuoteName(t.name) + " (" + NameList(t, all(t)) + ") FROM stdin;\n";
    if (Result r = put(sql)) return r;
    RowFacts facts{std::vector<bool>(t.columns.size(), false),
                   std::vector<std::uint64_t>(t.checks.size(), 0)};
    std::uint64_t count = 0;
    if (Result r = copyRows(db, t, facts, count)) return r;
    summary_.tables.push_back({t.name, count});
    constraints_ += Constraints(t, facts);
    return put("\\.\n");
  }

  // Foreign keys come last, when every key they name exists.
  Result finish(const std::vector<ExportTable>& tables) {
    std::string links;
    for (const ExportTable& t : tables)
      for (const ExportLink& l : t.links) {
        std::string parent;
        for (const std::string& p : l.parentColumns) parent += (parent.empty() ? "" : ", ") + QuoteName(p);
        links += "ALTER TABLE " + QuoteName(t.name) + " ADD FOREIGN KEY (" + NameList(t, l.columns) +
                 ") REFERENCES " + QuoteName(l.parent) + " (" + parent + ") ON UPDATE " +
                 (l.cascadeUpdate ? "CASCADE" : "RESTRICT") + " ON DELETE " +
                 (l.cascadeDelete ? "CASCADE" : "RESTRICT") + ";\n";
      }
    if (Result r = put("\n" + constraints_ + links + "COMMIT;\n")) return r;
    const bool failed = std::fflush(file_) != 0 || std::ferror(file_);
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return failed || !closed ? io::OsFailure(request_.target, "write") : Result{Ok};
  }

 private:
  static std::vector<std::size_t> all(const ExportTable& t) {
    std::vector<std::size_t> columns(t.columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) columns[i] = i;
    return columns;
  }

  Result put(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size())
      return io::OsFailure(request_.target, "write");
    return Ok;
  }

  bool cancelled(const std::string& table, std::uint64_t rows) {
    return request_.progress && !request_.progress(table, rows);
  }

  Result copyRows(hDBIDb db, const ExportTable& t, RowFacts& facts,
                  std::uint64_t& count) {
    ExportRows rows;
    if (Result r = rows.open(db, t)) return r;
    if (cancelled(t.name, 0)) return Fail(ErrQueryCancelled, "The export was cancelled.");
    std::vector<Value> values;
    std::string line;
    while (rows.next(values)) {
      line.clear();
      for (std::size_t i = 0; i < t.columns.size(); ++i) {
        const Value& v = values[t.columns[i].value];
        if (i) line += '\t';
        if (IsNull(v)) facts.sawNull[i] = true;
        AppendCopyValue(line, v);
      }
      line += '\n';
      for (std::size_t k = 0; k < t.checks.size(); ++k)
        if (Breaks(values[t.columns[t.checks[k].column].value], t.checks[k])) ++facts.broken[k];
      if (Result r = put(line)) return r;
      if (++count % 4096 == 0 && cancelled(t.name, count))
        return Fail(ErrQueryCancelled, "The export was cancelled.");
    }
    if (rows.failure()) return rows.failure();
    if (cancelled(t.name, count)) return Fail(ErrQueryCancelled, "The export was cancelled.");
    return Ok;
  }

  // NOT NULL and the primary key need columns without blanks: where the
  // records hold some, a note says so and the key becomes UNIQUE. A check
  // the records break holds for new rows only (NOT VALID), with a note.
  std::string Constraints(const ExportTable& t, const RowFacts& facts) {
    const std::vector<bool>& sawNull = facts.sawNull;
    const std::string table = QuoteName(t.name);
    std::string sql;
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
      if (!t.columns[i].required) continue;
      if (sawNull[i]) {
        summary_.notes.push_back(t.name + "." + t.columns[i].name +
                                 ": not NOT NULL, some records leave it blank");
        continue;
      }
      sql += "ALTER TABLE " + table + " ALTER COLUMN " + QuoteName(t.columns[i].name) +
             " SET NOT NULL;\n";
    }
    bool keyHasBlank = false;
    for (std::size_t c : t.key) keyHasBlank = keyHasBlank || sawNull[c];
    if (keyHasBlank)
      summary_.notes.push_back(t.name + ": the primary key is UNIQUE, some records leave it blank");
    if (!t.key.empty())
      sql += "ALTER TABLE " + table + (keyHasBlank ? " ADD UNIQUE (" : " ADD PRIMARY KEY (") +
             NameList(t, t.key) + ");\n";
    for (std::size_t k = 0; k < t.checks.size(); ++k) {
      const std::string check = CheckText(t, t.checks[k]);
      if (facts.broken[k])
        summary_.notes.push_back(t.name + ": " + std::to_string(facts.broken[k]) +
                                 " record(s) break the check " + check +
                                 ", which holds for new rows only");
      sql += "ALTER TABLE " + table + " ADD CHECK (" + check + ")" +
             (facts.broken[k] ? " NOT VALID;\n" : ";\n");
    }
    for (const ExportIndex& ix : t.indexes) {
      std::string cols;
      for (std::size_t c : ix.columns) {
        const std::string name = QuoteName(t.columns[c].name);
        cols += (cols.empty() ? "" : ", ") + (ix.noCase ? "lower(" + name + ")" : name) +
                (ix.descending ? " DESC" : "");
      }
      sql += std::string("CREATE ") + (ix.unique ? "UNIQUE " : "") + "INDEX " + QuoteName(ix.name) +
             " ON " + table + " (" + cols + ");\n";
    }
    return sql;
  }

  const ExportRequest& request_;
  ExportSummary& summary_;
  std::FILE* file_ = nullptr;
  std::string constraints_;
};

}  // namespace

Result ExportPostgres(hDBIDb db, const ExportRequest& request,
                      const std::vector<ExportTable>& tables, const std::string& path,
                      ExportSummary& summary) {
  ScriptWriter writer(request, summary);
  if (Result r = writer.open(path)) return r;
  for (const ExportTable& t : tables)
    if (Result r = writer.write(db, t)) return r;
  return writer.finish(tables);
}

}  // namespace engine::sql
