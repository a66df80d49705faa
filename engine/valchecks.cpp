#include "engine/valchecks.h"

#include <cstring>

#include "engine/handles.h"
#include "engine/lists.h"
#include "engine/paradox/pxcheck.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxval.h"

namespace engine {

namespace {

using paradox::TableValidity;

Result Load(const paradox::ParadoxTable& t, TableValidity& v) {
  return paradox::LoadValidity(t.path(), t.header(), t.codec(), v);
}

Result LoadCursor(hDBICur h, TableValidity& v) {
  CURSOR_OR_FAIL(c, h);
  if (c->dbf) return Ok;  // dBASE tables have no validity checks or links
  return Load(*c->table, v);
}

// Parents, children and lookup tables are opened with the session's
// passwords; writable ones enforce their own checks and links.
Result OpenRelated(const std::string& path, bool writable,
                   std::unique_ptr<paradox::ParadoxTable>& out) {
  paradox::OpenOptions options;
  options.writable = writable;
  options.passwords = SessionPasswords();
  if (Result r = paradox::ParadoxTable::Open(path, options, out)) return r;
  return writable ? AttachParticipants(*out) : Result{Ok};
}

Result LoadByName(hDBIDb db, const std::string& name, const std::string& driverType,
                  TableValidity& v) {
  std::string directory;
  if (Result r = GetDatabaseDirectory(db, directory)) return r;
  if (!driverType.empty() && Upper(driverType) != "PARADOX")
    return Fail(ErrNotSupported, "Driver " + driverType + " has no validity checks.");
  std::unique_ptr<paradox::ParadoxTable> table;
  if (Result r = OpenRelated(TablePath(directory, name), false, table)) return r;
  return Load(*table, v);
}

}  // namespace

Result GetValCheckDesc(hDBICur cursor, std::uint16_t n, ValCheckDesc& check) {
  TableValidity v;
  if (Result r = LoadCursor(cursor, v)) return r;
  if (n == 0 || n > v.checks.size())
    return Fail(ErrInvalidParameter, FindCursor(cursor)->table->path() + ": no validity check number " +
                                         std::to_string(n) + " (the table has " +
                                         std::to_string(v.checks.size()) + ")");
  check = v.checks[n - 1];
  return Ok;
}

Result GetRefIntDesc(hDBICur cursor, std::uint16_t n, RefIntDesc& link) {
  TableValidity v;
  if (Result r = LoadCursor(cursor, v)) return r;
  if (n == 0 || n > v.links.size())
    return Fail(ErrInvalidParameter, FindCursor(cursor)->table->path() + ": no link number " +
                                         std::to_string(n) + " (the table has " +
                                         std::to_string(v.links.size()) + ")");
  link = v.links[n - 1];
  return Ok;
}

Result OpenValCheckList(hDBIDb db, const std::string& tableName, const std::string& driverType,
                        hDBICur& list) {
  TableValidity v;
  if (Result r = LoadByName(db, tableName, driverType, v)) return r;
  list = OpenList(v.checks);
  return Ok;
}

Result OpenRefIntList(hDBIDb db, const std::string& tableName, const std::string& driverType,
                      hDBICur& list) {
  TableValidity v;
  if (Result r = LoadByName(db, tableName, driverType, v)) return r;
  list = OpenList(v.links);
  return Ok;
}

void AddValidityCounts(hDBICur cursor, CursorProps& props) {
  TableValidity v;
  if (LoadCursor(cursor, v) != Ok) {
    ClearLastError();
    return;
  }
  props.valCheckCount = static_cast<std::uint16_t>(v.checks.size());
  props.refIntCount = static_cast<std::uint16_t>(v.links.size());
}

Result CheckAreaToValue(std::uint16_t fieldType, const std::array<std::uint8_t, 256>& area,
                        int codePage, Value& value) {
  const std::uint8_t code = paradox::FieldCodeOf(fieldType);
  if (code == paradox::fcAlpha) {
    const char* p = reinterpret_cast<const char*>(area.data());
    std::size_t n = strnlen(p, area.size());
    value = n ? Value(text::SharedCodec(codePage).toUtf8(p, n)) : Value();
    return Ok;
  }
  return paradox::AreaToValue(code, area, value);
}

Result ValueToCheckArea(std::uint16_t fieldType, const Value& value, int codePage,
                        std::array<std::uint8_t, 256>& area) {
  using namespace paradox;
  const std::uint8_t code = FieldCodeOf(fieldType);
  area.fill(0);
  auto wrong = [&](const char* what) {
    return Fail(ErrInvalidValue, std::string("A check value of this field must be ") + what + ".");
  };
  switch (code) {
    case fcAlpha: {
      const std::string* s = std::get_if<std::string>(&value);
      std::string bytes;
      if (!s) return wrong("text");
      if (!text::SharedCodec(codePage).fromUtf8(*s, bytes) || bytes.size() > 255)
        return wrong("text of at most 255 characters the code page can hold");
      std::memcpy(area.data(), bytes.data(), bytes.size());
      return Ok;
    }
    case fcNumber: case fcMoney:
      if (auto i = std::get_if<std::int64_t>(&value)) {
        ValueToArea(static_cast<double>(*i), area);
        return Ok;
      }
      if (!std::holds_alternative<double>(value)) return wrong("a number");
      break;
    case fcShort: case fcLong: case fcAutoinc: {
      const std::int64_t* i = std::get_if<std::int64_t>(&value);
      const std::int64_t limit = code == fcShort ? 32767 : 2147483647;
      if (!i || *i > limit || *i < -limit) return wrong("a whole number in the field's range");
      break;
    }
    case fcDate: if (!std::holds_alternative<DateValue>(value)) return wrong("a date"); break;
    case fcTime: if (!std::holds_alternative<TimeValue>(value)) return wrong("a time"); break;
    case fcTimestamp:
      if (!std::holds_alternative<TimestampValue>(value)) return wrong("a timestamp");
      break;
    case fcLogical: if (!std::holds_alternative<bool>(value)) return wrong("true or false"); break;
    case fcBcd:
      if (auto d = std::get_if<double>(&value)) {
        ValueToArea(BcdValue{std::to_string(*d)}, area);
        return Ok;
      }
      if (auto i = std::get_if<std::int64_t>(&value)) {
        ValueToArea(BcdValue{std::to_string(*i)}, area);
        return Ok;
      }
      if (!std::holds_alternative<BcdValue>(value)) return wrong("a decimal number");
      break;
    default:
      return wrong("absent: the field's type takes no minimum, maximum or default");
  }
  ValueToArea(value, area);
  return Ok;
}

Result GetCheckValue(hDBICur cursor, const ValCheckDesc& check, CheckPart part, Value& value) {
  PARADOX_CURSOR_OR_FAIL(c, cursor);
  const auto& fields = c->table->fields();
  if (check.fieldNumber == 0 || check.fieldNumber > fields.size())
    return Fail(ErrInvalidParameter, c->table->path() + ": no field number " +
                                         std::to_string(check.fieldNumber));
  const std::uint16_t word = part == CheckPart::Minimum   ? check.hasMin
                             : part == CheckPart::Maximum ? check.hasMax
                                                          : check.hasDefault;
  value = Value{};
  if (paradox::HasKind(word) != chkValue) return Ok;
  const auto& area = part == CheckPart::Minimum   ? check.minValue
                     : part == CheckPart::Maximum ? check.maxValue
                                                  : check.defaultValue;
  const std::uint16_t type = paradox::PhysicalTypeOf(fields[check.fieldNumber - 1].code);
  return CheckAreaToValue(type, area, c->table->codec().codePage(), value);
}

Result AttachValidity(paradox::ParadoxTable& table) {
  if (table.writable()) table.addParticipant(std::make_shared<paradox::ValidityParticipant>(OpenRelated));
  return Ok;
}

}  // namespace engine
