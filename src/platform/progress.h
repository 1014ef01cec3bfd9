// The platform's progress object: a total and a completed unit count, readable from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace QuorvelleDrive {

class Progress {
 public:
  static std::shared_ptr<Progress> withTotalUnitCount(std::int64_t total) {
    return std::make_shared<Progress>(total);
  }
  explicit Progress(std::int64_t total) : total_(total) {}

  std::int64_t totalUnitCount() const { return total_.load(); }
  std::int64_t completedUnitCount() const { return completed_.load(); }
  void setCompletedUnitCount(std::int64_t completed) { completed_.store(completed); }

 private:
  std::atomic<std::int64_t> total_;
  std::atomic<std::int64_t> completed_{0};
};

}  // namespace QuorvelleDrive
