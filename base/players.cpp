#include "base/players.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace kestrio {

PlayerProcesses& PlayerProcesses::Get() {
  static PlayerProcesses players;
  return players;
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
      word.push_back(line[++i]);
      inWord = true;
    } else if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word.push_back(c);
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

PlayerCommands PlayerCommandsOf(const IniSection& players) {
  PlayerCommands commands{{"mpv", "--force-window=yes", "--geometry=640x360",
                           "--term-playing-msg=Playing:${percent-pos}%"},
                          {"mpv", "--force-window=yes", "--no-video"}};
  if (auto video = SplitCommandLine(Settings::Text(players, "Video")); !video.empty())
    commands.video = std::move(video);
  if (auto audio = SplitCommandLine(Settings::Text(players, "Audio")); !audio.empty())
    commands.audio = std::move(audio);
  return commands;
}

pid_t PlayerProcesses::Start(const std::vector<std::string>& argv, int* output) {
  if (argv.empty()) {
    errno = EINVAL;
    return -1;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  int pipeEnds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output) {
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
      posix_spawn_file_actions_destroy(&actions);
      return -1;
    }
    // dup2 clears close-on-exec on the child's copies.
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
  }
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output) ::close(pipeEnds[1]);
  if (error != 0) {
    if (output) ::close(pipeEnds[0]);
    errno = error;
    return -1;
  }
  if (output) *output = pipeEnds[0];
  std::lock_guard<std::mutex> guard(mutex_);
  children_.push_back(pid);
  return pid;
}

std::size_t PlayerProcesses::Running() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<pid_t> alive;
  for (pid_t pid : children_) {
    if (::waitpid(pid, nullptr, WNOHANG) == 0) alive.push_back(pid);
  }
  children_ = alive;
  return children_.size();
}

void PlayerProcesses::StopAll() {
  std::lock_guard<std::mutex> guard(mutex_);
  for (pid_t pid : children_) ::kill(pid, SIGTERM);
  for (pid_t pid : children_) {
    bool gone = false;
    for (int i = 0; i < 20 && !gone; ++i) {
      gone = ::waitpid(pid, nullptr, WNOHANG) != 0;
      if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    if (!gone) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  children_.clear();
}

PlayerState WaitUntilPlaying(int output, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return PlayerState::kSilent;
    pollfd watched{output, POLLIN, 0};
    const int ready = ::poll(&watched, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ready == 0 ? PlayerState::kSilent : PlayerState::kEnded;
    const ssize_t got = ::read(output, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return PlayerState::kEnded;
    if (std::string_view(buffer, static_cast<std::size_t>(got)).find('%') != std::string_view::npos)
      return PlayerState::kPlaying;
  }
}

}  // namespace kestrio
