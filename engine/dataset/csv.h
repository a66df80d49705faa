// Tables as CSV text, the one form both `quarry dump` and the data page's
// export write: RFC 4180 rows (comma separators, values quoted when they hold
// a comma, a double quote, CR or LF, quotes doubled, lines ending in LF),
// a header of field names, then one line per record with each value as
// FormatValue writes it.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "engine/records.h"
#include "engine/value.h"

namespace engine {

void WriteCsvRow(std::ostream& out, const std::vector<std::string>& values);

// The columns of a dump: the fields marked in `shown` (the others are left
// out of every line), after a first column "_deleted" when `deletedColumn`.
struct DumpColumns {
  std::vector<FieldDesc> fields;
  std::vector<bool> shown;
  bool deletedColumn = false;
};

void WriteDumpHeader(std::ostream& out, const DumpColumns& columns);
// `deleted` tells whether the record is marked deleted; it is written only
// when the columns have the "_deleted" one.
void WriteDumpRecord(std::ostream& out, const DumpColumns& columns,
                     const std::vector<Value>& values, bool deleted);

}  // namespace engine
