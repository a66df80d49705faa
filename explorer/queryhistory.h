// The statements of the "Enter SQL" page: 54 slots and a position. Next
// keeps the editor's text in the current slot and moves on to the next one
// (an empty editor for a new statement); Previous keeps it and goes back.
#pragma once

#include <QString>
#include <array>
#include <optional>

class QueryHistory {
 public:
  static constexpr int kSlots = 54;

  // The text the editor shows next; nullopt: the editor stays as it is (it
  // is empty, or the last slot is reached and keeps the text).
  std::optional<QString> Next(const QString& editorText);
  // The text of the previous slot; nullopt when that slot is empty.
  std::optional<QString> Previous(const QString& editorText);
  int Position() const { return position_; }

 private:
  std::array<std::optional<QString>, kSlots> slots_;
  int position_ = 0;
};
