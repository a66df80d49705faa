// Enforcement of a Paradox table's validity checks and referential
// integrity on every change of its records.
//
// On insert, blank fields with a default take it (TODAY and NOW are the
// date and time of the change). On insert and update, every checked field
// must satisfy its check: required fields are not blank; values lie within
// the minimum and maximum; text and numbers match the picture (text takes
// the picture's case conversions); values with a lookup table exist in
// the first field of that table.
//
// Links: a child's linked fields must name an existing parent key, unless
// they are all blank. A parent record with children cannot be deleted. When
// a parent's key changes, the prohibit rule refuses while children exist;
// the cascade rule gives the children the new key.
//
// Related tables (parents, children, lookup tables) are found by name in
// the table's directory and opened for the duration of one change.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/paradox/pxtable.h"

namespace engine::paradox {

// Opens a table related to the one being changed. Tables opened writable
// (children whose key a cascade changes) must enforce their own checks.
using RelatedOpener = std::function<Result(const std::string& path, bool writable,
                                           std::unique_ptr<ParadoxTable>& out)>;

// Key values as messages show them: "12, Smith".
std::string ShowKey(const std::vector<Value>& key);

class ValidityParticipant : public TableParticipant {
 public:
  bool checksValues() const override { return true; }
  explicit ValidityParticipant(RelatedOpener opener);
  ~ValidityParticipant() override;

  Result beforeChange(ParadoxTable& table, const std::vector<Value>* oldValues,
                      std::vector<Value>* newValues) override;
  Result beforeCommit(ParadoxTable& table, io::Transaction& tx) override;
  void afterChange(ParadoxTable& table, bool committed) override;

  struct State;

 private:
  std::unique_ptr<State> s_;
};

}  // namespace engine::paradox
