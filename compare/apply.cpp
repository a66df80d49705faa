#include "compare/apply.h"

#include "engine/dataset/dberror.h"
#include "engine/dataset/session.h"
#include "engine/dataset/table.h"
#include "engine/engine.h"
#include "structure/extraction.h"
#include "structure/inifile.h"
#include "structure/valchecktext.h"

namespace compare {

using engine::Check;
using structure::OpenTableRef;

namespace {



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
      const int at = IndexOfName(o_.fieldNames, QString::fromStdString(f.name));
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
    return static_cast<std::uint16_t>(IndexOfName(fields, field) + 1);
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
    return static_cast<std::uint16_t>(IndexOfName(names, name) + 1);
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

bool IsYes(const QString& v) { return v.compare("YES", Qt::CaseInsensitive) == 0; }

std::uint16_t ParadoxTypeCode(const QString& name) {
  static const char* const kNames[] = {"ALPHA", "NUMBER", "MONEY", "DATE", "SHORT", "MEMO",
                                       "BINARY", "FORMATTED MEMO", "OLE", "GRAPHIC", "LONGINT",
                                       "TIME", "TIMESTAMP", "LOGICAL", "AUTOINC", "BYTES", "BCD"};
  for (std::uint16_t i = 0; i < 17; ++i)
    if (name == kNames[i]) return static_cast<std::uint16_t>(engine::pxAlpha + i);
  return 0;
}

// The sections of one table in a structure file, read by entry name.
class FileTable {
 public:
  FileTable(const structure::IniFile& ini, const QString& t) : ini_(ini), t_(t) {
    flist_ = ini.ReadSection(t + "\\TBPROPS\\FLIST");
  }
  QString value(const QString& section, const QString& key) const {
    QString v = ini_.ReadString(t_ + "\\" + section, key);
    return v == "(NONE)" ? QString() : v;
  }
  const QStringList& fieldNames() const { return flist_; }
  std::uint16_t fieldNumber(const QString& name) const {
    return static_cast<std::uint16_t>(IndexOfName(flist_, name) + 1);
  }
  int number(const QString& section, const QString& key) const {
    bool ok = false;
    const QString v = value(section, key);
    const int n = v.toInt(&ok);
    if (!ok && !v.isEmpty())
      throw engine::EDBEngineError(engine::ErrInvalidValue, (t_ + "\\" + section + ": " + key +
                                                             " \"" + v + "\" is not a number")
                                                                .toStdString());
    return n;
  }

  engine::FieldDesc field(const QString& f) const {
    engine::FieldDesc d;
    d.name = f.toStdString();
    d.type = ParadoxTypeCode(value("FIELDS\\" + f, "Type"));
    d.units1 = static_cast<std::int16_t>(number("FIELDS\\" + f, "Size"));
    d.units2 = static_cast<std::int16_t>(number("FIELDS\\" + f, "Scale"));
    if (d.type == engine::pxBcd) d.units1 = 32;
    return d;
  }

  engine::IndexDesc index(const QString& x) const {
    const QString s = "INDEXES\\" + x;
    engine::IndexDesc d;
    d.name = x == "<Primary>" ? std::string() : x.toStdString();
    d.primary = IsYes(value(s, "PRIMARY"));
    d.unique = IsYes(value(s, "UNIQUE"));
    d.maintained = IsYes(value(s, "MAINTAINED"));
    d.descending = IsYes(value(s, "DESCENDING"));
    d.caseInsensitive = !IsYes(value(s, "CASE SENSITIVE"));
    d.fieldsInKey = static_cast<std::uint16_t>(std::min(number(s, "FIELDS IN KEY"), engine::kMaxKeyFields));
    for (int k = 0; k < d.fieldsInKey; ++k) {
      d.keyFields[k] = fieldNumber(value(s, "FIELD(" + QString::number(k + 1) + ")"));
      d.fieldDescending[k] = d.descending;
    }
    return d;
  }

