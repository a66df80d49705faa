// Whole-table operations on dBASE tables: the family listed whatever the
// case of its names, copies, renames, deletions and emptying with memo files
// and production indexes (and the names their headers carry), tables open
// elsewhere left alone, swaps killed at every step and recovered by the next
// open; copies between the drivers over the corpus, compared value by value
// both ways, refusals that name the record and the field and leave nothing
// behind; and another reader of our .DBF copies when one is installed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "engine/dbase/dbconvert.h"
#include "engine/dbase/dbfamily.h"
#include "engine/dbase/dbtable.h"
#include "engine/dbase/mdx.h"
#include "engine/engine.h"
#include "engine/family.h"
#include "engine/io/file.h"
#include "engine/lists.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxfamily.h"
#include "engine/paradox/pxheader.h"
#include "engine/paradox/pxtable.h"
#include "tests/support/dbtables.h"
#include "tests/support/files.h"
#include "tests/support/killsteps.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::dbase;
using dbtables::Field;
using dbtables::Row;
using killsteps::KillAtEveryStep;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename());
  std::sort(out.begin(), out.end());
  return out;
}

// Every record not marked deleted.
std::vector<Row> LiveRows(DbaseTable& t) {
  std::vector<Row> rows;
  for (std::uint32_t i = 0; i < t.recordCount(); ++i) {
    bool deleted = false;
    EXPECT_EQ(t.isDeleted(i, deleted), Ok);
    if (deleted) continue;
    rows.emplace_back();
    EXPECT_EQ(t.readRecord(i, rows.back()), Ok) << LastErrorMessage();
  }
  return rows;
}

std::vector<Row> RowsOf(const std::string& dbf) {
  auto t = dbtables::OpenOk(dbf);
  return t ? dbtables::AllRows(*t) : std::vector<Row>{};
}

// Bytes `at`..`at + n` of a file, NULs dropped.
std::string HeaderName(const std::string& path, std::size_t at, std::size_t n) {
  const std::string bytes = Slurp(path).value_or("");
  std::string name = bytes.size() >= at + n ? bytes.substr(at, n) : "";
  return name.substr(0, name.find('\0'));
}

// Keys of a tag in index order, each as "key#record".
std::vector<std::string> Keys(const std::string& mdx, const std::string& tag) {
  std::vector<std::string> out;
  EXPECT_EQ(ScanTag(mdx, tag,
                    [&](std::string_view key, std::uint32_t record) {
                      out.push_back(std::string(key) + "#" + std::to_string(record));
                      return true;
                    }),
            Ok)
      << LastErrorMessage();
  return out;
}

// Keys of the NAME field (C 12) of a table, for a production index.
class NameKeys : public KeySource {
 public:
  explicit NameKeys(const std::vector<std::string>& names) : names_(names) {}
  Result next(MdxRecordKeys& keys, bool& end) override {
    end = at_ == names_.size();
    if (end) return Ok;
    keys.record = static_cast<std::uint32_t>(at_ + 1);
    keys.keys = {CharKey(names_[at_++], 12)};
    keys.included.clear();
    return Ok;
  }

 private:
  const std::vector<std::string>& names_;
  std::size_t at_ = 0;
};

const std::vector<std::string> kNames = {"Ann", "Bob", "Cy", "Dora"};

// PEOPLE.DBF (level 4: NAME C12, AGE N3, NOTES M) with four people, its
// .DBT and, with `index`, a production index with a tag on NAME (the header
// says so).
std::string MakePeople(const TempDir& dir, bool index, const std::string& file = "PEOPLE.DBF") {
  const std::string path = dir / file;
  EXPECT_EQ(DbaseTable::Create(path,
                               dbtables::Desc({Field("NAME", dbChar, 12), Field("AGE", dbNumber, 3),
                                               Field("NOTES", dbMemo)}),
                               4, false),
            Ok)
      << LastErrorMessage();
  {
    auto t = dbtables::OpenOk(path, true);
    for (std::size_t k = 0; k < kNames.size(); ++k) {
      std::uint32_t at;
      EXPECT_EQ(t->insert({kNames[k], std::int64_t(20 + k),
                           std::string(k == 2 ? "" : "notes of " + kNames[k] + std::string(600, '.'))},
                          at),
                Ok)
          << LastErrorMessage();
    }
  }
  if (index) {
    MdxTagDef tag;
    tag.name = "NAME";
    tag.keyExpression = "NAME";
    tag.keyType = 'C';
    tag.keyLength = 12;
    NameKeys keys(kNames);
    const std::string stem = fs::path(file).stem();
    EXPECT_EQ(WriteMdx(dir / (stem + ".MDX"), stem, {tag}, keys), Ok) << LastErrorMessage();
    io::File f;
    EXPECT_EQ(f.open(path, io::File::Mode::ReadWrite), Ok);
    const std::uint8_t flag = 1;
    EXPECT_EQ(f.write(28, &flag, 1), Ok);
  }
  return path;
}

}  // namespace

// ------------------------------------------------------------ the family

TEST(DbfFamily, MembersAreFoundWhateverTheCaseOfTheirNames) {
  TempDir dir;
  MakePeople(dir, true, "people.dbf");
  fs::rename(dir / "people.dbt", dir / "People.Dbt");
  fs::rename(dir / "people.MDX", dir / "PEOPLE.mdx");
  Put(dir / "PEOPLE.TXT", "not a member");
  Put(dir / "PEOPLE2.DBF", "another table");
  std::vector<FamilyDesc> family;
  ASSERT_EQ(ListDbaseFamily(dir / "PEOPLE.DBF", family), Ok) << LastErrorMessage();
  std::vector<std::string> seen;
  for (const FamilyDesc& m : family) seen.push_back(m.name + " " + std::to_string(m.kind));
  EXPECT_EQ(seen, (std::vector<std::string>{"people.dbf 1", "People.Dbt 8", "PEOPLE.mdx 2"}));
  EXPECT_EQ(family[0].fileName, dir / "people.dbf");
  EXPECT_EQ(ListDbaseFamily(dir / "NOBODY.DBF", family), ErrNotFound);

  // Through the handle API: the driver named, or told by the extension.
  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase(dir.path(), db), Ok);
  hDBICur list = 0;
  ASSERT_EQ(OpenFamilyList(db, "people", "DBASE", list), Ok) << LastErrorMessage();
  std::uint32_t count = 0;
  EXPECT_EQ(GetListCount(list, count), Ok);
  EXPECT_EQ(count, 3u);
  CloseCursor(list);
  ASSERT_EQ(OpenSecurityList(db, "people.dbf", "", list), Ok) << LastErrorMessage();
  EXPECT_EQ(GetListCount(list, count), Ok);
  EXPECT_EQ(count, 0u);  // no passwords
  CloseCursor(list);
  EXPECT_EQ(OpenSecurityList(db, "NOBODY.DBF", "", list), ErrNotFound);
  EXPECT_EQ(OpenFamilyList(db, "people.dbf", "PARADOX", list), ErrInvalidParameter);
  CloseDatabase(db);
}

