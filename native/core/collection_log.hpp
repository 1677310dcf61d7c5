// A collection's changes, made under its lock and, for a durable collection,
// written to its log; and the replay that makes logged changes again.
//
// Every change of a guarded collection goes through here, durable or not:
// the writer takes the write lock, the change checks and prepares everything
// that can fail, then (BeforeCommit) its record is appended to the log, then
// it is made; the lock is let go, and the writer waits for its record to be
// durable (group commit: writers waiting together share one flush). So the
// log's order is the order of the changes, a change that fails is never
// logged, and a call returns only once its change is durable. A search may
// see a change before the call that made it returns: what a crash before the
// flush loses was never acknowledged, though a search may have seen it.
//
// A record holds what the change stored, not what the caller gave: an add's
// document ids, codes, insertion times and side rows; a delete's ids; an
// expiry's ttl and clock; a compaction; a graph build's parameters and the
// slots it was built over. Replaying a record makes the change again through
// the same code (Collection::add_stored, remove, expire, compact,
// build_graph and install_graph), so a collection replayed from its
// checkpoint and log is the one that was: the same slots, times, side rows
// and graph.
//
// Payloads, little-endian; every record starts with
//   u64 slots: the collection's slot count when the change began (replay
//       checks it, so a log never applies to a collection it does not follow)
//   u32 count, u32 code bytes (the bytes of one code row; 0 but for adds)
// then by kind
//   Add (1):     u32 side kind, u32 side row bytes, count x f64 insertion
//                times, count x u64 ids, count x code rows, count x side rows
//   Delete (2):  count x u64 ids
//   Expire (3):  f64 ttl_ms, f64 now (count 0)
//   Compact (4): nothing (count 0)
//   Build (5):   u64 m, u64 ef_construction, u64 slots built over, count x u32
//                slots live when the build began and deleted before it was
//                installed (the graph is built over the liveness it began with)
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "collection.hpp"
#include "wal.hpp"

namespace kestrix::durable {

// The tag of a durable collection's logs.
inline constexpr std::string_view LOG_TAG = "kestrix.coll";

enum class Change : std::uint32_t { Add = 1, Delete = 2, Expire = 3, Compact = 4, Build = 5 };

// Why a change was not made, or not made durable: the collection refused it
// (`refused`), or the log failed (`log`). After a failed flush the change is
// in the collection but perhaps not on disk, and the log takes nothing more.
struct ChangeError {
    std::optional<CollectionError> refused;
    wal::LogError log{wal::LogError::Kind::Io, 0};
};

template <class T>
using Changed = std::expected<T, ChangeError>;

Changed<void> add(GuardedCollection& guarded, std::span<const std::uint64_t> ids, CodeRows vectors, double now,
                  std::span<const float> floats);
Changed<std::uint64_t> remove(GuardedCollection& guarded, std::span<const std::uint64_t> ids);
Changed<std::uint64_t> expire(GuardedCollection& guarded, double ttl_ms, double now);
Changed<std::uint64_t> compact(GuardedCollection& guarded);
// Installs a built graph (Collection::install_graph); `words` are the id
// words of the slots it was built over, as they were when it began (a durable
// collection logs which of them were deleted since; empty for a plain one).
Changed<bool> install(GuardedCollection& guarded, Collection::PendingGraph pending,
                      std::span<const std::uint32_t> words);

// The number of the last record of the collection's log (0: none, or no log).
std::uint64_t last_record(const GuardedCollection& guarded);

// Starts a checkpoint: writes the collection's file to `fd` from one state
// (under the shared lock, which keeps changes out meanwhile and lets
// searches on), makes every record up to that state durable, and starts a
// new, empty log at `next_log` after it (numbered on from the old log, or
// from `base` when there is none), to which every later change goes. Returns
// the number of the last record the file holds. The caller then makes the
// file durable and puts it in place; until it has, the old log still holds
// what the file holds, and the two logs follow one another without a gap.
std::expected<std::uint64_t, wal::LogError> checkpoint(GuardedCollection& guarded, int fd, const std::string& next_log,
                                                       std::span<const std::byte> meta, std::uint64_t base);

// What a replay did.
struct Replayed {
    std::uint64_t records = 0;   // records applied
    std::uint64_t last_seq = 0;  // the last record the collection now holds
    // The first record handed over and not applied (0: none), and why: it
    // follows a record that was lost, it is past `stop_after`, or it is no
    // change this collection can make (`problem` says which).
    std::uint64_t stopped_at = 0;
    std::string problem;
    std::uint64_t left_out = 0;  // records after stop_after, never committed
};

// Makes the changes the reader hands over again, in order, on a collection
// that holds every change up to `held` (its checkpoint) and nothing after:
// records up to `stop_after` only (NO_END: all), and none after a record
// missing from the numbers. Reads the reader to its end either way (it is
// then ready to settle). Runs of adds are made as one add, which gives the
// same collection. Throws std::bad_alloc.
std::expected<Replayed, wal::LogError> replay(Collection& collection, wal::LogReader& reader, std::uint64_t held,
                                              std::uint64_t stop_after = wal::NO_END);

}  // namespace kestrix::durable
