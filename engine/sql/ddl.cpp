#include "engine/sql/ddl.h"

#include <algorithm>
#include <filesystem>
#include <set>

#include "engine/dbfcursor.h"
#include "engine/config/config.h"
#include "engine/engine.h"
#include "engine/paradox/pxcreate.h"
#include "engine/sql/sqltext.h"

namespace engine::sql {

namespace {

namespace fs = std::filesystem;

class Parser {
 public:
  Parser(const std::string& text, const std::vector<Token>& toks) : text_(text), toks_(toks) {}
  bool atEnd() const { return at_ >= toks_.size() || (toks_[at_].text == ";" && at_ + 1 == toks_.size()); }
  const Token* peek() const { return at_ < toks_.size() ? &toks_[at_] : nullptr; }
  bool accept(const char* word) {
    const Token* t = peek();
    if (t && (t->is(word) || (t->kind == Token::Symbol && t->text == word))) return ++at_, true;
    return false;
  }
  Result expect(const char* word) { return accept(word) ? Result{Ok} : error("expected " + std::string(word)); }
  Result name(std::string& out) {
    const Token* t = peek();
    if (!t || t->kind == Token::Symbol || t->kind == Token::Number) return error("expected a name");
    out = t->value();
    ++at_;
    return Ok;
  }
  Result number(int& out) {
    const Token* t = peek();
    if (!t || t->kind != Token::Number) return error("expected a number");
    try {
      out = std::stoi(t->text);
    } catch (const std::exception&) {
      return error("expected a number");
    }
    ++at_;
    return Ok;
  }
  Result error(const std::string& what) const {
    std::size_t offset = at_ < toks_.size() ? toks_[at_].begin : text_.size();
    const int line = 1 + static_cast<int>(std::count(text_.begin(), text_.begin() + offset, '\n'));
    const std::string token = at_ < toks_.size() ? toks_[at_].text : "end of statement";
    return Fail(ErrQuerySyntax, "Line " + std::to_string(line) + ", token " + token + ": " + what);
  }

 private:
  const std::string& text_;
  const std::vector<Token>& toks_;
  std::size_t at_ = 0;
};

// "(n)" or "(n, m)" after a type name; absent ones keep their values.
Result Sizes(Parser& p, int& a, int& b) {
  if (!p.accept("(")) return Ok;
  if (Result r = p.number(a)) return r;
  if (p.accept(","))
    if (Result r = p.number(b)) return r;
  return p.expect(")");
}

Result FieldType(Parser& p, FieldDesc& f) {
  std::string type;
  if (Result r = p.name(type)) return r;
  for (char& c : type) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  int a = 0, b = 0;
  if (Result r = Sizes(p, a, b)) return r;
  struct Plain { const char* name; std::uint16_t type; };
  static const Plain plain[] = {
      {"SMALLINT", pxShort}, {"INTEGER", pxLong}, {"INT", pxLong}, {"FLOAT", pxNumber},
      {"DOUBLE", pxNumber}, {"BOOLEAN", pxLogical}, {"DATE", pxDate}, {"TIME", pxTime},
      {"TIMESTAMP", pxTimestamp}, {"MONEY", pxMoney}, {"AUTOINC", pxAutoinc}};
  for (const Plain& t : plain)
    if (type == t.name) return f.type = t.type, Ok;
  if (type == "CHAR" || type == "VARCHAR" || type == "CHARACTER") {
    f.type = pxAlpha;
    f.units1 = static_cast<std::int16_t>(a ? a : 1);
  } else if (type == "DECIMAL" || type == "NUMERIC") {
    f.type = pxBcd;
    f.units1 = 32;
    f.units2 = static_cast<std::int16_t>(b);
  } else if (type == "BYTES") {
    f.type = pxBytes;
    f.units1 = static_cast<std::int16_t>(a);
  } else if (type == "BLOB") {
    static const std::uint16_t kinds[] = {pxMemo, pxBinary, pxFmtMemo, pxOle, pxGraphic};
    const int kind = b ? b : 1;
    if (kind < 1 || kind > 5) return p.error("BLOB kind must be 1 to 5");
    f.type = kinds[kind - 1];
    f.units1 = static_cast<std::int16_t>(f.type == pxMemo && a == 0 ? 1 : a);
  } else {
    return p.error("unknown field type " + type);
  }
  return Ok;
}

Result NameList(Parser& p, std::vector<std::string>& names) {
  if (Result r = p.expect("(")) return r;
  do {
    std::string n;
    if (Result r = p.name(n)) return r;
    names.push_back(n);
  } while (p.accept(","));
  return p.expect(")");
}

Result CreateTableBody(Parser& p, DdlStatement& out) {
  if (Result r = p.expect("(")) return r;
  do {
    if (p.accept("PRIMARY")) {
      if (Result r = p.expect("KEY")) return r;
      if (Result r = NameList(p, out.keyFields)) return r;
      continue;
    }
    FieldDesc f;
    if (Result r = p.name(f.name)) return r;
    if (Result r = FieldType(p, f)) return r;
    f.number = static_cast<std::uint16_t>(out.fields.size() + 1);
    out.fields.push_back(f);
  } while (p.accept(","));
  return p.expect(")");
}

Result Parse(Parser& p, DdlStatement& out) {
  const bool create = p.accept("CREATE");
  if (!create) p.accept("DROP");
  if (p.accept("TABLE")) {
    out.kind = create ? DdlStatement::CreateTable : DdlStatement::DropTable;
    if (Result r = p.name(out.table)) return r;
    if (create)
      if (Result r = CreateTableBody(p, out)) return r;
  } else if (create) {
    out.unique = p.accept("UNIQUE");
    if (Result r = p.expect("INDEX")) return r;
    out.kind = DdlStatement::CreateIndex;
    if (Result r = p.name(out.index)) return r;
    if (Result r = p.expect("ON")) return r;
    if (Result r = p.name(out.table)) return r;
    if (Result r = NameList(p, out.keyFields)) return r;
  } else {
    if (Result r = p.expect("INDEX")) return r;
    out.kind = DdlStatement::DropIndex;
    if (Result r = p.name(out.table)) return r;
    if (Result r = p.expect(".")) return r;
    if (Result r = p.name(out.index)) return r;
  }
  return p.atEnd() ? Result{Ok} : p.error("unexpected text after the statement");
}

int FieldNumber(const std::vector<FieldDesc>& fields, const std::string& name) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::string a = fields[i].name, b = name;
    for (char& c : a) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (char& c : b) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (a == b) return static_cast<int>(i + 1);
  }
  return 0;
}

