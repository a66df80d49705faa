// The secondary index dialog of the Paradox table design dialog: the
// index's fields and their order, its parameters, and its name.
#pragma once

#include <QDialog>
#include <QStringList>
#include <optional>

#include "design/designstate.h"

class QCheckBox;
class QListWidget;
class QPushButton;
class QToolButton;

namespace design {

// What the index dialog holds, apart from widgets.
struct IndexChoice {
  QStringList fields;           // index fields by name, in key order
  QList<bool> fieldDescending;  // the check mark of each index field
  bool unique = false;
  bool maintained = true;
  bool caseSensitive = false;
  bool descending = false;
};

// The descriptor of an index named `name` over the roster's fields.
engine::IndexDesc FillIndexDesc(const IndexChoice& choice, const RosterFields& roster,
                                const QString& name);

// The name prompt: an input box with the given caption, label and starting
// name; nullopt when cancelled.
std::optional<QString> AskName(const QString& caption, const QString& label, const QString& name);

}  // namespace design

class TIndexF : public QDialog {
 public:
  explicit TIndexF(design::DesignState& state, QWidget* parent = nullptr);

  // Runs the dialog for a new index (empty name) or for the entry named
  // `name`; returns the dialog's result.
  int Open(const QString& name = QString());

  void FormShow();
  void Button1Click();  // "&OK"
  void Button2Click();  // "&Cancel"
  void ToIndexSpeedBtnClick();
  void FromIndexSpeedBtnClick();
  void SpeedButton1Click();  // up
  void SpeedButton2Click();  // down
  void FieldsListBoxClick();
  void MainCheckClick();
  void UniCheckClick();

  design::IndexChoice Choice() const;

  QListWidget* FieldsListBox;
  QListWidget* IndexFieldsListBox;
  QToolButton* ToIndexSpeedBtn;
  QToolButton* FromIndexSpeedBtn;
  QToolButton* SpeedButton1;
  QToolButton* SpeedButton2;
  QCheckBox* UniCheck;
  QCheckBox* MainCheck;
  QCheckBox* CaseCheck;
  QCheckBox* DescCheck;
  QPushButton* Button1;
  QPushButton* Button2;

 private:
  void AddIndexField(const QString& name, bool descending);
  void MoveIndexField(int by);
  void LoadIndex(const engine::IndexDesc& index);
  // The name to store the index under; nullopt when the user cancelled.
  std::optional<QString> ChooseName();
  // Stores the index under `name`; false (after saying why) when the name
  // belongs to another index.
  bool Store(const QString& name);

  design::DesignState& state_;
  QString current_;  // the entry being changed; empty for a new index
};