TEST(DbfFamily, CopiesAndRenamesCarryEveryMemberAndTheNewNameInTheirHeaders) {
  TempDir dir;
  const std::string people = MakePeople(dir, true);
  const std::vector<Row> rows = RowsOf(people);
  const auto keys = Keys(dir / "PEOPLE.MDX", "NAME");
  ASSERT_EQ(CopyDbaseTable(people, dir / "COPY", false), Ok) << LastErrorMessage();
  EXPECT_EQ(RowsOf(dir / "COPY.DBF"), rows);
  EXPECT_EQ(HeaderName(dir / "COPY.DBT", 8, 8), "COPY");
  EXPECT_EQ(HeaderName(dir / "COPY.MDX", 4, 16), "COPY");
  EXPECT_EQ(HeaderName(dir / "PEOPLE.DBT", 8, 8), "PEOPLE");
  EXPECT_EQ(Keys(dir / "COPY.MDX", "NAME"), keys);

  // An existing destination stays unless it may be replaced; then its whole
  // family goes (a table without index leaves none behind).
  const std::string plain = MakePeople(dir, false, "PLAIN.DBF");
  EXPECT_EQ(CopyDbaseTable(plain, dir / "COPY.DBF", false), ErrDestinationExists);
  EXPECT_NE(LastErrorMessage().find("COPY.DBF: the destination table exists already"),
            std::string::npos);
  EXPECT_EQ(RowsOf(dir / "COPY.DBF"), rows);
  ASSERT_EQ(CopyDbaseTable(plain, dir / "copy.dbf", true), Ok) << LastErrorMessage();
  EXPECT_EQ(CopyDbaseTable(people, dir / "people.dbf", true), ErrInvalidParameter);  // itself
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"COPY.DBF", "COPY.DBT", "PEOPLE.DBF",
                                                         "PEOPLE.DBT", "PEOPLE.MDX", "PLAIN.DBF",
                                                         "PLAIN.DBT"}));

  ASSERT_EQ(RenameDbaseTable(people, "STAFF"), Ok) << LastErrorMessage();
  EXPECT_EQ(RowsOf(dir / "STAFF.DBF"), rows);
  EXPECT_EQ(HeaderName(dir / "STAFF.DBT", 8, 8), "STAFF");
  EXPECT_EQ(HeaderName(dir / "STAFF.MDX", 4, 16), "STAFF");
  EXPECT_EQ(Keys(dir / "STAFF.MDX", "NAME"), keys);
  // Letter case alone: the name fields stay upper case, as written.
  ASSERT_EQ(RenameDbaseTable(dir / "STAFF.DBF", "staff.dbf"), Ok) << LastErrorMessage();
  EXPECT_TRUE(io::FileExists(dir / "staff.mdx"));
  EXPECT_EQ(HeaderName(dir / "staff.dbt", 8, 8), "STAFF");
  EXPECT_EQ(RenameDbaseTable(dir / "staff.dbf", "Plain"), ErrFileExists);
  EXPECT_EQ(RenameDbaseTable(dir / "staff.dbf", "NEW.DB"), ErrInvalidParameter);
  EXPECT_EQ(RenameDbaseTable(dir / "staff.dbf", "/tmp/ELSEWHERE"), ErrInvalidParameter);
  EXPECT_EQ(RowsOf(dir / "staff.dbf"), rows);
}

TEST(DbfFamily, EmptyingKeepsTheStructureTheMemoHeaderAndTheTagsAndDeleteTakesAll) {
  TempDir dir;
  const std::string people = MakePeople(dir, true);
  const std::string memoHeader = Slurp(dir / "PEOPLE.DBT")->substr(4, 508);
  const std::size_t headerLength = dbtables::OpenOk(people)->fieldDescs().size() * 32 + 33;
  const std::string header = Slurp(people)->substr(12, headerLength - 12);
  ASSERT_EQ(EmptyDbaseTable(people), Ok) << LastErrorMessage();
  EXPECT_EQ(dbtables::OpenOk(people)->recordCount(), 0u);
  EXPECT_EQ(Slurp(people)->substr(12, headerLength - 12), header);  // fields, driver, flags
  const std::string memo = *Slurp(dir / "PEOPLE.DBT");
  EXPECT_EQ(memo, std::string("\x01\0\0\0", 4) + memoHeader);  // no values; block size, name kept
  MdxFile index;
  ASSERT_EQ(ReadMdx(dir / "PEOPLE.MDX", index), Ok) << LastErrorMessage();
  ASSERT_EQ(index.tags.size(), 1u);
  EXPECT_EQ(index.tags[0].keyExpression, "NAME");
  EXPECT_TRUE(Keys(dir / "PEOPLE.MDX", "NAME").empty());
  EXPECT_EQ(CheckMdx(dir / "PEOPLE.MDX"), Ok) << LastErrorMessage();

  ASSERT_EQ(DeleteDbaseTable(dir / "people.dbf"), Ok) << LastErrorMessage();
  EXPECT_TRUE(Names(dir.path()).empty());
  EXPECT_EQ(DeleteDbaseTable(people), ErrNotFound);

  const std::string corpus = CorpusDir("dbase/infused");
  if (corpus.empty()) return;
  const std::string fox = dbtables::CopyInto(dir.path(), {corpus + "/dbase_30.dbf", corpus + "/dbase_30.fpt"});
  EXPECT_EQ(EmptyDbaseTable(fox), ErrReadOnly);  // FoxPro tables are read only
  EXPECT_NE(LastErrorMessage().find("FoxPro"), std::string::npos) << LastErrorMessage();
}

