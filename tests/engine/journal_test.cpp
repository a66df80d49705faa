#include "engine/io/journal.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

using namespace engine;
using namespace engine::io;
namespace fs = std::filesystem;

namespace {

std::string Bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

enum class Op { Write, Resize, Create, Flush };
// Files a step works on: 0 and 1 exist at the start, 2 is file 0 under
// another name, 3 is created by the transaction.
struct Step {
  Op op;
  int file;
  std::uint64_t offset;  // or the new length
  std::size_t length = 0;
};

// A directory with the starting files, the steps' effect modelled in memory
// and a way to run the steps through a transaction.
class Scene {
 public:
  Scene() {
    std::string t = (fs::temp_directory_path() / "quarry-journal-XXXXXX").string();
    dir_ = mkdtemp(t.data());
    Put(path(0), Bytes(10000, 1));
    Put(path(1), Bytes(5000, 2));
  }
  ~Scene() { fs::remove_all(dir_); }

  std::string path(int file) const {
    static const char* names[] = {"a", "b", "./a", "c"};
    return dir_ + "/" + names[file];
  }
  std::string journal() const { return dir_ + "/j"; }

  std::map<int, std::optional<std::string>> contents() const {
    return {{0, Slurp(path(0))}, {1, Slurp(path(1))}, {3, Slurp(path(3))}};
  }

  // The files as a transaction shows them before it has written them.
  std::map<int, std::optional<std::string>> contentsThrough(const Transaction& tx) const {
    std::map<int, std::optional<std::string>> out;
    for (int i : {0, 1, 3}) {
      File f;
      if (!fs::exists(path(i)) || f.open(path(i), File::Mode::Read) != Ok) {
        out[i] = std::nullopt;
        continue;
      }
      std::uint64_t size = 0;
      std::string bytes;
      if (tx.size(f, size) == Ok) {
        bytes.resize(size);
        if (size && tx.read(f, 0, bytes.data(), size) != Ok) bytes = "read failed";
      }
      out[i] = bytes;
    }
    return out;
  }

  // Runs the steps through tx, each file opened on first use.
  Result run(Transaction& tx, const std::vector<Step>& steps) {
    File files[4];
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const Step& s = steps[i];
      File& f = files[s.file];
      if (s.op == Op::Create) {
        if (Result r = tx.create(f, path(s.file))) return r;
        continue;
      }
      if (s.op == Op::Flush) {
        if (Result r = tx.flush()) return r;
        continue;
      }
      if (!f.isOpen())
        if (Result r = f.open(path(s.file), File::Mode::ReadWrite)) return r;
      Result r = s.op == Op::Write ? Write(tx, f, s, i) : tx.resize(f, s.offset);
      if (r) return r;
    }
    return Ok;
  }

  static Result Write(Transaction& tx, File& f, const Step& s, std::size_t i) {
    std::string data = Bytes(s.length, 100 + static_cast<unsigned>(i));
    return tx.write(f, s.offset, data.data(), data.size());
  }

  // What the files hold after all steps, worked out without the engine.
  static std::map<int, std::optional<std::string>> Model(
      std::map<int, std::optional<std::string>> files, const std::vector<Step>& steps) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const Step& s = steps[i];
      std::optional<std::string>& f = files[s.file == 2 ? 0 : s.file];
      if (s.op == Op::Flush) continue;
      if (s.op == Op::Create) {
        f = std::string();
      } else if (s.op == Op::Resize) {
        f->resize(s.offset);
      } else {
        if (f->size() < s.offset + s.length) f->resize(s.offset + s.length);
        f->replace(s.offset, s.length, Bytes(s.length, 100 + static_cast<unsigned>(i)));
      }
    }
    return files;
  }

 private:
  std::string dir_;
};

// Runs steps in a child that begins a transaction and dies without
// committing: by SIGKILL after `killAfter` steps, or by _exit at the end
// once what it wrote has reached the files.
void RunInDyingChild(Scene& scene, std::vector<Step> steps, std::size_t killAfter = SIZE_MAX) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    Transaction tx;
    if (tx.begin(scene.journal())) _exit(2);
    if (killAfter < steps.size()) steps.resize(killAfter);
    if (scene.run(tx, steps)) _exit(3);
    if (killAfter != SIZE_MAX) raise(SIGKILL);
    if (tx.flush()) _exit(4);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  if (killAfter == SIZE_MAX)
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  else
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
}

