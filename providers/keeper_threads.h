#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace vemo {

// A keeper waits for its provider's lock without a time limit, in slices: between two it
// looks the lock up again (it may have been dropped) and sees whether it is being stopped.
inline constexpr std::chrono::milliseconds kKeeperLockSlice{10};

// The keeper threads of one provider. Several may be alive at once (a provider drops its
// handle on a keeper without ending it). Each keeper sleeps through SleepFor, so Stop can cut
// every sleep short; Stop then joins them all, and no keeper outlives its provider.
//
// Threading: Start from the provider's threads; SleepFor and Stopping from the keepers; Stop
// from the owner's destructor.
class KeeperThreads {
 public:
  KeeperThreads() = default;
  ~KeeperThreads() { Stop(); }
  KeeperThreads(const KeeperThreads&) = delete;
  KeeperThreads& operator=(const KeeperThreads&) = delete;

  // Runs work on a new thread, joining keepers that have ended first. Throws std::system_error
  // when no thread can be had.
  void Start(std::function<void()> work) {
    std::list<Entry> ended;
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      auto next = std::next(it);
      if (it->done->load()) ended.splice(ended.end(), entries_, it);
      it = next;
    }
    for (auto& entry : ended) entry.thread.join();  // already past their last step
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([work = std::move(work), done] {
      work();
      done->store(true);
    });
    entries_.push_back({std::move(thread), std::move(done)});
  }

  // Sleeps for the delay; false when the keepers are being stopped.
  bool SleepFor(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, delay, [this] { return stopping_; });
  }

  bool Stopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
  }

  void Stop() {
    std::list<Entry> entries;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      entries.swap(entries_);
    }
    wake_.notify_all();
    for (auto& entry : entries) entry.thread.join();
  }

 private:
  struct Entry {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::list<Entry> entries_;
};

}  // namespace vemo
