// The write-ahead log: numbered, checksummed records appended to a file after
// a header, made durable by a flush that many writers share (group commit),
// and the one routine that reads a log back after a crash.
//
// Layout, little-endian. The header (48 bytes, then the caller's meta bytes):
//   0  magic "KXLOG\0\r\n"      8  u32 format version   12 u32 meta length
//   16 u64 base: the number of the record the log continues from (its first
//      record is base + 1)
//   24 tag: 16 bytes naming what the records are for, zero-padded
//   40 u32 zero                 44 u32 CRC-32 of bytes 0..43 and the meta
// Each record (a 32-byte header, then the payload):
//   0  magic "KXRC"   4 u32 kind (the caller's)   8 u64 number
//   16 u64 payload length   24 u32 CRC-32 of the payload
//   28 u32 CRC-32 of bytes 0..27
// Numbers run base + 1, base + 2, ... without a gap. The record header's own
// checksum lets a reader trust a length before it reads that far, and find
// the next record again after damage; the payload's checksum says whether
// the bytes are the ones written.
//
// A log is created whole (written beside its path, flushed and renamed over
// it), so a log file always starts with a complete header. Appends write at
// the end; a record is acknowledged only once a flush that began after its
// write had ended has returned. A crash can therefore cut short only records
// that nobody was told were stored, and they can only be at the end.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix::wal {

inline constexpr std::uint32_t LOG_VERSION = 1;
inline constexpr std::size_t HEADER_BYTES = 48;
inline constexpr std::size_t TAG_BYTES = 16;
inline constexpr std::size_t MAX_META_BYTES = 1 << 16;
inline constexpr std::size_t RECORD_HEADER_BYTES = 32;
// The last number a range can name: "this record and every one after it".
inline constexpr std::uint64_t NO_END = ~std::uint64_t{0};

// An owned file descriptor, closed on every path.
class FileHandle {
public:
    FileHandle() noexcept = default;
    explicit FileHandle(int fd) noexcept : fd_(fd) {}
    FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { reset(); }

    int get() const noexcept { return fd_; }
    int release() noexcept;
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// What a log call could not do. `error` is the errno of the failed system
// call (Io, Refusing) or 0.
struct LogError {
    enum class Kind : std::uint8_t {
        Io,                  // a system call failed
        Refusing,            // an earlier write or flush failed and could not be undone: nothing more is taken
        Closed,              // the log was closed
        BadArgument,         // a tag or meta too long, a number never appended, a log not fit to resume
        NotALog,             // the file does not start with a log's magic (the folder holds something else)
        UnsupportedVersion,  // a log written by a later format
        ForeignLog,          // a log kept for something else (another tag)
        NotRegularFile,      // a folder, a FIFO, a device: never read as a log
        Forked,              // a Log used in a child forked from the process that opened it
    };
    Kind kind;
    int error = 0;

    friend bool operator==(const LogError&, const LogError&) = default;
};

std::string_view error_name(LogError::Kind kind) noexcept;

// An inclusive range of record numbers; last == NO_END: and every record after.
struct RecordRange {
    std::uint64_t first;
    std::uint64_t last;

    friend bool operator==(const RecordRange&, const RecordRange&) = default;
};

// Something recovery found in a log besides whole records in order.
struct Finding {
    enum class Kind : std::uint8_t {
        TornTail,       // the end holds an unfinished record (never acknowledged); dropped
        Missing,        // no log where the caller expected one
        HeaderDamaged,  // the header fails its checksum or is cut short
        BaseAhead,      // the log continues a later record than the caller's checkpoint holds
        Unreadable,     // bytes that hold no readable record
        Gap,            // numbers missing between records that are there
        BadChecksum,    // a record whose payload is not what was written
        OutOfOrder,     // a record found after a higher-numbered one
        Repeat,         // a number seen before (the first copy is the one applied)
        BeforeStart,    // a record numbered at or before the number the log continues from
        Cut,            // the log ends before records the caller knows were acknowledged
    };
    Kind kind;
    RecordRange records{0, 0};  // the records concerned, where known
    std::uint64_t offset = 0;   // where in the file
    std::uint64_t bytes = 0;    // how many bytes (TornTail, Unreadable)

