// Families of Paradox tables and the operations on whole tables: copy,
// delete, rename and empty, their locks across processes, and runs cut
// short at every stage.
#include "engine/paradox/pxfamily.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "engine/family.h"
#include "engine/lists.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxtable.h"
#include "tests/support/holder.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::paradox;
using ptables::CopyFamily;
using ptables::Desc;
using ptables::Field;
using ptables::OpenOk;
namespace fs = std::filesystem;

namespace {

std::vector<std::vector<Value>> Records(const std::string& path,
                                        std::vector<std::string> passwords = {}) {
  auto t = OpenOk(path, false, std::move(passwords));
  std::vector<std::vector<Value>> rows;
  if (!t) return rows;
  rows.resize(t->recordCount());
  for (std::uint32_t i = 0; i < t->recordCount(); ++i)
    EXPECT_EQ(t->readRecord(i, rows[i]), Ok) << LastErrorMessage();
  return rows;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The files of a directory with their contents.
std::map<std::string, std::string> Files(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out[e.path().filename()] = Slurp(e.path());
  return out;
}

std::vector<std::string> MemberNames(const std::string& table) {
  std::vector<FamilyMember> members;
  EXPECT_EQ(ListFamily(table, members), Ok) << LastErrorMessage();
  std::vector<std::string> names;
  for (const auto& m : members) names.push_back(m.fileName);
  return names;
}

std::string HeaderTableName(const std::string& path) {
  std::string bytes = Slurp(path);
  PxHeader h;
  EXPECT_EQ(h.parse(path, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), Ok)
      << LastErrorMessage();
  return h.tableName;
}

// A keyed table with memo and graphic fields, an autoincrement and records.
std::string MakeBlobTable(const std::string& dir, const std::string& name = "PICS.DB",
                          int rows = 30) {
  std::string path = dir + "/" + name;
  TableDesc d = Desc(path, {Field("Id", pxAutoinc), Field("Title", pxAlpha, 20),
                            Field("Notes", pxMemo, 10), Field("Image", pxGraphic, 10)},
                     1);
  EXPECT_EQ(CreateParadoxTable(d, false), Ok) << LastErrorMessage();
  auto t = OpenOk(path, true);
  std::vector<std::vector<Value>> values;
  for (int i = 0; i < rows; ++i)
    values.push_back({Value{}, std::string("title ") + std::to_string(i),
                      std::string(3000 + i, 'm'), BlobValue{std::string(100 * i, 'g')}});
  EXPECT_EQ(t->insertMany(values), Ok) << LastErrorMessage();
  return path;
}


}  // namespace

// ---------------------------------------------------------------- families

namespace {

struct FamilyCase {
  const char* dir;
  const char* table;
  std::vector<std::tuple<std::string, std::int32_t, int>> members;  // name, kind, id
};

void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.dir << "/" << c.table; }

class FamilyOfCorpus : public testing::TestWithParam<FamilyCase> {};

}  // namespace

TEST_P(FamilyOfCorpus, ListsEveryMemberWithItsKind) {
  const FamilyCase& c = GetParam();
  std::string dir = CorpusDir(std::string("paradox/") + c.dir);
  if (dir.empty()) GTEST_SKIP() << "corpus absent";
  std::vector<FamilyMember> members;
  ASSERT_EQ(ListFamily(dir + "/" + c.table, members), Ok) << LastErrorMessage();
  std::vector<std::tuple<std::string, std::int32_t, int>> got;
  for (const auto& m : members) {
    got.emplace_back(m.fileName, m.kind, m.id);
    EXPECT_EQ(m.path, dir + "/" + m.fileName);
  }
  EXPECT_EQ(got, c.members);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, FamilyOfCorpus,
    testing::Values(
        FamilyCase{"joins", "C.DB",
                   {{"C.DB", famTable, 0}, {"C.PX", famIndex, 0}, {"C.VAL", famValChecks, 0},
                    {"C.X02", famSecIndex, 2}, {"C.Y02", famSecIndex, 2},
                    {"C.X03", famSecIndex, 3}, {"C.Y03", famSecIndex, 3}}},
        // Another table's name ends the same way: to_multiple is no member.
        FamilyCase{"joins", "multiple.db",
                   {{"multiple.db", famTable, 0}, {"multiple.PX", famIndex, 0},
                    {"multiple.val", famValChecks, 0}, {"multiple.X02", famSecIndex, 2},
                    {"multiple.Y02", famSecIndex, 2}, {"multiple.X04", famSecIndex, 4},
                    {"multiple.Y04", famSecIndex, 4}}},
        FamilyCase{"joins", "fk4.db",
                   {{"fk4.db", famTable, 0}, {"fk4.px", famIndex, 0}, {"fk4.val", famValChecks, 0},
                    {"fk4.XG0", famSecIndex2, 0}, {"fk4.YG0", famSecIndex2, 0}}},
        // Named in another case than the files are.
        FamilyCase{"joins", "CASE.DB",
                   {{"case.db", famTable, 0}, {"case.x01", famSecIndex, 1},
                    {"case.y01", famSecIndex, 1}}},
        FamilyCase{"fields", "graphic.db",
                   {{"graphic.db", famTable, 0}, {"graphic.px", famIndex, 0},
                    {"graphic.mb", famBlob, 0}}},
        FamilyCase{"db", "AREACODES.DB",
                   {{"AREACODES.DB", famTable, 0}, {"AREACODES.PX", famIndex, 0},
                    {"AREACODES.XG0", famSecIndex2, 0}, {"AREACODES.YG0", famSecIndex2, 0}}}));

