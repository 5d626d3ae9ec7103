// DoneFlag: raised by a worker when its work is over; read at any time, or waited for with a
// timeout, so that a waiter that also watches for something else (an interrupt) wakes as
// soon as the work ends rather than at its next poll.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kestrio {

class DoneFlag {
 public:
  explicit DoneFlag(bool done = false) : done_(done) {}
  DoneFlag(const DoneFlag&) = delete;
  DoneFlag& operator=(const DoneFlag&) = delete;

  void Set() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      done_.store(true);
    }
    changed_.notify_all();
  }
  void Clear() {
    const std::lock_guard<std::mutex> lock(mutex_);
    done_.store(false);
  }
  bool IsSet() const { return done_.load(); }
  // Whether the flag is raised, waiting at most `timeout` for it.
  bool WaitFor(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return done_.load(); });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::atomic<bool> done_;
};

}  // namespace kestrio
