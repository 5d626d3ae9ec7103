// BackgroundWrite: one write at a time on a thread of its own, so that the kernel's copy of
// a large output overlaps the making of the next piece of it (spilled blocks, a JSON
// document). The caller starts a write, goes on filling its next buffer, and waits for the
// write before it starts the next one or reuses the bytes.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrio {

class BackgroundWrite {
 public:
  // Starts the thread; where none can be started, each write runs in Start itself.
  BackgroundWrite();
  BackgroundWrite(const BackgroundWrite&) = delete;
  BackgroundWrite& operator=(const BackgroundWrite&) = delete;
  // Waits for the write in progress.
  ~BackgroundWrite();

  // Runs `write` on the thread. The write started before must have been waited for.
  void Start(std::function<bool()> write);
  // Waits for the write started last and answers what it answered; true when none was.
  bool Wait();

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::function<bool()> write_;  // the write to run, until the thread takes it
  bool busy_ = false;            // a write was started and is not done
  bool result_ = true;
  bool stop_ = false;
  std::thread thread_;  // not joinable when no thread could be started
};

}  // namespace kestrio