struct Case {
  const char* name;
  std::vector<Step> steps;
};

const Case kCases[] = {
    {"OverwriteInsideOnePage", {{Op::Write, 0, 100, 50}}},
    {"OverlappingWritesAcrossPages",
     {{Op::Write, 0, 4000, 300}, {Op::Write, 0, 4200, 5000}, {Op::Write, 0, 3000, 2000}}},
    {"SameFileUnderTwoNames",
     {{Op::Write, 0, 10, 100}, {Op::Write, 2, 0, 200}, {Op::Write, 2, 9000, 2000}}},
    {"WritesPastTheEnd",
     {{Op::Write, 1, 4990, 20}, {Op::Write, 1, 20000, 100}, {Op::Write, 1, 9000, 10}}},
    {"CutThenGrowAgain",
     {{Op::Resize, 0, 5000},
      {Op::Resize, 0, 12000},
      {Op::Write, 0, 6000, 100},
      {Op::Write, 0, 9990, 20}}},
    {"GrowThenCutBelowTheStart",
     {{Op::Write, 1, 5000, 3000}, {Op::Resize, 1, 4500}, {Op::Write, 1, 4600, 10}}},
    {"CutToNothing", {{Op::Resize, 1, 0}, {Op::Write, 1, 0, 10}}},
    {"NewFileBesideOldOnes",
     {{Op::Write, 0, 0, 1},
      {Op::Create, 3, 0},
      {Op::Write, 3, 0, 9000},
      {Op::Write, 1, 4999, 1},
      {Op::Resize, 3, 100}}},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

enum class Ending { Commit, Rollback, Destructor, Crash };

class JournalEnding : public testing::TestWithParam<std::tuple<Case, Ending>> {};

TEST_P(JournalEnding, LeavesTheFilesExactlyAsExpected) {
  const auto& [c, ending] = GetParam();
  Scene scene;
  auto before = scene.contents();
  if (ending == Ending::Crash) {
    RunInDyingChild(scene, c.steps);
    ASSERT_TRUE(fs::exists(scene.journal()));
    ASSERT_EQ(RecoverJournal(scene.journal()), Ok) << LastErrorMessage();
  } else {
    Transaction tx;
    ASSERT_EQ(tx.begin(scene.journal()), Ok) << LastErrorMessage();
    ASSERT_EQ(scene.run(tx, c.steps), Ok) << LastErrorMessage();
    EXPECT_EQ(scene.contentsThrough(tx), Scene::Model(before, c.steps));
    if (ending == Ending::Commit) {
      ASSERT_EQ(tx.commit(), Ok) << LastErrorMessage();
    } else if (ending == Ending::Rollback) {
      ASSERT_EQ(tx.rollback(), Ok) << LastErrorMessage();
    }
    EXPECT_EQ(tx.active(), ending == Ending::Destructor);
  }
  EXPECT_EQ(scene.contents(), ending == Ending::Commit ? Scene::Model(before, c.steps) : before);
  EXPECT_FALSE(fs::exists(scene.journal()));
}

std::string EndingName(const testing::TestParamInfo<std::tuple<Case, Ending>>& info) {
  static const char* endings[] = {"Commit", "Rollback", "Destructor", "Crash"};
  return std::string(std::get<0>(info.param).name) +
         endings[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Cases, JournalEnding,
                         testing::Combine(testing::ValuesIn(kCases),
                                          testing::Values(Ending::Commit, Ending::Rollback,
                                                          Ending::Destructor, Ending::Crash)),
                         EndingName);

std::vector<Step> RandomSteps(unsigned seed, std::size_t count) {
  std::mt19937 gen(seed);
  std::vector<Step> steps{{Op::Create, 3, 0}};
  for (std::size_t i = 1; i < count; ++i) {
    int file = static_cast<int>(gen() % 4);
    std::uint64_t offset = gen() % 16000;
    if (gen() % 7 == 0)
      steps.push_back({Op::Flush, 0, 0});
    else if (gen() % 5 == 0)
      steps.push_back({Op::Resize, file, offset});
    else
      steps.push_back({Op::Write, file, offset, gen() % 6000});
  }
  return steps;
}

class JournalKilledAfter : public testing::TestWithParam<std::size_t> {};

TEST_P(JournalKilledAfter, RecoveryRestoresTheStart) {
  Scene scene;
  auto before = scene.contents();
  RunInDyingChild(scene, RandomSteps(7, 60), GetParam());
  ASSERT_EQ(RecoverJournal(scene.journal()), Ok) << LastErrorMessage();
  EXPECT_EQ(scene.contents(), before);
  EXPECT_FALSE(fs::exists(scene.journal()));
}

INSTANTIATE_TEST_SUITE_P(Steps, JournalKilledAfter, testing::Values(0, 1, 2, 3, 8, 21, 59));

TEST(JournalKilledAnyTime, RecoveryRestoresTheStart) {
  std::mt19937 gen(11);
  for (int round = 0; round < 12; ++round) {
    Scene scene;
    auto before = scene.contents();
    std::vector<Step> steps = RandomSteps(100 + round, 300);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      Transaction tx;
      if (tx.begin(scene.journal()) == Ok) scene.run(tx, steps);
      _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(gen() % 40000));
    kill(pid, SIGKILL);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    ASSERT_EQ(RecoverJournal(scene.journal()), Ok)
        << "round " << round << ": " << LastErrorMessage();
    EXPECT_EQ(scene.contents(), before) << "round " << round;
  }
}

// The last record belongs to a write the child left undone (it wrote the
// same bytes back), as when the process dies while appending to the journal.
// Damaging that record must not stop the records before it from being used.
enum class Damage { CutAt, FlipByteAt, AppendGarbage };
struct TailCase {
  Damage damage;
  std::int64_t where;  // offset into the last record; negative counts from its end
};

void PrintTo(const TailCase& t, std::ostream* os) {
  static const char* damages[] = {"cut at", "flip byte at", "append garbage"};
  *os << damages[static_cast<int>(t.damage)] << " " << t.where;
}

class JournalTornTail : public testing::TestWithParam<TailCase> {};

TEST_P(JournalTornTail, IsIgnored) {
  Scene scene;
  auto before = scene.contents();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    Transaction tx;
    std::vector<Step> steps = {
        {Op::Write, 0, 0, 100}, {Op::Create, 3, 0}, {Op::Write, 1, 10, 10}, {Op::Flush, 0, 0}};
    if (tx.begin(scene.journal()) || scene.run(tx, steps)) _exit(2);
    std::uint64_t mark = fs::file_size(scene.journal());
    File a;
    std::string same(100, '\0');
    if (a.open(scene.path(0), File::Mode::ReadWrite) || a.read(5000, same.data(), 100) ||
        write(fds[1], &mark, sizeof mark) != sizeof mark ||
        tx.write(a, 5000, same.data(), same.size()) || tx.flush())
      _exit(3);
    _exit(0);
  }
  close(fds[1]);
  std::uint64_t mark = 0;
  ASSERT_EQ(read(fds[0], &mark, sizeof mark), static_cast<ssize_t>(sizeof mark));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::string journal = *Slurp(scene.journal());
  ASSERT_GT(journal.size(), mark + 100);
  const TailCase& t = GetParam();
  std::size_t at = t.where >= 0 ? mark + t.where : journal.size() + t.where;
  if (t.damage == Damage::CutAt) journal.resize(at);
  if (t.damage == Damage::FlipByteAt) journal[at] ^= 0x20;
  if (t.damage == Damage::AppendGarbage) journal += Bytes(300, 5);
  Put(scene.journal(), journal);

  ASSERT_EQ(RecoverJournal(scene.journal()), Ok) << LastErrorMessage();
  EXPECT_EQ(scene.contents(), before);
  EXPECT_FALSE(fs::exists(scene.journal()));
}

