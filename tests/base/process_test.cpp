// The single-instance lock across processes, and the players Kestrio starts and stops.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/players.h"
#include "base/single_instance.h"
#include "tests/fixtures/ios_fixtures.h"

namespace kestrio {
namespace {

// Runs `child` in a forked process and gives its exit code.
template <typename Child>
int InChild(Child child) {
  const pid_t pid = fork();
  if (pid == 0) _exit(child());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(InstanceLock, OneHolderPerNameUntilItsProcessEnds) {
  fixtures::TempDir dir;
  InstanceLock first("Kestrio_test", dir.path());
  ASSERT_TRUE(first.Acquire());
  EXPECT_TRUE(first.Acquire());  // again in the same process: still held
  EXPECT_EQ(first.SocketPath(), dir / "Kestrio_test.socket");
  // Another process finds it taken; another name is free.
  EXPECT_EQ(InChild([&] { return InstanceLock("Kestrio_test", dir.path()).Acquire() ? 1 : 0; }), 0);
  EXPECT_EQ(InChild([&] { return InstanceLock("Other", dir.path()).Acquire() ? 1 : 0; }), 1);

  // A holder that ended (even without cleaning up) frees the name.
  fixtures::TempDir other;
  EXPECT_EQ(InChild([&] {
              InstanceLock lock("Crashed", other.path());
              return lock.Acquire() ? 1 : 0;  // exits holding it
            }),
            1);
  InstanceLock after("Crashed", other.path());
  EXPECT_TRUE(after.Acquire());
}

TEST(PlayerProcesses, OnlyThePlayersStartedHereAreStopped) {
  PlayerProcesses& players = PlayerProcesses::Get();
  const pid_t ours = players.Start({"sleep", "30"});
  ASSERT_GT(ours, 0);
  // A program of the same name that Kestrio did not start.
  const pid_t foreign = fork();
  if (foreign == 0) {
    execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  EXPECT_EQ(players.Running(), 1u);
  players.StopAll();
  EXPECT_EQ(players.Running(), 0u);
  EXPECT_EQ(kill(ours, 0), -1);    // gone (and reaped)
  EXPECT_EQ(kill(foreign, 0), 0);  // still running
  kill(foreign, SIGKILL);
  waitpid(foreign, nullptr, 0);
  EXPECT_EQ(players.Start({"/no/such/player"}), -1);
}

}  // namespace
}  // namespace kestrio
