// The listening socket: one thread per connection, so a slow or stalled client holds only its
// own thread. Stopping shuts every open connection down and joins its thread.
#pragma once

#include <filesystem>
#include <functional>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "companion/fd.h"

namespace QuorvelleDrive::companion {

class StartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Server {
 public:
  using Exchange = std::function<void(int fd)>;
  using Log = std::function<void(const std::string& line)>;

  // Binds `socketPath` (mode 0600), replacing a stale socket file. Throws StartError when the
  // path is too long, is something other than a socket, or another server answers there.
  // Connections from other users are refused and reported through `log`.
  Server(std::filesystem::path socketPath, Exchange exchange, Log log);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Throws StartError when another server answers at `socketPath`.
  static void requireUnanswered(const std::filesystem::path& socketPath);

 private:
  struct Connection {
    UniqueFd fd;
    std::thread thread;
    bool done = false;
  };

  void acceptLoop();
  bool fromOwnUser(int fd);
  void start(UniqueFd fd);
  void reapFinished();

  std::filesystem::path path_;
  Exchange exchange_;
  Log log_;
  UniqueFd listener_;
  ino_t inode_ = 0;
  UniqueFd wakeRead_;
  UniqueFd wakeWrite_;
  std::mutex mutex_;
  std::list<Connection> connections_;
  std::thread acceptor_;  // last: starts once everything above exists
};

}  // namespace QuorvelleDrive::companion
