// Validity checks, lookup tables and referential integrity: the .VAL files
// of the corpus, tables we create with checks and links, and enforcement.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/engine.h"
#include "engine/lists.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxpicture.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxval.h"
#include "engine/valchecks.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::paradox;
namespace fs = std::filesystem;
using ptables::Desc;
using ptables::Field;

namespace {

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::unique_ptr<ParadoxTable> OpenTable(const std::string& path) {
  std::unique_ptr<ParadoxTable> t;
  EXPECT_EQ(ParadoxTable::Open(path, OpenOptions{}, t), Ok) << LastErrorMessage();
  return t;
}

std::string ShowValue(const Value& v) {
  if (auto s = std::get_if<std::string>(&v)) return *s;
  if (auto i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
  if (auto d = std::get_if<double>(&v)) return std::to_string(*d);
  if (auto b = std::get_if<bool>(&v)) return *b ? "true" : "false";
  if (auto d = std::get_if<DateValue>(&v)) return "day " + std::to_string(d->day);
  if (auto b = std::get_if<BcdValue>(&v)) return b->text;
  return "?";
}

std::string ShowBound(const ParadoxTable& t, const ValCheckDesc& c, std::uint16_t word,
                      const std::array<std::uint8_t, 256>& area) {
  if (word == chkToday) return "TODAY";
  if (word == chkNow) return "NOW";
  Value v;
  EXPECT_EQ(CheckAreaToValue(PhysicalTypeOf(t.fields()[c.fieldNumber - 1].code), area,
                             t.codec().codePage(), v),
            Ok);
  return ShowValue(v);
}

// One line per check and per link, in a compact form the tests state.
std::vector<std::string> Describe(const ParadoxTable& t, const TableValidity& v) {
  std::vector<std::string> out;
  for (const ValCheckDesc& c : v.checks) {
    std::string s = std::to_string(c.fieldNumber);
    if (c.required) s += " required";
    if (c.hasMin) s += " min " + ShowBound(t, c, c.hasMin, c.minValue);
    if (c.hasMax) s += " max " + ShowBound(t, c, c.hasMax, c.maxValue);
    if (c.hasDefault) s += " default " + ShowBound(t, c, c.hasDefault, c.defaultValue);
    if (!c.picture.empty()) s += " picture " + c.picture;
    if (!c.lookupTable.empty())
      s += " lookup " + c.lookupTable + " type " + std::to_string(c.lookupType);
    out.push_back(s);
  }
  for (const RefIntDesc& l : v.links) {
    std::string s = std::string(l.kind == riDependent ? "child " : "parent ") + l.name + " -> " +
                    l.otherTable + (l.updateRule == riCascade ? " cascade " : " prohibit ");
    for (std::uint16_t i = 0; i < l.fieldCount; ++i)
      s += (i ? "," : "") + std::to_string(l.thisFields[i]);
    s += ">";
    for (std::uint16_t i = 0; i < l.fieldCount; ++i)
      s += (i ? "," : "") + std::to_string(l.otherFields[i]);
    out.push_back(s);
  }
  return out;
}

std::vector<std::string> DescribeTable(const std::string& path) {
  auto t = OpenTable(path);
  if (!t) return {"cannot open"};
  TableValidity v;
  EXPECT_EQ(LoadValidity(path, t->header(), t->codec(), v), Ok) << LastErrorMessage();
  return Describe(*t, v);
}

std::array<std::uint8_t, 256> Area(std::uint16_t type, const Value& v) {
  std::array<std::uint8_t, 256> a{};
  EXPECT_EQ(ValueToCheckArea(type, v, 437, a), Ok) << LastErrorMessage();
  return a;
}

RefIntDesc LinkTo(const std::string& parent, const std::string& name,
                  std::vector<std::uint16_t> mine, std::int32_t rule) {
  RefIntDesc l;
  l.name = name;
  l.kind = riDependent;
  l.otherTable = parent;
  l.updateRule = rule;
  l.fieldCount = static_cast<std::uint16_t>(mine.size());
  for (std::size_t i = 0; i < mine.size(); ++i) {
    l.thisFields[i] = mine[i];
    l.otherFields[i] = static_cast<std::uint16_t>(i + 1);
  }
  return l;
}

}  // namespace

// ---------------------------------------------------------------- corpus

struct CorpusCase {
  const char* file;  // under paradox/
  std::vector<std::string> expected;
};

class ValCorpus : public testing::TestWithParam<CorpusCase> {};

// Worked out from the bytes of each .VAL and the field lists of the tables.
INSTANTIATE_TEST_SUITE_P(
    Files, ValCorpus,
    testing::Values(
        CorpusCase{"joins/A.db", {"parent Reference A -> C.DB cascade 1>2"}},
        CorpusCase{"joins/B.db", {"parent Reference B -> C.DB cascade 1>3"}},
        CorpusCase{"joins/C.DB",
                   {"1 required", "2 required", "child Reference A -> A.db cascade 2>1",
                    "child Reference B -> B.db cascade 3>1"}},
        CorpusCase{"joins/fk1.db", {"child reference -> primary.db cascade 2>1"}},
        CorpusCase{"joins/fk2.db", {"child reference -> primary.db prohibit 2>1"}},
        CorpusCase{"joins/fk3.db", {"child reference -> primary.db prohibit 3>1"}},
        CorpusCase{"joins/fk4.db", {"child reference -> two.db cascade 2,4>1,2"}},
        CorpusCase{"joins/multiple.db",
                   {"2 required", "3 picture [(*3{#}) ]*3{#}-*4{#}",
                    "child fk2 -> primary.db cascade 4>1",
                    "child fk_multiple_primary -> primary.db cascade 2>1",
                    "parent to_multiple -> to_multiple.db cascade 1>2"}},
        CorpusCase{"joins/to_multiple.db", {"child to_multiple -> multiple.DB cascade 2>1"}},
        CorpusCase{"joins/primary.db",
                   {"parent fk_multiple_primary -> multiple.DB cascade 1>2",
                    "parent reference -> fk2.DB prohibit 1>2", "parent reference -> fk3.db prohibit 1>3",
                    "parent reference -> fk1.DB cascade 1>2", "parent fk2 -> multiple.DB cascade 1>4"}},
        // two.val keeps the rule 0 for fk4, while fk4.val says cascade.
        CorpusCase{"joins/two.db", {"parent reference -> fk4.DB prohibit 1,2>2,4"}},
        CorpusCase{"joins/origin.db", {"2 lookup destination.db type 3"}},
        CorpusCase{"joins/joinb.db", {"1 lookup joina.db type 3"}},
        CorpusCase{"joins/paradox-ascii.db", {"1 required"}},
        CorpusCase{"db/AREACODE.DB", {"1 picture ###", "4 picture &&"}},
        CorpusCase{"areas/ZIPCODES.DB", {"1 picture #####", "2 picture &&"}},
        CorpusCase{"fields/logical.db", {"1 required default true"}},
        CorpusCase{"joins/destination.db", {}}));

TEST_P(ValCorpus, ReadsTheChecksAndLinksTheBytesHold) {
  std::string corpus = CorpusDir("paradox");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  EXPECT_EQ(DescribeTable(corpus + "/" + GetParam().file), GetParam().expected);
}

TEST(ValCorpusFiles, RewritingKeepsEveryByteAndNoFileIsOutdated) {
  std::string corpus = CorpusDir("paradox");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  int files = 0;
  for (const auto& e : fs::recursive_directory_iterator(corpus)) {
    std::string ext = e.path().extension().string();
    if (ext != ".VAL" && ext != ".val") continue;
    const std::string bytes = ReadBytes(e.path().string());
    ValFile f;
    ASSERT_EQ(ParseValFile(e.path().string(), bytes, f), Ok) << LastErrorMessage();
    EXPECT_EQ(SerializeValFile(f), bytes) << e.path();
    ++files;
  }
  EXPECT_EQ(files, 17);
  // Byte 0 follows the change counter of each table.
  for (const char* table : {"joins/C.DB", "joins/primary.db", "db/AREACODE.DB"}) {
    auto t = OpenTable(corpus + "/" + table);
    TableValidity v;
    ASSERT_EQ(LoadValidity(t->path(), t->header(), t->codec(), v), Ok);
    EXPECT_TRUE(v.exists);
    EXPECT_FALSE(v.outdated) << table;
  }
}

struct DamageCase {
  const char* what;
  std::function<void(std::string&)> damage;
  Result code;
  const char* message;
};

class ValDamaged : public testing::TestWithParam<DamageCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, ValDamaged,
    testing::Values(
        DamageCase{"old layout", [](std::string& b) { b[1] = 0x01; }, ErrUnsupportedVersion,
                   "layout version 1 is not supported"},
        DamageCase{"cut short", [](std::string& b) { b.resize(0x100); }, ErrCorruptValidity,
                   "outside the file"},
        DamageCase{"check count too high", [](std::string& b) { b[2] = 3; }, ErrCorruptValidity,
                   "the checks end at 239 but the next part starts at 131"},
        DamageCase{"check of a missing field", [](std::string& b) { b[0x51] = 9; },
                   ErrCorruptValidity, "check 2 names field 10"},
        DamageCase{"links overrun", [](std::string& b) { b[0x83] = 5; }, ErrCorruptValidity,
                   "links are cut short"},
        DamageCase{"undocumented part", [](std::string& b) { b[0x3D] = 1; }, ErrNotSupported,
                   "part of unknown layout"}),
    [](const auto& info) {
      std::string s = info.param.what;
      for (char& c : s) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return s;
    });