  // False (with the check still made of what converted) when a value does not convert.
  bool check(const QString& f, engine::ValCheckDesc& c) const {
    const QString s = "VCHECKS\\" + f;
    c.fieldNumber = static_cast<std::uint16_t>(number(s, "FILED NUMBER"));
    return structure::ParseValCheck(ParadoxTypeCode(value("FIELDS\\" + f, "Type")), c,
                                    IsYes(value(s, "REQUIRED")), number("FIELDS\\" + f, "Scale"),
                                    value(s, "PICTURE"), value(s, "MAX. VALUE"),
                                    value(s, "MIN. VALUE"), value(s, "DEF. VALUE"));
  }

  // A link; the other table's field numbers from `otherFields`.
  engine::RefIntDesc link(const QString& r, const QStringList& otherFields) const {
    const QString s = "RINTS\\" + r;
    const PropertyListLines lines = ini_.ReadSectionValues(t_ + "\\" + s);
    engine::RefIntDesc l;
    l.name = value(s, "Name").toStdString();
    l.kind = value(s, "Type") == "DEPENDENT" ? engine::riDependent : engine::riMaster;
    l.otherTable = lines.size() > 2 ? structure::PropertyValue(lines[2]).toStdString() : std::string();
    l.updateRule = value(s, "Modify Mode") == "CASCADE" ? engine::riCascade : engine::riRestrict;
    l.deleteRule = value(s, "Delete Mode") == "RESTRICT" ? engine::riRestrict : engine::riCascade;
    l.fieldCount = static_cast<std::uint16_t>(std::min(number(s, "Fields in the linking key"), engine::kMaxKeyFields));
    for (int k = 0; k < l.fieldCount; ++k) {
      const QStringList pair = value(s, "Field(" + QString::number(k + 1) + ")").split('>');
      l.thisFields[k] = fieldNumber(pair.value(0));
      l.otherFields[k] = static_cast<std::uint16_t>(IndexOfName(otherFields, pair.value(1)) + 1);
    }
    return l;
  }
  QString otherTable(const QString& r) const {
    const PropertyListLines lines = ini_.ReadSectionValues(t_ + "\\RINTS\\" + r);
    return lines.size() > 2 ? structure::PropertyValue(lines[2]) : QString();
  }