TEST(FamilyMembers, KnowsMembersByExtensionOnly) {
  TempDir dir;
  const char* members[] = {"T.DB",  "T.F",   "T.F1",  "T.FSL", "T.R12", "T.RDL",
                           "t.qpw", "T.QIX", "T.QVC", "T.XGZ", "T.Y0A"};
  const char* strangers[] = {"T.QJR", "T.QRP", "T.QBE", "T.TXT", "T.X1",  "T.XG10",
                             "T.F123", "T.DB.new~", "TT.DB", "T"};
  for (const char* n : members) std::ofstream(dir / n) << "x";
  for (const char* n : strangers) std::ofstream(dir / n) << "x";
  fs::create_directory(dir / "T.MB");  // a directory is no member
  std::set<std::string> got;
  for (const std::string& n : MemberNames(dir / "t.db")) got.insert(n);
  EXPECT_EQ(got, std::set<std::string>(std::begin(members), std::end(members)));
  std::uint16_t id = 0;
  EXPECT_EQ(FamilyKindOf("xgz", &id), famSecIndex2);
  EXPECT_EQ(id, 35);
  EXPECT_EQ(FamilyKindOf("R12", &id), famReport);
  EXPECT_EQ(id, 12);
  std::vector<FamilyMember> none;
  EXPECT_EQ(ListFamily(dir / "missing.db", none), ErrNotFound);
}

// ---------------------------------------------------------------- copy

TEST(FamilyCopy, CopiesTheWholeFamilyUnderTheNewName) {
  std::string corpus = CorpusDir("paradox/joins");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  TempDir dir;
  ASSERT_EQ(CopyFamily(corpus, "C", dir.path()), 7);
  ASSERT_EQ(CopyParadoxTable(dir / "C.DB", dir / "D.DB", false), Ok) << LastErrorMessage();
  EXPECT_EQ(MemberNames(dir / "D.DB"),
            (std::vector<std::string>{"D.DB", "D.PX", "D.VAL", "D.X02", "D.Y02", "D.X03", "D.Y03"}));
  EXPECT_EQ(Records(dir / "D.DB"), Records(corpus + "/C.DB"));
  for (const char* ext : {".DB", ".PX", ".X02", ".Y03"}) {
    EXPECT_EQ(HeaderTableName(dir / (std::string("D") + ext)), std::string("D") + ext);
    // Nothing but the header's name changed.
    std::string a = Slurp(corpus + "/C" + ext), b = Slurp(dir / (std::string("D") + ext));
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0x800; i < a.size(); ++i) ASSERT_EQ(a[i], b[i]) << ext << " at " << i;
  }
  std::string val = Slurp(dir / "D.VAL");
  EXPECT_NE(val.find(std::string("C:\\Paradox\\db\\D.DB\0", 19)), std::string::npos);
  EXPECT_EQ(val.size(), Slurp(corpus + "/C.VAL").size());
  EXPECT_EQ(Files(dir.path()).count("C.DB"), 1u);  // the source stays
}

TEST(FamilyCopy, ExistingDestinationNeedsOverwriteAndLosesItsOldMembers) {
  std::string corpus = CorpusDir("paradox/joins");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  TempDir dir;
  CopyFamily(corpus, "joinb", dir.path());
  CopyFamily(corpus, "case", dir.path());
  ASSERT_EQ(CopyParadoxTable(dir / "joinb.db", dir / "D", false), Ok) << LastErrorMessage();
  ASSERT_EQ(MemberNames(dir / "D.DB"), (std::vector<std::string>{"D.DB", "D.VAL"}));
  auto before = Files(dir.path());
  EXPECT_EQ(CopyParadoxTable(dir / "case.db", dir / "D.DB", false), ErrDestinationExists);
  EXPECT_EQ(ErrDestinationExists, 13057);
  EXPECT_NE(LastErrorMessage().find("D.DB: the destination table exists already"), std::string::npos);
  EXPECT_EQ(CopyParadoxTable(dir / "case.db", dir / "d.db", false), ErrDestinationExists)
      << "names differing in case name one table";
  EXPECT_EQ(Files(dir.path()), before);

  ASSERT_EQ(CopyParadoxTable(dir / "case.db", dir / "D.DB", true), Ok) << LastErrorMessage();
  EXPECT_EQ(MemberNames(dir / "D.DB"), (std::vector<std::string>{"D.DB", "D.X01", "D.Y01"}));
  EXPECT_EQ(Records(dir / "D.DB"), Records(corpus + "/case.db"));
  EXPECT_EQ(CopyParadoxTable(dir / "D.DB", dir / "d.db", true), ErrInvalidParameter)
      << "a table copied onto itself";
  EXPECT_EQ(CopyParadoxTable(dir / "D.DB", dir / "D.DBF", true), ErrInvalidParameter);
  EXPECT_EQ(CopyParadoxTable(dir / "nothing.db", dir / "E.DB", true), ErrNotFound);
}

