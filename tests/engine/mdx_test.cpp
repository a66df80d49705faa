// The production index of dBASE tables: keys of the three types, whole
// builds walked back in key order, damaged files refused, changes record by
// record that leave the same trees as a whole build, and key expressions.
#include "engine/dbase/mdx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/io/journal.h"
#include "tests/support/files.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::dbase;

namespace {

std::string Hex(std::string_view s) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Numeric(std::string_view text) {
  std::string key;
  EXPECT_EQ(NumericKey(text, key), Ok) << text;
  return key;
}

// ---- A generated table: NAME C(12), CITY C(10), AMOUNT N(10,2), BORN D ----

const std::vector<MdxField> kFields = {
    {"NAME", 'C', 12, 0, 1}, {"CITY", 'C', 10, 0, 13}, {"AMOUNT", 'N', 10, 2, 23}, {"BORN", 'D', 8, 0, 33}};
constexpr std::size_t kRecordLength = 41;

struct Row {
  std::string name, city;
  long long cents;
  int day;  // 0 = blank
};

std::string Pad(std::string s, std::size_t n, bool right = false) {
  if (s.size() >= n) return s.substr(0, n);
  return right ? std::string(n - s.size(), ' ') + s : s + std::string(n - s.size(), ' ');
}

std::string RecordBytes(const Row& r) {
  const long long a = r.cents < 0 ? -r.cents : r.cents;
  std::string cents = std::to_string(a % 100);
  std::string amount = (r.cents < 0 ? "-" : "") + std::to_string(a / 100) + "." + Pad(std::string(2 - cents.size(), '0') + cents, 2);
  std::string date = "        ";
  if (r.day) {
    int y, m, d;
    SplitDayNumber(r.day, y, m, d);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
    date = buf;
  }
  return " " + Pad(r.name, 12) + Pad(r.city, 10) + Pad(amount, 10, true) + date;
}

std::vector<Row> MakeRows(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<std::string> names, cities;
  for (int i = 0; i < 300; ++i) {
    std::string s;
    const int len = 1 + static_cast<int>(gen() % 12);
    for (int k = 0; k < len; ++k) s += static_cast<char>((gen() % 2 ? 'a' : 'A') + gen() % 26);
    names.push_back(s);
  }
  for (int i = 0; i < 40; ++i) cities.push_back("CITY" + std::to_string(i * 7919 % 1000));
  std::vector<Row> rows;
  for (std::size_t i = 0; i < n; ++i) {
    Row r;
    r.name = names[gen() % names.size()];
    r.city = cities[gen() % cities.size()];
    r.cents = static_cast<long long>(gen() % 2000001) - 1000000;  // duplicates and negatives
    r.day = gen() % 10 == 0 ? 0 : DayNumber(1900, 1, 1) + static_cast<int>(gen() % 40000);
    rows.push_back(r);
  }
  return rows;
}

struct TagUse {
  const char* name;
  const char* expression;
  bool unique = false;
  bool descending = false;
  bool evenOnly = false;  // FOR condition: even record numbers
};

const std::vector<TagUse> kTagUses = {
    {"NAME", "UPPER(NAME)"},
    {"CITYNAME", "CITY+NAME"},
    {"AMOUNT", "AMOUNT"},
    {"BORN", "BORN", false, true},
    {"CITY", "CITY", true},
    {"STAMP", "DTOS(BORN)+STR(AMOUNT,12,2)", false, false, true},
    // 82-byte keys, 11 to a node: trees four levels deep.
    {"WIDE", "UPPER(NAME)+CITY+NAME+NAME+NAME+NAME+NAME", false, true},
};

struct Indexed {
  std::vector<MdxTagDef> defs;
  std::vector<KeyExpression> exprs;
};

Indexed Define(const std::vector<TagUse>& uses) {
  Indexed ix;
  for (const TagUse& s : uses) {
    KeyExpression e;
    EXPECT_EQ(KeyExpression::Parse(s.expression, kFields, e), Ok) << s.expression;
    MdxTagDef d;
    d.name = s.name;
    d.keyExpression = s.expression;
    d.forExpression = s.evenOnly ? "MOD(RECNO(),2)=0" : "";
    d.keyType = e.keyType();
    d.keyLength = e.keyLength();
    d.unique = s.unique;
    d.descending = s.descending;
    ix.defs.push_back(d);
    ix.exprs.push_back(e);
  }
  return ix;
}

MdxRecordKeys KeysOf(const Indexed& ix, const std::vector<TagUse>& uses, std::uint32_t record, const Row& row) {
  MdxRecordKeys k;
  k.record = record;
  const std::string bytes = RecordBytes(row);
  for (std::size_t t = 0; t < ix.exprs.size(); ++t) {
    std::string key;
    EXPECT_EQ(ix.exprs[t].evaluate(bytes, key), Ok);
    k.keys.push_back(key);
    k.included.push_back(!uses[t].evenOnly || record % 2 == 0);
  }
  return k;
}

class VectorSource : public KeySource {
 public:
  explicit VectorSource(std::vector<MdxRecordKeys> all) : all_(std::move(all)) {}
  Result next(MdxRecordKeys& keys, bool& end) override {
    end = at_ == all_.size();
    if (!end) keys = all_[at_++];
    return Ok;
  }

