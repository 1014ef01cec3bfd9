// A relay between a mount and the real companion, on the socket the mount uses: it passes each
// exchange through and records the requests, so that tests can count what reaches the
// companion. It can also hold the companion's replies to changes back until its mode changes
// (a slow companion, or, when the mount dies meanwhile, a reply the mount never recorded) or
// refuse changes while passing lookups and listings (a companion that is busy for writes).
#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "companion/fd.h"

namespace QuorvelleDrive::testing {

class CompanionRelay {
 public:
  // holdFetches: as holdReplies, for the replies that carry a file's contents.
  enum class Mode { pass, holdReplies, refuseChanges, holdFetches };
  struct Request {
    std::string op;
    std::string name;      // empty when the request names nothing
    std::size_t size = 0;  // bytes carried
  };

  // Listens at `socket` and forwards to the companion at `upstream`.
  CompanionRelay(std::filesystem::path socket, std::filesystem::path upstream);
  ~CompanionRelay();
  CompanionRelay(const CompanionRelay&) = delete;
  CompanionRelay& operator=(const CompanionRelay&) = delete;

  void setMode(Mode mode) { mode_ = mode; }
  // The requests that reached the companion, in order.
  std::vector<Request> requests() const;
  // Requests with `op` (and `name`, when given) so far.
  int count(const std::string& op, const std::string& name = "") const;
  void forget();

 private:
  void acceptLoop();
  void serve(companion::UniqueFd client);
  bool readAll(int fd, char* data, std::size_t size) const;

  std::filesystem::path socket_;
  std::filesystem::path upstream_;
  companion::UniqueFd listener_;
  std::atomic<Mode> mode_{Mode::pass};
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

}  // namespace QuorvelleDrive::testing
