#include "engine/sql/qbe.h"

#include <algorithm>
#include <map>
#include <numeric>

#include "engine/errors.h"
#include "engine/sql/qbe_cell.h"
#include "engine/sql/qbe_form.h"

namespace engine::qbe {

namespace {

std::string Quote(const std::string& name) {
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string Literal(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

std::string JoinText(const std::vector<std::string>& parts, const std::string& sep) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? sep : "") + parts[i];
  return out;
}

// `..` any characters, `@` one character; LIKE's own wildcards stay literal.
std::string LikePattern(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "..") == 0) out += '%', ++i;
    else if (text[i] == '@') out += '_';
    else if (text[i] == '%' || text[i] == '_' || text[i] == '\\') out += std::string("\\") + text[i];
    else out += text[i];
  }
  return Literal(out) + " ESCAPE '\\'";
}

struct Occurrence {
  const Row* row = nullptr;
  std::string alias;
  std::vector<Cell> cells;
  enum Kind { Plain, Insert, Delete, Change } kind = Plain;
};

struct Binding {
  size_t occ;
  size_t field;
  bool outer;
};

struct Edge {
  size_t a, b;
  std::string sql;
  bool outerA, outerB;
};

struct Column {
  std::string sql, name, table, field;
  Mark mark = Mark::None;
  bool aggregate = false;
};

struct Clause {
  std::string sql;
  bool local;  // refers to its own row only
};

struct From {
  std::string text;
  std::vector<std::string> where;
};

class Translator {
 public:
  explicit Translator(const Form& form) : form_(form) {}
  Translation Run();

 private:
  void ReadRows();
  void Bind();
  std::vector<std::vector<size_t>> Components() const;
  std::vector<std::string> NamesIn(size_t occ) const;

  std::string ColumnSql(size_t occ, size_t field) const;
  std::string ElementSql(const std::string& name, size_t occ, int line) const;
  std::string ExprSql(const ExprPtr& e, size_t occ, int line) const;
  std::string CondSql(const Condition& c, const std::string& column, size_t occ, int line) const;
  bool Local(const std::vector<std::string>& names, size_t occ) const;
  std::vector<Clause> RowClauses(size_t occ) const;
  std::string Table(size_t occ) const;
  std::string Source(size_t occ, std::vector<std::string>& on, std::vector<std::string>& where) const;
  From Join(const std::vector<size_t>& occs) const;
  std::vector<std::string> EdgesBetween(size_t occ, const std::vector<size_t>& others) const;

  std::vector<Column> Columns(const std::vector<size_t>& occs) const;
  std::string Select(const std::vector<size_t>& occs, const std::vector<Column>& columns, bool distinct) const;
  void Order(std::vector<std::vector<Column>>& branches) const;
  std::string OrderBy(const std::vector<Column>& columns, bool plus) const;
  size_t FindColumn(const std::vector<Column>& columns, const FieldRef& ref) const;
  std::string SelectQuery(const std::vector<std::vector<size_t>>& components) const;

  std::string InsertSql(const std::vector<size_t>& occs, size_t target) const;
  std::string DeleteSql(const std::vector<size_t>& occs, size_t target) const;
  std::string UpdateSql(const std::vector<size_t>& occs, size_t target) const;
  std::string ChangeSql(const std::vector<size_t>& occs) const;

  const Form& form_;
  std::vector<Occurrence> occs_;
  std::map<std::string, std::vector<Binding>> bindings_;
  std::vector<Edge> edges_;
  std::vector<std::vector<std::string>> selfLinks_;  // per occurrence: an element given twice in one row
};

void Translator::ReadRows() {
  for (const Row& row : form_.rows) {
    Occurrence o;
    o.row = &row;
    o.alias = "t" + std::to_string(occs_.size() + 1);
    for (size_t i = 0; i < row.cells.size(); ++i) o.cells.push_back(ReadCell(row.cells[i], row.cellLines[i]));
    bool changes = std::any_of(o.cells.begin(), o.cells.end(), [](const Cell& c) { return c.changeTo != nullptr; });
    if (row.keyword == "insert") o.kind = Occurrence::Insert;
    if (row.keyword == "delete") o.kind = Occurrence::Delete;
    if (changes && o.kind != Occurrence::Plain) ThrowSyntax(row.line, "changeto", "changeto in an insert or delete row");
    if (changes) o.kind = Occurrence::Change;
    occs_.push_back(std::move(o));
  }
  selfLinks_.resize(occs_.size());
}

