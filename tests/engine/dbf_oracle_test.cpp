// Our tables as other programs read them, and other programs' tables as we
// read them: dbfread and GDAL read what we create and change (levels 3 to 5;
// neither understands level 7 headers), and tables the dbf module and
// ogr2ogr write read as those programs read them back. Each test skips when
// its program is not installed.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "engine/dbase/dbtable.h"
#include "engine/valuetext.h"
#include "tests/support/dboracle.h"
#include "tests/support/dbtables.h"
#include "tests/support/files.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::dbase;
using dbtables::Desc;
using dbtables::Field;
using dbtables::OpenOk;
using dbtables::Row;

namespace {

std::vector<FieldDesc> FieldsFor(int level) {
  std::vector<FieldDesc> f = {Field("NAME", dbChar, 24),       Field("COUNT", dbNumber, 9),
                              Field("PRICE", dbNumber, 12, 2), Field("BORN", dbDate),
                              Field("OK", dbLogical),          Field("NOTES", dbMemo)};
  if (level >= 4) f.push_back(Field("RATE", dbFloat, 16, 6));
  if (level >= 5) {
    f.push_back(Field("PIC", dbBinary));
    f.push_back(Field("OBJ", dbOle));
  }
  return f;
}

Row RowFor(int level, int k) {
  static const char* const names[] = {"Zoë", "Ærø Ltd.", "façade", "", "O'Brien, \"Bud\"", "x"};
  Row r = {std::string(names[k % 6]) + (k % 6 == 3 ? "" : " " + std::to_string(k)),
           k % 7 == 3 ? Value{} : Value{std::int64_t{(k - 20) * 12345}},
           k % 5 == 4 ? Value{} : Value{(k - 17) * 101.25},
           k % 9 == 8 ? Value{} : Value{DateValue{DayNumber(1900 + 3 * k, 1 + k % 12, 1 + k % 28)}},
           k % 3 == 2 ? Value{} : Value{k % 2 == 0},
           k % 4 == 1
               ? Value{}
               : Value{std::string(k * 37 % 1500, 'a' + k % 26) + "\r\nend " + std::to_string(k)}};
  if (level >= 4) r.push_back(k % 6 == 5 ? Value{} : Value{k / 7.0 - 2});
  if (level >= 5) {
    // Bytes 00 to 27 (1A among them) but 1F, at which dbfread ends a value.
    const char byte = static_cast<char>(k == 0x1F ? 0x80 : k);
    r.push_back(k % 4 == 0 ? Value{} : Value{BlobValue{std::string(k * 13 % 700, byte)}});
    r.push_back(k % 5 == 0 ? Value{BlobValue{"\x01\x02\x03 ole " + std::to_string(k)}} : Value{});
  }
  return r;
}

// Where two readings first differ ("" when they agree).
std::string FirstDifference(const dboracle::Rows& ours, const dboracle::Rows& theirs) {
  if (ours.size() != theirs.size())
    return std::to_string(ours.size()) + " rows against " + std::to_string(theirs.size());
  for (std::size_t r = 0; r < ours.size(); ++r) {
    if (ours[r].size() != theirs[r].size()) return "row " + std::to_string(r) + ": field counts";
    for (std::size_t c = 0; c < ours[r].size(); ++c)
      if (ours[r][c] != theirs[r][c])
        return "row " + std::to_string(r) + " field " + std::to_string(c) + ": ours \"" +
               ours[r][c] + "\", theirs \"" + theirs[r][c] + "\"";
  }
  return "";
}

class DbfOracleLevel : public testing::TestWithParam<int> {};

TEST_P(DbfOracleLevel, WhatWeWriteAndChangeDbfreadReadsTheSame) {
  const std::string python = dboracle::PythonWith("dbfread");
  if (python.empty()) GTEST_SKIP() << "dbfread is not installed";
  const int level = GetParam();
  TempDir dir;
  const std::string path = dir / "ORACLE.DBF";
  ASSERT_EQ(DbaseTable::Create(path, Desc(FieldsFor(level)), level, false), Ok)
      << LastErrorMessage();
  auto t = OpenOk(path, true);
  std::vector<Row> rows;
  for (int k = 0; k < 40; ++k) rows.push_back(RowFor(level, k));
  VectorRows source(rows);
  ASSERT_EQ(t->insertRows(source), Ok) << LastErrorMessage();
  auto check = [&](const char* stage) {
    SCOPED_TRACE(stage);
    const auto theirs = dboracle::DbfreadRows(python, path);
    ASSERT_TRUE(theirs) << "dbfread failed to read the table";
    const auto ours = dboracle::OurRows(*t);
    EXPECT_EQ(FirstDifference(ours, *theirs), "");
  };
  check("inserted");
  for (std::uint32_t i : {3u, 4u, 17u, 39u}) ASSERT_EQ(t->setDeleted(i, true), Ok);
  for (std::uint32_t i : {0u, 5u, 6u}) {
    Row r = RowFor(level, static_cast<int>(i) + 50);
    ASSERT_EQ(t->update(i, r), Ok) << LastErrorMessage();
  }
  check("deleted and updated");
  t.reset();
  ASSERT_EQ(DbaseTable::Pack(path), Ok) << LastErrorMessage();
  t = OpenOk(path, true);
  EXPECT_EQ(t->recordCount(), 36u);
  check("packed");
}

TEST_P(DbfOracleLevel, WhatWeWriteGdalReadsTheSame) {
  const std::string python = dboracle::PythonWith("osgeo.ogr");
  if (python.empty()) GTEST_SKIP() << "GDAL's Python module is not installed";
  const int level = GetParam();
  TempDir dir;
  const std::string path = dir / "GDAL.DBF";
  ASSERT_EQ(DbaseTable::Create(path, Desc(FieldsFor(level)), level, false), Ok);
  auto t = OpenOk(path, true);
  std::vector<Row> rows;
  for (int k = 0; k < 30; ++k) rows.push_back(RowFor(level, k));
  VectorRows source(rows);
  ASSERT_EQ(t->insertRows(source), Ok) << LastErrorMessage();
  ASSERT_EQ(t->setDeleted(2, true), Ok);
  auto theirs = dboracle::GdalRows(python, path);
  ASSERT_TRUE(theirs && !theirs->empty());
  auto ours = dboracle::OurRows(*t);
  // GDAL shows memo fields as their block numbers: those are left out.
  const std::vector<std::string> names = theirs->front();
  theirs->erase(theirs->begin());
  ASSERT_EQ(names.size(), t->fields().size());
  for (std::size_t f = t->fields().size(); f-- > 0;) {
    EXPECT_EQ(names[f], t->fields()[f].name);
    if (!t->fields()[f].isMemo()) continue;
    for (auto& r : ours) r.erase(r.begin() + static_cast<long>(f));
    for (auto& r : *theirs) r.erase(r.begin() + static_cast<long>(f));
  }
  EXPECT_EQ(FirstDifference(ours, *theirs), "");
}

INSTANTIATE_TEST_SUITE_P(DbfOracleLevels, DbfOracleLevel, testing::Values(3, 4, 5),
                         [](const auto& info) { return "Level" + std::to_string(info.param); });

// Tables the dbf module writes in its four kinds (dBASE III, Clipper,
// FoxPro, Visual FoxPro), with memos, a deleted record and the FoxPro
// types: we read what it reads back, and so does dbfread.
TEST(DbfOracle, TablesTheDbfModuleWritesReadTheSame) {
  const std::string python = dboracle::PythonWith("dbf");
  if (python.empty()) GTEST_SKIP() << "the dbf module is not installed";
  const std::string dbfread = dboracle::PythonWith("dbfread");
  TempDir dir;
  const auto written = dboracle::Run(python + " -c " + dboracle::Quote(R"(
import dbf, datetime, sys
for kind in ['db3', 'clp', 'fp', 'vfp']:
    fields = 'name C(20); qty N(5,0); price N(8,2); born D; ok L; notes M'
    if kind == 'vfp': fields += '; cnt I; amt Y; stamp T; dbl B'
    if kind == 'fp': fields += '; flt F(10,3)'
    t = dbf.Table(sys.argv[1] + '/' + kind + '.dbf', fields, dbf_type=kind, codepage='cp1252')
    t.open(dbf.READ_WRITE)
    for k in range(25):
        r = ['Grüße ' * (k % 3) + str(k), k * 37 - 400, k * 1.25 - 9, datetime.date(1990 + k, 1 + k % 12, 1 + k),
             [True, False, None][k % 3], ('memo %d\r\n' % k) * (k * 7 % 90)]
        if kind == 'vfp':
            r += [k * 1000 - 7, k * 12.5, datetime.datetime(2020, 1, 2, k % 24, k, 59 - k), k / 4.0 - 3]
        if kind == 'fp': r += [k * 3.125]
        t.append(tuple(r))
    for k in (1, 7, 24): dbf.delete(t[k])
    t.close()
)") + " " + dboracle::Quote(dir.path()));
  ASSERT_TRUE(written) << "the dbf module failed to write its tables";
  for (const char* kind : {"db3", "clp", "fp", "vfp"}) {
    SCOPED_TRACE(kind);
    const std::string path = dir / (std::string(kind) + ".dbf");
    auto t = OpenOk(path);
    ASSERT_TRUE(t);
    const auto ours = dboracle::OurRows(*t);
    EXPECT_EQ(ours.size(), 22u);
    const auto theirs = dboracle::DbfModuleRows(python, path);
    ASSERT_TRUE(theirs);
    EXPECT_EQ(FirstDifference(ours, *theirs), "");
    if (!dbfread.empty()) {
      const auto other = dboracle::DbfreadRows(dbfread, path);
      ASSERT_TRUE(other);
      EXPECT_EQ(FirstDifference(ours, *other), "") << "dbfread";
    }
  }
}

// A table ogr2ogr makes from CSV text: texts, whole and decimal numbers,
// dates and an accented text in GDAL's own code page.
TEST(DbfOracle, TablesGdalWritesReadTheSame) {
  const std::string python = dboracle::PythonWith("osgeo.ogr");
  if (python.empty() || !dboracle::Run("ogr2ogr --version"))
    GTEST_SKIP() << "GDAL is not installed";
  TempDir dir;
  std::string csv = "name,qty,price,born\n";
  for (int k = 0; k < 20; ++k)
    csv += "Müller " + std::to_string(k) + "," + std::to_string(k * 1001 - 5000) + "," +
           std::to_string(k * 2.5 - 7) + "," + FormatDate(DayNumber(2000 + k, 1 + k % 12, 10 + k)) +
           "\n";
  Put(dir / "in.csv", csv);
  ASSERT_TRUE(
      dboracle::Run("cd " + dboracle::Quote(dir.path()) +
                    " && ogr2ogr -f 'ESRI Shapefile' out.dbf in.csv -oo AUTODETECT_TYPE=YES"))
      << "ogr2ogr failed to write";
  auto t = OpenOk(dir / "out.dbf");
  ASSERT_TRUE(t);
  std::string types;
  for (const DbfField& f : t->fields()) types += f.type;
  EXPECT_EQ(types, "CNND");
  auto theirs = dboracle::GdalRows(python, dir / "out.dbf");
  ASSERT_TRUE(theirs && !theirs->empty());
  theirs->erase(theirs->begin());
  const auto ours = dboracle::OurRows(*t);
  EXPECT_EQ(FirstDifference(ours, *theirs), "");
  EXPECT_EQ(ours[3][0], "Müller 3");
}

}  // namespace
