// Records what the system hands back to the host: completion arguments and observer calls,
// with the thread they arrived on, and lets a test wait for them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "boundaries/observers.h"

namespace QuorvelleDrive::testing {

// Collects the values a callback receives; get() waits for the first one.
template <class T>
class Calls {
 public:
  void add(T value = {}) {
    std::lock_guard lock(mutex_);
    values_.push_back(std::move(value));
    threads_.push_back(std::this_thread::get_id());
    changed_.notify_all();
  }
  T get(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return !values_.empty(); }))
      throw std::runtime_error("callback never called");
    return values_.front();
  }
  // Waits until `count` calls have arrived; false on time-out.
  bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return values_.size() >= count; });
  }
  std::size_t count() const { return values().size(); }
  std::vector<T> values() const {
    std::lock_guard lock(mutex_);
    return values_;
  }
  std::thread::id thread() const {
    std::lock_guard lock(mutex_);
    return threads_.empty() ? std::thread::id() : threads_.front();
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<T> values_;
  std::vector<std::thread::id> threads_;
};

using Items = std::vector<std::shared_ptr<const FileProviderItem>>;

// One entry per observer call, in order: "items:<count>", "page:none", "page:<bytes>",
// "error:<domain>:<code>", "changes:<anchor>:<moreComing>". `onFinish` runs after each finishing
// call.
class RecordingObserver : public EnumerationObserver, public ChangeObserver {
 public:
  explicit RecordingObserver(std::function<void()> onFinish = {})
      : onFinish_(std::move(onFinish)) {}
  void didEnumerateItems(Items items) override {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(items));
    events_.push_back("items:" + std::to_string(items_.back().size()));
  }
  void finishEnumeratingUpToPage(std::optional<Page> page) override {
    finish(page ? "page:" + *page : "page:none");
  }
  void finishEnumeratingWithError(Error error) override {
    finish("error:" + error.domain() + ":" + std::to_string(error.code()));
  }
  void finishEnumeratingChangesUpToSyncAnchor(SyncAnchor anchor, bool moreComing) override {
    finish("changes:" + anchor + ":" + (moreComing ? "true" : "false"));
  }

  // Waits for the finishing call, then gives every event so far.
  std::vector<std::string> events() const {
    finished_.get();
    std::lock_guard lock(mutex_);
    return events_;
  }
  Items items() const {
    finished_.get();
    std::lock_guard lock(mutex_);
    return items_.empty() ? Items() : items_.front();
  }
  std::thread::id finishThread() const { return finished_.thread(); }

 private:
  void finish(std::string event) {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(event));
    }
    finished_.add(true);
    if (onFinish_) onFinish_();
  }

  mutable std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<Items> items_;
  Calls<bool> finished_;
  std::function<void()> onFinish_;
};

}  // namespace QuorvelleDrive::testing
