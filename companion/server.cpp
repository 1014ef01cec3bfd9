#include "companion/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace QuorvelleDrive::companion {
namespace fs = std::filesystem;

namespace {

// The extension's limit: it leaves a terminating zero in a 104-byte path field.
constexpr std::size_t kMaxPathBytes = 103;

sockaddr_un addressOf(const fs::path& path) {
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.native().size());
  return address;
}

bool somebodyAnswers(const sockaddr_un& address) {
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return probe.valid() &&
         ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

void clearStale(const fs::path& path, const sockaddr_un& address) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (!S_ISSOCK(st.st_mode))
    throw StartError(path.string() + " exists and is not a socket; not replacing it");
  if (somebodyAnswers(address))
    throw StartError("another companion is already serving " + path.string());
  ::unlink(path.c_str());
}

UniqueFd listenAt(const fs::path& path, const sockaddr_un& address) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) throw StartError(std::string("socket: ") + std::strerror(errno));
  // The container is already private; owner-only on the socket too costs nothing.
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(path.c_str(), 0600) != 0 || ::listen(fd.get(), SOMAXCONN) != 0)
    throw StartError("cannot listen at " + path.string() + ": " + std::strerror(errno));
  return fd;
}

}  // namespace

void Server::requireUnanswered(const fs::path& socketPath) {
  if (socketPath.native().size() <= kMaxPathBytes && somebodyAnswers(addressOf(socketPath)))
    throw StartError("another companion is already serving " + socketPath.string());
}

Server::Server(fs::path socketPath, Exchange exchange, Log log)
    : path_(std::move(socketPath)), exchange_(std::move(exchange)), log_(std::move(log)) {
  if (path_.native().size() > kMaxPathBytes)
    throw StartError("socket path longer than 103 bytes: " + path_.string());
  sockaddr_un address = addressOf(path_);
  clearStale(path_, address);
  listener_ = listenAt(path_, address);
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0) inode_ = st.st_ino;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw StartError("pipe failed");
  wakeRead_ = UniqueFd(fds[0]);
  wakeWrite_ = UniqueFd(fds[1]);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

Server::~Server() {
  char byte = 1;
  while (::write(wakeWrite_.get(), &byte, 1) < 0 && errno == EINTR) {
  }
  acceptor_.join();
  {
    std::lock_guard lock(mutex_);
    for (auto& connection : connections_)
      if (!connection.done) ::shutdown(connection.fd.get(), SHUT_RDWR);
  }
  for (auto& connection : connections_) connection.thread.join();
  // Only our own socket: a successor may already have replaced it.
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && st.st_ino == inode_) ::unlink(path_.c_str());
}

void Server::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (fd.valid()) {
      if (fromOwnUser(fd.get())) start(std::move(fd));
    } else if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) {
      // Out of descriptors: give finishing connections a moment instead of spinning.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reapFinished();
  }
}

// The store is this user's: another user's process gets nothing, not even an error reply.
bool Server::fromOwnUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    if (log_)
      log_(std::string("refused a connection: no peer credentials: ") + std::strerror(errno));
    return false;
  }
  if (peer.uid == ::geteuid()) return true;
  if (log_)
    log_("refused a connection from uid " + std::to_string(peer.uid) + " (pid " +
         std::to_string(peer.pid) + "): not this companion's user");
  return false;
}

void Server::start(UniqueFd fd) {
  std::lock_guard lock(mutex_);
  auto& connection = connections_.emplace_back();
  connection.fd = std::move(fd);
  connection.thread = std::thread([this, &connection] {
    try {
      exchange_(connection.fd.get());
    } catch (const std::exception&) {
      // One failed exchange (out of memory, say) costs its connection, never the companion.
    }
    std::lock_guard done(mutex_);
    ::shutdown(connection.fd.get(), SHUT_RDWR);
    connection.done = true;
  });
}

void Server::reapFinished() {
  std::list<Connection> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), connections_, it);
      it = next;
    }
  }
  for (auto& connection : finished) connection.thread.join();
}

}  // namespace QuorvelleDrive::companion