TEST_P(ValDamaged, FailsWithAMessageNamingTheFile) {
  std::string corpus = CorpusDir("paradox/joins");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  std::string bytes = ReadBytes(corpus + "/multiple.val");
  GetParam().damage(bytes);
  ValFile f;
  EXPECT_EQ(ParseValFile("X.VAL", bytes, f), GetParam().code);
  EXPECT_NE(LastErrorMessage().find("X.VAL: "), std::string::npos) << LastErrorMessage();
  EXPECT_NE(LastErrorMessage().find(GetParam().message), std::string::npos) << LastErrorMessage();
}

TEST(ValApi, DescriptorsListsAndCountsOfACorpusTable) {
  std::string corpus = CorpusDir("paradox/joins");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  hDBICur cur = 0;
  ASSERT_EQ(OpenTablePath(corpus + "/multiple.db", OpenMode::ReadOnly, cur), Ok) << LastErrorMessage();
  CursorProps p;
  ASSERT_EQ(GetCursorProps(cur, p), Ok);
  EXPECT_EQ(p.valCheckCount, 2);
  EXPECT_EQ(p.refIntCount, 3);
  ValCheckDesc c;
  ASSERT_EQ(GetValCheckDesc(cur, 2, c), Ok);
  EXPECT_EQ(c.fieldNumber, 3);
  EXPECT_EQ(c.picture, "[(*3{#}) ]*3{#}-*4{#}");
  EXPECT_EQ(GetValCheckDesc(cur, 3, c), ErrInvalidParameter);
  EXPECT_NE(LastErrorMessage().find("no validity check number 3"), std::string::npos);
  RefIntDesc l;
  ASSERT_EQ(GetRefIntDesc(cur, 3, l), Ok);
  EXPECT_EQ(l.kind, riMaster);
  EXPECT_EQ(l.otherTable, "to_multiple.db");
  EXPECT_EQ(GetRefIntDesc(cur, 0, l), ErrInvalidParameter);
  CloseCursor(cur);

  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase(corpus, db), Ok) << LastErrorMessage();
  hDBICur list = 0;
  ASSERT_EQ(OpenRefIntList(db, "primary.db", "PARADOX", list), Ok) << LastErrorMessage();
  std::vector<std::string> tables;
  while (GetNextRecord(list, l) == Ok) tables.push_back(l.otherTable + "#" + std::to_string(l.number));
  EXPECT_EQ(tables, (std::vector<std::string>{"multiple.DB#1", "fk2.DB#2", "fk3.db#3", "fk1.DB#4",
                                              "multiple.DB#5"}));
  CloseCursor(list);
  ASSERT_EQ(OpenValCheckList(db, "origin.db", "", list), Ok);
  ASSERT_EQ(GetNextRecord(list, c), Ok);
  EXPECT_EQ(c.lookupTable, "destination.db");
  EXPECT_EQ(c.lookupType, lookupHelpCurrentField);
  EXPECT_EQ(GetNextRecord(list, c), ErrEndOfList);
  CloseCursor(list);
  EXPECT_EQ(OpenValCheckList(db, "origin.db", "DBASE", list), ErrNotSupported);
  EXPECT_EQ(OpenValCheckList(db, "nothere.db", "", list), ErrNotFound);
  CloseDatabase(db);
}

