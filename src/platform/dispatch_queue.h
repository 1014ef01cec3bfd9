// A concurrent dispatch queue for blocking work.
//
// Every submitted task runs on a worker thread of its own: a worker is started whenever the
// queued tasks outnumber the idle workers, up to kMaxWorkers; idle workers retire after
// kIdleRetirement. Tasks keep their captures alive until they have run. The queue's state outlives
// the DispatchQueue object: destroying the queue (even from inside one of its own tasks) neither
// waits for nor cancels queued work, and never joins a worker from itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace QuorvelleDrive {

class DispatchQueue {
 public:
  static constexpr std::size_t kMaxWorkers = 512;
  static constexpr std::chrono::milliseconds kIdleRetirement{2000};

  explicit DispatchQueue(std::string label);
  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  // The shared concurrent queue of default quality of service; lives until process exit.
  static DispatchQueue& global();

  const std::string& label() const { return label_; }
  // Queues `task` and returns at once. Safe from any thread. An exception escaping `task` is
  // swallowed so that it cannot end the process.
  void async(std::function<void()> task);

 private:
  struct State;
  std::string label_;
  std::shared_ptr<State> state_;
};

}  // namespace QuorvelleDrive
