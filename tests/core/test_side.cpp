// The rescoring side: every kernel against the portable one, the encodings
// against independent conversions, the side following its store's slots, the
// section reader's refusals, and the ranking of rescored hits.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "collection.hpp"
#include "side/side.hpp"

namespace kestrix::side {
namespace {

// Every row of `values` (384 floats each) appended.
void append_rows(SideStore& store, std::span<const float> values) { store.append(values.size() / DIMENSION, values); }

std::vector<std::byte> section_of(const SideView& view) {
    std::vector<std::byte> out;
    VectorSink sink(out);
    write_side(view, sink);
    return out;
}

std::vector<float> random_floats(std::mt19937_64& rng, std::size_t n, float spread = 1.0f) {
    std::normal_distribution<float> normal(0.0f, spread);
    std::vector<float> v(n);
    for (auto& x : v) x = normal(rng);
    return v;
}

std::span<const float, DIMENSION> row_of(const std::vector<float>& values, std::size_t i) {
    return std::span<const float>(values).subspan(i * DIMENSION).first<DIMENSION>();
}

// Rows that reach the ends of each encoding: zeros, the int8 extremes, the
// largest and the subnormal halves, huge and tiny vectors, then random ones.
std::vector<float> awkward_vectors(std::mt19937_64& rng, std::size_t n) {
    std::vector<float> values = random_floats(rng, n * DIMENSION);
    const float specials[] = {0.0f, 65504.0f, -70000.0f, 1e-7f, 3e38f, -1e-30f};
    for (std::size_t i = 0; i < std::min<std::size_t>(n, 6); ++i) {
        for (std::size_t c = 0; c < DIMENSION; ++c) values[i * DIMENSION + c] = (c % 3 ? 1.0f : -1.0f) * specials[i];
    }
    return values;
}

TEST(SideKernels, PortableSetIsFirstAndTheChosenOneIsAvailable) {
    const auto sets = available_side_kernels();
    ASSERT_FALSE(sets.empty());
    EXPECT_EQ(std::string(sets.front().name), "portable");
    EXPECT_EQ(&side_kernels(), &sets.back());
}

// Every kernel set gives bit-identical sums to the portable one, for every
// candidate count of a block, repeated and out-of-order slots included.
TEST(SideKernels, EveryKernelSetMatchesThePortableOneBitForBit) {
    std::mt19937_64 rng(5);
    const std::size_t rows = 150;
    const auto values = awkward_vectors(rng, rows);
    SideStore int8(SideKind::Int8), half(SideKind::Float16);
    append_rows(int8, values);
    append_rows(half, values);
    std::vector<QuantizedVector> codes;
    for (std::size_t i = 0; i < rows; ++i) codes.push_back(quantize(row_of(values, i)));

    const auto portable = available_side_kernels().front();
    for (const auto& kernels : available_side_kernels()) {
        SCOPED_TRACE(kernels.name);
        for (int q = 0; q < 6; ++q) {
            // The zero query; one with every component at the int8 limit, signed
            // as rows 1-5 are (the largest pairs of products a kernel can sum);
            // random ones.
            const auto query_values =
                q == 0   ? awkward_vectors(rng, 1)
                : q == 1 ? std::vector<float>(values.begin() + DIMENSION, values.begin() + 2 * DIMENSION)
                         : random_floats(rng, DIMENSION, 3.0f);
            const auto query = row_of(query_values, 0);
            const auto as_int8 = *prepare_query(RescoreMode::Int8, query);
            for (std::size_t count : {0, 1, 7, 16, 63, 64, 65}) {
                std::vector<std::uint32_t> slots(count);
                for (auto& s : slots) s = static_cast<std::uint32_t>(rng() % rows);
                std::vector<std::int32_t> want_i(count), got_i(count);
                std::vector<float> want_f(count), got_f(count);
                const std::size_t int8_row = row_bytes(SideKind::Int8, DIMENSION);
                portable.at_384.int8_dots(as_int8.integers.data(), DIMENSION, int8.view().rows.data(), int8_row,
                                          slots.data(), count, want_i.data());
                kernels.at_384.int8_dots(as_int8.integers.data(), DIMENSION, int8.view().rows.data(), int8_row,
                                         slots.data(), count, got_i.data());
                EXPECT_EQ(got_i, want_i) << "int8, count " << count;

                auto same_bits = [&](const char* what) {
                    for (std::size_t i = 0; i < count; ++i) {
                        EXPECT_EQ(std::bit_cast<std::uint32_t>(got_f[i]), std::bit_cast<std::uint32_t>(want_f[i]))
                            << what << ", count " << count << " candidate " << i << ": " << got_f[i]
                            << " != " << want_f[i];
                    }
                };
                const std::size_t half_row = row_bytes(SideKind::Float16, DIMENSION);
                portable.at_384.float16_dots(query.data(), DIMENSION, half.view().rows.data(), half_row, slots.data(),
                                             count, want_f.data());
                kernels.at_384.float16_dots(query.data(), DIMENSION, half.view().rows.data(), half_row, slots.data(),
                                            count, got_f.data());
                same_bits("float16");
                portable.at_384.sign_dots(query.data(), DIMENSION, CodeRows(codes).data, slots.data(), count,
                                          want_f.data());
                kernels.at_384.sign_dots(query.data(), DIMENSION, CodeRows(codes).data, slots.data(), count,
                                         got_f.data());
                same_bits("sign");
            }
        }
    }
}

// The products over any number of components: every set against the portable
// one bit for bit, around the edges of the 16-lane and 32-byte groups; the
// portable sums against double-precision products; and at 384 components the
// same numbers as the 384-component entry points.
class SideKernelDims : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SideKernelDims, EverySetMatchesThePortableOneAndTheInnerProducts) {
    const std::size_t dim = GetParam(), words = kernels::code_words(dim), rows = 40;
    const std::size_t int8_stride = dim + sizeof(float), half_stride = 2 * dim;
    std::mt19937_64 rng(dim);
    const auto values = random_floats(rng, rows * dim);
    std::vector<std::byte> int8_rows(rows * int8_stride), half_rows(rows * half_stride);
    std::vector<std::uint64_t> codes(rows * words);
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t c = 0; c < dim; ++c) {
            const float x = i == 0 ? 65504.0f * (c % 2 ? 1.0f : -1.0f) : values[i * dim + c];
            int8_rows[i * int8_stride + c] = static_cast<std::byte>(static_cast<std::int8_t>(rng() % 255 - 127));
            const std::uint16_t h = float_to_float16(x);
            std::memcpy(&half_rows[i * half_stride + 2 * c], &h, sizeof h);
            codes[i * words + c / 64] |= std::uint64_t{x > 0} << (c % 64);
        }
    }
    std::vector<float> query = random_floats(rng, dim, 3.0f);
    query[0] = -0.0f;  // a lane may hold -0.0 until its last component
    std::vector<std::int16_t> int8_query(dim);
    for (auto& q : int8_query) q = static_cast<std::int16_t>(rng() % 255 - 127);

    const auto portable = available_side_kernels().front();
    for (const std::size_t count : {0, 1, 5, 31}) {
        std::vector<std::uint32_t> slots(count);
        for (auto& slot : slots) slot = static_cast<std::uint32_t>(rng() % rows);
        std::vector<std::int32_t> want_i(count), got_i(count);
        std::vector<float> want_f(count), want_s(count), got_f(count);
        portable.any.int8_dots(int8_query.data(), dim, int8_rows.data(), int8_stride, slots.data(), count,
                               want_i.data());
        portable.any.float16_dots(query.data(), dim, half_rows.data(), half_stride, slots.data(), count, want_f.data());
        portable.any.sign_dots(query.data(), dim, codes.data(), slots.data(), count, want_s.data());
        for (std::size_t i = 0; i < count; ++i) {
            std::int64_t int8_sum = 0;
            double half_sum = 0, sign_sum = 0, scale = 0;
            for (std::size_t c = 0; c < dim; ++c) {
                int8_sum += int8_query[c] * static_cast<std::int8_t>(int8_rows[slots[i] * int8_stride + c]);
                std::uint16_t h;
                std::memcpy(&h, &half_rows[slots[i] * half_stride + 2 * c], sizeof h);
                half_sum += double{query[c]} * half_to_float(h);
                scale += std::abs(double{query[c]} * half_to_float(h));
                sign_sum += (codes[slots[i] * words + c / 64] >> (c % 64)) & 1 ? query[c] : -query[c];
            }
            EXPECT_EQ(want_i[i], int8_sum);
            EXPECT_NEAR(want_f[i], half_sum, 1e-5 * scale + 1e-4);
            EXPECT_NEAR(want_s[i], sign_sum, 1e-4 * dim);
        }
        for (const auto& set : available_side_kernels()) {
            SCOPED_TRACE(std::string(set.name) + ", count " + std::to_string(count));
            set.any.int8_dots(int8_query.data(), dim, int8_rows.data(), int8_stride, slots.data(), count, got_i.data());
            EXPECT_EQ(got_i, want_i);
            const SideDots& chosen = set.dots(dim);
            chosen.int8_dots(int8_query.data(), dim, int8_rows.data(), int8_stride, slots.data(), count, got_i.data());
            EXPECT_EQ(got_i, want_i);
            auto same_bits = [&](const std::vector<float>& want, const char* what) {
                for (std::size_t i = 0; i < count; ++i) {
                    EXPECT_EQ(std::bit_cast<std::uint32_t>(got_f[i]), std::bit_cast<std::uint32_t>(want[i]))
                        << what << ", candidate " << i << ": " << got_f[i] << " != " << want[i];
                }
            };
            set.any.float16_dots(query.data(), dim, half_rows.data(), half_stride, slots.data(), count, got_f.data());
            same_bits(want_f, "float16");
            set.any.sign_dots(query.data(), dim, codes.data(), slots.data(), count, got_f.data());
            same_bits(want_s, "sign");
            chosen.float16_dots(query.data(), dim, half_rows.data(), half_stride, slots.data(), count, got_f.data());
            same_bits(want_f, "float16 of the width's own");
            chosen.sign_dots(query.data(), dim, codes.data(), slots.data(), count, got_f.data());
            same_bits(want_s, "sign of the width's own");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Dims, SideKernelDims, ::testing::Values(1, 15, 16, 17, 31, 33, 100, 384, 768, 1000, 4096));

// The portable sums themselves against plain double-precision products.
TEST(SideKernels, PortableSumsAreTheInnerProducts) {
    std::mt19937_64 rng(9);
    const auto values = random_floats(rng, 20 * DIMENSION);
    const auto query = random_floats(rng, DIMENSION);
    SideStore half(SideKind::Float16);
    append_rows(half, values);
    std::vector<QuantizedVector> codes;
    for (std::size_t i = 0; i < 20; ++i) codes.push_back(quantize(row_of(values, i)));
    std::vector<std::uint32_t> slots(20);
    for (std::uint32_t i = 0; i < 20; ++i) slots[i] = 19 - i;
    std::vector<float> f16(20), sign(20);
    const auto portable = available_side_kernels().front();
    portable.at_384.float16_dots(query.data(), DIMENSION, half.view().rows.data(),
                                 row_bytes(SideKind::Float16, DIMENSION), slots.data(), 20, f16.data());
    portable.at_384.sign_dots(query.data(), DIMENSION, CodeRows(codes).data, slots.data(), 20, sign.data());
    for (std::size_t i = 0; i < 20; ++i) {
        double want_f16 = 0, want_sign = 0;
        std::array<float, DIMENSION> decoded;
        decode_row(SideKind::Float16, half.view().row(slots[i]), std::span(decoded));
        for (std::size_t c = 0; c < DIMENSION; ++c) {
            want_f16 += double{query[c]} * decoded[c];
            want_sign += values[slots[i] * DIMENSION + c] > 0 ? query[c] : -query[c];
        }
        EXPECT_NEAR(f16[i], want_f16, 1e-4);
        EXPECT_NEAR(sign[i], want_sign, 1e-4);
    }
}

// The compiler's own half type: C++ knows _Float16 on x86-64; on AArch64 it
// has the IEEE storage type __fp16.
#if defined(__aarch64__)
#define KESTRIX_COMPILER_HALF __fp16
#elif defined(__FLT16_MAX__)
#define KESTRIX_COMPILER_HALF _Float16
#endif

#if defined(KESTRIX_COMPILER_HALF)
// The compiler's own conversion is the independent oracle for rounding.
TEST(SideEncoding, Float16RoundsLikeTheCompilerAndSaturatesInsteadOfInfinity) {
    std::mt19937_64 rng(3);
    std::vector<float> probes = {0.0f,     -0.0f,    1.0f,    65504.0f,      65519.0f,       5.96e-8f,
                                 2.98e-8f, 2.99e-8f, 6.1e-5f, 1.0009765625f, 1.00048828125f, 1.00146484375f};
    for (int i = 0; i < 200000; ++i) {
        probes.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(rng()) & 0xC7FFFFFFu));  // |x| < 2^17
    }
    for (const float x : probes) {
        if (std::fabs(x) >= 65520.0f) continue;  // rounds to infinity there; saturation is checked below
        const auto want = std::bit_cast<std::uint16_t>(static_cast<KESTRIX_COMPILER_HALF>(x));
        ASSERT_EQ(float_to_float16(x), want) << x;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(half_to_float(want)),
                  std::bit_cast<std::uint32_t>(static_cast<float>(static_cast<KESTRIX_COMPILER_HALF>(x))));
    }
    for (const float big : {65520.0f, 1e10f, 3.4e38f}) {
        EXPECT_EQ(float_to_float16(big), 0x7BFFu);
        EXPECT_EQ(float_to_float16(-big), 0xFBFFu);
    }
}
#endif

