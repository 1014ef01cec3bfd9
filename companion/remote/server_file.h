// What the companion publishes about its WebDAV server for the hosts (server.json beside the
// socket): its URL, whether it answers (and since when it does not, and when the companion looks
// again), whether the credentials are accepted, what the probe found, its quota, and the bodies
// it took and refused as too large. The mount's `qdrive status` and `df` read it; the companion
// reaches the mount no other way. Rewritten whole (through a temporary name) whenever something
// in it changes, and removed when the drive goes. Safe from any thread; its lock is taken last.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace QuorvelleDrive::companion::remote {

struct HttpRequest;
struct HttpResponse;

class ServerFile {
 public:
  // An empty `file` publishes nowhere.
  ServerFile(std::filesystem::path file, std::string url);
  ~ServerFile();
  ServerFile(const ServerFile&) = delete;
  ServerFile& operator=(const ServerFile&) = delete;

  // Every answer the server gave, or its silence: whether it answers, the credentials it took
  // or refused, the largest body it took and one it refused as too large.
  void noteAnswer(const HttpRequest& request, const HttpResponse& response);
  void setCredentials(const std::string& words);
  void setAbilities(std::vector<std::string> lines);
  void setQuota(std::uint64_t available, std::uint64_t used);
  // When the companion's poll looks at the server next.
  void setNextLook(std::time_t when);

 private:
  void write() const;  // the caller holds mutex_

  std::filesystem::path file_;
  std::string url_;
  mutable std::mutex mutex_;
  std::string credentials_ = "not checked";
  std::optional<std::vector<std::string>> abilities_;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> quota_;
  bool answering_ = true;
  std::time_t silentSince_ = 0;
  std::string silence_;  // curl's words for the last failure
  std::optional<std::time_t> nextLook_;
  std::uint64_t largestTaken_ = 0;
  std::optional<std::uint64_t> refused_;  // the body last refused as too large (413)
};

}  // namespace QuorvelleDrive::companion::remote
