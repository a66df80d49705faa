#include "app/application.h"
#include "app/dmf.h"
#include "app/demodb.h"
#include "app/prompter.h"
#include "engine/errors.h"
#include "explorer/paradoxfrm.h"

int main(int argc, char** argv) {
  Application app(argc, argv);
  // A first start brings the demo database along.
  if (EnsureDemoAlias(DefaultDemoDirectory()) != engine::Ok)
    prompter().warn(QString::fromStdString(engine::LastErrorMessage()));
  DMF();  // the data module comes first: it opens the session
  TParadoxfrm mainForm;
  mainForm.showMaximized();
  return app.exec();
}
