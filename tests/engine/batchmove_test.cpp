// Batch moves: each mode into keyed and unkeyed destinations, how fields
// are matched, a move refused at its first bad record changing nothing,
// moves killed at every step, and a large move in bounded memory.
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "engine/engine.h"
#include "engine/handles.h"
#include "engine/io/file.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxtable.h"
#include "tests/support/files.h"
#include "tests/support/holder.h"
#include "tests/support/ptables.h"
#include "tests/support/soundfiles.h"
#include "tests/support/tempdir.h"

using namespace engine;
using ptables::AllRecords;
using ptables::Field;
using ptables::OpenOk;

namespace {

using Row = std::vector<Value>;
using Rows = std::vector<Row>;

Value I(std::int64_t v) { return Value{v}; }
Value S(const std::string& s) { return Value{s}; }
const Value kNull{};

std::vector<FieldDesc> ItemFields() {
  return {Field("Id", pxLong), Field("Name", pxAlpha, 20), Field("Qty", pxShort)};
}

std::map<std::string, std::string> Files(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    out[e.path().filename()] = *Slurp(e.path());
  return out;
}

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) out.insert(e.path().filename());
  return out;
}

// Inserts rows into a table opened as the engine opens tables to change
// them: checks and indexes follow.
void Fill(const std::string& path, const Rows& rows, std::vector<std::string> passwords = {}) {
  auto t = OpenOk(path, true, std::move(passwords));
  ASSERT_TRUE(t);
  ASSERT_EQ(AttachParticipants(*t), Ok) << LastErrorMessage();
  ASSERT_EQ(t->insertMany(rows), Ok) << LastErrorMessage();
}

class BatchMoveTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(OpenDatabase(dir_.path(), db_), Ok); }
  void TearDown() override {
    CloseDatabase(db_);
    RemoveAllPasswords();
  }

  std::string path(const std::string& name) const { return dir_ / name; }

  void Make(const std::string& name, std::vector<FieldDesc> fields, int keyFields,
            const Rows& rows, TableDesc* extra = nullptr) {
    TableDesc d = ptables::Desc(path(name), std::move(fields), keyFields);
    if (extra) {
      d.checks = extra->checks;
      d.password = extra->password;
      d.isProtected = extra->isProtected;
      d.passwords = extra->passwords;
    }
    ASSERT_EQ(paradox::CreateParadoxTable(d, false), Ok) << LastErrorMessage();
    Fill(path(name), rows, {d.password});
  }

  // The source of most tests, a keyed destination and an unkeyed one.
  void MakeItems() {
    Make("SRC.DB", ItemFields(), 1, {{I(1), S("a"), I(10)}, {I(2), S("b"), I(20)}, {I(4), S("d"), I(40)}});
    Make("KEYED.DB", ItemFields(), 1, {{I(2), S("old"), I(0)}, {I(3), S("c"), I(30)}});
    Make("PLAIN.DB", ItemFields(), 0, {{I(2), S("old"), I(0)}, {I(3), S("c"), I(30)}});
  }

  Rows Records(const std::string& name, std::vector<std::string> passwords = {}) {
    auto t = OpenOk(path(name), false, std::move(passwords));
    return t ? AllRecords(*t) : Rows{};
  }

  Result Move(const std::string& from, const std::string& to, std::int32_t mode,
              std::uint32_t* moved = nullptr, const std::string& fromPassword = "",
              const std::string& toPassword = "") {
    BatchTableDesc s, d;
    s.db = d.db = db_;
    s.tableName = from;
    d.tableName = to;
    s.password = fromPassword;
    d.password = toPassword;
    std::uint32_t n = 999;
    Result r = BatchMove(s, d, mode, n);
    if (r != Ok) {
      EXPECT_EQ(n, 0u) << "a refused move reports records moved";
    }
    if (moved) *moved = n;
    return r;
  }

  // A move into `to` that must be refused with `code` and a message
  // holding `words`, leaving every file as it was.
  void ExpectRefused(const std::string& from, const std::string& to, std::int32_t mode, Result code,
                     const std::vector<std::string>& words) {
    const auto before = Files(dir_.path());
    EXPECT_EQ(Move(from, to, mode), code) << LastErrorMessage();
    const std::string message = LastErrorMessage();
    for (const std::string& w : words)
      EXPECT_NE(message.find(w), std::string::npos) << "\"" << w << "\" not in: " << message;
    EXPECT_TRUE(Files(dir_.path()) == before) << "the refused move changed files";
  }

  TempDir dir_{TempDir::Where::Memory};
  hDBIDb db_ = 0;
};