// ---------------------------------------------------------------- pictures

struct PictureCase {
  const char* picture;
  const char* value;
  const char* stored;  // nullptr: no match
};

class Pictures : public testing::TestWithParam<PictureCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, Pictures,
    testing::Values(PictureCase{"###", "123", "123"}, PictureCase{"###", "12", nullptr},
                    PictureCase{"###", "12a", nullptr}, PictureCase{"&&", "ny", "NY"},
                    PictureCase{"~?", "Ab", "ab"}, PictureCase{"!@", "x1", "X1"},
                    PictureCase{"#####[-####]", "12345", "12345"},
                    PictureCase{"#####[-####]", "12345-6789", "12345-6789"},
                    PictureCase{"#####[-####]", "12345-67", nullptr},
                    PictureCase{"{Yes,No}", "no", "No"}, PictureCase{"Yes,No", "YES", "Yes"},
                    PictureCase{"{Yes,No}", "Maybe", nullptr},
                    PictureCase{"[(*3{#}) ]*3{#}-*4{#}", "(408) 555-1234", "(408) 555-1234"},
                    PictureCase{"[(*3{#}) ]*3{#}-*4{#}", "555-1234", "555-1234"},
                    PictureCase{"[(*3{#}) ]*3{#}-*4{#}", "(40) 555-1234", nullptr},
                    PictureCase{"*#", "", ""}, PictureCase{"*#", "0042", "0042"},
                    PictureCase{"*&", "abc", "ABC"}, PictureCase{"#;##", "1#2", "1#2"},
                    PictureCase{"#;,#", "1,2", "1,2"}, PictureCase{"*{ab}c", "ababc", "ababc"},
                    PictureCase{"*{ab}c", "abac", nullptr}, PictureCase{"&*?", "élan", "Élan"}));

