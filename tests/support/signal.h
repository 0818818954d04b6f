// An event that one thread sets and another waits on with a bound: a test thread,
// a point where the platform stops a thread, or a completion routine standing in
// for the platform's client.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quorvex::test {

class Signal {
 public:
  void set() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    cv_.notify_all();
  }
  bool wait(std::chrono::milliseconds bound = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, bound, [this] { return set_; });
  }
  bool is_set() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
  }
  void reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

}  // namespace quorvex::test
