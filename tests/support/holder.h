// Another process that holds what it opened (a table, a lock) until the
// test lets it go.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "engine/engine.h"

// Runs `hold` in a forked child that keeps what it opened until it is
// killed, and reports its result.
class Holder {
 public:
  engine::Result start(const std::function<engine::Result()>& hold) {
    int fds[2];
    if (pipe(fds) != 0) return engine::ErrIo;
    pid_ = fork();
    if (pid_ == 0) {
      engine::Result r = hold();
      if (write(fds[1], &r, sizeof r) != sizeof r) _exit(1);
      for (;;) pause();
    }
    close(fds[1]);
    engine::Result r = 0xFFFF;
    if (read(fds[0], &r, sizeof r) != sizeof r) r = 0xFFFF;
    close(fds[0]);
    return r;
  }
  // Another process that has the table at `path` open to read.
  engine::Result startReading(const std::string& path) {
    return start([&] {
      engine::hDBICur c = 0;
      return engine::OpenTablePath(path, engine::OpenMode::ReadOnly, c);
    });
  }
  ~Holder() { stop(); }
  // Kills the child: what it held is let go as when a process dies.
  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};
