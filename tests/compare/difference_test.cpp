// The differences between a target database and a reference one, as the
// tree the comparison window shows and quarry compare prints.
#include "compare/difference.h"
#include "compare/apply.h"

#include <gtest/gtest.h>

#include <QLocale>
#include <filesystem>
#include <fstream>

#include "engine/config/config.h"
#include "engine/dataset/dberror.h"
#include "engine/dataset/session.h"
#include "engine/dataset/table.h"
#include "engine/engine.h"
#include "engine/paradox/pxcreate.h"
#include "structure/structurefile.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
using compare::ResultNode;
using compare::ResultRow;
using ptables::Desc;
using ptables::Field;

namespace {

namespace fs = std::filesystem;

class Difference : public testing::Test {
 protected:
  void SetUp() override {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    SetConfigFile(dir / "engine.cfg");
    ASSERT_EQ(ReloadConfig(), Ok) << LastErrorMessage();
    fs::create_directories(dir / "tgt");
    fs::create_directories(dir / "ref");
  }

  void Make(const std::string& side, TableDesc d) {
    d.tableName = dir / side + "/" + d.tableName;
    ASSERT_EQ(paradox::CreateParadoxTable(d, false), Ok) << LastErrorMessage();
  }
  void Both(const TableDesc& d) {
    Make("tgt", d);
    Make("ref", d);
  }

  ResultNode Run() {
    TSession& session = Session();
    TTable orig(session), ref(session);
    ResultNode result;
    compare::CompareWithAlias(session, orig, ref, QString::fromStdString(dir / "tgt"),
                              QString::fromStdString(dir / "ref"), result);
    return result;
  }

  // "name: current -> reference" per row.
  static std::vector<std::string> Rows(const ResultNode& n) {
    std::vector<std::string> out;
    for (const ResultRow& r : n.rows)
      out.push_back(r.name.toStdString() + ": " +
                    (r.current ? r.current->toStdString() : "(none)") + " -> " +
                    (r.reference ? r.reference->toStdString() : "(none)"));
    return out;
  }
  static std::vector<std::string> Texts(const ResultNode& n) {
    std::vector<std::string> out;
    for (const ResultNode& c : n.children) out.push_back(c.text.toStdString());
    return out;
  }

  TempDir dir;
};

IndexDesc Secondary(const std::string& name, std::uint16_t field) {
  IndexDesc ix;
  ix.name = name;
  ix.fieldsInKey = 1;
  ix.keyFields[0] = field;
  ix.maintained = 1;
  return ix;
}

}  // namespace

TEST(ResultRows, ReferenceRowsByNameCurrentValuesByPosition) {
  std::vector<ResultRow> rows;
  compare::SetReferenceRows({"Name=A", "Order=1", "Size=20"}, rows);
  compare::SetCurrentValues({"Name=A", "Size=10", "Order=2", "Extra=x"}, rows);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[1].name, "Order");  // named by the reference
  EXPECT_EQ(*rows[1].current, "10");  // the target's second line lands here
  EXPECT_EQ(*rows[1].reference, "1");
  EXPECT_EQ(rows[3].name, "Extra");
  EXPECT_FALSE(rows[3].reference.has_value());
  std::vector<ResultRow> alone;
  compare::SetCurrentValues({"Name=B"}, alone);
  EXPECT_FALSE(alone[0].reference.has_value());
}

TEST_F(Difference, EqualDatabasesGiveAnEmptyResult) {
  Both(Desc("A.DB", {Field("Id", pxLong), Field("Name", pxAlpha, 20)}, 1));
  const ResultNode r = Run();
  EXPECT_EQ(r.text, "RESULT");
  EXPECT_TRUE(r.children.empty());
}

