#include "platform/buffer.h"

#include <unistd.h>

#include <cerrno>
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

Buffer Buffer::backedBy(FileDescriptor file, std::size_t size) {
  Buffer buffer;
  buffer.file_ = std::make_unique<FileBacking>();
  buffer.file_->file = std::move(file);
  buffer.size_ = size;
  return buffer;
}

// Read with pread rather than mapped: a mapping of a file that shrinks faults (SIGBUS), a read
// just comes up short.
std::byte* Buffer::inMemory() const {
  std::call_once(file_->read, [this] {
    Memory copy(static_cast<std::byte*>(std::calloc(size_ == 0 ? 1 : size_, 1)));
    if (!copy) throw std::bad_alloc();
    for (std::size_t filled = 0; filled < size_;) {
      ssize_t n = ::pread(file_->file.get(), copy.get() + filled, size_ - filled,
                          static_cast<off_t>(filled));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      filled += static_cast<std::size_t>(n);
    }
    file_->copy = std::move(copy);
  });
  return file_->copy.get();
}

}  // namespace QuorvelleDrive
