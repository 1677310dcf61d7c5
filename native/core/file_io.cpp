#include "file_io.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <utility>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>

#include <string>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrix {

namespace {

// Pieces smaller than this are gathered in the buffer first.
constexpr std::size_t BUFFER_BYTES = std::size_t{1} << 20;
// The most one system call reads or writes here (Windows counts in 32 bits).
constexpr std::size_t MOST_PER_CALL = std::size_t{1} << 30;

#if defined(_WIN32)

HANDLE as_handle(std::intptr_t handle) noexcept { return reinterpret_cast<HANDLE>(handle); }

#endif

}  // namespace

#if defined(_WIN32)

int errno_of(unsigned long error) noexcept {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return EACCES;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
        case ERROR_COMMITMENT_LIMIT: return ENOMEM;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        default: return EIO;
    }
}

std::wstring wide_path(const char* path) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), length) != length) return {};
    wide.resize(static_cast<std::size_t>(length - 1));
    return wide;
}

#endif

MappedFile::~MappedFile() {
    if (data_ == nullptr) return;
#if defined(_WIN32)
    UnmapViewOfFile(data_);
#else
    ::munmap(data_, size_);
#endif
}

#if defined(_WIN32)

std::expected<ReadFile, int> ReadFile::open(const char* path) {
    const std::wstring wide = wide_path(path);
    if (wide.empty()) return std::unexpected(EINVAL);
    // Others may read and rename, not write: a file rewritten in place would
    // change under the reader. Backup semantics lets a folder open, to be
    // refused as one.
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::unexpected(errno_of(GetLastError()));
    BY_HANDLE_FILE_INFORMATION status{};
    int failure = 0;
    if (GetFileInformationByHandle(file, &status) == 0) {
        failure = errno_of(GetLastError());
    } else if ((status.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        failure = EISDIR;
    } else if (GetFileType(file) != FILE_TYPE_DISK) {
        failure = NOT_A_REGULAR_FILE;
    }
    const std::uint64_t size = (std::uint64_t{status.nFileSizeHigh} << 32) | status.nFileSizeLow;
    if (failure == 0 && size > std::numeric_limits<std::size_t>::max()) failure = EFBIG;
    if (failure != 0) {
        CloseHandle(file);
        return std::unexpected(failure);
    }
    return ReadFile(reinterpret_cast<std::intptr_t>(file), size);
}

ReadFile::~ReadFile() {
    if (handle_ != -1) CloseHandle(as_handle(handle_));
}

void ReadFile::read(std::uint64_t offset, std::span<std::byte> out) {
    while (!out.empty()) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        const auto want = static_cast<DWORD>(std::min(out.size(), MOST_PER_CALL));
        if (::ReadFile(as_handle(handle_), out.data(), want, &got, &at) == 0) {
            const DWORD error = GetLastError();
            throw IoError{error == ERROR_HANDLE_EOF ? EIO : errno_of(error)};
        }
        if (got == 0) throw IoError{EIO};  // the file shrank since it was opened
        out = out.subspan(got);
        offset += got;
    }
}

std::expected<std::shared_ptr<const MappedFile>, int> ReadFile::map() {
    if (!mapping_ && size_ == 0) mapping_ = std::make_shared<const MappedFile>(nullptr, 0);
    if (mapping_) return mapping_;
    const HANDLE mapping = CreateFileMappingW(as_handle(handle_), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) return std::unexpected(errno_of(GetLastError()));
    void* data = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<std::size_t>(size_));
    const DWORD error = GetLastError();
    CloseHandle(mapping);  // the view keeps the mapping
    if (data == nullptr) return std::unexpected(errno_of(error));
    try {
        mapping_ = std::make_shared<const MappedFile>(data, static_cast<std::size_t>(size_));
    } catch (...) {
        UnmapViewOfFile(data);
        throw;
    }
    return mapping_;
}

#else

std::expected<ReadFile, int> ReadFile::open(const char* path) {
    // Without waiting: opening a FIFO to read would wait for a writer.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::unexpected(errno);
    struct stat status {};
    int failure = 0;
    if (::fstat(fd, &status) != 0) {
        failure = errno;
    } else if (!S_ISREG(status.st_mode)) {
        failure = S_ISDIR(status.st_mode) ? EISDIR : NOT_A_REGULAR_FILE;
    } else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        failure = errno;
    } else if (static_cast<std::uintmax_t>(status.st_size) > std::numeric_limits<std::size_t>::max()) {
        failure = EFBIG;
    }
    if (failure != 0) {
        ::close(fd);
        return std::unexpected(failure);
    }
    return ReadFile(fd, static_cast<std::uint64_t>(status.st_size));
}

ReadFile::~ReadFile() {
    if (handle_ != -1) ::close(static_cast<int>(handle_));
}

void ReadFile::read(std::uint64_t offset, std::span<std::byte> out) {
    while (!out.empty()) {
        const ssize_t got = ::pread(static_cast<int>(handle_), out.data(), std::min(out.size(), MOST_PER_CALL),
                                    static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw IoError{errno};
        }
        if (got == 0) throw IoError{EIO};  // the file shrank since it was opened
        out = out.subspan(static_cast<std::size_t>(got));
        offset += static_cast<std::uint64_t>(got);
    }
}

std::expected<std::shared_ptr<const MappedFile>, int> ReadFile::map() {
    if (!mapping_ && size_ == 0) mapping_ = std::make_shared<const MappedFile>(nullptr, 0);
    if (mapping_) return mapping_;
    const auto size = static_cast<std::size_t>(size_);
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, static_cast<int>(handle_), 0);
    if (data == MAP_FAILED) return std::unexpected(errno);
    try {
        mapping_ = std::make_shared<const MappedFile>(data, size);
    } catch (...) {
        ::munmap(data, size);
        throw;
    }
    return mapping_;
}

#endif

ReadFile::ReadFile(ReadFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), size_(other.size_), mapping_(std::move(other.mapping_)) {}

std::span<const std::byte> ReadFile::in_memory() const noexcept {
    return mapping_ ? mapping_->bytes() : std::span<const std::byte>{};
}

DescriptorSink::DescriptorSink(int fd) : fd_(fd) { buffer_.reserve(BUFFER_BYTES); }

void DescriptorSink::write(std::span<const std::byte> bytes) {
    // Whatever goes straight through goes after what the buffer holds.
    if (bytes.size() > BUFFER_BYTES - buffer_.size() || bytes.size() >= BUFFER_BYTES / 2) flush();
    if (bytes.size() >= BUFFER_BYTES / 2) {
        write_all(bytes);
        return;
    }
    const std::size_t at = buffer_.size();
    buffer_.resize(at + bytes.size());
    std::memcpy(buffer_.data() + at, bytes.data(), bytes.size());
}

void DescriptorSink::flush() {
    write_all(buffer_);
    buffer_.clear();
}

void DescriptorSink::write_all(std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const std::size_t want = std::min(bytes.size(), MOST_PER_CALL);
#if defined(_WIN32)
        const int put = ::_write(fd_, bytes.data(), static_cast<unsigned>(want));
#else
        const ssize_t put = ::write(fd_, bytes.data(), want);
#endif
        if (put < 0) {
            if (errno == EINTR) continue;
            throw IoError{errno};
        }
        bytes = bytes.subspan(static_cast<std::size_t>(put));
    }
}

}  // namespace kestrix
