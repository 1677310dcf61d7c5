#include "collection_log.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "bytes.hpp"
#include "collection_file.hpp"
#include "file_io.hpp"
#include "side/side.hpp"

namespace kestrix::durable {

namespace {

constexpr std::size_t HEAD_BYTES = 16;  // slots u64, count u32, code bytes u32
// Runs of logged adds are gathered into one add up to this many bytes.
constexpr std::size_t GATHER_BYTES = std::size_t{256} << 20;

using Bytes = std::span<const std::byte>;

template <class T>
Bytes bytes_of(std::span<const T> values) noexcept {
    return std::as_bytes(values);
}

std::array<std::byte, HEAD_BYTES> head(std::size_t slots, std::size_t count, std::size_t code_bytes) noexcept {
    std::array<std::byte, HEAD_BYTES> out{};
    store<std::uint64_t>(out.data(), slots);
    store<std::uint32_t>(out.data() + 8, static_cast<std::uint32_t>(count));
    store<std::uint32_t>(out.data() + 12, static_cast<std::uint32_t>(code_bytes));
    return out;
}

// A record that could not be appended: thrown from a change's BeforeCommit,
// which then abandons the change.
struct NotLogged {
    wal::LogError error;
};

// Appends records for one change and remembers the last one's number.
class Recorder {
public:
    explicit Recorder(wal::Log* log) noexcept : log_(log) {}
    explicit operator bool() const noexcept { return log_ != nullptr; }
    std::uint64_t seq() const noexcept { return seq_; }

