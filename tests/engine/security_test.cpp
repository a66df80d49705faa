// Auxiliary passwords: what each table and field right allows, the side
// file that keeps them, and the refusals around them.
#include "engine/paradox/pxsecurity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "engine/family.h"
#include "engine/lists.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxcrypt.h"
#include "engine/paradox/pxfamily.h"
#include "engine/paradox/pxtable.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::paradox;
using ptables::Desc;
using ptables::Field;
namespace fs = std::filesystem;

namespace {

constexpr std::int32_t R = kRightsReadOnly, A = kRightsAll, N = kRightsNone;

SecurityDesc Aux(const std::string& password, std::int32_t table, std::vector<std::int32_t> fields) {
  SecurityDesc s;
  s.password = password;
  s.tableRights = table;
  for (std::size_t i = 0; i < fields.size(); ++i) s.fieldRights[i] = fields[i];
  return s;
}

// Session passwords for one scope.
struct PasswordScope {
  explicit PasswordScope(std::initializer_list<const char*> list) {
    for (const char* pw : list) AddPassword(pw);
  }
  ~PasswordScope() { RemoveAllPasswords(); }
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// STAFF: Id (key), Name, Salary, Notes (memo); master password "boss" and
// one auxiliary password per table right. "clerk" cannot see Salary;
// "editor" may not change Id.
class AuxStaff : public testing::Test {
 protected:
  void SetUp() override {
    path = dir / "STAFF.DB";
    TableDesc d = Desc(path, {Field("Id", pxLong), Field("Name", pxAlpha, 20),
                              Field("Salary", pxMoney), Field("Notes", pxMemo, 10)},
                       1);
    d.password = "boss";
    d.isProtected = 1;
    d.passwords = {Aux("reader", R, {R, R, R, R}),    Aux("editor", kRightsUpdate, {R, A, A, A}),
                   Aux("clerk", kRightsDataEntry, {A, A, N, A}),
                   Aux("remover", kRightsInsertDelete, {A, A, A, A}),
                   Aux("owner", A, {A, A, A, A}),      Aux("nobody", N, {N, N, N, N})};
    ASSERT_EQ(CreateParadoxTable(d, false), Ok) << LastErrorMessage();
    auto t = open({"boss"}, true);
    ASSERT_EQ(t->insertMany({row(1, "Ann", 5000.0), row(2, "Bob", 4200.0), row(3, "Cy", 3900.0)}),
              Ok)
        << LastErrorMessage();
  }

  static std::vector<Value> row(std::int64_t id, const std::string& name, Value salary) {
    return {id, name, salary, std::string(300, 'n')};
  }

  std::unique_ptr<ParadoxTable> open(std::vector<std::string> passwords, bool writable = false,
                                     Result expected = Ok) {
    std::unique_ptr<ParadoxTable> t;
    OpenOptions o;
    o.writable = writable;
    o.passwords = std::move(passwords);
    EXPECT_EQ(ParadoxTable::Open(path, o, t), expected) << LastErrorMessage();
    return t;
  }

  std::vector<Value> read(ParadoxTable& t, std::uint32_t i) {
    std::vector<Value> v;
    EXPECT_EQ(t.readRecord(i, v), Ok) << LastErrorMessage();
    return v;
  }