INSTANTIATE_TEST_SUITE_P(Damages, JournalTornTail,
                         testing::Values(TailCase{Damage::CutAt, 1}, TailCase{Damage::CutAt, 8},
                                         TailCase{Damage::CutAt, 40}, TailCase{Damage::CutAt, -1},
                                         TailCase{Damage::FlipByteAt, 2},
                                         TailCase{Damage::FlipByteAt, 4},
                                         TailCase{Damage::FlipByteAt, 30},
                                         TailCase{Damage::FlipByteAt, -1},
                                         TailCase{Damage::AppendGarbage, 0}));

TEST(JournalSize, EachPageIsSavedOnceAndGrowthNotAtAll) {
  Scene scene;
  auto before = scene.contents();
  Transaction tx;
  ASSERT_EQ(tx.begin(scene.journal()), Ok);
  File a, b;
  ASSERT_EQ(a.open(scene.path(0), File::Mode::ReadWrite), Ok);
  ASSERT_EQ(b.open(scene.path(1), File::Mode::ReadWrite), Ok);
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(tx.write(a, 4100 + i, "x", 1), Ok);
    ASSERT_EQ(tx.flush(), Ok);
  }
  EXPECT_LT(fs::file_size(scene.journal()), 4096u + 200);
  std::string big = Bytes(1 << 20, 9);
  ASSERT_EQ(tx.write(b, 5000, big.data(), big.size()), Ok);
  ASSERT_EQ(tx.resize(b, 3 << 20), Ok);
  ASSERT_EQ(tx.flush(), Ok);
  EXPECT_LT(fs::file_size(scene.journal()), 4096u + 300);
  ASSERT_EQ(tx.rollback(), Ok);
  EXPECT_EQ(scene.contents(), before);
}