    // Throws NotLogged.
    void operator()(Change kind, std::initializer_list<Bytes> parts) {
        const auto seq =
            log_->append(static_cast<std::uint32_t>(kind), std::span<const Bytes>(parts.begin(), parts.size()));
        if (!seq) throw NotLogged{seq.error()};
        seq_ = *seq;
    }

private:
    wal::Log* log_;
    std::uint64_t seq_ = 0;
};

// One change of a guarded collection: `body(collection, record)` under the
// write lock, with `record` writing to the collection's log (empty for a
// plain collection); then, without the lock, the wait for the last record to
// be durable.
template <class T, class Body>
Changed<T> change(GuardedCollection& guarded, Body&& body) {
    std::shared_ptr<wal::Log> log;
    std::optional<T> result;
    std::uint64_t seq = 0;
    {
        std::unique_lock lock(guarded.mutex);
        log = guarded.log.load();
        Recorder record(log.get());
        try {
            auto made = body(guarded.collection, record);
            if (!made) return std::unexpected(ChangeError{made.error()});
            result.emplace(std::move(*made));
        } catch (const NotLogged& failure) {
            return std::unexpected(ChangeError{std::nullopt, failure.error});
        }
        seq = record.seq();
    }
    if (seq != 0) {
        if (const auto synced = log->sync(seq); !synced)
            return std::unexpected(ChangeError{std::nullopt, synced.error()});
    }
    return std::move(*result);
}

struct Unit {};

}  // namespace

Changed<void> add(GuardedCollection& guarded, std::span<const std::uint64_t> ids, CodeRows vectors, double now,
                  std::span<const float> floats) {
    const auto made =
        change<Unit>(guarded, [&](Collection& c, Recorder& record) -> std::expected<Unit, CollectionError> {
            const std::size_t first = c.slot_count();
            BeforeCommit log_it;
            if (record) {
                // Written from the slots the add just stored, where they lie.
                log_it = [&] {
                    const std::size_t n = c.slot_count() - first;
                    const side::SideView side = c.side().view();
                    const std::size_t width = side.row_length();
                    std::array<std::byte, 8> side_head{};
                    store<std::uint32_t>(side_head.data(), static_cast<std::uint32_t>(side.kind));
                    store<std::uint32_t>(side_head.data() + 4, static_cast<std::uint32_t>(width));
                    // Codes as stored: the collection's words a row, so a log
                    // records its collection's dimension in every add.
                    const std::size_t words = c.store().words();
                    const auto record_head = head(first, n, words * sizeof(std::uint64_t));
                    record(Change::Add, {record_head, side_head, bytes_of(c.store().timestamps().subspan(first, n)),
                                         bytes_of(c.doc_ids().subspan(first, n)),
                                         bytes_of(std::span(c.store().code(first), n * words)),
                                         side.rows.subspan(first * width, n * width)});
                };
            }
            const auto added = c.add(ids, vectors, now, floats, log_it);
            if (!added) return std::unexpected(added.error());
            return Unit{};
        });
    if (!made) return std::unexpected(made.error());
    return {};
}

Changed<std::uint64_t> remove(GuardedCollection& guarded, std::span<const std::uint64_t> ids) {
    return change<std::uint64_t>(
        guarded, [&](Collection& c, Recorder& record) -> std::expected<std::uint64_t, CollectionError> {
            // A delete that finds nothing changes nothing, and is not logged.
            if (record && std::any_of(ids.begin(), ids.end(), [&](std::uint64_t id) { return c.contains(id); })) {
                record(Change::Delete, {head(c.slot_count(), ids.size(), 0), bytes_of(ids)});
            }
            return c.remove(ids);
        });
}

Changed<std::uint64_t> expire(GuardedCollection& guarded, double ttl_ms, double now) {
    return change<std::uint64_t>(guarded,
                                 [&](Collection& c, Recorder& record) -> std::expected<std::uint64_t, CollectionError> {
                                     if (record) {
                                         std::array<std::byte, 16> times{};
                                         store<double>(times.data(), ttl_ms);
                                         store<double>(times.data() + 8, now);
                                         record(Change::Expire, {head(c.slot_count(), 0, 0), times});
                                     }
                                     return c.expire(ttl_ms, now);
                                 });
}

Changed<std::uint64_t> compact(GuardedCollection& guarded) {
    return change<std::uint64_t>(guarded,
                                 [&](Collection& c, Recorder& record) -> std::expected<std::uint64_t, CollectionError> {
                                     const auto slots = c.slot_count();
                                     BeforeCommit log_it;
                                     if (record) log_it = [&] { record(Change::Compact, {head(slots, 0, 0)}); };
                                     return c.compact(log_it);
                                 });
}

Changed<bool> install(GuardedCollection& guarded, Collection::PendingGraph pending,
                      std::span<const std::uint32_t> words) {
    return change<bool>(guarded, [&](Collection& c, Recorder& record) -> std::expected<bool, CollectionError> {
        BeforeCommit log_it;
        if (record) {
            log_it = [&, built = pending.slots, m = pending.graph->m(), ef = pending.graph->ef_construction()] {
                // The slots deleted while the graph was built or waited: a
                // replay builds over the liveness the build began with.
                std::vector<std::uint32_t> since;
                const auto now_words = c.store().ids();
                for (std::size_t slot = 0; slot < std::min(built, words.size()); ++slot) {
                    if (!is_tombstoned(words[slot]) && is_tombstoned(now_words[slot])) {
                        since.push_back(static_cast<std::uint32_t>(slot));
                    }
                }
                std::array<std::byte, 24> params{};
                store<std::uint64_t>(params.data(), m);
                store<std::uint64_t>(params.data() + 8, ef);
                store<std::uint64_t>(params.data() + 16, built);
                record(Change::Build, {head(c.slot_count(), since.size(), 0), params,
                                       bytes_of(std::span<const std::uint32_t>(since))});
            };
        }
        return c.install_graph(std::move(pending), log_it);
    });
}

std::uint64_t last_record(const GuardedCollection& guarded) {
    const auto log = guarded.log.load();
    return log ? log->next_seq() - 1 : 0;
}

std::expected<std::uint64_t, wal::LogError> checkpoint(GuardedCollection& guarded, int fd, const std::string& next_log,
                                                       std::span<const std::byte> meta, std::uint64_t base) {
    std::shared_lock lock(guarded.mutex);
    const auto log = guarded.log.load();
    // Every record appended so far is a change made (both happen under the
    // write lock), so the file holds exactly the records up to here.
    const std::uint64_t held = log ? log->next_seq() - 1 : base;
    try {
        DescriptorSink sink(fd);
        file::write_collection(guarded.collection, sink);
        sink.flush();
    } catch (const IoError& error) {
        return std::unexpected(wal::LogError{wal::LogError::Kind::Io, error.error});
    }
    if (log && held > log->durable_seq()) {
        if (const auto synced = log->sync(held); !synced) return std::unexpected(synced.error());
    }
    auto next = wal::Log::create(next_log, LOG_TAG, held, meta);
    if (!next) return std::unexpected(next.error());
    guarded.log.store(std::shared_ptr<wal::Log>(std::move(*next)));
    return held;
}

// ---------------------------------------------------------------- replay

namespace {

// Reads a record's fields in order, each only if the payload holds it.
class Fields {
public:
    explicit Fields(Bytes payload) noexcept : rest_(payload) {}

