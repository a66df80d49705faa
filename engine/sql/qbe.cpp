#include "engine/sql/qbe.h"

#include "engine/errors.h"

namespace engine::qbe {

Result Translate(const std::string& text, Translation& out) {
  out = Translation{};
  if (text.size() < 2) return Fail(ErrQuerySyntax, "No QBE statement available");
  return Fail(ErrNotSupported, "QBE queries are not supported yet");
}

}  // namespace engine::qbe
