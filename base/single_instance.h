// One running copy per user: a lock file held with flock for the life of the process. A second
// copy finds the lock taken and hands over to the first (the GUI raises its window).
#pragma once

#include <filesystem>
#include <string>

namespace kestrio {

// The name every copy of the program uses for its lock and its window's socket.
inline constexpr char kInstanceName[] = "Velmora_iOS_Recovery_2016_For_Windows";

// $XDG_RUNTIME_DIR when set to an existing folder, else /tmp.
std::filesystem::path RuntimeFolder();

class InstanceLock {
 public:
  explicit InstanceLock(const std::string& name = kInstanceName,
                        const std::filesystem::path& folder = RuntimeFolder());
  // Keeps the lock until the process ends (the file descriptor is not closed before).
  ~InstanceLock() = default;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // True when this process holds the lock now (the first copy); false when another process
  // holds it or the lock file cannot be opened... in which case the program runs anyway.
  bool Acquire();
  bool Held() const { return held_; }
  // The socket path the first copy listens on for "raise your window".
  std::filesystem::path SocketPath() const;
  bool LockFileUnavailable() const { return unavailable_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path socket_;
  int fd_ = -1;
  bool held_ = false;
  bool unavailable_ = false;
};

}  // namespace kestrio
