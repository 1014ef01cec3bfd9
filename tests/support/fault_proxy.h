// A loopback HTTP proxy between the companion and a test's WebDAV server that injects faults:
// an answer dropped after the server acted, a request body cut short (the server sees the
// client vanish mid-upload), a delay, a slow upload, or an answer of its own (500, 507, 401, a
// body the server never sent), each on requests that carry credentials (those the server acts
// on). One request per connection: each is passed on with
// "Connection: close", so the server's answer ends where its connection does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "companion/fd.h"

namespace QuorvelleDrive::testing {

struct Fault {
  enum Kind {
    dropAnswer,  // pass the request on, read the server's whole answer, close without a byte
    cutRequest,  // pass on the headers and `bytes` of the body, then close both sides
    delay,       // wait `wait`, then pass it on
    slowUpload,  // pass the body on at `bytes` per 10 ms
    answer,      // answer `status` with `body` and never reach the server
  };
  Kind kind = dropAnswer;
  std::string method;  // "" matches any
  std::string path;    // a part of the request target; "" matches any
  int times = 1;       // requests it applies to; -1 for every one
  int status = 500;
  std::string body;
  std::size_t bytes = 0;
  std::chrono::milliseconds wait{0};
};

struct ProxiedRequest;

class FaultProxy {
 public:
  // Forwards to 127.0.0.1:`serverPort`.
  explicit FaultProxy(int serverPort);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  // The server's URL `url` as reached through the proxy.
  std::string through(const std::string& url) const;
  void add(Fault fault);
  void clear();
  // "METHOD target" of every request seen so far, in order.
  std::vector<std::string> requests() const;
  std::size_t count(const std::string& method) const;
  // Faults that have taken effect so far.
  int applied() const { return applied_; }

 private:
  struct Connection;
  void acceptLoop();
  void serve(companion::UniqueFd client);
  bool take(const ProxiedRequest& request, Fault& fault);

  int serverPort_;
  int port_ = 0;
  companion::UniqueFd listener_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> applied_{0};
  mutable std::mutex mutex_;
  std::vector<Fault> faults_;
  std::vector<std::string> seen_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace QuorvelleDrive::testing
