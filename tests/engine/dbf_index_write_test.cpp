// dBASE tables with a production index: inserts, updates, deletion marks,
// packs and restructures leave every tag as a whole build over the records
// would have it (unique and descending tags, trees that split over many
// inserts); a change that fails leaves table and index as they were; tags
// this program cannot compute keep the table read-only until dropped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "engine/dbase/dbconvert.h"
#include "engine/dbase/dbindex.h"
#include "engine/dbase/dbtable.h"
#include "engine/dbfcursor.h"
#include "engine/io/file.h"
#include "tests/support/dbtables.h"
#include "tests/support/files.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::dbase;
using dbtables::Desc;
using dbtables::Field;
using dbtables::OpenOk;

namespace {

using Entries = std::vector<std::pair<std::string, std::uint32_t>>;

Entries Walk(const MdxFile& file, const MdxTag& tag) {
  Entries out;
  EXPECT_EQ(ScanTag(file, tag,
                    [&](std::string_view key, std::uint32_t record) {
                      out.emplace_back(std::string(key), record);
                      return true;
                    }),
            Ok)
      << LastErrorMessage();
  return out;
}

// Every tag of the table's index walks as a fresh whole build over the
// table's records does, and the index checks out.
void ExpectInStep(const std::string& dbf) {
  SCOPED_TRACE(dbf);
  const std::string mdx = ProductionIndexOf(dbf);
  ASSERT_FALSE(mdx.empty());
  ASSERT_EQ(CheckMdx(mdx), Ok) << LastErrorMessage();
  MdxFile kept;
  ASSERT_EQ(ReadMdx(mdx, kept), Ok) << LastErrorMessage();
  auto t = OpenOk(dbf);
  TableTags tags;
  ASSERT_EQ(tags.plan(kept.tags, t->fields(), false), Ok) << LastErrorMessage();
  io::File file;
  ASSERT_EQ(file.open(dbf, io::File::Mode::Read), Ok);
  FileKeySource source(file, t->headerLength(), t->recordCount(), t->recordLength(), tags);
  const std::string fresh = mdx + ".fresh";
  ASSERT_EQ(WriteMdx(fresh, "T", tags.defs(), source), Ok) << LastErrorMessage();
  MdxFile built;
  ASSERT_EQ(ReadMdx(fresh, built), Ok);
  for (std::size_t i = 0; i < kept.tags.size(); ++i) {
    const Entries a = Walk(kept, kept.tags[i]), b = Walk(built, built.tags[i]);
    EXPECT_EQ(a, b) << "tag " << kept.tags[i].name;
  }
  std::remove(fresh.c_str());
}

TableDesc PeopleDesc() {
  TableDesc d = Desc({Field("NAME", dbChar, 12), Field("CITY", dbChar, 10),
                      Field("AMOUNT", dbNumber, 10, 2), Field("BORN", dbDate),
                      Field("NOTE", dbMemo)});
  auto tag = [&](const std::string& name, const std::string& expr, bool unique = false,
                 bool descending = false) {
    IndexDesc ix;
    ix.tagName = name;
    ix.keyExpression = expr;
    ix.unique = unique;
    ix.descending = descending;
    d.indexes.push_back(ix);
  };
  tag("NAME", "NAME");
  tag("PLACE", "UPPER(CITY)+NAME");
  tag("AMOUNT", "AMOUNT", false, true);
  tag("BORN", "BORN");
  tag("CITY", "CITY", true);
  tag("CITYDOWN", "CITY", true, true);
  return d;
}

std::vector<Value> Person(std::mt19937& gen) {
  static const char* cities[] = {"Oslo", "Lima", "rome", "Kyiv", "Bonn", "Riga", "Quito"};
  std::string name;
  for (int k = 0, n = 1 + static_cast<int>(gen() % 8); k < n; ++k)
    name += static_cast<char>((gen() % 2 ? 'a' : 'A') + gen() % 26);
  const std::int64_t cents = static_cast<std::int64_t>(gen() % 200000) - 100000;
  return {name, std::string(cities[gen() % 7]), BcdValue{std::to_string(cents / 100) + "." +
                                                         std::to_string(std::abs(cents % 100))},
          gen() % 5 ? Value{DateValue{730000 + static_cast<std::int32_t>(gen() % 20000)}} : Value{},
          gen() % 3 ? Value{std::string("note ") + name} : Value{}};
}

std::string CreatePeople(const TempDir& dir, int level = 4) {
  const std::string path = dir / "PEOPLE.DBF";
  EXPECT_EQ(DbaseTable::Create(path, PeopleDesc(), level, true), Ok) << LastErrorMessage();
  return path;
}

}  // namespace

