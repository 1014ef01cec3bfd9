#include "channel/app_client.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "channel/error_mapping.h"
#include "channel/file_body.h"
#include "channel/unavailable.h"
#include "platform/file_manager.h"
#include "platform/files.h"
#include "platform/kernel_copy.h"

namespace QuorvelleDrive {
namespace {

// Owns one socket descriptor and closes it exactly once.
class Socket {
 public:
  Socket() : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

void connectTo(const Socket& socket, const std::string& path) {
  if (path.size() > AppClient::kMaxPathBytes) throw Unavailable();
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    throw Unavailable();
}

// The container was this user's alone when the client was made, but its folder may change hands
// later; a socket another user listens on must not receive a byte of the request.
void requireOwnPeer(const Socket& socket) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(socket.fd(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
      peer.uid != ::geteuid())
    throw Unavailable();
}

// Writes everything or throws; MSG_NOSIGNAL keeps a closed peer from raising SIGPIPE.
void send(int fd, std::span<const std::byte> bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
    if (n <= 0) throw Unavailable();
    written += static_cast<std::size_t>(n);
  }
}

// Header and JSON text leave in one call, so the companion wakes once for them.
void send(int fd, std::span<const std::byte> first, std::span<const std::byte> second) {
  std::array<iovec, 2> parts{{{const_cast<std::byte*>(first.data()), first.size()},
                              {const_cast<std::byte*>(second.data()), second.size()}}};
  std::size_t next = 0;
  while (next < parts.size()) {
    msghdr message{};
    message.msg_iov = parts.data() + next;
    message.msg_iovlen = parts.size() - next;
    ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n <= 0) throw Unavailable();
    for (auto left = static_cast<std::size_t>(n); next < parts.size() && left > 0;) {
      std::size_t taken = std::min(left, parts[next].iov_len);
      parts[next].iov_base = static_cast<std::byte*>(parts[next].iov_base) + taken;
      parts[next].iov_len -= taken;
      left -= taken;
      if (parts[next].iov_len == 0) ++next;
    }
    while (next < parts.size() && parts[next].iov_len == 0) ++next;
  }
}

void receiveInto(int fd, std::span<std::byte> bytes) {
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + filled, bytes.size() - filled);
    if (n <= 0) throw Unavailable();
    filled += static_cast<std::size_t>(n);
  }
}

std::size_t bodySize(std::int64_t count) {
  if (count < 0) throw Unavailable();
  if (static_cast<std::uint64_t>(count) > std::numeric_limits<std::size_t>::max())
    throw Unavailable();
  return static_cast<std::size_t>(count);
}

// A lazily zeroed buffer of `count` bytes, filled from the socket.
Buffer receive(int fd, std::int64_t count) {
  auto buffer = Buffer::zeroed(bodySize(count));
  if (!buffer) throw Unavailable();
  receiveInto(fd, buffer->bytes());
  return std::move(*buffer);
}

// A reply body where `folder` says; a failure to place it waits until the body has been read.
Buffer receiveBody(int fd, std::int64_t count, const AppClient::BodyFolder& folder) {
  if (!folder) return receive(fd, count);
  std::size_t size = bodySize(count);
  FileDescriptor file;
  try {
    auto where = folder(size);
    if (!where) return receive(fd, count);
    file = createUnnamedFile(*where);
  } catch (...) {
    if (!skipBody(fd, size)) throw Unavailable();
    throw;
  }
  auto received = receiveIntoFile(fd, file.get(), size);
  if (!received.whole) throw Unavailable();
  if (received.writeError) throw fileWriteError(received.writeError);
  return Buffer::backedBy(std::move(file), size);
}

std::array<std::byte, 4> lengthHeader(std::size_t length) {
  if (length > std::numeric_limits<std::uint32_t>::max()) throw Unavailable();
  auto n = static_cast<std::uint32_t>(length);
  return {std::byte(n >> 24), std::byte(n >> 16), std::byte(n >> 8), std::byte(n)};
}

std::uint32_t readLength(int fd) {
  std::array<std::byte, 4> header{};
  receiveInto(fd, header);
  return std::to_integer<std::uint32_t>(header[0]) << 24 |
         std::to_integer<std::uint32_t>(header[1]) << 16 |
         std::to_integer<std::uint32_t>(header[2]) << 8 | std::to_integer<std::uint32_t>(header[3]);
}

void sendRequest(int fd, const json::object& request) {
  std::string text = writeJSON(request);
  auto header = lengthHeader(text.size());
  send(fd, header, std::as_bytes(std::span(text.data(), text.size())));
}

Reply receiveReply(int fd, const AppClient::BodyFolder& folder) {
  std::uint32_t length = readLength(fd);
  if (length > AppClient::kMaxReplyJSON) throw Unavailable();
  Buffer text = receive(fd, length);
  // A reply lives only until its operation has answered, so its document goes into one arena:
  // no allocation per node on the way in and one release on the way out.
  json::value parsed = readJSON(
      text.text(), json::make_shared_resource<json::monotonic_resource>(text.size() + 1024));
  if (!parsed.is_object()) throw Unavailable();
  Reply reply{std::move(parsed.as_object()), std::nullopt};
  if (auto* error = reply.json.if_contains("error"); error && error->is_string())
    throw appError(std::string_view(error->as_string()));
  if (auto* size = reply.json.if_contains("size")) {
    if (auto number = numberValue(*size))
      reply.body = receiveBody(fd, number->integerValue(), folder);
  }
  return reply;
}

}  // namespace

std::optional<AppClient> AppClient::create(const std::string& group) {
  auto container = FileManager::defaultManager().containerURL(group);
  if (!container) return std::nullopt;
  return AppClient((*container / "drive.sock").string());
}

Reply AppClient::call(const json::object& request,
                      std::optional<std::span<const std::byte>> body) const {
  return exchange(request, [&](int fd) {
    if (body) send(fd, *body);
  });
}

Reply AppClient::call(const json::object& request, const Buffer* body,
                      const BodyFolder& replyBodyFolder) const {
  return exchange(
      request,
      [&](int fd) {
        if (!body) return;
        if (body->fileBacked())
          sendFileBody(fd, body->fileDescriptor(), body->size());
        else
          send(fd, body->bytes());
      },
      replyBodyFolder);
}

Reply AppClient::exchange(const json::object& request, const std::function<void(int)>& sendBody,
                          const BodyFolder& replyBodyFolder) const {
  Socket socket;
  if (socket.fd() < 0) throw Unavailable();
  connectTo(socket, path_);
  requireOwnPeer(socket);
  sendRequest(socket.fd(), request);
  sendBody(socket.fd());
  return receiveReply(socket.fd(), replyBodyFolder);
}

}  // namespace QuorvelleDrive