TEST_P(Pictures, MatchAndConvert) {
  Picture p;
  std::string error, out;
  ASSERT_TRUE(p.parse(GetParam().picture, error)) << error;
  bool matched = p.match(GetParam().value, out);
  EXPECT_EQ(matched, GetParam().stored != nullptr) << GetParam().picture << " / " << GetParam().value;
  if (matched) {
    EXPECT_EQ(out, GetParam().stored);
  }
}

TEST(PictureSyntax, MalformedPicturesSayWhy) {
  struct {
    const char* picture;
    const char* error;
  } cases[] = {{"{a,b", "'{' is not closed"},
               {"[#", "'[' is not closed"},
               {"##}", "unmatched '}'"},
               {"#;", "';' at the end"},
               {"*", "'*' is not followed"},
               {"", "empty"}};
  for (const auto& c : cases) {
    Picture p;
    std::string error;
    EXPECT_FALSE(p.parse(c.picture, error)) << c.picture;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.picture << ": " << error;
  }
  // Nested repetitions stay within their budget.
  Picture p;
  std::string error, out;
  ASSERT_TRUE(p.parse("*{*{*#}}x", error));
  EXPECT_FALSE(p.match(std::string(60, '1') + "y", out));
}

// ---------------------------------------------------------------- our tables

// A lookup table, a parent and a child with checks of every kind and a link.
class ValTables : public testing::Test {
 protected:
  void SetUp() override {
    TableDesc lookup = Desc(dir_ / "CODES.DB", {Field("Code", pxAlpha, 3)}, 1);
    ASSERT_EQ(CreateParadoxTable(lookup, false), Ok) << LastErrorMessage();
    TableDesc parent = Desc(dir_ / "PARENT.DB", {Field("Id", pxLong), Field("Name", pxAlpha, 20)}, 1);
    ASSERT_EQ(CreateParadoxTable(parent, false), Ok) << LastErrorMessage();
    child_ = ChildDesc();
    ASSERT_EQ(CreateParadoxTable(child_, false), Ok) << LastErrorMessage();
    Insert("CODES.DB", {std::string("AAA")});
    Insert("CODES.DB", {std::string("BBB")});
    Insert("PARENT.DB", {std::int64_t{1}, std::string("one")});
    Insert("PARENT.DB", {std::int64_t{2}, std::string("two")});
  }

  TableDesc ChildDesc() {
    TableDesc d = Desc(dir_ / "CHILD.DB",
                       {Field("No", pxAutoinc), Field("Parent", pxLong), Field("Code", pxAlpha, 3),
                        Field("Qty", pxShort), Field("Phone", pxAlpha, 14), Field("When", pxDate),
                        Field("Flag", pxLogical), Field("Price", pxMoney), Field("Stamp", pxTimestamp)},
                       1);
    ValCheckDesc code;
    code.fieldNumber = 3;
    code.lookupType = lookupHelpCurrentField;
    code.lookupTable = "CODES.DB";
    code.picture = "&&&";
    ValCheckDesc qty;
    qty.fieldNumber = 4;
    qty.hasMin = qty.hasMax = qty.hasDefault = 0xFFFF;
    qty.minValue = Area(pxShort, std::int64_t{1});
    qty.maxValue = Area(pxShort, std::int64_t{100});
    qty.defaultValue = Area(pxShort, std::int64_t{1});
    ValCheckDesc phone;
    phone.fieldNumber = 5;
    phone.picture = "(###)###-####";
    ValCheckDesc when;
    when.fieldNumber = 6;
    when.hasDefault = chkToday;
    ValCheckDesc flag;
    flag.fieldNumber = 7;
    flag.hasDefault = 0xFFFF;
    flag.defaultValue = Area(pxLogical, true);
    ValCheckDesc price;
    price.fieldNumber = 8;
    price.required = 1;
    price.hasMax = 0xFFFF;
    price.maxValue = Area(pxMoney, 999.5);
    ValCheckDesc stamp;
    stamp.fieldNumber = 9;
    stamp.hasMax = chkNow;
    d.checks = {code, qty, phone, when, flag, price, stamp};
    d.refInts = {LinkTo("PARENT.DB", "ToParent", {2}, riCascade)};
    return d;
  }