TEST(DbfFamily, ATableOpenInThisProcessIsLeftAlone) {
  TempDir dir;
  const std::string people = MakePeople(dir, false);
  const std::string other = MakePeople(dir, false, "OTHER.DBF");
  const std::vector<std::string> files = Names(dir.path());
  const std::string bytes = *Slurp(people);
  {
    auto open = dbtables::OpenOk(people);  // shared
    EXPECT_EQ(DeleteDbaseTable(people), ErrTableInUse);
    EXPECT_EQ(LastErrorMessage(), "Table is in use: " + people);
    EXPECT_EQ(RenameDbaseTable(people, "NEW"), ErrTableInUse);
    EXPECT_EQ(EmptyDbaseTable(people), ErrTableInUse);
    EXPECT_EQ(CopyDbaseTable(people, dir / "COPY.DBF", false), ErrTableInUse);
    EXPECT_EQ(CopyDbaseTable(other, people, true), ErrTableInUse);
    EXPECT_EQ(CopyDbaseToParadox(people, dir / "P.DB", false, {}, {}), ErrTableInUse);
    EXPECT_EQ(Names(dir.path()), files);
    EXPECT_EQ(*Slurp(people), bytes);
  }
  EXPECT_EQ(CopyDbaseTable(people, dir / "COPY.DBF", false), Ok) << LastErrorMessage();
}

// ------------------------------------------------------- crashes

namespace {
std::vector<std::vector<std::string>> CanonicalRows(const std::vector<Row>& rows);
}  // namespace

namespace {

// Opens the table if it is there (which settles a change cut short);
// false when it is not.
bool Present(const std::string& dbf, std::vector<Row>& rows) {
  std::unique_ptr<DbaseTable> t;
  if (DbaseTable::Open(dbf, {}, t) != Ok) {
    EXPECT_EQ(LastErrorCode(), ErrNotFound) << LastErrorMessage();
    return false;
  }
  rows = dbtables::AllRows(*t);
  return true;
}

}  // namespace

TEST(DbfFamily, WholeTableOperationsKilledAtEveryStepAreBeforeOrAfterOnTheNextOpen) {
  TempDir dir(TempDir::Where::Memory);
  const std::string people = MakePeople(dir, false);
  const std::string old = MakePeople(dir, false, "OLD.DBF");
  {
    auto t = dbtables::OpenOk(old, true);
    ASSERT_EQ(t->update(0, {std::string("Zed"), std::int64_t{99}, Value{}}), Ok);
  }
  const std::vector<Row> rows = RowsOf(people), oldRows = RowsOf(old);
  const std::vector<std::string> files = Names(dir.path());
  auto clean = [&](std::vector<std::string> expected) {
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(dir.path()), expected);
  };

  KillAtEveryStep(
      dir.path(), [&] { return DeleteDbaseTable(people); },
      [&](bool finished) {
        std::vector<Row> now;
        if (Present(people, now)) {
          EXPECT_FALSE(finished);
          EXPECT_EQ(now, rows);
          EXPECT_TRUE(io::FileExists(dir / "PEOPLE.DBT"));
        } else {
          clean({"OLD.DBF", "OLD.DBT"});
        }
      },
      2);
  KillAtEveryStep(
      dir.path(), [&] { return RenameDbaseTable(people, "NEW"); },
      [&](bool finished) {
        std::vector<Row> now;
        if (Present(people, now)) {  // settles the plan, which lies at the old name
          EXPECT_FALSE(finished);
          EXPECT_EQ(now, rows);
          clean(files);
        } else {
          ASSERT_TRUE(Present(dir / "NEW.DBF", now));
          EXPECT_EQ(now, rows);
          clean({"NEW.DBF", "NEW.DBT", "OLD.DBF", "OLD.DBT"});
        }
      },
      4);
  KillAtEveryStep(
      dir.path(), [&] { return CopyDbaseTable(people, dir / "OLD.DBF", true); },
      [&](bool finished) {
        std::vector<Row> now;
        ASSERT_TRUE(Present(old, now));
        if (now == oldRows) EXPECT_FALSE(finished);
        else EXPECT_EQ(now, rows);
        clean(files);
      },
      4);
  KillAtEveryStep(
      dir.path(), [&] { return CopyDbaseTable(people, dir / "FRESH.DBF", false); },
      [&](bool) {
        std::vector<Row> now;
        if (Present(dir / "FRESH.DBF", now)) {
          EXPECT_EQ(now, rows);
          clean({"FRESH.DBF", "FRESH.DBT", "OLD.DBF", "OLD.DBT", "PEOPLE.DBF", "PEOPLE.DBT"});
        }
      },
      4);
  // A copy into the other driver over an existing table: the Paradox
  // table's next open settles it.
  ASSERT_EQ(CopyDbaseToParadox(old, dir / "OLD.DB", false, {}, {}), Ok) << LastErrorMessage();
  const auto paradoxBefore = CanonicalRows(ptables::AllRecords(*ptables::OpenOk(dir / "OLD.DB")));
  std::vector<std::string> withParadox = Names(dir.path());
  KillAtEveryStep(
      dir.path(), [&] { return CopyDbaseToParadox(people, dir / "OLD.DB", true, {}, {}); },
      [&](bool finished) {
        std::unique_ptr<paradox::ParadoxTable> t;
        ASSERT_EQ(paradox::ParadoxTable::Open(dir / "OLD.DB", {}, t), Ok) << LastErrorMessage();
        const auto now = CanonicalRows(ptables::AllRecords(*t));
        if (now == paradoxBefore) EXPECT_FALSE(finished);
        else EXPECT_EQ(now, CanonicalRows(rows));
        t.reset();
        clean(withParadox);
      },
      4);
  ASSERT_EQ(paradox::DeleteParadoxTable(dir / "OLD.DB"), Ok);

  KillAtEveryStep(
      dir.path(), [&] { return EmptyDbaseTable(people); },
      [&](bool finished) {
        std::vector<Row> now;
        ASSERT_TRUE(Present(people, now));
        if (!now.empty()) {
          EXPECT_FALSE(finished);
          EXPECT_EQ(now, rows);
        }
        clean(files);
      },
      4);
}

// ------------------------------------------------- between the drivers

namespace {

// The shortest text that reads back as the double.
std::string Shortest(double d) {
  char buffer[64];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, d);
    if (std::strtod(buffer, nullptr) == d) break;
  }
  return buffer;
}

