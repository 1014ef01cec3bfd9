#include "companion/framing.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace QuorvelleDrive::companion {

bool readExact(int fd, void* data, std::size_t size) {
  auto* at = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = ::read(fd, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool writeAll(int fd, const void* data, std::size_t size) {
  const auto* at = static_cast<const char*>(data);
  while (size > 0) {
    // MSG_NOSIGNAL: a client that left must not kill the companion with SIGPIPE.
    ssize_t n = ::send(fd, at, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string frameHeader(std::uint32_t size) {
  return {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
          static_cast<char>(size >> 8), static_cast<char>(size)};
}

std::optional<std::string> readFrame(int fd) {
  unsigned char header[4];
  if (!readExact(fd, header, sizeof header)) return std::nullopt;
  std::uint32_t size = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                       (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
  if (size > kMaxFrameJSON) return std::nullopt;
  std::string text(size, '\0');
  if (!readExact(fd, text.data(), size)) return std::nullopt;
  return text;
}

bool writeFrame(int fd, std::string_view json, std::string_view body) {
  if (json.size() > kMaxFrameJSON) return false;
  std::string head = frameHeader(static_cast<std::uint32_t>(json.size()));
  return writeAll(fd, head.data(), head.size()) && writeAll(fd, json.data(), json.size()) &&
         writeAll(fd, body.data(), body.size());
}

}  // namespace QuorvelleDrive::companion
