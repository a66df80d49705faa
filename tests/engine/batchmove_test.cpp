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

class BatchMoveTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(OpenDatabase(dir_.path(), db_), Ok); }
  void TearDown() override {
    CloseDatabase(db_);
    RemoveAllPasswords();
  }

  std::string path(const std::string& name) const { return dir_ / name; }

  // A table made and filled as the engine opens tables to change them, so
  // that its checks and indexes follow.
  void Make(const std::string& name, std::vector<FieldDesc> fields, int keyFields,
            const Rows& rows, const TableDesc* extra = nullptr) {
    TableDesc d = ptables::Desc(path(name), std::move(fields), keyFields);
    if (extra) {
      d.checks = extra->checks;
      d.indexes.insert(d.indexes.end(), extra->indexes.begin(), extra->indexes.end());
      d.optionalParams.insert(d.optionalParams.end(), extra->optionalParams.begin(),
                              extra->optionalParams.end());
      d.password = extra->password;
      d.isProtected = extra->isProtected;
      d.passwords = extra->passwords;
    }
    ASSERT_EQ(paradox::CreateParadoxTable(d, false), Ok) << LastErrorMessage();
    auto t = OpenOk(path(name), true, {d.password});
    ASSERT_EQ(AttachParticipants(*t), Ok) << LastErrorMessage();
    ASSERT_EQ(t->insertMany(rows), Ok) << LastErrorMessage();
  }

  Rows Records(const std::string& name, std::vector<std::string> passwords = {}) {
    auto t = OpenOk(path(name), false, std::move(passwords));
    return t ? AllRecords(*t) : Rows{};
  }

  Result Move(const std::string& from, const std::string& to, std::int32_t mode,
              std::uint32_t* moved = nullptr, const std::string& fromPassword = "") {
    BatchTableDesc s, d;
    s.db = d.db = db_;
    s.tableName = from;
    d.tableName = to;
    s.password = fromPassword;
    std::uint32_t n = 999;
    Result r = BatchMove(s, d, mode, n);
    if (r != Ok) {
      EXPECT_EQ(n, 0u) << "a refused move reports records moved";
    }
    if (moved) *moved = n;
    return r;
  }

  // A move that must be refused with `code` and a message holding `words`,
  // leaving every file as it was.
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

TEST_F(BatchMoveTest, EachModeIntoAKeyedAndAnUnkeyedDestination) {
  const Row a{I(1), S("a"), I(10)}, b{I(2), S("b"), I(20)}, d{I(4), S("d"), I(40)};
  const Row old{I(2), S("old"), I(0)}, c{I(3), S("c"), I(30)};
  Make("SRC.DB", ItemFields(), 1, {a, b, d});
  struct Outcome {
    Result refused;  // else the records afterwards, and how many moved
    Rows rows;
    std::uint32_t moved;
  };
  const Outcome unindexed{ErrInvalidIndex, {}, 0};
  const struct {
    std::int32_t mode;
    Outcome keyed, unkeyed;
  } cases[] = {
      {batAppend, {ErrKeyViolation, {}, 0}, {Ok, {old, c, a, b, d}, 3}},
      {batUpdate, {Ok, {b, c}, 1}, unindexed},
      {batAppendUpdate, {Ok, {a, b, c, d}, 3}, unindexed},
      {batSubtract, {Ok, {c}, 1}, unindexed},
      {batCopy, {Ok, {a, b, d}, 3}, {Ok, {a, b, d}, 3}},
  };
  for (const auto& mode : cases) {
    for (bool keyed : {true, false}) {
      const std::string name = (keyed ? "K" : "U") + std::to_string(mode.mode) + ".DB";
      SCOPED_TRACE(name);
      Make(name, ItemFields(), keyed ? 1 : 0, {old, c});
      const Outcome& want = keyed ? mode.keyed : mode.unkeyed;
      if (want.refused == ErrKeyViolation) {
        ExpectRefused("SRC", name, mode.mode, want.refused,
                      {path("SRC.DB") + " record 2: " + path(name) +
                       ": a record with the key 2 exists already"});
      } else if (want.refused) {
        ExpectRefused("SRC", name, mode.mode, want.refused,
                      {path(name) + ": Destination table is not indexed"});
      } else {
        std::uint32_t moved = 0;
        ASSERT_EQ(Move("SRC", name, mode.mode, &moved), Ok) << LastErrorMessage();
        EXPECT_EQ(moved, want.moved);
        EXPECT_EQ(Records(name), want.rows);
        soundfiles::ExpectSound(path(name));
      }
    }
  }
  EXPECT_TRUE(OpenOk(path("U4.DB"))->header().isKeyed());  // copied whole
}

