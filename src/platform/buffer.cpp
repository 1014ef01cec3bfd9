#include "platform/buffer.h"

#include <cstring>

namespace QuorvelleDrive {

std::optional<Buffer> Buffer::zeroed(std::size_t size) {
  // calloc(0) may return null; one byte keeps "present but empty" distinct from failure.
  void* memory = std::calloc(size == 0 ? 1 : size, 1);
  if (memory == nullptr) return std::nullopt;
  return Buffer(static_cast<std::byte*>(memory), size);
}

std::optional<Buffer> Buffer::copyOf(std::span<const std::byte> bytes) {
  auto buffer = zeroed(bytes.size());
  if (buffer && !bytes.empty()) std::memcpy(buffer->data(), bytes.data(), bytes.size());
  return buffer;
}

std::optional<Buffer> Buffer::copyOf(std::string_view text) {
  return copyOf(std::as_bytes(std::span(text.data(), text.size())));
}

}  // namespace QuorvelleDrive
