// The .VAL file of a Paradox table: validity checks, lookup tables and the
// links of referential integrity (docs/validity.md describes the layout).
//
// A .VAL file is kept as the records it is made of, each with its raw
// bytes, so that rewriting an existing file (to list another dependent
// table, say) changes what we understand and keeps every other byte.
//
// Layout versions 9 to 11 are read and written. The layout of version 1
// (tables of level 3) is undocumented: such files fail with
// ErrUnsupportedVersion.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/io/lock.h"
#include "engine/paradox/pxheader.h"
#include "engine/records.h"
#include "engine/text/codepage.h"
#include "engine/value.h"

namespace engine::paradox {

// Sizes of the fixed parts of a .VAL file.
inline constexpr std::size_t kValHeaderSize = 0x35;
inline constexpr std::size_t kValCheckHeadSize = 0x1C;
inline constexpr std::size_t kValLookupSize = 0x50;
inline constexpr std::size_t kValLinkSize = 0x1E0;
inline constexpr std::size_t kValMasterSize = 0xB6;
inline constexpr std::size_t kValDependentSize = 0x12A;

// One validity check: a fixed head, then the parts its presence words name.
struct ValCheckRecord {
  std::array<std::uint8_t, kValCheckHeadSize> head{};
  std::string lookup;          // kValLookupSize bytes when present: table name + kept tail
  std::string min, max, dflt;  // stored field form (field width) when present
  std::string picture;         // code page, without terminator

  std::uint8_t field() const { return head[0]; }  // 0-based
  bool required() const { return head[2] != 0; }
  std::uint8_t lookupFlags() const { return head[3]; }
  bool present(int word) const;  // word: 0 lookup, 1 unknown, 2 min, 3 max, 4 default, 5 picture
  void setPresent(int word, bool on);
};

// A link of this table to its parent (this table is the child).
struct ValLinkRecord {
  std::array<std::uint8_t, kValLinkSize> raw{};
};

// A table that depends on this one (this table is the parent).
struct ValDependentRecord {
  std::array<std::uint8_t, kValDependentSize> raw{};
};

struct ValFooterField {
  std::uint16_t number = 0;
  std::uint8_t code = 0;
  std::uint8_t size = 0;
  std::string name;  // code page
};

struct ValFile {
  std::array<std::uint8_t, kValHeaderSize> header{};
  std::vector<ValCheckRecord> checks;
  bool hasLinkSection = false;  // the file has a referential-integrity part
  std::vector<ValLinkRecord> links;
  bool isParent = false;  // a parent part follows the links
  std::array<std::uint8_t, kValMasterSize> parent{};  // key fields the dependents refer to
  std::vector<ValDependentRecord> dependents;
  std::vector<ValFooterField> fields;  // the table's fields as the file knows them
  std::string footer;                  // raw footer bytes

  std::uint8_t changeCount() const { return header[0]; }
  std::uint8_t version() const { return header[1]; }
};

// Reads and checks a .VAL file. `path` names the file in errors.
Result ParseValFile(const std::string& path, const std::string& bytes, ValFile& out);
Result ReadValFile(const std::string& path, ValFile& out);
// The file's bytes: counts and positions are computed, the rest is kept.
std::string SerializeValFile(const ValFile& file);

// A new, empty .VAL file for the table with this .DB header (its footer
// describes the table; byte 0 carries the table's change counter).
ValFile NewValFile(const PxHeader& db);

// Accessors of link and dependent records (names in the code page).
std::string LinkName(const ValLinkRecord& link);
std::string LinkParentTable(const ValLinkRecord& link);
std::int32_t LinkUpdateRule(const ValLinkRecord& link);
std::vector<std::uint16_t> LinkChildFields(const ValLinkRecord& link);   // 1-based
std::vector<std::uint16_t> LinkParentFields(const ValLinkRecord& link);  // 1-based
std::string DependentName(const ValDependentRecord& dep);
std::string DependentTable(const ValDependentRecord& dep);
std::int32_t DependentUpdateRule(const ValDependentRecord& dep);
std::vector<std::uint16_t> ParentKeyFields(const ValFile& file);  // 1-based

// What a table's validity amounts to: its .VAL file merged with the side
// file (.QVC) that keeps TODAY and NOW values, as descriptors.
struct TableValidity {
  bool exists = false;    // a .VAL or .QVC file was found
  bool outdated = false;  // .VAL byte 0 differs from the table's change counter
  std::vector<ValCheckDesc> checks;  // by field number
  std::vector<RefIntDesc> links;     // links to parents, then dependents
};

Result LoadValidity(const std::string& tablePath, const PxHeader& db, const text::Codec& codec,
                    TableValidity& out);

// Descriptor value areas <-> stored field form. The area holds: Alpha:
// zero-terminated text in the code page; N, $, @: 8-byte native double; D,
// T, I, +: native int32; S: native int32 (readers take the low 16 bits);
// L: byte 0 = 1 or 0; #: zero-terminated decimal text ("-12.30").
Result AreaToStored(const PxField& field, const std::array<std::uint8_t, 256>& area,
                    std::string& stored);
void StoredToArea(const PxField& field, const std::string& stored,
                  std::array<std::uint8_t, 256>& area);

// A table named in a .VAL file ("primary.db", or a path from another
// machine): the file of that name in the directory of `tablePath`, found
// regardless of case.
std::string RelatedTablePath(const std::string& tablePath, const std::string& name);

// The same for fields other than Alpha, as values.
Result AreaToValue(std::uint8_t code, const std::array<std::uint8_t, 256>& area, Value& out);
void ValueToArea(const Value& value, std::array<std::uint8_t, 256>& area);

// A descriptor's has-word as a kind: 0 none, 2 TODAY, 3 NOW, 1 value.
int HasKind(std::uint16_t word);

// Stages the validity files of a table being created from `desc`: its own
// .VAL (and .QVC) and, for each link to a parent, the parent's .VAL listing
// the new table as a dependent. Files are written beside their targets and
// appended to `plan`; old files the new table no longer needs are planned
// for removal. Checks the descriptors before staging anything.
Result StageValidityFiles(const TableDesc& desc, const PxHeader& db,
                          std::vector<io::Replacement>& plan);

}  // namespace engine::paradox