// Source records that share a key act in their order: the first inserts,
// the later ones update what it inserted (append-and-update), or are key
// violations (append), the earliest of them named.
TEST_F(BatchMoveTest, SourceRecordsWithOneKeyActInTurn) {
  Make("REPEATS.DB", ItemFields(), 0,
       {{I(5), S("first"), I(1)}, {I(2), S("upd1"), I(2)}, {I(5), S("second"), kNull},
        {I(2), S("upd2"), I(3)}, {I(5), S("third"), I(7)}});
  Make("KEYED.DB", ItemFields(), 1, {{I(2), S("old"), I(0)}, {I(3), S("c"), I(30)}});
  std::uint32_t moved = 0;
  ASSERT_EQ(Move("REPEATS.DB", "KEYED.DB", batAppendUpdate, &moved), Ok) << LastErrorMessage();
  EXPECT_EQ(moved, 5u);
  EXPECT_EQ(Records("KEYED.DB"),
            (Rows{{I(2), S("upd2"), I(3)}, {I(3), S("c"), I(30)}, {I(5), S("third"), I(7)}}));
  Make("EMPTY.DB", ItemFields(), 1, {});
  ExpectRefused("REPEATS.DB", "EMPTY.DB", batAppend, ErrKeyViolation,
                {path("REPEATS.DB") + " record 3: " + path("EMPTY.DB") +
                 ": the key 5 is that of " + path("REPEATS.DB") + " record 1 as well"});
}

// ------------------------------------------------------- matching fields

TEST_F(BatchMoveTest, FieldsMatchByNameIgnoringCaseElseByPosition) {
  Make("ORDERS.DB",
       {Field("qty", pxShort), Field("NAME", pxAlpha, 20), Field("id", pxLong),
        Field("Extra", pxAlpha, 5)},
       0,
       {{I(7), S("seven"), I(1), S("x")}, {I(8), S("eight"), I(2), kNull},
        {I(9), S("nine"), I(2), S("y")}});
  Make("T.DB",
       {Field("Id", pxLong), Field("Name", pxAlpha, 20), Field("Qty", pxShort),
        Field("Note", pxAlpha, 10), Field("Serial", pxAutoinc)},
       1, {{I(1), S("one"), I(5), S("keep"), kNull}});
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

  // Other types are converted; a value that does not convert is refused,
  // naming the record and the field.
  Make("SHORTID.DB", {Field("Id", pxShort), Field("Name", pxAlpha, 20)}, 0, {{I(3), S("c")}});
  Make("WIDE.DB", ItemFields(), 0, {});
  ASSERT_EQ(Move("SHORTID.DB", "WIDE.DB", batAppend), Ok) << LastErrorMessage();
  EXPECT_EQ(Records("WIDE.DB"), (Rows{{I(3), S("c"), kNull}}));
  Make("TEXTID.DB", {Field("Id", pxAlpha, 5), Field("Name", pxAlpha, 20)}, 0,
       {{kNull, S("blank id moves")}, {S("x"), S("c")}});
  ExpectRefused("TEXTID.DB", "T.DB", batAppend, ErrInvalidValue,
                {path("TEXTID.DB") + " record 2: field Id: ", "not a number"});
  Make("POS2.DB", {Field("A", pxAlpha, 5), Field("B", pxAlpha, 20)}, 0, {{S("nine"), S("nine")}});
  ExpectRefused("POS2.DB", "BYPOS.DB", batAppend, ErrInvalidValue,
                {"POS2.DB record 1: field A (Id in the destination): "});
  // Records are found by every field of the destination's key.
  Make("NAMES.DB", {Field("Name", pxAlpha, 20)}, 0, {{S("x")}});
  ExpectRefused("NAMES.DB", "T.DB", batUpdate, ErrInvalidIndex,
                {"the key field Id has no field of the source"});
}

