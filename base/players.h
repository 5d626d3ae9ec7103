// The external media players the preview starts, and how they are named in config.ini:
//
//   [Players]
//   Video=mpv --force-window=yes --geometry=640x360 --term-playing-msg=Playing:${percent-pos}%
//   Audio=mpv --force-window=yes --no-video
//
// A command line is split into words at spaces and tabs; double quotes group words with
// spaces, a backslash before a double quote or a backslash takes it as it is. The file to play
// is added as the last word. The video player is watched: once it writes a "%" to its output
// it plays (mpv prints its playing message whether or not a terminal is attached).
//
// Only the processes started here are ever stopped (never other programs of the same name).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"

namespace kestrio {

std::vector<std::string> SplitCommandLine(std::string_view line);

struct PlayerCommands {
  std::vector<std::string> video;
  std::vector<std::string> audio;
};

// The players of a [Players] section; a missing or empty entry keeps mpv's default.
PlayerCommands PlayerCommandsOf(const IniSection& players);

class PlayerProcesses {
 public:
  static PlayerProcesses& Get();

  // Starts `argv` (argv[0] looked up on PATH) as a child process; its pid, or -1 when it
  // could not be started (errno says why: ENOENT for a player that is not installed). With
  // `output`, the child's standard output and error go into a pipe whose read end (close on
  // exec) is stored there; the caller closes it.
  pid_t Start(const std::vector<std::string>& argv, int* output = nullptr);
  // Stops (SIGTERM, then SIGKILL after a short grace) and reaps every player still running.
  void StopAll();
  std::size_t Running();

 private:
  std::mutex mutex_;
  std::vector<pid_t> children_;
};

enum class PlayerState {
  kPlaying,  // its output held a "%"
  kEnded,    // its output ended (the player exited) without one
  kSilent,   // still running without one when the wait ran out
};

// Reads a player's output (from Start) until it shows a "%", ends, or `limit` passes. Does not
// close `output`.
PlayerState WaitUntilPlaying(int output, std::chrono::milliseconds limit);

}  // namespace kestrio
