// A running companion: the catalog over a store, its watcher and the socket server.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "companion/catalog.h"
#include "companion/handler.h"
#include "companion/server.h"
#include "companion/watcher.h"

namespace QuorvelleDrive::companion {

struct Options {
  std::filesystem::path store;
  std::filesystem::path socket;
  bool readOnly = false;
  std::optional<std::uint64_t> maxFileSize;
};

class Companion {
 public:
  // Serving once constructed; throws StartError or std::runtime_error when it cannot start.
  // Refused connections are reported through `log` (stderr when empty). An over-long request is
  // always refused with badRequest, whatever `limits` says.
  explicit Companion(const Options& options, Server::Log log = {}, ServerLimits limits = {});

  Catalog& catalog() { return catalog_; }
  const std::filesystem::path& socketPath() const { return server_.path(); }

 private:
  // First: a companion already serving the socket is the clearer refusal than its store lock.
  std::filesystem::path socket_;
  Catalog catalog_;
  Handler handler_;
  Watcher watcher_;
  Server server_;  // last: stops taking requests before anything else goes
};

}  // namespace QuorvelleDrive::companion
