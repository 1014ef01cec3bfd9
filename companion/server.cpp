#include "companion/server.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>

namespace QuorvelleDrive::companion {
namespace fs = std::filesystem;

namespace {

// The extension's limit: it leaves a terminating zero in a 104-byte path field.
constexpr std::size_t kMaxPathBytes = 103;
// A connection that has waited this long for its request gives way to a new one when the
// limit is reached; a younger one is more likely a client still sending.
constexpr std::chrono::milliseconds kEvictableAfter{500};
// After accept() ran out of descriptors with nothing to close, the pause before trying again.
constexpr std::chrono::milliseconds kRetryAfter{20};
// Connections accepted in one go before the arrivals get their turn.
constexpr int kAcceptBatch = 64;

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

// Non-blocking, so that the loop accepts until nothing is left waiting.
UniqueFd listenAt(const fs::path& path, const sockaddr_un& address) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) throw StartError(std::string("socket: ") + std::strerror(errno));
  // The container is already private; owner-only on the socket too costs nothing.
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(path.c_str(), 0600) != 0 || ::listen(fd.get(), SOMAXCONN) != 0)
    throw StartError("cannot listen at " + path.string() + ": " + std::strerror(errno));
  return fd;
}

// Connections may take what the descriptor limit leaves after the store's own files, the
// index and the workers' files.
std::size_t descriptorRoom() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return std::numeric_limits<std::size_t>::max();
  rlim_t reserve = std::min<rlim_t>(limit.rlim_cur / 2, 256);
  return static_cast<std::size_t>(std::max<rlim_t>(limit.rlim_cur - reserve, 4));
}

bool watch(int epoll, int fd, std::uint32_t events, int op = EPOLL_CTL_ADD) {
  epoll_event event{};
  event.events = events;
  event.data.fd = fd;
  return ::epoll_ctl(epoll, op, fd, &event) == 0;
}

// Within an exchange the worker blocks on the socket; these bound how long it waits for a
// client that stopped reading or sending.
void boundStalls(int fd, std::chrono::milliseconds stall) {
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(stall.count() / 1000);
  limit.tv_usec = static_cast<suseconds_t>(stall.count() % 1000 * 1000);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

}  // namespace

void Server::requireUnanswered(const fs::path& socketPath) {
  if (socketPath.native().size() <= kMaxPathBytes && somebodyAnswers(addressOf(socketPath)))
    throw StartError("another companion is already serving " + socketPath.string());
}

Server::Server(fs::path socketPath, Exchange exchange, Log log, ServerLimits limits)
    : path_(std::move(socketPath)),
      limits_(std::move(limits)),
      log_(std::move(log)),
      capacity_(std::min(limits_.connections, descriptorRoom())) {
  if (path_.native().size() > kMaxPathBytes)
    throw StartError("socket path longer than 103 bytes: " + path_.string());
  sockaddr_un address = addressOf(path_);
  clearStale(path_, address);
  listener_ = listenAt(path_, address);
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0) inode_ = st.st_ino;
  try {
    wake_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    epoll_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    if (!wake_.valid() || !epoll_.valid() || !watch(epoll_.get(), listener_.get(), EPOLLIN) ||
        !watch(epoll_.get(), wake_.get(), EPOLLIN))
      throw std::system_error(errno, std::generic_category(), "cannot wait for connections");
    pool_ = std::make_unique<WorkerPool>(limits_.workers, std::move(exchange), log_, [this] {
      if (paused_) wake();
    });
    loop_ = std::thread([this] { loop(); });
  } catch (...) {
    pool_.reset();
    ::unlink(path_.c_str());
    throw;
  }
}

Server::~Server() {
  stopping_ = true;
  wake();
  loop_.join();
  byFd_.clear();
  arrivals_.clear();
  pool_.reset();
  // Only our own socket: a successor may already have replaced it.
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && st.st_ino == inode_) ::unlink(path_.c_str());
}

void Server::wake() {
  std::uint64_t one = 1;
  while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Server::loop() {
  std::array<epoll_event, 64> events;
  for (;;) {
    int count = ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()),
                             timeoutMs(Clock::now()));
    for (int i = 0; i < count; ++i) {
      int fd = events[i].data.fd;
      if (fd == wake_.get()) {
        std::uint64_t ignored;
        while (::read(fd, &ignored, sizeof ignored) > 0) {
        }
        if (stopping_) return;
      }
      try {
        if (fd == listener_.get())
          acceptWaiting();
        else if (auto found = byFd_.find(fd); found != byFd_.end())
          readFrom(found->second);
      } catch (const std::exception&) {
        // Out of memory: the connection in hand is closed, and the companion keeps serving.
      }
    }
    auto now = Clock::now();
    expire(now);
    setListening(hasRoom(now));
  }
}

