// Baseline for the benchmarks: a plain transcription of renumbering over a dense table, one
// entry at a time: the largest label, the count of every label, the surviving labels (not the
// background, at most 40 % of the entries), their running count, and the relabelling. Built by
// benchmarks/scalar_lib.py with g++ -O2 -ffp-contract=off.
#include <cstdint>
#include <vector>

extern "C" {

void scalar_renumbering(uint32_t *labels, int64_t n, uint32_t min_labels) {
    if (n == 0) return;
    uint32_t largest = 0;
    for (int64_t j = 0; j < n; ++j) largest = labels[j] > largest ? labels[j] : largest;
    const int64_t bins = int64_t{largest} + 1 > min_labels ? int64_t{largest} + 1 : min_labels;
    std::vector<int64_t> counts(bins, 0);
    for (int64_t j = 0; j < n; ++j) ++counts[labels[j]];
    std::vector<uint32_t> table(bins, 0);
    uint32_t survivors = 0;
    for (int64_t k = 1; k < bins; ++k)
        if (counts[k] > 0 && static_cast<double>(counts[k]) <= 0.4 * static_cast<double>(n)) table[k] = ++survivors;
    for (int64_t j = 0; j < n; ++j) labels[j] = table[labels[j]];
}

}  // extern "C"
