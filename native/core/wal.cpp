#include "wal.hpp"

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
#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <utility>

#include "bytes.hpp"
#include "container.hpp"
#include "file_io.hpp"
#include "thread_pool.hpp"

namespace kestrix::wal {

namespace {

constexpr char LOG_MAGIC[8] = {'K', 'X', 'L', 'O', 'G', '\0', '\r', '\n'};
constexpr char RECORD_MAGIC[4] = {'K', 'X', 'R', 'C'};

// Header fields.
constexpr std::size_t H_VERSION = 8;
constexpr std::size_t H_META_LENGTH = 12;
constexpr std::size_t H_BASE = 16;
constexpr std::size_t H_TAG = 24;
constexpr std::size_t H_RESERVED = 40;
constexpr std::size_t H_CRC = 44;

// Record header fields.
constexpr std::size_t R_KIND = 4;
constexpr std::size_t R_SEQ = 8;
constexpr std::size_t R_LENGTH = 16;
constexpr std::size_t R_PAYLOAD_CRC = 24;
constexpr std::size_t R_CRC = 28;

// Reads go through a window of at least this many bytes.
constexpr std::size_t WINDOW_BYTES = std::size_t{1} << 20;

std::unexpected<LogError> io_error(int error) noexcept { return std::unexpected(LogError{LogError::Kind::Io, error}); }
std::unexpected<LogError> fail(LogError::Kind kind) noexcept { return std::unexpected(LogError{kind, 0}); }

bool all_zero(std::span<const std::byte> bytes) noexcept {
    return std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{0}; });
}

// The tag as its 16 stored bytes.
std::array<std::byte, TAG_BYTES> tag_bytes(std::string_view tag) noexcept {
    std::array<std::byte, TAG_BYTES> out{};
    std::memcpy(out.data(), tag.data(), std::min(tag.size(), TAG_BYTES));
    return out;
}

// The tag of stored bytes: up to the first zero byte.
std::string tag_of(const std::byte* at) {
    const char* text = reinterpret_cast<const char*>(at);
    return std::string(text, strnlen(text, TAG_BYTES));
}

// Whether a record header at `at` (RECORD_HEADER_BYTES bytes) is one a writer wrote.
bool valid_record_header(const std::byte* at) noexcept {
    return std::memcmp(at, RECORD_MAGIC, sizeof RECORD_MAGIC) == 0 &&
           container::crc32({at, R_CRC}) == load<std::uint32_t>(at + R_CRC);
}

// ---- The few system calls a log makes. Descriptors are C runtime ones on
// Windows too, so FileHandle is the same everywhere. Every call returns 0 or
// the errno of what failed.

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

