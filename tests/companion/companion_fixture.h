// A companion serving a fresh store in this process, with ways to talk to it: the system's own
// AppClient, and raw frames that test code writes and reads with no client in between.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "channel/app_client.h"
#include "companion/companion.h"
#include "companion/fd.h"
#include "support/drive_fixture.h"
#include "support/temp_dir.h"

namespace QuorvelleDrive::testing {

namespace qc = QuorvelleDrive::companion;

// Another user's uid. No account needs it: the kernel reports whatever uid a peer runs as.
inline constexpr uid_t kStranger = 54321;

// Permission bits of `path` itself (not of a link's target).
mode_t modeOf(const std::filesystem::path& path);

// A connection to `socket` speaking raw bytes. It only makes system calls, so a forked child of
// the multi-threaded test may use it. Receiving gives up after 30 s without a byte.
class RawConnection {
 public:
  explicit RawConnection(const std::filesystem::path& socket);

  bool connected() const { return fd_.valid(); }
  bool send(std::string_view bytes);
  // Tells the companion that no more bytes will come.
  void finishSending();
  // The reply's JSON; none when the companion closed first.
  std::optional<json::object> receive();
  // Every byte until the companion closes the connection (or 30 s pass without one).
  std::string receiveRest();
  // True when the companion closed the connection without another byte (false when it is still
  // open after the 30 s); consumes nothing.
  bool closedByPeer();

 private:
  qc::UniqueFd fd_;
};

std::string requestFrame(const json::object& request, std::string_view body = {});
// The error word of one exchange of `bytes` on a new connection to `socket`, or "" when it
// succeeded: "<closed>" when the companion closed without a byte, "<cut reply>" when its reply
// broke off.
std::string exchangeWord(const std::filesystem::path& socket, std::string_view bytes);
// A new file's and a rewrite's request, announcing `bytes` as their body.
json::object fileRequest(const std::string& parent, const std::string& name,
                         std::string_view bytes);
json::object writeRequest(const std::string& id, std::string_view bytes, const std::string& base);

class CompanionTest : public ::testing::Test {
 protected:
  CompanionTest() { start(); }

  // Replaces a running companion; the store and socket are always the fixture's own.
  void start(qc::Options options = {});
  void stop() { companion_.reset(); }
  void restart() { start(last_); }

  std::filesystem::path store() const { return temp_.path() / "store"; }
  std::filesystem::path socket() const { return temp_.path() / "drive.sock"; }

  // Through AppClient: the reply, or a test failure when the exchange throws.
  Reply call(const json::object& request, std::string_view body = {});
  json::object item(const std::string& id);
  // The id of a new file or folder.
  std::string createFile(const std::string& parent, const std::string& name,
                         const std::string& bytes);
  std::string createDir(const std::string& parent, const std::string& name);
  std::string contents(const std::string& id);
  std::string version(const std::string& id);
  std::uint64_t anchor();
  // `key` of each item a "list" or "all" request answers with, in reply order.
  std::vector<std::string> listed(const json::object& request, const char* key = "name");
  std::vector<std::string> names(const std::string& folder) {
    return listed({{"op", "list"}, {"id", folder}});
  }
  qc::Companion& companion() { return *companion_; }
  // Lines the companion logged (refused connections).
  std::string log();

  // exchangeWord() with this companion, for a request or for any bytes.
  std::string word(const json::object& request, std::string_view body = {}) {
    return rawWord(requestFrame(request, body));
  }
  std::string rawWord(std::string_view bytes) { return exchangeWord(socket(), bytes); }

  TempDir temp_;
  AppClient client_{(temp_.path() / "drive.sock").string()};

 private:
  qc::Options last_;
  std::mutex logMutex_;
  std::string log_;
  std::optional<qc::Companion> companion_;
};

}  // namespace QuorvelleDrive::testing
