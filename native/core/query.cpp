#include "query.hpp"

#include "hnsw/search.hpp"
#include "scan.hpp"

namespace kestrix {

std::vector<SearchHit> search(const VectorStore& store, const std::uint64_t* query, std::uint64_t k, std::uint64_t ef,
                              SearchContext& context) {
    if (const HnswGraph* graph = store.index()) {
        return search_hnsw(*graph, store.codes(), store.ids(), query, k, ef, context);
    }
    return scan_top_k(store, query, k);
}

}  // namespace kestrix
