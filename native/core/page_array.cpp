#include "page_array.hpp"

#include <algorithm>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace kestrix::pages {

namespace {

Block from_heap(std::size_t bytes) {
    void* data = std::calloc(bytes, 1);
    if (data == nullptr) throw std::bad_alloc();
    return {data, bytes, false};
}

void resize_on_heap(Block& block, std::size_t bytes) {
    void* moved = std::realloc(block.data, bytes);
    if (moved == nullptr) throw std::bad_alloc();
    if (bytes > block.bytes) std::memset(static_cast<char*>(moved) + block.bytes, 0, bytes - block.bytes);
    block = {moved, bytes, false};
}

#if defined(__linux__)

// Below this an array stays on the heap (the allocator's own threshold for
// giving large blocks pages of their own is of the same order).
constexpr std::size_t MAP_THRESHOLD = std::size_t{128} << 10;

std::size_t whole_pages(std::size_t bytes) {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    if (bytes > static_cast<std::size_t>(-1) - (page - 1)) throw std::bad_alloc();
    return (bytes + page - 1) / page * page;
}

Block from_pages(std::size_t bytes) {
    const std::size_t size = whole_pages(bytes);
    // Anonymous pages read as zero and take no memory until written.
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) throw std::bad_alloc();
    return {data, size, true};
}

#endif

}  // namespace

Block obtain(std::size_t bytes) {
    if (bytes == 0) return {};
#if defined(__linux__)
    if (bytes >= MAP_THRESHOLD) return from_pages(bytes);
#endif
    return from_heap(bytes);
}

void resize(Block& block, std::size_t bytes) {
    if (block.data == nullptr) {
        block = obtain(bytes);
        return;
    }
    if (bytes == 0) {
        release(block);
        return;
    }
#if defined(__linux__)
    if (block.mapped) {
        const std::size_t size = whole_pages(bytes);
        if (size == block.bytes) return;
        // Moving keeps the pages (and their contents) and only changes where
        // they are mapped; pages added at the end read as zero.
        void* moved = mremap(block.data, block.bytes, size, MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) throw std::bad_alloc();
        block = {moved, size, true};
        return;
    }
    if (bytes >= MAP_THRESHOLD) {
        // Leaving the heap: one copy, of less than the threshold.
        Block pages = from_pages(bytes);
        std::memcpy(pages.data, block.data, block.bytes);
        release(block);
        block = pages;
        return;
    }
#endif
    resize_on_heap(block, bytes);
}

void release(Block& block) noexcept {
#if defined(__linux__)
    if (block.mapped) {
        munmap(block.data, block.bytes);
        block = {};
        return;
    }
#endif
    std::free(block.data);
    block = {};
}

}  // namespace kestrix::pages
