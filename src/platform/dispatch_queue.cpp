#include "platform/dispatch_queue.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

namespace QuorvelleDrive {

// Workers each own a reference, so the state survives the DispatchQueue that created it; that is
// what lets a task destroy its own queue.
struct DispatchQueue::State : std::enable_shared_from_this<State> {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;
  std::size_t workers = 0;  // Live workers, counting ones still being started.
  std::size_t idle = 0;     // Live workers free to take a task, counting ones still being started.
  bool closing = false;

  void growIfNeeded(std::unique_lock<std::mutex>& lock);
  bool startWorker(std::unique_lock<std::mutex>& lock);
  void work();
  static void run(std::function<void()> task) noexcept;
};

// Called and returns with `lock` held. Tasks block without a time-out, so any queued task that no
// idle worker will pick up gets a new worker of its own, up to the cap.
void DispatchQueue::State::growIfNeeded(std::unique_lock<std::mutex>& lock) {
  while (idle < tasks.size() && workers < kMaxWorkers) {
    if (!startWorker(lock)) return;
  }
}

// When the system refuses another thread, the task simply stays queued: an existing worker takes
// it, and the next async() or finished task tries to grow again.
bool DispatchQueue::State::startWorker(std::unique_lock<std::mutex>& lock) {
  ++workers;
  ++idle;
  lock.unlock();
  try {
    std::thread(&State::work, shared_from_this()).detach();
  } catch (const std::exception&) {
    lock.lock();
    --workers;
    --idle;
    return false;
  }
  lock.lock();
  return true;
}

void DispatchQueue::State::work() {
  std::unique_lock lock(mutex);
  auto ready = [this] { return !tasks.empty() || closing; };
  while (wake.wait_for(lock, kIdleRetirement, ready) && !tasks.empty()) {
    std::function<void()> task = std::move(tasks.front());
    tasks.pop_front();
    --idle;
    lock.unlock();
    run(std::move(task));
    lock.lock();
    ++idle;
    growIfNeeded(lock);
  }
  --idle;
  --workers;
}

// Takes the task by value so that its captures die here, on the worker, before the next wait.
void DispatchQueue::State::run(std::function<void()> task) noexcept {
  try {
    task();
  } catch (...) {
    // A failing task must not take the worker, or the process, down with it.
  }
}

DispatchQueue::DispatchQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {}

DispatchQueue::~DispatchQueue() {
  {
    std::unique_lock lock(state_->mutex);
    state_->closing = true;
    state_->growIfNeeded(lock);
  }
  state_->wake.notify_all();
}

DispatchQueue& DispatchQueue::global() {
  static DispatchQueue queue("com.quorvelle.drive.global-default");
  return queue;
}

void DispatchQueue::async(std::function<void()> task) {
  {
    std::unique_lock lock(state_->mutex);
    state_->tasks.push_back(std::move(task));
    state_->growIfNeeded(lock);
  }
  state_->wake.notify_one();
}

}  // namespace QuorvelleDrive