 private:
  std::vector<MdxRecordKeys> all_;
  std::size_t at_ = 0;
};

// Records (1-based numbers, 0 = gone) by the table's rows.
std::vector<MdxRecordKeys> AllKeys(const Indexed& ix, const std::vector<TagUse>& uses,
                                   const std::map<std::uint32_t, Row>& rows) {
  std::vector<MdxRecordKeys> out;
  for (const auto& [rec, row] : rows) out.push_back(KeysOf(ix, uses, rec, row));
  return out;
}

using Entries = std::vector<std::pair<std::string, std::uint32_t>>;

Entries Scan(const std::string& path, const std::string& tag) {
  Entries e;
  const Result r = ScanTag(path, tag, [&](std::string_view key, std::uint32_t rec) {
    e.emplace_back(std::string(key), rec);
    return true;
  });
  EXPECT_EQ(r, Ok) << LastErrorMessage();
  return e;
}

// The expected record order of a tag, worked out from the rows' values (not
// from the key bytes): name upper-cased, city + name, amount in cents, day.
std::vector<std::uint32_t> Expected(const TagUse& use, const std::map<std::uint32_t, Row>& rows) {
  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  std::vector<std::pair<std::string, std::uint32_t>> order;  // sortable text, record
  for (const auto& [rec, row] : rows) {
    if (use.evenOnly && rec % 2) continue;
    const std::string tag = use.name;
    char buf[64];
    std::string k;
    if (tag == "NAME") {
      k = Pad(upper(row.name), 12);
    } else if (tag == "CITYNAME") {
      k = Pad(row.city, 10) + Pad(row.name, 12);
    } else if (tag == "CITY") {
      k = Pad(row.city, 10);
    } else if (tag == "AMOUNT") {
      std::snprintf(buf, sizeof buf, "%020lld", row.cents + 100000000000LL);
      k = buf;
    } else if (tag == "BORN") {
      std::snprintf(buf, sizeof buf, "%010d", row.day);
      k = buf;
    } else if (tag == "WIDE") {
      k = Pad(upper(row.name), 12) + Pad(row.city, 10);
      for (int i = 0; i < 5; ++i) k += Pad(row.name, 12);
    } else {  // STAMP: text, so negative amounts order by their characters
      k = "        ";
      if (row.day) {
        int y, m, d;
        SplitDayNumber(row.day, y, m, d);
        std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
        k = buf;
      }
      std::snprintf(buf, sizeof buf, "%12.2f", static_cast<double>(row.cents) / 100);
      k += buf;
    }
    order.emplace_back(k, rec);
  }
  std::stable_sort(order.begin(), order.end(), [&](const auto& a, const auto& b) {
    if (a.first != b.first) return use.descending ? a.first > b.first : a.first < b.first;
    return a.second < b.second;
  });
  std::vector<std::uint32_t> recs;
  for (std::size_t i = 0; i < order.size(); ++i)
    if (!use.unique || i == 0 || order[i].first != order[i - 1].first) recs.push_back(order[i].second);
  return recs;
}

Result Build(const std::string& path, const Indexed& ix, const std::vector<TagUse>& uses,
             const std::map<std::uint32_t, Row>& rows) {
  VectorSource source(AllKeys(ix, uses, rows));
  return WriteMdx(path, "PEOPLE", ix.defs, source);
}

std::map<std::uint32_t, Row> Numbered(const std::vector<Row>& rows) {
  std::map<std::uint32_t, Row> m;
  for (std::size_t i = 0; i < rows.size(); ++i) m[static_cast<std::uint32_t>(i + 1)] = rows[i];
  return m;
}

// ---- Keys ----

TEST(MdxKeys, NumericKeysArePackedDecimalThatRoundTrips) {
  EXPECT_EQ(Hex(Numeric("20.50")), "36 0D 20 50 00 00 00 00 00 00 00 00");
  EXPECT_EQ(Hex(Numeric("-20.5")), "36 8D 20 50 00 00 00 00 00 00 00 00");
  EXPECT_EQ(Hex(Numeric("0.05")), "33 05 50 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(Numeric("0"), Numeric("   "));
  EXPECT_EQ(Numeric("-0.00"), Numeric("0"));
  for (const char* text : {"0", "1", "-1", "20.5", "0.05", "-0.000123", "12345678901234567890", "1000000",
                           "-99999999999999.99", "0.1"}) {
    std::string back;
    ASSERT_EQ(NumericKeyText(Numeric(text), back), Ok);
    EXPECT_EQ(back, text);
  }
  std::string key;
  EXPECT_EQ(NumericKey("12a", key), ErrInvalidValue);
  EXPECT_EQ(NumericKey("123456789012345678901", key), ErrInvalidValue);  // 21 digits
  EXPECT_EQ(NumericKey("1.2.3", key), ErrInvalidValue);
}

TEST(MdxKeys, NumericKeysCompareByValue) {
  const std::vector<double> values = {-1e6, -20.5, -20.05, -3, -0.5, -0.05, 0, 0.001, 0.05, 0.5, 1, 9.99, 10, 20.5, 100, 1e12};
  for (std::size_t i = 0; i < values.size(); ++i)
    for (std::size_t j = 0; j < values.size(); ++j) {
      std::string a, b;
      ASSERT_EQ(EncodeKey('N', 12, Value{values[i]}, a), Ok);
      ASSERT_EQ(EncodeKey('N', 12, Value{values[j]}, b), Ok);
      EXPECT_EQ(CompareKeys('N', a, b), (i > j) - (i < j)) << values[i] << " vs " << values[j];
    }
}

TEST(MdxKeys, DateKeysAreJulianDayNumbers) {
  auto julian = [](DateValue d) {
    double v;
    const std::string k = DateKey(d);
    std::memcpy(&v, k.data(), 8);
    return v;
  };
  EXPECT_EQ(julian(DateValue{DayNumber(2000, 1, 1)}), 2451545.0);
  EXPECT_EQ(julian(DateValue{DayNumber(1, 1, 1)}), 1721426.0);
  EXPECT_EQ(julian(DateValue{DayNumber(1858, 11, 17)}), 2400001.0);
  EXPECT_EQ(julian(DateValue{}), 0.0);
  DateValue back;
  ASSERT_EQ(DateKeyValue(DateKey(DateValue{DayNumber(1999, 12, 31)}), back), Ok);
  EXPECT_EQ(back.day, DayNumber(1999, 12, 31));
  EXPECT_LT(CompareKeys('D', DateKey(DateValue{}), DateKey(DateValue{DayNumber(1, 1, 1)})), 0);
  EXPECT_LT(CompareKeys('D', DateKey(DateValue{DayNumber(1999, 12, 31)}), DateKey(DateValue{DayNumber(2000, 1, 1)})), 0);
  EXPECT_EQ(DateKeyValue("\x01\x02\x03\x04\x05\x06\x07\x08", back), ErrInvalidValue);
}

TEST(MdxKeys, ValuesBecomeKeysOfTheirType) {
  std::string k;
  ASSERT_EQ(EncodeKey('C', 5, Value{std::string("ab")}, k), Ok);
  EXPECT_EQ(k, "ab   ");
  ASSERT_EQ(EncodeKey('C', 3, Value{std::string("abcdef")}, k), Ok);
  EXPECT_EQ(k, "abc");
  ASSERT_EQ(EncodeKey('C', 3, Value{}, k), Ok);
  EXPECT_EQ(k, "   ");
  ASSERT_EQ(EncodeKey('N', 12, Value{std::int64_t{-42}}, k), Ok);
  EXPECT_EQ(k, Numeric("-42"));
  ASSERT_EQ(EncodeKey('N', 12, Value{BcdValue{"12.30"}}, k), Ok);
  EXPECT_EQ(k, Numeric("12.3"));
  ASSERT_EQ(EncodeKey('N', 12, Value{0.1}, k), Ok);
  EXPECT_EQ(k, Numeric("0.1"));
  ASSERT_EQ(EncodeKey('D', 8, Value{DateValue{5}}, k), Ok);
  EXPECT_EQ(k, DateKey(DateValue{5}));
  EXPECT_EQ(EncodeKey('D', 8, Value{std::int64_t{1}}, k), ErrInvalidValue);
  EXPECT_EQ(EncodeKey('N', 12, Value{1.0 / 0.0}, k), ErrInvalidValue);
  EXPECT_EQ(EncodeKey('X', 8, Value{}, k), ErrInvalidParameter);
}

// ---- Whole builds ----

class MdxBuild : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_ / "PEOPLE.MDX";
};

TEST_F(MdxBuild, EveryTagWalksBackInKeyOrderAndComplete) {
  const auto rows = Numbered(MakeRows(6000, 7));
  const Indexed ix = Define(kTagUses);
  ASSERT_EQ(Build(path_, ix, kTagUses, rows), Ok) << LastErrorMessage();

  MdxFile mdx;
  ASSERT_EQ(ReadMdx(path_, mdx), Ok) << LastErrorMessage();
  EXPECT_EQ(mdx.dbfName, "PEOPLE");
  EXPECT_EQ(mdx.blockSize, 1024);
  EXPECT_TRUE(mdx.production);
  EXPECT_EQ(mdx.firstFreePage, 0u);
  EXPECT_EQ(static_cast<std::uint64_t>(mdx.pages) * 512, mdx.fileSize);
  ASSERT_EQ(mdx.tags.size(), kTagUses.size());
  for (std::size_t t = 0; t < kTagUses.size(); ++t) {
    const MdxTag& tag = mdx.tags[t];
    SCOPED_TRACE(tag.name);
    EXPECT_EQ(tag.name, kTagUses[t].name);
    EXPECT_EQ(tag.keyExpression, kTagUses[t].expression);
    EXPECT_EQ(tag.keyType, ix.defs[t].keyType);
    EXPECT_EQ(tag.keyLength, ix.defs[t].keyLength);
    EXPECT_EQ(tag.unique, kTagUses[t].unique);
    EXPECT_EQ(tag.descending, kTagUses[t].descending);
    EXPECT_EQ(tag.forExpression, ix.defs[t].forExpression);

    const Entries got = Scan(path_, tag.name);
    const std::vector<std::uint32_t> want = Expected(kTagUses[t], rows);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i].second, want[i]) << "entry " << i;
      ASSERT_EQ(got[i].first, KeysOf(ix, kTagUses, want[i], rows.at(want[i])).keys[t]);
    }
  }
  EXPECT_EQ(mdx.findTag("amount")->keyType, 'N');
  EXPECT_EQ(CheckMdx(path_), Ok) << LastErrorMessage();
}