// ------------------------------------------------------------ the modes

TEST_F(BatchMoveTest, AppendInsertsEverySourceRecord) {
  MakeItems();
  std::uint32_t moved = 0;
  ASSERT_EQ(Move("SRC.DB", "PLAIN.DB", batAppend, &moved), Ok) << LastErrorMessage();
  EXPECT_EQ(moved, 3u);
  EXPECT_EQ(Records("PLAIN.DB"), (Rows{{I(2), S("old"), I(0)},
                                       {I(3), S("c"), I(30)},
                                       {I(1), S("a"), I(10)},
                                       {I(2), S("b"), I(20)},
                                       {I(4), S("d"), I(40)}}));
  Make("OTHER.DB", ItemFields(), 1, {{I(3), S("c"), I(30)}, {I(5), S("e"), I(50)}});
  ASSERT_EQ(Move("SRC", "OTHER", batAppend, &moved), Ok) << LastErrorMessage();
  EXPECT_EQ(moved, 3u);
  EXPECT_EQ(Records("OTHER.DB"), (Rows{{I(1), S("a"), I(10)},
                                       {I(2), S("b"), I(20)},
                                       {I(3), S("c"), I(30)},
                                       {I(4), S("d"), I(40)},
                                       {I(5), S("e"), I(50)}}));
  soundfiles::ExpectSound(path("OTHER.DB"));
}

TEST_F(BatchMoveTest, UpdateChangesTheRecordsWithTheSourceKeysOnly) {
  MakeItems();
  std::uint32_t moved = 0;
  ASSERT_EQ(Move("SRC.DB", "KEYED.DB", batUpdate, &moved), Ok) << LastErrorMessage();
  EXPECT_EQ(moved, 1u);
  EXPECT_EQ(Records("KEYED.DB"), (Rows{{I(2), S("b"), I(20)}, {I(3), S("c"), I(30)}}));
  ExpectRefused("SRC.DB", "PLAIN.DB", batUpdate, ErrInvalidIndex,
                {path("PLAIN.DB") + ": Destination table is not indexed"});
}

TEST_F(BatchMoveTest, AppendUpdateUpdatesTheMatchesAndInsertsTheRest) {
  MakeItems();
  std::uint32_t moved = 0;
  ASSERT_EQ(Move("SRC.DB", "KEYED.DB", batAppendUpdate, &moved), Ok) << LastErrorMessage();
  EXPECT_EQ(moved, 3u);
  EXPECT_EQ(Records("KEYED.DB"), (Rows{{I(1), S("a"), I(10)},
                                       {I(2), S("b"), I(20)},
                                       {I(3), S("c"), I(30)},
                                       {I(4), S("d"), I(40)}}));
  soundfiles::ExpectSound(path("KEYED.DB"));
  ExpectRefused("SRC.DB", "PLAIN.DB", batAppendUpdate, ErrInvalidIndex,
                {"Destination table is not indexed"});
}

