// The application object: sets the title and routes any error that escapes
// an event handler to the default error handler, so the program goes on.
#pragma once

#include <QApplication>
#include <exception>

class Application : public QApplication {
 public:
  Application(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

// Shows the message of an error that escaped an event handler in a message
// box (through the prompter). The program keeps running.
void HandleException(const std::exception_ptr& error);

// The busy cursor for the lifetime of the guard, for work that keeps the
// user waiting. keepPainting() lets the windows repaint on the way (user
// input waits until the work is done).
class BusyCursor {
 public:
  BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~BusyCursor() { QApplication::restoreOverrideCursor(); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
  static void keepPainting() { QApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }
};