TEST(FamilyCopy, BlobsAndAutoincrementTravel) {
  TempDir dir;
  std::string pics = MakeBlobTable(dir.path());
  ASSERT_EQ(CopyParadoxTable(pics, dir / "copy.db", false), Ok) << LastErrorMessage();
  EXPECT_EQ(MemberNames(dir / "copy.db"),
            (std::vector<std::string>{"copy.db", "copy.px", "copy.mb"}));
  EXPECT_EQ(Records(dir / "copy.db"), Records(pics));
  auto t = OpenOk(dir / "copy.db", true);
  ASSERT_EQ(t->insert({Value{}, std::string("new"), Value{}, Value{}}), Ok) << LastErrorMessage();
  std::vector<Value> last;
  ASSERT_EQ(t->readRecord(t->recordCount() - 1, last), Ok);
  EXPECT_EQ(std::get<std::int64_t>(last[0]), 31);
}

// ---------------------------------------------------------------- delete, rename

TEST(FamilyDelete, RemovesEveryMemberAndNothingElse) {
  std::string corpus = CorpusDir("paradox/joins");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  TempDir dir;
  CopyFamily(corpus, "case", dir.path());
  CopyFamily(corpus, "indexed", dir.path());
  std::string pics = MakeBlobTable(dir.path(), "case2.DB", 3);
  ASSERT_EQ(DeleteParadoxTable(dir / "CASE.DB"), Ok) << LastErrorMessage();
  std::set<std::string> left;
  for (const auto& [name, bytes] : Files(dir.path())) left.insert(name);
  EXPECT_EQ(left, (std::set<std::string>{"indexed.db", "indexed.xg0", "indexed.yg0", "case2.DB",
                                         "case2.PX", "case2.MB"}));
  // A file marked read-only keeps its table, whoever asks.
  fs::permissions(pics, fs::perms::owner_read | fs::perms::group_read);
  for (Result r : {DeleteParadoxTable(pics), RenameParadoxTable(pics, "X"), EmptyParadoxTable(pics),
                   CopyParadoxTable(dir / "indexed.db", pics, true)}) {
    EXPECT_EQ(r, ErrReadOnly);
    EXPECT_NE(LastErrorMessage().find("case2.DB: the table's file is marked read-only"),
              std::string::npos);
  }
  EXPECT_EQ(MemberNames(pics), (std::vector<std::string>{"case2.DB", "case2.PX", "case2.MB"}));
  fs::permissions(pics, fs::perms::owner_write, fs::perm_options::add);
  ASSERT_EQ(DeleteParadoxTable(pics), Ok) << LastErrorMessage();
  EXPECT_EQ(DeleteParadoxTable(pics), ErrNotFound);
}

TEST(FamilyDelete, RefusesTablesTiedByReferentialIntegrity) {
  std::string corpus = CorpusDir("paradox/joins");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  TempDir dir;
  for (const char* t : {"A", "B", "C"}) CopyFamily(corpus, t, dir.path());
  auto before = Files(dir.path());
  // C names A and B in its .VAL; A is named by C's.
  EXPECT_EQ(DeleteParadoxTable(dir / "C.DB"), ErrNotSupported);
  EXPECT_NE(LastErrorMessage().find("link \"Reference A\" with A.db"), std::string::npos)
      << LastErrorMessage();
  EXPECT_EQ(DeleteParadoxTable(dir / "A.db"), ErrNotSupported);
  EXPECT_NE(LastErrorMessage().find("with C.DB"), std::string::npos) << LastErrorMessage();
  EXPECT_EQ(RenameParadoxTable(dir / "B.db", "B2"), ErrNotSupported);
  EXPECT_EQ(Files(dir.path()), before);
}