  hDBICur Open(const std::string& name) {
    hDBICur c = 0;
    EXPECT_EQ(OpenTablePath(dir_ / name, OpenMode::ReadWrite, c), Ok) << LastErrorMessage();
    return c;
  }

  Result Insert(const std::string& name, const std::vector<Value>& values) {
    hDBICur c = Open(name);
    Result r = InsertRecord(c, values);
    std::string message = LastErrorMessage();
    CloseCursor(c);
    if (r) Fail(r, message);
    return r;
  }

  // A child record: parent, code, qty, phone, price; the rest blank.
  std::vector<Value> Child(Value parent, Value code, Value qty, Value phone, Value price) {
    return {Value{}, parent, code, qty, phone, Value{}, Value{}, price, Value{}};
  }

  std::vector<std::vector<Value>> Rows(const std::string& name) {
    auto t = OpenTable(dir_ / name);
    std::vector<std::vector<Value>> rows(t->recordCount());
    for (std::uint32_t i = 0; i < rows.size(); ++i) EXPECT_EQ(t->readRecord(i, rows[i]), Ok);
    return rows;
  }

  TempDir dir_;
  TableDesc child_;
};

void ExpectSameCheck(const ValCheckDesc& a, const ValCheckDesc& b) {
  EXPECT_EQ(a.fieldNumber, b.fieldNumber);
  EXPECT_EQ(a.required, b.required);
  EXPECT_EQ(HasKind(a.hasMin), HasKind(b.hasMin));
  EXPECT_EQ(HasKind(a.hasMax), HasKind(b.hasMax));
  EXPECT_EQ(HasKind(a.hasDefault), HasKind(b.hasDefault));
  if (HasKind(a.hasMin) == chkValue) {
    EXPECT_EQ(a.minValue, b.minValue);
  }
  if (HasKind(a.hasMax) == chkValue) {
    EXPECT_EQ(a.maxValue, b.maxValue);
  }
  if (HasKind(a.hasDefault) == chkValue) {
    EXPECT_EQ(a.defaultValue, b.defaultValue);
  }
  EXPECT_EQ(a.picture, b.picture);
  EXPECT_EQ(a.lookupType, b.lookupType);
  EXPECT_EQ(a.lookupTable, b.lookupTable);
}

TEST_F(ValTables, ReopenWithExactlyTheirDefinitions) {
  hDBICur c = Open("CHILD.DB");
  CursorProps p;
  ASSERT_EQ(GetCursorProps(c, p), Ok);
  ASSERT_EQ(p.valCheckCount, child_.checks.size());
  ASSERT_EQ(p.refIntCount, 1);
  for (std::uint16_t n = 1; n <= p.valCheckCount; ++n) {
    ValCheckDesc got;
    ASSERT_EQ(GetValCheckDesc(c, n, got), Ok);
    SCOPED_TRACE("check " + std::to_string(n));
    ExpectSameCheck(got, child_.checks[n - 1]);
  }
  RefIntDesc link;
  ASSERT_EQ(GetRefIntDesc(c, 1, link), Ok);
  EXPECT_EQ(link.name, "ToParent");
  EXPECT_EQ(link.kind, riDependent);
  EXPECT_EQ(link.otherTable, "PARENT.DB");
  EXPECT_EQ(link.updateRule, riCascade);
  EXPECT_EQ(link.fieldCount, 1);
  EXPECT_EQ(link.thisFields[0], 2);
  EXPECT_EQ(link.otherFields[0], 1);
  CloseCursor(c);

  // The parent lists its new dependent; both files pass the corpus reader
  // and are rewritten byte for byte.
  EXPECT_EQ(DescribeTable(dir_ / "PARENT.DB"),
            (std::vector<std::string>{"parent ToParent -> CHILD.DB cascade 1>2"}));
  for (const char* val : {"CHILD.VAL", "PARENT.VAL"}) {
    const std::string bytes = ReadBytes(dir_ / val);
    ValFile f;
    ASSERT_EQ(ParseValFile(val, bytes, f), Ok) << LastErrorMessage();
    EXPECT_EQ(SerializeValFile(f), bytes);
    EXPECT_EQ(f.version(), 0x0B);
  }
  // TODAY and NOW have no documented place in the .VAL: the side file keeps them.
  EXPECT_EQ(ReadBytes(dir_ / "CHILD.QVC").substr(ReadBytes(dir_ / "CHILD.QVC").find('\n') + 1),
            "6 default TODAY\n9 max NOW\n");
}

