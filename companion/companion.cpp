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

std::unique_ptr<Backend> backendFor(const Options& options) {
  if (options.remote)
    return std::make_unique<remote::RemoteDrive>(*options.remote, options.readOnly);
  return std::make_unique<Catalog>(options.store, options.readOnly);
}

}  // namespace

Companion::Companion(const Options& options, Server::Log log, ServerLimits limits)
    : socket_(unanswered(options.socket)),
      backend_(backendFor(options)),
      watcher_(options.remote ? nullptr
                              : std::make_unique<Watcher>(static_cast<Catalog&>(*backend_))),
      handler_(*backend_, options.maxFileSize),
      server_(
          socket_,
          [this](int fd, std::string request) { serveExchange(fd, request, handler_, *backend_); },
          orStderr(std::move(log)), withRefusal(std::move(limits))) {}

}  // namespace QuorvelleDrive::companion
