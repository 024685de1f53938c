// Owned bytes in page-aligned memory: a whole file read at once, or a text being built.
#pragma once

#include <cstddef>

namespace kestrix::os {

class Buffer {
 public:
    Buffer() noexcept = default;
    Buffer(Buffer&& o) noexcept;
    Buffer& operator=(Buffer&& o) noexcept;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer();

    [[nodiscard]] const char* data() const noexcept { return data_; }
    [[nodiscard]] char* data() noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    /// Makes room for at least `capacity` bytes, keeping what is there; false when out of
    /// memory. The memory starts on a page boundary: copies into it from the kernel run
    /// at full speed, which they do not at every offset. A large buffer is a mapping of its
    /// own, its pages made in one go rather than one fault at a time. (Huge pages were
    /// tried: twice as fast when the system has them free, but a mapping that asks for them
    /// can stall for hundreds of milliseconds while the kernel compacts memory.)
    [[nodiscard]] bool reserve(std::size_t capacity) noexcept;
    [[nodiscard]] char* spare() noexcept { return data_ + size_; }
    [[nodiscard]] std::size_t spare_size() const noexcept { return capacity_ - size_; }
    void grow(std::size_t n) noexcept { size_ += n; }
    /// Appends `n` bytes; false when out of memory.
    [[nodiscard]] bool append(const char* bytes, std::size_t n) noexcept;
    void clear() noexcept { size_ = 0; }

 private:
    void release() noexcept;

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool mapped_ = false;  ///< large buffers are mappings of their own
};

/// A NUL-terminated text in ordinary heap memory, built piece by piece (paths for messages).
class Text {
 public:
    Text() noexcept = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    Text(Text&& o) noexcept;
    Text& operator=(Text&& o) noexcept;
    ~Text();

    [[nodiscard]] bool assign(const char* s, std::size_t n) noexcept;
    [[nodiscard]] bool assign(const char* s) noexcept;
    [[nodiscard]] bool append(const char* s, std::size_t n) noexcept;
    [[nodiscard]] bool append(const char* s) noexcept;
    [[nodiscard]] const char* c_str() const noexcept { return data_ != nullptr ? data_ : ""; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

 private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace kestrix::os
