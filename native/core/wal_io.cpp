#include "wal_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <limits.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <utility>

#include "file_io.hpp"

namespace kestrix::wal {

#if defined(_WIN32)

namespace {
HANDLE handle_of(int fd) noexcept { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }
}  // namespace

// Files are shared for reading, writing and deletion, so that a log can be
// renamed while open, as on POSIX systems.
int open_file(const std::string& path, Access access, FileHandle& out) {
    const std::wstring wide = wide_path(path.c_str());
    if (wide.empty()) return EINVAL;
    const DWORD rights = access == Access::Read ? GENERIC_READ : GENERIC_WRITE;
    const DWORD disposition = access == Access::Create ? CREATE_ALWAYS : OPEN_EXISTING;
    const HANDLE file = CreateFileW(wide.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return errno_of(GetLastError());
    const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(file),
                                     (access == Access::Read ? _O_RDONLY : _O_WRONLY) | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        return EMFILE;
    }
    out.reset(fd);
    return 0;
}

void close_file(int fd) noexcept { ::_close(fd); }

int flush_file(int fd) noexcept { return FlushFileBuffers(handle_of(fd)) != 0 ? 0 : errno_of(GetLastError()); }

// A rename below is made durable by the rename itself (write-through).
int flush_folder(const std::string&) noexcept { return 0; }

int regular_size(int fd, std::uint64_t& size) noexcept {
    struct _stat64 status {};
    if (::_fstat64(fd, &status) != 0) return errno;
    if ((status.st_mode & _S_IFMT) != _S_IFREG || GetFileType(handle_of(fd)) != FILE_TYPE_DISK) return EINVAL;
    size = static_cast<std::uint64_t>(status.st_size);
    return 0;
}

int truncate_file(int fd, std::uint64_t size) noexcept { return ::_chsize_s(fd, static_cast<long long>(size)); }

int rename_file(const std::string& from, const std::string& to) {
    const std::wstring wide_from = wide_path(from.c_str()), wide_to = wide_path(to.c_str());
    if (wide_from.empty() || wide_to.empty()) return EINVAL;
    return MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0
               ? 0
               : errno_of(GetLastError());
}

bool file_exists(const std::string& path) {
    const std::wstring wide = wide_path(path.c_str());
    return !wide.empty() && GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void remove_file(const std::string& path) {
    const std::wstring wide = wide_path(path.c_str());
    if (!wide.empty()) DeleteFileW(wide.c_str());
}

int write_all(int fd, std::uint64_t offset, std::span<Piece> parts) noexcept {
    for (Piece& part : parts) {
        while (part.iov_len > 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            const auto want = static_cast<DWORD>(std::min<std::size_t>(part.iov_len, std::size_t{1} << 30));
            DWORD put = 0;
            if (WriteFile(handle_of(fd), part.iov_base, want, &put, &at) == 0) return errno_of(GetLastError());
            if (put == 0) return EIO;
            part.iov_base = static_cast<char*>(part.iov_base) + put;
            part.iov_len -= put;
            offset += put;
        }
    }
    return 0;
}

int read_all(int fd, std::uint64_t offset, std::byte* out, std::size_t length) noexcept {
    while (length > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const auto want = static_cast<DWORD>(std::min<std::size_t>(length, std::size_t{1} << 30));
        DWORD got = 0;
        if (::ReadFile(handle_of(fd), out, want, &got, &at) == 0) {
            const DWORD error = GetLastError();
            return error == ERROR_HANDLE_EOF ? EIO : errno_of(error);
        }
        if (got == 0) return EIO;
        out += got;
        offset += got;
        length -= got;
    }
    return 0;
}

#else

int open_file(const std::string& path, Access access, FileHandle& out) {
    int fd = -1;
    switch (access) {
        case Access::Read: fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); break;
        case Access::Write: fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC); break;
        case Access::Create: fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); break;
    }
    if (fd < 0) return errno;
    out.reset(fd);
    return 0;
}

void close_file(int fd) noexcept { ::close(fd); }

// Only the data and what is needed to find it (the size) are flushed, which
// is all a log needs; macOS flushes the drive's own cache only when asked
// this way.
int flush_file(int fd) noexcept {
#if defined(__APPLE__)
    if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
    return ::fsync(fd) == 0 ? 0 : errno;
#elif defined(__linux__)
    return ::fdatasync(fd) == 0 ? 0 : errno;
#else
    return ::fsync(fd) == 0 ? 0 : errno;
#endif
}

namespace {
std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

int flush_folder(const std::string& path) noexcept {
    FileHandle folder(::open(folder_of(path).c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY));
    if (folder.get() < 0) return errno;
    return ::fsync(folder.get()) == 0 ? 0 : errno;
}

int regular_size(int fd, std::uint64_t& size) noexcept {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return errno;
    if (!S_ISREG(status.st_mode)) return EINVAL;
    size = static_cast<std::uint64_t>(status.st_size);
    return 0;
}

int truncate_file(int fd, std::uint64_t size) noexcept {
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

int rename_file(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool file_exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

void remove_file(const std::string& path) { ::unlink(path.c_str()); }

int write_all(int fd, std::uint64_t offset, std::span<Piece> parts) noexcept {
    std::size_t i = 0;
    while (i < parts.size()) {
        if (parts[i].iov_len == 0) {
            ++i;
            continue;
        }
        const int count = static_cast<int>(std::min<std::size_t>(parts.size() - i, IOV_MAX));
        const ssize_t written = ::pwritev(fd, &parts[i], count, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return EIO;
        offset += static_cast<std::uint64_t>(written);
        auto left = static_cast<std::size_t>(written);
        while (left > 0) {
            if (left >= parts[i].iov_len) {
                left -= parts[i].iov_len;
                ++i;
            } else {
                parts[i].iov_base = static_cast<char*>(parts[i].iov_base) + left;
                parts[i].iov_len -= left;
                left = 0;
            }
        }
    }
    return 0;
}

int read_all(int fd, std::uint64_t offset, std::byte* out, std::size_t length) noexcept {
    while (length > 0) {
        const ssize_t got = ::pread(fd, out, length, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return EIO;
        out += got;
        offset += static_cast<std::uint64_t>(got);
        length -= static_cast<std::size_t>(got);
    }
    return 0;
}

#endif

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int FileHandle::release() noexcept { return std::exchange(fd_, -1); }

void FileHandle::reset(int fd) noexcept {
    if (fd_ >= 0) close_file(fd_);
    fd_ = fd;
}

}  // namespace kestrix::wal