// ----------------------------------------------- stopping at the first fault

TEST_F(BatchMoveTest, TheFirstRefusedRecordStopsTheMoveWithNothingChanged) {
  Make("KEYED.DB", ItemFields(), 1, {{I(2), S("old"), I(0)}, {I(3), S("c"), I(30)}});
  Make("IN.DB", ItemFields(), 0,
       {{I(10), S("a"), I(1)}, {I(11), S("b"), I(1)}, {I(12), S("c"), I(1)},
        {I(3), S("clash"), I(1)}, {I(13), S("d"), I(1)}, {I(10), S("again"), I(1)}});
  ExpectRefused("IN.DB", "KEYED.DB", batAppend, ErrKeyViolation,
                {path("IN.DB") + " record 4: " + path("KEYED.DB") +
                 ": a record with the key 3 exists already"});
  // Fixed, the move stops at its next fault.
  ASSERT_EQ(OpenOk(path("IN.DB"), true)->update(3, {I(14), S("clash"), I(1)}), Ok);
  ExpectRefused("IN.DB", "KEYED.DB", batAppend, ErrKeyViolation,
                {"IN.DB record 6: ", "the key 10 is that of " + path("IN.DB") + " record 1"});
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
  Make("SRC.DB", ItemFields(), 1, {{I(1), S("a"), I(10)}, {I(2), S("b"), I(20)}, {I(4), S("d"), I(40)}});
  ExpectRefused("SRC.DB", "CHECKED.DB", batAppendUpdate, ErrAboveMaximum, {"SRC.DB record 3: "});
}

// --------------------------------------------------- sides, locks, passwords

TEST_F(BatchMoveTest, OneTableIsNotBothSidesNorIsATableInUseChanged) {
  Make("SRC.DB", ItemFields(), 1, {{I(1), S("a"), I(10)}});
  Make("KEYED.DB", ItemFields(), 1, {});
  for (std::int32_t mode : {batAppend, batCopy})
    ExpectRefused("SRC", "SRC.DB", mode, ErrInvalidParameter,
                  {"the source and the destination of a move are the same table"});
  ExpectRefused("SRC.DB", "KEYED.DB", 5, ErrInvalidParameter, {"mode 5"});
  Holder other;
  ASSERT_EQ(other.start([&] {
    hDBICur c = 0;
    return OpenTablePath(path("KEYED.DB"), OpenMode::ReadOnly, ShareMode::Exclusive, c);
  }),
            Ok);
  ExpectRefused("SRC.DB", "KEYED.DB", batAppend, ErrTableInUse, {"KEYED.DB"});
  other.stop();
  ASSERT_EQ(other.startReading(path("SRC.DB")), Ok);  // readers of the source are no obstacle
  EXPECT_EQ(Move("SRC.DB", "KEYED.DB", batAppend), Ok) << LastErrorMessage();
}

