// The table property list of the detail view: tables made through the engine
// and a corpus table whose header bytes serve as the oracle.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/dataset/dberror.h"
#include "engine/paradox/pxcreate.h"
#include "structure/extraction.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
using structure::BuildTablePropertyList;
using structure::PropertyList;

namespace {

class TablePropertyList : public testing::Test {
 protected:
  void TearDown() override {
    for (hDBICur& c : cursors) CloseCursor(c);
    if (db) CloseDatabase(db);
    RemoveAllPasswords();
  }

  hDBICur Open(const std::string& directory, const std::string& name) {
    if (!db) {
      EXPECT_EQ(OpenDatabase(directory, db), Ok) << LastErrorMessage();
    }
    hDBICur c = 0;
    EXPECT_EQ(OpenTable(db, name, "", OpenMode::ReadOnly, c), Ok) << LastErrorMessage();
    cursors.push_back(c);
    return c;
  }

  TempDir dir;
  hDBIDb db = 0;
  std::vector<hDBICur> cursors;
};

TEST_F(TablePropertyList, KeyedProtectedTableWithChecksLinksAndIndexes) {
  using ptables::Field;
  ASSERT_EQ(paradox::CreateParadoxTable(
                ptables::Desc(dir / "PARENT.DB", {Field("Id", pxLong)}, 1), false),
            Ok)
      << LastErrorMessage();
  TableDesc d = ptables::Desc(dir / "CHILD.DB",
                              {Field("No", pxLong), Field("Parent", pxLong),
                               Field("Name", pxAlpha, 20), Field("Price", pxMoney)},
                              1);
  d.optionalParams.push_back({"BLOCK SIZE", "4096"});
  d.isProtected = 1;
  d.password = "master";
  ValCheckDesc required;
  required.fieldNumber = 3;
  required.required = 1;
  d.checks = {required};
  RefIntDesc link;
  link.name = "ToParent";
  link.kind = riDependent;
  link.otherTable = "PARENT.DB";
  link.fieldCount = 1;
  link.thisFields[0] = 2;
  link.otherFields[0] = 1;
  d.refInts = {link};
  IndexDesc byName;
  byName.name = "ByName";
  byName.maintained = 1;
  byName.fieldsInKey = 1;
  byName.keyFields[0] = 3;
  d.indexes.push_back(byName);
  ASSERT_EQ(paradox::CreateParadoxTable(d, false), Ok) << LastErrorMessage();
  AddPassword("master");

  PropertyList list{"kept"};
  BuildTablePropertyList(Open(dir.path(), "CHILD.DB"), list);
  ASSERT_EQ(list.size(), 12);
  EXPECT_EQ(list[0], "kept");
  EXPECT_EQ(list[1], "Table Type=PARADOX");
  EXPECT_TRUE(list[2].startsWith("Language Driver=") && list[2].size() > 16) << list[2].toStdString();
  EXPECT_TRUE(list[3].startsWith("Restructure version=")) << list[3].toStdString();
  EXPECT_EQ(list.mid(4), (QStringList{"Protected=Yes", "Fields=4", "Indexes=2",
                                      "Validity Checks=1", "Referential Integ Checks=1",
                                      "Record Buffer Size=36", "Table Level=7",
                                      "Block size (Kb)=4"}));
}

TEST_F(TablePropertyList, UnkeyedLevelThreeTable) {
  ASSERT_EQ(paradox::CreateParadoxTable(
                ptables::Desc(dir / "OLD.DB", {ptables::Field("Line", pxAlpha, 60)}, 0, 3), false),
            Ok)
      << LastErrorMessage();
  PropertyList list;
  BuildTablePropertyList(Open(dir.path(), "OLD.DB"), list);
  ASSERT_EQ(list.size(), 11);
  EXPECT_EQ(list[3], "Protected=No");
  EXPECT_EQ(list[5], "Indexes=0");
  EXPECT_EQ(list.mid(6, 4), (QStringList{"Validity Checks=0", "Referential Integ Checks=0",
                                         "Record Buffer Size=60", "Table Level=3"}));
}

// The header of a file written by another program decides the numbers.
TEST_F(TablePropertyList, CorpusTableAgreesWithItsHeader) {
  const std::string directory = std::string(QUARRY_CORPUS_DIR) + "/paradox/db";
  if (!std::filesystem::exists(directory + "/AREACODES.DB")) GTEST_SKIP() << "no corpus";
  std::ifstream in(directory + "/AREACODES.DB", std::ios::binary);
  unsigned char header[0x40] = {};
  in.read(reinterpret_cast<char*>(header), sizeof header);
  ASSERT_TRUE(in);
  const int recordSize = header[0] | header[1] << 8;
  const int fieldCount = header[0x21] | header[0x22] << 8;

  PropertyList list;
  BuildTablePropertyList(Open(directory, "AREACODES.DB"), list);
  ASSERT_EQ(list.size(), 11);
  EXPECT_EQ(list[2], "Restructure version=" + QString::number(header[0x2E]));
  EXPECT_EQ(list[4], "Fields=" + QString::number(fieldCount));
  EXPECT_EQ(list[8], "Record Buffer Size=" + QString::number(recordSize));
  EXPECT_EQ(list[10], "Block size (Kb)=" + QString::number(header[5]));
  EXPECT_EQ(header[5], 16);
}

TEST_F(TablePropertyList, UnknownCursorRaisesAndAddsNothing) {
  PropertyList list{"kept"};
  EXPECT_THROW(BuildTablePropertyList(12345, list), EDBEngineError);
  EXPECT_EQ(list, QStringList{"kept"});
}

}  // namespace
