#include "compare/difference.h"

#include <QDir>
#include <QFileInfo>

#include "engine/dataset/dberror.h"
#include "engine/dataset/session.h"
#include "engine/dataset/table.h"
#include "structure/extraction.h"
#include "structure/inifile.h"

namespace compare {

using structure::OpenTableRef;
using structure::PropertyList;
using structure::PropertyName;
using structure::PropertyValue;

int IndexOfName(const QStringList& names, const QString& name) {
  for (int i = 0; i < names.size(); ++i)
    if (names[i].compare(name, Qt::CaseInsensitive) == 0) return i;
  return -1;
}

void OpenTableIn(engine::TTable& table, const QString& database, const QString& name) {
  table.Close();
  table.SetIndexName("");
  table.SetDatabaseName(database.toStdString());
  table.SetTableName(name.toStdString());
  table.Open();
}

ResultNode& ResultNode::child(const QString& name, int img) {
  for (ResultNode& c : children)
    if (c.text == name) return c;
  children.push_back(ResultNode{name, img, {}, {}});
  return children.back();
}

const ResultNode* ResultNode::find(const QString& name) const {
  for (const ResultNode& c : children)
    if (c.text == name) return &c;
  return nullptr;
}

namespace {

// The value of the first line named `name` (letter case ignored).
QString ValueFor(const PropertyList& list, const QString& name) {
  for (const QString& line : list)
    if (PropertyName(line).compare(name, Qt::CaseInsensitive) == 0) return PropertyValue(line);
  return {};
}


// The entry of `other` that matches entry i of `from`: names may repeat
// (two links of one name), so the k-th of a name matches the k-th.
int Counterpart(const QStringList& from, int i, const QStringList& other) {
  int k = 0;
  for (int j = 0; j < i; ++j) k += from[j].compare(from[i], Qt::CaseInsensitive) == 0;
  for (int j = 0; j < other.size(); ++j)
    if (other[j].compare(from[i], Qt::CaseInsensitive) == 0 && k-- == 0) return j;
  return -1;
}

bool LastOfItsName(const QStringList& names, int i) {
  for (int j = i + 1; j < names.size(); ++j)
    if (names[j].compare(names[i], Qt::CaseInsensitive) == 0) return false;
  return true;
}

// Differ at a line of `ref`, compared at the same positions.
bool DifferOverReference(const PropertyList& ref, const PropertyList& cur) {
  for (int i = 0; i < ref.size(); ++i)
    if (i >= cur.size() || ref[i] != cur[i]) return true;
  return false;
}

QStringList IndexNames(const OpenTableRef& t, int count) {
  QStringList names;
  if (count > 0) structure::ListIndexNames(t, names);
  for (QString& n : names)
    if (n.isEmpty()) n = "<Primary>";
  return names;
}


// One table present on both sides.
class TableComparison {
 public:
  TableComparison(engine::TSession& session, engine::TTable& orig, engine::TTable& ref,
                  ResultNode& result, const QString& name)
      : o_(OpenTableRef::Of(session, orig)), r_(OpenTableRef::Of(session, ref)),
        result_(result), name_(name) {
    engine::Check(engine::GetCursorProps(orig.Handle(), op_));
    engine::Check(engine::GetCursorProps(ref.Handle(), rp_));
  }

  void run() {
    tableProps();
    fields();
    indexes();
    checks();
    if (op_.refIntCount > 0 || rp_.refIntCount > 0) links();
    security();
  }

 private:
  ResultNode& table() { return result_.child(name_); }
  ResultNode& item(const char* group, const QString& name) {
    return table().child(group, 2).child(name);
  }

  void tableProps() {
    if (op_.languageDriver == rp_.languageDriver && op_.tableLevel == rp_.tableLevel &&
        op_.blockSize == rp_.blockSize && !op_.strictRefInt == !rp_.strictRefInt &&
        !op_.isProtected == !rp_.isProtected)
      return;
    PropertyList cur, ref;
    structure::ListTableProps(o_.cursor, cur);
    structure::ListTableProps(r_.cursor, ref);
    SetReferenceRows(ref, table().rows);
    SetCurrentValues(cur, table().rows);
  }