// Source records that share a key act in their order: the first inserts,
// the later ones update what it inserted (append-and-update), or are key
// violations (append).
TEST_F(BatchMoveTest, SourceRecordsWithOneKeyActInTurn) {
  MakeItems();
  Make("REPEATS.DB", ItemFields(), 0,
       {{I(5), S("first"), I(1)}, {I(2), S("upd1"), I(2)}, {I(5), S("second"), kNull},
        {I(2), S("upd2"), I(3)}, {I(5), S("third"), I(7)}});
  std::uint32_t moved = 0;
  ASSERT_EQ(Move("REPEATS.DB", "KEYED.DB", batAppendUpdate, &moved), Ok) << LastErrorMessage();
  EXPECT_EQ(moved, 5u);
  EXPECT_EQ(Records("KEYED.DB"),
            (Rows{{I(2), S("upd2"), I(3)}, {I(3), S("c"), I(30)}, {I(5), S("third"), I(7)}}));
  soundfiles::ExpectSound(path("KEYED.DB"));
  Make("EMPTY.DB", ItemFields(), 1, {});
  ExpectRefused("REPEATS.DB", "EMPTY.DB", batAppend, ErrKeyViolation,
                {path("REPEATS.DB") + " record 3: " + path("EMPTY.DB") +
                 ": the key 5 is that of " + path("REPEATS.DB") + " record 1 as well"});
}

TEST_F(BatchMoveTest, SubtractRemovesTheRecordsWithTheSourceKeys) {
  MakeItems();
  std::uint32_t moved = 0;
  ASSERT_EQ(Move("SRC.DB", "KEYED.DB", batSubtract, &moved), Ok) << LastErrorMessage();
  EXPECT_EQ(moved, 1u);
  EXPECT_EQ(Records("KEYED.DB"), (Rows{{I(3), S("c"), I(30)}}));
  ASSERT_EQ(Move("SRC.DB", "KEYED.DB", batSubtract, &moved), Ok) << LastErrorMessage();
  EXPECT_EQ(moved, 0u);
  ExpectRefused("SRC.DB", "PLAIN.DB", batSubtract, ErrInvalidIndex,
                {"Destination table is not indexed"});
}

TEST_F(BatchMoveTest, CopyMakesTheDestinationACopyOfTheSource) {
  MakeItems();
  const Rows source = Records("SRC.DB");
  Make("WIDE.DB", {Field("Code", pxAlpha, 5), Field("Text", pxMemo, 10)}, 1,
       {{S("x"), S(std::string(300, 'm'))}});
  for (const char* name : {"KEYED.DB", "PLAIN.DB", "WIDE.DB", "NEW.DB"}) {
    SCOPED_TRACE(name);
    std::uint32_t moved = 0;
    ASSERT_EQ(Move("SRC.DB", name, batCopy, &moved), Ok) << LastErrorMessage();
    EXPECT_EQ(moved, 3u);
    EXPECT_EQ(Records(name), source);
    EXPECT_TRUE(OpenOk(path(name))->header().isKeyed());
    soundfiles::ExpectSound(path(name));
  }
  EXPECT_FALSE(std::filesystem::exists(path("WIDE.MB")));  // the family is replaced whole
}

// ------------------------------------------------------- matching fields

