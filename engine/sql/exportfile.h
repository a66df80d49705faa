// The file an export writes: a work file beside the target, renamed over it
// once complete and removed on every other path; and the writers that fill
// it (export.cpp, pgscript.cpp).
#pragma once

#include <string>
#include <vector>

#include "engine/sql/export.h"
#include "engine/sql/exportschema.h"

namespace engine::sql {

class ExportFile {
 public:
  explicit ExportFile(std::string target);
  ~ExportFile();
  ExportFile(const ExportFile&) = delete;
  ExportFile& operator=(const ExportFile&) = delete;
  // Clears a work file a failed run may have left.
  Result begin();
  const std::string& workPath() const { return work_; }
  // Flushes the work file and renames it over the target.
  Result commit();

 private:
  std::string target_, work_;
  bool committed_ = false;
};

Result ExportPostgres(hDBIDb db, const ExportRequest& request,
                      const std::vector<ExportTable>& tables, const std::string& path,
                      ExportSummary& summary);

}  // namespace engine::sql
