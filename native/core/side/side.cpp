#include "side.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace kestrix::side {

float quantize_int8(std::span<const float> values, std::int8_t* out) noexcept {
    // The largest magnitude by bit patterns: for finite floats the order of
    // |a| and |b| is that of their patterns without the sign, and an integer
    // maximum vectorises where a float one (bound by NaN rules) does not.
    std::uint32_t largest_bits = 0;
    for (const float v : values) largest_bits = std::max(largest_bits, std::bit_cast<std::uint32_t>(v) & 0x7FFFFFFFu);
    const float largest = std::bit_cast<float>(largest_bits);
    if (largest == 0.0f) {
        std::fill(out, out + values.size(), std::int8_t{0});
        return 0.0f;
    }
    // In double: 127 / largest overflows float for subnormal inputs, and
    // 0 * infinity would be NaN. Rounded half away from zero by a truncating
    // conversion (a rounding library call per component costs more than the
    // rest of a query's preparation).
    // Written without branches so that it vectorises: scaled -/+ 0.5 is
    // exactly -(0.5 -/+ scaled), and the conversion truncates toward zero.
    const double inverse = INT8_LIMIT / static_cast<double>(largest);
    for (std::size_t c = 0; c < values.size(); ++c) {
        // |v| <= largest, so |scaled| exceeds 127 by a rounding at most and
        // still rounds to 127: no clamp is needed.
        const double scaled = static_cast<double>(values[c]) * inverse;
        out[c] = static_cast<std::int8_t>(static_cast<int>(scaled + std::copysign(0.5, scaled)));
    }
    return static_cast<float>(static_cast<double>(largest) / INT8_LIMIT);
}

void scale_to_unit(std::span<const float> values, std::span<float> out) noexcept {
    double squares = 0.0;
    for (const float v : values) squares += static_cast<double>(v) * static_cast<double>(v);
    if (squares == 0.0) {
        std::copy(values.begin(), values.end(), out.begin());
        return;
    }
    const double inverse = 1.0 / std::sqrt(squares);
    for (std::size_t c = 0; c < values.size(); ++c)
        out[c] = static_cast<float>(static_cast<double>(values[c]) * inverse);
}

std::uint16_t float_to_float16(float value) noexcept {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
    bits &= 0x7FFFFFFFu;
    if (bits > 0x7F800000u) return 0;                // NaN: never stored (input is finite)
    if (bits >= 0x477FF000u) return sign | 0x7BFFu;  // would round to infinity: the largest half
    if (bits < 0x38800000u) {
        // Below the smallest normal half: adding 0.5 leaves the result's last
        // place at 2^-24, the half subnormal step, and the FPU rounds to even.
        const float shifted = std::bit_cast<float>(bits) + 0.5f;
        return sign | static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(shifted) - 0x3F000000u);
    }
    // Rebias the exponent and round the 13 dropped bits to nearest, ties to even.
    const std::uint32_t odd = (bits >> 13) & 1u;
    bits += (static_cast<std::uint32_t>(15 - 127) << 23) + 0xFFFu + odd;
    return sign | static_cast<std::uint16_t>(bits >> 13);
}

void encode_row(SideKind kind, std::span<const float> values, std::byte* out) noexcept {
    const std::size_t dim = values.size();
    if (kind == SideKind::Int8) {
        std::int8_t q[kernels::MAX_CODE_DIMENSION];
        const float scale = quantize_int8(values, q);
        std::memcpy(out, q, dim);
        store(out + dim, scale);
    } else if (kind == SideKind::Float16) {
        for (std::size_t c = 0; c < dim; ++c) {
            store(out + 2 * c, float_to_float16(values[c]));
        }
    }
}

void decode_row(SideKind kind, const std::byte* row, std::span<float> out) noexcept {
    const std::size_t dim = out.size();
    if (kind == SideKind::Int8) {
        const float scale = load<float>(row + dim);
        for (std::size_t c = 0; c < dim; ++c) {
            out[c] = static_cast<float>(static_cast<std::int8_t>(row[c])) * scale;
        }
    } else if (kind == SideKind::Float16) {
        for (std::size_t c = 0; c < dim; ++c) {
            out[c] = half_to_float(load<std::uint16_t>(row + 2 * c));
        }
    } else {
        std::fill(out.begin(), out.end(), 0.0f);
    }
}

SideStore SideStore::from_rows(SideKind kind, std::size_t dim, std::vector<std::byte> rows,
                               std::size_t count) noexcept {
    SideStore store(kind, dim);
    store.rows_ = std::move(rows);
    store.count_ = count;
    return store;
}

SideStore SideStore::without_rows(std::size_t dim, std::size_t count) noexcept {
    SideStore store(SideKind::None, dim);
    store.count_ = count;
    return store;
}

SideStore SideStore::in_place(const SideView& view, std::shared_ptr<const void> owner) noexcept {
    SideStore store(view.kind, view.dim);
    store.in_place_ = view.rows;
    store.count_ = view.count;
    store.owner_ = std::move(owner);
    return store;
}