// Elements standing alone in a cell give the field's value a name; the
// same element in other rows links those rows. An insert row only uses them.
void Translator::Bind() {
  for (size_t o = 0; o < occs_.size(); ++o) {
    if (occs_[o].kind == Occurrence::Insert) continue;
    for (size_t f = 0; f < occs_[o].cells.size(); ++f)
      for (const ElementUse& e : occs_[o].cells[f].elements) bindings_[e.name].push_back({o, f, e.outer});
  }
  for (const auto& [name, list] : bindings_) {
    const Binding& first = list.front();
    for (size_t i = 1; i < list.size(); ++i) {
      const Binding& b = list[i];
      std::string sql = ColumnSql(first.occ, first.field) + " = " + ColumnSql(b.occ, b.field);
      if (b.occ == first.occ) selfLinks_[b.occ].push_back(sql);
      else edges_.push_back({first.occ, b.occ, sql, first.outer, b.outer});
    }
  }
}

std::vector<std::string> Translator::NamesIn(size_t occ) const {
  std::vector<std::string> names;
  for (const Cell& c : occs_[occ].cells) {
    for (const ElementUse& e : c.elements) names.push_back(e.name);
    for (const Condition& cond : c.conditions) ElementsOf(cond, names);
    for (const Calc& calc : c.calcs) ElementsOf(calc.expr, names);
    ElementsOf(c.changeTo, names);
  }
  return names;
}

