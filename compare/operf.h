// "Unknown field": a field of the reference that the target table lacks is
// either added new or made from one of the target's fields.
#pragma once

#include <QDialog>
#include <QStringList>

class QListWidget;
class QPushButton;

class TOperF : public QDialog {
  Q_OBJECT
 public:
  explicit TOperF(QWidget* parent = nullptr);

  QListWidget* ListBox1;  // the target table's fields
  QPushButton* NewBtn;     // closes with OK
  QPushButton* ModifyBtn;  // closes with Cancel: the selected field becomes it
};

// Asks what becomes of `field` of the reference, which `table` lacks: -1 for
// a new field, else the position in `fields` of the field chosen to become
// it (-1 when none is chosen).
int AskFieldMapping(const QStringList& fields, const QString& table, const QString& field);