  void fields() {
    PropertyList cur, ref;
    for (int i = 0; i < o_.fieldNames.size(); ++i) {
      if (IndexOfName(r_.fieldNames, o_.fieldNames[i]) >= 0) continue;
      structure::ListFieldProps(o_, i, cur);
      SetCurrentValues(cur, item("FIELDS", o_.fieldNames[i]).rows);
    }
    for (int i = 0; i < r_.fieldNames.size(); ++i) {
      const int d = IndexOfName(o_.fieldNames, r_.fieldNames[i]);
      structure::ListFieldProps(r_, i, ref);
      if (d < 0) {
        SetReferenceRows(ref, item("FIELDS", r_.fieldNames[i]).rows);
        continue;
      }
      structure::ListFieldProps(o_, d, cur);
      if (DifferOverReference(ref, cur)) both("FIELDS", r_.fieldNames[i], ref, cur);
    }
  }

  void indexes() {
    const QStringList cur = IndexNames(o_, op_.indexCount), ref = IndexNames(r_, rp_.indexCount);
    PropertyList a, b;
    for (const QString& x : cur) {
      if (IndexOfName(ref, x) >= 0) continue;
      structure::ListIndexProps(o_, x, a);
      SetCurrentValues(a, item("INDEXES", x).rows);
    }
    for (const QString& x : ref) {
      b.clear();
      structure::ListIndexProps(r_, x, b);
      const int d = IndexOfName(cur, x);
      if (d < 0) {
        SetReferenceRows(b, item("INDEXES", x).rows);
        continue;
      }
      a.clear();
      structure::ListIndexProps(o_, cur[d], a);
      if (a != b) both("INDEXES", x, b, a);
    }
  }

  void checks() {
    QStringList cur, ref;
    structure::ListValCheckFields(o_, cur);
    structure::ListValCheckFields(r_, ref);
    PropertyList a;
    for (int i = 0; i < cur.size(); ++i) {
      if (IndexOfName(ref, cur[i]) >= 0) continue;
      a.clear();
      structure::ListValCheckProps(o_, i + 1, a);
      SetCurrentValues(a, item("VALIDITY CHECKS", cur[i]).rows);
    }
    if (rp_.valCheckCount == 0) return;
    PropertyList shownCur, shownRef;
    structure::ListValCheckDisplayProps(o_, shownCur);
    structure::ListValCheckDisplayProps(r_, shownRef);
    for (int i = 0; i + 5 < shownRef.size(); i += 6) {
      const QString field = PropertyValue(shownRef[i]);
      const PropertyList ref5 = shownRef.mid(i + 1, 5);
      const int at = shownCur.indexOf(shownRef[i]);
      if (at < 0) {
        SetReferenceRows(ref5, item("VALIDITY CHECKS", field).rows);
        continue;
      }
      const PropertyList cur5 = shownCur.mid(at + 1, 5);
      if (cur5 != ref5) both("VALIDITY CHECKS", field, ref5, cur5);
    }
  }

  void links() {
    QStringList cur, ref;
    structure::ListRefIntNames(o_, true, cur);
    structure::ListRefIntNames(r_, true, ref);
    PropertyList a, b;
    for (int i = 0; i < cur.size(); ++i) {
      if (Counterpart(cur, i, ref) >= 0) continue;
      a.clear();
      structure::ListRefIntProps(o_, i + 1, a);
      SetCurrentValues(a, item("REFERENTIAL INTEGRITY", cur[i]).rows);
    }
    for (int i = 0; i < ref.size(); ++i) {
      b.clear();
      structure::ListRefIntProps(r_, i + 1, b);
      const int d = Counterpart(ref, i, cur);
      if (d < 0) {
        SetReferenceRows(b, item("REFERENTIAL INTEGRITY", ref[i]).rows);
        continue;
      }
      a.clear();
      structure::ListRefIntProps(o_, d + 1, a);
      if (DifferOverReference(b, a)) both("REFERENTIAL INTEGRITY", ref[i], b, a);
    }
  }

