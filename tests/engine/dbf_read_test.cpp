// Reading dBASE tables: every table of the corpus, against the structures
// and records other programs saw in them, the level 7 binary types, code
// pages, and files that lack their memo file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/dbase/dbtable.h"
#include "tests/support/dbtables.h"
#include "tests/support/files.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::dbase;
using dbtables::OpenOk;
using dbtables::Row;
using dbtables::Show;

namespace {

std::string Corpus(const std::string& file = "") {
  const std::string dir = CorpusDir("dbase");
  return dir.empty() || file.empty() ? dir : dir + "/" + file;
}

#define REQUIRE_CORPUS()                                   \
  if (Corpus().empty()) GTEST_SKIP() << "no dBASE corpus"

std::vector<std::string> CorpusTables() {
  std::vector<std::string> out;
  if (Corpus().empty()) return out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(Corpus())) {
    std::string ext = e.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    if (e.is_regular_file() && ext == ".dbf") out.push_back(e.path().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::int32_t Day(int y, int m, int d) { return DayNumber(y, m, d); }

// ---------------------------------------------------------------- corpus

TEST(DbfCorpus, EveryTableOpensAndReadsEveryRecord) {
  REQUIRE_CORPUS();
  const auto tables = CorpusTables();
  ASSERT_GE(tables.size(), 30u);
  for (const std::string& path : tables) {
    SCOPED_TRACE(path);
    auto t = OpenOk(path);
    ASSERT_TRUE(t);
    EXPECT_GT(t->recordCount(), 0u);
    std::vector<Value> values;
    for (std::uint32_t i = 0; i < t->recordCount(); ++i) {
      ASSERT_EQ(t->readRecord(i, values), Ok) << "record " << i << ": " << LastErrorMessage();
      ASSERT_EQ(values.size(), t->fields().size());
    }
    std::vector<FieldDesc> descs = t->fieldDescs();
    ASSERT_EQ(descs.size(), t->fields().size());
    for (std::size_t i = 0; i < descs.size(); ++i) {
      EXPECT_EQ(descs[i].number, i + 1);
      EXPECT_NE(descs[i].type, 0) << t->fields()[i].name;
    }
  }
}

// The *_summary.txt files list what another reader found: the version, the
// encoding when the file names one, whether there is a memo file, the record
// count and every field.
struct Summary {
  int records = -1;
  bool memo = false;
  std::string encoding;
  struct Field {
    std::string name;
    std::string type;
    int length, decimals;
  };
  std::vector<Field> fields;
};

Summary ReadSummary(const std::string& path) {
  Summary s;
  std::ifstream in(path);
  std::string line;
  bool inFields = false;
  while (std::getline(in, line)) {
    if (line.rfind("Records: ", 0) == 0) s.records = std::stoi(line.substr(9));
    if (line.rfind("Memo File: ", 0) == 0) s.memo = line.substr(11) == "true";
    if (line.rfind("Encoding: ", 0) == 0) s.encoding = line.substr(10);
    if (line.rfind("-----", 0) == 0) {
      inFields = true;
      continue;
    }
    if (!inFields || line.find_first_not_of(' ') == std::string::npos) continue;
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string x; words >> x;) w.push_back(x);
    if (w.size() < 4) continue;
    Summary::Field f;
    f.decimals = std::stoi(w.back());
    f.length = std::stoi(w[w.size() - 2]);
    f.type = w[w.size() - 3];
    for (std::size_t i = 0; i + 3 < w.size(); ++i) f.name += (i ? " " : "") + w[i];
    s.fields.push_back(f);
  }
  return s;
}

TEST(DbfCorpus, StructuresMatchTheSummaries) {
  REQUIRE_CORPUS();
  int checked = 0;
  for (const auto& e : std::filesystem::directory_iterator(Corpus("infused"))) {
    const std::string file = e.path().filename().string();
    const std::string suffix = "_summary.txt";
    if (file.size() <= suffix.size() || file.substr(file.size() - suffix.size()) != suffix)
      continue;
    const std::string table = Corpus("infused/" + file.substr(0, file.size() - suffix.size()) + ".dbf");
    SCOPED_TRACE(table);
    const Summary s = ReadSummary(e.path().string());
    auto t = OpenOk(table);
    ASSERT_TRUE(t);
    EXPECT_EQ(static_cast<int>(t->recordCount()), s.records);
    EXPECT_EQ(!t->fields().empty() && std::any_of(t->fields().begin(), t->fields().end(),
                                                   [](const DbfField& f) { return f.isMemo(); }),
              s.memo);
    if (s.encoding == "cp1251") {
      EXPECT_EQ(t->codec().codePage(), 1251);
    }
    // FoxPro's _NullFlags (type 0) is the table's own bookkeeping, not a
    // field users see.
    std::vector<Summary::Field> expected;
    for (const auto& f : s.fields)
      if (f.type != "0") expected.push_back(f);
    ASSERT_EQ(t->fields().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const DbfField& f = t->fields()[i];
      SCOPED_TRACE(expected[i].name);
      EXPECT_EQ(f.name, expected[i].name);
      EXPECT_EQ(std::string(1, f.type), expected[i].type);
      EXPECT_EQ(f.length, expected[i].length);
      // dBASE II keeps decimals that the summary's reader ignored: the
      // records hold "6.000" in PAYRATE, N 8 with 3 decimals.
      if (file != "dbase_02_summary.txt") {
        EXPECT_EQ(f.decimals, expected[i].decimals);
      }
    }
    ++checked;
  }
  EXPECT_EQ(checked, 10);
}

// The *.yml files hold records as another reader saw them: numbers, quoted
// texts (double quotes with escapes, folded over lines), true/false, and an
// empty item for nil.
std::vector<std::string> YamlItems(const std::string& path) {
  const std::string text = *Slurp(path);
  std::vector<std::string> items;  // raw items, quotes kept
  std::size_t i = text.find("---");
  i = i == std::string::npos ? 0 : i + 3;
  while (i < text.size()) {
    const std::size_t dash = text.find("- ", i);
    const std::size_t bare = text.find("-\n", i);
    std::size_t at = std::min(dash, bare);
    if (at == std::string::npos) break;
    if (at == bare) {
      items.push_back("");
      i = at + 2;
      continue;
    }
    at += 2;
    if (text[at] == '"') {
      std::string raw = "\"";
      std::size_t k = at + 1;
      for (; k < text.size() && text[k] != '"'; ++k) {
        if (text[k] == '\\') {
          raw += text[k++];
          raw += text[k];
        } else if (text[k] == '\n') {
          // A line break inside a quoted item folds into one space.
          raw += ' ';
          while (k + 1 < text.size() && text[k + 1] == ' ') ++k;
        } else {
          raw += text[k];
        }
      }
      items.push_back(raw + "\"");
      i = k + 1;
    } else {
      const std::size_t end = text.find('\n', at);
      items.push_back(text.substr(at, end - at));
      i = end == std::string::npos ? text.size() : end;
    }
  }
  return items;
}

bool SameAsYaml(const Value& v, const std::string& item) {
  if (item.empty()) return IsNull(v);
  if (item == "true" || item == "false") return v == Value{item == "true"};
  if (item.front() == '"' || item.front() == '\'') {
    std::string s;
    for (std::size_t k = 1; k + 1 < item.size(); ++k) {
      if (item.front() == '"' && item[k] == '\\') {
        const char c = item[++k];
        s += c == 'r' ? '\r' : c == 'n' ? '\n' : c;
      } else {
        s += item[k];
      }
    }
    return v == Value{s};
  }
  char* end = nullptr;
  const double expected = std::strtod(item.c_str(), &end);
  if (*end != '\0') return v == Value{item};  // a plain text
  if (auto i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i) == expected;
  if (auto d = std::get_if<double>(&v)) return std::fabs(*d - expected) < 1e-9;
  return false;
}

TEST(DbfCorpus, RecordsMatchTheFixtures) {
  REQUIRE_CORPUS();
  struct Case {
    const char* table;
    std::uint32_t record;
    const char* yaml;
  } cases[] = {{"dbase_83.dbf", 0, "dbase_83_record_0.yml"},
               {"dbase_83.dbf", 9, "dbase_83_record_9.yml"},
               {"dbase_83_missing_memo.dbf", 0, "dbase_83_missing_memo_record_0.yml"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.yaml);
    auto t = OpenOk(Corpus(std::string("infused/") + c.table));
    ASSERT_TRUE(t);
    Row row;
    ASSERT_EQ(t->readRecord(c.record, row), Ok) << LastErrorMessage();
    const auto items = YamlItems(Corpus(std::string("infused/") + c.yaml));
    ASSERT_EQ(items.size(), row.size());
    for (std::size_t i = 0; i < row.size(); ++i)
      EXPECT_TRUE(SameAsYaml(row[i], items[i])) << t->fields()[i].name << ": " << Show(row[i])
                                                << " vs " << items[i];
  }
}

TEST(DbfCorpus, MissingMemoFileLeavesTheRecordsReadableAndTheTableReadOnly) {
  REQUIRE_CORPUS();
  TempDir dir;
  const std::string path = dbtables::CopyInto(dir.path(), {Corpus("infused/dbase_83_missing_memo.dbf")});
  auto t = OpenOk(path, true);
  ASSERT_TRUE(t);
  EXPECT_TRUE(t->memoMissing());
  EXPECT_NE(t->memoProblem().find("dbase_83_missing_memo.dbt"), std::string::npos)
      << t->memoProblem();
  Row row;
  ASSERT_EQ(t->readRecord(0, row), Ok);
  EXPECT_TRUE(IsNull(row[11]));
  std::string why;
  EXPECT_FALSE(t->canWrite(why));
  EXPECT_EQ(t->setDeleted(0, true), ErrReadOnly);
  EXPECT_NE(LastErrorMessage().find("memo file"), std::string::npos) << LastErrorMessage();
  EXPECT_EQ(Slurp(path), Slurp(Corpus("infused/dbase_83_missing_memo.dbf")));
}

TEST(DbfCorpus, MemoFileIsFoundWhateverTheCaseOfItsName) {
  REQUIRE_CORPUS();
  TempDir dir;
  std::filesystem::copy_file(Corpus("infused/dbase_8b.dbf"), dir / "Mixed.DBF");
  std::filesystem::copy_file(Corpus("infused/dbase_8b.dbt"), dir / "mixed.dbt");
  auto t = OpenOk(dir / "Mixed.DBF");
  ASSERT_TRUE(t);
  EXPECT_FALSE(t->memoMissing());
  Row row;
  ASSERT_EQ(t->readRecord(1, row), Ok);
  EXPECT_EQ(row[5], Value{std::string("Second memo")});
}

// ----------------------------------------------------- levels and types

TEST(DbfLevels, AreTakenFromTheVersionByteAndTheFields) {
  REQUIRE_CORPUS();
  struct Case {
    const char* file;
    int level;
    Flavor flavor;
  } cases[] = {
      {"infused/dbase_02.dbf", 2, Flavor::Dbase2},
      {"infused/dbase_03.dbf", 3, Flavor::Dbase},
      {"infused/dbase_83.dbf", 3, Flavor::Dbase},
      {"infused/dbase_8b.dbf", 4, Flavor::Dbase},  // 0x8B with F, no B or G
      {"phpxbase/dBaseIV.dbf", 4, Flavor::Dbase},
      {"phpxbase/dBaseVII.dbf", 7, Flavor::Dbase},
      {"infused/dbase_8c.dbf", 7, Flavor::Dbase},
      {"infused/dbase_30.dbf", 3, Flavor::FoxPro},
      {"infused/dbase_f5.dbf", 3, Flavor::FoxPro},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    auto t = OpenOk(Corpus(c.file));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->level(), c.level);
    EXPECT_EQ(t->flavor(), c.flavor);
  }
}

TEST(DbfLevel7, BinaryIntegersDoublesAndTimestamps) {
  REQUIRE_CORPUS();
  auto ints = OpenOk(Corpus("phpxbase/dBaseVII_int.dbf"));
  ASSERT_TRUE(ints);
  std::vector<Value> expectInts = {std::int64_t{1},       std::int64_t{-1},
                                   std::int64_t{5000000}, std::int64_t{-5000000},
                                   std::int64_t{2147483647}, std::int64_t{-2147483647}};
  auto rows = dbtables::AllRows(*ints);
  ASSERT_EQ(rows.size(), expectInts.size());
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i][0], expectInts[i]) << i;

  auto doubles = OpenOk(Corpus("phpxbase/dBaseVII_double.dbf"));
  ASSERT_TRUE(doubles);
  rows = dbtables::AllRows(*doubles);
  const double expectDoubles[] = {-199.99, -74.62, 43.65, 150.48, 0.0};
  ASSERT_EQ(rows.size(), 5u);
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i][0], Value{expectDoubles[i]}) << i;

  // Milliseconds from 0001-01-01 (day 1): the same scale as the engine's.
  auto stamps = OpenOk(Corpus("phpxbase/dBaseVII_ts.dbf"));
  ASSERT_TRUE(stamps);
  rows = dbtables::AllRows(*stamps);
  const auto deleted = dbtables::Deleted(*stamps);
  ASSERT_EQ(rows.size(), 15u);
  const std::int32_t days[] = {Day(1601, 1, 1), Day(1970, 1, 1), Day(1900, 1, 1), Day(2000, 1, 1),
                               Day(2000, 1, 10)};
  const std::size_t at[] = {0, 3, 6, 9, 14};
  for (int k = 0; k < 5; ++k)
    EXPECT_EQ(rows[at[k]][0], Value{TimestampValue{days[k] * 86400000.0}}) << at[k];
  for (std::size_t i = 0; i < 15; ++i) EXPECT_EQ(deleted[i], i < 6) << i;
}