void Server::acceptWaiting() {
  for (int i = 0; i < kAcceptBatch; ++i) {
    auto now = Clock::now();
    if (!makeRoom(now)) return;
    UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd.valid()) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOMEM || errno == ENOBUFS) {
        // Out of descriptors: the longest waiting arrival makes room, or the loop waits a moment.
        if (!arrivals_.empty() && now - arrivals_.front().since >= kEvictableAfter)
          drop(arrivals_.begin());
        else
          retryAt_ = now + kRetryAfter;
      }
      return;
    }
    if (fromOwnUser(fd.get())) admit(std::move(fd), now);
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

// The request has usually arrived by the time its connection is accepted; only one still on its
// way is watched.
void Server::admit(UniqueFd fd, Clock::time_point now) {
  ++accepted_;
  arrivals_.push_back({std::move(fd), FrameReader(limits_.maxRequest), now});
  auto arrival = std::prev(arrivals_.end());
  if (!readFrom(arrival)) return;
  if (!watch(epoll_.get(), arrival->fd.get(), EPOLLIN)) return drop(arrival);
  arrival->watched = true;
  byFd_.emplace(arrival->fd.get(), arrival);
}

bool Server::readFrom(Arrivals::iterator arrival) {
  auto& frame = arrival->frame;
  for (auto space = frame.space(); !space.empty(); space = frame.space()) {
    ssize_t n = ::recv(arrival->fd.get(), space.data(), space.size(), MSG_DONTWAIT);
    if (n > 0) {
      frame.filled(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    } else {
      drop(arrival);  // gone before its request was whole
      return false;
    }
  }
  if (frame.tooLong()) {
    const auto& reply = limits_.overLongReply;
    if (!reply.empty())
      ::send(arrival->fd.get(), reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    drop(arrival);
  } else {
    handOver(arrival);
  }
  return false;
}

void Server::handOver(Arrivals::iterator arrival) {
  int fd = arrival->fd.get();
  if (arrival->watched) {
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    byFd_.erase(fd);
  }
  boundStalls(fd, limits_.stallTime);
  pool_->submit(std::move(arrival->fd), arrival->frame.take());
  arrivals_.erase(arrival);
}

void Server::drop(Arrivals::iterator arrival) {
  if (arrival->watched) byFd_.erase(arrival->fd.get());
  arrivals_.erase(arrival);  // closing the descriptor also takes it out of the epoll set
}

void Server::expire(Clock::time_point now) {
  while (!arrivals_.empty() && now - arrivals_.front().since >= limits_.requestTime)
    drop(arrivals_.begin());
}

bool Server::hasRoom(Clock::time_point now) const {
  if (retryAt_ && now < *retryAt_) return false;
  if (arrivals_.size() + pool_->open() < capacity_) return true;
  return !arrivals_.empty() && now - arrivals_.front().since >= kEvictableAfter;
}

bool Server::makeRoom(Clock::time_point now) {
  if (!hasRoom(now)) return false;
  retryAt_.reset();
  if (arrivals_.size() + pool_->open() >= capacity_) drop(arrivals_.begin());
  return true;
}

// Listening stops while there is no room, so that a full backlog does not spin the loop; a
// worker that closes a connection meanwhile wakes it.
void Server::setListening(bool on) {
  if (on == listening_) return;
  if (!watch(epoll_.get(), listener_.get(), on ? std::uint32_t{EPOLLIN} : 0u, EPOLL_CTL_MOD))
    return;
  paused_ = !on;
  listening_ = on;
}

int Server::timeoutMs(Clock::time_point now) const {
  std::optional<Clock::time_point> next;
  auto consider = [&](Clock::time_point at) { next = next ? std::min(*next, at) : at; };
  if (!arrivals_.empty()) {
    consider(arrivals_.front().since + limits_.requestTime);
    if (!listening_) consider(arrivals_.front().since + kEvictableAfter);
  }
  if (retryAt_) consider(*retryAt_);
  if (!next) return -1;
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
  return static_cast<int>(std::clamp<decltype(wait)>(wait, 0, 60'000));
}

}  // namespace QuorvelleDrive::companion
