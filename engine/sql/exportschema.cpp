#include "engine/sql/exportschema.h"

#include <algorithm>
#include <map>
#include <set>

#include "engine/family.h"
#include "engine/indexes.h"
#include "engine/io/path.h"
#include "engine/lists.h"
#include "engine/valchecks.h"

namespace engine::sql {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// A link as the child's .VAL file names it, before the parent is known.
struct PendingLink {
  std::size_t child = 0;
  std::string parentFile;  // the parent's file name, upper case, without directory
  std::vector<std::uint16_t> parentFields;
  ExportLink link;
};

// Names given out in the target, compared ignoring case (SQLite does).
class Names {
 public:
  bool has(const std::string& name) const { return used_.count(io::Upper(name)) != 0; }
  std::string take(const std::string& wanted) {
    std::string name = wanted;
    for (int n = 2; !used_.insert(io::Upper(name)).second; ++n)
      name = wanted + "_" + std::to_string(n);
    return name;
  }

 private:
  std::set<std::string> used_;
};

class OpenCursor {
 public:
  ~OpenCursor() {
    if (cursor) CloseCursor(cursor);
  }
  hDBICur cursor = 0;
};

Result ListTables(hDBIDb db, std::vector<TableListDesc>& tables) {
  OpenCursor list;
  if (Result r = OpenTableList(db, false, false, "", list.cursor)) return r;
  TableListDesc t;
  Result r;
  while ((r = GetNextRecord(list.cursor, t)) == Ok) tables.push_back(t);
  return r == ErrEndOfList ? Result{Ok} : r;
}

std::string FileOf(const TableListDesc& t) {
  return t.extension.empty() ? t.name : t.name + "." + t.extension;
}

// The files of the tables asked for, in the database's order.
Result ChooseTables(hDBIDb db, const std::vector<std::string>& only,
                    std::vector<std::string>& files) {
  std::vector<TableListDesc> all;
  if (Result r = ListTables(db, all)) return r;
  std::set<std::string> wanted;
  for (const std::string& name : only) {
    const auto match = [&](const TableListDesc& t) {
      return io::Upper(name) == io::Upper(t.name) || io::Upper(name) == io::Upper(FileOf(t));
    };
    if (std::none_of(all.begin(), all.end(), match))
      return Fail(ErrNotFound, "The database has no table " + name + ".");
    for (const TableListDesc& t : all)
      if (match(t)) wanted.insert(FileOf(t));
  }
  for (const TableListDesc& t : all)
    if (only.empty() || wanted.count(FileOf(t))) files.push_back(FileOf(t));
  return Ok;
}

std::string Stem(const std::string& file) {
  const std::string base = io::BaseName(file);
  const std::size_t dot = base.rfind('.');
  return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

Result ReadColumns(hDBICur cursor, ExportTable& table, std::vector<std::size_t>& columnOf,
                   std::vector<std::string>& notes) {
  std::vector<FieldDesc> fields;
  if (Result r = GetFieldDescs(cursor, fields)) return r;
  std::vector<std::int32_t> rights;
  if (Result r = GetFieldRights(cursor, rights)) return r;
  columnOf.assign(fields.size() + 1, kNone);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i < rights.size() && rights[i] == 0) {
      notes.push_back(table.name + "." + fields[i].name +
                      ": left out, the password does not let us read it");
      continue;
    }
    columnOf[i + 1] = table.columns.size();
    table.columns.push_back({fields[i].name, fields[i], i, false});
  }
  return Ok;
}

// The columns of these field numbers; false when one is not exported.
bool ColumnsOf(const std::vector<std::size_t>& columnOf, const std::uint16_t* fields,
               std::size_t count, std::vector<std::size_t>& columns) {
  for (std::size_t i = 0; i < count; ++i) {
    if (fields[i] == 0 || fields[i] >= columnOf.size() || columnOf[fields[i]] == kNone) return false;
    columns.push_back(columnOf[fields[i]]);
  }
  return true;
}

// The column a dBASE tag's expression names: a field, or UPPER(field).
bool ExpressionColumn(const ExportTable& table, std::string expr, ExportIndex& index) {
  expr = io::Upper(expr);
  expr.erase(std::remove(expr.begin(), expr.end(), ' '), expr.end());
  if (expr.rfind("UPPER(", 0) == 0 && expr.back() == ')') {
    expr = expr.substr(6, expr.size() - 7);
    index.noCase = true;
  }
  for (std::size_t c = 0; c < table.columns.size(); ++c)
    if (io::Upper(table.columns[c].name) == expr) {
      index.columns.push_back(c);
      return true;
    }
  return false;
}