TEST(DbfIndexWrite, InsertsUpdatesAndMarksKeepEveryTagAsAWholeBuild) {
  TempDir dir(TempDir::Where::Memory);
  for (int level : {4, 7}) {
    SCOPED_TRACE(level);
    const std::string path = CreatePeople(dir, level);
    {
      auto t = OpenOk(path);
      ASSERT_TRUE(t->hasProductionIndex());
      std::vector<IndexDesc> listed;
      ASSERT_EQ(dbf::IndexDescs(path, listed), Ok);
      ASSERT_EQ(listed.size(), 6u);
      EXPECT_EQ(listed[1].tagName, "PLACE");
      EXPECT_EQ(listed[4].unique, 1);
      EXPECT_EQ(listed[2].descending, 1);
    }
    ExpectInStep(path);
    std::mt19937 gen(7 + level);
    auto t = OpenOk(path, true);
    // Many rows in one bulk insert, then one by one: nodes split.
    std::vector<std::vector<Value>> rows;
    for (int i = 0; i < 700; ++i) rows.push_back(Person(gen));
    VectorRows bulk(rows);
    ASSERT_EQ(t->insertRows(bulk), Ok) << LastErrorMessage();
    for (int i = 0; i < 60; ++i) {
      std::uint32_t index;
      ASSERT_EQ(t->insert(Person(gen), index), Ok) << LastErrorMessage();
    }
    ExpectInStep(path);
    // Updates, among them the holders of the unique tags' keys: the next
    // record with the key takes their place.
    for (int i = 0; i < 120; ++i) {
      const std::uint32_t at = i < 7 ? static_cast<std::uint32_t>(i) : gen() % t->recordCount();
      std::vector<Value> v;
      ASSERT_EQ(t->readRecord(at, v), Ok);
      const std::vector<Value> other = Person(gen);
      const std::size_t k = gen() % 4;
      v[k] = other[k];
      if (i < 7) v[1] = std::string("Nowhere");
      ASSERT_EQ(t->update(at, v), Ok) << LastErrorMessage();
    }
    // Marks change nothing in the index.
    ASSERT_EQ(t->setDeleted(3, true), Ok);
    ASSERT_EQ(t->setDeleted(9, true), Ok);
    ASSERT_EQ(t->setDeleted(9, false), Ok);
    t.reset();
    ExpectInStep(path);
  }
}

TEST(DbfIndexWrite, AFailingChangeLeavesTableAndIndexAsTheyWere) {
  TempDir dir;
  const std::string path = CreatePeople(dir);
  std::mt19937 gen(3);
  auto t = OpenOk(path, true);
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < 300; ++i) rows.push_back(Person(gen));
  VectorRows first(rows);
  ASSERT_EQ(t->insertRows(first), Ok);
  const auto dbfBefore = Slurp(path), mdxBefore = Slurp(dir / "PEOPLE.MDX");
  rows.back()[0] = std::string("a name far too long for its field");
  VectorRows failing(rows);
  EXPECT_NE(t->insertRows(failing), Ok);
  std::vector<Value> v;
  ASSERT_EQ(t->readRecord(5, v), Ok);
  v[0] = std::string("x");
  v[3] = std::string("no date");
  EXPECT_NE(t->update(5, v), Ok);
  EXPECT_EQ(Slurp(path), dbfBefore);
  EXPECT_EQ(Slurp(dir / "PEOPLE.MDX"), mdxBefore);
  // The table goes on as before.
  std::uint32_t index;
  ASSERT_EQ(t->insert(Person(gen), index), Ok) << LastErrorMessage();
  EXPECT_EQ(index, 300u);
  t.reset();
  ExpectInStep(path);
}

