#include "companion/companion.h"

#include "companion/exchange.h"

namespace QuorvelleDrive::companion {

namespace {

std::filesystem::path unanswered(const std::filesystem::path& socket) {
  Server::requireUnanswered(socket);
  return socket;
}

}  // namespace

Companion::Companion(const Options& options)
    : socket_(unanswered(options.socket)),
      catalog_(options.store, options.readOnly),
      handler_(catalog_, options.maxFileSize),
      watcher_(catalog_),
      server_(socket_, [this](int fd) { serveExchange(fd, handler_, catalog_.store()); }) {}

}  // namespace QuorvelleDrive::companion