TEST_F(BatchMoveTest, FieldsMatchByNameIgnoringCaseElseByPosition) {
  Make("ORDERS.DB",
       {Field("qty", pxShort), Field("NAME", pxAlpha, 20), Field("id", pxLong),
        Field("Extra", pxAlpha, 5)},
       0, {{I(7), S("seven"), I(1), S("x")}, {I(8), S("eight"), I(2), kNull},
           {I(9), S("nine"), I(2), S("y")}});
  const std::vector<FieldDesc> fields = {Field("Id", pxLong), Field("Name", pxAlpha, 20),
                                         Field("Qty", pxShort), Field("Note", pxAlpha, 10),
                                         Field("Serial", pxAutoinc)};
  Make("T.DB", fields, 1, {{I(1), S("one"), I(5), S("keep"), kNull}});
  std::uint32_t moved = 0;
  ASSERT_EQ(Move("ORDERS.DB", "T.DB", batAppendUpdate, &moved), Ok) << LastErrorMessage();
  EXPECT_EQ(moved, 3u);
  // Unmatched fields keep their values in an update, are blank (an Autoinc
  // numbered) in an insert: the third record updates what the second inserted.
  EXPECT_EQ(Records("T.DB"), (Rows{{I(1), S("seven"), I(7), S("keep"), I(1)},
                                   {I(2), S("nine"), I(9), kNull, I(2)}}));

  Make("POS.DB", {Field("A", pxLong), Field("B", pxAlpha, 20)}, 0, {{I(9), S("nine")}});
  Make("BYPOS.DB", ItemFields(), 0, {});
  ASSERT_EQ(Move("POS.DB", "BYPOS.DB", batAppend), Ok) << LastErrorMessage();
  EXPECT_EQ(Records("BYPOS.DB"), (Rows{{I(9), S("nine"), kNull}}));
  Make("POS2.DB", {Field("A", pxShort), Field("B", pxAlpha, 20)}, 0, {{I(9), S("nine")}});

  // Other types are refused for now, naming the record, the field and both types.
  Make("SHORTID.DB", {Field("Id", pxShort), Field("Name", pxAlpha, 20)}, 0,
       {{kNull, S("blank id moves")}, {I(3), S("c")}});
  ExpectRefused("SHORTID.DB", "T.DB", batAppend, ErrInvalidValue,
                {path("SHORTID.DB") + " record 2: field Id: ", "SHORT", "LONGINT"});
  ExpectRefused("POS2.DB", "BYPOS.DB", batAppend, ErrInvalidValue,
                {"POS2.DB record 1: field A (Id in the destination): "});
  // Records are found by every field of the destination's key.
  Make("NAMES.DB", {Field("Name", pxAlpha, 20)}, 0, {{S("x")}});
  ExpectRefused("NAMES.DB", "T.DB", batUpdate, ErrInvalidIndex,
                {"the key field Id has no field of the source"});
  std::uint32_t appended = 0;
  ASSERT_EQ(Move("NAMES.DB", "BYPOS.DB", batAppend, &appended), Ok) << LastErrorMessage();
  EXPECT_EQ(appended, 1u);
}

// ----------------------------------------------- stopping at the first fault

TEST_F(BatchMoveTest, TheFirstRefusedRecordStopsTheMoveWithNothingChanged) {
  MakeItems();
  Make("IN.DB", ItemFields(), 0,
       {{I(10), S("a"), I(1)}, {I(11), S("b"), I(1)}, {I(12), S("c"), I(1)},
        {I(3), S("clash"), I(1)}, {I(13), S("d"), I(1)}, {I(10), S("again"), I(1)}});
  ExpectRefused("IN.DB", "KEYED.DB", batAppend, ErrKeyViolation,
                {path("IN.DB") + " record 4: " + path("KEYED.DB") +
                 ": a record with the key 3 exists already"});
  // Fixed, the move fails at its next fault; fixed again it goes through once.
  auto in = OpenOk(path("IN.DB"), true);
  ASSERT_EQ(in->update(3, {I(14), S("clash"), I(1)}), Ok) << LastErrorMessage();
  in.reset();
  ExpectRefused("IN.DB", "KEYED.DB", batAppend, ErrKeyViolation,
                {"IN.DB record 6: ", "the key 10 is that of " + path("IN.DB") + " record 1 as well"});
  in = OpenOk(path("IN.DB"), true);
  ASSERT_EQ(in->update(5, {I(15), S("again"), I(1)}), Ok) << LastErrorMessage();
  in.reset();
  std::uint32_t moved = 0;
  ASSERT_EQ(Move("IN.DB", "KEYED.DB", batAppend, &moved), Ok) << LastErrorMessage();
  EXPECT_EQ(moved, 6u);
  EXPECT_EQ(Records("KEYED.DB").size(), 8u);

  // A value that does not fit, and a validity check.
  Make("NARROW.DB", {Field("Id", pxLong), Field("Name", pxAlpha, 4)}, 1, {{I(1), S("one")}});
  ExpectRefused("IN.DB", "NARROW.DB", batAppendUpdate, ErrInvalidValue,
                {"IN.DB record 4: field Name"});
  TableDesc checked;
  ValCheckDesc most;
  most.fieldNumber = 3;
  most.hasMax = 0xFFFF;
  ASSERT_EQ(ValueToCheckArea(pxShort, I(25), 437, most.maxValue), Ok);
  checked.checks = {most};
  Make("CHECKED.DB", ItemFields(), 1, {{I(2), S("old"), I(0)}}, &checked);
  ExpectRefused("SRC.DB", "CHECKED.DB", batAppendUpdate, ErrAboveMaximum, {"SRC.DB record 3: "});
  ASSERT_EQ(Move("SRC.DB", "CHECKED.DB", batSubtract), Ok) << LastErrorMessage();
  EXPECT_TRUE(Records("CHECKED.DB").empty());
}

