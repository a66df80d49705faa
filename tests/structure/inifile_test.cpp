// Profile files: order kept, replace in place, case-insensitive lookup,
// trimmed values, backslashes in section names, other lines kept.
#include "structure/inifile.h"

#include <gtest/gtest.h>

#include <QFile>

#include "tests/support/tempdir.h"

namespace {

using structure::IniFile;

QString Read(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString("<missing>");
}

void Write(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

class Ini : public ::testing::Test {
 protected:
  QString file(const char* name = "s.ini") const { return QString::fromStdString(dir / name); }
  TempDir dir;
};

TEST_F(Ini, WritesSectionsAndKeysInFirstWrittenOrderAndReplacesInPlace) {
  IniFile ini(file());
  ini.WriteString("TABLES", "0", "A.DB");
  ini.WriteString("A.DB\\TBPROPS", "TABLE LEVEL", "7");
  ini.WriteString("TABLES", "1", "B.DB");
  ini.WriteString("a.db\\tbprops", "table level", "4");  // same key, other case
  ini.WriteString("A.DB\\TBPROPS", "PROTECTED", "No");
  ASSERT_TRUE(ini.UpdateFile()) << ini.ErrorString().toStdString();
  EXPECT_EQ(Read(file()),
            "[TABLES]\r\n0=A.DB\r\n1=B.DB\r\n"
            "[A.DB\\TBPROPS]\r\nTABLE LEVEL=4\r\nPROTECTED=No\r\n");
}

TEST_F(Ini, ReadsIgnoringCaseAndBlanksAroundValues) {
  Write(file(), "; made by hand\n[Tables]\n0 =  ORDERS.DB  \r\n\n[ORDERS.DB\\FIELDS\\Cust No]\nName=Cust No\n");
  const IniFile ini(file());
  EXPECT_EQ(ini.ReadString("TABLES", "0"), "ORDERS.DB");
  EXPECT_EQ(ini.ReadString("orders.db\\fields\\CUST NO", "NAME"), "Cust No");
  EXPECT_EQ(ini.ReadString("TABLES", "9", "none"), "none");
  EXPECT_EQ(ini.ReadString("NOWHERE", "0", "none"), "none");
  EXPECT_EQ(ini.ReadSection("tables"), QStringList{"0"});
  EXPECT_EQ(ini.ReadSectionValues("TABLES"), QStringList{"0=ORDERS.DB"});
  EXPECT_TRUE(ini.ReadSection("NOWHERE").isEmpty());
  EXPECT_EQ(ini.ReadSections(), (QStringList{"Tables", "ORDERS.DB\\FIELDS\\Cust No"}));
}

TEST_F(Ini, RewritingKeepsWhatItDoesNotTouch) {
  Write(file(), "; comment\n[TABLES]\n0=OLD.DB\n1=GONE.DB\n\n[GONE.DB\\TBPROPS]\nTABLE LEVEL=4\n");
  IniFile ini(file());
  ini.WriteString("TABLES", "0", "NEW.DB");
  ini.WriteString("TABLES", "2", "MORE.DB");
  ini.WriteString("NEW.DB\\TBPROPS", "TABLE LEVEL", "7");
  ASSERT_TRUE(ini.UpdateFile());
  EXPECT_EQ(Read(file()),
            "; comment\r\n[TABLES]\r\n0=NEW.DB\r\n1=GONE.DB\r\n2=MORE.DB\r\n\r\n"
            "[GONE.DB\\TBPROPS]\r\nTABLE LEVEL=4\r\n[NEW.DB\\TBPROPS]\r\nTABLE LEVEL=7\r\n");
}

TEST_F(Ini, NothingWrittenCreatesNoFileAndAnUnwritableFileIsReported) {
  IniFile untouched(file());
  EXPECT_TRUE(untouched.UpdateFile());
  EXPECT_FALSE(QFile::exists(file()));

  IniFile nowhere(QString::fromStdString(dir / "no/such/dir/s.ini"));
  nowhere.WriteString("TABLES", "0", "A.DB");
  EXPECT_FALSE(nowhere.UpdateFile());
  EXPECT_TRUE(nowhere.ErrorString().contains("s.ini")) << nowhere.ErrorString().toStdString();
}

}  // namespace