Result ReadIndexes(hDBICur cursor, ExportTable& table, const std::vector<std::size_t>& columnOf,
                   Names& names, std::vector<std::string>& notes) {
  std::vector<IndexDesc> indexes;
  if (Result r = GetIndexDescs(cursor, indexes)) return r;
  for (const IndexDesc& ix : indexes) {
    if (ix.primary) {
      if (!ColumnsOf(columnOf, ix.keyFields.data(), ix.fieldsInKey, table.key)) {
        table.key.clear();
        notes.push_back(table.name + ": primary key left out, one of its fields is");
      }
      continue;
    }
    std::string label = !ix.tagName.empty() ? ix.tagName : ix.name;
    if (ix.subset) {
      notes.push_back(table.name + ": index " + label + " left out, it covers only some records");
      continue;
    }
    ExportIndex out;
    // A unique dBASE tag lists the first record of each key and lets the
    // table hold duplicates: in the target it is a plain index.
    out.unique = ix.unique != 0 && ix.tagName.empty();
    out.descending = ix.descending != 0;
    out.noCase = ix.caseInsensitive != 0;
    bool ok = ix.expression ? ExpressionColumn(table, ix.keyExpression, out)
                            : ColumnsOf(columnOf, ix.keyFields.data(), ix.fieldsInKey, out.columns);
    if (!ok || out.columns.empty()) {
      notes.push_back(table.name + ": index " + label + " left out, its key is no list of fields");
      continue;
    }
    if (label.empty()) label = table.columns[out.columns.front()].name;
    out.name = names.take(table.name + "_" + label);
    table.indexes.push_back(out);
  }
  return Ok;
}

Result ReadChecks(hDBICur cursor, ExportTable& table, const std::vector<std::size_t>& columnOf,
                  std::vector<std::string>& notes) {
  CursorProps props;
  if (Result r = GetCursorProps(cursor, props)) return r;
  for (std::uint16_t n = 1; n <= props.valCheckCount; ++n) {
    ValCheckDesc c;
    if (Result r = GetValCheckDesc(cursor, n, c)) return r;
    if (c.fieldNumber >= columnOf.size() || columnOf[c.fieldNumber] == kNone) continue;
    ExportColumn& column = table.columns[columnOf[c.fieldNumber]];
    column.required = c.required != 0;
    ExportCheck check;
    check.column = columnOf[c.fieldNumber];
    const auto bound = [&](std::uint16_t word, CheckPart part, Value& v) -> Result {
      if (word == chkNone) return Ok;
      if (word == chkToday || word == chkNow) {
        notes.push_back(table.name + "." + column.name + ": a check against " +
                        (word == chkToday ? "TODAY" : "NOW") + " is left out");
        return Ok;
      }
      return GetCheckValue(cursor, c, part, v);
    };
    if (Result r = bound(c.hasMin, CheckPart::Minimum, check.minimum)) return r;
    if (Result r = bound(c.hasMax, CheckPart::Maximum, check.maximum)) return r;
    if (!IsNull(check.minimum) || !IsNull(check.maximum)) table.checks.push_back(check);
  }
  return Ok;
}

Result ReadLinks(hDBICur cursor, std::size_t child, const ExportTable& table,
                 const std::vector<std::size_t>& columnOf, std::vector<PendingLink>& pending,
                 std::vector<std::string>& notes) {
  CursorProps props;
  if (Result r = GetCursorProps(cursor, props)) return r;
  for (std::uint16_t n = 1; n <= props.refIntCount; ++n) {
    RefIntDesc l;
    if (Result r = GetRefIntDesc(cursor, n, l)) return r;
    if (l.kind != riDependent) continue;  // the child's side says it all
    PendingLink p;
    p.child = child;
    p.parentFile = io::Upper(io::BaseName(l.otherTable));
    p.parentFields.assign(l.otherFields.begin(), l.otherFields.begin() + l.fieldCount);
    p.link.name = l.name;
    p.link.cascadeUpdate = l.updateRule == riCascade;
    p.link.cascadeDelete = l.deleteRule == riCascade;
    if (!ColumnsOf(columnOf, l.thisFields.data(), l.fieldCount, p.link.columns)) {
      notes.push_back(table.name + ": link " + l.name + " left out, one of its fields is");
      continue;
    }
    pending.push_back(p);
  }
  return Ok;
}