TEST(FamilyRename, RenamesEveryMemberAndTheNamesInside) {
  std::string corpus = CorpusDir("paradox/joins");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  TempDir dir;
  CopyFamily(corpus, "case", dir.path());
  CopyFamily(corpus, "joinb", dir.path());
  ASSERT_EQ(RenameParadoxTable(dir / "case.db", "lower"), Ok) << LastErrorMessage();
  EXPECT_EQ(MemberNames(dir / "lower.db"),
            (std::vector<std::string>{"lower.db", "lower.x01", "lower.y01"}));
  EXPECT_FALSE(fs::exists(dir / "case.db"));
  EXPECT_EQ(HeaderTableName(dir / "lower.x01"), "lower.x01");
  EXPECT_EQ(Records(dir / "lower.db"), Records(corpus + "/case.db"));
  // .VAL files are renamed with their table, the name in the footer too.
  ASSERT_EQ(RenameParadoxTable(dir / "joinb.db", "JOINC.DB"), Ok) << LastErrorMessage();
  EXPECT_EQ(MemberNames(dir / "JOINC.DB"), (std::vector<std::string>{"JOINC.DB", "JOINC.VAL"}));
  EXPECT_NE(Slurp(dir / "JOINC.VAL").find("joins\\JOINC.DB"), std::string::npos);
  // Only the letter case changes.
  ASSERT_EQ(RenameParadoxTable(dir / "lower.db", "LOWER"), Ok) << LastErrorMessage();
  EXPECT_EQ(MemberNames(dir / "LOWER.db"),
            (std::vector<std::string>{"LOWER.db", "LOWER.x01", "LOWER.y01"}));
}

TEST(FamilyRename, RefusesTakenAndInvalidNames) {
  TempDir dir;
  std::string a = MakeBlobTable(dir.path(), "A.DB", 2);
  MakeBlobTable(dir.path(), "B.DB", 2);
  std::ofstream(dir / "C.PX") << "stray";  // a member without its table is overwritten
  auto before = Files(dir.path());
  EXPECT_EQ(RenameParadoxTable(a, "b.db"), ErrFileExists);
  EXPECT_EQ(RenameParadoxTable(a, "A.DB"), ErrInvalidParameter);
  EXPECT_EQ(RenameParadoxTable(a, "A.TXT"), ErrInvalidParameter);
  EXPECT_EQ(RenameParadoxTable(a, "/tmp/elsewhere.db"), ErrInvalidParameter);
  EXPECT_EQ(Files(dir.path()), before);
  ASSERT_EQ(RenameParadoxTable(a, "C"), Ok) << LastErrorMessage();
  EXPECT_EQ(MemberNames(dir / "C.DB"), (std::vector<std::string>{"C.DB", "C.PX", "C.MB"}));
  EXPECT_EQ(Records(dir / "C.DB").size(), 2u);
}

// ---------------------------------------------------------------- empty

TEST(FamilyEmpty, KeepsStructureIndexesAndCounters) {
  TempDir dir;
  std::string pics = MakeBlobTable(dir.path());
  ASSERT_EQ(EmptyParadoxTable(pics), Ok) << LastErrorMessage();
  auto t = OpenOk(pics, true);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->recordCount(), 0u);
  EXPECT_EQ(t->fields().size(), 4u);
  EXPECT_EQ(fs::file_size(pics), t->header().headerSize());
  EXPECT_EQ(fs::file_size(dir / "PICS.MB"), 4096u);
  // Numbering goes on after the last number given.
  ASSERT_EQ(t->insert({Value{}, std::string("again"), std::string(5000, 'x'), Value{}}), Ok)
      << LastErrorMessage();
  std::vector<Value> row;
  ASSERT_EQ(t->readRecord(0, row), Ok);
  EXPECT_EQ(std::get<std::int64_t>(row[0]), 31);
  EXPECT_EQ(std::get<std::string>(row[2]), std::string(5000, 'x'));
}

TEST(FamilyEmpty, EmptiesSecondaryIndexesAndKeepsChecks) {
  std::string corpus = CorpusDir("paradox/joins");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  TempDir dir;
  CopyFamily(corpus, "C", dir.path());  // its links lead to tables not here
  CopyFamily(corpus, "joinb", dir.path());
  ASSERT_EQ(EmptyParadoxTable(dir / "C.DB"), Ok) << LastErrorMessage();
  EXPECT_EQ(Records(dir / "C.DB").size(), 0u);
  for (const char* index : {"C.PX", "C.X02", "C.Y02", "C.X03", "C.Y03"}) {
    std::string bytes = Slurp(dir / index);
    ASSERT_GT(Slurp(corpus + "/" + index).size(), bytes.size()) << index;
    PxHeader h;
    ASSERT_EQ(h.parse(index, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), Ok);
    EXPECT_EQ(h.recordCount(), 0u) << index;
    EXPECT_EQ(h.firstBlock(), 0) << index;
    EXPECT_EQ(bytes.size(), h.headerSize()) << index;
  }
  const std::string val = Slurp(dir / "joinb.val");
  ASSERT_EQ(EmptyParadoxTable(dir / "joinb.db"), Ok) << LastErrorMessage();
  EXPECT_EQ(Slurp(dir / "joinb.val"), val);
}

