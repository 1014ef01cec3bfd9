#include "companion/companion.h"

#include "companion/exchange.h"

#include <iostream>

namespace QuorvelleDrive::companion {

namespace {

std::filesystem::path unanswered(const std::filesystem::path& socket) {
  Server::requireUnanswered(socket);
  return socket;
}

ServerLimits withRefusal(ServerLimits limits) {
  limits.overLongReply = overLongReply();
  return limits;
}

Server::Log orStderr(Server::Log log) {
  if (log) return log;
  return [](const std::string& line) { std::cerr << "quorvelle-companion: " << line << std::endl; };
}

}  // namespace

Companion::Companion(const Options& options, Server::Log log, ServerLimits limits)
    : socket_(unanswered(options.socket)),
      catalog_(options.store, options.readOnly),
      handler_(catalog_, options.maxFileSize),
      watcher_(catalog_),
      server_(
          socket_,
          [this](int fd, std::string request) {
            serveExchange(fd, request, handler_, catalog_.store());
          },
          orStderr(std::move(log)), withRefusal(std::move(limits))) {}

}  // namespace QuorvelleDrive::companion
