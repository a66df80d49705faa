// Creating Paradox tables from a table descriptor.
#pragma once

#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/pxheader.h"
#include "engine/records.h"
#include "engine/text/codepage.h"
#include "engine/value.h"

namespace engine::paradox {

// The file code of a physical field type (257..273); 0 for an unknown type.
std::uint8_t FieldCodeOf(std::uint16_t physicalType);
// The physical type (257..273) of a file code; 0 for an unknown code.
std::uint16_t PhysicalTypeOf(std::uint8_t code);
// The Paradox type letter of a file code ('A', 'N', '$', ...); 0 when unknown.
char TypeLetterOf(std::uint8_t code);
std::uint8_t FieldCodeOfLetter(char letter);

// The descriptor of field number `number` (1-based) of a table whose text
// is in `codec`'s code page.
FieldDesc FieldDescOf(const PxField& field, const text::Codec& codec, std::uint16_t number);

// Defaults for parameters a descriptor leaves out.
struct CreateDefaults {
  int level = 7;
  std::uint32_t blockSize = 2048;
  std::string languageDriver = "ascii";
};

// Creates the table desc.tableName (a path ending in .DB) with its primary
// index (.PX) and BLOB file (.MB) when it needs them. The primary key is the
// index marked primary in desc.indexes; its fields must be the leading fields.
// Optional parameters: LEVEL, BLOCK SIZE (bytes), LANGDRIVER, FILL FACTOR,
// STRICTINTEGRTY. A table that exists fails with ErrFileExists unless
// `overwrite`, in which case its whole family is replaced.
Result CreateParadoxTable(const TableDesc& desc, bool overwrite,
                          const CreateDefaults& defaults = {});

// The same for a table of a scratch directory (answers in the private
// directory), without passwords, checks, links or indexes: written in
// place, without the staging and plan that make a replacement crash-safe.
// The members of a table it replaces go; an open of that table refuses it.
// `rows`, when given, are written as its records at once where the table
// has no BLOB or Autoinc field (`filled` then says true), the same bytes
// inserting them one by one writes.
Result CreateScratchTable(const TableDesc& desc, const CreateDefaults& defaults = {},
                          const std::vector<std::vector<Value>>* rows = nullptr,
                          bool* filled = nullptr);

// Checks a descriptor and lays out the new table without touching the disk.
Result PlanParadoxTable(const TableDesc& desc, const CreateDefaults& defaults,
                        NewTableLayout& layout);

}  // namespace engine::paradox
