// What the table design dialogs edit: per field, per secondary index, per
// link and per auxiliary password, the definition as edited beside the one
// loaded from the table, and the change that turns one into the other.
// Create mode uses only the edited halves.
#pragma once

#include <QString>
#include <cstdint>
#include <map>

#include "engine/records.h"

namespace design {

// One row of the field roster (the object of the row's name cell, moved
// with the row).
struct FieldRow {
  engine::FieldDesc field;         // as edited
  engine::FieldDesc loadedField;   // as read from the table; its spare[0] holds
                                   // the size the roster showed for it
  engine::ValCheckDesc check;      // as edited
  engine::ValCheckDesc loadedCheck;
  std::int32_t fieldOp = engine::opNone;
  std::int32_t checkOp = engine::opNone;
  std::int32_t loadedPosition = 0;  // 0 for a new field
};

struct IndexRow {
  engine::IndexDesc index;        // as edited
  engine::IndexDesc loadedIndex;  // as read from the table
  std::int32_t op = engine::opNone;
};

struct RefIntRow {
  engine::RefIntDesc link;        // as edited
  engine::RefIntDesc loadedLink;  // as read from the table
  std::int32_t op = engine::opNone;
};

struct PasswordRow {
  engine::SecurityDesc security;
  std::int32_t op = engine::opNone;
};

// The lists of the design dialog, each under its names: indexes by index
// name, links by link name, auxiliary passwords by password text.
using DesignIndexList = std::map<QString, IndexRow>;
using DesignRefIntList = std::map<QString, RefIntRow>;
using DesignPasswordList = std::map<QString, PasswordRow>;

}  // namespace design