TEST_F(BatchMoveTest, PasswordsOfTheSideAreTriedBesideTheSessions) {
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
  RemoveAllPasswords();
  ASSERT_EQ(Move("SECRET.DB", "OPEN.DB", batAppend, nullptr, "boss"), Ok) << LastErrorMessage();
  EXPECT_EQ(Records("OPEN.DB"), Records("SECRET.DB", {"boss"}));
  EXPECT_TRUE(SessionPasswords().empty());
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
  Make("SRC.DB", ItemFields(), 1, {{I(1), S("a"), I(10)}});
  Make("PLAIN.DB", ItemFields(), 0, {});
  changedSource = path("SRC.DB");
  io::SetStepHook(ChangeTheSource);
  const auto before = *Slurp(path("PLAIN.DB"));
  const Result r = Move("SRC.DB", "PLAIN.DB", batAppend);
  io::SetStepHook(nullptr);
  ASSERT_TRUE(sourceChanged);
  EXPECT_EQ(r, ErrTableInUse);
  EXPECT_NE(LastErrorMessage().find("changed while its records were moved"), std::string::npos)
      << LastErrorMessage();
  EXPECT_EQ(*Slurp(path("PLAIN.DB")), before);
}

// -------------------------------------------------- killed at every step

std::uint64_t stepsLeft = 0;
void DieAtStep() {
  if (stepsLeft-- == 0) raise(SIGKILL);
}

// Runs `move` in a child killed before its k-th step on disk, for k = 0, 1,
// ... until it runs to its end, each time on the files as they were. Whoever
// opens `table` next finds it wholly as before the move or as after it,
// its files sound and nothing but its family beside the other tables.
void KilledAtEveryStep(const std::string& dir, const std::string& table,
                       const std::function<Result()>& move) {
  const auto pristine = Files(dir);
  auto restore = [&] {
    for (const auto& [name, bytes] : Files(dir))
      if (!pristine.count(name)) std::filesystem::remove(dir + "/" + name);
    for (const auto& [name, bytes] : pristine) Put(dir + "/" + name, bytes);
  };
  const Rows before = AllRecords(*OpenOk(table));
  ASSERT_EQ(move(), Ok) << LastErrorMessage();
  const Rows after = AllRecords(*OpenOk(table));
  auto names = [&] {
    std::set<std::string> out;
    for (const auto& [name, bytes] : Files(dir)) out.insert(name);
    return out;
  };
  const std::set<std::string> afterNames = names();
  restore();
  const std::set<std::string> beforeNames = names();
  bool finished = false;
  int interrupted = 0;
  for (std::uint64_t k = 0; !finished && k < 400; ++k) {
    restore();
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
    EXPECT_TRUE(now == after || (now == before && !finished)) << now.size() << " records";
    EXPECT_EQ(names(), now == before ? beforeNames : afterNames);
    soundfiles::ExpectSound(table);
    ASSERT_FALSE(testing::Test::HasFailure());
    interrupted += finished ? 0 : 1;
  }
  EXPECT_TRUE(finished);
  EXPECT_GT(interrupted, 10);
}

// Long keys and small blocks: a few records split blocks of the table and
// of its secondary index.
TableDesc WideTable() {
  TableDesc d;
  d.optionalParams.push_back({"BLOCK SIZE", "1024"});
  IndexDesc byName;
  byName.name = "ByName";
  byName.maintained = 1;
  byName.fieldsInKey = 1;
  byName.keyFields[0] = 2;
  d.indexes.push_back(byName);
  return d;
}

std::vector<FieldDesc> WideFields() {
  return {Field("Key", pxAlpha, 200), Field("Name", pxAlpha, 120), Field("Score", pxLong)};
}

Rows WideRows(int count, int first, int step, const std::string& name) {
  Rows rows;
  for (int i = 0; i < count; ++i)
    rows.push_back({S("key" + std::to_string(first + step * i)), S(name + std::to_string(i)), I(i)});
  return rows;
}

TEST_F(BatchMoveTest, AnAppendUpdateKilledAtEveryStepLeavesTheDestinationBeforeOrAfter) {
  const TableDesc wide = WideTable();
  Make("D.DB", WideFields(), 1, WideRows(40, 100, 2, "name"), &wide);
  Make("S.DB", WideFields(), 0, WideRows(12, 101, 3, "moved"));  // every other one updates
  KilledAtEveryStep(dir_.path(), path("D.DB"), [&] { return Move("S.DB", "D.DB", batAppendUpdate); });
}

