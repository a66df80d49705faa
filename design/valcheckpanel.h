// ValCheckPanel: the "Validity Checks" page of the table design dialog,
// beside the field roster. Shows the check of the roster's selected row,
// enables what the row's type allows, and records each edit into the row's
// FieldRow: in create mode as the row's check, in restructure mode as the
// edited check with its change code. Values that do not convert
// show in red and keep the user on the row.
#pragma once

#include <QPointer>
#include <QWidget>
#include <cstdint>

#include "engine/records.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace design {

class FieldRoster;

class ValCheckPanel : public QWidget {
  Q_OBJECT
 public:
  // Attaches itself to `roster`, whose selected row it edits.
  explicit ValCheckPanel(FieldRoster* roster, QWidget* parent = nullptr);
  ~ValCheckPanel() override;

  // The parts a type allows; a letter outside the
  // table, or none, changes nothing.
  void ApplyCheckAvailability(QChar letter);
  // Shows `check` (null: none) of a field of physical type `type`, with the
  // change handler suppressed and every text black.
  void LoadCheck(const engine::ValCheckDesc* check, std::uint16_t type);
  // The minimum, maximum or default shows a value that did not convert.
  bool HasInvalidValue() const;
  bool IsInvalid(const QWidget* control) const;

  // The one change handler of the four edits and the check box.
  void MinValEditChange(QWidget* sender);

  QCheckBox* RequiredCB;
  QLineEdit* MinValEdit;
  QLineEdit* MaxValEdit;
  QLineEdit* DefEdit;
  QLineEdit* PictureEdit;
  QPushButton* AssistBtn;  // "Assist...", without action

 private:
  void Colour(QLineEdit* edit, bool red);
  void Enable(QLineEdit* edit, bool enabled);

  QPointer<FieldRoster> roster_;  // may go first when both are children of the dialog
  bool loading_ = false;
};

}  // namespace design
