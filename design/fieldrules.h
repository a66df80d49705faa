// The rules of the Paradox field roster that need no widget: type letters
// and the engine's physical types, menu captions, size rules and hints,
// field-name length, key marks, which parts of a validity check each type
// allows, and how a roster row of a restructure is turned into its change.
// The roster (fieldroster.h), the check panel (valcheckpanel.h), the design
// dialog and the tests share them.
#pragma once

#include <QChar>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <span>

#include "design/designrows.h"
#include "engine/records.h"

namespace design {

// What the Size column takes for a type.
enum class SizeRule {
  Required,     // A, M, Y: a size must be given
  Decimals,     // #: the number of decimal places, required
  Optional,     // B, F, O, G: 0 to 240, may be empty
  NotAllowed,   // every other type
};

// One Paradox field type of the roster.
struct ParadoxFieldType {
  QChar letter;
  const char* caption;   // the type menu's item
  const char* itemName;  // the item's name, as the click handler is named
  std::uint16_t code;    // the engine's physical type
  SizeRule size;
};

// The seventeen types in menu order.
std::span<const ParadoxFieldType> ParadoxFieldTypes();

// Letter to the engine's physical type (TCreateF.ConvertFldType); nullopt
// for a letter outside the table.
std::optional<std::uint16_t> ConvertFldType(QChar letter);
// Physical type to letter (TCreateF.ConvertFldType1); a null QChar for a
// code outside 257..273.
QChar ConvertFldType1(std::uint16_t code);

// The type a key typed in the Type column chooses ('a' Alpha ... '#' BCD;
// lower-case letters only); a null QChar for any other key.
QChar TypeOfKey(QChar typed);

// Whether the type menu shows the item of `letter` for a table of `level`
// ("4" hides the types Paradox 4 lacks, "3" also the blob types).
bool TypeOfferedAtLevel(QChar letter, const QString& level);

// Choosing the type moves the selection to the Size cell, and Down on the
// last row wants a size first: A, #, M and Y.
bool SizeNeededFirst(QChar letter);
// What sets TypeSizeRequired: A, #, M, F, G, O, B and Y.
bool SetsTypeSizeRequired(QChar letter);

// The hint of roster column `column` (0..4) for a row of type `letter`
// (ShowColumnHint).
QString ColumnHint(int column, QChar letter);

// Field names.
constexpr int kMaxFieldNameLength = 25;
inline constexpr char kFieldNameTooLong[] = "Field name must be up to 25 character";
// The roster complains at 25 characters and more (a 25th character typed
// already shows the message) and keeps the first 25.
bool FieldNameAtLimit(const QString& name);
QString CutFieldName(const QString& name);

// Key marks: whether a double-click (or Spacebar) on a Key cell changes it,
// given the Key cell above ("*" or not; the header counts as keyed), the
// cell itself and the cell below (not keyed for the last row). Returns the
// new mark, or nullopt when nothing changes.
std::optional<bool> ToggledKey(bool aboveKeyed, bool keyed, bool belowKeyed);

// Which parts of a validity check a type allows (ApplyCheckAvailability).
// "Required" is always available.
struct CheckAvailability {
  bool minimum = false;
  bool maximum = false;
  bool defaultValue = false;
  bool picture = false;
  bool assist = false;
};
// nullopt for a letter outside the table (nothing changes then).
std::optional<CheckAvailability> CheckAvailabilityOf(QChar letter);

// A check that holds anything: a field number, the required flag, a value
// or a picture (a loaded check always has its field number).
bool HasCheck(const engine::ValCheckDesc& check);
// What a save in create mode passes: a check with the required flag, a
// value or a picture.
bool CheckHoldsSomething(const engine::ValCheckDesc& check);

// The Size text the roster shows for a field read from a table: the first
// units value for A, M, B, F, O, G and Y, the second for "#", nothing else.
QString SizeTextOf(const engine::FieldDesc& field);
// The FieldRow of a field read from a table at roster position `position`:
// the loaded descriptor (its spare[0] holding the size value shown, for
// types without a size the first units value minus one), the position,
// both change codes 0.
FieldRow LoadedFieldRow(const engine::FieldDesc& field, int position);

// The size value b of a roster row at a restructure: the Size number for
// #, A, M and Y; the Size number or 0 when empty for B, F, G and O; 0 for
// the other types. nullopt when the text is not a number where one is read.
std::optional<int> SizeValue(QChar letter, const QString& sizeText);
// The message of a text that does not convert to a number.
QString IntegerConversionError(const QString& text);

// The rules for one roster row at a restructure save: row `position`
// (1-based) named `name` of type `letter` with size value `size`, against
// the names of the table's current fields. Sets the row's field change
// code and fills its edited descriptor (add, rename, modify) or the loaded
// descriptor's field number (copy or unchanged). A renamed or modified
// field names the field it is made from by its number in the table, so that
// a moved row takes its own values along.
void ResolveFieldChange(FieldRow& row, int position, const QString& name, QChar letter, int size,
                        const QStringList& currentNames);

}  // namespace design
