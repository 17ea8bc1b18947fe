#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

namespace vemo {

// The UI thread of the terminal stand-in: tasks posted from any thread run one after another
// on the thread that calls Run, until Quit. It sleeps while there is nothing to do.
class UiLoop {
 public:
  void Post(std::function<void()> task) {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    cv_.notify_one();
  }
  // Run returns the code once the task that called Quit has finished.
  void Quit(int code) {
    {
      std::lock_guard lock(mutex_);
      exit_code_ = code;
    }
    cv_.notify_one();
  }
  int Run() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return exit_code_ || !tasks_.empty(); });
        if (exit_code_) return *exit_code_;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  std::optional<int> exit_code_;
};

}  // namespace vemo
