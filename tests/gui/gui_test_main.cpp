// The window tests run inside one QApplication on Qt's offscreen platform; a control a window
// looks up and does not find fails the test that looked.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>

#include "gui/toolkit/skin.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  kestrio::toolkit::SetMissingControlHandler([](const QString& window, const QString& name) {
    ADD_FAILURE() << "window " << window.toStdString() << " has no control " << name.toStdString();
  });
  return RUN_ALL_TESTS();
}
