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
using dbtables::Canonical;
using dbtables::OpenOk;
using dbtables::Row;
using dbtables::Show;

namespace {

std::string Corpus(const std::string& file = "") {
  const std::string dir = CorpusDir("dbase");
  return dir.empty() || file.empty() ? dir : dir + "/" + file;
}

#define REQUIRE_CORPUS() \
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

// The *_summary.txt files list what another reader found: the record
// count and every field's name, type, length and decimals. FoxPro's
// _NullFlags (type 0) is bookkeeping, not a field users see; the summary of
// dBASE II shows no decimals where the records hold "6.000" (N 8, 3).
std::string Normalized(const std::string& line) {
  std::istringstream words(line);
  std::string out;
  for (std::string w; words >> w;) out += (out.empty() ? "" : " ") + w;
  return out;
}

TEST(DbfCorpus, StructuresMatchTheSummaries) {
  REQUIRE_CORPUS();
  int checked = 0;
  for (const auto& e : std::filesystem::directory_iterator(Corpus("infused"))) {
    const std::string file = e.path().filename().string();
    const std::size_t cut = file.rfind("_summary.txt");
    if (cut == std::string::npos) continue;
    SCOPED_TRACE(file);
    auto t = OpenOk(Corpus("infused/" + file.substr(0, cut) + ".dbf"));
    ASSERT_TRUE(t);
    std::vector<std::string> expected, ours = {"Records: " + std::to_string(t->recordCount())};
    for (const DbfField& f : t->fields())
      ours.push_back(f.name + " " + f.type + " " + std::to_string(f.length) + " " +
                     std::to_string(file == "dbase_02_summary.txt" ? 0 : f.decimals));
    std::istringstream in(*Slurp(e.path().string()));
    bool fields = false;
    for (std::string line; std::getline(in, line);) {
      line = Normalized(line);
      if (line.rfind("Records: ", 0) == 0) expected.push_back(line);
      if (fields && !line.empty() && line.find(" 0 ") != line.find(' ')) expected.push_back(line);
      fields = fields || line.rfind("-----", 0) == 0;
    }
    EXPECT_EQ(ours, expected);
    ++checked;
  }
  EXPECT_EQ(checked, 10);
}

// The *.yml files hold records as another reader saw them: an item per
// field ("- " starting a line), texts plain, 'single' or "double" quoted
// (escapes, lines folded into spaces), numbers, true/false, nothing for nil.
std::vector<std::string> YamlItems(const std::string& path) {
  std::vector<std::string> raw;
  std::istringstream in(*Slurp(path));
  for (std::string line; std::getline(in, line);) {
    const std::size_t dash = line.find_first_not_of(' ');
    if (dash != std::string::npos && line.compare(dash, 1, "-") == 0 && line != "---")
      raw.push_back(line.size() > dash + 2 ? line.substr(dash + 2) : "");
    else if (!raw.empty())
      raw.back() += " " + line.substr(line.find_first_not_of(' '));
  }
  std::vector<std::string> items;
  for (const std::string& r : raw) {
    std::string v;
    if (r.empty() || (r[0] != '"' && r[0] != '\'')) {
      char* end = nullptr;
      const double number = std::strtod(r.c_str(), &end);
      v = r == "true" ? "T" : r == "false" ? "F" : !r.empty() && *end == 0 ? Canonical(number) : r;
    } else {
      for (std::size_t k = 1; k + 1 < r.size(); ++k) {
        const bool escape = r[0] == '"' && r[k] == '\\';
        const char c = escape ? r[++k] : r[k];
        v += !escape ? c : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
      }
    }
    items.push_back(v);
  }
  return items;
}

TEST(DbfCorpus, RecordsMatchTheFixtures) {
  REQUIRE_CORPUS();
  for (const auto& [table, record, yaml] :
       {std::tuple{"dbase_83.dbf", 0u, "dbase_83_record_0.yml"},
        std::tuple{"dbase_83.dbf", 9u, "dbase_83_record_9.yml"},
        std::tuple{"dbase_83_missing_memo.dbf", 0u, "dbase_83_missing_memo_record_0.yml"}}) {
    SCOPED_TRACE(yaml);
    auto t = OpenOk(Corpus(std::string("infused/") + table));
    ASSERT_TRUE(t);
    Row row;
    ASSERT_EQ(t->readRecord(record, row), Ok) << LastErrorMessage();
    std::vector<std::string> ours;
    for (const Value& v : row) ours.push_back(Canonical(v));
    EXPECT_EQ(ours, YamlItems(Corpus(std::string("infused/") + yaml)));
  }
}

TEST(DbfCorpus, MissingMemoFileLeavesTheRecordsReadableAndTheTableReadOnly) {
  REQUIRE_CORPUS();
  TempDir dir;
  const std::string path =
      dbtables::CopyInto(dir.path(), {Corpus("infused/dbase_83_missing_memo.dbf")});
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

// A field of every record, deleted ones marked with *, as one text.
std::string Column(DbaseTable& t, std::size_t field) {
  std::string out;
  const auto deleted = dbtables::Deleted(t);
  const auto rows = dbtables::AllRows(t);
  for (std::size_t i = 0; i < rows.size(); ++i)
    out += (i ? "|" : "") + std::string(deleted[i] ? "*" : "") + Canonical(rows[i][field]);
  return out;
}

TEST(DbfLevels, LevelsFlavorsAndLevel7Types) {
  REQUIRE_CORPUS();
  for (const auto& [file, level, flavor] :
       {std::tuple{"infused/dbase_02.dbf", 2, Flavor::Dbase2},
        std::tuple{"infused/dbase_83.dbf", 3, Flavor::Dbase},
        std::tuple{"infused/dbase_8b.dbf", 4, Flavor::Dbase},  // 0x8B with F, no B or G
        std::tuple{"phpxbase/dBaseVII.dbf", 7, Flavor::Dbase},
        std::tuple{"infused/dbase_30.dbf", 3, Flavor::FoxPro}}) {
    auto t = OpenOk(Corpus(file));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->level(), level) << file;
    EXPECT_EQ(t->flavor(), flavor) << file;
  }
  // Big-endian with the sign bit flipped (all zeros: NULL), doubles in
  // order-preserving form, timestamps in milliseconds from day 1.
  EXPECT_EQ(Column(*OpenOk(Corpus("phpxbase/dBaseVII_int.dbf")), 0),
            "1|-1|5000000|-5000000|2147483647|-2147483647");
  EXPECT_EQ(Column(*OpenOk(Corpus("phpxbase/dBaseVII_double.dbf")), 0),
            "-199.99|-74.62|43.65|150.48|0");
  EXPECT_EQ(Column(*OpenOk(Corpus("phpxbase/dBaseVII_ts.dbf")), 0),
            "*1601-01-01 00:00:00|*1601-01-02 00:00:00|*1601-01-03 00:00:00|"
            "*1970-01-01 00:00:00|*1970-01-02 00:00:00|*1970-01-03 00:00:00|"
            "1900-01-01 00:00:00|1900-01-02 00:00:00|1900-01-03 00:00:00|"
            "2000-01-01 00:00:00|2000-01-02 00:00:00|2000-01-03 00:00:00|"
            "2000-01-04 00:00:00|2000-01-05 00:00:00|2000-01-10 00:00:00");
  auto fish = OpenOk(Corpus("infused/dbase_8c.dbf"));  // autoincrement, names with blanks
  EXPECT_EQ(Column(*fish, 0), "1|2|3|4|5|6|7|8|9|10");
  EXPECT_EQ(fish->fields()[3].name, "Length CM");
  EXPECT_EQ(fish->fieldDescs()[0].type, dbAutoinc);
}

TEST(DbfFoxPro, TypesOfTheFoxProVariantsRead) {
  REQUIRE_CORPUS();
  auto t = OpenOk(Corpus("infused/dbase_31.dbf"));  // I little-endian, Y currency
  Row row;
  ASSERT_EQ(t->readRecord(0, row), Ok);
  EXPECT_EQ(Show(row), "(1, \"Chai\", 1, 1, \"10 boxes x 20 bags\", 18, 39, 0, 10, F)");
  std::string why;
  EXPECT_FALSE(t->canWrite(why));
  EXPECT_EQ(Column(*OpenOk(Corpus("infused/dbase_32.dbf")), 0), "Bad Meets Evil");  // V
  auto memo = OpenOk(Corpus("infused/dbase_30.dbf"));  // .FPT memos, T date-times
  ASSERT_EQ(memo->readRecord(0, row), Ok);
  EXPECT_EQ(row[10], Value{std::string("Domestic Life\r\nWeddings\r\n")});
  EXPECT_EQ(Canonical(row[137]), "2006-04-20 17:13:04.999");
}

// ------------------------------------------------------------ code pages

TEST(DbfCodePages, FromTheDriverIdTheDriverNameOrUtf8Names) {
  REQUIRE_CORPUS();
  EXPECT_EQ(Column(*OpenOk(Corpus("infused/cp1251.dbf")), 1),  // ID 0xC9
            "амбулаторно-поликлиническое|больничное|НИИ|образовательное медицинское учреждение");
  // ID 0xF0 names no code page; the field names are UTF-8, and so is the text.
  auto cyrillic = OpenOk(Corpus("infused/dbase_03_cyrillic.dbf"));
  EXPECT_EQ(cyrillic->fields()[0].name, "ШАР");
  EXPECT_EQ(Column(*cyrillic, 0), "Номер|Культ");
  auto mazovia = OpenOk(Corpus("infused/mazovia.dbf"));  // ID 0x69
  EXPECT_EQ(mazovia->codec().codePage(), 667);
  EXPECT_EQ(mazovia->codec().toUtf8("\x86\x8d\x91\x92\xa4\xa2\x9e\xa6\xa7"), "ąćęłńóśźż");
  EXPECT_EQ(OpenOk(Corpus("phpxbase/dBaseVII.dbf"))->codec().codePage(), 866);  // "DB866RU0"
  EXPECT_EQ(OpenOk(Corpus("infused/dbase_83.dbf"))->codec().codePage(), 437);   // ID 0
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
