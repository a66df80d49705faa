#include "explorer/paradoxfrm.h"

TParadoxfrm::TParadoxfrm(QWidget* parent) : QMainWindow(parent) {
  setObjectName("Paradoxfrm");
  setWindowTitle("Quarrydesk");
}