HANDLE handle_of(int fd) noexcept { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

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

// Writes every byte of `parts` at `offset`; the parts are consumed.
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

// Reads exactly `length` bytes at `offset` (EIO for a file that ends sooner
// than its size said).
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

using Piece = iovec;

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

std::string folder_of(const std::string& path) {
#if defined(_WIN32)
    const auto slash = path.find_last_of("/\\");
#else
    const auto slash = path.rfind('/');
#endif
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes a rename in the folder durable.
int flush_folder(const std::string& path) noexcept {
    FileHandle folder(::open(folder_of(path).c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY));
    if (folder.get() < 0) return errno;
    return ::fsync(folder.get()) == 0 ? 0 : errno;
}

// The size of a regular file; EINVAL for anything else.
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

// Writes every byte of `parts` at `offset`, through short writes and signals;
// the parts are consumed.
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

// Reads exactly `length` bytes at `offset` (EIO for a file that ends sooner
// than its size said).
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

// "record 5 <one>", "records 5 to 9 <many>", "every record after 4 <one>".
std::string range_text(const RecordRange& r, std::string_view one, std::string_view many) {
    if (r.last == NO_END) return "every record after " + std::to_string(r.first - 1) + " " + std::string(one);
    if (r.first == r.last) return "record " + std::to_string(r.first) + " " + std::string(one);
    return "records " + std::to_string(r.first) + " to " + std::to_string(r.last) + " " + std::string(many);
}

// Appends a lost range, merged with the one before when they touch.
void add_lost(std::vector<RecordRange>& lost, RecordRange range) {
    if (!lost.empty() && lost.back().last != NO_END && lost.back().last + 1 >= range.first) {
        lost.back().last = std::max(lost.back().last, range.last);
        return;
    }
    lost.push_back(range);
}

}  // namespace

// ---------------------------------------------------------------- small types

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int FileHandle::release() noexcept { return std::exchange(fd_, -1); }

void FileHandle::reset(int fd) noexcept {
    if (fd_ >= 0) close_file(fd_);
    fd_ = fd;
}

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

std::string describe(const Finding& f) {
    using K = Finding::Kind;
    const std::string at = " at byte " + std::to_string(f.offset);
    switch (f.kind) {
        case K::TornTail:
            return "dropped an unfinished last record (" + std::to_string(f.bytes) + " bytes" + at +
                   "), which was never acknowledged";
        case K::Missing: return "the log is missing: " + range_text(f.records, "is lost", "are lost");
        case K::HeaderDamaged: return "the log's header is damaged: " + range_text(f.records, "is lost", "are lost");
        case K::BaseAhead:
            return "the log starts after the checkpoint: " +
                   range_text(f.records, "was held by a later checkpoint", "were held by a later checkpoint");
        case K::Unreadable: return std::to_string(f.bytes) + " bytes" + at + " hold no readable record";
        case K::Gap: return range_text(f.records, "cannot be found in the log", "cannot be found in the log");
        case K::BadChecksum: return "record " + std::to_string(f.records.first) + at + " fails its checksum";
        case K::OutOfOrder:
            return "record " + std::to_string(f.records.first) + at + " was found after record " +
                   std::to_string(f.records.last) + " (applied in its turn)";
        case K::Repeat:
            return "record " + std::to_string(f.records.first) + " appears again" + at + " (the first copy stands)";
        case K::BeforeStart:
            return "record " + std::to_string(f.records.first) + at +
                   " is numbered before the log's first record (ignored)";
        case K::Cut:
            return "the log ends" + at + " before " +
                   range_text(f.records, "(acknowledged), which is lost", "(acknowledged), which are lost");
    }
    return "unknown finding";
}

bool Recovery::intact() const noexcept {
    return lost.empty() && std::all_of(findings.begin(), findings.end(),
                                       [](const Finding& f) { return f.kind == Finding::Kind::TornTail; });
}

bool Recovery::resumable() const noexcept {
    return settled && intact() && !missing && kept_aside.empty() && header.base == checkpoint;
}

// ---------------------------------------------------------------- reading

std::expected<LogReader, LogError> LogReader::open(const std::string& path, const RecoverOptions& options) {
    if (options.tag.size() > TAG_BYTES) return fail(LogError::Kind::BadArgument);
    LogReader reader;
    reader.path_ = path;
    reader.acknowledged_ = options.acknowledged;
    Recovery& report = reader.report_;
    const std::uint64_t expected = options.expected_base.value_or(0);
    // Nothing to hand over, and everything after the checkpoint lost.
    report.checkpoint = expected;
    const auto lost_whole = [&](Finding::Kind kind) {
        report.findings.push_back(Finding{kind, {expected + 1, NO_END}});
        report.lost.push_back({expected + 1, NO_END});
        report.next_seq = expected + 1;
        reader.scanned_ = reader.finished_ = true;
    };
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    if (const int error = open_file(path, Access::Read, reader.file_)) {
        if (error != ENOENT) return io_error(error);
        report.missing = true;
        lost_whole(Finding::Kind::Missing);
        return reader;
    }
    if (const int error = regular_size(reader.file_.get(), reader.size_)) {
        return error == EINVAL ? fail(LogError::Kind::NotRegularFile) : io_error(error);
    }

    std::array<std::byte, HEADER_BYTES> header{};
    const std::size_t present = static_cast<std::size_t>(std::min<std::uint64_t>(reader.size_, HEADER_BYTES));
    if (const int error = read_all(reader.file_.get(), 0, header.data(), present)) return io_error(error);
    // Only the magic tells a log from another file: a short or damaged header
    // after it is this log's, and the loss is reported, not refused.
    if (std::memcmp(header.data(), LOG_MAGIC, std::min(present, sizeof LOG_MAGIC)) != 0) {
        return fail(LogError::Kind::NotALog);
    }
    if (present >= H_VERSION + 4 && load<std::uint32_t>(header.data() + H_VERSION) != LOG_VERSION) {
        return fail(LogError::Kind::UnsupportedVersion);
    }
    const std::uint64_t meta_length = present == HEADER_BYTES ? load<std::uint32_t>(header.data() + H_META_LENGTH) : 0;
    if (present < HEADER_BYTES || meta_length > MAX_META_BYTES || meta_length > reader.size_ - HEADER_BYTES) {
        lost_whole(Finding::Kind::HeaderDamaged);
        return reader;
    }
    std::vector<std::byte> meta(static_cast<std::size_t>(meta_length));
    if (const int error = read_all(reader.file_.get(), HEADER_BYTES, meta.data(), meta.size())) return io_error(error);
    const std::uint32_t crc = container::crc32(meta, container::crc32({header.data(), H_CRC}));
    if (crc != load<std::uint32_t>(header.data() + H_CRC) || load<std::uint32_t>(header.data() + H_RESERVED) != 0) {
        lost_whole(Finding::Kind::HeaderDamaged);
        return reader;
    }
    report.header.base = load<std::uint64_t>(header.data() + H_BASE);
    report.header.tag = tag_of(header.data() + H_TAG);
    report.header.meta = std::move(meta);
    if (report.header.tag != options.tag) return fail(LogError::Kind::ForeignLog);

    const std::uint64_t base = report.header.base;
    reader.floor_ = report.checkpoint = options.expected_base.value_or(base);
    if (base > reader.floor_) {
        const RecordRange between{reader.floor_ + 1, base};
        report.findings.push_back(Finding{Finding::Kind::BaseAhead, between});
        report.lost.push_back(between);
    }
    reader.want_ = std::max(base, reader.floor_) + 1;
    reader.highest_ = reader.want_ - 1;
    reader.pos_ = report.end = HEADER_BYTES + meta_length;
    return reader;
}

std::expected<std::span<const std::byte>, LogError> LogReader::read_at(std::uint64_t offset, std::size_t length) {
    if (offset >= window_at_ && offset - window_at_ <= window_len_ && length <= window_len_ - (offset - window_at_)) {
        return std::span<const std::byte>(window_.data() + (offset - window_at_), length);
    }
    // Callers only ask for bytes the file's size holds. What the window holds
    // from `offset` on moves to its front, so a scan reads every byte once.
    const std::size_t fill =
        static_cast<std::size_t>(std::min<std::uint64_t>(std::max(length, WINDOW_BYTES), size_ - offset));
    std::size_t kept = 0;
    if (offset >= window_at_ && offset - window_at_ < window_len_) {
        kept = static_cast<std::size_t>(window_at_ + window_len_ - offset);
        std::memmove(window_.data(), window_.data() + (offset - window_at_), kept);
    }
    window_at_ = offset;
    window_len_ = kept;
    if (window_.size() < fill) window_.resize(fill);
    if (const int error = read_all(file_.get(), offset + kept, window_.data() + kept, fill - kept)) {
        window_len_ = 0;
        return io_error(error);
    }
    window_len_ = fill;
    return std::span<const std::byte>(window_.data(), length);
}

// The offset of the first whole record header after `from`, if any.
std::expected<std::optional<std::uint64_t>, LogError> LogReader::next_header_after(std::uint64_t from) {
    std::uint64_t at = from + 1;
    while (at + RECORD_HEADER_BYTES <= size_) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(WINDOW_BYTES, size_ - at));
        const auto view = read_at(at, length);
        if (!view) return std::unexpected(view.error());
        const std::byte* data = view->data();
        for (std::size_t i = 0; i + RECORD_HEADER_BYTES <= length;) {
            const void* found = std::memchr(data + i, RECORD_MAGIC[0], length - RECORD_HEADER_BYTES + 1 - i);
            if (found == nullptr) break;
            i = static_cast<std::size_t>(static_cast<const std::byte*>(found) - data);
            if (valid_record_header(data + i)) return at + i;
            ++i;
        }
        // The next window overlaps this one by a header's length, less one.
        at += length - RECORD_HEADER_BYTES + 1;
    }
    return std::optional<std::uint64_t>();
}