TEST_F(Difference, TablesFieldsAndIndexesAsTheTreeShowsThem) {
  TableDesc ref = Desc("A.DB", {Field("Id", pxLong), Field("Name", pxAlpha, 20), Field("Born", pxDate)}, 1);
  ref.indexes.push_back(Secondary("ByName", 2));
  Make("ref", ref);
  TableDesc tgt = Desc("A.DB", {Field("Id", pxLong), Field("Born", pxDate), Field("Name", pxAlpha, 20)}, 1);
  tgt.indexes.push_back(Secondary("NameIdx", 3));
  Make("tgt", tgt);
  Make("ref", Desc("NEW.DB", {Field("X", pxAlpha, 5)}));
  Make("tgt", Desc("EXTRA.DB", {Field("X", pxAlpha, 5)}));  // the reference lacks it: not listed
  const ResultNode r = Run();
  EXPECT_EQ(Texts(r), (std::vector<std::string>{"A.DB", "NEW.DB"}));
  const ResultNode& a = r.children[0];
  EXPECT_TRUE(a.rows.empty());  // the tables' properties agree
  EXPECT_EQ(Texts(a), (std::vector<std::string>{"FIELDS", "INDEXES"}));
  const ResultNode& fields = *a.find("FIELDS");
  EXPECT_EQ(fields.image, 2);
  EXPECT_EQ(Texts(fields), (std::vector<std::string>{"Name", "Born"}));  // moved fields differ
  EXPECT_EQ(Rows(*fields.find("Born"))[1], "Order: 2 -> 3");
  // A renamed index is listed twice, once for each side.
  const ResultNode& ix = *a.find("INDEXES");
  EXPECT_EQ(Texts(ix), (std::vector<std::string>{"NameIdx", "ByName"}));
  EXPECT_FALSE(ix.children[0].rows[0].reference.has_value());
  EXPECT_FALSE(ix.children[1].rows[0].current.has_value());
  // A table of the reference alone: its properties with no current values.
  EXPECT_EQ(Rows(r.children[1])[0], "TABLE LEVEL: (none) -> 7");
}

TEST_F(Difference, TablePropertiesChecksAndPasswords) {
  TableDesc ref = Desc("P.DB", {Field("Id", pxLong), Field("Qty", pxShort)}, 1);
  ValCheckDesc qty;
  qty.fieldNumber = 2;
  qty.required = 1;
  ref.checks.push_back(qty);
  ref.isProtected = 1;
  ref.password = "secret";
  SecurityDesc clerk;
  clerk.password = "clerk";
  clerk.tableRights = rightsReadOnly;
  ref.passwords.push_back(clerk);
  Make("ref", ref);
  TableDesc tgt = Desc("P.DB", {Field("Id", pxLong), Field("Qty", pxShort)}, 1);
  tgt.optionalParams.push_back({"BLOCK SIZE", "4096"});
  Make("tgt", tgt);
  AddPassword("secret");
  const ResultNode r = Run();
  RemoveAllPasswords();
  ASSERT_EQ(Texts(r), std::vector<std::string>{"P.DB"});
  const ResultNode& p = r.children[0];
  const auto rows = Rows(p);
  EXPECT_NE(std::find(rows.begin(), rows.end(), "BLOCK SIZE: 4 -> 2"), rows.end());
  EXPECT_NE(std::find(rows.begin(), rows.end(), "PROTECTED: No -> Yes"), rows.end());
  EXPECT_EQ(Texts(p), (std::vector<std::string>{"VALIDITY CHECKS", "SECURITY"}));
  EXPECT_EQ(Texts(p.children[0]), std::vector<std::string>{"Qty"});
  EXPECT_EQ(Texts(p.children[1]), std::vector<std::string>{"clerk"});
}

// A database compared with the structure file saved from it, or with
// itself, has no difference: real tables with checks, lookups, links (two
// of one name among them) and indexes.
TEST_F(Difference, RealDatabasesMatchTheirOwnStructureFiles) {
  const std::string corpus = CorpusDir("paradox");
  if (corpus.empty()) GTEST_SKIP() << "no corpus";
  for (const char* sub : {"db", "fields", "joins"}) {
    SCOPED_TRACE(sub);
    const std::string copy = dir / sub;
    fs::copy(corpus + "/" + sub, copy, fs::copy_options::recursive);
    TSession& session = Session();
    TTable orig(session), ref(session);
    const QString ini = QString::fromStdString(copy + ".ini");
    structure::SaveStructureToFile(session, orig, QString::fromStdString(copy), ini, {});
    ResultNode result;
    compare::CompareWithFile(session, orig, QString::fromStdString(copy), ini, result);
    EXPECT_EQ(Texts(result), std::vector<std::string>{});
    compare::CompareWithAlias(session, orig, ref, QString::fromStdString(copy),
                              QString::fromStdString(copy), result);
    EXPECT_EQ(Texts(result), std::vector<std::string>{});
  }
}

TEST_F(Difference, AgainstAFileTheTargetsOwnTablesAreListedToo) {
  Make("ref", Desc("A.DB", {Field("Id", pxLong), Field("Name", pxAlpha, 20)}, 1));
  Make("tgt", Desc("A.DB", {Field("Id", pxLong), Field("Name", pxAlpha, 12)}, 1));
  Make("tgt", Desc("MINE.DB", {Field("X", pxAlpha, 5)}));
  TSession& session = Session();
  TTable orig(session);
  const QString ini = QString::fromStdString(dir / "ref.ini");
  structure::SaveStructureToFile(session, orig, QString::fromStdString(dir / "ref"), ini, {});
  ResultNode r;
  compare::CompareWithFile(session, orig, QString::fromStdString(dir / "tgt"), ini, r);
  EXPECT_EQ(Texts(r), (std::vector<std::string>{"MINE.DB", "A.DB"}));
  EXPECT_EQ(Rows(r.children[0])[0], "TABLE LEVEL: 7 -> (none)");
  EXPECT_EQ(Rows(*r.children[1].find("FIELDS")->find("Name")).back(), "Size: 12 -> 20");
}

