#include "base/players.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace kestrio {

PlayerProcesses& PlayerProcesses::Get() {
  static PlayerProcesses players;
  return players;
}

pid_t PlayerProcesses::Start(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
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

}  // namespace kestrio
