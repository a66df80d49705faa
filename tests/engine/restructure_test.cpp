// Restructuring Paradox tables: data carried into new fields and types,
// what goes with dropped fields, the problems table, the dry run, and an
// interruption at any step.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "engine/engine.h"
#include "engine/io/file.h"
#include "engine/paradox/pxconvert.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxfamily.h"
#include "engine/paradox/pxrestructure.h"
#include "engine/paradox/pxsecidx.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxval.h"
#include "tests/support/files.h"
#include "tests/support/ptables.h"
#include "tests/support/soundfiles.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::paradox;
using ptables::AllRecords;
using ptables::Field;
using ptables::OpenOk;
using Row = std::vector<Value>;
namespace fs = std::filesystem;

namespace {

Result Restructure(const std::string& path, const TableDesc& d, RestructureReport* rep = nullptr,
                   bool dryRun = false, std::vector<std::string> passwords = {}) {
  RestructureOptions o;
  o.dryRun = dryRun;
  o.passwords = std::move(passwords);
  return RestructureParadoxTable(path, d, o, rep);
}

// A descriptor entry keeping (or converting) old field `number`.
void Keep(TableDesc& d, std::uint16_t number, FieldDesc f = {}, std::int32_t op = opCopy) {
  f.number = number;
  d.fields.push_back(f);
  d.fieldOps.push_back(op);
}
void Add(TableDesc& d, FieldDesc f) {
  d.fields.push_back(f);
  d.fieldOps.push_back(opAdd);
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> FieldNames(ParadoxTable& t) {
  std::vector<std::string> out;
  for (const PxField& f : t.fields()) out.push_back(t.codec().toUtf8(f.name));
  return out;
}

// People: ID (key), NAME, CITY, AGE, with an index on CITY and a check on AGE.
struct People {
  TempDir dir{TempDir::Where::Memory};
  std::string path = dir / "PEOPLE.DB";
  People(std::vector<Row> rows = {{std::int64_t{1}, std::string("Ann"), std::string("Oslo"), std::int64_t{31}},
                                   {std::int64_t{2}, std::string("Bob"), std::string("Rome"), std::int64_t{42}},
                                   {std::int64_t{3}, std::string("Cy"), std::string("Oslo"), std::int64_t{27}}}) {
    TableDesc d = ptables::Desc(path,
                                {Field("ID", pxLong), Field("NAME", pxAlpha, 20),
                                 Field("CITY", pxAlpha, 12), Field("AGE", pxShort)},
                                1);
    IndexDesc city;
    city.name = "CITY";
    city.fieldsInKey = 1;
    city.keyFields[0] = 3;
    city.maintained = 1;
    d.indexes.push_back(city);
    ValCheckDesc age;
    age.fieldNumber = 4;
    age.required = 1;
    d.checks.push_back(age);
    EXPECT_EQ(CreateParadoxTable(d, false), Ok) << LastErrorMessage();
    auto t = OpenOk(path, true);
    EXPECT_EQ(AttachSecondaryIndexes(*t), Ok);
    EXPECT_EQ(t->insertMany(rows), Ok) << LastErrorMessage();
  }
};

}  // namespace

// ------------------------------------------------------------ fields

TEST(Restructure, MovesRenamesDropsAndAddsFieldsKeepingTheirData) {
  People p;
  TableDesc d;
  Keep(d, 1, {}, opNone);                                       // ID stays first: the key
  Keep(d, 4);                                                   // AGE moves up
  Keep(d, 2, Field("FULLNAME", pxAlpha, 30), opModify);         // NAME renamed and widened
  Add(d, Field("JOINED", pxDate));                               // CITY dropped, JOINED added
  RestructureReport rep;
  ASSERT_EQ(Restructure(p.path, d, &rep), Ok) << LastErrorMessage();
  auto t = OpenOk(p.path);
  EXPECT_EQ(FieldNames(*t), (std::vector<std::string>{"ID", "AGE", "FULLNAME", "JOINED"}));
  EXPECT_EQ(AllRecords(*t), (std::vector<Row>{
                                {std::int64_t{1}, std::int64_t{31}, std::string("Ann"), Value{}},
                                {std::int64_t{2}, std::int64_t{42}, std::string("Bob"), Value{}},
                                {std::int64_t{3}, std::int64_t{27}, std::string("Cy"), Value{}}}));
  EXPECT_TRUE(t->header().isKeyed());
  EXPECT_EQ(rep.droppedFields, std::vector<std::string>{"CITY"});
  EXPECT_EQ(rep.lost, std::vector<std::string>{"index CITY"});  // it was on the dropped field
  EXPECT_EQ(rep.kept, 3u);
  // The check on AGE follows it to its new place.
  TableValidity v;
  ASSERT_EQ(LoadValidity(p.path, t->header(), t->codec(), v), Ok);
  ASSERT_EQ(v.checks.size(), 1u);
  EXPECT_EQ(v.checks[0].fieldNumber, 2);
  EXPECT_TRUE(v.checks[0].required);
  t.reset();
  soundfiles::ExpectSound(p.path);
  EXPECT_EQ(Names(p.dir.path()), (std::vector<std::string>{"PEOPLE.DB", "PEOPLE.PX", "PEOPLE.VAL"}));
}

TEST(Restructure, AnIndexFollowsItsFieldToItsNewNumberAndName) {
  People p;
  TableDesc d;
  Keep(d, 1, {}, opNone);
  Keep(d, 3, Field("TOWN", pxAlpha, 12), opModify);  // CITY, renamed, moves to 2
  Keep(d, 2);
  Keep(d, 4);
  ASSERT_EQ(Restructure(p.path, d), Ok) << LastErrorMessage();
  auto t = OpenOk(p.path);
  std::vector<SecondaryIndex> ix;
  ASSERT_EQ(ReadSecondaryIndexes(p.path, t->header(), ix), Ok);
  ASSERT_EQ(ix.size(), 1u);
  EXPECT_EQ(ix[0].desc.name, "TOWN");
  EXPECT_EQ(ix[0].desc.keyFields[0], 2);
  std::vector<std::uint32_t> order;
  ASSERT_EQ(IndexOrder(*t, ix[0], order), Ok);
  EXPECT_EQ(order, (std::vector<std::uint32_t>{0, 2, 1}));  // Oslo, Oslo, Rome
  t.reset();
  soundfiles::ExpectSound(p.path);
}

TEST(Restructure, NoFieldsListedLeavesTheFieldsAndPackRebuildsCompactly) {
  People p;
  {
    auto t = OpenOk(p.path, true);
    ASSERT_EQ(AttachSecondaryIndexes(*t), Ok);
    std::vector<Row> many;
    for (int i = 10; i < 400; ++i)
      many.push_back({std::int64_t{i}, std::string("n"), std::string("c"), std::int64_t{1}});
    ASSERT_EQ(t->insertMany(many), Ok);
    for (int i = 0; i < 380; ++i) ASSERT_EQ(t->remove(3), Ok);
  }
  const auto before = AllRecords(*OpenOk(p.path));
  const auto sizeBefore = fs::file_size(p.path);
  TableDesc d;
  d.pack = 1;
  ASSERT_EQ(Restructure(p.path, d), Ok) << LastErrorMessage();
  EXPECT_EQ(AllRecords(*OpenOk(p.path)), before);
  EXPECT_LT(fs::file_size(p.path), sizeBefore);
  soundfiles::ExpectSound(p.path);
}

// Every pair of types the conversion allows, through the files: the value
// read back from the new table is the one the conversion promised, and
// what cannot be carried goes to the problems table whole.
TEST(Restructure, EveryConvertibleTypePairCarriesItsValues) {
  struct Sample {
    FieldDesc field;
    std::vector<Value> values;
  };
  const std::vector<Sample> samples = {
      {Field("F", pxAlpha, 12), {std::string("42"), std::string("2020-02-03"), std::string("true"),
                                 std::string("word"), std::string("twelve chars")}},
      {Field("F", pxNumber), {1.5, -3.0, 1e10}},
      {Field("F", pxMoney), {12.25, -7.0}},
      {Field("F", pxShort), {std::int64_t{7}, std::int64_t{-300}}},
      {Field("F", pxLong), {std::int64_t{70000}, std::int64_t{1}}},
      {Field("F", pxAutoinc), {std::int64_t{5}, std::int64_t{6}}},
      {Field("F", pxBcd, 32, 2), {BcdValue{"12.34"}, BcdValue{"-0.50"}}},
      {Field("F", pxDate), {DateValue{DayNumber(2001, 2, 3)}}},
      {Field("F", pxTime), {TimeValue{3723004}}},
      {Field("F", pxTimestamp), {TimestampValue{DayNumber(2001, 2, 3) * 86400000.0 + 5000}}},
      {Field("F", pxLogical), {true, false}},
      {Field("F", pxMemo, 5), {std::string("memo text that is longer than its leader")}},
      {Field("F", pxFmtMemo, 0), {BlobValue{"formatted"}}},
      {Field("F", pxBinary, 0), {BlobValue{"\x01\x02 binary"}}},
      {Field("F", pxGraphic, 0), {BlobValue{"GIF89a..."}}},
      {Field("F", pxOle, 0), {BlobValue{"ole"}}},
      {Field("F", pxBytes, 6), {BlobValue{std::string("\x00\x01\x02", 3)}, BlobValue{"abcdef"}}},
  };
  const std::vector<FieldDesc> targets = [&] {
    std::vector<FieldDesc> t;
    for (const Sample& s : samples) t.push_back(s.field);
    t.push_back(Field("F", pxAlpha, 3));
    t.push_back(Field("F", pxBcd, 32, 0));
    t.push_back(Field("F", pxBytes, 2));
    return t;
  }();
  int pairs = 0;
  for (const Sample& from : samples) {
    for (FieldDesc to : targets) {
      if (!TypesConvert(from.field.type, to.type)) continue;
      ++pairs;
      SCOPED_TRACE(std::to_string(from.field.type) + " -> " + std::to_string(to.type) + "(" +
                   std::to_string(to.units1) + ")");
      TempDir dir(TempDir::Where::Memory);
      const std::string path = dir / "T.DB";
      ASSERT_EQ(CreateParadoxTable(ptables::Desc(path, {Field("N", pxLong), from.field}, 1), false), Ok)
          << LastErrorMessage();
      std::vector<Row> rows;
      for (std::size_t i = 0; i < from.values.size(); ++i)
        rows.push_back({std::int64_t(i + 1), from.values[i]});
      rows.push_back({std::int64_t(from.values.size() + 1), Value{}});  // NULL stays NULL
      ASSERT_EQ(OpenOk(path, true)->insertMany(rows), Ok) << LastErrorMessage();
      rows = AllRecords(*OpenOk(path));
      TableDesc d;
      d.problemsTable = "PROBLEMS";
      Keep(d, 1);
      to.name = "F";
      Keep(d, 2, to, opModify);
      RestructureReport rep;
      ASSERT_EQ(Restructure(path, d, &rep), Ok) << LastErrorMessage();
      std::vector<Row> expected, problems;
      for (const Row& r : rows) {
        Value out;
        std::string note;
        FieldDesc old = from.field;
        if (ConvertValue(old, to, r[1], out, note) == Conversion::Failed)
          problems.push_back(r);
        else
          expected.push_back({r[0], out});
      }
      std::vector<Row> got = AllRecords(*OpenOk(path));
      // A blank autoincrement field is numbered as the record goes in.
      for (std::size_t i = 0; to.type == pxAutoinc && i < got.size() && i < expected.size(); ++i)
        if (IsNull(expected[i][1]) && std::holds_alternative<std::int64_t>(got[i][1]))
          expected[i][1] = got[i][1];
      EXPECT_EQ(got, expected);
      EXPECT_EQ(rep.problems, problems.size());
      if (!problems.empty()) {
        EXPECT_EQ(AllRecords(*OpenOk(dir / rep.problemsTable)), problems);
      }
      soundfiles::ExpectSound(path);
      ASSERT_FALSE(testing::Test::HasFailure());
    }
  }
  EXPECT_GT(pairs, 100);
}

// ------------------------------------------------------------ keys

TEST(Restructure, ANewKeyOverDuplicatesIsRefusedOrSendsThemToTheProblemsTable) {
  People p;
  TableDesc d;
  Keep(d, 3);  // CITY first, as the new key: "Oslo" twice
  Keep(d, 1);
  Keep(d, 2);
  Keep(d, 4);
  IndexDesc key;
  key.primary = key.unique = 1;
  key.fieldsInKey = 1;
  key.keyFields[0] = 1;
  d.indexes.push_back(key);
  d.indexOps.push_back(opModify);
  const auto before = Slurp(p.path);
  const auto files = Names(p.dir.path());
  RestructureReport rep;
  EXPECT_EQ(Restructure(p.path, d, &rep), ErrKeyViolation);
  EXPECT_NE(LastErrorMessage().find("Oslo"), std::string::npos) << LastErrorMessage();
  EXPECT_EQ(Slurp(p.path), before);
  EXPECT_EQ(Names(p.dir.path()), files);

  d.problemsTable = "ErrorTB.db";
  ASSERT_EQ(Restructure(p.path, d, &rep), Ok) << LastErrorMessage();
  EXPECT_EQ(rep.kept, 2u);
  EXPECT_EQ(rep.problems, 1u);
  EXPECT_EQ(rep.lost, std::vector<std::string>{"index CITY (its field leads the primary key now)"});
  EXPECT_EQ(AllRecords(*OpenOk(p.path)),
            (std::vector<Row>{{std::string("Oslo"), std::int64_t{1}, std::string("Ann"), std::int64_t{31}},
                              {std::string("Rome"), std::int64_t{2}, std::string("Bob"), std::int64_t{42}}}));
  // The problem record as it was, in the old layout.
  EXPECT_EQ(AllRecords(*OpenOk(p.dir / "ErrorTB.db")),
            (std::vector<Row>{{std::int64_t{3}, std::string("Cy"), std::string("Oslo"), std::int64_t{27}}}));
  soundfiles::ExpectSound(p.path);
}

TEST(Restructure, AProblemsTableNeverOverwritesAnotherTable) {
  People p;
  TableDesc bad;
  Keep(bad, 1);
  Keep(bad, 2, Field("NAME", pxShort), opModify);  // names are no numbers
  bad.problemsTable = "ErrorTB.db";
  // An earlier run's problems.
  ASSERT_EQ(CreateParadoxTable(ptables::Desc(p.dir / "ErrorTB.db", {Field("X", pxAlpha, 3)}), false), Ok);
  RestructureReport rep;
  ASSERT_EQ(Restructure(p.path, bad, &rep), Ok) << LastErrorMessage();
  EXPECT_EQ(rep.problemsTable, "ErrorTB1.db");
  EXPECT_EQ(rep.problems, 3u);
  EXPECT_EQ(OpenOk(p.dir / "ErrorTB.db")->fields().size(), 1u);
  EXPECT_EQ(OpenOk(p.dir / "ErrorTB1.db")->recordCount(), 3u);
  EXPECT_EQ(OpenOk(p.path)->recordCount(), 0u);
}

// ------------------------------------------------------------ properties

TEST(Restructure, LevelAndLanguageDriverChangesConvertTheFile) {
  TempDir dir(TempDir::Where::Memory);
  const std::string path = dir / "R.DB";
  TableDesc c = ptables::Desc(path, {Field("NAME", pxAlpha, 10), Field("N", pxShort)});
  c.optionalParams.push_back({"LANGDRIVER", "cyrr"});
  ASSERT_EQ(CreateParadoxTable(c, false), Ok) << LastErrorMessage();
  ASSERT_EQ(OpenOk(path, true)->insertMany({{std::string("Жук"), std::int64_t{1}},
                                            {std::string("Zoe"), std::int64_t{2}}}),
            Ok);
  TableDesc d;
  d.optionalParams = {{"LANGDRIVER", "ancyrr"}, {"LEVEL", "4"}, {"BLOCK SIZE", "4096"}};
  ASSERT_EQ(Restructure(path, d), Ok) << LastErrorMessage();
  auto t = OpenOk(path);
  EXPECT_EQ(t->header().level(), 4);
  EXPECT_EQ(t->header().blockSize(), 4096u);
  EXPECT_EQ(t->header().codePage(), 1251);
  EXPECT_EQ(AllRecords(*t), (std::vector<Row>{{std::string("Жук"), std::int64_t{1}},
                                             {std::string("Zoe"), std::int64_t{2}}}));
  t.reset();
  // A level that lacks a type refuses, naming it.
  TableDesc down;
  Add(down, Field("T", pxTime));
  Keep(down, 1);
  down.optionalParams = {{"LEVEL", "4"}};
  EXPECT_EQ(Restructure(path, down), ErrInvalidFieldDesc);
  EXPECT_NE(LastErrorMessage().find("level 5"), std::string::npos) << LastErrorMessage();
  // Text the new code page cannot hold is a problem like any other.
  TableDesc ascii;
  ascii.optionalParams = {{"LANGDRIVER", "ascii"}};
  RestructureReport rep;
  EXPECT_EQ(Restructure(path, ascii, &rep), ErrInvalidValue);
  EXPECT_NE(rep.refusal.find("record 1"), std::string::npos) << rep.refusal;
}

TEST(Restructure, PasswordsAreKeptChangedOrRemovedAndFollowTheFields) {
  People p;
  TableDesc protect;
  protect.isProtected = 1;
  protect.password = "master";
  SecurityDesc aux;
  aux.password = "clerk";
  aux.tableRights = rightsReadOnly;
  aux.fieldRights[0] = 1;  // ID readable
  aux.fieldRights[1] = 0;  // NAME hidden
  aux.fieldRights[2] = 1;
  aux.fieldRights[3] = 1;
  protect.passwords.push_back(aux);
  protect.securityOps.push_back(opAdd);
  ASSERT_EQ(Restructure(p.path, protect), Ok) << LastErrorMessage();
  std::unique_ptr<ParadoxTable> t;
  EXPECT_EQ(ParadoxTable::Open(p.path, {}, t), ErrPasswordRequired);

  // Without the master password nothing changes.
  TableDesc swap;
  Keep(swap, 2);
  Keep(swap, 1);
  EXPECT_EQ(Restructure(p.path, swap, nullptr, false, {"clerk"}), ErrNoRights);
  EXPECT_EQ(Restructure(p.path, swap, nullptr, false, {}), ErrPasswordRequired);

  // A restructure keeps the master password; the clerk's rights follow NAME.
  TableDesc d;
  Keep(d, 1);
  Keep(d, 2);
  ASSERT_EQ(Restructure(p.path, d, nullptr, false, {"master"}), Ok) << LastErrorMessage();
  auto clerk = OpenOk(p.path, false, {"clerk"});
  ASSERT_EQ(clerk->rights().fields.size(), 2u);
  EXPECT_EQ(clerk->rights().fields[1], 0);
  clerk.reset();
  EXPECT_EQ(AllRecords(*OpenOk(p.path, false, {"master"})).size(), 3u);

  TableDesc open;
  open.removeProtection = 1;
  RestructureReport rep;
  ASSERT_EQ(Restructure(p.path, open, &rep, false, {"master"}), Ok) << LastErrorMessage();
  EXPECT_FALSE(OpenOk(p.path)->isProtected());
  EXPECT_EQ(rep.lost.size(), 1u);
  EXPECT_FALSE(fs::exists(p.dir / "PEOPLE.QPW"));
}

// ------------------------------------------------------------ links

TEST(Restructure, LinksFollowTheirFieldsOnBothSides) {
  People p;  // the parent: keyed by ID
  const std::string orders = p.dir / "ORDERS.DB";
  TableDesc o = ptables::Desc(orders, {Field("NO", pxLong), Field("WHO", pxLong), Field("WHAT", pxAlpha, 10)}, 1);
  RefIntDesc link;
  link.name = "Buyer";
  link.kind = riDependent;
  link.otherTable = "PEOPLE.DB";
  link.fieldCount = 1;
  link.thisFields[0] = 2;
  link.otherFields[0] = 1;
  o.refInts.push_back(link);
  ASSERT_EQ(CreateParadoxTable(o, false), Ok) << LastErrorMessage();
  ASSERT_EQ(OpenOk(orders, true)->insertMany({{std::int64_t{10}, std::int64_t{2}, std::string("pen")}}), Ok);
  auto links = [](const std::string& path) {
    auto t = OpenOk(path);
    TableValidity v;
    EXPECT_EQ(LoadValidity(path, t->header(), t->codec(), v), Ok) << LastErrorMessage();
    std::vector<std::string> out;
    for (const RefIntDesc& l : v.links)
      out.push_back(l.name + (l.kind == riDependent ? " child " : " parent ") + l.otherTable + " " +
                    std::to_string(l.thisFields[0]));
    return out;
  };
  const auto parentLinks = links(p.path);
  ASSERT_EQ(parentLinks.size(), 1u);

  // The parent gains a field behind its key: the child stays listed.
  TableDesc grow;
  for (std::uint16_t i = 1; i <= 4; ++i) Keep(grow, i);
  Add(grow, Field("EMAIL", pxAlpha, 40));
  ASSERT_EQ(Restructure(p.path, grow), Ok) << LastErrorMessage();
  EXPECT_EQ(links(p.path), parentLinks);
  // Changing the parent's key would leave the child pointing nowhere.
  TableDesc rekey;
  Keep(rekey, 1, Field("ID", pxAlpha, 5), opModify);
  EXPECT_EQ(Restructure(p.path, rekey), ErrDetailsExist);

  // The child's link field moves: the link follows it.
  TableDesc move;
  Keep(move, 1);
  Keep(move, 3);
  Keep(move, 2);
  ASSERT_EQ(Restructure(orders, move), Ok) << LastErrorMessage();
  ASSERT_EQ(links(orders).size(), 1u);
  EXPECT_EQ(links(orders)[0].substr(0, 13), "Buyer child P");
  EXPECT_EQ(links(orders)[0].back(), '3');
  // Dropping it drops the link, on both sides.
  TableDesc drop;
  Keep(drop, 1);
  Keep(drop, 2);
  RestructureReport rep;
  ASSERT_EQ(Restructure(orders, drop, &rep), Ok) << LastErrorMessage();
  EXPECT_EQ(rep.lost, std::vector<std::string>{"link Buyer"});
  EXPECT_TRUE(links(orders).empty());
  EXPECT_TRUE(links(p.path).empty());
}

// ------------------------------------------------------------ dry run

TEST(Restructure, TheDryRunPredictsTheRunAndChangesNothing) {
  People p({{std::int64_t{1}, std::string("Annabelle"), std::string("Oslo"), std::int64_t{31}},
            {std::int64_t{2}, std::string("Bob"), std::string("Rome"), std::int64_t{42}},
            {std::int64_t{3}, std::string("Cy"), std::string("Oslo"), std::int64_t{27}}});
  TableDesc d;
  Keep(d, 1);
  Keep(d, 2, Field("NAME", pxAlpha, 4), opModify);   // "Annabelle" is cut
  Keep(d, 3, Field("CITY", pxLong), opModify);       // no city is a number
  d.problemsTable = "ErrorTB";
  const auto files = Names(p.dir.path());
  const auto bytes = Slurp(p.path);
  RestructureReport dry, real;
  ASSERT_EQ(Restructure(p.path, d, &dry, true), Ok) << LastErrorMessage();
  EXPECT_EQ(Names(p.dir.path()), files);
  EXPECT_EQ(Slurp(p.path), bytes);
  EXPECT_EQ(dry.problems, 3u);
  EXPECT_EQ(dry.problemSamples.size(), 3u);
  EXPECT_EQ(dry.droppedFields, std::vector<std::string>{"AGE"});

  // Without a problems table the run would fail: the dry run says why.
  TableDesc strict = d;
  strict.problemsTable.clear();
  RestructureReport refused;
  ASSERT_EQ(Restructure(p.path, strict, &refused, true), Ok);
  EXPECT_EQ(refused.refusal, refused.problemSamples.front());

  TableDesc shorten;
  Keep(shorten, 1);
  Keep(shorten, 2, Field("NAME", pxAlpha, 4), opModify);
  ASSERT_EQ(Restructure(p.path, shorten, &dry, true), Ok);
  ASSERT_EQ(Restructure(p.path, shorten, &real), Ok) << LastErrorMessage();
  EXPECT_EQ(dry.kept, real.kept);
  EXPECT_EQ(dry.shortened, 1u);
  EXPECT_EQ(dry.shortened, real.shortened);
  EXPECT_EQ(dry.shortenedSamples, real.shortenedSamples);
  EXPECT_EQ(dry.droppedFields, real.droppedFields);
  EXPECT_EQ(dry.lost, real.lost);
}

TEST(Restructure, RefusalsNameWhatIsWrongAndChangeNothing) {
  People p;
  const auto bytes = Slurp(p.path);
  TableDesc d;
  Keep(d, 9);
  EXPECT_EQ(Restructure(p.path, d), ErrInvalidFieldDesc);
  EXPECT_NE(LastErrorMessage().find("field 9"), std::string::npos);
  TableDesc graphic;
  Keep(graphic, 1);
  Keep(graphic, 4, Field("AGE", pxGraphic), opModify);
  EXPECT_EQ(Restructure(p.path, graphic), ErrInvalidFieldDesc);
  EXPECT_NE(LastErrorMessage().find("cannot become"), std::string::npos) << LastErrorMessage();
  {
    auto open = OpenOk(p.path);  // another open holds the table
    EXPECT_EQ(Restructure(p.path, TableDesc{}), ErrTableInUse);
  }
  EXPECT_EQ(Slurp(p.path), bytes);
  EXPECT_FALSE(fs::exists(WorkDirectoryOf(p.path)));
}

// ------------------------------------------------------------ interrupted

namespace {
std::uint64_t g_stepsLeft = 0;
void DieAtStep() {
  if (g_stepsLeft-- == 0) raise(SIGKILL);
}
}  // namespace

// A restructure killed before each of its steps on disk in turn: whoever
// opens the table next finds the old table or the new one, sound, and no
// file of the run is left once it has been opened.
class RestructureKilled : public testing::TestWithParam<bool> {};

TEST_P(RestructureKilled, AtEveryStepTheTableIsOldOrNewAndNothingIsLeftOver) {
  const bool pack = GetParam();
  People p;
  TableDesc d;
  if (pack) {
    d.pack = 1;
    auto t = OpenOk(p.path, true);
    ASSERT_EQ(AttachSecondaryIndexes(*t), Ok);
    ASSERT_EQ(t->remove(1), Ok);
  } else {
    Keep(d, 1);
    Keep(d, 3);
    Keep(d, 2, Field("NAME", pxAlpha, 2), opModify);
    Add(d, Field("NOTE", pxMemo, 1));
    d.problemsTable = "ErrorTB.db";
  }
  auto snapshot = [&] { return std::make_pair(FieldNames(*OpenOk(p.path)), AllRecords(*OpenOk(p.path))); };
  const auto before = snapshot();
  const auto files = Names(p.dir.path());
  bool finished = false;
  int kills = 0;
  for (std::uint64_t k = 0; !finished && k < 400; ++k) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      g_stepsLeft = k;
      io::SetStepHook(DieAtStep);
      _exit(Restructure(p.path, d) == Ok ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    finished = WIFEXITED(status);
    ASSERT_TRUE(finished ? WEXITSTATUS(status) == 0 : WIFSIGNALED(status)) << "step " << k;
    SCOPED_TRACE("killed before step " + std::to_string(k));
    const auto now = snapshot();  // opening recovers and tidies up
    const bool isNew = pack ? !fs::exists(WorkDirectoryOf(p.path)) && finished : now != before;
    if (pack) {
      EXPECT_EQ(now, before);
    }
    if (!isNew) {
      EXPECT_EQ(Names(p.dir.path()), files);
      ++kills;
    } else {
      if (!pack) {
        EXPECT_EQ(now.first, (std::vector<std::string>{"ID", "CITY", "NAME", "NOTE"}));
        EXPECT_EQ(now.second.size(), 3u);
      }
      EXPECT_FALSE(fs::exists(WorkDirectoryOf(p.path)));
      for (const std::string& f : Names(p.dir.path()))
        EXPECT_EQ(f.find('~'), std::string::npos) << f;
    }
    soundfiles::ExpectSound(p.path);
    ASSERT_FALSE(testing::Test::HasFailure());
    if (isNew && !finished) break;  // died after the swap: nothing more to learn
  }
  EXPECT_GT(kills, 10);
}

INSTANTIATE_TEST_SUITE_P(Changes, RestructureKilled, testing::Bool(),
                         [](const auto& info) { return info.param ? "Pack" : "Fields"; });

// A disk that fills up halfway (a file size limit here) fails the
// restructure with the old table as it was and nothing left behind.
TEST(RestructureFull, AFullDiskLeavesTheOldTableAndNoFiles) {
  People p;
  {
    auto t = OpenOk(p.path, true);
    ASSERT_EQ(AttachSecondaryIndexes(*t), Ok);
    std::vector<Row> many;
    for (int i = 10; i < 300; ++i)
      many.push_back({std::int64_t{i}, std::string(20, 'n'), std::string("c"), std::int64_t{1}});
    ASSERT_EQ(t->insertMany(many), Ok);
  }
  const auto bytes = Slurp(p.path);
  const auto files = Names(p.dir.path());
  TableDesc d;
  Keep(d, 1);
  Keep(d, 2, Field("NAME", pxAlpha, 200), opModify);  // a table several times the size
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = fs::file_size(p.path) + 4096;
    setrlimit(RLIMIT_FSIZE, &limit);
    const Result r = Restructure(p.path, d);
    _exit(r == ErrIo ? 0 : r == Ok ? 1 : 2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Slurp(p.path), bytes);
  EXPECT_EQ(Names(p.dir.path()), files);
  soundfiles::ExpectSound(p.path);
}

// Adding and dropping an index killed at any step: the table has the index
// whole or not at all.
TEST(RestructureKilled, AddingOrDroppingAnIndexIsWholeOrNotAtAll) {
  People p;
  auto indexNames = [&] {
    auto t = OpenOk(p.path);
    std::vector<SecondaryIndex> ix;
    EXPECT_EQ(ReadSecondaryIndexes(p.path, t->header(), ix), Ok) << LastErrorMessage();
    std::vector<std::string> out;
    for (const auto& i : ix) out.push_back(i.desc.name);
    return out;
  };
  IndexDesc byName;
  byName.name = "ByName";
  byName.fieldsInKey = 2;
  byName.keyFields[0] = 2;
  byName.keyFields[1] = 4;
  byName.unique = byName.maintained = 1;
  for (const bool adding : {true, false}) {
    const auto before = indexNames();
    const auto files = Names(p.dir.path());
    bool finished = false;
    int kills = 0;
    for (std::uint64_t k = 0; !finished && k < 100; ++k) {
      pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        hDBIDb db = 0;
        if (OpenDatabase(p.dir.path(), db) != Ok) _exit(4);
        g_stepsLeft = k;
        io::SetStepHook(DieAtStep);
        _exit((adding ? AddIndex(db, "PEOPLE.DB", byName) : DeleteIndex(db, "PEOPLE.DB", "ByName")) == Ok ? 0 : 3);
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      finished = WIFEXITED(status);
      ASSERT_TRUE(finished ? WEXITSTATUS(status) == 0 : WIFSIGNALED(status)) << "step " << k;
      SCOPED_TRACE(std::string(adding ? "add" : "drop") + " killed before step " + std::to_string(k));
      const auto now = indexNames();
      if (now == before) {
        EXPECT_EQ(Names(p.dir.path()), files);
        ++kills;
      }
      soundfiles::ExpectSound(p.path);
      ASSERT_FALSE(testing::Test::HasFailure());
      if (now != before) break;
    }
    EXPECT_GT(kills, 3);
    EXPECT_EQ(indexNames().size(), adding ? 2u : 1u);
  }
}
