// The companion's side of the wire: a 4-byte big-endian length, that many bytes of JSON, then
// raw body bytes whose count the JSON announces under "size".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace QuorvelleDrive::companion {

// Replies: a listing of a large folder runs to tens of megabytes.
inline constexpr std::uint32_t kMaxFrameJSON = 67'108'864;
// Requests: a few hundred bytes, since bodies travel after the JSON. The longest legal one, a
// rename whose 255-byte name is escaped as \u00XX throughout (1,530 bytes), fits dozens of times
// beside ids of a kilobyte each.
inline constexpr std::uint32_t kMaxRequestJSON = 65'536;

// One frame's JSON text, collected as bytes arrive: its memory grows with the bytes received,
// never with the length the header announces.
class FrameReader {
 public:
  explicit FrameReader(std::uint32_t limit) : limit_(limit) {}

  // Where the next bytes go. It never reaches past the frame, so the bytes after it stay in the
  // socket; empty once the frame is complete or too long.
  std::span<char> space();
  void filled(std::size_t count);

  bool complete() const { return headerFilled_ == kHeader && !tooLong() && textFilled_ == length_; }
  // The header announced more than the limit.
  bool tooLong() const { return headerFilled_ == kHeader && length_ > limit_; }
  // Once complete: the JSON text.
  std::string take() { return std::move(text_); }

 private:
  static constexpr std::size_t kHeader = 4;

  std::uint32_t limit_;
  unsigned char header_[kHeader] = {};
  std::size_t headerFilled_ = 0;
  std::uint32_t length_ = 0;
  std::string text_;
  std::size_t textFilled_ = 0;
};

// False when the peer closed or the call failed (or timed out) before `size` bytes moved.
bool readExact(int fd, void* data, std::size_t size);
bool writeAll(int fd, const void* data, std::size_t size);
// `size` bytes of the open file `from`, from its current offset, onto the socket `fd` without
// passing through this process; false when the file ends early or the socket fails.
bool sendFileAll(int fd, int from, std::uint64_t size);

// The JSON text of one frame; none when the peer went away or announced more than `limit`.
std::optional<std::string> readFrame(int fd, std::uint32_t limit = kMaxFrameJSON);
// Length, JSON and body in one go.
bool writeFrame(int fd, std::string_view json, std::string_view body = {});

std::string frameHeader(std::uint32_t size);

}  // namespace QuorvelleDrive::companion
