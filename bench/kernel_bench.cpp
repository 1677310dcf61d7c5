// What the measuring kernels cost, per instruction set and code width.
//
//   kestrix_kernel_bench [rows [repeats [dims]]]
//
// For each width (the specialised ones and a few generic ones) and each set
// this CPU runs: the exact scan of `rows` codes (default 1,000,000) by
// Hamming distance and by asymmetric distance (a 4-bit query), block by block
// as the store's scan calls them, and a gather of the same number of rows
// picked at random in groups of 32 (a graph walk's reads). Specialised widths
// are measured with their own kernels and with the generic loop. Figures are
// ns per row, the fastest of `repeats` runs (default 5: the least disturbed
// one on a shared machine); compare figures of one run only. A report, never a test.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kernels/code_kernels.hpp"
#include "kernels/kernel_set.hpp"

using namespace kestrix;
using Clock = std::chrono::steady_clock;

namespace {

struct Data {
    std::size_t words;
    std::vector<std::uint64_t> rows;
    std::vector<std::uint32_t> ids;
    std::vector<std::uint32_t> slots;
    std::vector<std::uint64_t> query;
    kernels::AsymmetricQuery asymmetric;
};

Data make_data(std::size_t dim, std::size_t n, std::mt19937_64& rng) {
    Data d;
    d.words = kernels::code_words(dim);
    d.rows.resize(n * d.words);
    const std::uint64_t last = dim % 64 == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << (dim % 64)) - 1;
    for (std::size_t i = 0; i < d.rows.size(); ++i) d.rows[i] = rng() & (i % d.words == d.words - 1 ? last : ~0ull);
    d.ids.resize(n);
    for (std::size_t i = 0; i < n; ++i) d.ids[i] = static_cast<std::uint32_t>(i);
    d.slots.resize(n);
    for (auto& s : d.slots) s = static_cast<std::uint32_t>(rng() % n);
    d.query.assign(d.rows.begin(), d.rows.begin() + static_cast<std::ptrdiff_t>(d.words));
    std::normal_distribution<float> normal;
    std::vector<float> values(dim);
    for (auto& x : values) x = normal(rng);
    d.asymmetric = *kernels::prepare_asymmetric_query(values, 4);
    return d;
}

template <class Run>
double ns_per_row(std::size_t rows, std::size_t repeats, Run run) {
    std::vector<double> times;
    for (std::size_t r = 0; r < repeats; ++r) {
        const auto start = Clock::now();
        run();
        times.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() / double(rows));
    }
    return *std::min_element(times.begin(), times.end());
}

volatile std::uint64_t sink;

// The scan as the store calls it: blocks of 64 rows with a bound that admits
// a few (the heap itself is not measured).
double hamming_scan(const kernels::CodeKernels& k, const Data& d, std::size_t repeats) {
    const std::size_t n = d.ids.size();
    return ns_per_row(n, repeats, [&] {
        std::uint16_t distances[kernels::SCAN_BLOCK];
        std::uint64_t offered = 0;
        for (std::size_t base = 0; base < n; base += kernels::SCAN_BLOCK) {
            const std::size_t count = std::min(kernels::SCAN_BLOCK, n - base);
            offered += k.scan_block(d.query.data(), d.rows.data() + base * d.words, d.ids.data() + base, count, 100,
                                    distances);
        }
        sink = offered;
    });
}

double asymmetric_scan(const kernels::CodeKernels& k, const Data& d, std::size_t repeats) {
    const std::size_t n = d.ids.size();
    const std::uint32_t bound = d.asymmetric.max_distance / 4;
    return ns_per_row(n, repeats, [&] {
        std::uint32_t distances[kernels::SCAN_BLOCK];
        std::uint64_t offered = 0;
        for (std::size_t base = 0; base < n; base += kernels::SCAN_BLOCK) {
            const std::size_t count = std::min(kernels::SCAN_BLOCK, n - base);
            offered += k.asymmetric_scan_block(d.asymmetric, d.rows.data() + base * d.words, d.ids.data() + base, count,
                                               bound, distances);
        }
        sink = offered;
    });
}

constexpr std::size_t WALK_GROUP = 32;

// Rows picked at random, WALK_GROUP a call: `gather(slots, out)` measures them.
template <class Gather>
double gather_time(const Data& d, std::size_t repeats, Gather gather) {
    const std::size_t n = d.slots.size() / WALK_GROUP * WALK_GROUP;
    return ns_per_row(n, repeats, [&] {
        std::uint32_t out[WALK_GROUP];
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < n; i += WALK_GROUP) {
            gather(d.slots.data() + i, out);
            total += out[0];
        }
        sink = total;
    });
}

double hamming_gather(const kernels::CodeKernels& k, const Data& d, std::size_t repeats) {
    return gather_time(d, repeats, [&](const std::uint32_t* slots, std::uint32_t* out) {
        k.gather(d.query.data(), d.rows.data(), slots, WALK_GROUP, out);
    });
}

double asymmetric_gather(const kernels::CodeKernels& k, const Data& d, std::size_t repeats) {
    return gather_time(d, repeats, [&](const std::uint32_t* slots, std::uint32_t* out) {
        k.asymmetric_gather(d.asymmetric, d.rows.data(), slots, WALK_GROUP, out);
    });
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::stoul(argv[1]) : 1'000'000;
    const std::size_t repeats = argc > 2 ? std::stoul(argv[2]) : 5;
    std::mt19937_64 rng(1);
    std::printf("rows %zu, fastest of %zu runs, ns per row\n", n, repeats);
    std::printf("%6s %5s %-8s %-11s %9s %9s %6s %9s %9s\n", "dim", "words", "set", "kernels", "scan", "asym scan",
                "ratio", "gather", "asym gath");
    std::vector<std::size_t> dims = {384, 512, 768, 1024, 1536, 3072, 200, 1000, 4096};
    if (argc > 3) {
        dims.clear();
        for (std::string list = argv[3]; !list.empty();) {
            const std::size_t end = list.find(',');
            dims.push_back(std::stoul(list.substr(0, end)));
            list = end == std::string::npos ? "" : list.substr(end + 1);
        }
    }
    for (const std::size_t dim : dims) {
        if (dim == 0 || dim > kernels::MAX_CODE_DIMENSION) continue;
        const Data d = make_data(dim, n, rng);
        const auto best = kernels::available_code_kernels(d.words);
        const auto generic = kernels::available_generic_code_kernels(d.words);
        for (std::size_t i = 0; i < best.size(); ++i) {
            for (const kernels::CodeKernels* k : {&best[i], &generic[i]}) {
                if (k == &generic[i] && !best[i].specialised) continue;
                // The two scans take turns, so both see the same share of the
                // machine.
                double scan = 1e300, asym = 1e300;
                for (std::size_t r = 0; r < repeats; ++r) {
                    scan = std::min(scan, hamming_scan(*k, d, 1));
                    asym = std::min(asym, asymmetric_scan(*k, d, 1));
                }
                std::printf("%6zu %5zu %-8s %-11s %9.3f %9.3f %6.2f %9.3f %9.3f\n", dim, d.words, k->name,
                            k->specialised ? "specialised" : "generic", scan, asym, asym / scan,
                            hamming_gather(*k, d, repeats), asymmetric_gather(*k, d, repeats));
                std::fflush(stdout);
            }
        }
    }
}