TEST_F(ValTables, NewRecordsTakeTheirDefaults) {
  ASSERT_EQ(Insert("CHILD.DB", Child(std::int64_t{1}, std::string("AAA"), Value{}, Value{}, 5.0)), Ok)
      << LastErrorMessage();
  auto rows = Rows("CHILD.DB");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][3], Value(std::int64_t{1}));  // Qty default
  EXPECT_EQ(rows[0][6], Value(true));             // Flag default
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  EXPECT_EQ(rows[0][5], Value(DateValue{DayNumber(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday)}));
  EXPECT_TRUE(IsNull(rows[0][8]));  // a maximum is no default
  // A default never replaces a value given.
  ASSERT_EQ(Insert("CHILD.DB", Child(std::int64_t{1}, Value{}, std::int64_t{7}, Value{}, 5.0)), Ok);
  EXPECT_EQ(Rows("CHILD.DB")[1][3], Value(std::int64_t{7}));
}

struct Refusal {
  const char* what;
  std::vector<Value> record;  // parent, code, qty, phone, price
  Result code;
  const char* message;
};

class ValRefusals : public ValTables, public testing::WithParamInterface<Refusal> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, ValRefusals,
    testing::Values(
        Refusal{"required blank", {std::int64_t{1}, Value{}, Value{}, Value{}, Value{}},
                ErrRequiredField, "field Price is required and was left blank"},
        Refusal{"under minimum", {std::int64_t{1}, Value{}, std::int64_t{0}, Value{}, 1.0},
                ErrBelowMinimum, "field Qty: 0 is below the minimum 1"},
        Refusal{"over maximum", {std::int64_t{1}, Value{}, std::int64_t{101}, Value{}, 1.0},
                ErrAboveMaximum, "field Qty: 101 is above the maximum 100"},
        Refusal{"money over maximum", {std::int64_t{1}, Value{}, Value{}, Value{}, 1000.0},
                ErrAboveMaximum, "field Price: 1000 is above the maximum 999.5"},
        Refusal{"picture", {std::int64_t{1}, Value{}, Value{}, std::string("555-1234"), 1.0},
                ErrPictureMismatch, "\"555-1234\" does not match the picture \"(###)###-####\""},
        Refusal{"lookup miss", {std::int64_t{1}, std::string("zzz"), Value{}, Value{}, 1.0},
                ErrLookupMismatch, "field Code: ZZZ is not in lookup table CODES.DB"},
        Refusal{"child without parent", {std::int64_t{9}, Value{}, Value{}, Value{}, 1.0},
                ErrMasterMissing, "link ToParent: PARENT.DB has no record with the key 9"}),
    [](const auto& info) {
      std::string s = info.param.what;
      for (char& c : s) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return s;
    });

TEST_P(ValRefusals, RefusedWithAClearMessage) {
  const auto& r = GetParam().record;
  EXPECT_EQ(Insert("CHILD.DB", Child(r[0], r[1], r[2], r[3], r[4])), GetParam().code);
  EXPECT_NE(LastErrorMessage().find(GetParam().message), std::string::npos) << LastErrorMessage();
  EXPECT_NE(LastErrorMessage().find("CHILD.DB: "), std::string::npos) << LastErrorMessage();
  EXPECT_TRUE(Rows("CHILD.DB").empty());
}

TEST_F(ValTables, PicturesConvertAndBlankLinksNeedNoParent) {
  ASSERT_EQ(Insert("CHILD.DB", Child(Value{}, std::string("bbb"), Value{}, std::string("(408)555-1234"), 2.0)),
            Ok)
      << LastErrorMessage();
  auto rows = Rows("CHILD.DB");
  EXPECT_EQ(rows[0][2], Value(std::string("BBB")));  // '&' makes letters uppercase
  EXPECT_TRUE(IsNull(rows[0][1]));
  // An update is checked like an insert.
  hDBICur c = Open("CHILD.DB");
  ASSERT_EQ(SetToRecordNo(c, 1), Ok);
  std::vector<Value> v = rows[0];
  v[3] = std::int64_t{500};
  EXPECT_EQ(ModifyRecord(c, v), ErrAboveMaximum);
  v[3] = std::int64_t{50};
  v[1] = std::int64_t{3};
  EXPECT_EQ(ModifyRecord(c, v), ErrMasterMissing);
  v[1] = std::int64_t{2};
  EXPECT_EQ(ModifyRecord(c, v), Ok) << LastErrorMessage();
  CloseCursor(c);
}

