#include "support/os/buffer.h"
#include "support/os/platform.h"

#include <sys/mman.h>

#include <atomic>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kestrix::os {

namespace {

constexpr std::size_t kPage = 4096;
/// From this size on a buffer is a mapping of its own.
constexpr std::size_t kMapped = 2u << 20;
/// The largest mapping kept for the next large buffer once its buffer is done with it.
constexpr std::size_t kKeptAtMost = 64u << 20;
/// Up to this size a kept mapping stays ready, as the C library's allocator keeps freed memory
/// of this size at the top of its heap; a larger one has its pages marked free-when-short.
/// (Marking them costs about as much as reading them again: 10 MB took 1.2 ms more of the
/// processor per read with the mark than without.)
constexpr std::size_t kKeptReady = 16u << 20;

/// The largest ordinary block kept for the next small buffer (a configuration file, a rule).
constexpr std::size_t kSmallKeptAtMost = 64u << 10;

/// Memory kept between buffers: one large mapping, so that a process that reads the same
/// large file again and again (a host calling inject in a loop) does not have the system make
/// and zero every page of it each time, which costs several times the read; and one small
/// block, which spares every small read an aligned allocation and its release. Buffers may
/// be used from several threads (interpreters with their own lock): a slot is taken with a
/// flag that is tried, never waited for, so a busy slot (or one held across a fork) only
/// means fresh memory.
struct Kept {
    std::atomic_flag busy;
    char* data = nullptr;
    std::size_t capacity = 0;
};
Kept kept_mapping;
Kept kept_block;

/// The kept memory of `slot` when it holds at least `capacity` bytes (its size then in
/// `capacity`), else null.
[[nodiscard]] char* take(Kept& slot, std::size_t& capacity) noexcept {
    if (slot.busy.test_and_set(std::memory_order_acquire)) return nullptr;
    char* data = nullptr;
    if (slot.data != nullptr && slot.capacity >= capacity) {
        data = std::exchange(slot.data, nullptr);
        capacity = std::exchange(slot.capacity, 0);
    }
    slot.busy.clear(std::memory_order_release);
    return data;
}

/// Lets go of memory from map_memory or aligned_alloc.
void let_go(char* data, std::size_t capacity, bool mapping) noexcept {
    if (mapping) {
        ::munmap(data, capacity);
    } else {
        std::free(data);
    }
}

/// Keeps memory no longer used in `slot`, in place of what the slot held (the last read is
/// the best guess at the next: a smaller block kept from an earlier one would otherwise turn
/// every larger one away); false when the caller must let go of it (too large, or the slot
/// busy). A large mapping's pages are first marked free-when-short (see kKeptReady).
[[nodiscard]] bool keep(Kept& slot, char* data, std::size_t capacity, bool mapping) noexcept {
    if (capacity > (mapping ? kKeptAtMost : kSmallKeptAtMost)) return false;
    if (mapping && capacity > kKeptReady && !platform::free_pages_lazily(data, capacity)) {
        return false;
    }
    if (slot.busy.test_and_set(std::memory_order_acquire)) return false;
    char* displaced = std::exchange(slot.data, data);
    const std::size_t displaced_capacity = std::exchange(slot.capacity, capacity);
    slot.busy.clear(std::memory_order_release);
    if (displaced != nullptr) let_go(displaced, displaced_capacity, mapping);
    return true;
}

/// Lets go of an ordinary block, keeping it for the next small buffer when it may.
void let_go_of_block(char* data, std::size_t capacity) noexcept {
    if (data != nullptr && !keep(kept_block, data, capacity, false)) std::free(data);
}

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
        if (!keep(kept_mapping, data_, capacity_, true)) ::munmap(data_, capacity_);
    } else {
        let_go_of_block(data_, capacity_);
    }
    data_ = nullptr;
    capacity_ = 0;
    mapped_ = false;
}

bool Buffer::reserve(std::size_t capacity) noexcept {
    if (capacity <= capacity_) return true;
    if (capacity > SIZE_MAX - kMapped) return false;
    if (capacity >= kMapped) {
        std::size_t rounded = (capacity + kMapped - 1) / kMapped * kMapped;
        void* fresh = mapped_ ? platform::grow_mapping(data_, capacity_, rounded)
                              : take(kept_mapping, rounded);
        if (fresh == nullptr && !mapped_) fresh = platform::map_memory(rounded);
        if (fresh == nullptr) return false;
        if (!mapped_) {
            if (size_ > 0) std::memcpy(fresh, data_, size_);
            let_go_of_block(data_, capacity_);
        }
        data_ = static_cast<char*>(fresh);
        capacity_ = rounded;
        mapped_ = true;
        return true;
    }
    std::size_t rounded = (capacity + kPage - 1) / kPage * kPage;
    // No aligned realloc exists: a grown buffer is a new one. Reads size it once from the
    // file's length, so this copies only for files that grow while they are read.
    void* fresh = take(kept_block, rounded);
    if (fresh == nullptr) fresh = std::aligned_alloc(kPage, rounded);
    if (fresh == nullptr) return false;
    if (size_ > 0) std::memcpy(fresh, data_, size_);
    let_go_of_block(data_, capacity_);
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