std::expected<LogReader::Step, LogError> LogReader::scan() {
    using S = Step::Kind;
    const std::uint64_t at = pos_;
    if (at == size_) return Step{S::End, 0, {}, at};
    if (size_ - at < RECORD_HEADER_BYTES) return Step{S::Tail, 0, {at, size_ - at, 0, 0}, size_};
    const auto head = read_at(at, RECORD_HEADER_BYTES);
    if (!head) return std::unexpected(head.error());
    if (!valid_record_header(head->data())) {
        const bool zero_head = all_zero(*head);
        const auto found = next_header_after(at);
        if (!found) return std::unexpected(found.error());
        // A file system may extend a file before the data reaches it, so a
        // crash can leave zeros where an unfinished record's first page
        // should be; with no record after them, that is the torn tail.
        if (!*found && zero_head) return Step{S::Tail, 0, {at, size_ - at, 0, 0}, size_};
        const std::uint64_t next = found->value_or(size_);
        return Step{S::Unreadable, 0, {at, next - at, 0, 0}, next};
    }
    const auto kind = load<std::uint32_t>(head->data() + R_KIND);
    const auto seq = load<std::uint64_t>(head->data() + R_SEQ);
    const auto length = load<std::uint64_t>(head->data() + R_LENGTH);
    const auto crc = load<std::uint32_t>(head->data() + R_PAYLOAD_CRC);
    const Location where{at, length, kind, crc};
    // The file ends inside the record: a write that never finished.
    if (length > size_ - at - RECORD_HEADER_BYTES) return Step{S::Tail, seq, {at, size_ - at, 0, 0}, size_};
    const std::uint64_t next = at + RECORD_HEADER_BYTES + length;
    const auto payload = read_at(at + RECORD_HEADER_BYTES, static_cast<std::size_t>(length));
    if (!payload) return std::unexpected(payload.error());
    return Step{container::crc32(*payload) == crc ? S::Record : S::BadRecord, seq, where, next};
}