namespace {

// Answers from a script, and records what was said.
struct ScriptedDialogue : compare::ApplyDialogue {
  std::vector<int> mappings;
  std::vector<bool> confirmations;
  std::vector<std::string> said;
  int askFieldMapping(const QStringList&, const QString& table, const QString& field) override {
    said.push_back("map " + table.toStdString() + "." + field.toStdString());
    int k = mappings.front();
    mappings.erase(mappings.begin());
    return k;
  }
  bool confirm(const QString& q) override {
    said.push_back(q.toStdString());
    bool b = confirmations.front();
    confirmations.erase(confirmations.begin());
    return b;
  }
  void inform(const QString& m) override { said.push_back(m.toStdString()); }
};

}  // namespace

TEST_F(Difference, ApplyingAsksAsToldAndKeepsWhatFailed) {
  Make("ref", Desc("A.DB", {Field("Id", pxLong), Field("Name", pxAlpha, 20)}, 1));
  Make("ref", Desc("B.DB", {Field("Id", pxLong), Field("Code", pxLong)}, 1));
  Make("ref", Desc("NEW.DB", {Field("X", pxAlpha, 5)}));
  Make("tgt", Desc("A.DB", {Field("Id", pxLong), Field("Title", pxAlpha, 20)}, 1));
  Make("tgt", Desc("B.DB", {Field("Id", pxLong), Field("Code", pxAlpha, 5)}, 1));
  {
    hDBICur c = 0;
    ASSERT_EQ(OpenTablePath(dir / "tgt/B.DB", OpenMode::ReadWrite, c), Ok);
    ASSERT_EQ(InsertRecord(c, {std::int64_t{1}, std::string("x1")}), Ok);
    CloseCursor(c);
    // Another open of B.DB keeps it from being restructured.
  }
  hDBICur holder = 0;
  ASSERT_EQ(OpenTablePath(dir / "tgt/B.DB", OpenMode::ReadOnly, holder), Ok);
  TSession& session = Session();
  TTable orig(session), ref(session);
  ResultNode tree = Run();
  ASSERT_EQ(Texts(tree), (std::vector<std::string>{"A.DB", "B.DB", "NEW.DB"}));
  ScriptedDialogue d;
  d.mappings = {1};           // Name takes Title's data
  d.confirmations = {false};  // "Create table NEW.DB ?" No
  compare::ApplyOptions options;
  options.createTables = 1;
  QStringList errors;
  compare::ApplyFromAlias(session, orig, ref, QString::fromStdString(dir / "tgt"),
                          QString::fromStdString(dir / "ref"), tree, options, d, errors);
  CloseCursor(holder);
  EXPECT_EQ(d.said, (std::vector<std::string>{"map A.DB.Name", "A.DB: has been rebuilded.",
                                               "B.DB: rebuild failed.\rError code: " +
                                                   std::to_string(ErrTableInUse),
                                               "Create table NEW.DB ?"}));
  ASSERT_EQ(Texts(tree), std::vector<std::string>{"B.DB"});
  EXPECT_EQ(tree.children[0].image, 3);
  ASSERT_EQ(errors.size(), 1);
  EXPECT_TRUE(errors[0].startsWith("B.DB=Table is in use")) << errors[0].toStdString();
  EXPECT_FALSE(fs::exists(dir / "tgt/NEW.DB"));
  EXPECT_EQ(Texts(Run()), (std::vector<std::string>{"B.DB", "NEW.DB"}));  // A.DB is in line now
}

// A file that is not a structure file must not pass for one that lacks
// every table of the target (which applying would then delete).
TEST_F(Difference, OnlyAStructureFileIsComparedWith) {
  Make("tgt", Desc("A.DB", {Field("Id", pxLong)}, 1));
  const std::string other = dir / "other.ini";
  { std::ofstream(other) << "[Settings]\nWindow=1\n"; }
  TSession& session = Session();
  TTable orig(session);
  ResultNode result;
  for (const std::string& path : {other, dir / "missing.ini"}) {
    SCOPED_TRACE(path);
    try {
      compare::CompareWithFile(session, orig, QString::fromStdString(dir / "tgt"),
                               QString::fromStdString(path), result);
      ADD_FAILURE() << "compared with " << path;
    } catch (const EDBEngineError& e) {
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    EXPECT_TRUE(result.children.empty());
  }
}