TEST(DbfLevel7, AutoincrementValuesAndCounter) {
  REQUIRE_CORPUS();
  auto t = OpenOk(Corpus("infused/dbase_8c.dbf"));
  ASSERT_TRUE(t);
  EXPECT_EQ(t->fieldDescs()[0].type, dbAutoinc);
  EXPECT_EQ(t->fields()[3].name, "Length CM");  // level 7 names may hold blanks
  const auto rows = dbtables::AllRows(*t);
  for (std::size_t i = 0; i < rows.size(); ++i)
    EXPECT_EQ(rows[i][0], Value{std::int64_t(i + 1)});
  EXPECT_TRUE(t->hasProductionIndex());
  EXPECT_EQ(t->languageDriverName(), "DB437US0");
}

TEST(DbfFoxPro, TypesOfTheFoxProVariantsRead) {
  REQUIRE_CORPUS();
  auto t = OpenOk(Corpus("infused/dbase_31.dbf"));
  ASSERT_TRUE(t);
  Row row;
  ASSERT_EQ(t->readRecord(0, row), Ok);
  EXPECT_EQ(Show(row), "(1, \"Chai\", 1, 1, \"10 boxes x 20 bags\", 18, 39, 0, 10, false)");
  auto v = OpenOk(Corpus("infused/dbase_32.dbf"));  // a varchar with its length in the last byte
  ASSERT_TRUE(v);
  ASSERT_EQ(v->readRecord(0, row), Ok);
  EXPECT_EQ(row[0], Value{std::string("Bad Meets Evil")});
  auto memo = OpenOk(Corpus("infused/dbase_30.dbf"));  // .FPT memos, T date-times
  ASSERT_TRUE(memo);
  ASSERT_EQ(memo->readRecord(0, row), Ok);
  EXPECT_EQ(row[10], Value{std::string("Domestic Life\r\nWeddings\r\n")});
  std::string why;
  auto w = OpenOk(Corpus("infused/dbase_31.dbf"), false);
  EXPECT_FALSE(w->canWrite(why));
}

