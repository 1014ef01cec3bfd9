// A running companion: the catalog over a store and its watcher, or the drive on a WebDAV
// server; and the socket server.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "companion/catalog.h"
#include "companion/handler.h"
#include "companion/remote/remote_drive.h"
#include "companion/server.h"
#include "companion/watcher.h"

namespace QuorvelleDrive::companion {

struct Options {
  std::filesystem::path store;
  std::filesystem::path socket;
  bool readOnly = false;
  std::optional<std::uint64_t> maxFileSize;
  std::optional<remote::RemoteOptions> remote;  // set: the drive lives there, not in `store`
};

class Companion {
 public:
  // Serving once constructed; throws StartError or std::runtime_error when it cannot start.
  // Refused connections are reported through `log` (stderr when empty). An over-long request is
  // always refused with badRequest, whatever `limits` says.
  explicit Companion(const Options& options, Server::Log log = {}, ServerLimits limits = {});

  Backend& backend() { return *backend_; }
  const std::filesystem::path& socketPath() const { return server_.path(); }

 private:
  // First: a companion already serving the socket is the clearer refusal than its store lock.
  std::filesystem::path socket_;
  std::unique_ptr<Backend> backend_;
  std::unique_ptr<Watcher> watcher_;  // the local store only
  Handler handler_;
  Server server_;  // last: stops taking requests before anything else goes
};

}  // namespace QuorvelleDrive::companion
