#include "support/os/buffer.h"
#include "support/os/platform.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kestrix::os {

namespace {

constexpr std::size_t kPage = 4096;
/// From this size on a buffer is a mapping of its own.
constexpr std::size_t kMapped = 2u << 20;

}  // namespace

Buffer::Buffer(Buffer&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      capacity_(std::exchange(o.capacity_, 0)),
      mapped_(std::exchange(o.mapped_, false)) {}

Buffer& Buffer::operator=(Buffer&& o) noexcept {
    if (this != &o) {
        release();
        data_ = std::exchange(o.data_, nullptr);
        size_ = std::exchange(o.size_, 0);
        capacity_ = std::exchange(o.capacity_, 0);
        mapped_ = std::exchange(o.mapped_, false);
    }
    return *this;
}

Buffer::~Buffer() { release(); }

void Buffer::release() noexcept {
    if (mapped_) {
        ::munmap(data_, capacity_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    capacity_ = 0;
    mapped_ = false;
}

bool Buffer::reserve(std::size_t capacity) noexcept {
    if (capacity <= capacity_) return true;
    if (capacity > SIZE_MAX - kMapped) return false;
    if (capacity >= kMapped) {
        const std::size_t rounded = (capacity + kMapped - 1) / kMapped * kMapped;
        void* fresh = mapped_ ? platform::grow_mapping(data_, capacity_, rounded)
                              : platform::map_memory(rounded);
        if (fresh == nullptr) return false;
        if (!mapped_) {
            if (size_ > 0) std::memcpy(fresh, data_, size_);
            std::free(data_);
        }
        data_ = static_cast<char*>(fresh);
        capacity_ = rounded;
        mapped_ = true;
        return true;
    }
    const std::size_t rounded = (capacity + kPage - 1) / kPage * kPage;
    // No aligned realloc exists: a grown buffer is a new one. Reads size it once from the
    // file's length, so this copies only for files that grow while they are read.
    void* fresh = std::aligned_alloc(kPage, rounded);
    if (fresh == nullptr) return false;
    if (size_ > 0) std::memcpy(fresh, data_, size_);
    std::free(data_);
    data_ = static_cast<char*>(fresh);
    capacity_ = rounded;
    return true;
}

bool Buffer::append(const char* bytes, std::size_t n) noexcept {
    if (n == 0) return true;
    if (spare_size() < n) {
        std::size_t wanted = size_ + n;
        if (wanted < size_) return false;
        if (wanted < 2 * capacity_) wanted = 2 * capacity_;
        if (!reserve(wanted)) return false;
    }
    std::memcpy(data_ + size_, bytes, n);
    size_ += n;
    return true;
}

Text::Text(Text&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      capacity_(std::exchange(o.capacity_, 0)) {}

Text& Text::operator=(Text&& o) noexcept {
    if (this != &o) {
        std::free(data_);
        data_ = std::exchange(o.data_, nullptr);
        size_ = std::exchange(o.size_, 0);
        capacity_ = std::exchange(o.capacity_, 0);
    }
    return *this;
}

Text::~Text() { std::free(data_); }

bool Text::assign(const char* s, std::size_t n) noexcept {
    size_ = 0;
    return append(s, n);
}

bool Text::assign(const char* s) noexcept { return assign(s, std::strlen(s)); }

bool Text::append(const char* s, std::size_t n) noexcept {
    if (size_ + n + 1 > capacity_) {
        // Paths are built in a few appends: room for a typical one at once.
        std::size_t wanted = size_ + n + 1 < 2 * capacity_ ? 2 * capacity_ : size_ + n + 1;
        if (wanted < 256) wanted = 256;
        void* grown = std::realloc(data_, wanted);
        if (grown == nullptr) return false;
        data_ = static_cast<char*>(grown);
        capacity_ = wanted;
    }
    std::memcpy(data_ + size_, s, n);
    size_ += n;
    data_[size_] = '\0';
    return true;
}

bool Text::append(const char* s) noexcept { return append(s, std::strlen(s)); }

}  // namespace kestrix::os
