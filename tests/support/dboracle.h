// Other programs' readings of .DBF files, for tests that hold ours against
// them: dbfread, the dbf module and GDAL, through Python. Each reading comes
// as rows of the canonical texts dbtables::Canonical() gives our values, so
// rows compare as strings. Tests skip when a program is not installed.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/dbase/dbtable.h"
#include "tests/support/dbtables.h"

namespace dboracle {

using Rows = std::vector<std::vector<std::string>>;

inline std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Standard output of a shell command; nullopt when it fails.
inline std::optional<std::string> Run(const std::string& command) {
  FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (!p) return std::nullopt;
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
  const int status = ::pclose(p);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

// A Python interpreter that can import `module` ("" when none can): the
// system's first, where the distribution's packages are.
inline std::string PythonWith(const std::string& module) {
  for (const char* python : {"/usr/bin/python3", "python3"})
    if (Run(std::string(python) + " -c " + Quote("import " + module))) return python;
  return "";
}

// Our reading of the records not marked as deleted.
inline Rows OurRows(engine::dbase::DbaseTable& t) {
  Rows rows;
  std::vector<engine::Value> values;
  for (std::uint32_t i = 0; i < t.recordCount(); ++i) {
    bool deleted = false;
    if (t.isDeleted(i, deleted) != engine::Ok || t.readRecord(i, values) != engine::Ok)
      return {{"read failed: " + engine::LastErrorMessage()}};
    if (deleted) continue;
    rows.emplace_back();
    for (const auto& v : values) rows.back().push_back(dbtables::Canonical(v));
  }
  return rows;
}

// The Python side of dbtables::Canonical(); each row goes out as one line
// of hex-coded UTF-8 texts.
inline const char* kCanonical = R"(
import datetime, decimal, sys
def canon(v):
    if v is None: return ''
    if isinstance(v, bool): return 'T' if v else 'F'
    if isinstance(v, int): return str(v)
    if isinstance(v, (float, decimal.Decimal)): return '%.15g' % float(v)
    if isinstance(v, datetime.datetime):
        ms = v.microsecond // 1000
        return v.strftime('%Y-%m-%d %H:%M:%S') + ('.%03d' % ms if ms else '')
    if isinstance(v, datetime.date): return '%04d-%02d-%02d' % (v.year, v.month, v.day)
    if isinstance(v, (bytes, bytearray)): return 'x:' + bytes(v).hex()
    return str(v).rstrip(' ')
def emit(values):
    print(' '.join('=' + canon(v).encode('utf-8').hex() for v in values))
)";

// Runs `body` (after kCanonical) with `path` as its argument.
inline std::optional<Rows> RunPython(const std::string& python, const std::string& body,
                                     const std::string& path) {
  char name[] = "/tmp/quarry-oracle-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) return std::nullopt;
  const std::string script = std::string(kCanonical) + body;
  const bool written =
      ::write(fd, script.data(), script.size()) == static_cast<ssize_t>(script.size());
  ::close(fd);
  std::optional<std::string> out;
  if (written) out = Run(python + " " + name + " " + Quote(path));
  ::unlink(name);
  if (!out) return std::nullopt;
  Rows rows(1);
  for (std::size_t i = 0; i < out->size(); ++i) {
    const char c = (*out)[i];
    if (c == '\n') rows.emplace_back();
    if (c == '=') rows.back().emplace_back();
    if (std::isxdigit(static_cast<unsigned char>(c)) && i + 1 < out->size())
      rows.back().back() += static_cast<char>(std::stoi(out->substr(i++, 2), nullptr, 16));
  }
  rows.pop_back();  // after the last line break
  return rows;
}

// dbfread's reading (deleted records left out); nullopt when it fails.
inline std::optional<Rows> DbfreadRows(const std::string& python, const std::string& path) {
  return RunPython(python, R"(
import dbfread
for r in dbfread.DBF(sys.argv[1], char_decode_errors='strict'):
    emit(r.values())
)",
                   path);
}

// The dbf module's reading (deleted records left out).
inline std::optional<Rows> DbfModuleRows(const std::string& python, const std::string& path) {
  return RunPython(python, R"(
import dbf
t = dbf.Table(sys.argv[1])
t.open(dbf.READ_ONLY)
for r in t:
    if not dbf.is_deleted(r): emit([r[i] for i in range(len(t.field_names))])
t.close()
)",
                   path);
}

// GDAL's reading (deleted records left out): its first row names the fields.
// GDAL reads memo fields as their block numbers.
inline std::optional<Rows> GdalRows(const std::string& python, const std::string& path) {
  return RunPython(python, R"(
from osgeo import ogr
source = ogr.Open(sys.argv[1])  # kept: the layer dies with it
layer = source.GetLayer(0)
fields = layer.GetLayerDefn()
emit([fields.GetFieldDefn(i).GetName() for i in range(fields.GetFieldCount())])
for f in layer:
    row = []
    for i in range(fields.GetFieldCount()):
        kind = fields.GetFieldDefn(i).GetType()
        if not f.IsFieldSetAndNotNull(i): row.append(None)
        elif kind == ogr.OFTDate:
            y, m, d = f.GetFieldAsDateTime(i)[:3]
            row.append(datetime.date(y, m, d))
        else: row.append(f.GetField(i))
    emit(row)
)",
                   path);
}

}  // namespace dboracle