// Rows that share example elements form one question; unlinked rows are
// alternatives whose answers are put together.
std::vector<std::vector<size_t>> Translator::Components() const {
  std::vector<size_t> parent(occs_.size());
  std::iota(parent.begin(), parent.end(), 0);
  auto root = [&](size_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  std::map<std::string, size_t> seen;
  for (size_t o = 0; o < occs_.size(); ++o)
    for (const std::string& name : NamesIn(o)) {
      auto [it, fresh] = seen.emplace(name, o);
      if (!fresh) parent[root(o)] = root(it->second);
    }
  std::map<size_t, std::vector<size_t>> groups;
  std::vector<std::vector<size_t>> out;
  for (size_t o = 0; o < occs_.size(); ++o) groups[root(o)].push_back(o);
  for (auto& [r, members] : groups) out.push_back(members);
  std::sort(out.begin(), out.end(), [](const auto& x, const auto& y) { return x.front() < y.front(); });
  return out;
}

std::string Translator::ColumnSql(size_t occ, size_t field) const {
  return occs_[occ].alias + "." + Quote(occs_[occ].row->fields[field]);
}

std::string Translator::ElementSql(const std::string& name, size_t occ, int line) const {
  auto it = bindings_.find(name);
  if (it == bindings_.end()) ThrowSyntax(line, name, "the example element stands alone in no field");
  for (const Binding& b : it->second)
    if (b.occ == occ) return ColumnSql(b.occ, b.field);
  return ColumnSql(it->second.front().occ, it->second.front().field);
}

// Text joined with + stays text.
bool IsText(const Expr& e) {
  if (e.kind == Expr::Text || e.kind == Expr::Pattern) return true;
  return e.kind == Expr::Binary && e.text == "+" && (IsText(*e.left) || IsText(*e.right));
}

std::string Translator::ExprSql(const ExprPtr& e, size_t occ, int line) const {
  switch (e->kind) {
    case Expr::Number: return e->text;
    case Expr::Text:
    case Expr::Pattern: return Literal(e->text);
    case Expr::Date: return Literal(e->text);
    case Expr::Today: return "date('now','localtime')";
    case Expr::Element: return ElementSql(e->text, occ, line);
    case Expr::Negate: return "(-" + ExprSql(e->left, occ, line) + ")";
    case Expr::Binary: break;
  }
  const Expr& l = *e->left;
  const Expr& r = *e->right;
  if (l.kind == Expr::Today && r.kind == Expr::Number && (e->text == "+" || e->text == "-"))
    return "date('now','localtime','" + e->text + r.text + " days')";
  std::string op = IsText(*e) ? "||" : e->text;
  return "(" + ExprSql(e->left, occ, line) + " " + op + " " + ExprSql(e->right, occ, line) + ")";
}

std::string Translator::CondSql(const Condition& c, const std::string& column, size_t occ, int line) const {
  switch (c.kind) {
    case Condition::Blank: return "(" + column + " IS NULL OR " + column + " = '')";
    case Condition::NotBlank: return "(" + column + " IS NOT NULL AND " + column + " <> '')";
    case Condition::Not: return "NOT " + CondSql(c.parts[0], column, occ, line);
    case Condition::Like:
      if (c.value->kind == Expr::Text || c.value->kind == Expr::Pattern)
        return column + " LIKE " + LikePattern(c.value->text);
      return column + " LIKE " + ExprSql(c.value, occ, line);
    case Condition::Or: {
      std::vector<std::string> parts;
      for (const Condition& p : c.parts) parts.push_back(CondSql(p, column, occ, line));
      return "(" + JoinText(parts, " OR ") + ")";
    }
    case Condition::Compare: break;
  }
  if (c.value->kind == Expr::Pattern && (c.op == "=" || c.op == "<>"))
    return column + (c.op == "=" ? " LIKE " : " NOT LIKE ") + LikePattern(c.value->text);
  return column + " " + c.op + " " + ExprSql(c.value, occ, line);
}

bool Translator::Local(const std::vector<std::string>& names, size_t occ) const {
  for (const std::string& name : names) {
    auto it = bindings_.find(name);
    if (it == bindings_.end()) return false;
    if (std::none_of(it->second.begin(), it->second.end(), [&](const Binding& b) { return b.occ == occ; }))
      return false;
  }
  return true;
}

std::vector<Clause> Translator::RowClauses(size_t occ) const {
  std::vector<Clause> out;
  const Occurrence& o = occs_[occ];
  for (size_t f = 0; f < o.cells.size(); ++f) {
    for (const Condition& c : o.cells[f].conditions) {
      std::vector<std::string> names;
      ElementsOf(c, names);
      out.push_back({CondSql(c, ColumnSql(occ, f), occ, o.row->cellLines[f]), Local(names, occ)});
    }
  }
  for (const std::string& link : selfLinks_[occ]) out.push_back({link, true});
  return out;
}

std::string Translator::Table(size_t occ) const { return Quote(occs_[occ].row->table) + " AS " + occs_[occ].alias; }

bool HasOuter(const std::vector<Edge>& edges, size_t occ) {
  return std::any_of(edges.begin(), edges.end(), [&](const Edge& e) {
    return (e.a == occ && e.outerA) || (e.b == occ && e.outerB);
  });
}

bool InOuterJoin(const std::vector<Edge>& edges, size_t occ) {
  return std::any_of(edges.begin(), edges.end(), [&](const Edge& e) {
    return (e.a == occ || e.b == occ) && (e.outerA || e.outerB);
  });
}

// A row in an outer join is chosen before it is joined: its own conditions
// filter the table itself, so they neither drop the rows kept by `!` nor
// let through rows of the table that do not meet them.
std::string Translator::Source(size_t occ, std::vector<std::string>& on, std::vector<std::string>& where) const {
  std::vector<std::string> own;
  bool outer = InOuterJoin(edges_, occ);
  for (const Clause& c : RowClauses(occ)) (c.local ? (outer ? own : on) : where).push_back(c.sql);
  if (own.empty()) return Table(occ);
  return "(SELECT * FROM " + Table(occ) + " WHERE " + JoinText(own, " AND ") + ") AS " + occs_[occ].alias;
}

// The rows as one FROM clause: linked rows joined on their elements (outer
// joins keep the rows of the side marked `!`), rows linked to none crossed.
From Translator::Join(const std::vector<size_t>& occs) const {
  From from;
  if (occs.empty()) return from;
  auto in = [](const std::vector<size_t>& set, size_t x) { return std::find(set.begin(), set.end(), x) != set.end(); };
  size_t base = occs.front();
  for (size_t o : occs)
    if (HasOuter(edges_, o)) { base = o; break; }
  std::vector<size_t> added{base};
  from.text = Source(base, from.where, from.where);
  while (added.size() < occs.size()) {
    size_t next = occs.size();
    for (size_t o : occs) {
      if (in(added, o)) continue;
      bool linked = std::any_of(edges_.begin(), edges_.end(), [&](const Edge& e) {
        return (e.a == o && in(added, e.b)) || (e.b == o && in(added, e.a));
      });
      if (linked || next == occs.size()) next = o;
      if (linked) break;
    }
    std::vector<std::string> on;
    bool keepOld = false, keepNew = false;
    for (const Edge& e : edges_) {
      bool forward = e.b == next && in(added, e.a), backward = e.a == next && in(added, e.b);
      if (!forward && !backward) continue;
      on.push_back(e.sql);
      keepOld = keepOld || (forward ? e.outerA : e.outerB);
      keepNew = keepNew || (forward ? e.outerB : e.outerA);
    }
    std::string kind = keepOld && keepNew ? "FULL JOIN" : keepOld ? "LEFT JOIN" : keepNew ? "RIGHT JOIN" : "JOIN";
    std::string source = Source(next, on.empty() ? from.where : on, from.where);
    if (on.empty()) from.text += " CROSS JOIN " + source;
    else from.text += " " + kind + " " + source + " ON " + JoinText(on, " AND ");
    added.push_back(next);
  }
  return from;
}

std::vector<std::string> Translator::EdgesBetween(size_t occ, const std::vector<size_t>& others) const {
  std::vector<std::string> out;
  for (const Edge& e : edges_) {
    bool a = e.a == occ && std::count(others.begin(), others.end(), e.b);
    bool b = e.b == occ && std::count(others.begin(), others.end(), e.a);
    if (a || b) out.push_back(e.sql);
  }
  return out;
}

std::string DefaultCalcName(const Calc& calc, const std::string& field) {
  static const char* kNames[] = {"", "Sum of ", "Count of ", "Average of ", "Min of ", "Max of "};
  if (calc.aggregate == Calc::None) return calc.text;
  return kNames[calc.aggregate] + field;
}

std::string AggregateSql(const Calc& calc, const std::string& column) {
  static const char* kFunctions[] = {"", "SUM", "COUNT", "AVG", "MIN", "MAX"};
  return std::string(kFunctions[calc.aggregate]) + "(" + (calc.distinct ? "DISTINCT " : "") + column + ")";
}

std::vector<Column> Translator::Columns(const std::vector<size_t>& occs) const {
  std::vector<Column> columns;
  for (size_t o : occs) {
    const Occurrence& occ = occs_[o];
    Mark rowMark = occ.row->keyword == "check"       ? Mark::Check
                   : occ.row->keyword == "checkplus" ? Mark::CheckPlus
                   : occ.row->keyword == "checkdescending" ? Mark::CheckDescending
                                                          : Mark::None;
    for (size_t f = 0; f < occ.cells.size(); ++f) {
      const Cell& cell = occ.cells[f];
      const std::string& field = occ.row->fields[f];
      Mark mark = cell.mark != Mark::None ? cell.mark : rowMark;
      if (mark != Mark::None)
        columns.push_back({ColumnSql(o, f), cell.checkName.empty() ? field : cell.checkName, occ.row->table, field, mark});
      for (const Calc& calc : cell.calcs) {
        int line = occ.row->cellLines[f];
        bool aggregate = calc.aggregate != Calc::None;
        std::string sql = aggregate ? AggregateSql(calc, ColumnSql(o, f)) : ExprSql(calc.expr, o, line);
        std::string name = calc.name.empty() ? DefaultCalcName(calc, field) : calc.name;
        columns.push_back({sql, name, occ.row->table, name, Mark::None, aggregate});
      }
    }
  }
  return columns;
}

std::string Translator::Select(const std::vector<size_t>& occs, const std::vector<Column>& columns,
                               bool distinct) const {
  std::vector<std::string> items, groups;
  bool aggregate = std::any_of(columns.begin(), columns.end(), [](const Column& c) { return c.aggregate; });
  for (const Column& c : columns) {
    items.push_back(c.sql + " AS " + Quote(c.name));
    if (aggregate && !c.aggregate) groups.push_back(c.sql);
  }
  From from = Join(occs);
  std::string sql = std::string("SELECT ") + (distinct ? "DISTINCT " : "") + JoinText(items, ", ");
  sql += " FROM " + from.text;
  if (!from.where.empty()) sql += " WHERE " + JoinText(from.where, " AND ");
  if (!groups.empty()) sql += " GROUP BY " + JoinText(groups, ", ");
  return sql;
}

size_t Translator::FindColumn(const std::vector<Column>& columns, const FieldRef& ref) const {
  for (size_t i = 0; i < columns.size(); ++i) {
    const Column& c = columns[i];
    if (Lower(c.table) == Lower(ref.table) && (Lower(c.field) == Lower(ref.field) || Lower(c.name) == Lower(ref.field)))
      return i;
  }
  ThrowSyntax(ref.line, ref.text, "the field is not in the answer");
}

// FIELDORDER puts the answer's fields in its order (the others follow);
// every alternative is put in the same order. Names are made unique.
void Translator::Order(std::vector<std::vector<Column>>& branches) const {
  std::vector<size_t> order;
  for (const FieldRef& ref : form_.fieldOrder) {
    size_t i = FindColumn(branches[0], ref);
    if (std::find(order.begin(), order.end(), i) == order.end()) order.push_back(i);
  }
  for (size_t i = 0; i < branches[0].size(); ++i)
    if (std::find(order.begin(), order.end(), i) == order.end()) order.push_back(i);
  for (auto& columns : branches) {
    std::vector<Column> sorted;
    for (size_t i : order) sorted.push_back(columns[i]);
    columns = sorted;
  }
  std::vector<std::string> used;
  for (Column& c : branches[0]) {
    std::string name = c.name;
    for (int n = 1; std::count(used.begin(), used.end(), Lower(name)); ++n) name = c.name + "_" + std::to_string(n);
    used.push_back(Lower(name));
    c.name = name;
  }
  for (auto& columns : branches)
    for (size_t i = 0; i < columns.size(); ++i) columns[i].name = branches[0][i].name;
}

// Plain check marks sort the answer on its fields from left to right (SORT
// names the order); CheckDescending sorts that field downwards; CheckPlus
// keeps the rows as they come unless SORT asks.
std::string Translator::OrderBy(const std::vector<Column>& columns, bool plus) const {
  std::vector<size_t> order;
  for (const FieldRef& ref : form_.sort) {
    size_t i = FindColumn(columns, ref);
    if (std::find(order.begin(), order.end(), i) == order.end()) order.push_back(i);
  }
  for (size_t i = 0; i < columns.size() && !plus; ++i)
    if (std::find(order.begin(), order.end(), i) == order.end()) order.push_back(i);
  std::vector<std::string> keys;
  for (size_t i : order)
    keys.push_back(std::to_string(i + 1) + (columns[i].mark == Mark::CheckDescending ? " DESC" : ""));
  return keys.empty() ? "" : " ORDER BY " + JoinText(keys, ", ");
}

std::string Translator::SelectQuery(const std::vector<std::vector<size_t>>& components) const {
  std::vector<std::vector<Column>> branches;
  bool plus = false;
  for (const auto& occs : components) {
    branches.push_back(Columns(occs));
    const Row& first = *occs_[occs.front()].row;
    if (branches.back().empty())
      ThrowSyntax(first.line, first.table, "the row chooses no answer field and is linked to no row that does");
    if (branches.back().size() != branches.front().size())
      ThrowSyntax(first.line, first.table, "the row chooses other answer fields than the row before it");
    for (const Column& c : branches.back()) plus = plus || c.mark == Mark::CheckPlus;
  }
  Order(branches);
  std::vector<std::string> selects;
  for (size_t i = 0; i < components.size(); ++i) selects.push_back(Select(components[i], branches[i], !plus));
  return JoinText(selects, plus ? " UNION ALL " : " UNION ") + OrderBy(branches[0], plus);
}

std::string Translator::InsertSql(const std::vector<size_t>& occs, size_t target) const {
  const Occurrence& t = occs_[target];
  std::vector<std::string> fields, values;
  std::vector<size_t> others;
  for (size_t o : occs)
    if (o != target) others.push_back(o);
  size_t source = others.empty() ? target : others.front();
  for (size_t f = 0; f < t.cells.size(); ++f) {
    const Cell& c = t.cells[f];
    int line = t.row->cellLines[f];
    if (c.Empty()) continue;
    bool one = c.elements.size() + c.conditions.size() == 1 && c.calcs.empty() && c.mark == Mark::None;
    if (!one || (!c.conditions.empty() && (c.conditions[0].kind != Condition::Compare || c.conditions[0].op != "=")))
      ThrowSyntax(line, t.row->cells[f], "an inserted field takes one value or example element");
    fields.push_back(Quote(t.row->fields[f]));
    values.push_back(c.elements.empty() ? ExprSql(c.conditions[0].value, source, line)
                                        : ElementSql(c.elements[0].name, source, line));
  }
  if (fields.empty()) ThrowSyntax(t.row->line, "Insert", "the inserted row has no values");
  std::string sql = "INSERT INTO " + Quote(t.row->table) + " (" + JoinText(fields, ", ") + ") ";
  if (others.empty()) return sql + "VALUES (" + JoinText(values, ", ") + ")";
  From from = Join(others);
  sql += "SELECT " + JoinText(values, ", ") + " FROM " + from.text;
  return from.where.empty() ? sql : sql + " WHERE " + JoinText(from.where, " AND ");
}

std::string Translator::DeleteSql(const std::vector<size_t>& occs, size_t target) const {
  std::vector<size_t> others;
  for (size_t o : occs)
    if (o != target) others.push_back(o);
  std::vector<std::string> where, inner;
  for (const Clause& c : RowClauses(target)) (c.local ? where : inner).push_back(c.sql);
  std::string sql = "DELETE FROM " + Table(target);
  if (!others.empty()) {
    From from = Join(others);
    std::vector<std::string> links = EdgesBetween(target, others);
    inner.insert(inner.end(), links.begin(), links.end());
    inner.insert(inner.end(), from.where.begin(), from.where.end());
    std::string exists = "EXISTS (SELECT 1 FROM " + from.text;
    if (!inner.empty()) exists += " WHERE " + JoinText(inner, " AND ");
    where.push_back(exists + ")");
  }
  return where.empty() ? sql : sql + " WHERE " + JoinText(where, " AND ");
}

std::string Translator::UpdateSql(const std::vector<size_t>& occs, size_t target) const {
  const Occurrence& t = occs_[target];
  std::vector<std::string> sets, where;
  for (size_t f = 0; f < t.cells.size(); ++f)
    if (t.cells[f].changeTo)
      sets.push_back(Quote(t.row->fields[f]) + " = " + ExprSql(t.cells[f].changeTo, target, t.row->cellLines[f]));
  for (const Clause& c : RowClauses(target)) where.push_back(c.sql);
  std::vector<size_t> others;
  for (size_t o : occs)
    if (o != target) others.push_back(o);
  std::string sql = "UPDATE " + Table(target) + " SET " + JoinText(sets, ", ");
  if (!others.empty()) {
    From from = Join(others);
    sql += " FROM " + from.text;
    std::vector<std::string> links = EdgesBetween(target, others);
    where.insert(where.end(), links.begin(), links.end());
    where.insert(where.end(), from.where.begin(), from.where.end());
  }
  return where.empty() ? sql : sql + " WHERE " + JoinText(where, " AND ");
}

// A group of linked rows with one row that changes its table.
std::string Translator::ChangeSql(const std::vector<size_t>& occs) const {
  size_t target = occs_.size();
  for (size_t o : occs) {
    const Occurrence& occ = occs_[o];
    bool checked = occ.row->keyword.rfind("check", 0) == 0;
    for (const Cell& c : occ.cells)
      if (checked || c.mark != Mark::None || !c.calcs.empty())
        ThrowSyntax(occ.row->line, occ.row->table, "a query that changes tables has no answer fields");
    if (occ.kind == Occurrence::Plain) continue;
    if (target != occs_.size()) ThrowSyntax(occ.row->line, occ.row->keyword, "linked rows change two tables");
    target = o;
  }
  if (target == occs_.size())
    ThrowSyntax(occs_[occs.front()].row->line, occs_[occs.front()].row->table, "the row is linked to no row that changes a table");
  switch (occs_[target].kind) {
    case Occurrence::Insert: return InsertSql(occs, target);
    case Occurrence::Delete: return DeleteSql(occs, target);
    default: return UpdateSql(occs, target);
  }
}

Translation Translator::Run() {
  Translation out;
  out.answerTable = form_.answer;
  if (form_.rows.empty()) ThrowSyntax(1, "Query", "the query has no example rows");
  ReadRows();
  Bind();
  out.changes = std::any_of(occs_.begin(), occs_.end(), [](const Occurrence& o) { return o.kind != Occurrence::Plain; });
  std::vector<std::vector<size_t>> components = Components();
  if (!out.changes) {
    out.statements.push_back(SelectQuery(components));
    return out;
  }
  for (const auto& occs : components) out.statements.push_back(ChangeSql(occs));
  return out;
}

}  // namespace

Result Translate(const std::string& text, Translation& out) {
  out = Translation{};
  if (text.size() < 2) return Fail(ErrQuerySyntax, "No QBE statement available");
  try {
    Form form = ReadForm(text);
    out = Translator(form).Run();
    return Ok;
  } catch (const SyntaxError& e) {
    std::string message = "Line " + std::to_string(e.line);
    if (!e.token.empty()) message += ", \"" + e.token + "\"";
    return Fail(ErrQuerySyntax, message + ": " + e.what);
  }
}

}  // namespace engine::qbe