TEST(FamilyEmpty, RefusedWhileALinkedTableHoldsRecords) {
  std::string corpus = CorpusDir("paradox/joins");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  TempDir dir;
  for (const char* t : {"A", "B", "C"}) CopyFamily(corpus, t, dir.path());
  ASSERT_GT(Records(dir / "C.DB").size(), 0u);
  auto before = Files(dir.path());
  EXPECT_EQ(EmptyParadoxTable(dir / "A.db"), ErrDetailsExist);
  EXPECT_NE(LastErrorMessage().find("linked to C.DB"), std::string::npos) << LastErrorMessage();
  EXPECT_EQ(Files(dir.path()), before);
}

// ---------------------------------------------------------------- runs cut short

namespace {

enum class Op { CopyOver, Rename, Empty, Delete };

struct Scene {
  TempDir dir;
  std::string table, other;
  std::vector<std::vector<Value>> oldRows, otherRows;
  Scene() {
    table = MakeBlobTable(dir.path(), "T.DB", 12);
    other = MakeBlobTable(dir.path(), "U.DB", 3);
    oldRows = Records(table);
    otherRows = Records(other);
  }
  Result prepare(Op op, PreparedChange& change) {
    switch (op) {
      case Op::CopyOver: return PrepareCopy(other, table, true, {}, change);
      case Op::Rename: return PrepareRename(table, "R", {}, change);
      case Op::Empty: return PrepareEmpty(table, {}, change);
      case Op::Delete: return PrepareDelete(table, {}, change);
    }
    return ErrInvalidParameter;
  }
  // The next open of the table finishes or drops a plan left behind (the
  // table may be gone afterwards).
  void recover() {
    std::unique_ptr<ParadoxTable> t;
    ParadoxTable::Open(table, {}, t);
    EXPECT_FALSE(fs::exists(FamilyPath(table, ".QRP")));
  }
  void expectOld() {
    EXPECT_EQ(Records(table), oldRows);
    EXPECT_FALSE(fs::exists(dir / "R.DB"));
  }
  void expectNew(Op op) {
    switch (op) {
      case Op::CopyOver: EXPECT_EQ(Records(table), otherRows); break;
      case Op::Rename:
        EXPECT_FALSE(fs::exists(table));
        EXPECT_EQ(Records(dir / "R.DB"), oldRows);
        EXPECT_EQ(MemberNames(dir / "R.DB"), (std::vector<std::string>{"R.DB", "R.PX", "R.MB"}));
        break;
      case Op::Empty: EXPECT_EQ(Records(table).size(), 0u); break;
      case Op::Delete:
        for (const char* name : {"T.DB", "T.PX", "T.MB"}) EXPECT_FALSE(fs::exists(dir / name));
        break;
    }
    EXPECT_EQ(Records(other), otherRows);
    for (const auto& [name, bytes] : Files(dir.path()))
      EXPECT_EQ(name.find('~'), std::string::npos) << name << " left behind";
  }
};

const char* OpName(Op op) {
  static const char* names[] = {"CopyOver", "Rename", "Empty", "Delete"};
  return names[static_cast<int>(op)];
}

class FamilyCutShort : public testing::TestWithParam<Op> {};

}  // namespace

TEST_P(FamilyCutShort, WhileStagingLeavesTheOldTable) {
  Scene s;
  {
    PreparedChange change;
    ASSERT_EQ(s.prepare(GetParam(), change), Ok) << LastErrorMessage();
    // The process dies here: staged files stay, no plan was written.
  }
  s.recover();
  s.expectOld();
  // Leftover staged files are no obstacle to doing it again.
  PreparedChange again;
  ASSERT_EQ(s.prepare(GetParam(), again), Ok) << LastErrorMessage();
  ASSERT_EQ(again.apply(), Ok) << LastErrorMessage();
  s.expectNew(GetParam());
}

TEST_P(FamilyCutShort, WithATornPlanLeavesTheOldTable) {
  Scene s;
  PreparedChange change;
  ASSERT_EQ(s.prepare(GetParam(), change), Ok) << LastErrorMessage();
  ASSERT_EQ(io::WriteReplacePlan(change.plan, change.planPath), Ok) << LastErrorMessage();
  fs::resize_file(change.planPath, fs::file_size(change.planPath) - 2);
  change.locks.clear();
  s.recover();
  s.expectOld();
  EXPECT_FALSE(fs::exists(change.planPath));
}

TEST_P(FamilyCutShort, AfterThePlanIsFinishedByTheNextOpen) {
  Scene s;
  PreparedChange change;
  ASSERT_EQ(s.prepare(GetParam(), change), Ok) << LastErrorMessage();
  ASSERT_EQ(io::WriteReplacePlan(change.plan, change.planPath), Ok) << LastErrorMessage();
  change.locks.clear();  // the process dies before the first rename
  s.recover();
  s.expectNew(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Operations, FamilyCutShort,
                         testing::Values(Op::CopyOver, Op::Rename, Op::Empty, Op::Delete),
                         [](const auto& info) { return OpName(info.param); });

// ---------------------------------------------------------------- staged files left over

namespace {

// The files of a directory whose names end in ".new~".
std::set<std::string> StagedNames(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& [name, bytes] : Files(dir))
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".new~") == 0) out.insert(name);
  return out;
}

