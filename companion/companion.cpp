#include "companion/companion.h"

#include "companion/exchange.h"

#include <iostream>

namespace QuorvelleDrive::companion {

namespace {

std::filesystem::path unanswered(const std::filesystem::path& socket) {
  Server::requireUnanswered(socket);
  return socket;
}

Server::Log orStderr(Server::Log log) {
  if (log) return log;
  return [](const std::string& line) { std::cerr << "quorvelle-companion: " << line << std::endl; };
}

}  // namespace

Companion::Companion(const Options& options, Server::Log log)
    : socket_(unanswered(options.socket)),
      catalog_(options.store, options.readOnly),
      handler_(catalog_, options.maxFileSize),
      watcher_(catalog_),
      server_(
          socket_, [this](int fd) { serveConnection(fd, handler_, catalog_.store()); },
          orStderr(std::move(log))) {}

}  // namespace QuorvelleDrive::companion
