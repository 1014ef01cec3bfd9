#include "companion/framing.h"

#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/kernel_copy.h"

namespace QuorvelleDrive::companion {

namespace {

// The most a frame's text grows by at a time.
constexpr std::size_t kStep = 16 * 1024;
constexpr std::size_t kSendFileStep = 1 << 30;

// For files sendfile cannot read from.
bool copyAll(int fd, int from, std::uint64_t size) {
  std::string chunk(1 << 16, '\0');
  while (size > 0) {
    ssize_t n = ::read(from, chunk.data(), std::min<std::uint64_t>(size, chunk.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !writeAll(fd, chunk.data(), static_cast<std::size_t>(n))) return false;
    size -= static_cast<std::uint64_t>(n);
  }
  return true;
}

}  // namespace

std::span<char> FrameReader::space() {
  if (headerFilled_ < kHeader)
    return {reinterpret_cast<char*>(header_) + headerFilled_, kHeader - headerFilled_};
  if (tooLong() || complete()) return {};
  std::size_t step = std::min<std::size_t>(length_ - textFilled_, kStep);
  if (text_.size() < textFilled_ + step) text_.resize(textFilled_ + step);
  return {text_.data() + textFilled_, step};
}

void FrameReader::filled(std::size_t count) {
  if (headerFilled_ < kHeader) {
    headerFilled_ += count;
    if (headerFilled_ == kHeader)
      length_ = (std::uint32_t{header_[0]} << 24) | (std::uint32_t{header_[1]} << 16) |
                (std::uint32_t{header_[2]} << 8) | std::uint32_t{header_[3]};
    return;
  }
  textFilled_ += count;
  if (textFilled_ == length_) text_.resize(length_);
}

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

bool sendFileAll(int fd, int from, std::uint64_t size) {
  PipeSignalHeld held;
  while (size > 0) {
    auto part = static_cast<std::size_t>(std::min<std::uint64_t>(size, kSendFileStep));
    ssize_t n = ::sendfile(fd, from, nullptr, part);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EINVAL || errno == ENOSYS)) return copyAll(fd, from, size);
    if (n <= 0) return false;
    size -= static_cast<std::uint64_t>(n);
  }
  return true;
}

std::string frameHeader(std::uint32_t size) {
  return {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
          static_cast<char>(size >> 8), static_cast<char>(size)};
}

std::optional<std::string> readFrame(int fd, std::uint32_t limit) {
  FrameReader frame(limit);
  while (!frame.complete()) {
    auto space = frame.space();
    if (space.empty()) return std::nullopt;  // too long
    ssize_t n = ::read(fd, space.data(), space.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    frame.filled(static_cast<std::size_t>(n));
  }
  return frame.take();
}

bool writeFrame(int fd, std::string_view json, std::string_view body) {
  if (json.size() > kMaxFrameJSON) return false;
  std::string head = frameHeader(static_cast<std::uint32_t>(json.size()));
  return writeAll(fd, head.data(), head.size()) && writeAll(fd, json.data(), json.size()) &&
         writeAll(fd, body.data(), body.size());
}

}  // namespace QuorvelleDrive::companion