TEST_F(MdxBuild, EmptyAndOneRecordTables) {
  const Indexed ix = Define(kTagUses);
  for (std::size_t n : {0, 1}) {
    const auto rows = Numbered(MakeRows(n, 3));
    ASSERT_EQ(Build(path_, ix, kTagUses, rows), Ok) << LastErrorMessage();
    EXPECT_EQ(CheckMdx(path_), Ok) << LastErrorMessage();
    EXPECT_EQ(Scan(path_, "NAME").size(), n);
    EXPECT_EQ(Scan(path_, "STAMP").size(), 0u);  // record 1 is odd
  }
}

TEST_F(MdxBuild, RefusesWhatItCannotWrite) {
  Indexed ix = Define({{"NAME", "NAME"}});
  VectorSource none({});
  auto refused = [&](std::vector<MdxTagDef> defs) {
    VectorSource src({});
    return WriteMdx(path_, "T", defs, src);
  };
  MdxTagDef d = ix.defs[0];
  d.name = "name";
  EXPECT_EQ(refused({d}), ErrInvalidParameter);
  d.name = "TOOLONGNAME";
  EXPECT_EQ(refused({d}), ErrInvalidParameter);
  d = ix.defs[0];
  d.keyLength = 101;
  EXPECT_EQ(refused({d}), ErrInvalidParameter);
  EXPECT_EQ(refused({ix.defs[0], ix.defs[0]}), ErrInvalidParameter);
  EXPECT_EQ(refused(std::vector<MdxTagDef>(48, ix.defs[0])), ErrInvalidParameter);
  // A key of the wrong size from the source, and the partial file is gone.
  MdxRecordKeys k{1, {"short"}, {}};
  VectorSource bad({k});
  EXPECT_EQ(WriteMdx(path_, "T", ix.defs, bad), ErrInvalidParameter);
  EXPECT_FALSE(std::filesystem::exists(path_));
}

