// The listening socket. One thread waits on every connection until its request frame has arrived
// (no thread per connection), then hands the connection to a bounded pool of workers for the rest
// of the exchange. Connections that send no complete request in time are closed, and when open
// connections reach the limit (or the descriptors run out), the one waiting longest for its
// request makes room, so idle clients cannot keep the companion's own user out.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>

#include "companion/fd.h"
#include "companion/framing.h"
#include "companion/worker_pool.h"

namespace QuorvelleDrive::companion {

class StartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ServerLimits {
  // Exchanges served at once; complete requests beyond them wait in arrival order.
  std::size_t workers = 32;
  // Connections open at once, lowered to leave room within the descriptor limit.
  std::size_t connections = 4096;
  // The longest request JSON; a longer frame gets `overLongReply` (nothing when empty) and is
  // closed unread.
  std::uint32_t maxRequest = kMaxRequestJSON;
  std::string overLongReply;
  // A connection whose request frame is not complete by then is closed.
  std::chrono::milliseconds requestTime{5'000};
  // Within an exchange, a read or write that moves nothing for this long ends it.
  std::chrono::milliseconds stallTime{30'000};
};

class Server {
 public:
  using Exchange = WorkerPool::Exchange;
  using Log = std::function<void(const std::string& line)>;

  // Binds `socketPath` (mode 0600), replacing a stale socket file. Throws StartError when the
  // path is too long, is something other than a socket, or another server answers there, and
  // std::system_error when its threads cannot start. Connections from other users are refused;
  // they and threads that cannot start are reported through `log`.
  Server(std::filesystem::path socketPath, Exchange exchange, Log log, ServerLimits limits = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Connections accepted from this user so far, whether or not a request came on them.
  std::size_t accepted() const { return accepted_; }

  // Throws StartError when another server answers at `socketPath`.
  static void requireUnanswered(const std::filesystem::path& socketPath);

 private:
  using Clock = std::chrono::steady_clock;

  // A connection whose request is still arriving.
  struct Arrival {
    UniqueFd fd;
    FrameReader frame;
    Clock::time_point since;
    bool watched = false;  // in the epoll set
  };
  using Arrivals = std::list<Arrival>;  // oldest first, which is also the order they expire in

  void loop();
  void acceptWaiting();
  bool fromOwnUser(int fd);
  void admit(UniqueFd fd, Clock::time_point now);
  // False once the connection has been handed over or dropped.
  bool readFrom(Arrivals::iterator arrival);
  void handOver(Arrivals::iterator arrival);
  void drop(Arrivals::iterator arrival);
  void expire(Clock::time_point now);
  bool makeRoom(Clock::time_point now);
  bool hasRoom(Clock::time_point now) const;
  void setListening(bool on);
  int timeoutMs(Clock::time_point now) const;
  void wake();

  std::filesystem::path path_;
  ServerLimits limits_;
  Log log_;
  std::size_t capacity_;
  UniqueFd listener_;
  ino_t inode_ = 0;
  UniqueFd wake_;
  UniqueFd epoll_;
  Arrivals arrivals_;
  std::unordered_map<int, Arrivals::iterator> byFd_;
  bool listening_ = true;
  std::optional<Clock::time_point> retryAt_;  // accepting again after the descriptors ran out
  std::atomic<bool> paused_{false};           // workers wake the loop when a connection closes
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> accepted_{0};
  std::unique_ptr<WorkerPool> pool_;
  std::thread loop_;  // last: starts once everything above exists
};

}  // namespace QuorvelleDrive::companion
