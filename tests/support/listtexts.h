// The texts of a list widget's items, as the user sees them.
#pragma once

#include <QListWidget>
#include <QStringList>

inline QStringList Texts(const QListWidget* list) {
  QStringList texts;
  for (int i = 0; i < list->count(); ++i) texts << list->item(i)->text();
  return texts;
}

// The texts of the checked items.
inline QStringList Checked(const QListWidget* list) {
  QStringList texts;
  for (int i = 0; i < list->count(); ++i)
    if (list->item(i)->checkState() == Qt::Checked) texts << list->item(i)->text();
  return texts;
}
