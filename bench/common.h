// Pieces the benchmarks share: a fixed random sequence, timing, running
// whole programs with their wall time and peak memory.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
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

// Median and best of `runs` timings (milliseconds) of `once`.
struct Timing {
  double median;
  double best;
};

inline Timing Measure(int runs, const std::function<double()>& once) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) ms.push_back(once());
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.front()};
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

// A whole program run: wall time, peak resident memory, exit status.
struct Run {
  double ms = 0;
  long peakKb = 0;
  int status = -1;
};

// Runs `argv` with standard input from `in` and output to `out` ("" for
// /dev/null), waiting for it.
inline Run RunProgram(const std::vector<std::string>& argv, const std::string& in = "",
                      const std::string& out = "") {
  Run run;
  const auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int i = ::open(in.empty() ? "/dev/null" : in.c_str(), O_RDONLY);
    int o = ::open(out.empty() ? "/dev/null" : out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (i < 0 || o < 0) _exit(127);
    dup2(i, 0);
    dup2(o, 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  run.ms = MsSince(start);
  run.peakKb = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace bench
