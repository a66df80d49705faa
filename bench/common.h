// Pieces the benchmarks share: a fixed random sequence, timing, running
// whole programs with their wall time and peak memory.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/records.h"
#include "engine/rows.h"

namespace bench {

using Clock = std::chrono::steady_clock;

[[noreturn]] inline void Die(const std::string& what) {
  std::fprintf(stderr, "bench: %s: %s\n", what.c_str(), engine::LastErrorMessage().c_str());
  std::exit(1);
}

inline double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// splitmix64: a fixed sequence, so every run generates the same data.
class Random {
 public:
  explicit Random(std::uint64_t seed = 20240601) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  long below(long n) { return static_cast<long>(next() % static_cast<std::uint64_t>(n)); }
  bool chance(int percent) { return below(100) < percent; }

 private:
  std::uint64_t state_;
};

// Names of 1..20 characters, mostly ASCII; one in twenty ends in a letter
// outside ASCII (é, ü or ß, in code pages 437 and 1252 alike), so the slow
// path of the text conversion is exercised too.
inline std::string RandomName(Random& rng) {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 ";
  std::string s(static_cast<std::size_t>(1 + rng.below(20)), ' ');
  for (char& c : s) c = kChars[rng.below(sizeof kChars - 1)];
  s.front() = 'N';
  if (rng.chance(5)) {
    static const char* kAccents[] = {"\xC3\xA9", "\xC3\xBC", "\xC3\x9F"};
    s.replace(s.size() - 1, 1, kAccents[rng.below(3)]);
  }
  return s;
}

// Median and best of timings (milliseconds).
struct Timing {
  double median;
  double best;
};

inline Timing Summary(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.front()};
}

// Median and best of `runs` timings of `once`.
inline Timing Measure(int runs, const std::function<double()>& once) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) ms.push_back(once());
  return Summary(std::move(ms));
}

inline engine::FieldDesc Field(const char* name, std::uint16_t type, std::int16_t size = 0) {
  engine::FieldDesc f;
  f.name = name;
  f.type = type;
  f.units1 = size;
  return f;
}

// Rows made one at a time by `make(i)`, i = 0 .. n-1.
class GeneratedRows : public engine::RowSource {
 public:
  GeneratedRows(long n, std::function<std::vector<engine::Value>(long)> make)
      : n_(n), make_(std::move(make)) {}
  engine::Result next(std::vector<engine::Value>& values, std::uint64_t& label,
                      bool& end) override {
    end = at_ == n_;
    if (!end) {
      values = make_(at_++);
      label = static_cast<std::uint64_t>(at_);
    }
    return engine::Ok;
  }

 private:
  long n_, at_ = 0;
  std::function<std::vector<engine::Value>(long)> make_;
};

// A whole program run: wall time, processor time, peak resident memory,
// exit status.
struct Run {
  double ms = 0;
  double cpuMs = 0;  // user and system time
  long peakKb = 0;
  int status = -1;
};

// Runs `argv` with standard input from `in` and output to `out` ("" for
// /dev/null), waiting for it. The program is started by run_measured
// (bench/run_measured.c), whose report is read back: Linux counts in a
// child's ru_maxrss the memory its parent had resident when it forked, so a
// benchmark that forked the program itself would see its own size in the
// figure; run_measured is small, and the figure is the program's.
inline Run RunProgram(const std::vector<std::string>& argv, const std::string& in = "",
                      const std::string& out = "") {
  Run run;
  std::vector<std::string> measured = {RUN_MEASURED_BIN};
  if (!in.empty()) measured.insert(measured.end(), {"-i", in});
  measured.push_back(out.empty() ? "/dev/null" : out);
  measured.insert(measured.end(), argv.begin(), argv.end());
  int report[2];
  if (::pipe(report) != 0) return run;
  const pid_t pid = fork();
  if (pid == 0) {
    ::close(report[0]);
    dup2(report[1], 1);
    std::vector<char*> args;
    for (const std::string& a : measured) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  ::close(report[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  ::close(report[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return run;
  if (std::sscanf(text.c_str(), "%lf %ld %d %lf", &run.ms, &run.peakKb, &run.status, &run.cpuMs) !=
      4)
    run.status = -1;
  return run;
}

}  // namespace bench