// ---- Damaged files ----

class MdxDamage : public MdxBuild {
 protected:
  void SetUp() override {
    const auto rows = Numbered(MakeRows(3000, 11));
    ASSERT_EQ(Build(path_, Define(kTagUses), kTagUses, rows), Ok);
    ASSERT_EQ(ReadMdx(path_, mdx_), Ok);
    good_ = *Slurp(path_);
  }
  static std::uint32_t At32(const std::string& s, std::size_t o) {
    std::uint32_t v;
    std::memcpy(&v, s.data() + o, 4);
    return v;
  }
  static void Set32(std::string& s, std::size_t o, std::uint32_t v) { std::memcpy(s.data() + o, &v, 4); }
  // Every way in: header, every tag's scan and the full check.
  Result ReadAll() {
    MdxFile mdx;
    if (Result r = ReadMdx(path_, mdx)) return r;
    for (const MdxTag& tag : mdx.tags)
      if (Result r = ScanTag(mdx, tag, [](std::string_view, std::uint32_t) { return true; })) return r;
    return CheckMdx(path_);
  }
  MdxFile mdx_;
  std::string good_;
};

TEST_F(MdxDamage, BadPagesLoopsAndCountsFailCleanly) {
  const MdxTag& tag = mdx_.tags[0];
  const std::size_t root = tag.rootPage * 512;
  ASSERT_NE(At32(good_, root + 8 + At32(good_, root) * tag.itemLength), 0u) << "the root is interior";

  std::string bad = good_;
  Set32(bad, root + 8, tag.rootPage);  // the first child is the root itself
  Put(path_, bad);
  EXPECT_EQ(ReadAll(), ErrCorruptIndex);
  EXPECT_NE(LastErrorMessage().find("twice"), std::string::npos) << LastErrorMessage();

  bad = good_;
  Set32(bad, root + 8, 1);  // into the header
  Put(path_, bad);
  EXPECT_EQ(ReadAll(), ErrCorruptIndex);

  bad = good_;
  Set32(bad, root + 8, 0x7FFFFFFF);  // far past the end
  Put(path_, bad);
  EXPECT_EQ(ReadAll(), ErrCorruptIndex);

  bad = good_;
  Set32(bad, root, 100000);  // more keys than a node holds
  Put(path_, bad);
  EXPECT_EQ(ReadAll(), ErrCorruptIndex);

  bad = good_;
  Set32(bad, tag.headerPage * 512, 0xFFFFFFF0);  // root page
  Put(path_, bad);
  EXPECT_EQ(ReadAll(), ErrCorruptIndex);

  bad = good_;
  bad[28] = static_cast<char>(200);  // tags in use
  Put(path_, bad);
  EXPECT_EQ(ReadAll(), ErrCorruptHeader);
}