// A value as both drivers must agree on it: numbers by their exact
// decimal text, text without trailing blanks, times as the text a dBASE
// copy holds.
std::string Canonical(const Value& v) {
  if (IsNull(v)) return "NULL";
  if (auto b = std::get_if<bool>(&v)) return *b ? "true" : "false";
  auto decimal = [](std::string t) {
    if (t.find('.') != std::string::npos) {
      while (t.back() == '0') t.pop_back();
      if (t.back() == '.') t.pop_back();
    }
    const bool negative = t[0] == '-';
    std::string digits = t.substr(negative ? 1 : 0);
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    if (digits.empty() || digits[0] == '.') digits = "0" + digits;
    return (negative && digits != "0" ? "-" : "") + digits;
  };
  if (auto i = std::get_if<std::int64_t>(&v))
    return "n" + Shortest(static_cast<double>(*i)) + "|" + decimal(std::to_string(*i));
  if (auto d = std::get_if<double>(&v)) return "n" + Shortest(*d);
  if (auto b = std::get_if<BcdValue>(&v))
    return "n" + Shortest(std::strtod(b->text.c_str(), nullptr)) + "|" + decimal(b->text);
  if (auto s = std::get_if<std::string>(&v)) {
    std::string t = *s;
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t.empty() ? "NULL" : "\"" + t + "\"";
  }
  if (auto d = std::get_if<DateValue>(&v)) return "date " + std::to_string(d->day);
  if (auto t = std::get_if<TimeValue>(&v)) {  // as the text of a dBASE copy
    char buffer[32];
    const int n = std::snprintf(buffer, sizeof buffer, "\"%02d:%02d:%02d.%03d\"", t->ms / 3600000,
                                t->ms / 60000 % 60, t->ms / 1000 % 60, t->ms % 1000);
    return t->ms % 1000 ? std::string(buffer, n) : std::string(buffer, 9) + "\"";
  }
  if (auto t = std::get_if<TimestampValue>(&v)) return "stamp " + std::to_string(t->ms);
  return "bytes " + std::get<BlobValue>(v).bytes;
}

// Numbers compare by their double unless both hold every digit.
bool Same(const std::string& a, const std::string& b) {
  if (a == b) return true;
  if (a.rfind("n", 0) != 0 || b.rfind("n", 0) != 0) return false;
  const std::string da = a.substr(0, a.find('|')), db = b.substr(0, b.find('|'));
  const bool exactA = a.find('|') != std::string::npos, exactB = b.find('|') != std::string::npos;
  if (exactA && exactB) return a.substr(a.find('|')) == b.substr(b.find('|'));
  return da == db;
}

std::vector<std::vector<std::string>> CanonicalRows(const std::vector<Row>& rows) {
  std::vector<std::vector<std::string>> out;
  for (const Row& r : rows) {
    out.emplace_back();
    for (const Value& v : r) out.back().push_back(Canonical(v));
  }
  return out;
}

void ExpectSameRows(const std::vector<std::vector<std::string>>& a,
                    const std::vector<std::vector<std::string>>& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (std::size_t r = 0; r < a.size(); ++r) {
    ASSERT_EQ(a[r].size(), b[r].size()) << what;
    for (std::size_t f = 0; f < a[r].size(); ++f)
      EXPECT_TRUE(Same(a[r][f], b[r][f]))
          << what << ": record " << r + 1 << " field " << f + 1 << ": " << a[r][f] << " vs "
          << b[r][f];
  }
}

// The rows of a Paradox table as its dBASE copy holds them: formatted
// memos as their text.
std::vector<Row> ParadoxRowsAsText(const std::string& db) {
  auto t = ptables::OpenOk(db);
  if (!t) return {};
  std::vector<Row> rows = ptables::AllRecords(*t);
  for (Row& r : rows)
    for (std::size_t f = 0; f < r.size(); ++f)
      if (t->fields()[f].code == paradox::fcFmtMemo && !IsNull(r[f]))
        r[f] = t->codec().toUtf8(std::get<BlobValue>(r[f]).bytes);
  return rows;
}

bool NamesRecordAndField(const std::string& message) {
  return message.find("record ") != std::string::npos &&
         message.find(": field ") != std::string::npos;
}