    friend bool operator==(const Finding&, const Finding&) = default;
};

// One line saying what a finding means for the data.
std::string describe(const Finding& finding);

struct LogHeader {
    std::uint64_t base = 0;
    std::string tag;
    std::vector<std::byte> meta;
};

// What recovery did: the structured report a caller surfaces.
struct Recovery {
    LogHeader header;
    std::uint64_t checkpoint = 0;  // the last record the caller's checkpoint holds, as expected or by the header
    std::uint64_t applied = 0;     // records handed to the caller
    std::uint64_t skipped = 0;     // records the caller's checkpoint already holds
    std::uint64_t last_seq = 0;    // the highest record handed over (0: none)
    std::uint64_t next_seq = 1;    // above every number seen and expected: the next log's first
    std::vector<RecordRange> lost;
    std::vector<Finding> findings;
    std::uint64_t end = 0;   // bytes of the log up to the end of its last whole record
    std::string kept_aside;  // where the damaged log was moved (empty: nowhere)
    bool missing = false;
    bool settled = false;

    // Nothing lost and nothing odd: at most a torn tail, which was never acknowledged.
    bool intact() const noexcept;
    // The log can take appends after its last record as it is: intact, present,
    // and continuing the checkpoint the caller loaded.
    bool resumable() const noexcept;
};

struct RecoverOptions {
    std::string_view tag;
    // The number of the last record the caller's checkpoint holds. Records up
    // to it are skipped; if the log starts after it, what lies between is lost.
    // Without it the log's own base is taken as the checkpoint's.
    std::optional<std::uint64_t> expected_base;
    // Records up to this number are known to have been acknowledged (say, the
    // writer closed the log after them and noted how many there were). A log
    // that ends before one of them, even inside it, lost it: that is no
    // unfinished write but a loss, reported and kept aside.
    std::uint64_t acknowledged = 0;
};

struct RecordView {
    std::uint64_t seq;
    std::uint32_t kind;
    std::span<const std::byte> payload;  // valid until the next call to next()
};

// Reads a log back, one record in memory at a time, handing records over in
// numbered order (one out of place in the file is handed over in its turn);
// it never changes the file until settle().
//
// Only a record the file ends inside, or a tail of zeros where the file
// system extended it before a crash (or one whose first 32 bytes are zero and
// after which no record can be found), is dropped without a word: it was
// never acknowledged (unless the caller knows better: see
// RecoverOptions::acknowledged). Everything else is a finding, and every
// record number between the checkpoint and the last number seen (or known
// acknowledged) that could not be handed over is in `lost`. Intact records after a damaged stretch are handed over
// all the same; the report names the ones that were not.
class LogReader {
public:
    // Refuses (LogError) only files that are not this kind of log at all: not
    // a regular file, another magic, a later version, another tag. A missing
    // log or a damaged header gives a reader with nothing to hand over and
    // the loss in its report.
    static std::expected<LogReader, LogError> open(const std::string& path, const RecoverOptions& options);

    // The next record in numbered order, or nothing once every record is out.
    std::expected<std::optional<RecordView>, LogError> next();

    // After next() has given nothing: a torn tail is cut off the file (the
    // file's own end, nothing else); a log with any other finding is moved
    // aside to "<path>.damaged" (".damaged.2", ... when taken) and never
    // changed in place. Either way the folder is flushed.
    std::expected<void, LogError> settle();

    const Recovery& report() const noexcept { return report_; }
    const std::string& path() const noexcept { return path_; }

private:
    struct Location {
        std::uint64_t offset;
        std::uint64_t length;
        std::uint32_t kind;
        std::uint32_t crc;
    };
    // One step of the scan through the file.
    struct Step {
        enum class Kind : std::uint8_t { End, Record, BadRecord, Tail, Unreadable } kind;
        std::uint64_t seq = 0;
        Location where{};
        std::uint64_t next = 0;  // where the scan goes on
    };

    LogReader() = default;
    std::expected<Step, LogError> scan();
    std::expected<std::optional<std::uint64_t>, LogError> next_header_after(std::uint64_t from);
    std::expected<std::span<const std::byte>, LogError> read_at(std::uint64_t offset, std::size_t length);
    RecordView hand_over(std::uint64_t seq, std::uint32_t kind, std::span<const std::byte> payload);
    void finish_scan();