TEST(DbfIndexWrite, PackAndRestructureRebuildTheTags) {
  TempDir dir;
  const std::string path = CreatePeople(dir);
  std::mt19937 gen(11);
  {
    auto t = OpenOk(path, true);
    std::vector<std::vector<Value>> rows;
    for (int i = 0; i < 400; ++i) rows.push_back(Person(gen));
    VectorRows bulk(rows);
    ASSERT_EQ(t->insertRows(bulk), Ok);
    for (std::uint32_t i = 0; i < 400; i += 3) ASSERT_EQ(t->setDeleted(i, true), Ok);
  }
  std::uint32_t removed = 0;
  ASSERT_EQ(DbaseTable::Pack(path, &removed), Ok) << LastErrorMessage();
  EXPECT_EQ(removed, 134u);
  ExpectInStep(path);

  // CITY is dropped: the tags on it refuse the restructure, naming one,
  // until the descriptor drops them too. NAME is renamed and widened: its
  // tags follow it.
  TableDesc d;
  d.fields = {Field("FULLNAME", dbChar, 20), Field("AMOUNT", dbNumber, 10, 2),
              Field("BORN", dbDate), Field("NOTE", dbMemo)};
  d.fields[0].number = 1;
  d.fields[1].number = 3;
  d.fields[2].number = 4;
  d.fields[3].number = 5;
  d.fieldOps = {opModify, opCopy, opCopy, opCopy};
  const auto before = Slurp(path);
  EXPECT_EQ(RestructureDbaseTableWithIndex(path, d, false), ErrNotSupported);
  EXPECT_NE(LastErrorMessage().find("tag PLACE"), std::string::npos) << LastErrorMessage();
  EXPECT_EQ(Slurp(path), before);
  for (const char* drop : {"PLACE", "city", "CITYDOWN"}) {
    IndexDesc ix;
    ix.tagName = drop;
    d.indexes.push_back(ix);
    d.indexOps.push_back(opDrop);
  }
  RestructureReport report;
  ASSERT_EQ(RestructureDbaseTableWithIndex(path, d, false, &report), Ok) << LastErrorMessage();
  EXPECT_EQ(report.kept, 266u);
  MdxFile index;
  ASSERT_EQ(ReadMdx(dir / "PEOPLE.MDX", index), Ok);
  ASSERT_EQ(index.tags.size(), 3u);
  EXPECT_EQ(index.tags[0].keyExpression, "FULLNAME");
  EXPECT_EQ(index.tags[0].keyLength, 20);
  ExpectInStep(path);
  auto t = OpenOk(path, true);
  std::uint32_t at;
  ASSERT_EQ(t->insert({std::string("Zed"), 1.5, Value{}, Value{}}, at), Ok) << LastErrorMessage();
  t.reset();
  ExpectInStep(path);
}