TEST_F(MdxDamage, ChangesToADamagedTreeFailCleanly) {
  const MdxTag& tag = mdx_.tags[0];
  std::string bad = good_;
  const std::size_t root = tag.rootPage * 512;
  for (std::uint32_t i = 0; i <= At32(good_, root); ++i) Set32(bad, root + 8 + i * tag.itemLength, tag.rootPage);
  Put(path_, bad);
  io::Transaction tx;
  ASSERT_EQ(tx.begin(dir_ / "journal"), Ok);
  MdxWriter w;
  ASSERT_EQ(w.open(tx, path_), Ok);
  EXPECT_EQ(w.insertKey(0, CharKey("", tag.keyLength), 1), ErrCorruptIndex);
  EXPECT_EQ(w.insertKey(0, CharKey("\xff", tag.keyLength), 1), ErrCorruptIndex);
  ASSERT_EQ(tx.rollback(), Ok);
  EXPECT_TRUE(*Slurp(path_) == bad);
}

TEST_F(MdxDamage, TruncatedFilesFailCleanly) {
  Put(path_, good_.substr(0, good_.size() / 2));
  EXPECT_EQ(ReadAll(), ErrCorruptHeader);
  EXPECT_NE(LastErrorMessage().find("truncated"), std::string::npos);
  // Cut, with the header made to agree: the tree still points past the end.
  std::string cut = good_.substr(0, good_.size() / 2);
  Set32(cut, 32, static_cast<std::uint32_t>(cut.size() / 512));
  Put(path_, cut);
  EXPECT_NE(ReadAll(), Ok);
  Put(path_, good_.substr(0, 1000));
  EXPECT_EQ(ReadAll(), ErrCorruptHeader);
}

