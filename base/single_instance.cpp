#include "base/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kestrio {

std::filesystem::path RuntimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code error;
  if (runtime && runtime[0] == '/' && std::filesystem::is_directory(runtime, error)) return runtime;
  return "/tmp";
}

InstanceLock::InstanceLock(const std::string& name, const std::filesystem::path& folder)
    : path_(folder / (name + ".lock")), socket_(folder / (name + ".socket")) {}

std::filesystem::path InstanceLock::SocketPath() const { return socket_; }

bool InstanceLock::Acquire() {
  if (held_) return true;
  if (fd_ < 0) fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    // No lock can be had (read-only folder): the program runs without the guard.
    unavailable_ = true;
    return true;
  }
  int result;
  do {
    result = ::flock(fd_, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  held_ = result == 0;
  return held_;
}

}  // namespace kestrio