// Every corpus table of `sub` with extension `ext`.
std::vector<std::string> CorpusTables(const std::string& sub, const std::string& ext) {
  std::vector<std::string> out;
  const std::string dir = CorpusDir(sub);
  if (dir.empty()) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    std::string x = e.path().extension();
    for (char& c : x) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (x == ext) out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(DbfFamilyConvert, ParadoxCorpusTablesGoToDbaseAndBackWithEveryValue) {
  const std::vector<std::string> tables = CorpusTables("paradox", ".DB");
  if (tables.empty()) GTEST_SKIP() << "the corpus is absent";
  int roundTrips = 0;
  for (const std::string& source : tables) {
    SCOPED_TRACE(source);
    if (source.find("/encrypt/") != std::string::npos) continue;
    TempDir dir(TempDir::Where::Memory);
    const std::string stem = fs::path(source).stem();
    ptables::CopyFamily(fs::path(source).parent_path(), stem, dir.path());
    const std::string db = dir / fs::path(source).filename().string();
    const auto original = CanonicalRows(ParadoxRowsAsText(db));
    const Result r = CopyParadoxToDbase(db, dir / "COPY.DBF", false, {});
    if (r != Ok) {
      // Only a value the copy cannot hold stops it, and the message says which.
      EXPECT_EQ(r, ErrInvalidValue) << LastErrorMessage();
      EXPECT_TRUE(NamesRecordAndField(LastErrorMessage())) << LastErrorMessage();
      EXPECT_FALSE(io::FileExists(dir / "COPY.DBF"));
      EXPECT_FALSE(fs::exists(dir / "COPY.DBF.work~"));
      continue;
    }
    ExpectSameRows(CanonicalRows(RowsOf(dir / "COPY.DBF")), original, "dBASE copy");
    ASSERT_EQ(CopyDbaseToParadox(dir / "COPY.DBF", dir / "BACK.DB", false, {}, {}), Ok)
        << LastErrorMessage();
    ExpectSameRows(CanonicalRows(ptables::AllRecords(*ptables::OpenOk(dir / "BACK.DB"))), original,
                   "back in Paradox");
    ++roundTrips;
  }
  EXPECT_GE(roundTrips, 20);
}

TEST(DbfFamilyConvert, DbaseCorpusTablesGoToParadoxAndBackWithEveryValue) {
  const std::vector<std::string> tables = CorpusTables("dbase", ".DBF");
  if (tables.empty()) GTEST_SKIP() << "the corpus is absent";
  int roundTrips = 0;
  for (const std::string& source : tables) {
    SCOPED_TRACE(source);
    TempDir dir(TempDir::Where::Memory);
    std::vector<std::string> files = {source};
    for (const char* memo : {".dbt", ".DBT", ".fpt", ".FPT"}) {
      const std::string m = fs::path(source).replace_extension(memo);
      if (fs::exists(m)) files.push_back(m);
    }
    const std::string dbf = dbtables::CopyInto(dir.path(), files);
    std::unique_ptr<DbaseTable> t;
    if (DbaseTable::Open(dbf, {}, t) != Ok) continue;  // damaged on purpose
    const bool memoMissing = t->memoMissing();
    const auto original = CanonicalRows(LiveRows(*t));
    t.reset();
    const Result r = CopyDbaseToParadox(dbf, dir / "COPY.DB", false, {}, {});
    if (memoMissing) {
      EXPECT_EQ(r, ErrCorruptBlob);
      EXPECT_NE(LastErrorMessage().find("would lose the memo values"), std::string::npos);
      EXPECT_FALSE(io::FileExists(dir / "COPY.DB"));
      continue;
    }
    if (r != Ok) {
      // A structure Paradox cannot take (no field at all, a field name the
      // code page lacks) names the table; a value, its record and field.
      if (r == ErrInvalidFieldDesc)
        EXPECT_EQ(LastErrorMessage().find(".work~"), std::string::npos) << LastErrorMessage();
      else
        EXPECT_TRUE(r == ErrInvalidValue && NamesRecordAndField(LastErrorMessage()))
            << LastErrorMessage();
      EXPECT_FALSE(io::FileExists(dir / "COPY.DB"));
      EXPECT_FALSE(fs::exists(dir / "COPY.DB.work~"));
      continue;
    }
    ExpectSameRows(CanonicalRows(ptables::AllRecords(*ptables::OpenOk(dir / "COPY.DB"))), original,
                   "Paradox copy");
    ASSERT_EQ(CopyParadoxToDbase(dir / "COPY.DB", dir / "BACK.DBF", false, {}), Ok)
        << LastErrorMessage();
    ExpectSameRows(CanonicalRows(RowsOf(dir / "BACK.DBF")), original, "back in dBASE");
    ++roundTrips;
  }
  EXPECT_GE(roundTrips, 15);
}

TEST(DbfFamilyConvert, EveryParadoxTypeFindsItsNearestDbaseType) {
  TempDir dir;
  using namespace paradox;
  const std::string db = dir / "ALL.DB";
  ASSERT_EQ(CreateParadoxTable(
                ptables::Desc(db, {ptables::Field("Name", pxAlpha, 20), ptables::Field("Price", pxMoney),
                                   ptables::Field("Ratio", pxNumber), ptables::Field("Exact", pxBcd, 32, 4),
                                   ptables::Field("Small", pxShort), ptables::Field("Count", pxLong),
                                   ptables::Field("Born", pxDate), ptables::Field("Yes", pxLogical),
                                   ptables::Field("At", pxTime), ptables::Field("Memo", pxMemo, 10),
                                   ptables::Field("Pic", pxGraphic),
                                   ptables::Field("Long text", pxAlpha, 255)}),
                false),
            Ok)
      << LastErrorMessage();
  ASSERT_EQ(ptables::OpenOk(db, true)->insertMany(
                {{std::string("Ann"), 12.5, 0.125, BcdValue{"-1234567890.1234"}, std::int64_t{-32767},
                  std::int64_t{2147483647}, DateValue{DayNumber(1999, 12, 31)}, true,
                  TimeValue{45296000}, std::string("memo text"), BlobValue{std::string("\x89PNG\0\1", 6)},
                  std::string(200, 'x')}}),
            Ok);
  ASSERT_EQ(CopyParadoxToDbase(db, dir / "ALL.DBF", false, {}), Ok) << LastErrorMessage();
  auto t = dbtables::OpenOk(dir / "ALL.DBF");
  EXPECT_EQ(t->level(), 5);  // for the binary field
  EXPECT_EQ(t->languageDriverName(), "DB437US0");  // the code page of 'ascii'
  std::vector<std::string> shape;
  for (const DbfField& f : t->fields())
    shape.push_back(f.name + " " + f.type + std::to_string(f.length) + "." + std::to_string(f.decimals));
  EXPECT_EQ(shape, (std::vector<std::string>{"NAME C20.0", "PRICE N15.2", "RATIO F15.3",
                                             "EXACT N20.4", "SMALL N6.0", "COUNT N11.0",
                                             "BORN D8.0", "YES L1.0", "AT C8.0", "MEMO M10.0",
                                             "PIC B10.0", "LONG_TEXT C254.0"}));
  ExpectSameRows(CanonicalRows(dbtables::AllRows(*t)), CanonicalRows(ParadoxRowsAsText(db)), "copy");

  // Level 7 when a type needs it: its own whole numbers then, and the
  // counter goes on.
  const std::string db7 = dir / "SEVEN.DB";
  ASSERT_EQ(CreateParadoxTable(ptables::Desc(db7, {ptables::Field("Id", pxAutoinc),
                                                   ptables::Field("Small", pxShort),
                                                   ptables::Field("When", pxTimestamp)}),
                               false),
            Ok);
  ASSERT_EQ(ptables::OpenOk(db7, true)->insertMany(
                {{Value{}, std::int64_t{5}, TimestampValue{DayNumber(2020, 2, 29) * 86400000.0 + 1}},
                 {Value{}, Value{}, Value{}}}),
            Ok);
  ASSERT_EQ(CopyParadoxToDbase(db7, dir / "SEVEN.DBF", false, {}), Ok) << LastErrorMessage();
  auto s = dbtables::OpenOk(dir / "SEVEN.DBF", true);
  EXPECT_EQ(s->level(), 7);
  const auto descs = s->fieldDescs();
  EXPECT_EQ(std::vector<int>({descs[0].type, descs[1].type, descs[2].type}),
            std::vector<int>({dbAutoinc, dbLong, dbTimestamp}));
  ExpectSameRows(CanonicalRows(dbtables::AllRows(*s)), CanonicalRows(ParadoxRowsAsText(db7)), "copy");
  std::uint32_t at;
  ASSERT_EQ(s->insert({Value{}, Value{}, Value{}}, at), Ok) << LastErrorMessage();
  EXPECT_EQ(dbtables::AllRows(*s)[at][0], Value{std::int64_t{3}});
}

TEST(DbfFamilyConvert, EveryDbaseTypeFindsItsNearestParadoxType) {
  TempDir dir;
  const std::string dbf = dir / "ALL.DBF";
  ASSERT_EQ(DbaseTable::Create(
                dbf,
                dbtables::Desc({Field("NAME", dbChar, 30), Field("SMALL", dbNumber, 9),
                                Field("PRICE", dbNumber, 12, 2), Field("BIG", dbNumber, 20, 3),
                                Field("RATE", dbFloat, 14, 5), Field("BORN", dbDate),
                                Field("OK", dbLogical), Field("NOTES", dbMemo),
                                Field("RAW", dbBinary), Field("OBJ", dbOle), Field("ID", dbAutoinc),
                                Field("QTY", dbLong), Field("STAMP", dbTimestamp),
                                Field("RATIO", dbDouble), Field("LONGER_THAN_TWENTYFIVE_CHARS", dbLogical)}),
                7, false),
            Ok)
      << LastErrorMessage();
  const Row full = {std::string("Grüße"), std::int64_t{999999999}, 1234.56,
                    BcdValue{"-123456789012345.789"}, 3.14159, DateValue{DayNumber(2000, 1, 1)},
                    true, std::string("notes"), BlobValue{std::string("\0\1\2", 3)},
                    BlobValue{std::string("ole")}, Value{}, std::int64_t{-5},
                    TimestampValue{DayNumber(2001, 2, 3) * 86400000.0 + 4000}, 1e300, false};
  {
    auto t = dbtables::OpenOk(dbf, true);
    std::uint32_t at;
    for (int k = 0; k < 3; ++k) ASSERT_EQ(t->insert(full, at), Ok) << LastErrorMessage();
    ASSERT_EQ(t->setDeleted(1, true), Ok);  // not copied
  }
  ASSERT_EQ(CopyDbaseToParadox(dbf, dir / "ALL.DB", false, {}, {}), Ok) << LastErrorMessage();
  auto p = ptables::OpenOk(dir / "ALL.DB");
  EXPECT_EQ(p->header().level(), 7);
  std::vector<std::string> shape;
  for (const paradox::PxField& f : p->fields())
    shape.push_back(p->codec().toUtf8(f.name) + " " + paradox::TypeLetterOf(f.code) +
                    std::to_string(f.size));
  EXPECT_EQ(shape, (std::vector<std::string>{"NAME A30", "SMALL I4", "PRICE N8", "BIG #3",
                                             "RATE N8", "BORN D4", "OK L1", "NOTES M20", "RAW B10",
                                             "OBJ O10", "ID +4", "QTY I4", "STAMP @8", "RATIO N8",
                                             "LONGER_THAN_TWENTYFIVE_CH L1"}));
  const auto rows = ptables::AllRecords(*p);
  ExpectSameRows(CanonicalRows(rows), CanonicalRows(LiveRows(*dbtables::OpenOk(dbf))), "copy");
  EXPECT_EQ(std::get<BcdValue>(rows[0][3]).text, "-123456789012345.789");  // every digit
  EXPECT_EQ(p->header().autoIncrement(), 3u);  // the dBASE counter, past the deleted record
}

TEST(DbfFamilyConvert, AValueThatCannotBeCarriedFailsTheCopyNamingRecordAndField) {
  TempDir dir;
  using namespace paradox;
  // Paradox -> dBASE: a date past 9999, a number a double cannot hold.
  const std::string db = dir / "P.DB";
  ASSERT_EQ(CreateParadoxTable(ptables::Desc(db, {ptables::Field("Name", pxAlpha, 10),
                                                  ptables::Field("Born", pxDate),
                                                  ptables::Field("Exact", pxBcd, 32, 2)}),
                               false),
            Ok);
  {
    auto t = ptables::OpenOk(db, true);
    ASSERT_EQ(t->insertMany({{std::string("a"), DateValue{DayNumber(2000, 1, 1)}, BcdValue{"1.00"}},
                             {std::string("b"), DateValue{DayNumber(10000, 1, 1)}, Value{}}}),
              Ok);
  }
  // An existing destination stays as it was.
  const std::string existing = MakePeople(dir, false, "OLD.DBF");
  const std::string before = *Slurp(existing);
  const std::vector<std::string> files = Names(dir.path());
  EXPECT_EQ(CopyParadoxToDbase(db, existing, true, {}), ErrInvalidValue);
  EXPECT_EQ(LastErrorMessage(), "record 2: field Born: the date lies outside the years 1 to 9999");
  EXPECT_EQ(*Slurp(existing), before);
  EXPECT_EQ(Names(dir.path()), files);
  {
    auto t = ptables::OpenOk(db, true);
    ASSERT_EQ(t->update(1, {std::string("b"), Value{}, BcdValue{"123456789012345678.25"}}), Ok);
  }
  EXPECT_EQ(CopyParadoxToDbase(db, dir / "NEW.DBF", false, {}), ErrInvalidValue);
  EXPECT_EQ(LastErrorMessage(),
            "record 2: field Exact: 123456789012345678.25 has more digits than a double holds");
  EXPECT_EQ(Names(dir.path()), files);

  // dBASE -> Paradox: a float a double would change, bytes that are no
  // number, text the new code page lacks.
  const std::string dbf = dir / "D.DBF";
  ASSERT_EQ(DbaseTable::Create(dbf, dbtables::Desc({Field("RATE", dbFloat, 20, 2)}), 4, false), Ok);
  {
    auto t = dbtables::OpenOk(dbf, true);
    std::uint32_t at;
    ASSERT_EQ(t->insert({1.5}, at), Ok);
    ASSERT_EQ(t->insert({BcdValue{"1234567890123456.78"}}, at), Ok);
  }
  EXPECT_EQ(CopyDbaseToParadox(dbf, dir / "NEW.DB", false, {}, {}), ErrInvalidValue);
  EXPECT_EQ(LastErrorMessage(),
            "record 2: field RATE: 1234567890123456.78 has more digits than a Paradox number holds");
  {
    io::File f;
    ASSERT_EQ(f.open(dbf, io::File::Mode::ReadWrite), Ok);
    auto t = dbtables::OpenOk(dbf);
    const std::uint64_t second = 32 + 32 + 1 + t->recordLength() + 1;
    ASSERT_EQ(f.write(second, "  12a", 5), Ok);
  }
  EXPECT_EQ(CopyDbaseToParadox(dbf, dir / "NEW.DB", false, {}, {}), ErrInvalidValue);
  EXPECT_NE(LastErrorMessage().find("record 2: field RATE: holds \""), std::string::npos)
      << LastErrorMessage();
  EXPECT_NE(LastErrorMessage().find("which is no number"), std::string::npos);

  // A character of the Icelandic page that no dBASE driver of it, and so
  // not the page the copy takes, can hold.
  const std::string ice = dir / "ICE.DB";
  TableDesc iceDesc = ptables::Desc(ice, {ptables::Field("Name", pxAlpha, 10)});
  iceDesc.optionalParams.push_back({"LANGDRIVER", "iceland"});
  ASSERT_EQ(CreateParadoxTable(iceDesc, false), Ok) << LastErrorMessage();
  {
    auto t = ptables::OpenOk(ice, true);
    ASSERT_EQ(t->insertMany({{std::string("Þórður")}, {std::string("α")}}), Ok);
  }
  EXPECT_EQ(CopyParadoxToDbase(ice, dir / "NEW.DBF", false, {}), ErrInvalidValue);
  EXPECT_EQ(LastErrorMessage(),
            "record 2: field Name: \"α\" has characters the table's code page cannot hold");
  for (const std::string& name : Names(dir.path()))
    EXPECT_EQ(name.find("NEW"), std::string::npos) << name;
}

TEST(DbfFamilyConvert, CopyTableChoosesTheDriverByTheDestinationsExtension) {
  TempDir dir;
  const std::string people = MakePeople(dir, false);
  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase(dir.path(), db), Ok);
  ASSERT_EQ(CopyTable(db, false, "PEOPLE.DBF", "", "SAME"), Ok) << LastErrorMessage();
  EXPECT_TRUE(io::FileExists(dir / "SAME.DBF"));
  ASSERT_EQ(CopyTable(db, false, "PEOPLE", "DBASE", "P.DB"), Ok) << LastErrorMessage();
  ASSERT_EQ(CopyTable(db, false, "P.DB", "", "BACK.DBF"), Ok) << LastErrorMessage();
  ExpectSameRows(CanonicalRows(RowsOf(dir / "BACK.DBF")), CanonicalRows(RowsOf(people)), "back");
  EXPECT_EQ(CopyTable(db, false, "P.DB", "", "BACK.DBF"), ErrDestinationExists);
  EXPECT_EQ(CopyTable(db, false, "PEOPLE.DBF", "", "P.DB"), ErrDestinationExists);
  ASSERT_EQ(CopyTable(db, true, "PEOPLE.DBF", "", "P.DB"), Ok) << LastErrorMessage();

  ASSERT_EQ(RenameTable(db, "SAME.DBF", "OTHER"), Ok) << LastErrorMessage();
  ASSERT_EQ(EmptyTable(db, "OTHER.DBF"), Ok) << LastErrorMessage();
  EXPECT_TRUE(RowsOf(dir / "OTHER.DBF").empty());
  ASSERT_EQ(DeleteTable(db, "OTHER", "DBASE"), Ok) << LastErrorMessage();
  EXPECT_FALSE(io::FileExists(dir / "OTHER.DBF"));
  {
    auto t = dbtables::OpenOk(people, true);
    ASSERT_EQ(t->setDeleted(1, true), Ok);
  }
  ASSERT_EQ(PackTable(db, "PEOPLE.DBF"), Ok) << LastErrorMessage();
  EXPECT_EQ(RowsOf(people).size(), 3u);
  CloseDatabase(db);
}