// The side mirrors a store's slots through appends, an undone batch and
// order-keeping compactions: row i is always the encoding of slot i's vector.
TEST(SideStoreFollowsSlots, AppendsTruncationsAndCompactionsKeepRowsWithTheirSlots) {
    for (const SideKind kind : {SideKind::None, SideKind::Int8, SideKind::Float16}) {
        SCOPED_TRACE(static_cast<int>(kind));
        std::mt19937_64 rng(11);
        SideStore store(kind);
        std::vector<std::vector<float>> model;  // the vector behind each slot
        for (int step = 0; step < 60; ++step) {
            const auto action = rng() % 5;
            if (action == 4) {
                // The same rows read in place from a buffer of someone else's,
                // kept alive by the side alone: it must copy before changing.
                auto buffer =
                    std::make_shared<std::vector<std::byte>>(store.view().rows.begin(), store.view().rows.end());
                const SideView rows{kind, DIMENSION, *buffer, store.size()};
                store = SideStore::in_place(rows, std::move(buffer));
                ASSERT_TRUE(store.is_in_place());
            } else if (action <= 1) {
                const std::size_t n = rng() % 5;
                const auto batch = random_floats(rng, n * DIMENSION);
                append_rows(store, batch);
                for (std::size_t i = 0; i < n; ++i)
                    model.emplace_back(row_of(batch, i).begin(), row_of(batch, i).end());
            } else if (action == 2) {
                const std::size_t n = model.empty() ? 0 : rng() % (model.size() + 1);
                store.truncate(n);
                model.resize(std::min(n, model.size()));
            } else {
                std::vector<std::uint32_t> kept;
                std::vector<std::vector<float>> survivors;
                for (std::uint32_t s = 0; s < model.size(); ++s) {
                    if (rng() % 3) {
                        kept.push_back(s);
                        survivors.push_back(model[s]);
                    }
                }
                if (store.is_in_place()) {
                    ASSERT_FALSE(store.keep_rows(kept));  // read-only rows
                    store.own();
                }
                ASSERT_TRUE(store.keep_rows(kept));
                model = std::move(survivors);
            }
            ASSERT_EQ(store.size(), model.size());
            ASSERT_EQ(store.view().rows.size(), model.size() * row_bytes(kind, DIMENSION));
            std::vector<std::byte> want(row_bytes(kind, DIMENSION));
            for (std::size_t s = 0; s < model.size() && !want.empty(); ++s) {
                encode_row(kind, model[s], want.data());
                ASSERT_EQ(std::memcmp(store.view().row(s), want.data(), want.size()), 0) << "slot " << s;
            }
        }
        // A refused compaction changes nothing.
        const auto before = std::vector<std::byte>(store.view().rows.begin(), store.view().rows.end());
        const auto size = static_cast<std::uint32_t>(store.size());
        for (const std::vector<std::uint32_t>& bad :
             {std::vector<std::uint32_t>{1, 0}, std::vector<std::uint32_t>{0, 0}, std::vector<std::uint32_t>{size}}) {
            EXPECT_FALSE(store.keep_rows(bad));
            EXPECT_EQ(store.size(), size);
            EXPECT_TRUE(std::equal(before.begin(), before.end(), store.view().rows.begin(), store.view().rows.end()));
        }
    }
}

