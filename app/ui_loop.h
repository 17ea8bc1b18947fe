#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace vemo {

// The UI thread of the terminal stand-in: tasks posted from any thread run one after another
// on the thread that calls Run, until Quit.
class UiLoop {
 public:
  void Post(std::function<void()> task) {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    cv_.notify_one();
  }
  void Quit() { Post(nullptr); }
  // Exceptions of a task leave Run.
  void Run() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return !tasks_.empty(); });
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      if (!task) return;
      task();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace vemo