Result ReadTable(hDBIDb db, ExportTable& table, std::size_t number, Names& names,
                 std::vector<PendingLink>& links, std::vector<std::string>& notes) {
  OpenCursor open;
  if (Result r = OpenTable(db, table.file, "", OpenMode::ReadOnly, open.cursor)) return r;
  if (Result r = GetRecordCount(open.cursor, table.records)) return r;
  std::vector<std::size_t> columnOf;
  if (Result r = ReadColumns(open.cursor, table, columnOf, notes)) return r;
  if (Result r = ReadIndexes(open.cursor, table, columnOf, names, notes)) return r;
  if (Result r = ReadChecks(open.cursor, table, columnOf, notes)) return r;
  return ReadLinks(open.cursor, number, table, columnOf, links, notes);
}

// A link references its parent's exported primary key, field for field;
// anything else (a parent left out, a key of other fields) stays out.
void ResolveLinks(std::vector<ExportTable>& tables, const std::vector<PendingLink>& links,
                  std::vector<std::string>& notes) {
  for (PendingLink p : links) {
    ExportTable& child = tables[p.child];
    const auto parent = std::find_if(tables.begin(), tables.end(), [&](const ExportTable& t) {
      return io::Upper(t.file) == p.parentFile || io::Upper(t.name) == p.parentFile;
    });
    if (parent == tables.end()) {
      notes.push_back(child.name + ": link " + p.link.name + " left out, its parent " +
                      p.parentFile + " is not exported");
      continue;
    }
    bool onKey = parent->key.size() == p.parentFields.size();
    for (std::size_t i = 0; onKey && i < p.parentFields.size(); ++i) {
      const ExportColumn& c = parent->columns[parent->key[i]];
      onKey = c.field.number == p.parentFields[i];
      p.link.parentColumns.push_back(c.name);
    }
    if (!onKey) {
      notes.push_back(child.name + ": link " + p.link.name + " left out, it does not name " +
                      parent->name + "'s primary key");
      continue;
    }
    p.link.parent = parent->name;
    child.links.push_back(p.link);
  }
}

// Parents first; tables of a cycle keep their order.
void OrderByLinks(std::vector<ExportTable>& tables) {
  std::vector<ExportTable> ordered;
  std::vector<bool> placed(tables.size(), false);
  const auto ready = [&](const ExportTable& t) {
    for (const ExportLink& l : t.links)
      for (std::size_t i = 0; i < tables.size(); ++i)
        if (!placed[i] && tables[i].name == l.parent && tables[i].name != t.name) return false;
    return true;
  };
  while (ordered.size() < tables.size()) {
    std::size_t pick = 0;
    while (placed[pick]) ++pick;
    for (std::size_t i = pick; i < tables.size(); ++i)
      if (!placed[i] && ready(tables[i])) {
        pick = i;
        break;
      }
    placed[pick] = true;
    ordered.push_back(tables[pick]);
  }
  tables = std::move(ordered);
}

}  // namespace

Result ReadExportTables(hDBIDb db, const std::vector<std::string>& only,
                        std::vector<ExportTable>& tables, std::vector<std::string>& notes) {
  std::vector<std::string> files;
  if (Result r = ChooseTables(db, only, files)) return r;
  Names names;
  for (const std::string& file : files) {
    ExportTable t;
    t.file = file;
    t.name = Stem(file);
    tables.push_back(t);
  }
  // Table names first, so that an index never takes a table's name.
  for (ExportTable& t : tables) {
    // PARTS.DB and PARTS.DBF: the second is PARTS_DBF.
    std::string wanted = t.name;
    if (names.has(wanted) && t.file.size() > wanted.size() + 1)
      wanted += "_" + io::Upper(t.file.substr(wanted.size() + 1));
    t.name = names.take(wanted);
  }
  std::vector<PendingLink> links;
  for (std::size_t i = 0; i < tables.size(); ++i)
    if (Result r = ReadTable(db, tables[i], i, names, links, notes)) return r;
  ResolveLinks(tables, links, notes);
  for (std::size_t i = tables.size(); i-- > 0;)
    if (tables[i].columns.empty()) {
      notes.push_back(tables[i].name + ": left out, none of its fields can be read");
      tables.erase(tables.begin() + static_cast<std::ptrdiff_t>(i));
    }
  OrderByLinks(tables);
  return Ok;
}

ExportRows::~ExportRows() {
  if (cursor_) CloseCursor(cursor_);
}

Result ExportRows::open(hDBIDb db, const ExportTable& table) {
  if (Result r = OpenTable(db, table.file, "", OpenMode::ReadOnly, cursor_)) return r;
  return SetToBegin(cursor_);
}

bool ExportRows::next(std::vector<Value>& values) {
  const Result r = GetNextRecord(cursor_, &values);
  if (r != Ok && r != ErrEndOfList) failure_ = r;
  return r == Ok;
}

std::string QuoteName(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

std::string QuoteText(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + '\'';
}

}  // namespace engine::sql