TEST(SideSection, RoundTripsAndTheReaderRefusesEveryDamagedField) {
    std::mt19937_64 rng(2);
    for (const SideKind kind : {SideKind::None, SideKind::Int8, SideKind::Float16}) {
        SideStore store(kind);
        append_rows(store, awkward_vectors(rng, 9));
        const auto bytes = section_of(store.view());
        const auto view = read_side(bytes);
        ASSERT_TRUE(view.has_value());
        EXPECT_EQ(view->kind, kind);
        EXPECT_EQ(view->count, 9u);
        EXPECT_TRUE(
            std::equal(view->rows.begin(), view->rows.end(), store.view().rows.begin(), store.view().rows.end()));
        for (std::size_t cut = 0; cut < bytes.size(); cut += (cut < SIDE_HEADER_BYTES ? 1 : 97)) {
            EXPECT_FALSE(read_side(std::span(bytes).first(cut)).has_value()) << "cut at " << cut;
        }
    }

    SideStore store(SideKind::Int8);
    append_rows(store, random_floats(rng, 3 * DIMENSION));
    const auto good = section_of(store.view());
    auto damaged = [&](std::size_t offset, auto value) {
        auto bytes = good;
        std::memcpy(bytes.data() + offset, &value, sizeof value);
        return read_side(bytes);
    };
    EXPECT_EQ(damaged(0, 'k').error(), SideError::BadMagic);
    EXPECT_EQ(damaged(8, std::uint32_t{2}).error(), SideError::BadVersion);
    EXPECT_EQ(damaged(40, std::uint8_t{1}).error(), SideError::BadVersion);
    EXPECT_EQ(damaged(12, std::uint32_t{7}).error(), SideError::UnknownKind);
    // The row length tells the components: 388 bytes are 384 int8 values and
    // a scale, or 194 halves; no row has none, or more than 4096.
    std::array<std::byte, SIDE_HEADER_BYTES> header;
    std::copy_n(good.begin(), SIDE_HEADER_BYTES, header.begin());
    header[12] = std::byte{2};
    EXPECT_EQ(read_side_header(header, good.size() - SIDE_HEADER_BYTES)->dim, 194u);
    for (const std::uint64_t width : {0u, 4u, 4096u + 4 + 1}) {
        EXPECT_EQ(damaged(16, width).error(), SideError::BadLength) << width;
    }
    EXPECT_EQ(damaged(24, std::uint64_t{4}).error(), SideError::BadLength);
    EXPECT_EQ(damaged(24, ~std::uint64_t{0}).error(), SideError::BadLength);
    EXPECT_EQ(damaged(SIDE_HEADER_BYTES + 5, std::int8_t{-128}).error(), SideError::BadRow);
    EXPECT_EQ(damaged(SIDE_HEADER_BYTES + DIMENSION, std::nanf("")).error(), SideError::BadRow);
    EXPECT_EQ(damaged(SIDE_HEADER_BYTES + row_bytes(SideKind::Int8, DIMENSION) + DIMENSION, -1.0f).error(),
              SideError::BadRow);

    SideStore half(SideKind::Float16);
    append_rows(half, random_floats(rng, DIMENSION));
    auto bytes = section_of(half.view());
    bytes[SIDE_HEADER_BYTES + 11] = std::byte{0x7C};  // a component's exponent all ones: infinity or NaN
    EXPECT_EQ(read_side(bytes).error(), SideError::BadRow);
}

