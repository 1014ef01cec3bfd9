// A companion serving a fresh store in this process, with ways to talk to it: the system's own
// AppClient, and raw frames that test code writes and reads with no client in between.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "channel/app_client.h"
#include "companion/companion.h"
#include "support/drive_fixture.h"
#include "support/temp_dir.h"

namespace QuorvelleDrive::testing {

namespace qc = QuorvelleDrive::companion;

// A connection to `socket` speaking raw bytes.
class RawConnection {
 public:
  explicit RawConnection(const std::filesystem::path& socket);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool send(std::string_view bytes);
  // Tells the companion that no more bytes will come.
  void finishSending();
  // The reply's JSON and body (as its "size" announces); none when the companion closed first.
  std::optional<std::pair<json::object, std::string>> receive();
  // True when the companion closed the connection without another byte.
  bool closedByPeer();
  void close();

 private:
  int fd_;
};

std::string requestFrame(const json::object& request, std::string_view body = {});

class CompanionTest : public ::testing::Test {
 protected:
  CompanionTest() { start(); }

  void start(qc::Options options = {});
  void stop() { companion_.reset(); }
  void restart() {
    stop();
    start(last_);
  }

  std::filesystem::path store() const { return temp_.path() / "store"; }
  std::filesystem::path socket() const { return temp_.path() / "drive.sock"; }
  qc::Catalog& catalog() { return companion_->catalog(); }

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
  // Names in a folder listing, in listing order.
  std::vector<std::string> names(const std::string& folder);

  // The error word of a raw exchange, or "" when it succeeded.
  std::string word(const json::object& request, std::string_view body = {});

  TempDir temp_;
  AppClient client_{(temp_.path() / "drive.sock").string()};

 private:
  qc::Options last_;
  std::optional<qc::Companion> companion_;
};

}  // namespace QuorvelleDrive::testing
