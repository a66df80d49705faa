// The table-type prompt that precedes the design of a new table: Paradox
// levels 7, 5, 4 and 3 and dBASE levels 7 ("Visual dBASE"), 5, 4 and 3.
#pragma once

#include <QDialog>

class QListWidget;
class QPushButton;

class TTblTypeF : public QDialog {
  Q_OBJECT
 public:
  explicit TTblTypeF(QWidget* parent = nullptr);

  QListWidget* TableTypeList;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;
  QPushButton* HelpBtn;
};

// Asks for the type of a new table; on OK sets NewTableType ("PARADOX" or
// "DBASE") and `level` to the chosen level text. False when cancelled.
bool AskTableType(QString& level);
