// Until the query engine lands: every query fails as not supported.
#include "engine/errors.h"
#include "engine/sql/query.h"

namespace engine {

namespace {
Result NotYet() { return Fail(ErrNotSupported, "SQL is not supported yet"); }
}  // namespace

Result QueryAlloc(hDBIDb, QueryLang, hDBIStmt&) { return NotYet(); }
Result QueryPrepare(hDBIStmt, const std::string&) { return NotYet(); }
Result QueryExec(hDBIStmt, hDBICur*) { return NotYet(); }
Result QueryFree(hDBIStmt& stmt) {
  stmt = 0;
  return Ok;
}
Result GetStmtProp(hDBIStmt, std::uint32_t, std::int64_t&) { return NotYet(); }
Result SetStmtProp(hDBIStmt, std::uint32_t, std::int64_t) { return NotYet(); }
Result SetStmtText(hDBIStmt, std::uint32_t, const std::string&) { return NotYet(); }
Result InstantiateAnswer(hDBIStmt, hDBICur, const std::string&, const std::string&, bool, hDBICur*) {
  return NotYet();
}
void RegisterGenProgress(GenProgressCallback) {}

}  // namespace engine