// --------------------------------------------------- sides, locks, passwords

TEST_F(BatchMoveTest, OneTableIsNotBothSidesNorIsATableInUseChanged) {
  MakeItems();
  for (std::int32_t mode : {batAppend, batUpdate, batCopy})
    ExpectRefused("SRC", "SRC.DB", mode, ErrInvalidParameter,
                  {"the source and the destination of a move are the same table"});
  ExpectRefused("SRC.DB", "KEYED.DB", 5, ErrInvalidParameter, {"mode 5"});
  ExpectRefused("SRC.DB", "MISSING.DB", batAppend, ErrNotFound, {"MISSING.DB"});
  Holder other;
  ASSERT_EQ(other.start([&] {
    hDBICur c = 0;
    return OpenTablePath(path("KEYED.DB"), OpenMode::ReadOnly, ShareMode::Exclusive, c);
  }),
            Ok);
  ExpectRefused("SRC.DB", "KEYED.DB", batAppendUpdate, ErrTableInUse, {"KEYED.DB"});
  ExpectRefused("KEYED.DB", "PLAIN.DB", batAppend, ErrTableInUse, {"KEYED.DB"});
  other.stop();
  // Readers of the source do not stand in the way.
  ASSERT_EQ(other.startReading(path("SRC.DB")), Ok);
  EXPECT_EQ(Move("SRC.DB", "KEYED.DB", batAppendUpdate), Ok) << LastErrorMessage();
}

TEST_F(BatchMoveTest, PasswordsOfEachSideAreTriedBesideTheSessions) {
  TableDesc secret;
  secret.password = "boss";
  secret.isProtected = 1;
  SecurityDesc clerk;
  clerk.password = "clerk";
  clerk.tableRights = rightsReadOnly;
  clerk.fieldRights[0] = clerk.fieldRights[1] = rightsReadOnly;  // Qty: none
  secret.passwords = {clerk};
  Make("SECRET.DB", ItemFields(), 1, {{I(1), S("a"), I(10)}}, &secret);
  Make("OPEN.DB", ItemFields(), 1, {});
  ExpectRefused("SECRET.DB", "OPEN.DB", batAppend, ErrPasswordRequired, {"SECRET.DB"});
  // Qty cannot be read with the clerk's password: it would arrive blank.
  AddPassword("clerk");
  ExpectRefused("SECRET.DB", "OPEN.DB", batAppend, ErrNoRights, {"field Qty"});
  RemovePassword("clerk");
  std::uint32_t moved = 0;
  ASSERT_EQ(Move("SECRET.DB", "OPEN.DB", batAppend, &moved, "boss"), Ok) << LastErrorMessage();
  EXPECT_EQ(moved, 1u);
  EXPECT_TRUE(SessionPasswords().empty());
  ExpectRefused("OPEN.DB", "SECRET.DB", batUpdate, ErrPasswordRequired, {"SECRET.DB"});
  AddPassword("boss");
  ASSERT_EQ(Move("OPEN.DB", "SECRET.DB", batSubtract, &moved), Ok) << LastErrorMessage();
  EXPECT_EQ(moved, 1u);
  EXPECT_TRUE(Records("SECRET.DB", {"boss"}).empty());
}

