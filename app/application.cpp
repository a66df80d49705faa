#include "app/application.h"

#include "app/prompter.h"
#include "engine/dataset/dberror.h"

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName("Quarrydesk");
  setApplicationDisplayName("Quarrydesk");
  setApplicationVersion(QUARRY_VERSION);
}

bool Application::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    HandleException(std::current_exception());
    return false;
  }
}

void HandleException(const std::exception_ptr& error) {
  QString text;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    text = QString::fromStdString(e.what());
  } catch (...) {
    text = QStringLiteral("Unknown error.");
  }
  prompter().error(text);
}
