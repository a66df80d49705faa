// What the Paradox design dialog turns its roster, lists and options into:
// the engine defaults of new tables, the descriptor of a new table and the
// descriptor of a restructure with its change codes. No widgets: the rows
// come in as the roster reads them back.
#pragma once

#include <QList>
#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "design/designstate.h"
#include "design/fieldroster.h"
#include "engine/engine.h"

namespace design {

// Block size, fill factor and language driver of new tables.
struct ParadoxOptions {
  QString level;
  QString blockSize;   // bytes: "2048"
  QString fillFactor;  // "95"
  QString langDriver;  // engine driver name: "ascii", "DBWINUS0"
};

// The engine configuration's defaults (level stays empty). Raises
// EDBEngineError when the configuration cannot be read.
ParadoxOptions ReadParadoxDefaults();

// "1024" ... "32768" for a table's block size in kilobytes; empty for any
// other size.
QString BlockSizeText(int kilobytes);

// The primary index over these field numbers.
engine::IndexDesc PrimaryIndexOf(const QList<int>& keyFields);

// Everything a new table is made of.
struct CreateDesign {
  QString tableName;  // the file chosen
  std::vector<FieldRoster::Row> rows;
  const DesignState* state = nullptr;  // indexes, links, passwords, master password
  ParadoxOptions options;
};

// The descriptor of a new table: fields, primary index from the "*" rows,
// secondary indexes, an index per link on its child fields, checks, links,
// passwords and the four options. Rows with neither name nor type are left
// out. Throws std::invalid_argument with the conversion's message when a
// size is not a number.
engine::TableDesc BuildCreateDesc(const CreateDesign& design);

// Everything a restructure of an existing table is made of.
struct RestructureDesign {
  QString tableName;
  bool pack = false;
  // Level, block size and language driver to change; none: they remain.
  std::optional<ParadoxOptions> options;
  // The rows after FieldRoster::ResolveFieldChanges.
  std::vector<FieldRoster::Row> rows;
  const DesignState* state = nullptr;
  // The table's primary index as it is; none when unkeyed.
  std::optional<engine::IndexDesc> currentPrimary;
};

// The descriptor of the restructure, each item with its change code.
engine::TableDesc BuildRestructureDesc(const RestructureDesign& design);

}  // namespace design
