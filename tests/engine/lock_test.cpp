#include "engine/io/lock.h"
#include "tests/support/files.h"
#include "tests/support/tempdir.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

using namespace engine;
using namespace engine::io;
namespace fs = std::filesystem;
using Kind = TableLock::Kind;

namespace {

// Tries a lock in a forked child and reports the result; the child keeps
// the lock until it is killed.
class Child {
 public:
  Result acquire(const std::string& path, Kind kind) {
    int fds[2];
    if (pipe(fds) != 0) return ErrIo;
    pid_ = fork();
    if (pid_ == 0) {
      TableLock lock;
      Result r = lock.acquire(path, kind);
      if (write(fds[1], &r, sizeof r) != sizeof r) _exit(1);
      for (;;) pause();
    }
    close(fds[1]);
    Result r = 0xFFFF;
    if (read(fds[0], &r, sizeof r) != sizeof r) r = 0xFFFF;
    close(fds[0]);
    return r;
  }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  ~Child() { kill(); }

 private:
  pid_t pid_ = -1;
};

enum class Where { SameProcess, HeldByChild, HeldByParent };
struct LockCase {
  Kind first, second;
  bool conflict;
  Where where;
};

void PrintTo(const LockCase& c, std::ostream* os) {
  static const char* wheres[] = {"same process", "held by child", "held by parent"};
  auto name = [](Kind k) { return k == Kind::Shared ? "shared" : "exclusive"; };
  *os << name(c.first) << " then " << name(c.second) << ", " << wheres[static_cast<int>(c.where)];
}

class TableLockPair : public testing::TestWithParam<LockCase> {};

TEST_P(TableLockPair, ConflictsUnlessBothShared) {
  const LockCase& c = GetParam();
  TempDir dir;
  std::string table = dir / "T.DB";
  Put(table, "data");
  TableLock mine, other;
  Child child;
  Result r = Ok;
  if (c.where == Where::HeldByChild) {
    ASSERT_EQ(child.acquire(table, c.first), Ok);
    r = mine.acquire(table, c.second);
  } else {
    ASSERT_EQ(mine.acquire(table, c.first), Ok);
    r = c.where == Where::SameProcess ? other.acquire(table, c.second)
                                      : child.acquire(table, c.second);
  }
  EXPECT_EQ(r, c.conflict ? ErrTableInUse : Ok);
  if (c.where != Where::HeldByParent && c.conflict) {
    EXPECT_EQ(LastErrorMessage(), "Table is in use: " + table);
  }
}

std::vector<LockCase> AllPairs() {
  std::vector<LockCase> out;
  for (Where w : {Where::SameProcess, Where::HeldByChild, Where::HeldByParent}) {
    out.push_back({Kind::Shared, Kind::Shared, false, w});
    out.push_back({Kind::Shared, Kind::Exclusive, true, w});
    out.push_back({Kind::Exclusive, Kind::Shared, true, w});
    out.push_back({Kind::Exclusive, Kind::Exclusive, true, w});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, TableLockPair, testing::ValuesIn(AllPairs()));

TEST(TableLock, ReleasedWhenTheHolderGoes) {
  TempDir dir;
  std::string table = dir / "T.DB";
  Put(table, "data");
  Child child;
  ASSERT_EQ(child.acquire(table, Kind::Exclusive), Ok);
  TableLock lock;
  EXPECT_EQ(lock.acquire(table, Kind::Shared), ErrTableInUse);
  child.kill();
  EXPECT_EQ(lock.acquire(table, Kind::Exclusive), Ok);
  EXPECT_TRUE(lock.held());

  TableLock moved(std::move(lock));
  EXPECT_FALSE(lock.held());
  TableLock probe;
  EXPECT_EQ(probe.acquire(table, Kind::Shared), ErrTableInUse);
  moved.release();
  EXPECT_EQ(probe.acquire(table, Kind::Shared), Ok);
  { TableLock scoped = std::move(probe); }
  EXPECT_EQ(lock.acquire(table, Kind::Exclusive), Ok);
  EXPECT_EQ(lock.acquire(dir / "missing.DB", Kind::Shared), ErrNotFound);
}

TEST(TableLock, ChangesKindWithoutLettingGo) {
  TempDir dir;
  std::string table = dir / "T.DB";
  Put(table, "data");
  TableLock a, b, c;
  ASSERT_EQ(a.acquire(table, Kind::Shared), Ok);
  ASSERT_EQ(b.acquire(table, Kind::Shared), Ok);
  EXPECT_EQ(a.acquire(table, Kind::Exclusive), ErrTableInUse);
  b.release();
  EXPECT_EQ(c.acquire(table, Kind::Exclusive), ErrTableInUse);  // a kept its shared lock
  EXPECT_EQ(a.acquire(table, Kind::Exclusive), Ok);
  EXPECT_EQ(c.acquire(table, Kind::Shared), ErrTableInUse);
  EXPECT_EQ(a.acquire(table, Kind::Shared), Ok);
  EXPECT_EQ(c.acquire(table, Kind::Shared), Ok);
}

// ---- ReplaceFiles -------------------------------------------------------

// Targets a and b exist, c does not; each has a staged new version.
class Replace : public testing::Test {
 protected:
  void SetUp() override {
    Put(dir / "a", "old a");
    Put(dir / "b", "old b");
    for (const char* name : {"a", "b", "c"}) Put(dir / name + ".new", std::string("new ") + name);
  }

  std::vector<Replacement> plan() const {
    return {{dir / "a.new", dir / "a"}, {dir / "b.new", dir / "b"}, {dir / "c.new", dir / "c"}};
  }
  std::string planPath() const { return dir / "plan"; }

  // Every file of the scene by name; absent ones are left out.
  std::map<std::string, std::string> files() const {
    std::map<std::string, std::string> out;
    for (const char* name :
         {"a", "b", "c", "a.new", "b.new", "c.new", "a.old~", "b.old~", "c.old~", "plan"})
      if (auto s = Slurp(dir / name)) out[name] = *s;
    return out;
  }
  const std::map<std::string, std::string> kOld = {
      {"a", "old a"}, {"b", "old b"}, {"a.new", "new a"}, {"b.new", "new b"}, {"c.new", "new c"}};
  const std::map<std::string, std::string> kNew = {{"a", "new a"}, {"b", "new b"}, {"c", "new c"}};

  // The renames and removals ReplaceFiles makes for plan(), in order.
  std::vector<std::function<void()>> forwardSteps() const {
    auto move = [this](std::string from, std::string to) {
      return [=, this] { fs::rename(dir / from, dir / to); };
    };
    auto remove = [this](std::string name) { return [=, this] { fs::remove(dir / name); }; };
    return {move("a", "a.old~"), move("a.new", "a"), move("b", "b.old~"), move("b.new", "b"),
            move("c.new", "c"),  remove("a.old~"),   remove("b.old~")};
  }

  TempDir dir;
};

TEST_F(Replace, SwapsInEveryStagedFile) {
  ASSERT_EQ(ReplaceFiles(plan(), planPath()), Ok) << LastErrorMessage();
  EXPECT_EQ(files(), kNew);
}

TEST_F(Replace, AnEmptyStagedNameDeletesTheTarget) {
  ASSERT_EQ(ReplaceFiles({{dir / "a.new", dir / "a"}, {"", dir / "b"}}, planPath()), Ok);
  std::map<std::string, std::string> expected = {
      {"a", "new a"}, {"b.new", "new b"}, {"c.new", "new c"}};
  EXPECT_EQ(files(), expected);
}

TEST_F(Replace, RefusesABadPlanAndChangesNothing) {
  struct Bad {
    const char* what;
    std::function<void(std::vector<Replacement>&)> spoil;
    Result expected;
  };
  const Bad bads[] = {
      {"staged file missing", [&](auto&) { fs::remove(dir / "c.new"); }, ErrNotFound},
      {"aside in the way", [&](auto&) { Put(dir / "b.old~", "x"); }, ErrFileExists},
      {"target twice", [&](auto& p) { p[1].target = p[0].target; }, ErrInvalidParameter},
      {"plan left over", [&](auto&) { Put(planPath(), "x"); }, ErrFileExists},
  };
  for (const Bad& bad : bads) {
    SetUp();
    std::vector<Replacement> p = plan();
    bad.spoil(p);
    auto before = files();
    EXPECT_EQ(ReplaceFiles(p, planPath()), bad.expected) << bad.what;
    EXPECT_EQ(files(), before) << bad.what;
    for (const char* leftover : {"c.new", "b.old~", "plan"}) fs::remove(dir / leftover);
  }
}

TEST_F(Replace, FailureHalfwayPutsEverythingBack) {
  std::vector<Replacement> p = plan();
  p[2].target = dir / "no-such-dir/c";
  EXPECT_EQ(ReplaceFiles(p, planPath()), ErrNotFound);
  EXPECT_NE(LastErrorMessage().find("c.new"), std::string::npos);
  EXPECT_EQ(files(), kOld);
}

TEST_F(Replace, ATornPlanWasNeverActedOn) {
  ASSERT_EQ(WriteReplacePlan(plan(), planPath()), Ok);
  fs::resize_file(planPath(), fs::file_size(planPath()) - 3);
  EXPECT_EQ(RecoverReplace(planPath()), Ok) << LastErrorMessage();
  EXPECT_EQ(files(), kOld);
}

class ReplaceInterrupted : public Replace, public testing::WithParamInterface<int> {};

TEST_P(ReplaceInterrupted, RollsForwardWhenEveryStagedFileIsThere) {
  ASSERT_EQ(WriteReplacePlan(plan(), planPath()), Ok);
  auto steps = forwardSteps();
  for (int i = 0; i < GetParam(); ++i) steps[i]();
  ASSERT_EQ(RecoverReplace(planPath()), Ok) << LastErrorMessage();
  EXPECT_EQ(files(), kNew);
  EXPECT_EQ(RecoverReplace(planPath()), Ok);
}

INSTANTIATE_TEST_SUITE_P(AfterSteps, ReplaceInterrupted, testing::Range(0, 8));

// c.new goes missing before it was moved in (after 0 to 4 steps).
class ReplaceLosingAFile : public ReplaceInterrupted {};

TEST_P(ReplaceLosingAFile, RollsBack) {
  ASSERT_EQ(WriteReplacePlan(plan(), planPath()), Ok);
  auto steps = forwardSteps();
  for (int i = 0; i < GetParam(); ++i) steps[i]();
  fs::remove(dir / "c.new");
  ASSERT_EQ(RecoverReplace(planPath()), Ok) << LastErrorMessage();
  auto expected = kOld;
  expected.erase("c.new");
  EXPECT_EQ(files(), expected);
}

INSTANTIATE_TEST_SUITE_P(AfterSteps, ReplaceLosingAFile, testing::Range(0, 5));

}  // namespace
