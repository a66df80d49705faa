#include "design/designstate.h"

#include <algorithm>

namespace design {

bool RosterFields::hasKey() const {
  return std::any_of(rows.begin(), rows.end(), [](const RosterField& f) { return f.key; });
}

QStringList RosterFields::names() const {
  QStringList list;
  for (const RosterField& f : rows) list << f.name;
  return list;
}

int RosterFields::position(const QString& name) const {
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (rows[i].name.compare(name, Qt::CaseInsensitive) == 0) return static_cast<int>(i);
  return -1;
}

QString RosterFields::line(int position) const {
  const RosterField& f = rows.at(static_cast<std::size_t>(position));
  return f.name + "[" + f.type + f.size + "]";
}

}  // namespace design