// Staged-looking files that belong to no family of T: they always stay.
const char* const kStrangers[] = {"TT.DB.new~", "T.TXT.new~", "T.new~", "T.QRP.new~"};

void PlantStrangers(const TempDir& dir) {
  for (const char* name : kStrangers) std::ofstream(dir / name) << "not ours";
}

class FamilyKilledBeforeItsPlan : public testing::TestWithParam<Op> {};

}  // namespace

TEST_P(FamilyKilledBeforeItsPlan, LeavesStagedFilesThatGoWithTheNextOpenOrWrite) {
  Scene s;
  PlantStrangers(s.dir);
  Holder killed;
  // The operation stages its files and is killed before it writes its plan;
  // while it runs its lock keeps every open out.
  ASSERT_EQ(killed.start([&] { return s.prepare(GetParam(), *new PreparedChange); }), Ok);
  const std::set<std::string> staged = StagedNames(s.dir.path());
  ASSERT_GT(staged.size(), std::size(kStrangers));
  std::unique_ptr<ParadoxTable> t;
  EXPECT_EQ(ParadoxTable::Open(s.table, {}, t), ErrTableInUse);
  EXPECT_EQ(StagedNames(s.dir.path()), staged);
  killed.stop();

  s.recover();
  s.expectOld();
  std::set<std::string> left(std::begin(kStrangers), std::end(kStrangers));
  // A rename stages under the new name: those files belong to that table.
  if (GetParam() == Op::Rename) {
    for (const std::string& name : staged)
      if (name.rfind("R.", 0) == 0) left.insert(name);
  }
  EXPECT_EQ(StagedNames(s.dir.path()), left);
  if (GetParam() == Op::Rename) {
    ASSERT_EQ(RenameParadoxTable(s.table, "R"), Ok) << LastErrorMessage();
    EXPECT_EQ(StagedNames(s.dir.path()),
              std::set<std::string>(std::begin(kStrangers), std::end(kStrangers)));
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, FamilyKilledBeforeItsPlan,
                         testing::Values(Op::CopyOver, Op::Rename, Op::Empty),
                         [](const auto& info) { return OpName(info.param); });

TEST(FamilyStagedLeftovers, StayWhileAnotherOpenExists) {
  TempDir dir;
  std::string t = MakeBlobTable(dir.path(), "T.DB", 3);
  const auto rows = Records(t);
  Holder reader;
  ASSERT_EQ(reader.startReading(t), Ok);
  // Whoever else has the table open may be staging a change of its indexes.
  std::ofstream(dir / "T.X02.new~") << "x";
  std::ofstream(dir / "t.px.new~") << "x";
  const std::set<std::string> planted = {"T.X02.new~", "t.px.new~"};
  EXPECT_EQ(Records(t), rows);
  EXPECT_EQ(StagedNames(dir.path()), planted);
  hDBICur c = 0;
  ASSERT_EQ(OpenTablePath(t, OpenMode::ReadWrite, c), Ok) << LastErrorMessage();
  EXPECT_EQ(StagedNames(dir.path()), planted);
  // The open is shared still: another process may open the table too.
  Holder second;
  EXPECT_EQ(second.startReading(t), Ok);
  second.stop();
  EXPECT_EQ(CloseCursor(c), Ok);
  reader.stop();
  EXPECT_EQ(Records(t), rows);
  EXPECT_TRUE(StagedNames(dir.path()).empty());
}

TEST(FamilyStagedLeftovers, GoWhenATableOfThatNameIsMade) {
  TempDir dir;
  std::string source = MakeBlobTable(dir.path(), "S.DB", 2);
  PlantStrangers(dir);
  // Left by runs that died: a create of N and a copy to C, members that the
  // new tables lack among them.
  for (const char* name : {"N.DB.new~", "N.MB.new~", "N.X03.new~", "c.db.new~", "C.YG1.new~"})
    std::ofstream(dir / name) << "x";
  ASSERT_EQ(CreateParadoxTable(Desc(dir / "N.DB", {Field("A", pxShort)}), false), Ok)
      << LastErrorMessage();
  ASSERT_EQ(CopyParadoxTable(source, dir / "C.DB", false), Ok) << LastErrorMessage();
  EXPECT_EQ(StagedNames(dir.path()),
            std::set<std::string>(std::begin(kStrangers), std::end(kStrangers)));
  EXPECT_EQ(Records(dir / "C.DB"), Records(source));
  EXPECT_EQ(MemberNames(dir / "N.DB"), (std::vector<std::string>{"N.DB"}));
}

TEST(FamilyCreateOver, RefusedWhileAnotherProcessHasTheTableOpen) {
  TempDir dir;
  std::string t = MakeBlobTable(dir.path(), "T.DB", 2);
  const auto rows = Records(t);
  Holder reader;
  ASSERT_EQ(reader.startReading(t), Ok);
  EXPECT_EQ(CreateParadoxTable(Desc(t, {Field("A", pxShort)}), true), ErrTableInUse);
  EXPECT_TRUE(StagedNames(dir.path()).empty());
  reader.stop();
  EXPECT_EQ(Records(t), rows);
  EXPECT_EQ(CreateParadoxTable(Desc(t, {Field("A", pxShort)}), true), Ok) << LastErrorMessage();
  EXPECT_EQ(MemberNames(t), (std::vector<std::string>{"T.DB"}));
}

// ---------------------------------------------------------------- locks

class FamilyBusyTable : public testing::TestWithParam<ShareMode> {};

TEST_P(FamilyBusyTable, IsNeitherChangedNorOpenedExclusivelyByAnotherProcess) {
  TempDir dir;
  std::string t = MakeBlobTable(dir.path(), "T.DB", 2);
  std::string u = MakeBlobTable(dir.path(), "U.DB", 1);
  Holder holder;
  ASSERT_EQ(holder.start([&] {
    hDBICur c = 0;
    return OpenTablePath(t, OpenMode::ReadWrite, GetParam(), c);
  }),
            Ok);
  auto before = Files(dir.path());
  const std::string inUse = "Table is in use: " + t;
  auto expectBusy = [&](Result r, const char* what) {
    EXPECT_EQ(r, ErrTableInUse) << what;
    EXPECT_EQ(LastErrorMessage().rfind(inUse, 0), 0u) << what << ": " << LastErrorMessage();
  };
  expectBusy(DeleteParadoxTable(t), "delete");
  expectBusy(RenameParadoxTable(t, "V"), "rename");
  expectBusy(EmptyParadoxTable(t), "empty");
  expectBusy(CopyParadoxTable(u, t, true), "overwrite");
  hDBICur mine = 0;
  expectBusy(OpenTablePath(t, OpenMode::ReadOnly, ShareMode::Exclusive, mine), "exclusive open");
  Result shared = OpenTablePath(t, OpenMode::ReadOnly, ShareMode::Shared, mine);
  Result copy = CopyParadoxTable(t, dir / "W.DB", false);
  if (GetParam() == ShareMode::Exclusive) {
    expectBusy(shared, "shared open");
    expectBusy(copy, "copy");
  } else {
    EXPECT_EQ(shared, Ok) << LastErrorMessage();
    EXPECT_EQ(CloseCursor(mine), Ok);
    EXPECT_EQ(copy, Ok) << LastErrorMessage();
    fs::remove(dir / "W.DB"), fs::remove(dir / "W.PX"), fs::remove(dir / "W.MB");
  }
  EXPECT_EQ(Files(dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(Holders, FamilyBusyTable,
                         testing::Values(ShareMode::Shared, ShareMode::Exclusive),
                         [](const auto& info) {
                           return info.param == ShareMode::Shared ? "Shared" : "Exclusive";
                         });

TEST(FamilyExclusiveOpen, KeepsOtherProcessesOutUntilClosed) {
  TempDir dir;
  std::string t = MakeBlobTable(dir.path(), "T.DB", 2);
  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase(dir.path(), db), Ok);
  hDBICur mine = 0;
  ASSERT_EQ(OpenTable(db, "T.DB", "PARADOX", OpenMode::ReadWrite, ShareMode::Exclusive, mine), Ok)
      << LastErrorMessage();
  // Exclusive in this process is exclusive here too.
  EXPECT_EQ(DeleteTable(db, "T.DB", ""), ErrTableInUse);
  {
    Holder other;
    EXPECT_EQ(other.start([&] {
      hDBICur c = 0;
      return OpenTablePath(t, OpenMode::ReadOnly, c);
    }),
              ErrTableInUse);
  }
  ASSERT_EQ(CloseCursor(mine), Ok);
  Holder other;
  EXPECT_EQ(other.start([&] {
    hDBICur c = 0;
    return OpenTablePath(t, OpenMode::ReadOnly, ShareMode::Exclusive, c);
  }),
            Ok);
  EXPECT_EQ(OpenTable(db, "T", "", OpenMode::ReadOnly, ShareMode::Shared, mine), ErrTableInUse);
  EXPECT_EQ(CloseDatabase(db), Ok);
}

// ---------------------------------------------------------------- handle API lists

TEST(FamilyLists, FilesOfADatabase) {
  TempDir dir;
  std::ofstream(dir / "notes.SQL") << "select 1";
  std::ofstream(dir / "b.sql") << "select 22";
  std::ofstream(dir / "plain") << "";
  fs::create_directory(dir / "sub.sql");
  std::tm local{};
  local.tm_year = 2021 - 1900, local.tm_mon = 2, local.tm_mday = 4;
  local.tm_hour = 5, local.tm_min = 6, local.tm_sec = 7, local.tm_isdst = -1;
  const std::time_t when = std::mktime(&local);
  const timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (dir / "b.sql").c_str(), times, 0), 0);
  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase(dir.path(), db), Ok);
  hDBICur list = 0;
  ASSERT_EQ(OpenFileList(db, "*.sql", list), Ok) << LastErrorMessage();
  FileDesc f;
  ASSERT_EQ(GetNextRecord(list, f), Ok);
  EXPECT_EQ(f.name, "b");
  EXPECT_EQ(f.extension, "sql");
  EXPECT_EQ(f.size, 9u);
  EXPECT_EQ(f.date, DayNumber(2021, 3, 4));
  EXPECT_EQ(f.time, (5 * 3600 + 6 * 60 + 7) * 1000);
  ASSERT_EQ(GetNextRecord(list, f), Ok);
  EXPECT_EQ(f.name + "." + f.extension, "notes.SQL");
  EXPECT_EQ(GetNextRecord(list, f), ErrEndOfList);
  EXPECT_EQ(CloseCursor(list), Ok);
  ASSERT_EQ(OpenFileList(db, "p?ai*", list), Ok);
  ASSERT_EQ(GetNextRecord(list, f), Ok);
  EXPECT_EQ(f.name, "plain");
  EXPECT_EQ(f.extension, "");
  CloseCursor(list);
  CloseDatabase(db);
}