    template <class T>
    bool get(T& out) noexcept {
        if (rest_.size() < sizeof(T)) return false;
        out = load<T>(rest_.data());
        rest_ = rest_.subspan(sizeof(T));
        return true;
    }
    // The next count x width bytes.
    std::optional<Bytes> take(std::uint64_t count, std::uint64_t width) noexcept {
        if (width != 0 && count > rest_.size() / width) return std::nullopt;
        const Bytes out = rest_.first(static_cast<std::size_t>(count * width));
        rest_ = rest_.subspan(out.size());
        return out;
    }
    bool done() const noexcept { return rest_.empty(); }

private:
    Bytes rest_;
};

// Copies little-endian values out of a payload (which need not be aligned).
template <class T>
void append_values(std::vector<T>& out, Bytes bytes) {
    const std::size_t at = out.size();
    out.resize(at + bytes.size() / sizeof(T));
    std::memcpy(out.data() + at, bytes.data(), bytes.size());
}

// Replays records into a collection, gathering runs of adds.
class Replayer {
public:
    explicit Replayer(Collection& c) noexcept : c_(c) {}

    // Applies one record; what is wrong with it otherwise (nothing applied).
    std::optional<std::string> apply(Change kind, Bytes payload) {
        Fields f(payload);
        std::uint64_t slots = 0;
        std::uint32_t count = 0;
        std::uint32_t code_bytes = 0;
        if (!f.get(slots) || !f.get(count) || !f.get(code_bytes)) return "its payload is cut short";
        if (kind == Change::Add) return gather(f, slots, count, code_bytes);
        if (slots != c_.slot_count()) return "it does not follow the collection's slots";
        if (code_bytes != 0) return "its fields are not those of its kind";
        switch (kind) {
            case Change::Delete: {
                const auto ids = f.take(count, sizeof(std::uint64_t));
                if (!ids || !f.done()) return "its payload is not one of its kind";
                std::vector<std::uint64_t> values;
                append_values(values, *ids);
                c_.remove(values);
                return std::nullopt;
            }
            case Change::Expire: {
                double ttl = 0;
                double now = 0;
                if (count != 0 || !f.get(ttl) || !f.get(now) || !f.done() || !(ttl >= 0.0)) {
                    return "its payload is not one of its kind";
                }
                c_.expire(ttl, now);
                return std::nullopt;
            }
            case Change::Compact:
                if (count != 0 || !f.done()) return "its payload is not one of its kind";
                c_.compact();
                return std::nullopt;
            case Change::Build: return build(f, count);
            case Change::Add: break;
        }
        return "it holds no change this version knows";
    }

    // Records of adds gathered and not yet made, and whether to make them now.
    std::size_t gathered() const noexcept { return gathered_records_; }
    bool full() const noexcept { return gathered_bytes_ >= GATHER_BYTES; }

    // Makes the gathered adds as one (the same collection as one at a time:
    // the same slots and times, and the graph extended by the same slots in
    // the same order); what is wrong with them otherwise, nothing made.
    std::optional<std::string> flush() {
        if (gathered_records_ == 0) return std::nullopt;
        const auto added =
            c_.add_stored({ids_, CodeRows(codes_.data(), c_.dimension(), ids_.size()), times_, side_rows_});
        ids_.clear();
        codes_.clear();
        times_.clear();
        side_rows_.clear();
        gathered_bytes_ = 0;
        gathered_records_ = 0;
        if (!added) return "its rows cannot be stored";
        return std::nullopt;
    }

private:
    std::optional<std::string> gather(Fields& f, std::uint64_t slots, std::uint32_t count, std::uint32_t code_bytes) {
        std::uint32_t side_kind = 0;
        std::uint32_t side_width = 0;
        if (!f.get(side_kind) || !f.get(side_width)) return "its payload is cut short";
        const side::SideKind kind = c_.side().kind();
        if (code_bytes != c_.store().words() * sizeof(std::uint64_t) || side_kind != static_cast<std::uint32_t>(kind) ||
            side_width != side::row_bytes(kind, c_.dimension())) {
            return "its rows are not those of this collection";
        }
        if (slots != c_.slot_count() + ids_.size()) return "it does not follow the collection's slots";
        const auto times = f.take(count, sizeof(double));
        const auto ids = f.take(count, sizeof(std::uint64_t));
        const auto codes = f.take(count, code_bytes);
        const auto rows = f.take(count, side_width);
        if (!times || !ids || !codes || !rows || !f.done()) return "its payload is not one of its kind";
        // Checked as a file's rows are: a log is read back like any file.
        if (!side::check_rows({kind, c_.dimension(), *rows, count})) return "its side rows are not valid";
        const std::size_t first = ids_.size();
        append_values(ids_, *ids);
        if (std::any_of(ids_.begin() + static_cast<std::ptrdiff_t>(first), ids_.end(),
                        [](std::uint64_t id) { return id > MAX_DOCUMENT_ID; })) {
            ids_.resize(first);
            return "it holds an id out of range";
        }
        append_values(times_, *times);
        append_values(codes_, *codes);
        side_rows_.insert(side_rows_.end(), rows->begin(), rows->end());
        gathered_bytes_ += payload_bytes(count, code_bytes, side_width);
        ++gathered_records_;
        return std::nullopt;
    }