  void security() {
    QStringList cur, ref;
    if (op_.auxPasswordCount > 0) structure::ListPasswords(o_, cur);
    if (rp_.auxPasswordCount > 0) structure::ListPasswords(r_, ref);
    PropertyList a, b;
    for (int i = 0; i < cur.size(); ++i) {
      if (IndexOfName(ref, cur[i]) >= 0) continue;
      a.clear();
      structure::ListSecurityProps(o_, i + 1, a);
      SetCurrentValues(a, item("SECURITY", cur[i]).rows);
    }
    for (int i = 0; i < ref.size(); ++i) {
      b.clear();
      structure::ListSecurityProps(r_, i + 1, b);
      const int d = IndexOfName(cur, ref[i]);
      if (d < 0) {
        SetReferenceRows(b, item("SECURITY", ref[i]).rows);
        continue;
      }
      a.clear();
      structure::ListSecurityProps(o_, d + 1, a);
      if (a != b) both("SECURITY", ref[i], b, a);
    }
  }

  void both(const char* group, const QString& name, const PropertyList& ref,
            const PropertyList& cur) {
    ResultNode& n = item(group, name);
    SetReferenceRows(ref, n.rows);
    SetCurrentValues(cur, n.rows);
  }

  OpenTableRef o_, r_;
  engine::CursorProps op_, rp_;
  ResultNode& result_;
  QString name_;
};

// One table of the target against its sections in a structure file.
class FileTableComparison {
 public:
  FileTableComparison(engine::TSession& session, engine::TTable& orig,
                      const structure::IniFile& ini, ResultNode& result, const QString& name)
      : o_(OpenTableRef::Of(session, orig)), ini_(ini), result_(result), name_(name) {
    engine::Check(engine::GetCursorProps(orig.Handle(), op_));
  }

  void run() {
    tableProps();
    fields();
    indexes();
    links();
    security();
    checks();
  }

 private:
  ResultNode& table() { return result_.child(name_); }
  ResultNode& item(const char* group, const QString& name) {
    return table().child(group, 2).child(name);
  }
  PropertyList section(const QString& sub) const { return ini_.ReadSectionValues(name_ + "\\" + sub); }
  QStringList values(const QString& sub) const {
    QStringList out;
    for (const QString& line : section(sub)) out << PropertyValue(line);
    return out;
  }
  void both(const char* group, const QString& name, const PropertyList& ref,
            const PropertyList& cur) {
    ResultNode& n = item(group, name);
    SetReferenceRows(ref, n.rows);
    SetCurrentValues(cur, n.rows);
  }

  void tableProps() {
    PropertyList cur;
    structure::ListTableProps(o_.cursor, cur);
    const PropertyList ref = section("TBPROPS");
    if (!DifferOverReference(ref, cur)) return;
    SetReferenceRows(ref, table().rows);
    SetCurrentValues(cur, table().rows);
  }

  void fields() {
    const QStringList names = ini_.ReadSection(name_ + "\\TBPROPS\\FLIST");
    PropertyList cur;
    for (int i = 0; i < o_.fieldNames.size(); ++i) {
      if (IndexOfName(names, o_.fieldNames[i]) >= 0) continue;
      structure::ListFieldProps(o_, i, cur);
      SetCurrentValues(cur, item("FIELDS", o_.fieldNames[i]).rows);
    }
    for (const QString& f : names) {
      const PropertyList ref = section("FIELDS\\" + f);
      const int d = IndexOfName(o_.fieldNames, f);
      if (d < 0) {
        SetReferenceRows(ref, item("FIELDS", f).rows);
        continue;
      }
      structure::ListFieldProps(o_, d, cur);
      if (DifferOverReference(ref, cur)) both("FIELDS", f, ref, cur);
    }
  }