struct Hit {
    std::uint32_t slot;
    float score;
};

TEST(Rescore, RanksByFloatSideScoreWithTiesToTheLowerSlot) {
    // Slot s holds the unit vector along component s % 4 (slots 4.. repeat it),
    // so the query (4, 3, 2, 1) / |q| gives four distinct scores, each tied.
    std::vector<float> values(8 * DIMENSION, 0.0f);
    for (std::size_t s = 0; s < 8; ++s) values[s * DIMENSION + s % 4] = 1.0f;
    std::array<float, DIMENSION> query{};
    query[0] = 0.4f, query[1] = 0.3f, query[2] = 0.2f, query[3] = 0.1f;
    for (const SideKind kind : {SideKind::Int8, SideKind::Float16}) {
        SideStore side(kind);
        append_rows(side, values);
        const auto prepared = *prepare_query(native_mode(kind), query);
        std::vector<Hit> hits = {{6, 0}, {5, 0}, {1, 0}, {4, 0}, {3, 0}, {0, 0}, {2, 0}, {7, 0}};
        EXPECT_EQ(rescore(prepared, side.view(), {}, std::span(hits), 99), hits.size());
        const std::uint32_t want[] = {0, 4, 1, 5, 2, 6, 3, 7};
        for (std::size_t i = 0; i < hits.size(); ++i) {
            EXPECT_EQ(hits[i].slot, want[i]) << "position " << i;
            EXPECT_NEAR(hits[i].score, query[want[i] % 4], 0.4f / 127);
        }
        // Keeping three puts exactly the best three first, in order.
        std::reverse(hits.begin(), hits.end());
        EXPECT_EQ(rescore(prepared, side.view(), {}, std::span(hits), 3), 3u);
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(hits[i].slot, want[i]);
    }
}

