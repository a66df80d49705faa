#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include "app/application.h"
#include "app/globals.h"
#include "engine/dataset/dberror.h"
#include "explorer/paradoxfrm.h"
#include "tests/support/scripted_prompter.h"

TEST(Startup, MainWindowCarriesTheCaption) {
  TParadoxfrm form;
  form.show();
  EXPECT_EQ(form.windowTitle(), "Quarrydesk");
  EXPECT_EQ(QApplication::applicationDisplayName(), "Quarrydesk");
}

TEST(Startup, ProgramStartsAndKeepsRunningOffscreen) {
  QProcess program;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir data;  // the demo database of a first start goes here
  env.insert("XDG_DATA_HOME", data.path());
  program.setProcessEnvironment(env);
  program.start(QUARRYDESK_BIN, {});
  ASSERT_TRUE(program.waitForStarted(5000));
  EXPECT_FALSE(program.waitForFinished(1500)) << program.readAllStandardError().toStdString();
  program.kill();
  program.waitForFinished();
}

TEST(Startup, GlobalsStartEmpty) {
  CurrentAliasName = "DEMO";
  CurrentDatabaseIndex = -1;
  RestructureMode = true;
  ResetGlobals();
  EXPECT_TRUE(CurrentAliasName.isEmpty());
  EXPECT_EQ(CurrentDatabaseIndex, 0);
  EXPECT_FALSE(RestructureMode);
  EXPECT_TRUE(NewTableLevel.isEmpty());
}

namespace {

// A small window that asks before it acts, as every command does.
struct DeleteDemo : QWidget {
  QPushButton* button = new QPushButton("Delete", this);
  QLabel* state = new QLabel("kept", this);
  DeleteDemo() {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(button);
    layout->addWidget(state);
    QObject::connect(button, &QPushButton::clicked, [this] {
      if (prompter().confirm("Delete table \"ORDERS.DB\"?")) state->setText("deleted");
    });
  }
};

}  // namespace

TEST(Prompter, ScriptedAnswersDriveTheWindow) {
  ScriptedPrompter script;
  DeleteDemo demo;
  demo.show();

  script.no("Delete table \"ORDERS.DB\"?");
  QTest::mouseClick(demo.button, Qt::LeftButton);
  EXPECT_EQ(demo.state->text(), "kept");

  script.yes();
  QTest::mouseClick(demo.button, Qt::LeftButton);
  EXPECT_EQ(demo.state->text(), "deleted");
  EXPECT_EQ(script.asked(), QStringList({"Delete table \"ORDERS.DB\"?", "Delete table \"ORDERS.DB\"?"}));
}

TEST(Prompter, UnexpectedQuestionFailsTheTest) {
  EXPECT_NONFATAL_FAILURE(
      {
        ScriptedPrompter script;
        EXPECT_FALSE(prompter().confirm("Empty table?"));
      },
      "unexpected question: \"Empty table?\"");
}

TEST(Prompter, WrongQuestionTextFailsTheTest) {
  EXPECT_NONFATAL_FAILURE(
      {
        ScriptedPrompter script;
        script.yes("Delete alias?");
        prompter().confirm("Delete table?");
      },
      "Delete alias?");
}

TEST(ErrorHandler, EngineErrorEscapingAHandlerIsShownAndTheProgramGoesOn) {
  ScriptedPrompter script;
  QPushButton button("Open");
  int clicks = 0;
  QObject::connect(&button, &QPushButton::clicked, [&] {
    ++clicks;
    throw EDBEngineError(engine::ErrNotFound, "Table does not exist: /tmp/nothing/ORDERS.DB");
  });
  button.show();

  script.ok("Table does not exist: /tmp/nothing/ORDERS.DB");
  QTest::mouseClick(&button, Qt::LeftButton);
  script.ok("Table does not exist: /tmp/nothing/ORDERS.DB");
  QTest::mouseClick(&button, Qt::LeftButton);
  EXPECT_EQ(clicks, 2);
}