  // An empty section is equal; else each of its lines, letter case
  // ignored, must be among the target's and at the same position.
  static bool IndexDiffers(const PropertyList& ref, const PropertyList& cur) {
    for (int i = 0; i < ref.size(); ++i) {
      if (!cur.contains(ref[i], Qt::CaseInsensitive)) return true;
      if (i >= cur.size() || ref[i].compare(cur[i], Qt::CaseInsensitive) != 0) return true;
    }
    return false;
  }

  void indexes() {
    const QStringList names = ini_.ReadSection(name_ + "\\TBPROPS\\ILIST");
    const QStringList cur = IndexNames(o_, op_.indexCount);
    PropertyList a;
    for (const QString& x : cur) {
      if (IndexOfName(names, x) >= 0) continue;
      a.clear();
      structure::ListIndexProps(o_, x, a);
      SetCurrentValues(a, item("INDEXES", x).rows);
    }
    for (const QString& x : names) {
      const PropertyList ref = section("INDEXES\\" + x);
      const int d = IndexOfName(cur, x);
      if (d < 0) {
        SetReferenceRows(ref, item("INDEXES", x).rows);
        continue;
      }
      a.clear();
      structure::ListIndexProps(o_, cur[d], a);
      if (IndexDiffers(ref, a)) both("INDEXES", x, ref, a);
    }
  }

  void links() {
    const QStringList names = values("TBPROPS\\RLIST");
    QStringList cur;
    structure::ListRefIntNames(o_, true, cur);
    PropertyList a;
    for (int i = 0; i < cur.size(); ++i) {
      if (Counterpart(cur, i, names) >= 0) continue;
      a.clear();
      structure::ListRefIntProps(o_, i + 1, a);
      SetCurrentValues(a, item("REFERENTIAL INTEGRITY", cur[i]).rows);
    }
    for (int n = 0; n < names.size(); ++n) {
      const QString& r = names[n];
      const PropertyList ref = section("RINTS\\" + r);
      const int d = Counterpart(names, n, cur);
      if (d < 0) {
        SetReferenceRows(ref, item("REFERENTIAL INTEGRITY", r).rows);
        continue;
      }
      // Links sharing a name share one section, which holds the last.
      if (!LastOfItsName(names, n)) continue;
      a.clear();
      structure::ListRefIntProps(o_, d + 1, a);
      if (DifferOverReference(ref, a)) both("REFERENTIAL INTEGRITY", r, ref, a);
    }
  }

  // Lines compared by their values, at the same positions, from `from`.
  static bool ValuesDiffer(const PropertyList& ref, const PropertyList& cur, int from) {
    for (int i = from; i < ref.size(); ++i)
      if (i >= cur.size() || PropertyValue(ref[i]) != PropertyValue(cur[i])) return true;
    return false;
  }

  void security() {
    const QStringList names = values("TBPROPS\\SLIST");
    QStringList cur;
    if (op_.auxPasswordCount > 0) structure::ListPasswords(o_, cur);
    PropertyList a;
    for (int i = 0; i < cur.size(); ++i) {
      if (IndexOfName(names, cur[i]) >= 0) continue;
      a.clear();
      structure::ListSecurityProps(o_, i + 1, a);
      SetCurrentValues(a, item("SECURITY", cur[i]).rows);
    }
    for (int n = 0; n < names.size(); ++n) {
      const PropertyList ref = section("SECURITIES\\" + QString::number(n));
      const int d = IndexOfName(cur, names[n]);
      if (d < 0) {
        SetReferenceRows(ref, item("SECURITY", names[n]).rows);
        continue;
      }
      a.clear();
      structure::ListSecurityProps(o_, d + 1, a);
      if (ValuesDiffer(ref, a, 0)) both("SECURITY", names[n], ref, a);
    }
  }

  // Checks the target alone has are not reported against a file.
  void checks() {
    const QStringList names = values("TBPROPS\\VLIST");
    QStringList cur;
    structure::ListValCheckFields(o_, cur);
    PropertyList a;
    for (const QString& f : names) {
      const PropertyList ref = section("VCHECKS\\" + f);
      const int d = IndexOfName(cur, f);
      if (d < 0) {
        SetReferenceRows(ref, item("VALIDITY CHECKS", f).rows);
        continue;
      }
      a.clear();
      structure::ListValCheckProps(o_, d + 1, a);
      if (ValuesDiffer(ref, a, 1)) both("VALIDITY CHECKS", f, ref, a);
    }
  }