// -------------------------------------------------------- another reader

namespace {

// A Python with dbfread, or "".
std::string PythonWithDbfread() {
  for (const char* python : {"/usr/bin/python3", "python3"}) {
    const std::string command =
        std::string(python) + " -c 'import dbfread' > /dev/null 2>&1";
    if (std::system(command.c_str()) == 0) return python;
  }
  return {};
}

std::string Output(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
  pclose(p);
  return out;
}

// One line per live record: the values as both readers show them.
const char kDump[] = R"(
import sys, datetime
from dbfread import DBF
t = DBF(sys.argv[1], encoding=sys.argv[2], char_decode_errors='strict')
def show(v):
    if v is None: return 'NULL'
    if isinstance(v, bool): return 'true' if v else 'false'
    if isinstance(v, (int, float)): return '%.15g' % v
    if isinstance(v, datetime.date): return v.strftime('%Y-%m-%d')
    # It takes a memo value's length to leave out the 8 bytes before it, and
    # so reads 8 bytes of padding past its end.
    if isinstance(v, bytes): return v.rstrip(b'\0').hex()
    return v.rstrip(' \0') or 'NULL'
for r in t:
    print('|'.join(show(v) for v in r.values()))
)";

std::string Shown(const Value& v) {
  char buffer[64];
  if (IsNull(v)) return "NULL";
  if (auto b = std::get_if<bool>(&v)) return *b ? "true" : "false";
  if (auto i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
  if (auto d = std::get_if<double>(&v)) {
    std::snprintf(buffer, sizeof buffer, "%.15g", *d);
    return buffer;
  }
  if (auto d = std::get_if<DateValue>(&v)) {
    int y, m, day;
    SplitDayNumber(d->day, y, m, day);
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", y, m, day);
    return buffer;
  }
  if (auto b = std::get_if<BlobValue>(&v)) {
    std::string hex, bytes = b->bytes;
    while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();  // as the script shows them
    for (unsigned char c : bytes) {
      std::snprintf(buffer, sizeof buffer, "%02x", c);
      hex += buffer;
    }
    return hex;
  }
  return std::get<std::string>(v);
}

}  // namespace

