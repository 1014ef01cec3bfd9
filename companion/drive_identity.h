// Which drive a companion serves, published beside its socket as `drive.json` so that a host can
// tell one drive from another (and never replays one drive's pending changes into another).
#pragma once

#include <filesystem>

#include "platform/json.h"

namespace QuorvelleDrive::companion {

// Writes `identity` as `<container>/drive.json` (mode 0600) through a temporary file and a
// rename, so a reader sees the old file or the new one, never half of one. Throws
// std::runtime_error naming the file when it cannot.
void publishIdentity(const std::filesystem::path& container, const json::object& identity);

// What a serving companion publishes: {"drive": <absolute store path, or the server URL>,
// "pid": <this process>}.
json::object identityFor(const std::string& drive);

// The identity published for the life of a serving companion: removed when it stops cleanly.
class PublishedIdentity {
 public:
  PublishedIdentity(std::filesystem::path container, const json::object& identity);
  ~PublishedIdentity();
  PublishedIdentity(const PublishedIdentity&) = delete;
  PublishedIdentity& operator=(const PublishedIdentity&) = delete;

 private:
  std::filesystem::path file_;
};

}  // namespace QuorvelleDrive::companion
