#include "wal.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <utility>

#include "bytes.hpp"
#include "container.hpp"
#include "thread_pool.hpp"
#include "wal_io.hpp"
#include "wal_layout.hpp"

namespace kestrix::wal {

namespace {

// The tag as its 16 stored bytes.
std::array<std::byte, TAG_BYTES> tag_bytes(std::string_view tag) noexcept {
    std::array<std::byte, TAG_BYTES> out{};
    std::memcpy(out.data(), tag.data(), std::min(tag.size(), TAG_BYTES));
    return out;
}

}  // namespace

std::string_view error_name(LogError::Kind kind) noexcept {
    using K = LogError::Kind;
    switch (kind) {
        case K::Io: return "Io";
        case K::Refusing: return "Refusing";
        case K::Closed: return "Closed";
        case K::BadArgument: return "BadArgument";
        case K::NotALog: return "NotALog";
        case K::UnsupportedVersion: return "UnsupportedVersion";
        case K::ForeignLog: return "ForeignLog";
        case K::NotRegularFile: return "NotRegularFile";
        case K::Forked: return "Forked";
    }
    return "Unknown";
}

// ---------------------------------------------------------------- writing

Log::Log(std::string path, FileHandle file, std::uint64_t end, std::uint64_t next_seq)
    : path_(std::move(path)),
      owner_(current_process()),
      sync_(std::make_unique<Sync>()),
      mutex_(sync_->mutex),
      flushed_(sync_->flushed),
      appended_(sync_->appended),
      file_(std::move(file)),
      end_(end),
      next_seq_(next_seq),
      durable_(next_seq - 1) {}

Log::~Log() {
    if (inherited()) {
        // Left as the fork found them: see the class's description.
        static_cast<void>(sync_.release());
        file_.reset();
        return;
    }
    close();
}

bool Log::inherited() const noexcept { return current_process() != owner_; }

std::expected<std::unique_ptr<Log>, LogError> Log::create(const std::string& path, std::string_view tag,
                                                          std::uint64_t base, std::span<const std::byte> meta) {
    if (tag.size() > TAG_BYTES || tag.find('\0') != std::string_view::npos || meta.size() > MAX_META_BYTES ||
        base == NO_END) {
        return fail(LogError::Kind::BadArgument);
    }
    std::array<std::byte, HEADER_BYTES> header{};
    std::memcpy(header.data(), LOG_MAGIC, sizeof LOG_MAGIC);
    store<std::uint32_t>(header.data() + H_VERSION, LOG_VERSION);
    store<std::uint32_t>(header.data() + H_META_LENGTH, static_cast<std::uint32_t>(meta.size()));
    store<std::uint64_t>(header.data() + H_BASE, base);
    const auto tag_field = tag_bytes(tag);
    std::memcpy(header.data() + H_TAG, tag_field.data(), TAG_BYTES);
    store<std::uint32_t>(header.data() + H_CRC, container::crc32(meta, container::crc32({header.data(), H_CRC})));

    // One temporary name per log: a crash before the rename leaves at most
    // this file, which the next creation overwrites.
    const auto slash = path.rfind('/');
    const std::string tmp = slash == std::string::npos
                                ? "." + path + ".tmp"
                                : path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".tmp";
    FileHandle file;
    if (const int error = open_file(tmp, Access::Create, file)) return io_error(error);
    Piece parts[] = {{header.data(), header.size()}, {const_cast<std::byte*>(meta.data()), meta.size()}};
    int error = write_all(file.get(), 0, parts);
    if (error == 0) error = flush_file(file.get());
    if (error == 0) error = rename_file(tmp, path);
    if (error != 0) {
        remove_file(tmp);
        return io_error(error);
    }
    if (const int folder_error = flush_folder(path)) return io_error(folder_error);
    return std::unique_ptr<Log>(new Log(path, std::move(file), HEADER_BYTES + meta.size(), base + 1));
}

std::expected<std::unique_ptr<Log>, LogError> Log::resume(const LogReader& reader) {
    const Recovery& report = reader.report();
    if (!report.resumable()) return fail(LogError::Kind::BadArgument);
    FileHandle file;
    if (const int error = open_file(reader.path(), Access::Write, file)) return io_error(error);
    // The file must be the one the reader settled, as it left it.
    std::uint64_t size = 0;
    const int checked = regular_size(file.get(), size);
    if (checked != 0 && checked != EINVAL) return io_error(checked);
    if (checked == EINVAL || size != report.end) return fail(LogError::Kind::BadArgument);
    // What recovery handed over may still be only in the page cache of a
    // process that crashed: durable before anything is added after it.
    if (const int error = flush_file(file.get())) return io_error(error);
    return std::unique_ptr<Log>(new Log(reader.path(), std::move(file), report.end, report.next_seq));
}

std::expected<std::uint64_t, LogError> Log::append(std::uint32_t kind,
                                                   std::span<const std::span<const std::byte>> parts) {
    std::uint64_t length = 0;
    std::uint32_t payload_crc = 0;
    for (const auto& part : parts) {
        length += part.size();
        payload_crc = container::crc32(part, payload_crc);
    }
    std::vector<Piece> pieces;
    pieces.reserve(parts.size() + 1);
    std::array<std::byte, RECORD_HEADER_BYTES> head{};
    pieces.push_back({head.data(), head.size()});
    for (const auto& part : parts) pieces.push_back({const_cast<std::byte*>(part.data()), part.size()});

    if (inherited()) return fail(LogError::Kind::Forked);
    std::lock_guard lock(mutex_);
    if (closed_) return fail(LogError::Kind::Closed);
    if (failed_ != 0) return std::unexpected(LogError{LogError::Kind::Refusing, failed_});
    const std::uint64_t seq = next_seq_;
    std::memcpy(head.data(), RECORD_MAGIC, sizeof RECORD_MAGIC);
    store<std::uint32_t>(head.data() + R_KIND, kind);
    store<std::uint64_t>(head.data() + R_SEQ, seq);
    store<std::uint64_t>(head.data() + R_LENGTH, length);
    store<std::uint32_t>(head.data() + R_PAYLOAD_CRC, payload_crc);
    store<std::uint32_t>(head.data() + R_CRC, container::crc32({head.data(), R_CRC}));
    if (const int error = write_all(file_.get(), end_, pieces)) {
        // Whatever reached the file goes again, so that the next record
        // follows the last whole one.
        if (truncate_file(file_.get(), end_) != 0) failed_ = error;
        return io_error(error);
    }
    end_ += RECORD_HEADER_BYTES + length;
    ++next_seq_;
    appended_.notify_one();
    return seq;
}

std::expected<void, LogError> Log::sync(std::uint64_t seq) {
    if (inherited()) return fail(LogError::Kind::Forked);
    std::unique_lock lock(mutex_);
    if (seq >= next_seq_) return fail(LogError::Kind::BadArgument);
    if (durable_ >= seq) return {};
    ++in_sync_;
    struct Leave {
        std::size_t& count;
        ~Leave() { --count; }
    } leave{in_sync_};
    for (;;) {
        if (durable_ >= seq) return {};
        if (failed_ != 0) return std::unexpected(LogError{LogError::Kind::Refusing, failed_});
        if (closed_) return fail(LogError::Kind::Closed);
        if (flushing_) {
            flushed_.wait(lock);
            continue;
        }
        flushing_ = true;
        if (group_ > 1) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(flush_ns_ / 2);
            appended_.wait_until(lock, deadline,
                                 [&] { return next_seq_ - 1 - durable_ >= group_ || closed_ || failed_ != 0; });
        }
        const std::uint64_t target = next_seq_ - 1;
        int error = closed_ ? -1 : 0;
        if (error == 0) {
            lock.unlock();
            const auto started = std::chrono::steady_clock::now();
            error = flush_file(file_.get());
            const auto took = std::chrono::steady_clock::now() - started;
            lock.lock();
            flush_ns_ = std::chrono::duration_cast<std::chrono::nanoseconds>(took).count();
        }
        flushing_ = false;
        if (error > 0 && failed_ == 0) failed_ = error;
        if (error == 0) {
            durable_ = std::max(durable_, target);
            group_ = std::max<std::size_t>(in_sync_, 1);
        }
        flushed_.notify_all();
    }
}

std::expected<std::uint64_t, LogError> Log::append_durable(std::uint32_t kind,
                                                           std::span<const std::span<const std::byte>> parts) {
    const auto seq = append(kind, parts);
    if (!seq) return seq;
    if (const auto synced = sync(*seq); !synced) return std::unexpected(synced.error());
    return seq;
}

void Log::close() noexcept {
    if (inherited()) return;  // the child's copy of the file goes with the Log
    std::unique_lock lock(mutex_);
    if (closed_) return;
    closed_ = true;
    appended_.notify_all();
    flushed_.wait(lock, [&] { return !flushing_; });
    file_.reset();
    flushed_.notify_all();
}

// In a forked child nothing writes these (every append fails), so they are
// read as the fork left them, without the lock.
std::uint64_t Log::next_seq() const {
    if (inherited()) return next_seq_;
    std::lock_guard lock(mutex_);
    return next_seq_;
}

std::uint64_t Log::durable_seq() const {
    if (inherited()) return durable_;
    std::lock_guard lock(mutex_);
    return durable_;
}

}  // namespace kestrix::wal