TEST(DbfFamilyConvert, AnotherReaderReadsOurCopiesAsWeDo) {
  const std::string python = PythonWithDbfread();
  if (python.empty()) GTEST_SKIP() << "no Python with dbfread";
  const std::vector<std::string> tables = CorpusTables("paradox", ".DB");
  if (tables.empty()) GTEST_SKIP() << "the corpus is absent";
  TempDir scripts;
  Put(scripts / "dump.py", kDump);
  int compared = 0;
  for (const std::string& source : tables) {
    if (source.find("/encrypt/") != std::string::npos || source.find("ZIPCODES") != std::string::npos)
      continue;
    SCOPED_TRACE(source);
    TempDir dir(TempDir::Where::Memory);
    ptables::CopyFamily(fs::path(source).parent_path(), fs::path(source).stem(), dir.path());
    const std::string dbf = dir / "COPY.DBF";
    if (CopyParadoxToDbase(dir / fs::path(source).filename().string(), dbf, false, {}) != Ok)
      continue;
    auto t = dbtables::OpenOk(dbf);
    if (t->level() == 7) continue;  // its binary numbers are not the FoxPro ones that reader takes
    std::string ours;
    for (const Row& row : LiveRows(*t)) {
      for (std::size_t i = 0; i < row.size(); ++i) ours += (i ? "|" : "") + Shown(row[i]);
      ours += "\n";
    }
    const std::string encoding = "cp" + std::to_string(t->codec().codePage());
    t.reset();
    EXPECT_EQ(Output(python + " " + scripts / "dump.py" + " " + dbf + " " + encoding + " 2>&1"), ours);
    ++compared;
  }
  EXPECT_GE(compared, 15);
}

