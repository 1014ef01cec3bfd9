// The companion's side of the wire: a 4-byte big-endian length, that many bytes of JSON, then
// raw body bytes whose count the JSON announces under "size".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace QuorvelleDrive::companion {

inline constexpr std::uint32_t kMaxFrameJSON = 67'108'864;

// False when the peer closed or the call failed before `size` bytes moved.
bool readExact(int fd, void* data, std::size_t size);
bool writeAll(int fd, const void* data, std::size_t size);

// The JSON text of one frame; none when the peer went away or announced more than the cap.
std::optional<std::string> readFrame(int fd);
// Length, JSON and body in one go.
bool writeFrame(int fd, std::string_view json, std::string_view body = {});

std::string frameHeader(std::uint32_t size);

}  // namespace QuorvelleDrive::companion