    static std::size_t payload_bytes(std::size_t count, std::size_t code_bytes, std::size_t side_width) noexcept {
        return count * (sizeof(double) + sizeof(std::uint64_t) + code_bytes + side_width);
    }

    std::optional<std::string> build(Fields& f, std::uint32_t count) {
        std::uint64_t m = 0;
        std::uint64_t ef_construction = 0;
        std::uint64_t built = 0;
        if (!f.get(m) || !f.get(ef_construction) || !f.get(built)) return "its payload is cut short";
        const auto since = f.take(count, sizeof(std::uint32_t));
        if (!since || !f.done() || m < 2 || ef_construction < 1 || built > c_.slot_count()) {
            return "its payload is not one of its kind";
        }
        // The id words the build began with: the slots deleted since were live.
        const auto now_words = c_.store().ids();
        std::vector<std::uint32_t> words(now_words.begin(), now_words.begin() + static_cast<std::ptrdiff_t>(built));
        for (std::size_t i = 0; i < count; ++i) {
            const auto slot = load<std::uint32_t>(since->data() + 4 * i);
            if (slot >= built || !is_tombstoned(words[slot])) return "it names a slot that was never deleted";
            words[slot] &= ~TOMBSTONE_BIT;
        }
        auto pending = c_.build_graph(m, ef_construction, {}, std::span<const std::uint32_t>(words));
        if (pending) c_.install_graph(std::move(*pending));
        return std::nullopt;
    }

    Collection& c_;
    std::vector<std::uint64_t> ids_;
    std::vector<std::uint64_t> codes_;  // the gathered rows' codes, the collection's words a row
    std::vector<double> times_;
    std::vector<std::byte> side_rows_;
    std::size_t gathered_bytes_ = 0;
    std::size_t gathered_records_ = 0;
};

}  // namespace

std::expected<Replayed, wal::LogError> replay(Collection& collection, wal::LogReader& reader, std::uint64_t held,
                                              std::uint64_t stop_after) {
    Replayed done;
    done.last_seq = held;
    Replayer replayer(collection);
    bool stopped = false;
    const auto stop = [&](std::uint64_t seq, std::string problem) {
        stopped = true;
        done.stopped_at = seq;
        done.problem = std::move(problem);
    };
    // Makes the adds gathered so far; when they cannot be made (only rows a
    // check let through could fail), none of them was applied.
    const auto flush = [&] {
        const std::size_t gathered = replayer.gathered();
        auto problem = replayer.flush();
        if (!problem) return true;
        done.last_seq -= gathered;
        done.records -= gathered;
        stop(done.last_seq + 1, std::move(*problem));
        return false;
    };
    for (;;) {
        const auto record = reader.next();
        if (!record) return std::unexpected(record.error());
        if (!*record) break;
        const wal::RecordView& r = **record;
        if (r.seq > stop_after) {
            ++done.left_out;
            continue;
        }
        if (stopped) continue;
        if (r.seq != done.last_seq + 1) {
            stop(r.seq, "it follows a record that is lost");
            continue;
        }
        if (r.kind != static_cast<std::uint32_t>(Change::Add) || replayer.full()) {
            if (!flush()) continue;
        }
        if (auto problem = replayer.apply(static_cast<Change>(r.kind), r.payload)) {
            stop(r.seq, std::move(*problem));
            continue;
        }
        done.last_seq = r.seq;
        ++done.records;
    }
    flush();
    return done;
}

}  // namespace kestrix::durable