TEST(FamilyLists, TablesOfADatabase) {
  TempDir dir;
  MakeBlobTable(dir.path(), "pics.db", 4);
  MakeBlobTable(dir.path(), "$WORK.DB", 1);
  std::ofstream(dir / "data.dbf") << std::string(64, '\0');
  std::ofstream(dir / "query.qbe") << "x";
  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase(dir.path(), db), Ok);
  auto names = [&](bool extended, bool system, const std::string& wildcard) {
    hDBICur list = 0;
    EXPECT_EQ(OpenTableList(db, extended, system, wildcard, list), Ok) << LastErrorMessage();
    std::vector<TableListDesc> rows;
    for (TableListDesc t; GetNextRecord(list, t) == Ok;) rows.push_back(t);
    CloseCursor(list);
    return rows;
  };
  auto plain = names(false, false, "");
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[0].name + "." + plain[0].extension + " " + plain[0].driverType, "data.dbf DBASE");
  EXPECT_EQ(plain[1].name + "." + plain[1].extension + " " + plain[1].driverType, "pics.db PARADOX");
  EXPECT_EQ(plain[1].recordCount, 0u) << "not extended";
  auto ext = names(true, true, "*.DB");
  ASSERT_EQ(ext.size(), 2u);
  EXPECT_EQ(ext[0].name, "$WORK");
  EXPECT_EQ(ext[1].recordCount, 4u);
  EXPECT_EQ(ext[1].fieldCount, 4);
  EXPECT_EQ(ext[1].level, 7);
  CloseDatabase(db);
}

