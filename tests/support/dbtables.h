// Helpers for tests of dBASE tables: opening, reading every record,
// field descriptors, copies of corpus tables, and values shown in messages.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/dbase/dbtable.h"
#include "engine/errors.h"
#include "engine/records.h"
#include "engine/value.h"
#include "engine/valuetext.h"

namespace dbtables {

using Row = std::vector<engine::Value>;

inline std::unique_ptr<engine::dbase::DbaseTable> OpenOk(const std::string& path,
                                                         bool writable = false, int codePage = 0) {
  std::unique_ptr<engine::dbase::DbaseTable> t;
  engine::dbase::OpenOptions o;
  o.writable = writable;
  o.codePage = codePage;
  EXPECT_EQ(engine::dbase::DbaseTable::Open(path, o, t), engine::Ok) << engine::LastErrorMessage();
  return t;
}

// Every record, deleted ones included, in file order.
inline std::vector<Row> AllRows(engine::dbase::DbaseTable& t) {
  std::vector<Row> rows(t.recordCount());
  for (std::uint32_t i = 0; i < t.recordCount(); ++i)
    EXPECT_EQ(t.readRecord(i, rows[i]), engine::Ok) << engine::LastErrorMessage();
  return rows;
}

// The deletion marks of every record.
inline std::vector<bool> Deleted(engine::dbase::DbaseTable& t) {
  std::vector<bool> out(t.recordCount());
  for (std::uint32_t i = 0; i < t.recordCount(); ++i) {
    bool d = false;
    EXPECT_EQ(t.isDeleted(i, d), engine::Ok) << engine::LastErrorMessage();
    out[i] = d;
  }
  return out;
}

inline engine::FieldDesc Field(const std::string& name, std::uint16_t type, std::int16_t size = 0,
                               std::int16_t decimals = 0) {
  engine::FieldDesc f;
  f.name = name;
  f.type = type;
  f.units1 = size;
  f.units2 = decimals;
  return f;
}

inline engine::TableDesc Desc(std::vector<engine::FieldDesc> fields,
                              const std::string& driver = "") {
  engine::TableDesc d;
  d.driverType = "DBASE";
  d.fields = std::move(fields);
  if (!driver.empty()) d.optionalParams.push_back({"LANGDRIVER", driver});
  return d;
}

// Copies corpus files (a table and its memo file) into `dir`; returns the
// path of the first.
inline std::string CopyInto(const std::string& dir, const std::vector<std::string>& files) {
  std::string first;
  for (const std::string& f : files) {
    const std::string to = dir + "/" + std::filesystem::path(f).filename().string();
    std::filesystem::copy_file(f, to, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(to, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    if (first.empty()) first = to;
  }
  return first;
}

// A value as text: "" for NULL (and empty text), T/F, whole numbers
// plainly, others with 15 significant digits, dates and timestamps as the
// engine writes them, binary data as x: and hex digits. Text loses
// trailing blanks, which the files cannot keep.
inline std::string Canonical(const engine::Value& v) {
  using namespace engine;
  char b[64];
  if (IsNull(v)) return "";
  if (auto x = std::get_if<bool>(&v)) return *x ? "T" : "F";
  if (auto x = std::get_if<std::int64_t>(&v)) return std::to_string(*x);
  if (auto x = std::get_if<double>(&v)) return std::snprintf(b, sizeof b, "%.15g", *x), b;
  if (auto x = std::get_if<DateValue>(&v)) return FormatDate(x->day);
  if (auto x = std::get_if<TimestampValue>(&v)) return FormatTimestamp(x->ms);
  if (auto x = std::get_if<BlobValue>(&v)) {
    std::string s = "x:";
    for (unsigned char c : x->bytes) s += (std::snprintf(b, sizeof b, "%02x", c), b);
    return s;
  }
  if (auto x = std::get_if<std::string>(&v)) return x->substr(0, x->find_last_not_of(' ') + 1);
  return "?";
}

inline std::string Show(const engine::Value& v) {
  return std::holds_alternative<std::string>(v) ? "\"" + std::get<std::string>(v) + "\""
                                                : Canonical(v);
}

inline std::string Show(const Row& row) {
  std::string out = "(";
  for (std::size_t i = 0; i < row.size(); ++i) out += (i ? ", " : "") + Show(row[i]);
  return out + ")";
}

}  // namespace dbtables