// ------------------------------------------------------------ code pages

TEST(DbfCodePages, FromTheDriverIdTheDriverNameOrUtf8Names) {
  REQUIRE_CORPUS();
  auto cp1251 = OpenOk(Corpus("infused/cp1251.dbf"));
  ASSERT_TRUE(cp1251);
  Row row;
  ASSERT_EQ(cp1251->readRecord(0, row), Ok);
  EXPECT_EQ(row[1], Value{std::string("амбулаторно-поликлиническое")});

  // ID 0xF0 names no code page; the field names are UTF-8, and so is the text.
  auto cyrillic = OpenOk(Corpus("infused/dbase_03_cyrillic.dbf"));
  ASSERT_TRUE(cyrillic);
  EXPECT_EQ(cyrillic->fields()[0].name, "ШАР");
  ASSERT_EQ(cyrillic->readRecord(1, row), Ok);
  EXPECT_EQ(row[0], Value{std::string("Культ")});

  auto mazovia = OpenOk(Corpus("infused/mazovia.dbf"));
  ASSERT_TRUE(mazovia);
  EXPECT_EQ(mazovia->codec().codePage(), 667);
  EXPECT_EQ(mazovia->codec().toUtf8("\x86\x8d\x91\x92\xa4\xa2\x9e\xa6\xa7"), "ąćęłńóśźż");

  auto seven = OpenOk(Corpus("phpxbase/dBaseVII.dbf"));  // level 7: the name, DB866RU0
  ASSERT_TRUE(seven);
  EXPECT_EQ(seven->codec().codePage(), 866);

  auto unnamed = OpenOk(Corpus("infused/dbase_83.dbf"));  // ID 0
  ASSERT_TRUE(unnamed);
  EXPECT_EQ(unnamed->codec().codePage(), 437);
}

