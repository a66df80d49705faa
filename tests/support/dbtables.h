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

namespace dbtables {

using Row = std::vector<engine::Value>;

inline std::unique_ptr<engine::dbase::DbaseTable> OpenOk(const std::string& path,
                                                         bool writable = false,
                                                         int codePage = 0) {
  std::unique_ptr<engine::dbase::DbaseTable> t;
  engine::dbase::OpenOptions o;
  o.writable = writable;
  o.codePage = codePage;
  EXPECT_EQ(engine::dbase::DbaseTable::Open(path, o, t), engine::Ok)
      << engine::LastErrorMessage();
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

inline std::string Show(const engine::Value& v) {
  using namespace engine;
  struct Visitor {
    std::string operator()(std::monostate) const { return "NULL"; }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(std::int64_t i) const { return std::to_string(i); }
    std::string operator()(double d) const {
      char b[64];
      std::snprintf(b, sizeof b, "%.17g", d);
      return b;
    }
    std::string operator()(const std::string& s) const { return "\"" + s + "\""; }
    std::string operator()(DateValue d) const { return "date " + std::to_string(d.day); }
    std::string operator()(TimeValue t) const { return "time " + std::to_string(t.ms); }
    std::string operator()(TimestampValue t) const {
      char b[64];
      std::snprintf(b, sizeof b, "timestamp %.0f", t.ms);
      return b;
    }
    std::string operator()(const BcdValue& b) const { return "bcd " + b.text; }
    std::string operator()(const BlobValue& b) const {
      return "blob of " + std::to_string(b.bytes.size()) + " bytes";
    }
  };
  return std::visit(Visitor{}, v);
}

inline std::string Show(const Row& row) {
  std::string out = "(";
  for (std::size_t i = 0; i < row.size(); ++i) out += (i ? ", " : "") + Show(row[i]);
  return out + ")";
}

}  // namespace dbtables
