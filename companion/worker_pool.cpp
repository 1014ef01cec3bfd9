#include "companion/worker_pool.h"

#include <sys/socket.h>

#include <system_error>

namespace QuorvelleDrive::companion {

WorkerPool::WorkerPool(std::size_t threads, Exchange exchange, Log log,
                       std::function<void()> finished)
    : limit_(threads == 0 ? 1 : threads),
      exchange_(std::move(exchange)),
      log_(std::move(log)),
      finished_(std::move(finished)) {
  threads_.reserve(limit_);  // so that starting one never fails for want of room to keep it
  std::lock_guard lock(mutex_);
  threads_.emplace_back([this] { work(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    waiting_.clear();
    for (int fd : serving_) ::shutdown(fd, SHUT_RDWR);
  }
  ready_.notify_all();
  for (auto& thread : threads_) thread.join();
}

void WorkerPool::submit(UniqueFd fd, std::string request) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    waiting_.push_back({std::move(fd), std::move(request)});
    if (idle_ < waiting_.size() && threads_.size() < limit_) startThread();
  }
  ready_.notify_one();
}

std::size_t WorkerPool::open() const {
  std::lock_guard lock(mutex_);
  return waiting_.size() + serving_.size();
}

void WorkerPool::startThread() {
  try {
    threads_.emplace_back([this] { work(); });
    short_ = false;
  } catch (const std::system_error& error) {
    if (!short_ && log_)
      log_("cannot start another thread (" + std::to_string(threads_.size()) +
           " serving): " + error.what() + "; requests wait for a free one");
    short_ = true;
  }
}

void WorkerPool::work() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      ++idle_;
      ready_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
      --idle_;
      if (stopping_) return;
      job = std::move(waiting_.front());
      waiting_.pop_front();
      serving_.insert(job.fd.get());
    }
    serve(job);
    if (finished_) finished_();
  }
}

void WorkerPool::serve(Job& job) {
  try {
    exchange_(job.fd.get(), std::move(job.request));
  } catch (const std::exception&) {
    // One failed exchange (out of memory, say) costs its connection, never the companion.
  }
  // Closed under the lock, so that stopping never shuts down a descriptor number reused since.
  std::lock_guard lock(mutex_);
  serving_.erase(job.fd.get());
  job.fd.reset();
}

}  // namespace QuorvelleDrive::companion