TEST(Rescore, SignModeScoresTheCosineWithTheSignVectorAndNonFiniteQueriesAreRefused) {
    std::mt19937_64 rng(8);
    const auto values = random_floats(rng, 3 * DIMENSION);
    std::vector<QuantizedVector> codes;
    for (std::size_t i = 0; i < 3; ++i) codes.push_back(quantize(row_of(values, i)));
    const auto query = row_of(values, 1);
    std::vector<Hit> hits = {{0, 0}, {1, 0}, {2, 0}};
    rescore(*prepare_query(RescoreMode::Sign, query), SideView{}, codes, std::span(hits), 3);
    EXPECT_EQ(hits[0].slot, 1u);  // a vector agrees with its own signs best
    double l1 = 0, l2 = 0;
    for (const float x : query) l1 += std::fabs(x), l2 += double{x} * x;
    EXPECT_NEAR(hits[0].score, l1 / std::sqrt(384.0), 1e-4);
    EXPECT_LE(hits[0].score, std::sqrt(l2) + 1e-4);  // a cosine times |q|, at most |q|
    // Under the cosine the query is scaled to unit length: the cosine itself.
    rescore(*prepare_query(RescoreMode::Sign, query, Metric::Cosine), SideView{}, codes, std::span(hits), 3);
    EXPECT_NEAR(hits[0].score, l1 / std::sqrt(384.0 * l2), 1e-5);

    std::array<float, DIMENSION> bad{};
    for (const float x : {std::nanf(""), INFINITY, -INFINITY}) {
        bad[100] = x;
        for (const auto mode : {RescoreMode::Sign, RescoreMode::Int8, RescoreMode::Float16}) {
            EXPECT_FALSE(prepare_query(mode, bad).has_value());
        }
    }
}

}  // namespace
}  // namespace kestrix::side