 private:
  using PropertyListLines = QStringList;
  const structure::IniFile& ini_;
  QString t_;
  QStringList flist_;
};

QString BlockSizeParam(const QString& kb) {
  const QString text = BlockSizeText(kb.toInt());
  return text.isEmpty() ? kb : text;
}

// The outcome of one table's operation, reported as the options say.
void Report(engine::Result r, const QString& name, const QString& what, const QString& failed,
            ResultNode& node, const ApplyOptions& options, ApplyDialogue& dialogue,
            QStringList& errors, std::vector<ResultNode>& kept) {
  if (r) {
    if (options.messages == 0)
      dialogue.inform(name + ": " + failed +
                      (failed == "deleting failed." ? QString() : "\rError code: " + QString::number(r)));
    if (options.collectErrors)
      errors << node.text + "=" + QString::fromStdString(engine::LastErrorMessage());
    node.image = 3;
    kept.push_back(node);
  } else if (options.messages == 0) {
    dialogue.inform(name + ": " + what);
  }
}

}  // namespace

void ApplyFromAlias(engine::TSession& session, engine::TTable& orig, engine::TTable& ref,
                    const QString& target, const QString& reference, ResultNode& tree,
                    const ApplyOptions& options, ApplyDialogue& dialogue, QStringList& errors) {
  std::vector<ResultNode> kept;
  for (ResultNode& node : tree.children) {
    const QString t = node.text;
    dialogue.starting(t, int(&node - tree.children.data()), int(tree.children.size()));
    const bool create = !node.rows.empty() && !node.rows[0].current;
    engine::TableDesc d;
    try {
      if (!create) OpenTableIn(orig, target, t);
      OpenTableIn(ref, reference, t);
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

namespace {

class FilePreparation {
 public:
  FilePreparation(engine::TSession& session, engine::TTable& orig, engine::TTable& other,
                  const QString& target, const FileTable& file, const QString& table,
                  ApplyDialogue& dialogue)
      : session_(session), other_(other), target_(target), o_(OpenTableRef::Of(session, orig)),
        file_(file), table_(table), dialogue_(dialogue) {}

  void group(const ResultNode& g, engine::TableDesc& d) {
    if (g.text == "FIELDS") fields(d);
    else if (g.text == "INDEXES") indexes(g, d);
    else if (g.text == "VALIDITY CHECKS") checks(g, d);
    else if (g.text == "REFERENTIAL INTEGRITY") links(g, d);
  }

 private:
  void fields(engine::TableDesc& d) {
    for (const QString& f : file_.fieldNames()) {
      engine::FieldDesc fd = file_.field(f);
      const int u = IndexOfName(o_.fieldNames, f);
      std::int32_t op;
      if (u < 0) {
        const int k = dialogue_.askFieldMapping(o_.fieldNames, table_, f);
        op = k < 0 ? engine::opAdd : engine::opModify;
        fd.number = k < 0 ? 0 : static_cast<std::uint16_t>(k + 1);
      } else {
        structure::PropertyList now;
        structure::ListFieldProps(o_, u, now);
        auto line = [&](const QString& key) {
          for (const QString& l : now)
            if (structure::PropertyName(l) == key) return structure::PropertyValue(l);
          return QString();
        };
        const QString s = "FIELDS\\" + f;
        const bool differs = file_.value(s, "Type") != line("Type") ||
                             file_.value(s, "Size") != line("Size") ||
                             file_.value(s, "Scale") != line("Scale");
        op = differs ? engine::opModify
                     : file_.value(s, "Order") != line("Order") ? engine::opCopy : engine::opNone;
        fd.number = static_cast<std::uint16_t>(u + 1);
      }
      d.fields.push_back(fd);
      d.fieldOps.push_back(op);
    }
  }

  void indexes(const ResultNode& g, engine::TableDesc& d) {
    for (const ResultNode& x : g.children) {
      if (!OnlyReference(x)) {
        engine::IndexDesc b;
        structure::ReadIndexDesc(o_, x.text, b);
        d.indexes.push_back(b);
        d.indexOps.push_back(engine::opDrop);
      }
      if (!OnlyTarget(x)) {
        d.indexes.push_back(file_.index(x.text));
        d.indexOps.push_back(engine::opAdd);
      }
    }
  }

  void checks(const ResultNode& g, engine::TableDesc& d) {
    for (const ResultNode& x : g.children) {
      engine::ValCheckDesc c;
      if (!file_.check(x.text, c)) dialogue_.inform("111111");
      d.checks.push_back(c);
      d.checkOps.push_back(OnlyReference(x) ? engine::opAdd : engine::opModify);
    }
  }

  QStringList fieldsOf(const QString& table) {
    OpenTableIn(other_, target_, table);
    const QStringList names = OpenTableRef::Of(session_, other_).fieldNames;
    other_.Close();
    return names;
  }

  void links(const ResultNode& g, engine::TableDesc& d) {
    for (const ResultNode& x : g.children) {
      if (OnlyTarget(x)) {
        QStringList names;
        structure::ListRefIntNames(o_, true, names);
        engine::RefIntDesc l;
        Check(engine::GetRefIntDesc(o_.cursor, static_cast<std::uint16_t>(IndexOfName(names, x.text) + 1), l));
        if (l.kind == engine::riMaster) continue;  // links are made on the child
        d.refInts.push_back(l);
        d.refIntOps.push_back(engine::opDrop);
        continue;
      }
      engine::RefIntDesc l = file_.link(x.text, fieldsOf(file_.otherTable(x.text)));
      if (l.kind == engine::riMaster) continue;
      l.otherTable = FileNameOnly(l.otherTable);
      d.refInts.push_back(l);
      d.refIntOps.push_back(OnlyReference(x) ? engine::opAdd : engine::opModify);
    }
  }

  engine::TSession& session_;
  engine::TTable& other_;
  QString target_;
  OpenTableRef o_;
  const FileTable& file_;
  QString table_;
  ApplyDialogue& dialogue_;
};

void DescribeFromFile(const FileTable& file, const structure::IniFile& ini, const QString& t,
                      engine::TableDesc& d, ApplyDialogue& dialogue) {
  for (const QString& f : file.fieldNames()) d.fields.push_back(file.field(f));
  for (const QString& x : ini.ReadSection(t + "\\TBPROPS\\ILIST")) d.indexes.push_back(file.index(x));
  for (const QString& line : ini.ReadSectionValues(t + "\\TBPROPS\\VLIST")) {
    engine::ValCheckDesc c;
    if (!file.check(structure::PropertyValue(line), c)) dialogue.inform("111111");
    d.checks.push_back(c);
  }
}

}  // namespace

void ApplyFromFile(engine::TSession& session, engine::TTable& orig, engine::TTable& other,
                   const QString& target, const QString& path, ResultNode& tree,
                   const ApplyOptions& options, ApplyDialogue& dialogue, QStringList& errors) {
  const structure::IniFile ini(path);
  Database db(target);
  std::string directory;
  Check(engine::GetDatabaseDirectory(db.get(), directory));
  QStringList tables;
  structure::ListParadoxTableFiles(db.get(), tables);
  std::vector<ResultNode> kept;
  for (std::size_t i = 0; i < tree.children.size(); ++i) {
    ResultNode& node = tree.children[i];
    const QString t = node.text;
    dialogue.starting(t, int(i), int(tree.children.size()));
    const QString fullName = QString::fromStdString(directory) + "/" + t;
    const bool create = IndexOfName(tables, t) < 0;
    const bool remove = !node.rows.empty() && !node.rows[0].reference;
    engine::TableDesc d;
    try {
      engine::CursorProps props;
      if (!create) {
        OpenTableIn(orig, target, t);
        Check(engine::GetCursorProps(orig.Handle(), props));
      }
      if (!remove) {
        const FileTable file(ini, t);
        const QStringList tb = ini.ReadSectionValues(t + "\\TBPROPS");
        if (tb.size() > 4 && IsYes(structure::PropertyValue(tb[4])) && (create || !props.isProtected)) {
          const QString pw = dialogue.askPassword("Specify master password for " + t);
          if (!pw.isEmpty()) engine::AddPassword(pw.toStdString());
        }
        if (!node.rows.empty() && tb.size() >= 3) {
          d.optionalParams.push_back({"LEVEL", structure::PropertyValue(tb[0]).toStdString()});
          d.optionalParams.push_back({"LANGDRIVER", structure::PropertyValue(tb[1]).toStdString()});
          d.optionalParams.push_back({"BLOCK SIZE", BlockSizeParam(structure::PropertyValue(tb[2])).toStdString()});
        }
        if (create) {
          DescribeFromFile(file, ini, t, d, dialogue);
        } else {
          FilePreparation prepare(session, orig, other, target, file, t, dialogue);
          for (const ResultNode& g : node.children) prepare.group(g, d);
        }
      }
    } catch (...) {
      orig.Close();
      other.Close();
      for (std::size_t j = i; j < tree.children.size(); ++j) kept.push_back(tree.children[j]);
      tree.children = std::move(kept);
      throw;
    }
    orig.Close();
    other.Close();
    d.tableName = t.toStdString();
    d.driverType = "PARADOX";
    if (remove) {
      if (options.deleteTables == 0 ||
          (options.deleteTables == 1 && !dialogue.confirm("Delete Table " + t + "?")))
        continue;
      if (options.dryRun) {
        dialogue.inform(t + ": would be deleted.");
        kept.push_back(node);
        continue;
      }
      Report(engine::DeleteTable(db.get(), t.toStdString(), ""), fullName, "has been deleted.",
             "deleting failed.", node, options, dialogue, errors, kept);
    } else if (create) {
      if (options.dryRun) {
        dialogue.inform(t + ": would be created.");
        kept.push_back(node);
        continue;
      }
      Report(engine::CreateTable(db.get(), true, d), fullName, "has been created.",
             "create failed.", node, options, dialogue, errors, kept);
    } else {
      if (options.dryRun) {
        dialogue.inform(DryRun(db.get(), d, t));
        kept.push_back(node);
        continue;
      }
      Report(engine::RestructureTable(db.get(), d), fullName, "has been rebuilded.",
             "rebuild failed.", node, options, dialogue, errors, kept);
    }
  }
  tree.children = std::move(kept);
}

}  // namespace compare
