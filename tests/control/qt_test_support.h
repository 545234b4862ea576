// Qt for the control tests: one application on the offscreen platform, ended
// with the tests (before the program's exit handlers, which Qt's input
// devices do not survive), and a step run on a modal dialog once its modal
// run has begun.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <memory>

namespace control_test {

class QtEnvironment : public ::testing::Environment {
 public:
  QApplication& App() {
    static int argc = 1;
    static char name[] = "vigilo_control_test";
    static char* argv[] = {name, nullptr};
    if (!app_) {
      // Only this process: programs the tests start choose their own platform.
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
      app_ = std::make_unique<QApplication>(argc, argv);
      ::unsetenv("QT_QPA_PLATFORM");
    }
    return *app_;
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};

inline QtEnvironment* const QtTests =
    static_cast<QtEnvironment*>(::testing::AddGlobalTestEnvironment(new QtEnvironment));

inline QApplication& App() {
  return QtTests->App();
}

// Runs `step` on the modal dialog of type T once its modal run has begun;
// when none comes, the test fails and the modal dialog in its place is
// rejected, so that nothing waits for ever.
template <typename T>
void OnNextModal(const std::function<void(T*)>& step) {
  auto* timer = new QTimer(&App());
  auto tries = std::make_shared<int>(0);
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, tries, step] {
    auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
    if (dialog == nullptr && ++*tries <= 3000) return;
    timer->stop();
    timer->deleteLater();
    if (dialog) {
      step(dialog);
    } else {
      ADD_FAILURE() << "no modal dialog came";
      if (auto* other = qobject_cast<QDialog*>(QApplication::activeModalWidget())) other->reject();
    }
  });
  timer->start();
}

}  // namespace control_test
