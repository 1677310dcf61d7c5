// Asymmetric queries: rounding a float query to a few bits per component and
// laying it out as the kernels read it.
#include <cmath>

#include "code_kernels.hpp"

namespace kestrix::kernels {

QueryLevels round_to_nearest(std::span<const float> values, unsigned bits, std::uint8_t* levels) noexcept {
    float largest = 0.0f;
    for (const float x : values) largest = std::fmax(largest, std::fabs(x));
    const auto top = static_cast<float>((1u << bits) - 1u);
    if (largest == 0.0f) {
        for (std::size_t c = 0; c < values.size(); ++c) levels[c] = 0;
        return {0, 0.0f};
    }
    // The grid points are (2 level - top) / top * largest; x's nearest one has
    // level (x / largest + 1) * top / 2 rounded, halves up. Clamped against
    // the last rounding of a component at +-largest.
    for (std::size_t c = 0; c < values.size(); ++c) {
        const float t = std::floor((values[c] / largest + 1.0f) * (top * 0.5f) + 0.5f);
        levels[c] = static_cast<std::uint8_t>(std::fmin(std::fmax(t, 0.0f), top));
    }
    return {-static_cast<std::int32_t>(top), largest / top};
}

std::expected<AsymmetricQuery, QueryError> prepare_asymmetric_query(std::span<const float> values, unsigned bits,
                                                                    RoundingRule rule) noexcept {
    if (values.empty() || values.size() > MAX_CODE_DIMENSION) return std::unexpected(QueryError::BadDimension);
    if (bits < 1 || bits > MAX_QUERY_BITS) return std::unexpected(QueryError::BadBits);
    for (const float x : values) {
        if (!std::isfinite(x)) return std::unexpected(QueryError::NotFinite);
    }
    std::uint8_t levels[MAX_CODE_DIMENSION];
    const QueryLevels made = rule(values, bits, levels);
    const std::int64_t offset_limit = std::int64_t{1} << (bits + 1);
    if (made.offset < -offset_limit || made.offset > offset_limit) return std::unexpected(QueryError::BadRounding);

    AsymmetricQuery q;
    q.dim = values.size();
    q.words = code_words(q.dim);
    q.bits = bits;
    q.offset = made.offset;
    q.scale = made.scale;
    std::int64_t positive = 0, magnitude = 0;
    for (std::size_t c = 0; c < q.dim; ++c) {
        if (levels[c] >> bits != 0) return std::unexpected(QueryError::BadRounding);
        const std::int64_t component = 2 * std::int64_t{levels[c]} + made.offset;
        positive += component > 0 ? component : 0;
        magnitude += component > 0 ? component : -component;
        for (unsigned p = 0; p < bits; ++p) {
            q.planes[p * q.words + c / WORD_BITS] |= std::uint64_t{(levels[c] >> p) & 1u} << (c % WORD_BITS);
        }
    }
    // At most 4096 components of magnitude below 2^10: far inside 32 bits.
    q.positive = static_cast<std::uint32_t>(positive);
    q.max_distance = static_cast<std::uint32_t>(magnitude);
    return q;
}

std::uint32_t asymmetric_distance_reference(const AsymmetricQuery& query, const std::uint64_t* code) noexcept {
    std::uint32_t distance = 0;
    for (std::size_t c = 0; c < query.dim; ++c) {
        std::int32_t level = 0;
        for (unsigned p = 0; p < query.bits; ++p) {
            level |= static_cast<std::int32_t>((query.plane(p)[c / WORD_BITS] >> (c % WORD_BITS)) & 1u) << p;
        }
        const std::int32_t component = 2 * level + query.offset;
        const bool set = (load_word(code + c / WORD_BITS) >> (c % WORD_BITS)) & 1u;
        // The sign the code gives this component disagrees with the query's.
        if ((component > 0 && !set) || (component < 0 && set)) {
            distance += static_cast<std::uint32_t>(component > 0 ? component : -component);
        }
    }
    return distance;
}

}  // namespace kestrix::kernels
