// "Restructure options": how applying a comparison treats tables to delete
// and to create, and whether it reports each table.
#pragma once

#include <QDialog>

class QButtonGroup;
class QGroupBox;

class TRestOptF : public QDialog {
  Q_OBJECT
 public:
  explicit TRestOptF(QWidget* parent = nullptr);

  // Selects in each group the item of the option's current value (before
  // each showing).
  void FormShow();
  // Stores the selected items into the options and closes with OK.
  void OKbtnClick();

  QGroupBox* DelOpGB;
  QGroupBox* CreateRG;
  QGroupBox* MessageGb;
  QButtonGroup* deleting;
  QButtonGroup* creating;
  QButtonGroup* messages;
};
