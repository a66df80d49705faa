// The table property list of the detail view: a table made through the
// engine, and a corpus table whose header bytes serve as the oracle.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/paradox/pxcreate.h"
#include "structure/extraction.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
using structure::BuildTablePropertyList;
using structure::PropertyList;

namespace {

// Opens `name` in `directory`, builds its list and closes everything.
PropertyList ListOf(const std::string& directory, const std::string& name, PropertyList list = {}) {
  hDBIDb db = 0;
  hDBICur cursor = 0;
  EXPECT_EQ(OpenDatabase(directory, db), Ok) << LastErrorMessage();
  EXPECT_EQ(OpenTable(db, name, "", OpenMode::ReadOnly, cursor), Ok) << LastErrorMessage();
  BuildTablePropertyList(cursor, list);
  CloseCursor(cursor);
  CloseDatabase(db);
  return list;
}

TEST(TablePropertyList, AppendsTheTablesPropertiesInOrder) {
  TempDir dir;
  using ptables::Field;
  TableDesc d =
      ptables::Desc(dir / "PRICES.DB",
                    {Field("No", pxLong), Field("Name", pxAlpha, 20), Field("Price", pxMoney)}, 1);
  d.optionalParams.push_back({"BLOCK SIZE", "4096"});
  d.isProtected = 1;
  d.password = "master";
  ASSERT_EQ(paradox::CreateParadoxTable(d, false), Ok) << LastErrorMessage();
  AddPassword("master");
  const PropertyList list = ListOf(dir.path(), "PRICES.DB", {"kept"});
  RemoveAllPasswords();
  ASSERT_EQ(list.size(), 12);
  EXPECT_EQ(list.mid(0, 2), (QStringList{"kept", "Table Type=PARADOX"}));
  EXPECT_TRUE(list[2].startsWith("Language Driver=") && list[2].size() > 16)
      << list[2].toStdString();
  EXPECT_TRUE(list[3].startsWith("Restructure version=")) << list[3].toStdString();
  EXPECT_EQ(list.mid(4), (QStringList{"Protected=Yes", "Fields=3", "Indexes=1", "Validity Checks=0",
                                      "Referential Integ Checks=0", "Record Buffer Size=32",
                                      "Table Level=7", "Block size (Kb)=4"}));
}

// The header of a file written by another program decides the numbers.
TEST(TablePropertyList, CorpusTableAgreesWithItsHeader) {
  const std::string directory = CorpusDir("paradox/db");
  if (directory.empty()) GTEST_SKIP() << "no corpus";
  std::ifstream in(directory + "/AREACODES.DB", std::ios::binary);
  unsigned char header[0x40] = {};
  in.read(reinterpret_cast<char*>(header), sizeof header);
  ASSERT_TRUE(in);
  const PropertyList list = ListOf(directory, "AREACODES.DB");
  ASSERT_EQ(list.size(), 11);
  EXPECT_EQ(list[2], "Restructure version=" + QString::number(header[0x2E]));
  EXPECT_EQ(list[4], "Fields=" + QString::number(header[0x21] | header[0x22] << 8));
  EXPECT_EQ(list[8], "Record Buffer Size=" + QString::number(header[0] | header[1] << 8));
  EXPECT_EQ(list[10], "Block size (Kb)=16");
}

}  // namespace
