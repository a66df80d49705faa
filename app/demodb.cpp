#include "app/demodb.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "engine/config/config.h"
#include "engine/dbfcursor.h"
#include "engine/engine.h"
#include "engine/paradox/pxcreate.h"
#include "engine/valchecks.h"

using namespace engine;

namespace {

FieldDesc Field(const char* name, std::uint16_t type, std::int16_t u1 = 0, std::int16_t u2 = 0) {
  FieldDesc f;
  f.name = name;
  f.type = type;
  f.units1 = u1;
  f.units2 = u2;
  return f;
}

IndexDesc Key(int fields) {
  IndexDesc ix;
  ix.primary = ix.unique = ix.maintained = 1;
  ix.fieldsInKey = static_cast<std::uint16_t>(fields);
  for (int i = 0; i < fields; ++i) ix.keyFields[i] = static_cast<std::uint16_t>(i + 1);
  return ix;
}

IndexDesc Secondary(const char* name, std::initializer_list<std::uint16_t> fields,
                    bool caseInsensitive) {
  IndexDesc ix;
  ix.name = name;
  ix.maintained = 1;
  ix.caseInsensitive = caseInsensitive ? 1 : 0;
  for (std::uint16_t f : fields) ix.keyFields[ix.fieldsInKey++] = f;
  return ix;
}

TableDesc Table(const std::string& path, int level, std::vector<FieldDesc> fields) {
  TableDesc d;
  d.tableName = path;
  d.fields = std::move(fields);
  d.optionalParams = {{"LEVEL", std::to_string(level)}, {"LANGDRIVER", "ascii"}};
  return d;
}

Result Check(ValCheckDesc& c, std::uint16_t field, std::uint16_t type, const Value* min,
             const Value* max, const Value* def) {
  c.fieldNumber = field;
  struct Part {
    const Value* value;
    std::uint16_t* flag;
    std::array<std::uint8_t, 256>* area;
  } parts[] = {{min, &c.hasMin, &c.minValue}, {max, &c.hasMax, &c.maxValue},
               {def, &c.hasDefault, &c.defaultValue}};
  for (const Part& p : parts) {
    if (!p.value) continue;
    *p.flag = 0xFFFF;
    if (Result r = ValueToCheckArea(type, *p.value, 437, *p.area)) return r;
  }
  return Ok;
}

Result Insert(const std::string& path, const std::vector<std::vector<Value>>& rows,
              const std::vector<std::string>& passwords = {}) {
  for (const auto& pw : passwords) AddPassword(pw);
  hDBICur cur = 0;
  Result r = OpenTablePath(path, OpenMode::ReadWrite, cur);
  if (r == Ok) r = InsertRecords(cur, rows);
  if (cur) CloseCursor(cur);
  for (const auto& pw : passwords) RemovePassword(pw);
  return r;
}

Value Day(int y, int m, int d) { return DateValue{DayNumber(y, m, d)}; }

// A tiny 2x2 bitmap for the graphic field.
std::string Bitmap() {
  const unsigned char bmp[] = {
      'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 2, 0,
      0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 0, 0,
      0, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 0, 0, 255, 255, 255, 255, 0, 0};
  return std::string(reinterpret_cast<const char*>(bmp), sizeof bmp);
}

Result CreateStatus(const std::string& dir) {
  TableDesc d = Table(dir + "/STATUS.DB", 4, {Field("Code", pxAlpha, 1), Field("Meaning", pxAlpha, 20)});
  d.indexes = {Key(1)};
  if (Result r = paradox::CreateParadoxTable(d, true)) return r;
  return Insert(d.tableName, {{std::string("N"), std::string("New")},
                              {std::string("S"), std::string("Shipped")},
                              {std::string("P"), std::string("Paid")}});
}

Result CreateCustomer(const std::string& dir) {
  TableDesc d = Table(dir + "/CUSTOMER.DB", 7,
                      {Field("CustNo", pxLong), Field("Name", pxAlpha, 30), Field("City", pxAlpha, 20),
                       Field("Phone", pxAlpha, 13), Field("Since", pxDate), Field("Credit", pxMoney),
                       Field("Notes", pxMemo, 20), Field("Logo", pxGraphic, 0)});
  d.indexes = {Key(1), Secondary("ByName", {2}, true), Secondary("", {3}, false)};
  ValCheckDesc name, phone, since, credit;
  name.fieldNumber = 2;
  name.required = -1;
  phone.fieldNumber = 4;
  phone.picture = "(###)###-####";
  Value earliest = Day(1990, 1, 1), zero = 0.0, most = 100000.0, standard = 1000.0;
  if (Result r = Check(since, 5, pxDate, &earliest, nullptr, nullptr)) return r;
  since.hasDefault = chkToday;
  if (Result r = Check(credit, 6, pxMoney, &zero, &most, &standard)) return r;
  d.checks = {name, phone, since, credit};
  if (Result r = paradox::CreateParadoxTable(d, true)) return r;
  return Insert(d.tableName,
                {{std::int64_t{1}, std::string("Harbour Supplies"), std::string("Bristol"),
                  std::string("(555)123-4567"), Day(1994, 3, 14), 25000.0,
                  std::string("Our oldest customer; pays on the first of the month."),
                  BlobValue{Bitmap()}},
                 {std::int64_t{2}, std::string("Quarry Stone Ltd"), std::string("Leeds"),
                  std::string("(555)987-6543"), Day(2003, 11, 2), 5000.0, Value{}, Value{}},
                 {std::int64_t{3}, std::string("Café Müller"), std::string("Bristol"), Value{},
                  Day(2019, 6, 30), 1000.0, std::string("Prefers e-mail."), Value{}}});
}

Result CreateOrders(const std::string& dir) {
  TableDesc d = Table(dir + "/ORDERS.DB", 7,
                      {Field("OrderNo", pxAutoinc), Field("CustNo", pxLong), Field("Placed", pxTimestamp),
                       Field("Amount", pxBcd, 32, 2), Field("Status", pxAlpha, 1),
                       Field("Paid", pxLogical)});
  d.indexes = {Key(1), Secondary("CustNo", {2}, false)};
  ValCheckDesc status, paid, amount;
  status.fieldNumber = 5;
  status.required = -1;
  status.lookupTable = dir + "/STATUS.DB";
  status.lookupType = 1;
  Value no = false, minimum = BcdValue{"0.00"};
  if (Result r = Check(paid, 6, pxLogical, nullptr, nullptr, &no)) return r;
  if (Result r = Check(amount, 4, pxBcd, &minimum, nullptr, nullptr)) return r;
  d.checks = {amount, status, paid};
  RefIntDesc link;
  link.name = "OrderCustomer";
  link.kind = riDependent;
  link.otherTable = dir + "/CUSTOMER.DB";
  link.updateRule = riCascade;
  link.fieldCount = 1;
  link.thisFields[0] = 2;
  link.otherFields[0] = 1;
  d.refInts = {link};
  if (Result r = paradox::CreateParadoxTable(d, true)) return r;
  const double day = 86400000.0;
  return Insert(d.tableName,
                {{Value{}, std::int64_t{1}, TimestampValue{DayNumber(2024, 5, 2) * day + 9 * 3600000.0},
                  BcdValue{"1250.00"}, std::string("P"), true},
                 {Value{}, std::int64_t{1}, TimestampValue{DayNumber(2024, 6, 17) * day},
                  BcdValue{"89.90"}, std::string("S"), Value{}},
                 {Value{}, std::int64_t{3}, TimestampValue{DayNumber(2024, 7, 1) * day},
                  BcdValue{"12.50"}, std::string("N"), Value{}}});
}

Result CreateSecrets(const std::string& dir) {
  TableDesc d = Table(dir + "/SECRETS.DB", 7, {Field("Item", pxAlpha, 20), Field("Secret", pxAlpha, 40)});
  d.indexes = {Key(1)};
  d.isProtected = 1;
  d.password = kDemoMasterPassword;
  SecurityDesc readOnly;
  readOnly.password = kDemoReadOnlyPassword;
  readOnly.tableRights = rightsReadOnly;
  readOnly.fieldRights[0] = 1;
  readOnly.fieldRights[1] = 1;
  d.passwords = {readOnly};
  if (Result r = paradox::CreateParadoxTable(d, true)) return r;
  return Insert(d.tableName, {{std::string("Safe"), std::string("Left 12, right 7, left 3")}},
                {kDemoMasterPassword});
}

Result CreateNotes(const std::string& dir) {
  TableDesc d = Table(dir + "/NOTES.DB", 3, {Field("Line", pxAlpha, 60), Field("Written", pxDate)});
  if (Result r = paradox::CreateParadoxTable(d, true)) return r;
  return Insert(d.tableName,
                {{std::string("A level 3 table, as the oldest programs write them."), Day(1992, 1, 1)}});
}

// A dBASE IV table with a memo field, a production index of two tags and
// one record marked deleted (which a pack would remove).
Result CreateParts(const std::string& dir) {
  TableDesc d;
  d.tableName = dir + "/PARTS.DBF";
  d.driverType = "DBASE";
  d.fields = {Field("PARTNO", dbChar, 6), Field("NAME", dbChar, 24), Field("PRICE", dbNumber, 9, 2),
              Field("ADDED", dbDate), Field("NOTES", dbMemo)};
  IndexDesc partNo;
  partNo.tagName = "PARTNO";
  partNo.keyExpression = "PARTNO";
  partNo.unique = 1;
  IndexDesc name;
  name.tagName = "NAME";
  name.keyExpression = "UPPER(NAME)";
  d.indexes = {partNo, name};
  d.optionalParams = {{"LEVEL", "4"}};
  if (Result r = dbf::Create(d.tableName, true, d)) return r;
  if (Result r = Insert(d.tableName,
                        {{std::string("P-100"), std::string("Hinge, brass"), BcdValue{"4.50"},
                          Day(1994, 3, 1), std::string("Sold in pairs.")},
                         {std::string("P-200"), std::string("Bolt M6"), BcdValue{"0.35"},
                          Day(1994, 3, 1), Value{}},
                         {std::string("P-300"), std::string("Old latch"), BcdValue{"2.10"},
                          Day(1991, 6, 12), std::string("No longer made; kept for old orders.")},
                         {std::string("P-400"), std::string("Washer M6"), BcdValue{"0.05"},
                          Day(1995, 9, 30), Value{}}}))
    return r;
  hDBICur cur = 0;
  Result r = OpenTablePath(d.tableName, OpenMode::ReadWrite, cur);
  if (r == Ok) r = SetToRecordNo(cur, 3);
  if (r == Ok) r = DeleteRecord(cur);
  if (cur) CloseCursor(cur);
  return r;
}

Result WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) return Fail(ErrIo, path + ": cannot write the file");
  return Ok;
}

}  // namespace