RecordView LogReader::hand_over(std::uint64_t seq, std::uint32_t kind, std::span<const std::byte> payload) {
    ++report_.applied;
    report_.last_seq = seq;
    want_ = seq + 1;
    return RecordView{seq, kind, payload};
}

void LogReader::finish_scan() {
    if (highest_ >= want_) {
        add_lost(report_.lost, {want_, highest_});
        want_ = highest_ + 1;
    }
    if (acknowledged_ >= want_) {
        // An unfinished record among them was acknowledged once: cut later, not torn by a crash.
        std::erase_if(report_.findings, [](const Finding& f) { return f.kind == Finding::Kind::TornTail; });
        report_.findings.push_back(Finding{Finding::Kind::Cut, {want_, acknowledged_}, report_.end});
        add_lost(report_.lost, {want_, acknowledged_});
        want_ = acknowledged_ + 1;
    }
    if (lost_tail_) add_lost(report_.lost, {want_, NO_END});
    report_.next_seq = want_;
    finished_ = true;
}

std::expected<std::optional<RecordView>, LogError> LogReader::next() {
    using S = Step::Kind;
    using F = Finding::Kind;
    if (finished_) return std::optional<RecordView>();
    for (;;) {
        // A record found ahead of its turn, whose turn has come.
        if (!pending_.empty() && pending_.begin()->first == want_) {
            const Location where = pending_.begin()->second;
            pending_.erase(pending_.begin());
            const auto payload = read_at(where.offset + RECORD_HEADER_BYTES, static_cast<std::size_t>(where.length));
            if (!payload) return std::unexpected(payload.error());
            // Read again: it must still be what the scan checked.
            if (container::crc32(*payload) == where.crc) return hand_over(want_, where.kind, *payload);
            report_.findings.push_back(Finding{F::BadChecksum, {want_, want_}, where.offset});
            continue;
        }
        if (scanned_) {
            if (pending_.empty()) {
                finish_scan();
                return std::optional<RecordView>();
            }
            // Nothing filled the gap before the next record found: lost.
            const RecordRange gap{want_, pending_.begin()->first - 1};
            // A record whose checksum failed is named already.
            const bool named = gap.first == gap.last &&
                               std::any_of(report_.findings.begin(), report_.findings.end(), [&](const Finding& f) {
                                   return f.kind == F::BadChecksum && f.records.first == gap.first;
                               });
            if (!named) report_.findings.push_back(Finding{F::Gap, gap});
            add_lost(report_.lost, gap);
            want_ = gap.last + 1;
            continue;
        }
        const auto step = scan();
        if (!step) return std::unexpected(step.error());
        pos_ = step->next;
        const Location& where = step->where;
        switch (step->kind) {
            case S::End:
                report_.end = size_;
                scanned_ = true;
                continue;
            case S::Tail:
                report_.end = where.offset;
                report_.findings.push_back(Finding{F::TornTail, {step->seq, step->seq}, where.offset, where.length});
                scanned_ = true;
                continue;
            case S::Unreadable:
                report_.findings.push_back(Finding{F::Unreadable, {0, 0}, where.offset, where.length});
                if (pos_ == size_) scanned_ = lost_tail_ = true;
                continue;
            case S::BadRecord:
                report_.end = pos_;
                report_.findings.push_back(Finding{F::BadChecksum, {step->seq, step->seq}, where.offset});
                if (step->seq > floor_) highest_ = std::max(highest_, step->seq);
                continue;
            case S::Record: break;
        }
        report_.end = pos_;
        const std::uint64_t seq = step->seq;
        if (seq <= report_.header.base) {
            report_.findings.push_back(Finding{F::BeforeStart, {seq, seq}, where.offset});
        } else if (seq <= floor_) {
            ++report_.skipped;
        } else if (seq < want_ || pending_.contains(seq)) {
            report_.findings.push_back(Finding{F::Repeat, {seq, seq}, where.offset});
        } else if (seq > want_) {
            pending_.emplace(seq, where);
            highest_ = std::max(highest_, seq);
        } else {
            if (!pending_.empty()) {
                report_.findings.push_back(Finding{F::OutOfOrder, {seq, pending_.rbegin()->first}, where.offset});
            }
            const auto payload = read_at(where.offset + RECORD_HEADER_BYTES, static_cast<std::size_t>(where.length));
            if (!payload) return std::unexpected(payload.error());
            return hand_over(seq, where.kind, *payload);
        }
    }
}

