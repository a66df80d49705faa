// What the dBASE design dialog turns its roster into: the field type
// letters, the descriptor of a new table, the descriptor of a restructure
// with its change codes, and the records a restructure would take values
// from.
#pragma once

#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "design/designrows.h"
#include "engine/engine.h"

namespace design {

// One row of the dBASE roster: its cells and its record.
struct DbaseRow {
  QString name, type, size, dec;
  FieldRow record;  // loadedPosition and loadedField for a field read from the table
};

// The physical type of a roster letter (0 for none).
std::uint16_t DbaseTypeOf(const QString& letter);
// The letter the roster shows for a physical type ("?" for one it has no letter for).
QString DbaseLetterOf(std::uint16_t type);
// A row as the roster shows a field read from a table.
DbaseRow DbaseRowOf(const engine::FieldDesc& field);

// The field a row describes, its number 0. Throws std::invalid_argument
// when Size or Dec is not a number.
engine::FieldDesc DbaseFieldOf(const DbaseRow& row);

// The rows that describe a field (name or type filled in).
std::vector<DbaseRow> FilledRows(const std::vector<DbaseRow>& rows);

// A new dBASE table at `level` (0: the engine's default) with these tags.
engine::TableDesc DbaseCreateDesc(const QString& tableName, const std::vector<DbaseRow>& rows,
                                  const std::vector<engine::IndexDesc>& tags, int level);

// A restructure of the table to the roster: a field read from the table is
// kept (same place and definition), moved or modified, against its old
// number; a new one is added; an old field the roster no longer has is
// dropped.
engine::TableDesc DbaseRestructureDesc(const QString& tableName,
                                       const std::vector<DbaseRow>& rows, int oldFieldCount);

// The old field numbers a restructure leaves out.
std::vector<std::uint16_t> DroppedFields(const engine::TableDesc& desc, int oldFieldCount);

// How many records of the table hold a value in one of these fields (the
// records a restructure that drops them takes values from).
engine::Result RecordsWithValues(engine::hDBIDb db, const std::string& tableName,
                                 const std::vector<std::uint16_t>& fields, std::uint32_t& count);

}  // namespace design