TEST_F(MdxDamage, RandomDamageNeverCrashesOrHangs) {
  std::mt19937 gen(5);
  int refused = 0;
  for (int round = 0; round < 300; ++round) {
    std::string bad = good_;
    for (int k = 0; k < 4; ++k) bad[gen() % bad.size()] = static_cast<char>(gen());
    if (round % 3 == 0) bad[2048 + gen() % (bad.size() - 2048) / 4 * 4] = static_cast<char>(gen() % 8);
    Put(path_, bad);
    refused += ReadAll() != Ok;
  }
  EXPECT_GT(refused, 0);
}

// ---- Changes record by record ----

class MdxChange : public MdxBuild {
 protected:
  // Applies a change in one transaction. With the table's rows at hand, a
  // key that leaves a unique tag passes to the next record that has it.
  Result Apply(const std::function<Result(MdxWriter&)>& change, const Indexed* ix = nullptr,
               const std::map<std::uint32_t, Row>* rows = nullptr) {
    io::Transaction tx;
    if (Result r = tx.begin(dir_ / "journal")) return r;
    MdxWriter w;
    if (rows)
      w.setNextHolder([&](std::size_t t, std::string_view key, std::uint32_t leaving, std::uint32_t& next) -> Result {
        next = 0;
        for (const auto& [rec, row] : *rows) {
          if (rec == leaving || (kTagUses[t].evenOnly && rec % 2)) continue;
          std::string k;
          const std::string bytes = RecordBytes(row);
          if (Result r = ix->exprs[t].evaluate(bytes, k)) return r;
          if (k == key) {
            next = rec;
            break;
          }
        }
        return Ok;
      });
    if (Result r = w.open(tx, path_)) return r;
    if (Result r = change(w)) return r;
    return tx.commit();
  }
  // The index equals a whole build of the same rows, tag by tag.
  void ExpectSameAsWholeBuild(const Indexed& ix, const std::map<std::uint32_t, Row>& rows) {
    ASSERT_EQ(CheckMdx(path_), Ok) << LastErrorMessage();
    const std::string fresh = dir_ / "FRESH.MDX";
    VectorSource source(AllKeys(ix, kTagUses, rows));
    ASSERT_EQ(WriteMdx(fresh, "PEOPLE", ix.defs, source), Ok);
    for (const TagUse& s : kTagUses) {
      SCOPED_TRACE(s.name);
      const Entries got = Scan(path_, s.name), want = Scan(fresh, s.name);
      ASSERT_EQ(got.size(), want.size());
      for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], want[i]) << "entry " << i;
    }
  }
};