    std::string path_;
    FileHandle file_;
    std::uint64_t size_ = 0;
    std::uint64_t pos_ = 0;           // where the scan reads next
    std::uint64_t floor_ = 0;         // records up to here are the checkpoint's
    std::uint64_t want_ = 1;          // the next number to hand over
    std::uint64_t acknowledged_ = 0;  // records up to here were acknowledged, as the caller knows
    std::uint64_t highest_ = 0;
    bool scanned_ = false;
    bool finished_ = false;
    bool lost_tail_ = false;                     // unreadable bytes up to the end: whatever followed is lost
    std::map<std::uint64_t, Location> pending_;  // found ahead of their turn
    std::vector<std::byte> window_;              // file bytes [window_at_, window_at_ + window_len_)
    std::uint64_t window_at_ = 0;
    std::size_t window_len_ = 0;
    Recovery report_;
};

// The whole routine at once: every record to `apply` in order (false stops,
// leaving the file as it was), then settle(). Returns the report.
std::expected<Recovery, LogError> recover(const std::string& path, const RecoverOptions& options,
                                          const std::function<bool(const RecordView&)>& apply);

// The open end of a log, shared by any number of threads.
//
// Group commit: append() writes a record and returns its number; sync(n)
// returns once record n is durable. A flush covers every record whose write
// had ended before it began. A thread that needs record n returns at once if
// n is durable; while another thread flushes it waits for that flush to end
// and looks again; when no one flushes it leads: it first waits (on a
// condition, for at most half the last flush's time) until as many records
// await a flush as there were threads in sync() when the last flush ended, so
// that writers just released by that flush can add their next record to this
// one, then flushes every record written so far and wakes everyone. A lone
// writer never waits for others.
//
// Failures: a write that fails is cut off again at the log's own end (the end
// of its last whole record) before the call returns, so no later record
// follows half a record; if that cut fails too, or a flush fails (after
// which the file system may have dropped what it could not write, and a
// retry would report success for data that is gone), the log refuses every
// later append and sync with the first error. Reopen it through recovery.
//
// A Log belongs to the process that opened it. A child forked from that
// process inherits the object with its lock and conditions as the fork found
// them: perhaps held by a thread the child does not have, or waited on by one,
// so that taking the lock would hang and destroying a condition would wait for
// those waiters forever. Nor may a child write to its parent's file: the two
// would write records at the same offsets. So in a child every append and sync
// fails with Forked without touching the lock, close() only lets go of the
// child's copy of the file, and destroying the Log leaves the lock and
// conditions as they are (a few bytes of the child's memory).
class Log {
public:
    // A new, empty log at `path` numbered on from `base`, replacing any file
    // there: written beside it as ".<name>.tmp", flushed, renamed, the folder
    // flushed. The tag is at most TAG_BYTES, the meta at most MAX_META_BYTES.
    static std::expected<std::unique_ptr<Log>, LogError> create(const std::string& path, std::string_view tag,
                                                                std::uint64_t base, std::span<const std::byte> meta);
    // The log a reader read to its end and settled, opened for appending after
    // its last record (the report must be resumable and the file unchanged).
    static std::expected<std::unique_ptr<Log>, LogError> resume(const LogReader& reader);

    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;
    ~Log();

    // Writes one record whose payload is the parts one after another (written
    // where they lie, not gathered first); returns its number. Not yet durable.
    std::expected<std::uint64_t, LogError> append(std::uint32_t kind,
                                                  std::span<const std::span<const std::byte>> parts);
    // Returns once every record up to `seq` is durable.
    std::expected<void, LogError> sync(std::uint64_t seq);
    std::expected<std::uint64_t, LogError> append_durable(std::uint32_t kind,
                                                          std::span<const std::span<const std::byte>> parts);
    // Waits for a running flush, then closes the file. Later calls fail with Closed.
    void close() noexcept;
    // Whether this process is a child forked from the one that opened the log.
    bool inherited() const noexcept;

    const std::string& path() const noexcept { return path_; }
    std::uint64_t next_seq() const;
    std::uint64_t durable_seq() const;

private:
    friend struct LogTestAccess;
    Log(std::string path, FileHandle file, std::uint64_t end, std::uint64_t next_seq);

    // The lock and conditions, on their own so that a forked child can leave them be.
    struct Sync {
        std::mutex mutex;
        std::condition_variable flushed;   // a flush ended
        std::condition_variable appended;  // a record was written
    };

    const std::string path_;
    const std::uint64_t owner_;  // the process that opened the log
    std::unique_ptr<Sync> sync_;
    std::mutex& mutex_;
    std::condition_variable& flushed_;
    std::condition_variable& appended_;
    FileHandle file_;
    std::uint64_t end_;       // bytes up to the end of the last whole record
    std::uint64_t next_seq_;  // the number the next record gets
    std::uint64_t durable_;   // every record up to here is durable
    bool flushing_ = false;
    bool closed_ = false;
    int failed_ = 0;             // errno of the failure that made the log refuse; 0: none
    std::size_t in_sync_ = 0;    // threads inside sync() that need a flush
    std::size_t group_ = 1;      // threads in sync() when the last flush ended
    std::int64_t flush_ns_ = 0;  // how long the last flush took
};

}  // namespace kestrix::wal