  OpenTableRef o_;
  engine::CursorProps op_;
  const structure::IniFile& ini_;
  ResultNode& result_;
  QString name_;
};

QStringList ParadoxTables(engine::TSession& session, const QString& database) {
  QStringList out;
  for (const std::string& n : session.GetTableNames(database.toStdString(), "*.db", true, false))
    out << QString::fromStdString(n);
  return out;
}

}  // namespace

void SetReferenceRows(const PropertyList& list, std::vector<ResultRow>& rows) {
  for (int i = 0; i < list.size(); ++i) {
    if (static_cast<std::size_t>(i) >= rows.size()) rows.push_back({});
    rows[i].name = PropertyName(list[i]);
    rows[i].reference = ValueFor(list, rows[i].name);
  }
}

void SetCurrentValues(const PropertyList& list, std::vector<ResultRow>& rows) {
  for (int i = 0; i < list.size(); ++i) {
    if (static_cast<std::size_t>(i) >= rows.size()) rows.push_back({});
    if (rows[i].name.isEmpty()) rows[i].name = PropertyName(list[i]);
    rows[i].current = ValueFor(list, PropertyName(list[i]));
  }
}

void CompareWithAlias(engine::TSession& session, engine::TTable& orig, engine::TTable& ref,
                      const QString& target, const QString& reference, ResultNode& result) {
  result = ResultNode{"RESULT", 1, {}, {}};
  const QStringList targetTables = ParadoxTables(session, target);
  for (const QString& t : ParadoxTables(session, reference)) {
    orig.Close();
    ref.Close();
    const int d = IndexOfName(targetTables, t);
    OpenTableIn(ref, reference, t);
    if (d < 0) {
      PropertyList props;
      structure::ListTableProps(ref.Handle(), props);
      SetReferenceRows(props, result.child(t).rows);
      continue;
    }
    OpenTableIn(orig, target, targetTables[d]);
    TableComparison(session, orig, ref, result, t).run();
  }
  orig.Close();
  ref.Close();
}

void CompareWithFile(engine::TSession& session, engine::TTable& orig, const QString& target,
                     const QString& path, ResultNode& result) {
  result = ResultNode{"RESULT", 1, {}, {}};
  // Read from a file that is not a structure file, every table of the
  // target would look like one to delete.
  if (!QFileInfo(path).isFile())
    throw engine::EDBEngineError(engine::ErrNotFound,
                                 QDir::toNativeSeparators(path).toStdString() + ": no such structure file");
  const structure::IniFile ini(path);
  if (!ini.SectionExists("TABLES"))
    throw engine::EDBEngineError(engine::ErrInvalidParameter,
                                 QDir::toNativeSeparators(path).toStdString() +
                                     " is not a structure file: it has no [TABLES] section");
  QStringList fileTables;
  for (const QString& line : ini.ReadSectionValues("TABLES")) fileTables << PropertyValue(line);
  const QStringList targetTables = ParadoxTables(session, target);
  for (const QString& t : targetTables) {
    if (IndexOfName(fileTables, t) >= 0) continue;
    OpenTableIn(orig, target, t);
    PropertyList props;
    structure::ListTableProps(orig.Handle(), props);
    SetCurrentValues(props, result.child(t).rows);
  }
  for (const QString& t : fileTables) {
    orig.Close();
    const int d = IndexOfName(targetTables, t);
    if (d < 0) {
      SetReferenceRows(ini.ReadSectionValues(t + "\\TBPROPS"), result.child(t).rows);
      continue;
    }
    OpenTableIn(orig, target, targetTables[d]);
    FileTableComparison(session, orig, ini, result, t).run();
  }
  orig.Close();
}

}  // namespace compare