TEST_F(ValTables, ParentsWithChildrenAreKeptAndKeyChangesCascade) {
  ASSERT_EQ(Insert("CHILD.DB", Child(std::int64_t{1}, Value{}, Value{}, Value{}, 1.0)), Ok);
  ASSERT_EQ(Insert("CHILD.DB", Child(std::int64_t{1}, Value{}, Value{}, Value{}, 2.0)), Ok);
  hDBICur parent = Open("PARENT.DB");
  ASSERT_EQ(SetToRecordNo(parent, 1), Ok);
  EXPECT_EQ(DeleteRecord(parent), ErrDetailsExist);
  EXPECT_NE(LastErrorMessage().find("PARENT.DB: the record with key 1 has dependent records in "
                                    "CHILD.DB (link ToParent); it cannot be deleted"),
            std::string::npos)
      << LastErrorMessage();
  // Cascade: the children follow the new key.
  ASSERT_EQ(ModifyRecord(parent, {std::int64_t{10}, std::string("ten")}), Ok) << LastErrorMessage();
  for (const auto& row : Rows("CHILD.DB")) EXPECT_EQ(row[1], Value(std::int64_t{10}));
  // A parent without children may go.
  ASSERT_EQ(SetToRecordNo(parent, 1), Ok);
  std::vector<Value> first;
  ASSERT_EQ(GetRecord(parent, first), Ok);
  EXPECT_EQ(first[0], Value(std::int64_t{2}));
  EXPECT_EQ(DeleteRecord(parent), Ok) << LastErrorMessage();
  CloseCursor(parent);
}

TEST_F(ValTables, ProhibitRuleRefusesKeyChangesWhileChildrenExist) {
  TableDesc d = Desc(dir_ / "ORDERS.DB", {Field("No", pxLong), Field("Parent", pxLong)}, 1);
  d.refInts = {LinkTo("parent.db", "Orders", {2}, riRestrict)};
  ASSERT_EQ(CreateParadoxTable(d, false), Ok) << LastErrorMessage();
  ASSERT_EQ(Insert("ORDERS.DB", {std::int64_t{1}, std::int64_t{2}}), Ok) << LastErrorMessage();
  EXPECT_EQ(DescribeTable(dir_ / "PARENT.DB"),
            (std::vector<std::string>{"parent ToParent -> CHILD.DB cascade 1>2",
                                      "parent Orders -> ORDERS.DB prohibit 1>2"}));
  hDBICur parent = Open("PARENT.DB");
  ASSERT_EQ(SetToRecordNo(parent, 2), Ok);
  EXPECT_EQ(ModifyRecord(parent, {std::int64_t{20}, std::string("x")}), ErrDetailsExist);
  EXPECT_NE(LastErrorMessage().find("the link prohibits changing its key"), std::string::npos);
  // Other fields may change.
  EXPECT_EQ(ModifyRecord(parent, {std::int64_t{2}, std::string("x")}), Ok) << LastErrorMessage();
  CloseCursor(parent);
}

TEST_F(ValTables, ReplacingTheChildUpdatesTheParentsList) {
  TableDesc plain = child_;
  plain.checks.clear();
  plain.refInts.clear();
  ASSERT_EQ(CreateParadoxTable(plain, true), Ok) << LastErrorMessage();
  EXPECT_FALSE(fs::exists(dir_ / "CHILD.VAL"));
  EXPECT_FALSE(fs::exists(dir_ / "CHILD.QVC"));
  EXPECT_FALSE(fs::exists(dir_ / "PARENT.VAL"));  // nothing is left in it
  ASSERT_EQ(CreateParadoxTable(child_, true), Ok) << LastErrorMessage();
  ASSERT_EQ(CreateParadoxTable(child_, true), Ok) << LastErrorMessage();
  EXPECT_EQ(DescribeTable(dir_ / "PARENT.DB"),
            (std::vector<std::string>{"parent ToParent -> CHILD.DB cascade 1>2"}));
  // A parent replaced with another key would leave its children dangling.
  TableDesc other = Desc(dir_ / "PARENT.DB", {Field("Id", pxAlpha, 5)}, 1);
  EXPECT_EQ(CreateParadoxTable(other, true), ErrDetailsExist);
  TableDesc same = Desc(dir_ / "PARENT.DB", {Field("Id", pxLong), Field("More", pxAlpha, 9)}, 1);
  ASSERT_EQ(CreateParadoxTable(same, true), Ok) << LastErrorMessage();
  EXPECT_EQ(DescribeTable(dir_ / "PARENT.DB"),
            (std::vector<std::string>{"parent ToParent -> CHILD.DB cascade 1>2"}));
}

