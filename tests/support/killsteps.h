// Changes killed before each of their steps on disk in turn (a write, a
// flush, a rename, a removal), for the tests that whoever opens the tables
// next finds them as they were before or as they are after.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "engine/errors.h"
#include "engine/io/file.h"
#include "tests/support/tempdir.h"

namespace killsteps {

inline std::uint64_t g_stepsLeft = 0;
inline void DieAtStep() {
  if (g_stepsLeft-- == 0) raise(SIGKILL);
}

// Runs `change` in a child killed before its k-th step on disk, for k = 0,
// 1, ... until a run gets through (`limit` runs at most). After each,
// `check(finished)` looks at the directory `dir` (opening the tables there
// recovers them) and the directory is put back as it was. The last run must
// get through, after at least `minimumSteps` killed ones.
template <typename Change, typename Check>
void KillAtEveryStep(const std::string& dir, Change change, Check check, int minimumSteps,
                     std::uint64_t limit = 200) {
  namespace fs = std::filesystem;
  TempDir backup(TempDir::Where::Memory);
  for (const auto& e : fs::directory_iterator(dir))
    fs::copy(e.path(), backup / e.path().filename().string());
  bool finished = false;
  int steps = 0;
  for (std::uint64_t k = 0; !finished && k < limit; ++k) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      g_stepsLeft = k;
      engine::io::SetStepHook(DieAtStep);
      _exit(change() == engine::Ok ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    finished = WIFEXITED(status);
    ASSERT_TRUE(finished ? WEXITSTATUS(status) == 0 : WIFSIGNALED(status)) << "step " << k;
    if (!finished) ++steps;
    SCOPED_TRACE("killed before step " + std::to_string(k));
    check(finished);
    for (const auto& e : fs::directory_iterator(dir)) fs::remove_all(e);
    for (const auto& e : fs::directory_iterator(backup.path()))
      fs::copy(e.path(), dir + "/" + e.path().filename().string());
    ASSERT_FALSE(testing::Test::HasFailure());
  }
  EXPECT_TRUE(finished);
  EXPECT_GE(steps, minimumSteps);
}

}  // namespace killsteps
