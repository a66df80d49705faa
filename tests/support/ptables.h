// Helpers for tests that make Paradox tables: field and table descriptors,
// and copies of corpus families that a test may change.
#pragma once

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <memory>

#include "engine/errors.h"
#include "engine/paradox/pxtable.h"
#include "engine/records.h"

namespace ptables {

// Opens a table, failing the test (with the engine's message) when it cannot.
inline std::unique_ptr<engine::paradox::ParadoxTable> OpenOk(
    const std::string& path, bool writable = false, std::vector<std::string> passwords = {}) {
  std::unique_ptr<engine::paradox::ParadoxTable> t;
  engine::paradox::OpenOptions o;
  o.writable = writable;
  o.passwords = std::move(passwords);
  engine::Result r = engine::paradox::ParadoxTable::Open(path, o, t);
  EXPECT_EQ(r, engine::Ok) << engine::LastErrorMessage();
  return t;
}

// Every record of a table, in table order.
inline std::vector<std::vector<engine::Value>> AllRecords(engine::paradox::ParadoxTable& t) {
  std::vector<std::vector<engine::Value>> rows(t.recordCount());
  for (std::uint32_t i = 0; i < t.recordCount(); ++i)
    EXPECT_EQ(t.readRecord(i, rows[i]), engine::Ok) << engine::LastErrorMessage();
  return rows;
}

inline engine::FieldDesc Field(const std::string& name, std::uint16_t type, std::int16_t u1 = 0,
                               std::int16_t u2 = 0) {
  engine::FieldDesc f;
  f.name = name;
  f.type = type;
  f.units1 = u1;
  f.units2 = u2;
  return f;
}

// A level-7 (or `level`) table with the first `keyFields` fields as its key.
inline engine::TableDesc Desc(const std::string& path, std::vector<engine::FieldDesc> fields,
                              int keyFields = 0, int level = 7) {
  engine::TableDesc d;
  d.tableName = path;
  d.fields = std::move(fields);
  if (keyFields) {
    engine::IndexDesc ix;
    ix.primary = 1;
    ix.fieldsInKey = static_cast<std::uint16_t>(keyFields);
    for (int i = 0; i < keyFields; ++i) ix.keyFields[i] = static_cast<std::uint16_t>(i + 1);
    d.indexes.push_back(ix);
  }
  d.optionalParams.push_back({"LEVEL", std::to_string(level)});
  return d;
}

// A secondary index `name` on field number `field`, and a required field.
inline engine::IndexDesc SecondaryOn(const std::string& name, std::uint16_t field) {
  engine::IndexDesc ix;
  ix.name = name;
  ix.fieldsInKey = 1;
  ix.keyFields[0] = field;
  return ix;
}
inline engine::ValCheckDesc Required(std::uint16_t field) {
  engine::ValCheckDesc c;
  c.fieldNumber = field;
  c.required = 1;
  return c;
}

// Copies every file of `fromDir` whose name (before the extension, any
// case) is `stem` into `toDir`, writable; returns how many were copied.
inline int CopyFamily(const std::string& fromDir, const std::string& stem,
                      const std::string& toDir) {
  namespace fs = std::filesystem;
  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  int n = 0;
  for (const auto& e : fs::directory_iterator(fromDir)) {
    if (upper(e.path().stem().string()) != upper(stem)) continue;
    fs::path to = fs::path(toDir) / e.path().filename();
    fs::copy_file(e.path(), to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write);
    ++n;
  }
  return n;
}

}  // namespace ptables
