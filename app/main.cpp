#include "app/application.h"
#include "explorer/paradoxfrm.h"

int main(int argc, char** argv) {
  Application app(argc, argv);
  TParadoxfrm mainForm;
  mainForm.showMaximized();
  return app.exec();
}
