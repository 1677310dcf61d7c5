#include "wal.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "bytes.hpp"
#include "container.hpp"
#include "wal_io.hpp"
#include "wal_layout.hpp"

namespace kestrix::wal {

namespace {

// Reads go through a window of at least this many bytes.
constexpr std::size_t WINDOW_BYTES = std::size_t{1} << 20;

bool all_zero(std::span<const std::byte> bytes) noexcept {
    return std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{0}; });
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

}  // namespace kestrix::wal
