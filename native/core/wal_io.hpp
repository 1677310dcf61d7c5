// The few system calls a log makes, on POSIX systems and on Windows.
// Descriptors are C runtime ones on Windows too, so FileHandle is the same
// everywhere. Every call returns 0 or the errno of what failed.
#pragma once

#if !defined(_WIN32)
#include <sys/uio.h>
#endif

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "wal.hpp"

namespace kestrix::wal {

enum class Access : std::uint8_t {
    Read,    // an existing file, read; a FIFO opens without waiting for a writer
    Write,   // an existing file, written
    Create,  // a new empty file (an old one at the path is emptied), written
};

#if defined(_WIN32)
// What one positioned write takes: iovec's fields, by name.
struct Piece {
    void* iov_base;
    std::size_t iov_len;
};
#else
using Piece = iovec;
#endif

int open_file(const std::string& path, Access access, FileHandle& out);
void close_file(int fd) noexcept;
// Makes what was written to the file durable.
int flush_file(int fd) noexcept;
// Makes a rename in the folder of `path` durable.
int flush_folder(const std::string& path) noexcept;
// The size of a regular file; EINVAL for anything else.
int regular_size(int fd, std::uint64_t& size) noexcept;
int truncate_file(int fd, std::uint64_t size) noexcept;
int rename_file(const std::string& from, const std::string& to);
bool file_exists(const std::string& path);
void remove_file(const std::string& path);
// Writes every byte of `parts` at `offset`, through short writes and signals;
// the parts are consumed.
int write_all(int fd, std::uint64_t offset, std::span<Piece> parts) noexcept;
// Reads exactly `length` bytes at `offset` (EIO for a file that ends sooner
// than its size said).
int read_all(int fd, std::uint64_t offset, std::byte* out, std::size_t length) noexcept;

}  // namespace kestrix::wal