void SideStore::own() {
    if (!owner_) return;
    rows_.assign(in_place_.begin(), in_place_.end());
    in_place_ = {};
    owner_.reset();
}

void SideStore::reserve(std::size_t rows) {
    own();
    const std::size_t width = row_bytes(kind_, dim_);
    if (width != 0 && rows > rows_.max_size() / width) throw std::length_error("side too large");
    rows_.reserve(rows * width);
}

void SideStore::append(std::size_t n, std::span<const float> values, Metric metric) {
    own();
    const std::size_t width = row_bytes(kind_, dim_);
    if (width != 0) {
        if (n > rows_.max_size() / width - count_) throw std::length_error("side too large");
        rows_.resize((count_ + n) * width);  // the only step that can fail
        std::array<float, kernels::MAX_CODE_DIMENSION> unit;
        for (std::size_t i = 0; i < n; ++i) {
            std::span<const float> row = values.subspan(i * dim_, dim_);
            if (metric == Metric::Cosine) {
                scale_to_unit(row, std::span(unit).first(dim_));
                row = std::span(unit).first(dim_);
            }
            encode_row(kind_, row, rows_.data() + (count_ + i) * width);
        }
    }
    count_ += n;
}

void SideStore::append_rows(std::size_t n, std::span<const std::byte> rows) {
    own();
    const std::size_t width = row_bytes(kind_, dim_);
    if (width != 0) {
        if (n > rows_.max_size() / width - count_) throw std::length_error("side too large");
        rows_.insert(rows_.end(), rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(n * width));
    }
    count_ += n;
}

void SideStore::truncate(std::size_t n) noexcept {
    if (n >= count_) return;
    if (owner_) {  // rows in place shrink by their view alone
        in_place_ = in_place_.first(n * row_bytes(kind_, dim_));
        count_ = n;
        return;
    }
    rows_.resize(n * row_bytes(kind_, dim_));
    count_ = n;
}

bool SideStore::keep_rows(std::span<const std::uint32_t> kept) noexcept {
    if (owner_) return false;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (kept[i] >= count_ || (i > 0 && kept[i] <= kept[i - 1])) return false;
    }
    const std::size_t width = row_bytes(kind_, dim_);
    // Ascending, so row kept[i] >= i and moving it down never overwrites a row
    // still to be moved.
    for (std::size_t i = 0; i < kept.size() && width != 0; ++i) {
        if (kept[i] != i) std::memmove(rows_.data() + i * width, rows_.data() + kept[i] * width, width);
    }
    rows_.resize(kept.size() * width);
    count_ = kept.size();
    return true;
}

namespace {

constexpr char SIDE_MAGIC[8] = {'K', 'X', 'S', 'I', 'D', 'E', 0, 0};
constexpr std::uint32_t SIDE_VERSION = 1;

bool row_is_valid(SideKind kind, std::size_t dim, const std::byte* row) noexcept {
    if (kind == SideKind::Int8) {
        for (std::size_t c = 0; c < dim; ++c) {
            if (static_cast<std::int8_t>(row[c]) < -INT8_LIMIT) return false;
        }
        const float scale = load<float>(row + dim);
        return std::isfinite(scale) && scale >= 0.0f;
    }
    for (std::size_t c = 0; c < dim; ++c) {
        if ((load<std::uint16_t>(row + 2 * c) & 0x7C00u) == 0x7C00u) return false;  // infinity or NaN
    }
    return true;
}

}  // namespace

void write_side(const SideView& side, ByteSink& out) {
    std::array<std::byte, SIDE_HEADER_BYTES> header{};
    std::memcpy(header.data(), SIDE_MAGIC, sizeof SIDE_MAGIC);
    store(header.data() + 8, SIDE_VERSION);
    store(header.data() + 12, static_cast<std::uint32_t>(side.kind));
    store(header.data() + 16, static_cast<std::uint64_t>(side.row_length()));
    store(header.data() + 24, static_cast<std::uint64_t>(side.count));
    out.write(header);
    out.values(side.rows);
}

std::string_view side_error_name(SideError error) noexcept {
    switch (error) {
        case SideError::Truncated: return "truncated header";
        case SideError::BadMagic: return "bad magic";
        case SideError::BadVersion: return "unsupported version";
        case SideError::UnknownKind: return "unknown encoding";
        case SideError::BadLength: return "length does not match the row count";
        case SideError::BadRow: return "row out of range";
    }
    return "unknown";
}

