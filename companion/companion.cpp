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

// What the remote drive finds about its server is published beside the socket, where
// `qdrive status` looks; its lines go to the companion's log.
std::unique_ptr<Backend> backendFor(const Options& options, const Server::Log& log) {
  auto serverFile = options.socket.parent_path() / "server.json";
  if (!options.remote) {
    std::error_code ignored;  // one left by a remote companion that was killed
    std::filesystem::remove(serverFile, ignored);
    return std::make_unique<Catalog>(options.store, options.readOnly);
  }
  remote::RemoteOptions remote = *options.remote;
  if (remote.serverFile.empty()) remote.serverFile = serverFile;
  if (!remote.log) remote.log = log;
  return std::make_unique<remote::RemoteDrive>(remote, options.readOnly);
}

}  // namespace

Companion::Companion(const Options& options, Server::Log log, ServerLimits limits)
    : socket_(unanswered(options.socket)),
      backend_(backendFor(options, orStderr(log))),
      watcher_(options.remote ? nullptr
                              : std::make_unique<Watcher>(static_cast<Catalog&>(*backend_))),
      handler_(*backend_, options.maxFileSize),
      server_(
          socket_,
          [this](int fd, std::string request) { serveExchange(fd, request, handler_, *backend_); },
          orStderr(std::move(log)), withRefusal(std::move(limits))) {}

}  // namespace QuorvelleDrive::companion