TEST_F(MdxChange, InsertsRemovesAndReplacesLeaveTheTreesOfAWholeBuild) {
  const Indexed ix = Define(kTagUses);
  const std::vector<Row> all = MakeRows(5000, 21);
  std::map<std::uint32_t, Row> rows;
  for (std::uint32_t i = 1; i <= 1000; ++i) rows[i] = all[i - 1];
  ASSERT_EQ(Build(path_, ix, kTagUses, rows), Ok);

  // Appends, in a few transactions.
  for (std::uint32_t from = 1001; from <= 5000; from += 1000) {
    ASSERT_EQ(Apply([&](MdxWriter& w) -> Result {
                for (std::uint32_t i = from; i < from + 1000; ++i) {
                  rows[i] = all[i - 1];
                  if (Result r = w.insert(KeysOf(ix, kTagUses, i, rows[i]))) return r;
                }
                return Ok;
              }),
              Ok)
        << LastErrorMessage();
  }
  ExpectSameAsWholeBuild(ix, rows);

  // Remove most records and change others: nodes merge, blocks go free.
  std::mt19937 gen(4);
  ASSERT_EQ(Apply([&](MdxWriter& w) -> Result {
              for (std::uint32_t i = 1; i <= 5000; ++i) {
                if (gen() % 10 < 7) {
                  if (Result r = w.remove(KeysOf(ix, kTagUses, i, rows[i]))) return r;
                  rows.erase(i);
                } else if (gen() % 3 == 0) {
                  Row changed = all[gen() % all.size()];
                  if (Result r = w.replace(KeysOf(ix, kTagUses, i, rows[i]), KeysOf(ix, kTagUses, i, changed))) return r;
                  rows[i] = changed;
                }
              }
              return Ok;
            }, &ix, &rows),
            Ok)
      << LastErrorMessage();
  ExpectSameAsWholeBuild(ix, rows);
  MdxFile after;
  ASSERT_EQ(ReadMdx(path_, after), Ok);
  EXPECT_GT(after.freeBlocks, 0u);

  // Growing again takes the free blocks before the file grows.
  const std::uint32_t pagesBefore = after.pages;
  ASSERT_EQ(Apply([&](MdxWriter& w) -> Result {
              for (std::uint32_t i = 6001; i <= 6300; ++i) {
                rows[i] = all[i % all.size()];
                if (Result r = w.insert(KeysOf(ix, kTagUses, i, rows[i]))) return r;
              }
              return Ok;
            }, &ix, &rows),
            Ok);
  ASSERT_EQ(ReadMdx(path_, after), Ok);
  EXPECT_EQ(after.pages, pagesBefore);
  ExpectSameAsWholeBuild(ix, rows);

  // Down to nothing: every tree is one empty root leaf.
  ASSERT_EQ(Apply([&](MdxWriter& w) -> Result {
              while (!rows.empty()) {
                if (Result r = w.remove(KeysOf(ix, kTagUses, rows.begin()->first, rows.begin()->second))) return r;
                rows.erase(rows.begin());
              }
              return Ok;
            }, &ix, &rows),
            Ok)
      << LastErrorMessage();
  ExpectSameAsWholeBuild(ix, rows);
}

TEST_F(MdxChange, OneInsertTouchesOnlyAFewPages) {
  const Indexed ix = Define(kTagUses);
  const auto rows = Numbered(MakeRows(4000, 8));
  ASSERT_EQ(Build(path_, ix, kTagUses, rows), Ok);
  const std::string before = *Slurp(path_);
  io::Transaction tx;
  ASSERT_EQ(tx.begin(dir_ / "journal"), Ok);
  MdxWriter w;
  ASSERT_EQ(w.open(tx, path_), Ok);
  ASSERT_EQ(w.insert(KeysOf(ix, kTagUses, 4001, rows.at(17))), Ok);
  // Each tag: at most a split leaf, its new neighbour and a split parent up
  // to a new root; and the header - each within a 4 KiB page of the journal.
  EXPECT_LE(tx.pendingBytes(), (kTagUses.size() * 8 + 1) * 4096u);
  EXPECT_LT(tx.pendingBytes(), before.size() / 4);
  ASSERT_EQ(tx.rollback(), Ok);
  EXPECT_TRUE(*Slurp(path_) == before) << "rolled back: the file is as it was";
  EXPECT_EQ(Scan(path_, "NAME").size(), 4000u);
}

TEST_F(MdxChange, UniqueTagsKeepTheFirstRecordOfAKey) {
  const std::vector<TagUse> uses = {{"CITY", "CITY", true}};
  const Indexed ix = Define(uses);
  ASSERT_EQ(Build(path_, ix, uses, {}), Ok);
  const std::string a = CharKey("A", 10), b = CharKey("B", 10);
  ASSERT_EQ(Apply([&](MdxWriter& w) -> Result {
              Result r = Ok;
              for (auto [key, rec] : std::vector<std::pair<std::string, std::uint32_t>>{{a, 5}, {a, 9}, {b, 7}, {a, 3}})
                if (!r) r = w.insertKey(0, key, rec);
              if (!r) r = w.removeKey(0, b, 8);  // not held: nothing changes
              return r;
            }),
            Ok);
  EXPECT_EQ(Scan(path_, "CITY"), (Entries{{a, 3}, {b, 7}}));
  EXPECT_EQ(CheckMdx(path_), Ok);
}

