// A whole file mapped read-only into memory, for data used in place rather
// than copied (a collection's rescoring side can be larger than the RAM it
// may take). The pages are the file's own: the kernel reads them in when
// touched and may drop them again under memory pressure.
//
// The mapping sees the file as it is on disk. Files are replaced by writing a
// new file and renaming it over the old path, which leaves a mapping of the
// old one intact; a file truncated in place under a mapping would fault on
// access, so this must be the only kind of writer of mapped files.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <span>

namespace kestrix {

class MappedFile {
public:
    // Maps `path`; the errno of the failed step otherwise. An empty file maps
    // to no bytes.
    static std::expected<std::shared_ptr<const MappedFile>, int> open(const char* path);

private:
    struct Key {
        explicit Key() = default;
    };

public:
    // Made by open() only (the key is private).
    MappedFile(Key, void* data, std::size_t size) noexcept : data_(data), size_(size) {}
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    std::span<const std::byte> bytes() const noexcept { return {static_cast<const std::byte*>(data_), size_}; }

private:
    void* data_;
    std::size_t size_;
};

}  // namespace kestrix
