#include "engine/io/path.h"

#include "engine/io/file.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

namespace engine::io {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

PathParts SplitPath(const std::string& path) {
  PathParts p;
  const std::size_t slash = path.find_last_of('/');
  p.dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = file.find_last_of('.');
  p.stem = dot == std::string::npos ? file : file.substr(0, dot);
  p.ext = dot == std::string::npos ? "" : file.substr(dot + 1);
  return p;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

std::string CaseLike(const std::string& ext, const std::string& tableExt) {
  const bool lower = !tableExt.empty() && std::islower(static_cast<unsigned char>(tableExt[0]));
  return lower ? Lower(ext) : Upper(ext);
}

std::string MemberFileName(const PathParts& table, const std::string& ext) {
  return table.stem + "." + CaseLike(ext, table.ext);
}

Result TableFileName(const std::string& name, const std::string& ext, const std::string& kind,
                     std::string& out) {
  const PathParts p = SplitPath(name);
  if (p.stem.empty()) return Fail(ErrInvalidParameter, "\"" + name + "\" is not a table name");
  if (p.ext.empty()) {
    out = name + "." + ext;
    return Ok;
  }
  if (Upper(p.ext) != ext)
    return Fail(ErrInvalidParameter, name + ": " + kind + "'s name ends in ." + ext);
  out = name;
  return Ok;
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat x {
  }, y{};
  return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
         x.st_ino == y.st_ino;
}

std::string WorkDirectoryOf(const std::string& table) { return table + ".work~"; }

void RemoveWorkDirectory(const std::string& dir) {
  if (dir.empty()) return;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") ::unlink(JoinPath(dir, name).c_str());
    }
    ::closedir(d);
  }
  ::rmdir(dir.c_str());
}

Result InWorkDirectory(const std::string& table,
                       const std::function<Result(const std::string& work)>& build) {
  const std::string work = WorkDirectoryOf(table);
  RemoveWorkDirectory(work);
  if (::mkdir(work.c_str(), 0777) != 0) return OsFailure(work, "creating the work directory");
  const Result r = build(work);
  const std::string message = r ? LastErrorMessage() : std::string();
  RemoveWorkDirectory(work);
  return r ? Fail(r, message) : Result{Ok};
}

}  // namespace engine::io
