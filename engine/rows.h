// Rows handed to a bulk insert one at a time, so that neither the caller
// nor the engine has to hold them all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/value.h"

namespace engine {

class RowSource {
 public:
  virtual ~RowSource() = default;
  // The next row: values for every field, in field order, and a label that
  // names the row in messages (see name()). Ok with `end` set when no row is
  // left; any other result stops the insert, which then changes nothing.
  virtual Result next(std::vector<Value>& values, std::uint64_t& label, bool& end) = 0;
  // How messages name the row with this label ("line 12" for CSV input).
  virtual std::string name(std::uint64_t label) const { return "row " + std::to_string(label); }
};

// The rows of a vector, labelled from 1.
class VectorRows : public RowSource {
 public:
  explicit VectorRows(const std::vector<std::vector<Value>>& rows) : rows_(rows) {}
  Result next(std::vector<Value>& values, std::uint64_t& label, bool& end) override {
    end = at_ == rows_.size();
    if (!end) {
      values = rows_[at_++];
      label = at_;
    }
    return Ok;
  }

 private:
  const std::vector<std::vector<Value>>& rows_;
  std::size_t at_ = 0;
};

}  // namespace engine
