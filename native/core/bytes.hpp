// Bytes in and out of the core's formats. Every format the core writes is
// little-endian and laid out field by field; every writer hands its bytes to a
// ByteSink and every reader takes them from a ByteInput, so one routine per
// format serves a buffer, a file descriptor and a count of bytes alike.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace kestrix {

static_assert(std::endian::native == std::endian::little, "the formats' fields and tables are copied as they lie");

// A value from bytes at any alignment; the machine's order is the formats'.
template <class T>
T load(const std::byte* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class T>
void store(std::byte* at, T value) noexcept {
    std::memcpy(at, &value, sizeof value);
}

// An I/O error of the system while bytes were read or written: its error
// number. Thrown by sinks and sources that sit on files.
struct IoError {
    int error;
};

// Where a writer puts its bytes, in order. A sink that cannot take them (a
// full disk) throws; a writer only ever appends.
class ByteSink {
public:
    virtual void write(std::span<const std::byte> bytes) = 0;

    template <class T>
    void value(T v) {
        write(std::as_bytes(std::span(&v, 1)));
    }
    template <class T>
    void values(std::span<const T> vs) {
        if (!vs.empty()) write(std::as_bytes(vs));
    }

protected:
    ~ByteSink() = default;
};

// Appends to a vector (which the caller may size up front).
class VectorSink final : public ByteSink {
public:
    explicit VectorSink(std::vector<std::byte>& out) noexcept : out_(out) {}
    void write(std::span<const std::byte> bytes) override {
        if (bytes.empty()) return;
        const std::size_t at = out_.size();
        out_.resize(at + bytes.size());
        std::memcpy(out_.data() + at, bytes.data(), bytes.size());
    }

private:
    std::vector<std::byte>& out_;
};

// Counts what a writer would write, so that its output can be sized first.
class CountingSink final : public ByteSink {
public:
    void write(std::span<const std::byte> bytes) noexcept override { count_ += bytes.size(); }
    std::uint64_t count() const noexcept { return count_; }

private:
    std::uint64_t count_ = 0;
};

// Where a reader takes its bytes from, in order. How many are left is known up
// front, so a reader checks every length it is given against it before it
// allocates anything.
class ByteInput {
public:
    virtual std::uint64_t left() const noexcept = 0;
    // Fills `out` with the next bytes; false, reading nothing, when fewer are
    // left. A source that fails (an I/O error) throws.
    virtual bool read(std::span<std::byte> out) = 0;

    template <class T>
    bool value(T& out) {
        return read(std::as_writable_bytes(std::span(&out, 1)));
    }

protected:
    ~ByteInput() = default;
};

// The bytes of a span, front to back.
class SpanInput final : public ByteInput {
public:
    explicit SpanInput(std::span<const std::byte> bytes) noexcept : bytes_(bytes) {}
    std::uint64_t left() const noexcept override { return bytes_.size() - at_; }
    bool read(std::span<std::byte> out) noexcept override {
        if (out.size() > left()) return false;
        if (!out.empty()) std::memcpy(out.data(), bytes_.data() + at_, out.size());
        at_ += out.size();
        return true;
    }

private:
    std::span<const std::byte> bytes_;
    std::size_t at_ = 0;
};

}  // namespace kestrix
