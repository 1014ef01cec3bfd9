// One owned, move-only byte buffer for file contents and message bodies. It is never copied, so a
// body of N bytes costs N bytes however many hands it passes through.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

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

  std::byte* data() { return data_.get(); }
  const std::byte* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const std::byte> bytes() const { return {data_.get(), size_}; }
  std::span<std::byte> bytes() { return {data_.get(), size_}; }
  std::string_view text() const { return {reinterpret_cast<const char*>(data_.get()), size_}; }

  // Keeps only the first `size` bytes (no reallocation); `size` must not exceed size().
  void shrink(std::size_t size) { size_ = size < size_ ? size : size_; }

 private:
  struct Free {
    void operator()(std::byte* p) const { std::free(p); }
  };
  Buffer(std::byte* data, std::size_t size) : data_(data), size_(size) {}

  std::unique_ptr<std::byte, Free> data_;
  std::size_t size_ = 0;
};

}  // namespace QuorvelleDrive
