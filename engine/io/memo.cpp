#include "engine/io/memo.h"

#include <dirent.h>
#include <sys/vfs.h>

#include <ctime>

namespace engine::io {

namespace {

int g_settleSeconds = 2;

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::shared_ptr<const std::vector<std::string>> ReadNames(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return nullptr;
  auto names = std::make_shared<std::vector<std::string>>();
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  ::closedir(d);
  return names;
}

}  // namespace

bool SameStamp(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         SameTime(a.st_mtim, b.st_mtim) && SameTime(a.st_ctim, b.st_ctim);
}

bool Settled(const struct stat& st) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const timespec& last = st.st_ctim.tv_sec > st.st_mtim.tv_sec ? st.st_ctim : st.st_mtim;
  return now.tv_sec - last.tv_sec >= g_settleSeconds;
}

void SetMemoSettling(int seconds) { g_settleSeconds = seconds; }

bool OnLocalDisk(const std::string& path) {
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE (sshfs and the like)
    case 0x01021997:  // 9P
    case 0x00C36400:  // Ceph
    case 0x5346414F:  // AFS
    case 0x73757245:  // Coda
      return false;
    default:
      return true;
  }
}

namespace {

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void FileStamps::take(const std::string& path) {
  trusted = ::stat(path.c_str(), &file) == 0 && ::stat(DirectoryOf(path).c_str(), &dir) == 0 &&
            Settled(file) && Settled(dir) && OnLocalDisk(path);
}

bool FileStamps::hold(const std::string& path) const {
  struct stat f {}, d{};
  return trusted && ::stat(path.c_str(), &f) == 0 && SameStamp(f, file) &&
         ::stat(DirectoryOf(path).c_str(), &d) == 0 && SameStamp(d, dir);
}

std::shared_ptr<const std::vector<std::string>> DirectoryNames(const std::string& dir) {
  using Names = std::shared_ptr<const std::vector<std::string>>;
  static StampMemo<Names> listings(16, true);
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return ReadNames(dir);
  Names names;
  if (listings.find(dir, st, names)) return names;
  names = ReadNames(dir);
  if (names) listings.keep(dir, st, names);
  return names;
}

}  // namespace engine::io