// ------------------------------------------------------- restructure

namespace {

FieldDesc Old(std::uint16_t number, const std::string& name = "", std::uint16_t type = 0,
              std::int16_t size = 0, std::int16_t decimals = 0) {
  FieldDesc f = Field(name, type, size, decimals);
  f.number = number;
  return f;
}

TableDesc Change(std::vector<FieldDesc> fields, std::vector<std::int32_t> ops) {
  TableDesc d = dbtables::Desc(std::move(fields));
  d.fieldOps = std::move(ops);
  return d;
}

}  // namespace

TEST(DbfFamilyRestructure, FieldsMoveChangeAndComeAndGoWithTheirValues) {
  TempDir dir;
  const std::string people = MakePeople(dir, false);
  ASSERT_EQ(dbtables::OpenOk(people, true)->setDeleted(2, true), Ok);
  // NOTES first, NAME renamed and wider, AGE as text, a new date.
  RestructureReport report;
  ASSERT_EQ(RestructureDbaseTable(people,
                                  Change({Old(3), Old(1, "FULLNAME", dbChar, 20),
                                          Old(2, "AGE", dbChar, 5), Field("BORN", dbDate)},
                                         {opCopy, opModify, opModify, opAdd}),
                                  false, &report),
            Ok)
      << LastErrorMessage();
  EXPECT_EQ(report.records, 4u);
  EXPECT_EQ(report.kept, 3u);  // the deleted record went
  auto t = dbtables::OpenOk(people);
  std::vector<std::string> shape;
  for (const DbfField& f : t->fields()) shape.push_back(f.name + " " + f.type + std::to_string(f.length));
  EXPECT_EQ(shape, (std::vector<std::string>{"NOTES M10", "FULLNAME C20", "AGE C5", "BORN D8"}));
  const auto rows = dbtables::AllRows(*t);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(dbtables::Show(rows[2]),
            dbtables::Show(Row{std::string("notes of Dora" + std::string(600, '.')),
                               std::string("Dora"), std::string("23"), Value{}}));
  t.reset();

  // And back: text that reads as numbers into a number; a field dropped.
  ASSERT_EQ(RestructureDbaseTable(people, Change({Old(2), Old(3, "AGE", dbNumber, 4, 1), Old(1)},
                                                 {opNone, opModify, opDrop}),
                                  false, &report),
            Ok)
      << LastErrorMessage();
  EXPECT_EQ(report.droppedFields, (std::vector<std::string>{"NOTES", "BORN"}));
  EXPECT_EQ(dbtables::Show(dbtables::AllRows(*dbtables::OpenOk(people))[0]),
            dbtables::Show(Row{std::string("Ann"), 20.0}));

  hDBIDb db = 0;  // through the handle API
  ASSERT_EQ(OpenDatabase(dir.path(), db), Ok);
  TableDesc same;
  same.tableName = "PEOPLE.DBF";
  EXPECT_EQ(RestructureTable(db, same), Ok) << LastErrorMessage();
  CloseDatabase(db);
  EXPECT_EQ(dbtables::AllRows(*dbtables::OpenOk(people)).size(), 3u);
}

TEST(DbfFamilyRestructure, AValueThatWouldBeLostRefusesTheChangeNamingRecordAndField) {
  TempDir dir;
  const std::string people = MakePeople(dir, false);
  const std::string before = *Slurp(people);
  const TableDesc narrow = Change({Old(1, "NAME", dbChar, 2), Old(2)}, {opModify, opNone});
  RestructureReport report;
  ASSERT_EQ(RestructureDbaseTable(people, narrow, true, &report), Ok) << LastErrorMessage();
  EXPECT_EQ(report.kept, 1u);  // "Cy" fits
  EXPECT_EQ(report.problems, 3u);
  EXPECT_EQ(report.refusal, "record 1: field NAME: \"Ann\" is longer than 2 characters");
  EXPECT_EQ(RestructureDbaseTable(people, narrow, false, &report), ErrInvalidValue);
  EXPECT_EQ(LastErrorMessage(), "record 1: field NAME: \"Ann\" is longer than 2 characters");
  EXPECT_EQ(*Slurp(people), before);

  EXPECT_EQ(RestructureDbaseTable(people, Change({Old(2, "AGE", dbNumber, 5, 1)}, {opModify}),
                                  false),
            Ok);
  {
    auto t = dbtables::OpenOk(people, true);
    ASSERT_EQ(t->update(1, {BcdValue{"12.5"}}), Ok);
  }
  EXPECT_EQ(RestructureDbaseTable(people, Change({Old(1, "AGE", dbNumber, 5, 0)}, {opModify}),
                                  false),
            ErrInvalidValue);
  EXPECT_EQ(LastErrorMessage(), "record 2: field AGE: 12.5 has more than 0 decimals");
  EXPECT_EQ(RestructureDbaseTable(people, Change({Old(1, "AGE", dbMemo)}, {opModify}), false),
            ErrInvalidFieldDesc);  // numbers never become memos
  EXPECT_EQ(RestructureDbaseTable(people, Change({Old(7)}, {opCopy}), false), ErrInvalidFieldDesc);
  EXPECT_FALSE(fs::exists(dir / "PEOPLE.DBF.work~"));
}
