// The working state the table design dialog shares with its sub-dialogs
// (secondary indexes, links, passwords): the roster as it stands, the three
// lists and the master password. The design dialog owns one for the time it
// is open and keeps `roster` current before opening a sub-dialog.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "design/designrows.h"

namespace design {

// One roster row as the sub-dialogs need it.
struct RosterField {
  QString name;
  QString type;  // type letter: "A", "N", "+", ...
  QString size;  // the Size cell ("20"), empty for types without one
  bool key = false;  // "*" in the Key column
};

// The roster's rows in roster order: field number n is rows[n - 1].
struct RosterFields {
  std::vector<RosterField> rows;

  bool hasKey() const;
  QStringList names() const;
  // 0-based position of the field named `name`, -1 when there is none.
  int position(const QString& name) const;
  // "Name[A20]": the line a field shows in the link dialog.
  QString line(int position) const;
};

struct DesignState {
  bool restructure = false;
  QString database;  // alias or directory of the table's database
  RosterFields roster;
  DesignIndexList indexes;
  DesignRefIntList links;
  DesignPasswordList passwords;
  QString LastPassword;            // the master password, empty when none
  bool MasterPasswordSet = false;  // a master password is in force
  // Restructure: the table's master password was deleted, so the saved table
  // must lose its protection (TableDesc::removeProtection).
  bool RemoveProtection = false;
};

// Names of a list's entries that are not dropped, in list order: the lines
// the design dialog shows for a page.
template <typename List>
QStringList ListedNames(const List& list) {
  QStringList names;
  for (const auto& [name, row] : list)
    if (row.op != engine::opDrop) names << name;
  return names;
}

// Takes an entry off a list: in create mode it goes; in restructure mode a
// loaded entry is marked dropped, and one added in this session simply goes,
// since the table has nothing to drop.
template <typename List>
void EraseEntry(List& list, const QString& name, bool restructure) {
  auto it = list.find(name);
  if (it == list.end()) return;
  if (restructure && it->second.op != engine::opAdd)
    it->second.op = engine::opDrop;
  else
    list.erase(it);
}

}  // namespace design