TEST_F(BatchMoveTest, ACopyKilledAtEveryStepLeavesTheDestinationBeforeOrAfter) {
  const TableDesc wide = WideTable();
  Make("D.DB", WideFields(), 1, WideRows(30, 0, 1, "name"), &wide);
  Make("NEWS.DB", {Field("Title", pxAlpha, 30), Field("Body", pxMemo, 20)}, 0,
       {{S("one"), S(std::string(900, 'a'))}, {S("two"), S(std::string(2000, 'b'))}});
  KilledAtEveryStep(dir_.path(), path("D.DB"), [&] { return Move("NEWS.DB", "D.DB", batCopy); });
}

// ------------------------------------------------------- one table's move

// MoveTable, shared by quarry move and the archive window: a missing
// destination is made (keyed unless appending) and goes again when the move
// fails; an existing one is moved into and kept.
TEST_F(BatchMoveTest, MoveTableMakesAMissingDestinationAndRemovesItWhenTheMoveFails) {
  const Row a{I(1), S("a"), I(10)}, b{I(2), S("b"), I(20)};
  Make("SRC.DB", ItemFields(), 1, {a, b});
  Make("LOOSE.DB", ItemFields(), 0, {b, b});
  BatchTableDesc s, d;
  s.db = d.db = db_;
  s.tableName = "SRC.DB";
  d.tableName = "NEW.DB";
  MoveOutcome made = MoveTable(s, d, batAppendUpdate);
  ASSERT_EQ(made.result, Ok) << made.message;
  EXPECT_TRUE(made.created);
  EXPECT_EQ(made.moved, 2u);
  EXPECT_EQ(Records("NEW.DB"), (Rows{a, b}));
  EXPECT_TRUE(OpenOk(path("NEW.DB"))->header().isKeyed());

  MoveOutcome again = MoveTable(s, d, batAppend);  // key violations: kept as it was
  EXPECT_EQ(again.result, ErrKeyViolation);
  EXPECT_NE(again.message.find("exists already"), std::string::npos) << again.message;
  EXPECT_FALSE(again.created);
  EXPECT_EQ(Records("NEW.DB"), (Rows{a, b}));

  s.tableName = "LOOSE.DB";
  d.tableName = "KEYED.DB";
  MoveOutcome refused = MoveTable(s, d, batAppendUpdate);  // unkeyed source, unkeyed copy
  EXPECT_EQ(refused.result, ErrInvalidIndex);
  EXPECT_EQ(refused.message, path("KEYED.DB") + ": Destination table is not indexed");
  EXPECT_FALSE(refused.created);
  EXPECT_FALSE(io::FileExists(path("KEYED.DB")));

  s.tableName = "MISSING.DB";
  MoveOutcome missing = MoveTable(s, d, batAppend);  // creating fails: nothing made
  EXPECT_EQ(missing.result, ErrNotFound) << missing.message;
  EXPECT_FALSE(missing.message.empty());
  EXPECT_FALSE(io::FileExists(path("KEYED.DB")));
}

// ------------------------------------------------------------- streaming

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

// Records updating and inserting into a keyed table, 20 and 40 MB of
// them: what the move holds at any step it takes on disk, and at its end,
// does not grow with the records it moves.
TEST_F(BatchMoveTest, AMoveOfManyRecordsStreams) {
  if (HeapInUse() == 0) GTEST_SKIP() << "the allocator tells nothing of its use";
  auto peakOfMove = [&](std::uint64_t records) -> std::size_t {
    const std::string big = "BIG" + std::to_string(records), source = "SRC" + std::to_string(records);
    for (const std::string& name : {big, source}) {
      TableDesc d = ptables::Desc(path(name + ".DB"),
                                  {Field("Id", pxLong), Field("A", pxAlpha, 250),
                                   Field("B", pxAlpha, 250), Field("C", pxAlpha, 250),
                                   Field("D", pxAlpha, 250)},
                                  name == big ? 1 : 0);
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

}  // namespace
