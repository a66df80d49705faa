// Filter expressions of a table component: which records a filtered table
// shows.
//
//   Name = 'Smith'            State <> 'CA'          [Order No] >= 1000
//   Name = 'Sm*'              (a trailing * matches every text starting so)
//   Amount > 10.5 and not (Paid = true or Due < '2024-01-31')
//   Notes = NULL              Notes <> NULL          (blank or not)
//
// Comparisons (= <> < > <= >=, also == and !=) put a field beside a literal or
// another field; and, or, not (in rising order of binding) and parentheses
// combine them. Field names are written bare (letters, digits, _ # $) or in
// [brackets]; texts, dates (YYYY-MM-DD or M/D/YYYY), times (HH:MM[:SS]) and
// timestamps in single quotes (a quote inside doubled: 'O''Brien'); numbers,
// true/false and NULL bare. A blank field equals NULL (and '' for text) and
// differs from every other value: only <> holds for it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/records.h"
#include "engine/value.h"

namespace engine {

struct FilterOptions {
  bool caseInsensitive = false;   // texts compare without regard to ASCII case
  bool noPartialCompare = false;  // a trailing * is an ordinary character
};

class RecordFilter {
 public:
  struct Node;

  // Compiles `text` for records with these fields. An invalid expression
  // fails with ErrInvalidFilter and a message that says what is wrong and at
  // which column. Blank text gives a filter that passes every record.
  static Result Compile(const std::string& text, const std::vector<FieldDesc>& fields,
                        const FilterOptions& options, RecordFilter& out);

  bool passesAll() const { return root_ == nullptr; }
  // Whether a record (values in field order) passes.
  bool matches(const std::vector<Value>& record) const;

 private:
  std::shared_ptr<const Node> root_;
};

}  // namespace engine