namespace kestrix {
namespace {

// A rescoring search that cannot rescore (no floats given, or floats that are
// not finite) answers the codes' best k, never its k x oversample candidates.
TEST(CollectionRescoring, WithoutUsableFloatsTheCodesBestKAreAnswered) {
    std::mt19937_64 rng(6);
    const auto values = side::random_floats(rng, 50 * DIMENSION);
    std::vector<QuantizedVector> codes;
    std::vector<std::uint64_t> ids;
    for (std::size_t i = 0; i < 50; ++i) {
        codes.push_back(quantize(side::row_of(values, i)));
        ids.push_back(i * 10);
    }
    Collection c(side::SideKind::Int8);
    ASSERT_TRUE(c.add(ids, codes, 0.0, values).has_value());
    EXPECT_EQ(c.side().size(), 50u);
    SearchOptions options{5, true, 50, 1};
    options.rescore = true;
    const auto binary = c.search(code_of(codes[7]), 5, true, 50);
    std::vector<float> not_finite(DIMENSION, 1.0f);
    not_finite[3] = std::numeric_limits<float>::infinity();
    for (const std::span<const float> floats : {std::span<const float>{}, std::span<const float>(not_finite)}) {
        const auto hits = c.search(code_of(codes[7]), floats, options);
        ASSERT_EQ(hits.size(), binary.size());
        for (std::size_t i = 0; i < hits.size(); ++i) EXPECT_EQ(hits[i].id, binary[i].id);
    }
    // With the floats, the side ranks: the document itself comes first.
    const auto rescored = c.search(code_of(codes[7]), side::row_of(values, 7), options);
    ASSERT_EQ(rescored.size(), 5u);
    EXPECT_EQ(rescored.front().id, 70u);
}

}  // namespace
}  // namespace kestrix
