// The rescoring side: richer copies of the vectors, one row per slot beside
// the codes, and the rescoring of a candidate list with them.
//
// The codes find candidates quickly but rank them coarsely (Hamming distances
// are dim + 1 integers, so near neighbours tie and swap). Rescoring an
// oversampled candidate list by inner product with the side restores most of
// the float ranking. For `dim`-dimensional vectors:
// - Int8: each vector scaled by its own max |component| / 127 and rounded to
//   int8; the row is the dim int8 values then the float scale (dim + 4 bytes:
//   388 at 384 dimensions).
// - Float16: the dim components as IEEE half floats (2 dim bytes: 768).
// - None: no side at all; rescoring may still use the sign vectors of the
//   codes themselves (+1 where a bit is set, -1 where clear), for free.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "../bytes.hpp"
#include "../quantized.hpp"
#include "kernels.hpp"

namespace kestrix::side {

enum class SideKind : std::uint8_t { None = 0, Int8 = 1, Float16 = 2 };

// What a rescored score measures. InnerProduct: the inner product of the
// query and the row as they are (the cosine, for unit vectors). Cosine: both
// scaled to unit length first (a row when it is stored, the query when it is
// prepared), so that a score is the cosine whatever the vectors' lengths. A
// zero vector stays zero and scores 0 against everything.
enum class Metric : std::uint8_t { InnerProduct = 0, Cosine = 1 };

// `values` scaled to unit length into `out` (of the same size; may be the
// same span); a zero vector is copied as it is. The length is summed in
// double, so no finite input overflows or loses its small components, and the
// result is finite.
void scale_to_unit(std::span<const float> values, std::span<float> out) noexcept;

// The bytes of a row of `dim` components.
constexpr std::size_t row_bytes(SideKind kind, std::size_t dim) noexcept {
    switch (kind) {
        case SideKind::Int8: return dim + sizeof(float);
        case SideKind::Float16: return 2 * dim;
        case SideKind::None: break;
    }
    return 0;
}

// The largest magnitude of an int8 component. -128 is never produced, so
// quantisation is symmetric around zero.
inline constexpr int INT8_LIMIT = 127;

// One vector as int8 values (as many as it has components) and the scale
// that maps them back (component ~ value * scale). A zero vector has scale 0.
// Finite input only.
float quantize_int8(std::span<const float> values, std::int8_t* out) noexcept;

// Round to nearest, ties to even; magnitudes beyond the largest half (65504)
// saturate to it rather than become infinite, so every stored row is finite.
std::uint16_t float_to_float16(float value) noexcept;

// The row of one vector (its components are `values`) in the given encoding:
// row_bytes(kind, values.size()) bytes at out.
void encode_row(SideKind kind, std::span<const float> values, std::byte* out) noexcept;
// The stored approximation of a row of out.size() components, back as floats.
void decode_row(SideKind kind, const std::byte* row, std::span<float> out) noexcept;

// Rows of a side wherever they live: owned by a SideStore, or read in place
// from a file's bytes (a mapped file) after read_side validated them.
struct SideView {
    SideKind kind = SideKind::None;
    std::size_t dim = DIMENSION;
    std::span<const std::byte> rows;  // count * row_bytes(kind, dim) bytes
    std::size_t count = 0;

    std::size_t row_length() const noexcept { return row_bytes(kind, dim); }
    const std::byte* row(std::size_t slot) const noexcept { return rows.data() + slot * row_length(); }
};

// A side that grows with the slots of its store. Slot i of the store is row i
// of the side; every change of the store is mirrored by one call here.
class SideStore {
public:
    // An empty side of rows of `dim` components.
    explicit SideStore(SideKind kind = SideKind::None, std::size_t dim = DIMENSION) noexcept : kind_(kind), dim_(dim) {}
    // Validated rows of its own (read from a file): `count` rows of the
    // length of the kind at `dim` in `rows`.
    static SideStore from_rows(SideKind kind, std::size_t dim, std::vector<std::byte> rows, std::size_t count) noexcept;
    // A side without rows of its own for `count` slots.
    static SideStore without_rows(std::size_t dim, std::size_t count) noexcept;
    // Validated rows used in place where they lie (a mapped file), kept alive
    // by `owner` as long as this side reads them.
    static SideStore in_place(const SideView& view, std::shared_ptr<const void> owner) noexcept;

    SideKind kind() const noexcept { return kind_; }
    std::size_t dimension() const noexcept { return dim_; }
    std::size_t size() const noexcept { return count_; }
    SideView view() const noexcept {
        return {kind_, dim_, owner_ ? in_place_ : std::span<const std::byte>(rows_), count_};
    }
    bool is_in_place() const noexcept { return owner_ != nullptr; }