TEST(DbfIndexWrite, TagsThatCannotBeKeptLeaveTheTableReadOnlyUntilDropped) {
  TempDir dir;
  const std::string path = dir / "T.DBF";
  TableDesc d = Desc({Field("NAME", dbChar, 12), Field("N", dbNumber, 5)});
  IndexDesc byName;
  byName.tagName = "BYNAME";
  byName.fieldsInKey = 1;
  byName.keyFields[0] = 1;
  d.indexes = {byName};
  ASSERT_EQ(DbaseTable::Create(path, d, 4, false), Ok) << LastErrorMessage();
  {
    auto t = OpenOk(path, true);
    std::uint32_t at;
    for (int i = 0; i < 5; ++i)
      ASSERT_EQ(t->insert({std::string("n") + std::to_string(5 - i), std::int64_t{i}}, at), Ok);
  }
  // An index written by another program, with a tag over an expression
  // this program does not compute.
  MdxFile index;
  ASSERT_EQ(ReadMdx(dir / "T.MDX", index), Ok);
  std::vector<MdxTagDef> defs(index.tags.begin(), index.tags.end());
  MdxTagDef odd = defs[0];
  odd.name = "ODD";
  odd.keyExpression = "SUBSTR(NAME,1,3)";
  defs.push_back(odd);
  {
    auto t = OpenOk(path);
    TableTags tags;
    ASSERT_EQ(tags.plan(std::vector<MdxTagDef>{defs[0]}, t->fields(), false), Ok);
    io::File file;
    ASSERT_EQ(file.open(path, io::File::Mode::Read), Ok);
    struct TwoKeys : KeySource {
      FileKeySource inner;
      TwoKeys(io::File& f, DbaseTable& t, TableTags& tags)
          : inner(f, t.headerLength(), t.recordCount(), t.recordLength(), tags) {}
      Result next(MdxRecordKeys& k, bool& end) override {
        if (Result r = inner.next(k, end)) return r;
        if (!end) k.keys.push_back(k.keys[0]);
        return Ok;
      }
    } source(file, *t, tags);
    ASSERT_EQ(WriteMdx(dir / "T.MDX", "T", defs, source), Ok) << LastErrorMessage();
  }
  auto t = OpenOk(path, true);
  std::string why;
  EXPECT_FALSE(t->canWrite(why));
  EXPECT_NE(why.find("tag ODD"), std::string::npos) << why;
  EXPECT_NE(why.find("drop tag ODD"), std::string::npos) << why;
  std::uint32_t at;
  EXPECT_EQ(t->insert({std::string("x"), std::int64_t{1}}, at), ErrReadOnly);
  EXPECT_EQ(DbaseTable::Pack(path), ErrTableInUse);
  t.reset();
  EXPECT_EQ(DbaseTable::Pack(path), ErrReadOnly);

  EXPECT_EQ(DropIndexTag(path, "NOPE"), ErrNotFound);
  ASSERT_EQ(DropIndexTag(path, "odd"), Ok) << LastErrorMessage();
  t = OpenOk(path, true);
  EXPECT_TRUE(t->canWrite(why)) << why;
  ASSERT_EQ(t->insert({std::string("m"), std::int64_t{9}}, at), Ok) << LastErrorMessage();
  t.reset();
  ExpectInStep(path);

  // A missing index keeps the table read-only; dropping it whole clears
  // the table's flag.
  ASSERT_EQ(std::rename((dir / "T.MDX").c_str(), (dir / "GONE.MDX").c_str()), 0);
  t = OpenOk(path, true);
  EXPECT_FALSE(t->canWrite(why));
  EXPECT_NE(why.find("missing (T.MDX)"), std::string::npos) << why;
  t.reset();
  ASSERT_EQ(DropIndexTag(path, "t.mdx"), Ok) << LastErrorMessage();
  t = OpenOk(path, true);
  EXPECT_FALSE(t->hasProductionIndex());
  EXPECT_TRUE(t->canWrite(why)) << why;
  EXPECT_EQ(Slurp(path)->at(32 + 31), 0);  // the field's index flag too
}

TEST(DbfIndexWrite, CreateRefusesTagsItCannotKeep) {
  TempDir dir;
  TableDesc d = PeopleDesc();
  EXPECT_EQ(DbaseTable::Create(dir / "III.DBF", d, 3, false), ErrNotSupported);
  d.indexes[0].keyExpression = "NAME+AMOUNT";
  EXPECT_EQ(DbaseTable::Create(dir / "T.DBF", d, 4, false), ErrNotSupported);
  EXPECT_NE(LastErrorMessage().find("tag NAME"), std::string::npos) << LastErrorMessage();
  d.indexes[0].keyExpression = "NAME";
  d.indexes[0].subsetCondition = "AMOUNT > 0";
  EXPECT_EQ(DbaseTable::Create(dir / "T.DBF", d, 4, false), ErrNotSupported);
  EXPECT_FALSE(io::FileExists(dir / "T.DBF"));
  EXPECT_FALSE(io::FileExists(dir / "T.MDX"));
}