TEST(FamilyLists, FieldsAndFamilyByTableName) {
  std::string corpus = CorpusDir("paradox/joins");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase(corpus, db), Ok);
  hDBICur table = 0, list = 0;
  ASSERT_EQ(OpenTable(db, "C.DB", "", OpenMode::ReadOnly, table), Ok);
  std::vector<FieldDesc> expected;
  ASSERT_EQ(GetFieldDescs(table, expected), Ok);
  CloseCursor(table);
  ASSERT_EQ(OpenFieldList(db, "C.DB", "PARADOX", true, list), Ok) << LastErrorMessage();
  std::uint32_t count = 0;
  ASSERT_EQ(GetListCount(list, count), Ok);
  ASSERT_EQ(count, expected.size());
  for (const FieldDesc& want : expected) {
    FieldDesc got;
    ASSERT_EQ(GetNextRecord(list, got), Ok);
    EXPECT_EQ(got.name, want.name);
    EXPECT_EQ(got.type, want.type);
    EXPECT_EQ(got.units1, want.units1);
    EXPECT_EQ(got.offset, want.offset);
  }
  CloseCursor(list);
  EXPECT_EQ(OpenFieldList(db, "C.DB", "PARADOX", false, list), ErrNotSupported);
  EXPECT_EQ(OpenFieldList(db, "C.DB", "DBASE", true, list), ErrInvalidParameter);

  ASSERT_EQ(OpenFamilyList(db, "C", "", list), Ok) << LastErrorMessage();
  FamilyDesc m;
  ASSERT_EQ(GetRelativeRecord(list, 4, m), Ok);
  EXPECT_EQ(m.name, "C.X02");
  EXPECT_EQ(m.fileName, corpus + "/C.X02");
  EXPECT_EQ(m.kind, famSecIndex);
  EXPECT_EQ(m.id, 2);
  CloseCursor(list);
  EXPECT_EQ(OpenFamilyList(db, "missing", "", list), ErrNotFound);
  CloseDatabase(db);
}