// The same tables saved with the Czech DOS driver (Kamenicky) and with the
// Windows one: read with the code page each carries (the Windows one given
// by hand: its header says 1252 but the text is 1250), their texts agree.
TEST(DbfCodePages, KamenickyTextEqualsTheSameTextIn1250) {
  REQUIRE_CORPUS();
  for (const std::string name : {"Zbozi_A", "Prodej_A"}) {
    SCOPED_TRACE(name);
    auto dos = OpenOk(Corpus("czpilar/2012-04-16_dbase_7/" + name + "nef.dbf"));
    auto win = OpenOk(Corpus("czpilar/2012-04-16_dbase_7/" + name + ".dbf"), false, 1250);
    ASSERT_TRUE(dos && win);
    EXPECT_EQ(dos->codec().codePage(), 895);
    ASSERT_EQ(dos->recordCount(), win->recordCount());
    int accented = 0;
    for (std::uint32_t i = 0; i < dos->recordCount(); ++i) {
      Row a, b;
      ASSERT_EQ(dos->readRecord(i, a), Ok);
      ASSERT_EQ(win->readRecord(i, b), Ok);
      for (std::size_t f = 0; f < a.size(); ++f) {
        if (dos->fields()[f].type != 'C') continue;
        EXPECT_EQ(a[f], b[f]) << "record " << i << " field " << dos->fields()[f].name;
        if (auto s = std::get_if<std::string>(&a[f]))
          accented += std::any_of(s->begin(), s->end(), [](char c) { return c & 0x80; });
      }
    }
    if (name == "Zbozi_A") {
      EXPECT_GT(accented, 5);
    }
  }
}

}  // namespace