Result CreateDemoDatabase(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return Fail(ErrAccessDenied, dir + ": cannot create the directory: " + ec.message());
  for (auto step :
       {CreateStatus, CreateCustomer, CreateOrders, CreateSecrets, CreateNotes, CreateParts})
    if (Result r = step(dir)) return r;
  if (Result r = WriteText(dir + "/BRISTOL.SQL",
                           "SELECT Name, City, Credit\nFROM CUSTOMER\nWHERE City = 'Bristol'\n"))
    return r;
  return WriteText(dir + "/CUSTOMERS.QBE",
                   "Query\nANSWER: :PRIV:ANSWER.DB\n\n"
                   "customer.db | CustNo | Name  | City  |\n"
                   "            | Check  | Check | Check |\n\nEndQuery\n");
}

Result EnsureDemoAlias(const std::string& dir) {
  if (std::filesystem::exists(ConfigFilePath())) return Ok;
  if (Result r = ReloadConfig()) return r;  // writes the defaults
  if (Result r = CreateDemoDatabase(dir)) return r;
  if (Result r = AddStandardAlias("DEMO", dir, "PARADOX")) return r;
  return SaveConfigFile();
}

std::string DefaultDemoDirectory() {
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string base = data && *data ? data : std::string(std::getenv("HOME") ? std::getenv("HOME") : ".") + "/.local/share";
  return base + "/quarrydesk/demo";
}