TEST_F(MdxChange, AMissingEntryIsReportedNotIgnored) {
  const Indexed ix = Define(kTagUses);
  const auto rows = Numbered(MakeRows(50, 2));
  ASSERT_EQ(Build(path_, ix, kTagUses, rows), Ok);
  Row other = rows.at(1);
  other.name = "NOBODY";
  EXPECT_EQ(Apply([&](MdxWriter& w) { return w.remove(KeysOf(ix, kTagUses, 1, other)); }), ErrCorruptIndex);
  EXPECT_EQ(Apply([&](MdxWriter& w) { return w.insertKey(0, "short", 1); }), ErrInvalidParameter);
  EXPECT_EQ(Scan(path_, "NAME").size(), 50u);
}

// ---- Key expressions ----

TEST(MdxExpression, EvaluatesTheCommonForms) {
  Row r{"Smith", "Oslo", -123456, DayNumber(1987, 6, 5)};
  const std::string rec = RecordBytes(r);
  auto eval = [&](const char* text, char type = 'C') {
    KeyExpression e;
    EXPECT_EQ(KeyExpression::Parse(text, kFields, e), Ok) << text << ": " << LastErrorMessage();
    EXPECT_EQ(e.keyType(), type) << text;
    std::string key;
    EXPECT_EQ(e.evaluate(rec, key), Ok) << text;
    EXPECT_EQ(key.size(), e.keyLength()) << text;
    return key;
  };
  EXPECT_EQ(eval("name"), "Smith       ");
  EXPECT_EQ(eval("UPPER( Name )"), "SMITH       ");
  EXPECT_EQ(eval("CITY+NAME"), "Oslo      Smith       ");
  EXPECT_EQ(eval("upper(city + name)"), "OSLO      SMITH       ");
  EXPECT_EQ(eval("DTOS(BORN)+NAME"), "19870605Smith       ");
  EXPECT_EQ(eval("STR(AMOUNT,10,2)"), "  -1234.56");
  EXPECT_EQ(eval("STR(AMOUNT)"), "     -1235");  // rounded half away from zero
  EXPECT_EQ(eval("STR(AMOUNT,8,1)"), " -1234.6");
  EXPECT_EQ(eval("STR(AMOUNT,4)"), "****");
  EXPECT_EQ(eval("AMOUNT", 'N'), Numeric("-1234.56"));
  EXPECT_EQ(eval("BORN", 'D'), DateKey(DateValue{DayNumber(1987, 6, 5)}));

  const std::string blank = " " + std::string(40, ' ');
  KeyExpression e;
  std::string key;
  ASSERT_EQ(KeyExpression::Parse("BORN", kFields, e), Ok);
  ASSERT_EQ(e.evaluate(blank, key), Ok);
  EXPECT_EQ(key, DateKey(DateValue{}));
  ASSERT_EQ(KeyExpression::Parse("AMOUNT", kFields, e), Ok);
  ASSERT_EQ(e.evaluate(blank, key), Ok);
  EXPECT_EQ(key, Numeric("0"));
  std::string dirty = rec;
  dirty.replace(33, 8, "19871340");
  ASSERT_EQ(KeyExpression::Parse("BORN", kFields, e), Ok);
  EXPECT_EQ(e.evaluate(dirty, key), ErrInvalidValue);
  EXPECT_EQ(e.evaluate(rec.substr(0, 40), key), ErrInvalidParameter);  // BORN ends at 41
}

TEST(MdxExpression, RefusesWhatItDoesNotKnow) {
  KeyExpression e;
  for (const char* text : {"SUBSTR(NAME,1,3)", "NAME+AMOUNT", "UPPER(AMOUNT)", "AMOUNT+AMOUNT", "DTOS(NAME)",
                           "STR(NAME,5)", "NAME+", "(NAME)", "NAME NAME", "STR(AMOUNT,5,7)", ""}) {
    EXPECT_EQ(KeyExpression::Parse(text, kFields, e), ErrNotSupported) << text;
    EXPECT_NE(LastErrorMessage().find(std::string("\"") + text + "\""), std::string::npos) << LastErrorMessage();
  }
  EXPECT_EQ(KeyExpression::Parse("NOSUCH", kFields, e), ErrInvalidFieldName);
  const std::vector<MdxField> wide = {{"A", 'C', 60, 0, 1}, {"B", 'C', 60, 0, 61}};
  EXPECT_EQ(KeyExpression::Parse("A+B", wide, e), ErrNotSupported);  // 120 bytes
}

}  // namespace
