#include "base/unique_fd.h"

#include <unistd.h>

namespace kestrio {

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace kestrio
