#include "mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

namespace kestrix {
namespace {

// Closes the descriptor on every path: the mapping keeps the file open itself.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::expected<std::shared_ptr<const MappedFile>, int> MappedFile::open(const char* path) {
    Descriptor file{::open(path, O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return std::unexpected(errno);
    struct stat status {};
    if (::fstat(file.fd, &status) != 0) return std::unexpected(errno);
    if (!S_ISREG(status.st_mode)) return std::unexpected(S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    if (static_cast<std::uintmax_t>(status.st_size) > std::numeric_limits<std::size_t>::max()) {
        return std::unexpected(EFBIG);
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    void* data = nullptr;
    if (size != 0) {
        data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.fd, 0);
        if (data == MAP_FAILED) return std::unexpected(errno);
    }
    // Owned from here on: a failed allocation of the holder unmaps it.
    struct Unmap {
        std::size_t size;
        void operator()(void* p) const noexcept {
            if (p != nullptr) ::munmap(p, size);
        }
    };
    std::unique_ptr<void, Unmap> mapping(data, Unmap{size});
    auto mapped = std::make_shared<const MappedFile>(Key{}, mapping.get(), size);
    mapping.release();
    return mapped;
}

MappedFile::~MappedFile() {
    if (data_ != nullptr) ::munmap(data_, size_);
}

}  // namespace kestrix
