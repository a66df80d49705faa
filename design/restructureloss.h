// Before a restructure that drops or changes fields: how many records would
// lose a value, from the engine's dry run, and the question to the user.
#pragma once

#include <cstdint>

#include "engine/engine.h"

namespace design {

// Runs the restructure of `desc` dry. A value the restructure would refuse
// raises EDBEngineError with the engine's reason; otherwise returns the
// records that hold a value in a dropped field plus those whose values
// would be carried shortened (a record in both counts twice). A restructure that only keeps, moves and adds
// fields loses nothing and is not run.
std::uint32_t RecordsLosingData(engine::hDBIDb db, const engine::TableDesc& desc, int oldFieldCount);

// Asks "N records would lose data in this restructure. Go on?" when the
// restructure loses any; true to go on.
bool ConfirmRestructureLoss(engine::hDBIDb db, const engine::TableDesc& desc, int oldFieldCount);

}  // namespace design