// A database on the directory of `path`, closed again on every path.
class Directory {
 public:
  explicit Directory(const std::string& path) : file_(fs::path(path).filename().string()) {
    result_ = OpenDatabase(fs::path(path).parent_path().string(), db_);
  }
  ~Directory() {
    if (db_) CloseDatabase(db_);
  }
  Result result() const { return result_; }
  hDBIDb db() const { return db_; }
  const std::string& file() const { return file_; }

 private:
  hDBIDb db_ = 0;
  Result result_ = Ok;
  std::string file_;
};

Result CreateTableAt(const DdlStatement& ddl, const std::string& path) {
  Directory dir(path);
  if (dir.result()) return dir.result();
  TableDesc desc;
  desc.tableName = dir.file();
  const bool dbase = dbf::IsDbfPath(path);
  desc.driverType = dbase ? "DBASE" : "PARADOX";
  desc.fields = dbase ? DbaseFieldsFor(ddl.fields) : ddl.fields;
  if (!ddl.keyFields.empty()) {
    if (dbase) return Fail(ErrNotSupported, "dBASE tables have no primary key; create an index");
    IndexDesc key;
    key.primary = 1;
    key.unique = 1;
    key.maintained = 1;
    key.fieldsInKey = static_cast<std::uint16_t>(ddl.keyFields.size());
    for (std::size_t i = 0; i < ddl.keyFields.size(); ++i) {
      const int n = FieldNumber(ddl.fields, ddl.keyFields[i]);
      if (!n) return Fail(ErrInvalidFieldName, "PRIMARY KEY names no field " + ddl.keyFields[i]);
      key.keyFields[i] = static_cast<std::uint16_t>(n);
    }
    desc.indexes.push_back(key);
  }
  return CreateTable(dir.db(), false, desc);
}

Result CreateIndexAt(const DdlStatement& ddl, const std::string& path) {
  Directory dir(path);
  if (dir.result()) return dir.result();
  hDBICur cursor = 0;
  if (Result r = OpenTablePath(path, OpenMode::ReadOnly, cursor)) return r;
  std::vector<FieldDesc> fields;
  Result r = GetFieldDescs(cursor, fields);
  CloseCursor(cursor);
  if (r) return r;
  IndexDesc index;
  index.name = ddl.index;
  index.unique = ddl.unique ? 1 : 0;
  index.maintained = 1;
  index.fieldsInKey = static_cast<std::uint16_t>(ddl.keyFields.size());
  for (std::size_t i = 0; i < ddl.keyFields.size() && i < kMaxKeyFields; ++i) {
    const int n = FieldNumber(fields, ddl.keyFields[i]);
    if (!n) return Fail(ErrInvalidFieldName, path + ": no field " + ddl.keyFields[i]);
    index.keyFields[i] = static_cast<std::uint16_t>(n);
  }
  if (dbf::IsDbfPath(path)) {
    index.tagName = ddl.index;
    index.expression = 1;
    for (std::size_t i = 0; i < ddl.keyFields.size(); ++i)
      index.keyExpression += (i ? "+" : "") + fields[index.keyFields[i] - 1].name;
  } else if (ddl.keyFields.size() == 1) {
    // A single-field Paradox index is named after its field.
    index.name = fields[index.keyFields[0] - 1].name;
  }
  return AddIndex(dir.db(), dir.file(), index);
}

}  // namespace

