// One owned, move-only byte buffer for file contents and message bodies. It is never copied, so a
// body of N bytes costs at most N bytes however many hands it passes through, and nothing at
// all when the bytes live in a file: a buffer may be backed by an open file (a large upload
// read from the host's file, a large reply body received straight into a fresh file), which
// the channel then sends with sendfile and a fetch hands over instead of writing a copy.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>

#include "platform/file_descriptor.h"

namespace QuorvelleDrive {

class Buffer {
 public:
  Buffer() = default;

  // A buffer of `size` zero bytes, or none when the memory cannot be had. The zeroing is lazy
  // (calloc), so a large buffer touches no pages until they are written.
  static std::optional<Buffer> zeroed(std::size_t size);
  // A buffer holding a copy of `bytes`, or none when the memory cannot be had.
  static std::optional<Buffer> copyOf(std::span<const std::byte> bytes);
  static std::optional<Buffer> copyOf(std::string_view text);
  // The first `size` bytes of the open file `file`, which the buffer owns from now on. The bytes
  // stay in the file; the file may change under the buffer (its user checks what matters).
  static Buffer backedBy(FileDescriptor file, std::size_t size);

  // The file behind the buffer, or -1 when its bytes are in memory.
  int fileDescriptor() const { return file_ ? file_->file.get() : -1; }
  bool fileBacked() const { return file_ != nullptr; }

  // The bytes in memory. A file-backed buffer reads its file into memory on the first call (a
  // body on the data path never asks); bytes the file no longer has read as zero, so a file cut
  // short meanwhile cannot fault. Safe from several threads at once.
  std::byte* data() { return file_ ? inMemory() : data_.get(); }
  const std::byte* data() const { return file_ ? inMemory() : data_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const std::byte> bytes() const { return {data(), size_}; }
  std::span<std::byte> bytes() { return {data(), size_}; }
  std::string_view text() const { return {reinterpret_cast<const char*>(data()), size_}; }

  // Keeps only the first `size` bytes (no reallocation); `size` must not exceed size().
  void shrink(std::size_t size) { size_ = size < size_ ? size : size_; }

 private:
  struct Free {
    void operator()(std::byte* p) const { std::free(p); }
  };
  using Memory = std::unique_ptr<std::byte, Free>;
  struct FileBacking {
    FileDescriptor file;
    std::once_flag read;
    Memory copy;
  };
  Buffer(std::byte* data, std::size_t size) : data_(data), size_(size) {}
  std::byte* inMemory() const;

  Memory data_;
  std::unique_ptr<FileBacking> file_;
  std::size_t size_ = 0;
};

}  // namespace QuorvelleDrive
