// The exception that carries a failed engine call above the engine API.
#pragma once

#include <stdexcept>
#include <string>

#include "engine/errors.h"

namespace engine {

class EDBEngineError : public std::runtime_error {
 public:
  EDBEngineError(Result code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  Result code() const { return code_; }

 private:
  Result code_;
};

// Raises EDBEngineError for a non-zero result, with the engine's detailed
// message of that failure.
inline void Check(Result code) {
  if (code != Ok) throw EDBEngineError(code, LastErrorMessage());
}

}  // namespace engine

using engine::EDBEngineError;