Result CreateTableAtPath(TableDesc desc, bool overwrite) {
  Directory dir(desc.tableName);
  if (dir.result()) return dir.result();
  desc.tableName = dir.file();
  return CreateTable(dir.db(), overwrite, desc);
}

Result CreateScratchTableAtPath(TableDesc desc, const std::vector<std::vector<Value>>* rows,
                                bool* filled) {
  *filled = false;
  if (desc.driverType != "PARADOX") return CreateTableAtPath(std::move(desc), true);
  paradox::CreateDefaults defaults;
  if (Result r = GetCreateDefaults(defaults)) return r;
  return paradox::CreateScratchTable(desc, defaults, rows, filled);
}

Result ParseDdl(const std::string& text, DdlStatement& out, bool& isDdl) {
  std::vector<Token> toks;
  std::string error;
  isDdl = false;
  if (!Tokenize(text, toks, error) || toks.size() < 2) return Ok;
  const bool create = toks[0].is("CREATE"), drop = toks[0].is("DROP");
  std::size_t k = 1;
  if (create && toks[1].is("UNIQUE")) k = 2;
  if (!(create || drop) || k >= toks.size() || !(toks[k].is("TABLE") || toks[k].is("INDEX"))) return Ok;
  isDdl = true;
  out = DdlStatement{};
  Parser p(text, toks);
  return Parse(p, out);
}

Result RunDdl(const DdlStatement& ddl,
              const std::function<bool(const std::string&, std::string&)>& resolve) {
  std::string path;
  if (!resolve(ddl.table, path)) return Fail(ErrNotFound, "No table " + ddl.table);
  switch (ddl.kind) {
    case DdlStatement::CreateTable:
      return CreateTableAt(ddl, path);
    case DdlStatement::DropTable: {
      Directory dir(path);
      if (dir.result()) return dir.result();
      return DeleteTable(dir.db(), dir.file(), "");
    }
    case DdlStatement::CreateIndex:
      return CreateIndexAt(ddl, path);
    case DdlStatement::DropIndex: {
      Directory dir(path);
      if (dir.result()) return dir.result();
      return DeleteIndex(dir.db(), dir.file(), ddl.index);
    }
  }
  return Ok;
}

std::vector<FieldDesc> DbaseFieldsFor(const std::vector<FieldDesc>& fields) {
  std::vector<FieldDesc> out;
  std::set<std::string> used;
  for (const FieldDesc& f : fields) {
    FieldDesc d;
    d.number = static_cast<std::uint16_t>(out.size() + 1);
    std::string name;
    for (char c : f.name)
      if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') name += c;
      else if (c == ' ') name += '_';
    if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) name = "F" + name;
    if (name.size() > 10) name.resize(10);
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (int n = 2; used.count(upper); ++n) {
      upper = upper.substr(0, 10 - std::to_string(n).size()) + std::to_string(n);
      name = upper;
    }
    used.insert(upper);
    d.name = name;
    switch (f.type) {
      case pxAlpha: d.type = dbChar; d.units1 = static_cast<std::int16_t>(std::min<int>(f.units1, 254)); break;
      case pxShort: case pxLong: case pxAutoinc: d.type = dbNumber; d.units1 = 11; break;
      case pxMoney: d.type = dbNumber; d.units1 = 20; d.units2 = 2; break;
      case pxBcd: d.type = dbNumber; d.units1 = 20; d.units2 = std::min<std::int16_t>(f.units2, 10); break;
      case pxNumber: d.type = dbNumber; d.units1 = 20; d.units2 = 6; break;
      case pxLogical: d.type = dbLogical; break;
      case pxDate: d.type = dbDate; break;
      case pxTime: d.type = dbChar; d.units1 = 12; break;
      case pxTimestamp: d.type = dbChar; d.units1 = 23; break;
      default: d.type = dbMemo; break;
    }
    out.push_back(d);
  }
  return out;
}

}  // namespace engine::sql