TEST_F(ValTables, BadDefinitionsAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    const char* what;
    std::function<void(TableDesc&)> change;
    Result code;
    const char* message;
  };
  const Case cases[] = {
      {"parent missing", [](TableDesc& d) { d.refInts[0].otherTable = "NONE.DB"; },
       ErrInvalidParameter, "parent table \"NONE.DB\" does not exist"},
      {"not the parent key", [](TableDesc& d) { d.refInts[0].otherFields[0] = 2; },
       ErrInvalidParameter, "must be its key fields"},
      {"type mismatch", [](TableDesc& d) { d.refInts[0].thisFields[0] = 3; }, ErrInvalidParameter,
       "field Code does not have the type of the parent's key field 1"},
      {"min above max",
       [](TableDesc& d) { d.checks[1].minValue = Area(pxShort, std::int64_t{200}); },
       ErrInvalidParameter, "the minimum is larger than the maximum"},
      {"bad picture", [](TableDesc& d) { d.checks[2].picture = "{###"; }, ErrInvalidParameter,
       "'{' is not closed"},
      {"lookup missing", [](TableDesc& d) { d.checks[0].lookupTable = "GONE.DB"; },
       ErrInvalidParameter, "lookup table GONE.DB does not exist"},
      {"TODAY on a number", [](TableDesc& d) { d.checks[1].hasDefault = chkToday; },
       ErrInvalidParameter, "TODAY does not suit its type"},
      {"no such field", [](TableDesc& d) { d.checks[1].fieldNumber = 30; }, ErrInvalidParameter,
       "names field 30"},
      {"cascading deletes", [](TableDesc& d) { d.refInts[0].deleteRule = riCascade; },
       ErrNotSupported, "can only be refused deletion"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TableDesc d = ChildDesc();
    d.tableName = dir_ / "NEW.DB";
    c.change(d);
    EXPECT_EQ(CreateParadoxTable(d, false), c.code);
    EXPECT_NE(LastErrorMessage().find(c.message), std::string::npos) << LastErrorMessage();
    for (const auto& e : fs::directory_iterator(dir_.path()))
      EXPECT_EQ(e.path().filename().string().rfind("NEW.", 0), std::string::npos) << e.path();
  }
  EXPECT_EQ(DescribeTable(dir_ / "PARENT.DB"),
            (std::vector<std::string>{"parent ToParent -> CHILD.DB cascade 1>2"}));
}

// ---------------------------------------------------------------- corpus enforcement

class ValCorpusTables : public testing::Test {
 protected:
  void SetUp() override {
    std::string corpus = CorpusDir("paradox/joins");
    if (corpus.empty()) GTEST_SKIP() << "corpus absent";
    for (const auto& e : fs::directory_iterator(corpus)) {
      fs::path to = fs::path(dir_.path()) / e.path().filename();
      fs::copy_file(e.path(), to);
      fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write);
    }
  }
  TempDir dir_;
};

TEST_F(ValCorpusTables, LinksOfRealFilesAreEnforced) {
  hDBICur c = 0;
  ASSERT_EQ(OpenTablePath(dir_ / "C.DB", OpenMode::ReadWrite, c), Ok) << LastErrorMessage();
  EXPECT_EQ(InsertRecord(c, {std::int64_t{4}, std::int64_t{9}, std::int64_t{4}}), ErrMasterMissing);
  EXPECT_NE(LastErrorMessage().find("link Reference A: A.db has no record with the key 9"),
            std::string::npos)
      << LastErrorMessage();
  EXPECT_EQ(InsertRecord(c, {std::int64_t{4}, Value{}, std::int64_t{4}}), ErrRequiredField);
  EXPECT_EQ(InsertRecord(c, {std::int64_t{4}, std::int64_t{3}, std::int64_t{6}}), Ok) << LastErrorMessage();
  CloseCursor(c);

  hDBICur a = 0;
  ASSERT_EQ(OpenTablePath(dir_ / "A.db", OpenMode::ReadWrite, a), Ok);
  ASSERT_EQ(SetToRecordNo(a, 1), Ok);
  EXPECT_EQ(DeleteRecord(a), ErrDetailsExist);
  ASSERT_EQ(ModifyRecord(a, {std::int64_t{7}}), Ok) << LastErrorMessage();  // A.VAL: cascade
  CloseCursor(a);
  std::vector<std::int64_t> linked;
  auto t = OpenTable(dir_ / "C.DB");
  for (std::uint32_t i = 0; i < t->recordCount(); ++i) {
    std::vector<Value> row;
    ASSERT_EQ(t->readRecord(i, row), Ok);
    linked.push_back(std::get<std::int64_t>(row[1]));
  }
  EXPECT_EQ(linked, (std::vector<std::int64_t>{7, 2, 3, 3}));

  // origin.FK must exist in destination's first field.
  ASSERT_EQ(OpenTablePath(dir_ / "origin.db", OpenMode::ReadWrite, c), Ok);
  EXPECT_EQ(InsertRecord(c, {Value{}, std::int64_t{2}}), ErrLookupMismatch);
  EXPECT_EQ(InsertRecord(c, {Value{}, std::int64_t{1}}), Ok) << LastErrorMessage();
  CloseCursor(c);
}