std::expected<void, LogError> LogReader::settle() {
    if (!finished_) return fail(LogError::Kind::BadArgument);
    if (report_.settled) return {};
    file_.reset();
    std::vector<std::byte>().swap(window_);
    window_len_ = 0;
    const bool damaged = std::any_of(report_.findings.begin(), report_.findings.end(), [](const Finding& f) {
        return f.kind != Finding::Kind::TornTail && f.kind != Finding::Kind::BaseAhead &&
               f.kind != Finding::Kind::Missing;
    });
    if (damaged) {
        // Kept whole under a name of its own, never overwriting one kept before.
        std::string aside = path_ + ".damaged";
        for (int n = 2; file_exists(aside); ++n) aside = path_ + ".damaged." + std::to_string(n);
        if (const int error = rename_file(path_, aside)) return io_error(error);
        report_.kept_aside = aside;
        if (const int error = flush_folder(path_)) return io_error(error);
    } else if (!report_.missing && report_.end < size_) {
        FileHandle file;
        if (const int error = open_file(path_, Access::Write, file)) return io_error(error);
        if (const int error = truncate_file(file.get(), report_.end)) return io_error(error);
        if (const int error = flush_file(file.get())) return io_error(error);
    }
    report_.settled = true;
    return {};
}

std::expected<Recovery, LogError> recover(const std::string& path, const RecoverOptions& options,
                                          const std::function<bool(const RecordView&)>& apply) {
    auto reader = LogReader::open(path, options);
    if (!reader) return std::unexpected(reader.error());
    for (;;) {
        const auto record = reader->next();
        if (!record) return std::unexpected(record.error());
        if (!*record) break;
        if (!apply(**record)) return reader->report();
    }
    if (const auto settled = reader->settle(); !settled) return std::unexpected(settled.error());
    return reader->report();
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
