#include "compare/apply.h"

#include "engine/dataset/dberror.h"
#include "engine/dataset/session.h"
#include "engine/dataset/table.h"
#include "engine/engine.h"
#include "structure/extraction.h"

namespace compare {

using engine::Check;
using structure::OpenTableRef;

namespace {

void Open(engine::TTable& table, const QString& database, const QString& name) {
  table.Close();
  table.SetIndexName("");
  table.SetDatabaseName(database.toStdString());
  table.SetTableName(name.toStdString());
  table.Open();
}

int IndexOf(const QStringList& names, const QString& name) {
  for (int i = 0; i < names.size(); ++i)
    if (names[i].compare(name, Qt::CaseInsensitive) == 0) return i;
  return -1;
}

std::string FileNameOnly(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Which sides an item of the tree is on, from its first row.
bool OnlyTarget(const ResultNode& n) { return !n.rows.empty() && !n.rows[0].reference; }
bool OnlyReference(const ResultNode& n) { return !n.rows.empty() && !n.rows[0].current; }

// The kilobytes of a block size as the "BLOCK SIZE" parameter; "" for a size
// the parameter has no text for (the table keeps its own).
QString BlockSizeText(int kb) {
  switch (kb) {
    case 1: return "1024";
    case 2: return "2048";
    case 4: return "4096";
    case 16: return "16384";
    case 32: return "32768";
    default: return {};
  }
}

void TableParams(engine::hDBICur reference, engine::TableDesc& d) {
  engine::CursorProps p;
  Check(engine::GetCursorProps(reference, p));
  d.optionalParams.push_back({"LANGDRIVER", p.languageDriver});
  const QString block = BlockSizeText(p.blockSize);
  if (!block.isEmpty()) d.optionalParams.push_back({"BLOCK SIZE", block.toStdString()});
  d.optionalParams.push_back({"LEVEL", std::to_string(p.tableLevel)});
  d.optionalParams.push_back({"STRICTINTEGRTY", p.strictRefInt ? "TRUE" : "FALSE"});
}

// A new table: everything the reference table has, its links to parents
// naming them by file name.
void DescribeWhole(engine::hDBICur r, engine::TableDesc& d) {
  engine::CursorProps p;
  Check(engine::GetCursorProps(r, p));
  Check(engine::GetFieldDescs(r, d.fields));
  Check(engine::GetIndexDescs(r, d.indexes));
  for (std::uint16_t i = 1; i <= p.valCheckCount; ++i) {
    engine::ValCheckDesc c;
    Check(engine::GetValCheckDesc(r, i, c));
    d.checks.push_back(c);
  }
  for (std::uint16_t i = 1; i <= p.refIntCount; ++i) {
    engine::RefIntDesc l;
    Check(engine::GetRefIntDesc(r, i, l));
    if (l.kind != engine::riDependent) continue;
    l.otherTable = FileNameOnly(l.otherTable);
    d.refInts.push_back(l);
  }
}

class Preparation {
 public:
  Preparation(engine::TSession& session, engine::TTable& orig, engine::TTable& ref,
              const QString& table, ApplyDialogue& dialogue)
      : o_(OpenTableRef::Of(session, orig)), r_(OpenTableRef::Of(session, ref)), table_(table),
        dialogue_(dialogue) {}

  void group(const ResultNode& g, engine::TableDesc& d) {
    if (g.text == "FIELDS") fields(d);
    else if (g.text == "INDEXES") indexes(g, d);
    else if (g.text == "VALIDITY CHECKS") checks(g, d);
    else if (g.text == "REFERENTIAL INTEGRITY") links(g, d);
    // Password differences are not applied.
  }

 private:
  void fields(engine::TableDesc& d) {
    std::vector<engine::FieldDesc> of, rf;
    Check(engine::GetFieldDescs(o_.cursor, of));
    Check(engine::GetFieldDescs(r_.cursor, rf));
    for (std::size_t i = 0; i < rf.size(); ++i) {
      engine::FieldDesc f = rf[i];
      const int at = IndexOf(o_.fieldNames, QString::fromStdString(f.name));
      std::int32_t op;
      if (at < 0) {
        const int k = dialogue_.askFieldMapping(o_.fieldNames, table_, QString::fromStdString(f.name));
        op = k < 0 ? engine::opAdd : engine::opModify;
        f.number = k < 0 ? 0 : static_cast<std::uint16_t>(k + 1);
      } else {
        const engine::FieldDesc& t = of[at];
        const bool differs = t.type != f.type || t.subtype != f.subtype || t.units1 != f.units1 ||
                             t.units2 != f.units2;
        if (!differs) f = t;
        f.number = static_cast<std::uint16_t>(at + 1);
        op = differs ? engine::opModify : static_cast<std::size_t>(at) == i ? engine::opNone
                                                                           : engine::opCopy;
      }
      d.fields.push_back(f);
      d.fieldOps.push_back(op);
    }
  }

  void indexes(const ResultNode& g, engine::TableDesc& d) {
    for (const ResultNode& x : g.children) {
      engine::IndexDesc a, b;
      if (!OnlyTarget(x)) {
        structure::ReadIndexDesc(r_, x.text, a);
        d.indexes.push_back(a);
        d.indexOps.push_back(engine::opAdd);
      }
      if (!OnlyReference(x)) {
        structure::ReadIndexDesc(o_, x.text, b);
        d.indexes.push_back(b);
        d.indexOps.push_back(engine::opDrop);
      }
    }
  }

  static std::uint16_t NumberOf(const OpenTableRef& t, const QString& field) {
    QStringList fields;
    structure::ListValCheckFields(t, fields);
    return static_cast<std::uint16_t>(IndexOf(fields, field) + 1);
  }

  void checks(const ResultNode& g, engine::TableDesc& d) {
    for (const ResultNode& x : g.children) {
      engine::ValCheckDesc c;
      const bool target = OnlyTarget(x);
      const OpenTableRef& side = target ? o_ : r_;
      Check(engine::GetValCheckDesc(side.cursor, NumberOf(side, x.text), c));
      d.checks.push_back(c);
      d.checkOps.push_back(target ? engine::opDrop : OnlyReference(x) ? engine::opAdd : engine::opModify);
    }
  }

  static std::uint16_t LinkNumberOf(const OpenTableRef& t, const QString& name) {
    QStringList names;
    structure::ListRefIntNames(t, true, names);
    return static_cast<std::uint16_t>(IndexOf(names, name) + 1);
  }

  void links(const ResultNode& g, engine::TableDesc& d) {
    for (const ResultNode& x : g.children) {
      const bool target = OnlyTarget(x);
      const OpenTableRef& side = target ? o_ : r_;
      engine::RefIntDesc l;
      Check(engine::GetRefIntDesc(side.cursor, LinkNumberOf(side, x.text), l));
      if (l.kind == engine::riMaster) continue;  // links are made on the child
      if (!target) l.otherTable = FileNameOnly(l.otherTable);
      d.refInts.push_back(l);
      d.refIntOps.push_back(target ? engine::opDrop : OnlyReference(x) ? engine::opAdd : engine::opModify);
    }
  }

  OpenTableRef o_, r_;
  QString table_;
  ApplyDialogue& dialogue_;
};

// A database handle closed on every path.
class Database {
 public:
  explicit Database(const QString& name) { Check(engine::OpenDatabase(name.toStdString(), db_)); }
  ~Database() {
    if (db_) engine::CloseDatabase(db_);
  }
  engine::hDBIDb get() const { return db_; }

 private:
  engine::hDBIDb db_ = 0;
};

// What a restructure of the table would do, in one line.
QString DryRun(engine::hDBIDb db, const engine::TableDesc& d, const QString& t) {
  engine::RestructureReport rep;
  if (engine::Result r = engine::RestructureTable(db, d, true, &rep))
    return t + ": would fail: " + QString::fromStdString(engine::LastErrorMessage()) +
           " (error code " + QString::number(r) + ")";
  QString line = t + ": would be rebuilt, " + QString::number(rep.kept) + " of " +
                 QString::number(rep.records) + " records kept";
  if (rep.problems)
    line += ", " + QString::number(rep.problems) + " to ErrorTB.db (" +
            QString::fromStdString(rep.problemSamples.front()) + ")";
  if (rep.shortened) line += ", " + QString::number(rep.shortened) + " values shortened";
  for (const std::string& f : rep.droppedFields) line += ", field " + QString::fromStdString(f) + " dropped";
  for (const std::string& l : rep.lost) line += ", " + QString::fromStdString(l) + " lost";
  return line + ".";
}

}  // namespace

void ApplyFromAlias(engine::TSession& session, engine::TTable& orig, engine::TTable& ref,
                    const QString& target, const QString& reference, ResultNode& tree,
                    const ApplyOptions& options, ApplyDialogue& dialogue, QStringList& errors) {
  std::vector<ResultNode> kept;
  for (ResultNode& node : tree.children) {
    const QString t = node.text;
    const bool create = !node.rows.empty() && !node.rows[0].current;
    engine::TableDesc d;
    try {
      if (!create) Open(orig, target, t);
      Open(ref, reference, t);
      if (create) {
        DescribeWhole(ref.Handle(), d);
      } else {
        Preparation prepare(session, orig, ref, t, dialogue);
        for (const ResultNode& g : node.children) prepare.group(g, d);
      }
      if (!node.rows.empty()) TableParams(ref.Handle(), d);
    } catch (...) {
      orig.Close();
      ref.Close();
      kept.push_back(node);  // this table and those after it stay
      for (ResultNode* n = &node + 1; n != tree.children.data() + tree.children.size(); ++n)
        kept.push_back(*n);
      tree.children = std::move(kept);
      throw;
    }
    orig.Close();
    ref.Close();
    d.tableName = t.toStdString();
    d.driverType = "PARADOX";
    d.problemsTable = "ErrorTB.db";
    if (create && (options.createTables == 0 ||
                   (options.createTables == 1 && !dialogue.confirm("Create table " + t + " ?"))))
      continue;  // skipped: no message, the node goes
    Database db(target);
    if (options.dryRun) {
      dialogue.inform(create ? t + ": would be created." : DryRun(db.get(), d, t));
      kept.push_back(node);
      continue;
    }
    const engine::Result r =
        create ? engine::CreateTable(db.get(), true, d) : engine::RestructureTable(db.get(), d);
    if (r) {
      if (options.messages == 0)
        dialogue.inform(t + (create ? ": create failed." : ": rebuild failed.") + "\r" +
                        "Error code: " + QString::number(r));
      if (options.collectErrors)
        errors << t + "=" + QString::fromStdString(engine::LastErrorMessage());
      node.image = 3;
      kept.push_back(node);
    } else if (options.messages == 0) {
      dialogue.inform(t + (create ? ": has been created." : ": has been rebuilded."));
    }
  }
  tree.children = std::move(kept);
}

}  // namespace compare
