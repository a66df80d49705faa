#include "explorer/queryhistory.h"

std::optional<QString> QueryHistory::Next(const QString& editorText) {
  if (editorText.isEmpty()) return std::nullopt;
  slots_[position_] = editorText;
  if (position_ == kSlots - 1) return std::nullopt;
  ++position_;
  return slots_[position_].value_or(QString());
}

std::optional<QString> QueryHistory::Previous(const QString& editorText) {
  if (!editorText.isEmpty()) slots_[position_] = editorText;
  if (position_ > 0) --position_;
  return slots_[position_];
}
