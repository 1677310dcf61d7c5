#include "mapped_file.hpp"

#include <cerrno>
#include <cstdint>
#include <limits>

#if defined(_WIN32)
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

struct View {
    void* data;
    std::size_t size;
};

#if defined(_WIN32)

// Callers report failures as errno values (Python turns them into OSError).
int errno_of(DWORD error) noexcept {
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
        default: return EIO;
    }
}

// Closes the handle on every path: a view keeps the file open itself.
struct Handle {
    HANDLE handle;
    ~Handle() {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

std::expected<View, int> map_view(const char* path) {
    // Paths arrive in UTF-8, Python's file-system encoding on Windows.
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (length <= 0) return std::unexpected(EINVAL);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), length) != length) {
        return std::unexpected(EINVAL);
    }
    // Others may read and rename, not write: a file rewritten in place under a
    // view would change under the reader. Backup semantics lets a folder open,
    // to be refused as one.
    Handle file{CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    if (file.handle == INVALID_HANDLE_VALUE) return std::unexpected(errno_of(GetLastError()));
    BY_HANDLE_FILE_INFORMATION status{};
    if (GetFileInformationByHandle(file.handle, &status) == 0) return std::unexpected(errno_of(GetLastError()));
    if ((status.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::unexpected(EISDIR);
    if (GetFileType(file.handle) != FILE_TYPE_DISK) return std::unexpected(EINVAL);
    const std::uint64_t bytes = (std::uint64_t{status.nFileSizeHigh} << 32) | status.nFileSizeLow;
    if (bytes > std::numeric_limits<std::size_t>::max()) return std::unexpected(EFBIG);
    const auto size = static_cast<std::size_t>(bytes);
    if (size == 0) return View{nullptr, 0};  // a file of no bytes cannot be mapped
    Handle mapping{CreateFileMappingW(file.handle, nullptr, PAGE_READONLY, 0, 0, nullptr)};
    if (mapping.handle == nullptr) return std::unexpected(errno_of(GetLastError()));
    void* data = MapViewOfFile(mapping.handle, FILE_MAP_READ, 0, 0, size);
    if (data == nullptr) return std::unexpected(errno_of(GetLastError()));
    return View{data, size};
}

void unmap(const View& view) noexcept {
    if (view.data != nullptr) UnmapViewOfFile(view.data);
}

#else

// Closes the descriptor on every path: the mapping keeps the file open itself.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

std::expected<View, int> map_view(const char* path) {
    Descriptor file{::open(path, O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return std::unexpected(errno);
    struct stat status {};
    if (::fstat(file.fd, &status) != 0) return std::unexpected(errno);
    if (!S_ISREG(status.st_mode)) return std::unexpected(S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    if (static_cast<std::uintmax_t>(status.st_size) > std::numeric_limits<std::size_t>::max()) {
        return std::unexpected(EFBIG);
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    if (size == 0) return View{nullptr, 0};
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.fd, 0);
    if (data == MAP_FAILED) return std::unexpected(errno);
    return View{data, size};
}

void unmap(const View& view) noexcept {
    if (view.data != nullptr) ::munmap(view.data, view.size);
}

#endif

}  // namespace

std::expected<std::shared_ptr<const MappedFile>, int> MappedFile::open(const char* path) {
    const auto view = map_view(path);
    if (!view) return std::unexpected(view.error());
    // Owned from here on: a failed allocation of the holder unmaps it.
    struct Unmap {
        std::size_t size;
        void operator()(void* p) const noexcept { unmap(View{p, size}); }
    };
    std::unique_ptr<void, Unmap> mapping(view->data, Unmap{view->size});
    auto mapped = std::make_shared<const MappedFile>(Key{}, mapping.get(), view->size);
    mapping.release();
    return mapped;
}

MappedFile::~MappedFile() { unmap(View{data_, size_}); }

}  // namespace kestrix