TEST_F(BatchMoveTest, CreatedDestinationsTakeTheSourcesFieldsAndItsKeyUnlessAppending) {
  Make("SRC.DB", {Field("Id", pxLong), Field("Name", pxAlpha, 20), Field("Text", pxMemo, 30),
                  Field("Price", pxBcd, 32, 2)},
       1, {});
  BatchTableDesc src, dest;
  src.db = dest.db = db_;
  src.tableName = "SRC.DB";
  for (auto [name, mode] : {std::pair{"A.DB", batAppend}, {"U.DB", batUpdate}}) {
    dest.tableName = name;
    ASSERT_EQ(CreateBatchDestination(src, dest, mode), Ok) << LastErrorMessage();
    auto made = OpenOk(path(name));
    auto from = OpenOk(path("SRC.DB"));
    EXPECT_EQ(made->fields().size(), from->fields().size());
    for (std::size_t i = 0; i < made->fields().size(); ++i) {
      EXPECT_EQ(made->fields()[i].name, from->fields()[i].name);
      EXPECT_EQ(made->fields()[i].code, from->fields()[i].code);
      EXPECT_EQ(made->fields()[i].size, from->fields()[i].size);
    }
    EXPECT_EQ(made->header().keyFieldCount(), mode == batAppend ? 0 : 1);
    EXPECT_EQ(made->header().level(), from->header().level());
    EXPECT_EQ(CreateBatchDestination(src, dest, mode), ErrDestinationExists);
  }
}

// -------------------------------------------------- killed at every step