std::expected<SideHeader, SideError> read_side_header(std::span<const std::byte, SIDE_HEADER_BYTES> header,
                                                      std::uint64_t body) noexcept {
    if (std::memcmp(header.data(), SIDE_MAGIC, sizeof SIDE_MAGIC) != 0) return std::unexpected(SideError::BadMagic);
    if (load<std::uint32_t>(header.data() + 8) != SIDE_VERSION) return std::unexpected(SideError::BadVersion);
    for (std::size_t i = 32; i < SIDE_HEADER_BYTES; ++i) {
        if (header[i] != std::byte{0}) return std::unexpected(SideError::BadVersion);
    }
    const auto raw_kind = load<std::uint32_t>(header.data() + 12);
    if (raw_kind > static_cast<std::uint32_t>(SideKind::Float16)) return std::unexpected(SideError::UnknownKind);
    const auto kind = static_cast<SideKind>(raw_kind);
    const auto width = load<std::uint64_t>(header.data() + 16);
    const auto count = load<std::uint64_t>(header.data() + 24);
    // The row length tells the components: a row of dim + 4 or 2 dim bytes.
    const std::uint64_t dim = kind == SideKind::Int8      ? (width > sizeof(float) ? width - sizeof(float) : 0)
                              : kind == SideKind::Float16 ? width / 2
                                                          : 0;
    if (kind != SideKind::None && (dim == 0 || dim > kernels::MAX_CODE_DIMENSION)) {
        return std::unexpected(SideError::BadLength);
    }
    if (width != row_bytes(kind, static_cast<std::size_t>(dim))) return std::unexpected(SideError::BadLength);
    // count * width == body, without the product overflowing.
    if (width == 0 ? body != 0 : (body % width != 0 || body / width != count)) {
        return std::unexpected(SideError::BadLength);
    }
    if (count > std::numeric_limits<std::size_t>::max()) return std::unexpected(SideError::BadLength);
    return SideHeader{kind, static_cast<std::size_t>(dim), static_cast<std::size_t>(count)};
}

std::expected<void, SideError> check_rows(const SideView& rows) noexcept {
    for (std::size_t slot = 0; rows.row_length() != 0 && slot < rows.count; ++slot) {
        if (!row_is_valid(rows.kind, rows.dim, rows.row(slot))) return std::unexpected(SideError::BadRow);
    }
    return {};
}

std::expected<SideView, SideError> read_side(std::span<const std::byte> section) noexcept {
    if (section.size() < SIDE_HEADER_BYTES) return std::unexpected(SideError::Truncated);
    const auto header = read_side_header(section.first<SIDE_HEADER_BYTES>(), section.size() - SIDE_HEADER_BYTES);
    if (!header) return std::unexpected(header.error());
    const SideView view{header->kind, header->dim, section.subspan(SIDE_HEADER_BYTES), header->count};
    if (const auto rows = check_rows(view); !rows) return std::unexpected(rows.error());
    return view;
}

std::expected<PreparedQuery, SideError> prepare_query(RescoreMode mode, std::span<const float> query, Metric metric) {
    for (const float v : query) {
        if (!std::isfinite(v)) return std::unexpected(SideError::BadRow);
    }
    std::vector<float> unit;
    if (metric == Metric::Cosine) {
        unit.resize(query.size());
        scale_to_unit(query, unit);
        query = unit;
    }
    PreparedQuery prepared;
    prepared.mode = mode;
    prepared.dim = query.size();
    if (mode == RescoreMode::Int8) {
        std::vector<std::int8_t> q(query.size());
        prepared.scale = quantize_int8(query, q.data());
        prepared.integers.assign(q.begin(), q.end());
    } else {
        prepared.values.assign(query.begin(), query.end());
    }
    return prepared;
}

void score_slots(const SideKernels& kernels, const PreparedQuery& query, const SideView& side, CodeRows codes,
                 std::span<const std::uint32_t> slots, std::span<float> scores) noexcept {
    const std::size_t n = slots.size();
    const std::size_t dim = query.dim;
    const SideDots& dots = kernels.dots(dim);
    switch (query.mode) {
        case RescoreMode::Int8: {
            std::int32_t products[RESCORE_BLOCK];
            for (std::size_t start = 0; start < n; start += RESCORE_BLOCK) {
                const std::size_t m = std::min(RESCORE_BLOCK, n - start);
                dots.int8_dots(query.integers.data(), dim, side.rows.data(), side.row_length(), slots.data() + start, m,
                               products);
                for (std::size_t i = 0; i < m; ++i) {
                    const float row_scale = load<float>(side.row(slots[start + i]) + dim);
                    // One rounding, from the exact integer sum and the two scales;
                    // beyond the float range (absurd inputs) it is infinite.
                    const double exact =
                        static_cast<double>(products[i]) * (static_cast<double>(query.scale) * row_scale);
                    scores[start + i] = std::fabs(exact) <= std::numeric_limits<float>::max()
                                            ? static_cast<float>(exact)
                                        : exact > 0 ? std::numeric_limits<float>::infinity()
                                                    : -std::numeric_limits<float>::infinity();
                }
            }
            return;
        }
        case RescoreMode::Float16:
            dots.float16_dots(query.values.data(), dim, side.rows.data(), side.row_length(), slots.data(), n,
                              scores.data());
            break;
        case RescoreMode::Sign: {
            dots.sign_dots(query.values.data(), dim, codes.data, slots.data(), n, scores.data());
            // 1 / sqrt(dim), rounded once.
            const float unit = static_cast<float>(1.0 / std::sqrt(static_cast<double>(dim)));
            for (std::size_t i = 0; i < n; ++i) scores[i] *= unit;
            break;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(scores[i])) scores[i] = -std::numeric_limits<float>::infinity();
    }
}

}  // namespace kestrix::side
