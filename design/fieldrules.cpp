#include "design/fieldrules.h"

#include <array>

namespace design {

namespace {

using engine::FieldDesc;

constexpr std::array<ParadoxFieldType, 17> kTypes{{
    {'A', "&Alpha", "Alpha1", engine::pxAlpha, SizeRule::Required},
    {'N', "&Number", "Number1", engine::pxNumber, SizeRule::NotAllowed},
    {'$', "&$ (Money)", "Money1", engine::pxMoney, SizeRule::NotAllowed},
    {'S', "&Short", "Short1", engine::pxShort, SizeRule::NotAllowed},
    {'I', "Long &Integer", "LongInteger1", engine::pxLong, SizeRule::NotAllowed},
    {'#', "&# (BCD)", "BCD1", engine::pxBcd, SizeRule::Decimals},
    {'D', "&Date", "Date1", engine::pxDate, SizeRule::NotAllowed},
    {'T', "&Time", "Time1", engine::pxTime, SizeRule::NotAllowed},
    {'@', "&@ (TimeStamp)", "TimeStamp1", engine::pxTimestamp, SizeRule::NotAllowed},
    {'M', "&Memo", "Memo2", engine::pxMemo, SizeRule::Required},
    {'F', "&Formatted Memo", "FormattedMemo1", engine::pxFmtMemo, SizeRule::Optional},
    {'G', "&Graphic", "Graphic1", engine::pxGraphic, SizeRule::Optional},
    {'O', "&OLE", "OLE1", engine::pxOle, SizeRule::Optional},
    {'L', "&Logical", "Logical1", engine::pxLogical, SizeRule::NotAllowed},
    {'+', "&+ (Autoincrement)", "Autoincrement1", engine::pxAutoinc, SizeRule::NotAllowed},
    {'B', "&Binary", "Binary1", engine::pxBinary, SizeRule::Optional},
    {'Y', "B&ytes", "Bytes1", engine::pxBytes, SizeRule::Required},
}};

const ParadoxFieldType* Find(QChar letter) {
  for (const auto& t : kTypes)
    if (t.letter == letter) return &t;
  return nullptr;
}

bool OneOf(QChar letter, const char* letters) {
  return !letter.isNull() && QString::fromLatin1(letters).contains(letter);
}

}  // namespace

std::span<const ParadoxFieldType> ParadoxFieldTypes() { return kTypes; }

std::optional<std::uint16_t> ConvertFldType(QChar letter) {
  if (const auto* t = Find(letter)) return t->code;
  return std::nullopt;
}

QChar ConvertFldType1(std::uint16_t code) {
  for (const auto& t : kTypes)
    if (t.code == code) return t.letter;
  return {};
}

QChar TypeOfKey(QChar typed) {
  if (OneOf(typed, "abdfgilmnosty")) return typed.toUpper();
  if (OneOf(typed, "#$+@")) return typed;
  return {};
}

bool TypeOfferedAtLevel(QChar letter, const QString& level) {
  if (level == "4" || level == "3") {
    if (OneOf(letter, "I#T@L+Y")) return false;
    if (level == "3" && OneOf(letter, "MFGOB")) return false;
  }
  return true;
}

bool SizeNeededFirst(QChar letter) { return OneOf(letter, "A#MY"); }

bool SetsTypeSizeRequired(QChar letter) { return OneOf(letter, "A#MFGOBY"); }

QString ColumnHint(int column, QChar letter) {
  switch (column) {
    case 0: return "Click and drag field to move.";
    case 1: return "Enter a field name up to 25 characters long.";
    case 2: return "Right-click or press Spacebar to choose a field type.";
    case 3:
      if (OneOf(letter, "AY")) return "Specify a field size from 1 to 255.";
      if (letter == 'M')
        return "Specify the number of characters to store in .DB(from 1 to 240). "
               "Remaining memo is stored in .MB";
      if (OneOf(letter, "OBFG"))
        return "Optionally, specify the number of characters to store in .DB(from 0 to 240). "
               "Remaining data is stored in .MB";
      return "Field size is not allowed for this field type.";
    case 4:
      return "Double-click or press Spacebar to set or remove key. "
             "Keyed fields must be the top fields in Fields roster.";
  }
  return {};
}

bool FieldNameAtLimit(const QString& name) { return name.size() >= kMaxFieldNameLength; }

QString CutFieldName(const QString& name) { return name.left(kMaxFieldNameLength); }

std::optional<bool> ToggledKey(bool aboveKeyed, bool keyed, bool belowKeyed) {
  if (!aboveKeyed) return std::nullopt;
  if (keyed) return belowKeyed ? std::nullopt : std::optional<bool>(false);
  return true;
}

std::optional<CheckAvailability> CheckAvailabilityOf(QChar letter) {
  if (OneOf(letter, "AISDT$N#@")) return CheckAvailability{true, true, true, true, true};
  if (letter == '+') return CheckAvailability{true, false, false, false, false};
  if (letter == 'L') return CheckAvailability{false, false, true, false, false};
  if (OneOf(letter, "MFBGOY")) return CheckAvailability{};
  return std::nullopt;
}

bool CheckHoldsSomething(const engine::ValCheckDesc& c) {
  return c.required != 0 || c.hasMin != 0 || c.hasMax != 0 || c.hasDefault != 0 ||
         !c.picture.empty();
}

bool HasCheck(const engine::ValCheckDesc& c) { return c.fieldNumber != 0 || CheckHoldsSomething(c); }

QString SizeTextOf(const FieldDesc& f) {
  const QChar letter = ConvertFldType1(f.type);
  if (OneOf(letter, "AMBFOGY")) return QString::number(f.units1);
  if (letter == '#') return QString::number(f.units2);
  return {};
}

FieldRow LoadedFieldRow(const FieldDesc& f, int position) {
  FieldRow row;
  row.loadedField = f;
  row.loadedPosition = position;
  const QChar letter = ConvertFldType1(f.type);
  const int shown = letter == '#' ? f.units2 : OneOf(letter, "AMBFOGY") ? f.units1 : f.units1 - 1;
  row.loadedField.spare[0] = static_cast<std::uint16_t>(shown);
  row.loadedField.spare[1] = 0;
  return row;
}

std::optional<int> SizeValue(QChar letter, const QString& sizeText) {
  const bool optional = OneOf(letter, "BFGO");
  if (!OneOf(letter, "#AMY") && !optional) return 0;
  if (optional && sizeText.isEmpty()) return 0;
  bool ok = false;
  const int value = sizeText.trimmed().toInt(&ok);
  if (!ok) return std::nullopt;
  return value;
}

QString IntegerConversionError(const QString& text) {
  return "'" + text + "' is not a valid integer value";
}

void ResolveFieldChange(FieldRow& row, int position, const QString& name, QChar letter, int size,
                        const QStringList& currentNames) {
  const std::uint16_t code = ConvertFldType(letter).value_or(0);
  const auto placeSize = [&](FieldDesc& f) {
    if (letter == '#')
      f.units2 = static_cast<std::int16_t>(size);
    else
      f.units1 = static_cast<std::int16_t>(size);
  };
  const bool current = currentNames.contains(name);
  if (!current) {
    row.field.name = name.toStdString();
    row.field.type = code;
    placeSize(row.field);
    if (row.loadedField.name.empty()) {
      row.fieldOp = engine::opAdd;
      row.field.number = 0;
    } else {
      if (letter == '+') {
        row.field.subtype = 0;
        row.field.units1 = 1;
        row.field.units2 = 0;
      }
      row.fieldOp = engine::opModify;
      row.field.number = static_cast<std::uint16_t>(row.loadedPosition);
    }
    return;
  }
  if (code != row.loadedField.type || (size != 0 && size != row.loadedField.spare[0])) {
    placeSize(row.field);
    row.field.name = name.toStdString();
    row.field.number = static_cast<std::uint16_t>(row.loadedPosition);
    row.field.type = code;
    row.fieldOp = engine::opModify;
    return;
  }
  row.fieldOp = position != row.loadedPosition ? engine::opCopy : engine::opNone;
  row.loadedField.number = static_cast<std::uint16_t>(row.loadedPosition);
}

}  // namespace design