namespace killed {

std::uint64_t stepsLeft = 0;
void DieAtStep() {
  if (stepsLeft-- == 0) raise(SIGKILL);
}

// Runs `move` in a child killed before its k-th step on disk, for k = 0, 1,
// ... until it runs to its end. After each run whoever opens `table` next
// finds it wholly as `before` or as `after`, its files sound and nothing
// but its family (`beforeNames` / `afterNames`) left beside the others.
void Restore(const std::string& dir, const std::map<std::string, std::string>& files) {
  for (const std::string& name : Names(dir))
    if (!files.count(name)) std::filesystem::remove(dir + "/" + name);
  for (const auto& [name, bytes] : files) Put(dir + "/" + name, bytes);
}

void AtEveryStep(const std::string& dir, const std::string& table,
                 const std::function<Result()>& move) {
  const auto pristine = Files(dir);
  const std::set<std::string> beforeNames = Names(dir);
  const Rows before = AllRecords(*OpenOk(table));
  ASSERT_EQ(move(), Ok) << LastErrorMessage();
  const Rows after = AllRecords(*OpenOk(table));
  ASSERT_NE(after, before);
  std::set<std::string> afterNames;
  bool finished = false;
  int interrupted = 0;
  for (std::uint64_t k = 0; !finished && k < 400; ++k) {
    Restore(dir, pristine);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      stepsLeft = k;
      io::SetStepHook(DieAtStep);
      _exit(move() == Ok ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    finished = WIFEXITED(status);
    ASSERT_TRUE(finished ? WEXITSTATUS(status) == 0 : WIFSIGNALED(status)) << "step " << k;
    SCOPED_TRACE("killed before step " + std::to_string(k));
    const Rows now = AllRecords(*OpenOk(table, true));  // opening recovers
    if (finished) {
      EXPECT_EQ(now, after);
      afterNames = Names(dir);
    } else {
      EXPECT_TRUE(now == before || now == after) << now.size() << " records";
      ++interrupted;
    }
    soundfiles::ExpectSound(table);
    const std::set<std::string> names = Names(dir);
    if (now == before) {
      EXPECT_EQ(names, beforeNames);
    } else if (!afterNames.empty()) {
      EXPECT_EQ(names, afterNames);
    }
    for (const std::string& name : names)
      EXPECT_EQ(name.find('~'), std::string::npos) << name << " was left behind";
    ASSERT_FALSE(testing::Test::HasFailure());
  }
  EXPECT_TRUE(finished);
  EXPECT_GT(interrupted, 10);
}

}  // namespace killed

// Long keys and small blocks: a few records split blocks of the table and
// of its secondary index.
std::vector<FieldDesc> WideFields() {
  return {Field("Key", pxAlpha, 200), Field("Name", pxAlpha, 120), Field("Score", pxLong)};
}

Row Wide(int key, const std::string& name, std::int64_t score) {
  return {S("key" + std::to_string(key)), S(name), I(score)};
}

TEST_F(BatchMoveTest, AnAppendUpdateKilledAtEveryStepLeavesTheDestinationBeforeOrAfter) {
  TableDesc d = ptables::Desc(path("D.DB"), WideFields(), 1);
  d.optionalParams.push_back({"BLOCK SIZE", "1024"});
  IndexDesc byName;
  byName.name = "ByName";
  byName.maintained = 1;
  byName.fieldsInKey = 1;
  byName.keyFields[0] = 2;
  d.indexes.push_back(byName);
  ASSERT_EQ(paradox::CreateParadoxTable(d, false), Ok) << LastErrorMessage();
  Rows existing;
  for (int i = 0; i < 40; ++i) existing.push_back(Wide(100 + 2 * i, "name" + std::to_string(i), i));
  Fill(path("D.DB"), existing);
  Rows source;
  for (int i = 0; i < 12; ++i)  // every other one updates
    source.push_back(Wide(101 + 3 * i, "moved" + std::to_string(i), 1000 + i));
  Make("S.DB", WideFields(), 0, source);
  killed::AtEveryStep(dir_.path(), path("D.DB"),
                      [&] { return Move("S.DB", "D.DB", batAppendUpdate); });
}

TEST_F(BatchMoveTest, ACopyKilledAtEveryStepLeavesTheDestinationBeforeOrAfter) {
  Make("NEWS.DB", {Field("Title", pxAlpha, 30), Field("Body", pxMemo, 20)}, 0,
       {{S("one"), S(std::string(900, 'a'))}, {S("two"), S(std::string(2000, 'b'))}});
  TableDesc d = ptables::Desc(path("D.DB"), WideFields(), 1);
  IndexDesc byName;
  byName.name = "ByName";
  byName.maintained = 1;
  byName.fieldsInKey = 1;
  byName.keyFields[0] = 2;
  d.indexes.push_back(byName);
  ASSERT_EQ(paradox::CreateParadoxTable(d, false), Ok) << LastErrorMessage();
  Rows existing;
  for (int i = 0; i < 30; ++i) existing.push_back(Wide(i, "name" + std::to_string(i), i));
  Fill(path("D.DB"), existing);
  killed::AtEveryStep(dir_.path(), path("D.DB"), [&] { return Move("NEWS.DB", "D.DB", batCopy); });
}

// ------------------------------------------------- streaming and the source

// Bytes the allocator has handed out and not had back; 0 where it does not tell.
std::size_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

std::size_t heapPeak = 0;
void SampleHeap() { heapPeak = std::max(heapPeak, HeapInUse()); }

// Rows made up as they are asked for: `count` keys step * i modulo `range`.
class MadeRows : public RowSource {
 public:
  MadeRows(std::uint64_t count, std::uint64_t step, std::uint64_t range)
      : count_(count), step_(step), range_(range) {}
  Result next(std::vector<Value>& values, std::uint64_t& label, bool& end) override {
    end = label_ == count_;
    if (end) return Ok;
    const std::uint64_t key = step_ * label_ % range_;
    label = ++label_;
    const std::string text(250, static_cast<char>('a' + key % 26));
    values = {I(static_cast<std::int64_t>(key)), S(text), S(text), S(text), S(text)};
    return Ok;
  }