TEST(JournalFiles, LeftoversAndStrangers) {
  Scene scene;
  auto before = scene.contents();
  EXPECT_EQ(RecoverJournal(scene.journal()), Ok);  // none at all

  RunInDyingChild(scene, {});  // a journal holding just its header
  Transaction tx;
  EXPECT_EQ(tx.begin(scene.journal()), ErrFileExists);
  EXPECT_FALSE(tx.active());

  fs::resize_file(scene.journal(), 5);  // as if it died while writing the header
  EXPECT_EQ(RecoverJournal(scene.journal()), Ok) << LastErrorMessage();
  EXPECT_FALSE(fs::exists(scene.journal()));

  Put(scene.journal(), std::string(64, 'z'));
  EXPECT_EQ(RecoverJournal(scene.journal()), ErrCorruptHeader);
  EXPECT_NE(LastErrorMessage().find(scene.journal()), std::string::npos);
  EXPECT_TRUE(fs::exists(scene.journal()));
  EXPECT_EQ(scene.contents(), before);
}

TEST(JournalFiles, CreateRefusesAnExistingFileAndRollbackKeepsIt) {
  Scene scene;
  Put(scene.path(3), "someone else's");
  Transaction tx;
  ASSERT_EQ(tx.begin(scene.journal()), Ok);
  File c;
  EXPECT_EQ(tx.create(c, scene.path(3)), ErrFileExists);
  EXPECT_EQ(tx.rollback(), Ok);
  EXPECT_EQ(Slurp(scene.path(3)), "someone else's");
}

}  // namespace

TEST(JournalLive, AChangeRunningInAnotherProcessIsNotUndone) {
  Scene scene;
  const std::string before = *Slurp(scene.path(0));
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t child = fork();
  if (child == 0) {
    Transaction tx;
    File f;
    if (tx.begin(scene.journal()) || f.open(scene.path(0), File::Mode::ReadWrite) ||
        tx.write(f, 0, "changed", 7) || tx.flush())
      _exit(2);
    char c = 1;
    if (write(ready[1], &c, 1) != 1 || read(done[0], &c, 1) != 1) _exit(3);
    _exit(tx.commit() == Ok ? 0 : 4);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_EQ(RecoverJournal(scene.journal()), Ok);  // the writer is alive: nothing undone
  EXPECT_TRUE(fs::exists(scene.journal()));
  EXPECT_EQ(Slurp(scene.path(0))->substr(0, 7), "changed");
  ASSERT_EQ(write(done[1], &c, 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(scene.journal()));
  EXPECT_NE(*Slurp(scene.path(0)), before);
}