  TempDir dir;
  std::string path;
};

struct RightsCase {
  const char* password;
  bool insert, update, remove;
};

void PrintTo(const RightsCase& c, std::ostream* os) { *os << c.password; }

class AuxStaffRights : public AuxStaff, public testing::WithParamInterface<RightsCase> {};

// Each code allows what the one below it allows, and one more kind of change.
TEST_P(AuxStaffRights, AllowExactlyTheirChanges) {
  const RightsCase& c = GetParam();
  auto t = open({c.password}, true);
  ASSERT_TRUE(t);
  auto expect = [&](Result r, bool allowed, const char* what) {
    EXPECT_EQ(r, allowed ? Ok : ErrNoRights) << what << ": " << LastErrorMessage();
    if (!allowed) {
      EXPECT_NE(LastErrorMessage().find("the password does not allow"), std::string::npos);
    }
  };
  std::vector<Value> changed = read(*t, 1);
  changed[1] = std::string("Bobby");
  expect(t->update(1, changed), c.update, "update");
  expect(t->insert(row(9, "Dee", Value{})), c.insert, "insert");
  expect(t->remove(0), c.remove, "delete");
  auto check = open({"boss"});
  EXPECT_EQ(check->recordCount(), 3u + c.insert - c.remove);
}

INSTANTIATE_TEST_SUITE_P(Codes, AuxStaffRights,
                         testing::Values(RightsCase{"reader", false, false, false},
                                         RightsCase{"editor", false, true, false},
                                         RightsCase{"clerk", true, true, false},
                                         RightsCase{"remover", true, true, true},
                                         RightsCase{"owner", true, true, true},
                                         RightsCase{"boss", true, true, true}),
                         [](const auto& info) { return std::string(info.param.password); });

TEST_F(AuxStaff, AFieldWithoutRightsReadsAsNullAndKeepsItsValue) {
  auto t = open({"clerk"}, true);
  std::vector<Value> bob = read(*t, 1);
  EXPECT_TRUE(IsNull(bob[2]));
  EXPECT_EQ(std::get<std::string>(bob[1]), "Bob");
  bob[1] = std::string("Robert");
  ASSERT_EQ(t->update(1, bob), Ok) << LastErrorMessage();  // Salary given back as NULL
  bob[2] = 1.0;
  EXPECT_EQ(t->update(1, bob), ErrNoRights);
  EXPECT_NE(LastErrorMessage().find("field Salary cannot be changed with this password"),
            std::string::npos);
  EXPECT_EQ(t->insert(row(7, "Eve", 100.0)), ErrNoRights);
  EXPECT_NE(LastErrorMessage().find("field Salary cannot be given a value"), std::string::npos);
  auto boss = open({"boss"});
  std::vector<Value> stored = read(*boss, 1);
  EXPECT_EQ(std::get<std::string>(stored[1]), "Robert");
  EXPECT_EQ(std::get<double>(stored[2]), 4200.0);

  // Through the handle API a single read of the field is refused.
  PasswordScope session{"clerk"};
  hDBICur c = 0;
  ASSERT_EQ(OpenTablePath(path, OpenMode::ReadOnly, c), Ok) << LastErrorMessage();
  ASSERT_EQ(GetNextRecord(c, nullptr), Ok);
  Value v;
  EXPECT_EQ(GetField(c, 2, v), Ok);
  EXPECT_EQ(GetField(c, 3, v), ErrNoRights);
  EXPECT_NE(LastErrorMessage().find("field Salary cannot be read"), std::string::npos);
  CloseCursor(c);
}

TEST_F(AuxStaff, AReadOnlyFieldCannotBeChanged) {
  auto t = open({"editor"}, true);
  std::vector<Value> ann = read(*t, 0);
  ann[0] = std::int64_t{10};
  EXPECT_EQ(t->update(0, ann), ErrNoRights);
  EXPECT_NE(LastErrorMessage().find("field Id cannot be changed"), std::string::npos);
  ann[0] = std::int64_t{1};
  ann[2] = 5100.0;
  EXPECT_EQ(t->update(0, ann), Ok) << LastErrorMessage();
}

TEST_F(AuxStaff, PasswordsThatOpenNothing) {
  open({}, false, ErrPasswordRequired);
  open({"Boss", "READER", "x"}, false, ErrPasswordRequired);  // case matters
  open({"nobody"}, false, ErrNoRights);
  EXPECT_NE(LastErrorMessage().find("grants no rights"), std::string::npos);
  // The first password that matches counts; the master password always wins.
  EXPECT_FALSE(open({"reader", "owner"})->rights().allows(kRightsUpdate));
  EXPECT_TRUE(open({"reader", "boss"})->rights().master);
}

TEST_F(AuxStaff, SideFileIsUnreadableWithoutTheKeyAndMatchesTheHeader) {
  const std::string side = AuxPasswordPath(path);
  EXPECT_EQ(fs::path(side).filename(), "STAFF.QPW");
  const std::string bytes = Slurp(side);
  for (const char* pw : {"reader", "editor", "clerk", "remover", "owner", "nobody"})
    EXPECT_EQ(bytes.find(pw), std::string::npos) << pw << " is readable in the side file";
  auto boss = open({"boss"});
  EXPECT_EQ(boss->header().auxPasswordCount(), 6);
  const std::uint32_t key = boss->header().encryption();
  std::vector<AuxPassword> list;
  ASSERT_EQ(DecodeAuxPasswords(side, bytes, key, list), Ok) << LastErrorMessage();
  ASSERT_EQ(list.size(), 6u);
  EXPECT_EQ(list[2].password, "clerk");
  EXPECT_EQ(list[2].tableRights, kRightsDataEntry);
  EXPECT_EQ(list[2].fieldRights, (std::vector<std::int32_t>{A, A, N, A}));
  for (std::uint32_t other : {key ^ 1u, key ^ 0x100u, PasswordChecksum("reader")}) {
    EXPECT_EQ(DecodeAuxPasswords(side, bytes, other, list), ErrCorruptHeader);
    EXPECT_NE(LastErrorMessage().find("cannot be read with this table's key"), std::string::npos);
  }
  for (std::size_t i = 16; i < bytes.size(); ++i) {  // any damaged byte is noticed
    std::string damaged = bytes;
    damaged[i] ^= 0x20;
    ASSERT_NE(DecodeAuxPasswords(side, damaged, key, list), Ok) << "byte " << i;
  }
}

TEST_F(AuxStaff, HeaderCountAndSideFileMustAgree) {
  std::fstream db(path, std::ios::in | std::ios::out | std::ios::binary);
  db.seekp(0x3D);
  db.put(5);
  db.close();
  open({"clerk"}, false, ErrCorruptHeader);
  EXPECT_NE(LastErrorMessage().find("holds 6 auxiliary passwords, but the table header counts 5"),
            std::string::npos);
  EXPECT_TRUE(open({"boss"}));  // the master password needs no side file
  fs::remove(AuxPasswordPath(path));
  open({"clerk"}, false, ErrPasswordRequired);
  EXPECT_NE(LastErrorMessage().find("not kept where this engine can read them"), std::string::npos);
}

TEST_F(AuxStaff, SecurityListNeedsTheMasterPassword) {
  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase(dir.path(), db), Ok);
  hDBICur list = 0;
  EXPECT_EQ(OpenSecurityList(db, "STAFF", "PARADOX", list), ErrPasswordRequired);
  PasswordScope session{"owner"};
  EXPECT_EQ(OpenSecurityList(db, "STAFF", "PARADOX", list), ErrNoRights);
  AddPassword("boss");
  ASSERT_EQ(OpenSecurityList(db, "STAFF", "PARADOX", list), Ok) << LastErrorMessage();
  SecurityDesc s;
  ASSERT_EQ(GetRelativeRecord(list, 2, s), Ok);
  EXPECT_EQ(s.number, 2);
  EXPECT_EQ(s.password, "editor");
  EXPECT_EQ(s.tableRights, kRightsUpdate);
  EXPECT_EQ(s.fieldRights[0], R);
  EXPECT_EQ(s.fieldRights[1], A);
  std::uint32_t count = 0;
  EXPECT_EQ(GetListCount(list, count), Ok);
  EXPECT_EQ(count, 6u);
  CloseCursor(list);
  CloseDatabase(db);
}

TEST_F(AuxStaff, WholeTableOperationsAskForTheirRights) {
  EXPECT_EQ(EmptyParadoxTable(path, {"clerk"}), ErrNoRights);
  EXPECT_EQ(DeleteParadoxTable(path, {"remover"}), ErrNoRights);
  EXPECT_EQ(RenameParadoxTable(path, "S2", {"reader"}), ErrNoRights);
  EXPECT_EQ(CopyParadoxTable(path, dir / "COPY.DB", false, {}), ErrPasswordRequired);
  // A copy, a new name or no records: the passwords stay with the table.
  ASSERT_EQ(CopyParadoxTable(path, dir / "COPY.DB", false, {"reader"}), Ok) << LastErrorMessage();
  ASSERT_EQ(RenameParadoxTable(dir / "COPY.DB", "OTHER", {"owner"}), Ok) << LastErrorMessage();
  ASSERT_EQ(EmptyParadoxTable(dir / "OTHER.DB", {"remover"}), Ok) << LastErrorMessage();
  std::unique_ptr<ParadoxTable> t;
  OpenOptions o;
  o.passwords = {"clerk"};
  ASSERT_EQ(ParadoxTable::Open(dir / "OTHER.DB", o, t), Ok) << LastErrorMessage();
  EXPECT_EQ(t->recordCount(), 0u);
  EXPECT_FALSE(t->rights().canRead(2));
  t.reset();
  EXPECT_EQ(DeleteParadoxTable(dir / "OTHER.DB", {"owner"}), Ok) << LastErrorMessage();
  EXPECT_FALSE(fs::exists(dir / "OTHER.QPW"));
}

struct BadAux {
  const char* what;
  std::function<void(TableDesc&)> spoil;
};

void PrintTo(const BadAux& b, std::ostream* os) { *os << b.what; }

class AuxRefused : public testing::TestWithParam<BadAux> {};

TEST_P(AuxRefused, CreatesNothing) {
  TempDir dir;
  TableDesc d = Desc(dir / "T.DB", {Field("A", pxAlpha, 5), Field("B", pxShort)});
  d.password = "master";
  d.isProtected = 1;
  d.passwords = {Aux("one", R, {R, R}), Aux("two", A, {A, R})};
  GetParam().spoil(d);
  EXPECT_EQ(CreateParadoxTable(d, false), ErrInvalidParameter);
  EXPECT_TRUE(fs::is_empty(dir.path())) << LastErrorMessage();
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, AuxRefused,
    testing::Values(
        BadAux{"no master password", [](TableDesc& d) { d.isProtected = 0, d.password = ""; }},
        BadAux{"the master password", [](TableDesc& d) { d.passwords[1].password = "master"; }},
        BadAux{"twice", [](TableDesc& d) { d.passwords[1].password = "one"; }},
        BadAux{"empty", [](TableDesc& d) { d.passwords[0].password = ""; }},
        BadAux{"too long", [](TableDesc& d) { d.passwords[0].password = std::string(32, 'p'); }},
        BadAux{"table right 2", [](TableDesc& d) { d.passwords[0].tableRights = 2; }},
        BadAux{"table right unknown", [](TableDesc& d) { d.passwords[0].tableRights = 255; }},
        BadAux{"field right 3", [](TableDesc& d) { d.passwords[1].fieldRights[1] = 3; }}));

TEST(AuxPasswords, AnUnprotectedTableHasNoneAndMayDropThem) {
  TempDir dir;
  TableDesc d = Desc(dir / "T.DB", {Field("A", pxAlpha, 5)});
  d.password = "m";
  d.isProtected = 1;
  d.passwords = {Aux("a", R, {R})};
  ASSERT_EQ(CreateParadoxTable(d, false), Ok) << LastErrorMessage();
  ASSERT_TRUE(fs::exists(dir / "T.QPW"));
  d.passwords.clear();
  d.isProtected = 0;
  ASSERT_EQ(CreateParadoxTable(d, true), Ok) << LastErrorMessage();
  EXPECT_FALSE(fs::exists(dir / "T.QPW"));
  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase(dir.path(), db), Ok);
  hDBICur list = 0;
  ASSERT_EQ(OpenSecurityList(db, "T.DB", "", list), Ok) << LastErrorMessage();
  SecurityDesc s;
  EXPECT_EQ(GetNextRecord(list, s), ErrEndOfList);
  CloseCursor(list);
  CloseDatabase(db);
}

}  // namespace