 private:
  std::uint64_t count_, step_, range_, label_ = 0;
};

std::vector<FieldDesc> KiloFields() {
  return {Field("Id", pxLong), Field("A", pxAlpha, 250), Field("B", pxAlpha, 250),
          Field("C", pxAlpha, 250), Field("D", pxAlpha, 250)};
}

// Records updating and inserting into a keyed table, 20 and 40 MB of
// them: what the move holds at any step it takes on disk, and at its end,
// does not grow with the records it moves.
TEST_F(BatchMoveTest, AMoveOfManyRecordsStreams) {
  if (HeapInUse() == 0) GTEST_SKIP() << "the allocator tells nothing of its use";
  auto peakOfMove = [&](std::uint64_t records) -> std::size_t {
    const std::string big = "BIG" + std::to_string(records), source = "SRC" + std::to_string(records);
    for (const std::string& name : {big, source}) {
      TableDesc d = ptables::Desc(path(name + ".DB"), KiloFields(), name == big ? 1 : 0);
      d.optionalParams.push_back({"BLOCK SIZE", "4096"});
      EXPECT_EQ(paradox::CreateParadoxTable(d, false), Ok) << LastErrorMessage();
    }
    // Every even key in the table; every key in the source, scattered (7 is
    // coprime to the count), so that half of its records update.
    MadeRows even(records / 2, 2, records), all(records, 7, records);
    EXPECT_EQ(OpenOk(path(big + ".DB"), true)->insertRows(even), Ok) << LastErrorMessage();
    EXPECT_EQ(OpenOk(path(source + ".DB"), true)->insertRows(all), Ok) << LastErrorMessage();
    const std::size_t base = HeapInUse();
    heapPeak = base;
    io::SetStepHook(SampleHeap);
    std::uint32_t moved = 0;
    const Result r = Move(source + ".DB", big + ".DB", batAppendUpdate, &moved);
    io::SetStepHook(nullptr);
    SampleHeap();
    EXPECT_EQ(r, Ok) << LastErrorMessage();
    EXPECT_EQ(moved, records);
    auto t = OpenOk(path(big + ".DB"));
    EXPECT_EQ(t->recordCount(), records);
    for (std::uint32_t at : {0u, 1u, static_cast<std::uint32_t>(records - 1)}) {
      Row row;
      EXPECT_EQ(t->readRecord(at, row), Ok);
      EXPECT_EQ(row[0], I(at));
      EXPECT_EQ(row[4], S(std::string(250, static_cast<char>('a' + at % 26))));
    }
    return heapPeak - base;
  };
  const std::size_t smaller = peakOfMove(20000), larger = peakOfMove(40000);
  ASSERT_FALSE(HasFailure());
  EXPECT_LT(larger, smaller + (std::size_t{4} << 20))
      << "moving 20,000 records (20 MB) more took " << (larger - smaller) << " bytes more";
}

// A writer of the source shares its lock: a source that changed while it
// was read is not moved half old and half new.
bool inHook = false, sourceChanged = false;
std::string changedSource;
void ChangeTheSource() {
  if (inHook || sourceChanged) return;
  inHook = true;
  auto t = OpenOk(changedSource, true);
  sourceChanged = t && t->insert({I(99), S("late"), I(1)}) == Ok;
  inHook = false;
}

TEST_F(BatchMoveTest, ASourceChangedDuringTheMoveIsNotMoved) {
  MakeItems();
  const auto before = *Slurp(path("PLAIN.DB"));
  changedSource = path("SRC.DB");
  sourceChanged = false;
  io::SetStepHook(ChangeTheSource);
  const Result r = Move("SRC.DB", "PLAIN.DB", batAppend);
  io::SetStepHook(nullptr);
  ASSERT_TRUE(sourceChanged);
  EXPECT_EQ(r, ErrTableInUse);
  EXPECT_NE(LastErrorMessage().find("changed while its records were moved"), std::string::npos)
      << LastErrorMessage();
  EXPECT_EQ(*Slurp(path("PLAIN.DB")), before);
}

}  // namespace
