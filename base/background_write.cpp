#include "base/background_write.h"

#include <utility>

namespace kestrio {

BackgroundWrite::BackgroundWrite() : thread_([this] { Run(); }) {}

BackgroundWrite::~BackgroundWrite() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void BackgroundWrite::Start(std::function<bool()> write) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    write_ = std::move(write);
    busy_ = true;
  }
  wake_.notify_all();
}

bool BackgroundWrite::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] { return !busy_; });
  return result_;
}

void BackgroundWrite::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // A write handed over is run before the thread stops.
    wake_.wait(lock, [this] { return stop_ || write_ != nullptr; });
    if (write_ == nullptr) return;
    const std::function<bool()> write = std::exchange(write_, nullptr);
    lock.unlock();
    bool result = false;
    try {
      result = write();
    } catch (...) {
      // A write that throws failed.
    }
    lock.lock();
    result_ = result;
    busy_ = false;
    wake_.notify_all();
  }
}

}  // namespace kestrio
