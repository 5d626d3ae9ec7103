// The single-instance lock across processes, and the players Kestrio starts and stops.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

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
  EXPECT_EQ(errno, ENOENT);  // what the preview tells apart as "not installed"
}

TEST(PlayerProcesses, CommandLinesAndTheWatchOfAVideoPlayersOutput) {
  EXPECT_EQ(SplitCommandLine(R"(  mpv  --title="My clip" a\"b "" x\\y )"),
            (std::vector<std::string>{"mpv", "--title=My clip", "a\"b", "", "x\\y"}));
  // Unset or empty entries keep mpv; a set entry replaces it.
  const PlayerCommands defaults = PlayerCommandsOf({});
  EXPECT_EQ(defaults.video.front(), "mpv");
  EXPECT_EQ(defaults.audio.front(), "mpv");
  const PlayerCommands custom = PlayerCommandsOf({{"Video", "vlc --play-and-exit"}, {"Audio", ""}});
  EXPECT_EQ(custom.video, (std::vector<std::string>{"vlc", "--play-and-exit"}));
  EXPECT_EQ(custom.audio, defaults.audio);

  PlayerProcesses& players = PlayerProcesses::Get();
  const auto watch = [&](const char* script, std::chrono::milliseconds limit) {
    int output = -1;
    const pid_t pid = players.Start({"sh", "-c", script}, &output);
    EXPECT_GT(pid, 0);
    const PlayerState state = WaitUntilPlaying(output, limit);
    close(output);
    players.StopAll();
    return state;
  };
  // The percent may come on standard error, after other output.
  EXPECT_EQ(
      watch("echo starting; echo 'AV: 00:00:01 (3%)' >&2; exec sleep 30", std::chrono::seconds(20)),
      PlayerState::kPlaying);
  EXPECT_EQ(watch("echo cannot open file; exit 2", std::chrono::seconds(20)), PlayerState::kEnded);
  EXPECT_EQ(watch("exec sleep 30", std::chrono::milliseconds(200)), PlayerState::kSilent);
}

}  // namespace
}  // namespace kestrio
