#include "explorer/findf.h"

#include "explorer/paradoxfrm.h"

TFindF::TFindF(TParadoxfrm* form) : QWidget(form, Qt::Tool), form_(form) {
  setObjectName("FindF");
  setWindowTitle("Find in tree");
}
