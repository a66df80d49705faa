// What the engine keeps in memory of files between calls must be dropped
// the moment the file changes. A file's stamp (device, inode, size,
// modification and status-change times) changes with every write; a stamp
// is trusted only for a file last changed long enough ago (2 seconds) that
// a second change in the same tick of the file system's clock cannot leave
// it as it was.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace engine::io {

bool SameStamp(const struct stat& a, const struct stat& b);
// Whether the file of `st` was last changed long enough ago for a memo of it.
bool Settled(const struct stat& st);
// Whether `path` is on a disk of this machine. A network file system may
// answer stat() from a cache while another machine changes the file, so
// nothing is kept of files there.
bool OnLocalDisk(const std::string& path);
// How long ago a file must have changed for a memo of it (tests shorten it).
void SetMemoSettling(int seconds);

// The stamps of a file and of its directory (whose stamp changes when a
// file beside it comes, goes or is renamed), for what is kept of a file
// that must go when either changes. Trusted only when both had settled and
// the file is on a local disk.
struct FileStamps {
  struct stat file {};
  struct stat dir {};
  bool trusted = false;
  // Takes the stamps of the file at `path` and its directory.
  void take(const std::string& path);
  // Whether they were trusted and still hold.
  bool hold(const std::string& path) const;
};

// A few values kept of files by path, each with the stamp its file had;
// a value is given back only while the file's stamp is unchanged, and
// kept only of a settled file. The least recently used goes first. With
// `localOnly`, nothing is kept of files on a network file system (for
// stamps taken without opening the file, which there may come from a cache).
template <class T>
class StampMemo {
 public:
  StampMemo(std::size_t capacity, bool localOnly) : capacity_(capacity), localOnly_(localOnly) {}
  bool find(const std::string& path, const struct stat& st, T& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(path);
    if (it == entries_.end() || !SameStamp(it->second.stamp, st)) return false;
    it->second.used = ++clock_;
    out = it->second.value;
    return true;
  }
  void keep(const std::string& path, const struct stat& st, T value) {
    if (!Settled(st) || (localOnly_ && !OnLocalDisk(path))) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.size() >= capacity_ && !entries_.count(path)) {
      auto oldest = entries_.begin();
      for (auto it = entries_.begin(); it != entries_.end(); ++it)
        if (it->second.used < oldest->second.used) oldest = it;
      entries_.erase(oldest);
    }
    entries_[path] = {st, std::move(value), ++clock_};
  }

 private:
  struct Entry {
    struct stat stamp {};
    T value;
    std::uint64_t used = 0;
  };
  std::size_t capacity_;
  bool localOnly_;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  std::uint64_t clock_ = 0;
};

// The names in directory `dir` (not "." and ".."), in the order the
// directory gives them; null when it cannot be read. Listings of unchanged
// directories come from memory.
std::shared_ptr<const std::vector<std::string>> DirectoryNames(const std::string& dir);

}  // namespace engine::io
