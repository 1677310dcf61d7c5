// Files of the system, for the collection file's reader and writer: a file
// opened to be read a piece at a time (and mapped, for data used where it
// lies), and a descriptor written to through a buffer, on POSIX systems and
// on Windows.
//
// A mapping sees the file as it is on disk. Files are replaced by writing a
// new file and renaming it over the old path, which leaves a mapping of the
// old one intact; a file truncated in place under a mapping would fault on
// access, so this must be the only kind of writer of mapped files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>
#if defined(_WIN32)
#include <string>
#endif

#include "bytes.hpp"
#include "container.hpp"

namespace kestrix {

#if defined(_WIN32)
// The errno value of a Windows error code, as every failure here is reported
// (Python turns it into OSError).
int errno_of(unsigned long error) noexcept;
// A UTF-8 path (Python's file-system encoding on Windows) in Windows' own
// form; empty when it is not valid UTF-8.
std::wstring wide_path(const char* path);
#endif

// A whole file mapped read-only into memory. The pages are the file's own:
// the kernel reads them in when touched and may drop them again under memory
// pressure.
class MappedFile {
public:
    MappedFile(void* data, std::size_t size) noexcept : data_(data), size_(size) {}
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    std::span<const std::byte> bytes() const noexcept { return {static_cast<const std::byte*>(data_), size_}; }

private:
    void* data_;
    std::size_t size_;
};

// ReadFile::open's failure for a path that names neither a regular file nor
// a folder (a FIFO, a device, a socket): no file of the system is one, and
// reading one could wait for ever (a FIFO) or never end (/dev/zero).
inline constexpr int NOT_A_REGULAR_FILE = -1;

// A regular file opened read-only, read with positioned reads (so reading it
// takes no memory beyond where the bytes go).
class ReadFile final : public container::Source {
public:
    // The file at `path`; the errno of the failed step otherwise (EISDIR for
    // a folder, NOT_A_REGULAR_FILE for anything else that is no file).
    static std::expected<ReadFile, int> open(const char* path);

    ReadFile(ReadFile&& other) noexcept;
    ReadFile& operator=(ReadFile&&) = delete;
    ~ReadFile();

    std::uint64_t size() const noexcept override { return size_; }
    // Throws IoError; EIO when the file ends before the size it had when opened.
    void read(std::uint64_t offset, std::span<std::byte> out) override;
    // The mapping, once map() made one.
    std::span<const std::byte> in_memory() const noexcept override;

    // Maps the whole file for data used in place; the mapping outlives the
    // file object for as long as anything holds it.
    std::expected<std::shared_ptr<const MappedFile>, int> map();

private:
    ReadFile(std::intptr_t handle, std::uint64_t size) noexcept : handle_(handle), size_(size) {}

    std::intptr_t handle_;  // the descriptor, or on Windows the HANDLE; -1 for none
    std::uint64_t size_;
    std::shared_ptr<const MappedFile> mapping_;
};

// Writes to a descriptor its caller owns (a C runtime descriptor on Windows),
// through a buffer; large pieces go straight through. Throws IoError.
class DescriptorSink final : public ByteSink {
public:
    explicit DescriptorSink(int fd);
    void write(std::span<const std::byte> bytes) override;
    // Writes what the buffer holds.
    void flush();

private:
    void write_all(std::span<const std::byte> bytes);

    int fd_;
    std::vector<std::byte> buffer_;
};

}  // namespace kestrix
