// The external media players the preview starts. Only the processes started here are ever
// stopped (never other programs of the same name).
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

namespace kestrio {

class PlayerProcesses {
 public:
  static PlayerProcesses& Get();

  // Starts `argv` (argv[0] looked up on PATH) as a child process; its pid, or -1.
  pid_t Start(const std::vector<std::string>& argv);
  // Stops (SIGTERM, then SIGKILL after a short grace) and reaps every player still running.
  void StopAll();
  std::size_t Running();

 private:
  std::mutex mutex_;
  std::vector<pid_t> children_;
};

}  // namespace kestrio
