#include "file_io.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

namespace kestrix {

namespace {

// Pieces smaller than this are gathered in the buffer first.
constexpr std::size_t BUFFER_BYTES = std::size_t{1} << 20;

}  // namespace

MappedFile::~MappedFile() {
    if (data_ != nullptr) ::munmap(data_, size_);
}

std::expected<ReadFile, int> ReadFile::open(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(errno);
    struct stat status {};
    int failure = 0;
    if (::fstat(fd, &status) != 0) {
        failure = errno;
    } else if (!S_ISREG(status.st_mode)) {
        failure = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    } else if (static_cast<std::uintmax_t>(status.st_size) > std::numeric_limits<std::size_t>::max()) {
        failure = EFBIG;
    }
    if (failure != 0) {
        ::close(fd);
        return std::unexpected(failure);
    }
    return ReadFile(fd, static_cast<std::uint64_t>(status.st_size));
}

ReadFile::ReadFile(ReadFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_), mapping_(std::move(other.mapping_)) {}

ReadFile::~ReadFile() {
    if (fd_ >= 0) ::close(fd_);
}

void ReadFile::read(std::uint64_t offset, std::span<std::byte> out) {
    while (!out.empty()) {
        const ssize_t got = ::pread(fd_, out.data(), out.size(), static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw IoError{errno};
        }
        if (got == 0) throw IoError{EIO};  // the file shrank since it was opened
        out = out.subspan(static_cast<std::size_t>(got));
        offset += static_cast<std::uint64_t>(got);
    }
}

std::span<const std::byte> ReadFile::in_memory() const noexcept {
    return mapping_ ? mapping_->bytes() : std::span<const std::byte>{};
}

std::expected<std::shared_ptr<const MappedFile>, int> ReadFile::map() {
    if (mapping_ || size_ == 0) {
        if (!mapping_) mapping_ = std::make_shared<const MappedFile>(nullptr, 0);
        return mapping_;
    }
    const auto size = static_cast<std::size_t>(size_);
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd_, 0);
    if (data == MAP_FAILED) return std::unexpected(errno);
    // Owned from here on: a failed allocation of the holder unmaps it.
    struct Unmap {
        std::size_t size;
        void operator()(void* p) const noexcept { ::munmap(p, size); }
    };
    std::unique_ptr<void, Unmap> held(data, Unmap{size});
    mapping_ = std::make_shared<const MappedFile>(held.get(), size);
    held.release();
    return mapping_;
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
        const ssize_t put = ::write(fd_, bytes.data(), bytes.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            throw IoError{errno};
        }
        bytes = bytes.subspan(static_cast<std::size_t>(put));
    }
}

}  // namespace kestrix
