// Two copies of the desktop program: the second shows the first one's window and ends.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <chrono>
#include <thread>

#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

QProcessEnvironment PrivateEnvironment(const fixtures::TempDir& dir) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  const QString root = QString::fromStdString(dir.path().string());
  QDir(root).mkpath("runtime");
  QDir(root).mkpath("data");
  QDir(root).mkpath("config");
  env.insert("XDG_RUNTIME_DIR", root + "/runtime");
  env.insert("XDG_DATA_HOME", root + "/data");
  env.insert("XDG_CONFIG_HOME", root + "/config");
  env.insert("KESTRIO_BACKUP_DIRS", root + "/none");
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("KESTRIO_LOG", "stderr");
  return env;
}

TEST(SingleInstance, SecondCopyRaisesTheFirstAndEndsWithZero) {
  const QString program = QCoreApplication::applicationDirPath() + "/kestrio";
  ASSERT_TRUE(QFileInfo(program).isExecutable()) << program.toStdString();
  fixtures::TempDir dir;
  const QProcessEnvironment env = PrivateEnvironment(dir);
  const QString socket = QString::fromStdString(
      (dir / "runtime" / "Velmora_iOS_Recovery_2016_For_Windows.socket").string());

  QProcess first;
  first.setProcessEnvironment(env);
  first.start(program, {});
  ASSERT_TRUE(first.waitForStarted(10000));
  // The first copy listens once its window is up.
  for (int i = 0; i < 300 && !QFileInfo::exists(socket); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(QFileInfo::exists(socket)) << first.readAllStandardError().toStdString();

  QProcess second;
  second.setProcessEnvironment(env);
  second.start(program, {});
  ASSERT_TRUE(second.waitForFinished(15000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);

  // The first copy got the request and still runs.
  QByteArray log;
  for (int i = 0; i < 100 && !log.contains("a second copy asked for the window"); ++i) {
    first.waitForReadyRead(100);
    log += first.readAllStandardError();
  }
  EXPECT_TRUE(log.contains("a second copy asked for the window")) << log.toStdString();
  EXPECT_EQ(first.state(), QProcess::Running);
  first.kill();
  first.waitForFinished(5000);
}

}  // namespace
}  // namespace kestrio
