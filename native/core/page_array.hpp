// A growable array of plain values held in whole pages of its own.
//
// The store's slot arrays grow one slot at a time to millions. In a heap
// vector every growth copies the array into a new buffer and leaves the old
// one to the allocator, which keeps much of it resident; the growth room is
// half as large again. Here growth asks the system to move the pages (mremap:
// page tables change, no byte is copied), pages past the filled part are never
// touched, so the growth room costs address space but no memory, and whatever
// is given back goes straight back to the system. The values stay contiguous,
// so readers still see one span. Small arrays (a store of a few thousand
// slots) stay on the heap: a mapping of their own would cost a page each and
// one of the process's limited count of mappings. Where pages cannot be moved
// (not Linux), everything sits on malloc/realloc.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace kestrix {

namespace pages {

// Room of at least `bytes` bytes, zero-filled; {nullptr, 0} for 0 bytes.
// Throws std::bad_alloc.
struct Block {
    void* data = nullptr;
    std::size_t bytes = 0;  // what was obtained (whole pages when mapped)
    bool mapped = false;    // pages of its own rather than heap memory
};
Block obtain(std::size_t bytes);
// Grows or shrinks `block` to hold at least `bytes` bytes, keeping its first
// min(old, new) bytes; the contents may move. On std::bad_alloc the block is
// unchanged.
void resize(Block& block, std::size_t bytes);
void release(Block& block) noexcept;

}  // namespace pages

template <class T>
class PageArray {
    static_assert(std::is_trivially_copyable_v<T>, "values are moved as bytes");

public:
    PageArray() noexcept = default;
    ~PageArray() { pages::release(block_); }
    PageArray(PageArray&& other) noexcept
        : block_(std::exchange(other.block_, {})),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    PageArray& operator=(PageArray&& other) noexcept {
        if (this != &other) {
            pages::release(block_);
            block_ = std::exchange(other.block_, {});
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    PageArray(const PageArray&) = delete;
    PageArray& operator=(const PageArray&) = delete;

    // A copy of `values`, with no room beyond them.
    static PageArray copy_of(std::span<const T> values) {
        PageArray array;
        array.reserve(values.size());
        if (!values.empty()) std::memcpy(array.block_.data, values.data(), values.size_bytes());
        array.size_ = values.size();
        return array;
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    // The room asked for, as a vector's capacity: growth happens at the same
    // sizes whatever the page size rounds the memory up to.
    std::size_t capacity() const noexcept { return capacity_; }
    T* data() noexcept { return static_cast<T*>(block_.data); }
    const T* data() const noexcept { return static_cast<const T*>(block_.data); }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    operator std::span<const T>() const noexcept { return {data(), size_}; }
    std::size_t max_size() const noexcept { return static_cast<std::size_t>(-1) / sizeof(T); }

    // Room for at least n values; never shrinks. Throws std::bad_alloc, and
    // then nothing changes.
    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        if (n > max_size()) throw std::bad_alloc();
        if (n * sizeof(T) > block_.bytes) pages::resize(block_, n * sizeof(T));
        capacity_ = n;
    }

    // Only within the room reserve() made.
    void push_back(const T& value) noexcept { data()[size_++] = value; }
    void append(const T* values, std::size_t n) noexcept {
        if (n != 0) std::memcpy(data() + size_, values, n * sizeof(T));
        size_ += n;
    }

    // Drops the values past n (none if there are not that many); the room stays.
    void truncate(std::size_t n) noexcept { size_ = std::min(size_, n); }

    // Fills to n values (new ones value-initialised) or drops values past n.
    void resize(std::size_t n) {
        reserve(n);
        for (std::size_t i = size_; i < n; ++i) data()[i] = T{};
        size_ = n;
    }

    // Gives back the pages past the filled part. Best effort: nothing changes
    // if the system refuses.
    void shrink_to_fit() noexcept {
        try {
            if (size_ == 0) {
                pages::release(block_);
            } else {
                pages::resize(block_, size_ * sizeof(T));
            }
            capacity_ = size_;
        } catch (const std::bad_alloc&) {}
    }

private:
    pages::Block block_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace kestrix
