#include "design/restructureloss.h"

#include <QString>
#include <algorithm>

#include "app/prompter.h"
#include "design/dbasedesign.h"
#include "engine/dataset/dberror.h"

namespace design {

std::uint32_t RecordsLosingData(engine::hDBIDb db, const engine::TableDesc& desc, int oldFieldCount) {
  const std::vector<std::uint16_t> dropped = DroppedFields(desc, oldFieldCount);
  const bool modifies = std::find(desc.fieldOps.begin(), desc.fieldOps.end(), engine::opModify) !=
                        desc.fieldOps.end();
  if (dropped.empty() && !modifies) return 0;  // every value is carried as it is
  engine::RestructureReport report;
  engine::Check(engine::RestructureTable(db, desc, true, &report));
  if (!report.refusal.empty()) throw EDBEngineError(engine::ErrInvalidValue, report.refusal);
  std::uint32_t losing = 0;
  engine::Check(RecordsWithValues(db, desc.tableName, dropped, losing));
  return losing + report.shortenedRecords;
}

bool ConfirmRestructureLoss(engine::hDBIDb db, const engine::TableDesc& desc, int oldFieldCount) {
  const std::uint32_t losing = RecordsLosingData(db, desc, oldFieldCount);
  if (losing == 0) return true;
  return prompter().confirm(losing == 1
                                ? QString("1 record would lose data in this restructure. Go on?")
                                : QString("%1 records would lose data in this restructure. Go on?")
                                      .arg(losing));
}

}  // namespace design
