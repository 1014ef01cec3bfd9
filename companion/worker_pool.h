// The threads that serve exchanges: at most a fixed number, started as work arrives. Exchanges
// beyond them wait in arrival order. A thread that cannot be started (a task limit such as
// systemd's TasksMax) leaves its exchange waiting for the running ones, so one thread, started
// with the pool, always remains.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "companion/fd.h"

namespace QuorvelleDrive::companion {

class WorkerPool {
 public:
  // Serves one connection whose request has arrived.
  using Exchange = std::function<void(int fd, std::string request)>;
  using Log = std::function<void(const std::string& line)>;

  // `finished` runs on a worker after each connection it closes. Throws std::system_error when
  // not even the first thread starts.
  WorkerPool(std::size_t threads, Exchange exchange, Log log, std::function<void()> finished);
  // Shuts down connections being served, closes those waiting, joins every thread.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void submit(UniqueFd fd, std::string request);
  // Connections waiting or being served.
  std::size_t open() const;

 private:
  struct Job {
    UniqueFd fd;
    std::string request;
  };

  void startThread();  // with mutex_ held
  void work();
  void serve(Job& job);

  const std::size_t limit_;
  Exchange exchange_;
  Log log_;
  std::function<void()> finished_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job> waiting_;
  std::set<int> serving_;  // descriptors being served, shut down when the pool stops
  std::size_t idle_ = 0;
  bool short_ = false;  // a thread failed to start; reported once until one starts again
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace QuorvelleDrive::companion
