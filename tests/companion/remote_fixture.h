// The companion in this process keeping its drive on a real WebDAV server that the test started
// (one of every kind, as a parameter), optionally reached through a fault-injecting proxy.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <span>
#include <string>

#include "companion/companion_fixture.h"
#include "companion/remote/remote_drive.h"
#include "support/dav_server.h"
#include "support/fault_proxy.h"
#include "support/long_run.h"

namespace QuorvelleDrive::testing {

class RemoteCompanionTest : public CompanionTest, public ::testing::WithParamInterface<DavKind> {
 protected:
  void SetUp() override {
    stop();
    server_ = std::make_unique<DavServer>(GetParam(), temp_.path() / "server");
    if (!server_->failure().empty()) GTEST_SKIP() << server_->failure();
    if (withProxy()) proxy_ = std::make_unique<FaultProxy>(server_->port());
    startRemote();
  }
  // Whether the companion reaches the server through the fault proxy.
  virtual bool withProxy() const { return false; }

  std::string driveUrl() const { return proxy_ ? proxy_->through(server_->url()) : server_->url(); }
  companion::remote::RemoteOptions remote(const std::filesystem::path& state) const {
    companion::remote::RemoteOptions options;
    options.url = driveUrl();
    options.netrc = server_->netrc();
    // Polls come from the tests, so that each one knows what the index has seen.
    options.poll = std::chrono::milliseconds(0);
    options.state = state;
    return options;
  }
  void startRemote() {
    companion::Options options;
    options.remote = remote(temp_.path() / "state");
    start(options);
  }
  companion::remote::RemoteDrive& drive() {
    return dynamic_cast<companion::remote::RemoteDrive&>(companion().backend());
  }
  void poll() { ASSERT_TRUE(drive().poll()); }
  std::string onServer(const std::string& path) { return readWholeFile(server_->files() / path); }
  bool existsOnServer(const std::string& path) {
    return std::filesystem::exists(server_->files() / path);
  }
  // A file put on the server by someone else, with curl.
  void putOnServer(const std::string& path, const std::string& bytes) {
    auto local = temp_.path() / "upload";
    std::ofstream(local, std::ios::binary) << bytes;
    ASSERT_EQ(server_->curl({"-T", local.string()}, path) / 100, 2) << path;
  }
  std::string idOf(const std::string& folder, const std::string& name) {
    Reply reply = call({{"op", "list"}, {"id", folder}});
    for (auto& entry : reply.json.at("items").as_array())
      if (entry.at("name").as_string() == name) return std::string(entry.at("id").as_string());
    return "";
  }
  // Names in a folder on the server, the drive's own scratch names included.
  std::vector<std::string> serverNames(const std::string& folder = "") {
    std::vector<std::string> found;
    for (auto& entry : std::filesystem::directory_iterator(server_->files() / folder))
      found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
  }

  std::unique_ptr<DavServer> server_;
  std::unique_ptr<FaultProxy> proxy_;
};

// A second machine: its own companion, state and socket on the same server.
class OtherMachine {
 public:
  OtherMachine(const companion::remote::RemoteOptions& remote, const std::filesystem::path& socket)
      : socket_(socket), companion_(options(remote, socket)), client_(socket.string()) {}

  companion::remote::RemoteDrive& drive() {
    return dynamic_cast<companion::remote::RemoteDrive&>(companion_.backend());
  }
  Reply call(const json::object& request, std::string_view body = {}) {
    return client_.call(request, std::as_bytes(std::span(body)));
  }

 private:
  static companion::Options options(const companion::remote::RemoteOptions& remote,
                                    const std::filesystem::path& socket) {
    companion::Options options;
    options.socket = socket;
    options.remote = remote;
    options.remote->log = [](const std::string&) {};
    return options;
  }
  std::filesystem::path socket_;
  companion::Companion companion_;
  AppClient client_;
};

}  // namespace QuorvelleDrive::testing
