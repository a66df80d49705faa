#include "engine/sql/exportfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/io/file.h"
#include "engine/io/path.h"

namespace engine::sql {

ExportFile::ExportFile(std::string target) : target_(std::move(target)), work_(target_ + ".part") {}

ExportFile::~ExportFile() {
  if (committed_) return;
  std::remove(work_.c_str());
  std::remove((work_ + "-journal").c_str());
}

Result ExportFile::begin() {
  if (std::remove(work_.c_str()) != 0 && errno != ENOENT)
    return Fail(ErrIo, work_ + ": cannot remove the unfinished export: " + std::strerror(errno));
  return Ok;
}

Result ExportFile::commit() {
  const int fd = ::open(work_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || !io::SyncDescriptor(fd)) {
    if (fd >= 0) ::close(fd);
    return io::OsFailure(work_, "flush");
  }
  ::close(fd);
  if (std::rename(work_.c_str(), target_.c_str()) != 0) return io::OsFailure(target_, "rename");
  committed_ = true;
  return Ok;
}

}  // namespace engine::sql