    // Rows of its own: a side read in place copies its rows into memory and
    // lets go of their owner (a change of the rows needs them writable).
    // Throws std::bad_alloc; nothing changes then.
    void own();
    // Room for `rows` rows in total, so that a batch of appends cannot fail
    // half-way; owns the rows first. Throws std::bad_alloc /
    // std::length_error; the rows are unchanged then.
    void reserve(std::size_t rows);
    // Appends the rows of `n` vectors (`values`: n * dim finite floats; a side
    // without rows reads none and may be given none), each scaled to unit
    // length first under Metric::Cosine. Throws std::bad_alloc /
    // std::length_error when the room cannot be had; nothing changes then.
    void append(std::size_t n, std::span<const float> values, Metric metric = Metric::InnerProduct);
    // Appends `n` rows as stored (n * row_bytes(kind) bytes, checked rows:
    // see check_rows). Throws as append() does.
    void append_rows(std::size_t n, std::span<const std::byte> rows);
    // Drops rows from `n` on: the undo of an append whose batch could not go
    // in whole (a collection's add whose graph could not be extended).
    void truncate(std::size_t n) noexcept;
    // Keeps exactly the rows at `kept` (strictly ascending slots) in that
    // order, the shape of a compaction that keeps the order of its survivors.
    // Returns false, changing nothing, when `kept` is not strictly ascending
    // or names a row that does not exist, or the rows are not owned (own()).
    // append owns the rows first (reserve does too).
    bool keep_rows(std::span<const std::uint32_t> kept) noexcept;

private:
    SideKind kind_;
    std::size_t dim_;
    std::vector<std::byte> rows_;
    std::size_t count_ = 0;
    std::span<const std::byte> in_place_;  // the rows while owner_ holds them
    std::shared_ptr<const void> owner_;
};

// The Side section of a file: a 64-byte header (magic, format version, kind,
// row length, row count; the rest zero) and the rows, all little-endian.
inline constexpr std::size_t SIDE_HEADER_BYTES = 64;

void write_side(const SideView& side, ByteSink& out);

enum class SideError : std::uint8_t { Truncated, BadMagic, BadVersion, UnknownKind, BadLength, BadRow };
std::string_view side_error_name(SideError error) noexcept;

// What a section's header announces, checked against the length of the rows
// that follow it (`body` bytes): the rows' kind, their components (told by
// their length; 0 for a side without rows, which fits any) and count.
struct SideHeader {
    SideKind kind;
    std::size_t dim;
    std::size_t count;
};
std::expected<SideHeader, SideError> read_side_header(std::span<const std::byte, SIDE_HEADER_BYTES> header,
                                                      std::uint64_t body) noexcept;
// Every row finite and in range (BadRow otherwise).
std::expected<void, SideError> check_rows(const SideView& rows) noexcept;

// Validates the whole section (header, exact length, every row finite and in
// range) before handing out a view of its rows in place.
std::expected<SideView, SideError> read_side(std::span<const std::byte> section) noexcept;

// How a candidate list is rescored.
enum class RescoreMode : std::uint8_t { Sign, Int8, Float16 };

// The query in the form the kernels of one mode read, made once per query.
struct PreparedQuery {
    RescoreMode mode = RescoreMode::Sign;
    std::size_t dim = 0;
    float scale = 0.0f;                  // Int8: the query's own int8 scale
    std::vector<float> values;           // Sign, Float16
    std::vector<std::int16_t> integers;  // Int8: quantised, widened
};

// The query of `query.size()` components (1..4096), scaled to unit length
// first under Metric::Cosine. Refuses a query with a non-finite component (its
// scores would be NaN). Throws std::bad_alloc.
std::expected<PreparedQuery, SideError> prepare_query(RescoreMode mode, std::span<const float> query,
                                                      Metric metric = Metric::InnerProduct);

// The mode a side supports: its own encoding, or the sign vectors without one.
constexpr RescoreMode native_mode(SideKind kind) noexcept {
    return kind == SideKind::Int8      ? RescoreMode::Int8
           : kind == SideKind::Float16 ? RescoreMode::Float16
                                       : RescoreMode::Sign;
}

// Scores of `slots` with the given kernels: for Int8 and Float16 the inner
// product of the query with the side's row (the cosine for unit vectors);
// for Sign the inner product with the unit-length sign vector (the signs
// divided by sqrt(dim)), so it too is a cosine. A score that does not exist
// as a number (a sum of infinities of both signs) is -infinity, ranking last.
// The mode must match the side (Sign reads the codes); the query, the side
// and the codes have one dimension; every slot must be below side.count (and
// codes.size() for Sign).
void score_slots(const SideKernels& kernels, const PreparedQuery& query, const SideView& side, CodeRows codes,
                 std::span<const std::uint32_t> slots, std::span<float> scores) noexcept;

// Ranking of rescored hits: higher score first; equal scores, lower slot first
// (slots are distinct in a candidate list, so this is a total order and the
// result does not depend on the order the candidates arrived in). Only the
// best `keep` are put in order (a query wants k of its k x oversampling
// candidates); the rest follow them in no particular order. Returns how many
// are in order: min(keep, hits.size()).
template <class Hit>
std::size_t rank_by_score(std::span<Hit> hits, std::size_t keep) noexcept {
    const std::size_t ranked = std::min(keep, hits.size());
    std::partial_sort(
        hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(ranked), hits.end(),
        [](const Hit& a, const Hit& b) { return a.score != b.score ? a.score > b.score : a.slot < b.slot; });
    return ranked;
}

// Replaces the score of every hit (anything with `slot` and `score`) by its
// rescored value and ranks the best `keep` of them first (rank_by_score). Candidates are scored in blocks of
// RESCORE_BLOCK, so no memory grows with the candidate count.
inline constexpr std::size_t RESCORE_BLOCK = 64;

template <class Hit>
std::size_t rescore(const PreparedQuery& query, const SideView& side, CodeRows codes, std::span<Hit> hits,
                    std::size_t keep, const SideKernels& kernels = side_kernels()) noexcept {
    std::uint32_t slots[RESCORE_BLOCK];
    float scores[RESCORE_BLOCK];
    for (std::size_t start = 0; start < hits.size(); start += RESCORE_BLOCK) {
        const std::size_t n = std::min(RESCORE_BLOCK, hits.size() - start);
        for (std::size_t i = 0; i < n; ++i) slots[i] = hits[start + i].slot;
        score_slots(kernels, query, side, codes, std::span(slots, n), std::span(scores, n));
        for (std::size_t i = 0; i < n; ++i) hits[start + i].score = scores[i];
    }
    return rank_by_score(hits, keep);
}

}  // namespace kestrix::side
