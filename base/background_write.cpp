#include "base/background_write.h"

#include <system_error>
#include <utility>

namespace kestrio {
namespace {

// What `write` answers; false when it throws.
bool RunWrite(const std::function<bool()>& write) {
  try {
    return write();
  } catch (...) {
    return false;
  }
}

}  // namespace

BackgroundWrite::BackgroundWrite() {
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    // No thread: Start runs each write itself.
  }
}

BackgroundWrite::~BackgroundWrite() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void BackgroundWrite::Start(std::function<bool()> write) {
  if (!thread_.joinable()) {
    result_ = RunWrite(write);
    return;
  }
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
    const bool result = RunWrite(write);
    lock.lock();
    result_ = result;
    busy_ = false;
    wake_.notify_all();
  }
}

}  // namespace kestrio
