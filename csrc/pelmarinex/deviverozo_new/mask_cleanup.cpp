// Mask clean-up, all in place: fill_holes hands labels into zero areas by depth-first walks,
// renum_masks deletes chosen labels, renumbering deletes labels that cover more than 40 % of
// the entries; both renumber what is left as 1, 2, 3, ... in the old order.
//
// masks:  uint32 (Ly, Lx), C-contiguous; 0 is background.
// remove: bool (n,), C-contiguous; entry k flags label k + 1 for deletion. Read as bytes: any
//         non-zero byte is true, as NumPy reads a bool.
// labels: uint32 (N,), C-contiguous, e.g. a flattened label mask.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "np/arrayobj.h"
#include "np/old_arraymath.h"
#include "pelmarinex/deviverozo_new/fresh_array.h"
#include "pelmarinex/deviverozo_new/pair_list.h"
#include "pelmarinex/deviverozo_new/sarvo_functions.h"
#include "core/pickled_constants.h"

namespace pelmarinex::deviverozo_new::sarvo_functions {
namespace {

using sarvo::Fill;
using sarvo::kOk;
using sarvo::Owned;
using sarvo::PairItem;
using sarvo::PairList;
using sarvo::read_only;
namespace records = sarvo::records;

// A label may cover at most this fraction of the entries to survive renumbering.
constexpr double kLargestShare = 0.4;

struct Offset {
    int64_t dy, dx;
};

// Up, down, left, right: the first labelled one in this order gives a pixel its label, which
// is why an enclosed hole takes the label of the pixel above it.
constexpr Offset kNeighbours4[] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};

// One unsigned compare checks 0 <= i < n.
inline bool in_range(int64_t i, int64_t n) { return static_cast<uint64_t>(i) < static_cast<uint64_t>(n); }

/* One depth-first walk from (i, j); `stack` is empty on entry and on a successful return.
   A popped pixel is skipped if labelled or visited; otherwise it is marked visited and its
   neighbours are pushed in order until the first labelled one, whose label it takes. Labels
   are read as they are at that moment, so they spread along the walk. */
int32_t fill_walk(const Array<uint32_t, 2> &masks, const Array<uint8_t, 2> &visited, PairList<int64_t> &stack,
                  int64_t i, int64_t j, ExcSlot exc) {
    const int64_t ly = masks.shape[0], lx = masks.shape[1];
    if (int32_t st = stack.append(i, j, exc)) return st;
    while (stack.size() > 0) {
        PairItem<int64_t> p;
        if (int32_t st = stack.pop(&p, exc)) return st;
        const int64_t y = p.first, x = p.second;
        if (masks(y, x) != 0 || visited(y, x)) continue;
        visited(y, x) = 1;
        for (const Offset &d : kNeighbours4) {
            const int64_t ny = y + d.dy, nx = x + d.dx;
            if (!in_range(ny, ly) || !in_range(nx, lx)) continue;
            if (int32_t st = stack.append(ny, nx, exc)) return st;
            if (masks(ny, nx) != 0) {
                masks(y, x) = masks(ny, nx);
                break;
            }
        }
    }
    return kOk;
}

/* labels[j] = table[labels[j]] for every entry; raw pointers, as the stores may alias. The table
   (size entries) was sized by an earlier pass, and another thread may have raised a label
   since: each label is read once and looked up only inside the table; a raised one is left as
   it is. */
void relabel(uint32_t *labels, int64_t n, const uint32_t *table, int64_t size) {
    for (int64_t j = 0; j < n; ++j) {
        const uint32_t l = sarvo::read_once(labels[j]);
        if (l < size) labels[j] = table[l];
    }
}

// table = running count of the kept entries (keep holds 0 or 1), then 0 wherever keep is 0:
// the new label of every old one, consecutive in the old order.
int32_t renumbering_table(Owned<Array<uint32_t, 1>> &table, const Array<uint32_t, 1> &keep, ExcSlot exc) {
    if (int32_t st = sarvo::array_cumsum(&table.rec, exc, read_only(keep))) return st;
    for (int64_t k = 0; k < keep.shape[0]; ++k)
        if (!keep(k)) table.rec(k) = 0;
    return kOk;
}

// A label may keep its dense table while the table is at most this many entries longer than
// the array: the dense tables then cost at most 16 bytes per entry plus 1 MiB.
constexpr int64_t kDenseTableSlack = 65536;

// A count survives when it is at most 40 % of the n entries, compared in double precision.
inline bool share_allowed(int64_t count, int64_t n) {
    return static_cast<double>(count) <= kLargestShare * static_cast<double>(n);
}

/* Renumbering over a dense table indexed by the label: the bin count of the array routines,
   the surviving labels, their running count. */
int32_t renumber_dense(const Array<uint32_t, 1> &labels, uint32_t largest, uint32_t min_labels, ExcSlot exc) {
    const int64_t n = labels.shape[0];
    Owned<Array<int64_t, 1>> counts;
    if (int32_t st = sarvo::np_bincount_upto(&counts.rec, exc, read_only(labels), largest, min_labels)) return st;
    const int64_t bins = counts.rec.shape[0];
    Owned<Array<uint32_t, 1>> keep;
    if (int32_t st = sarvo::create_array(&keep.rec, {bins}, Fill::Uninitialised, exc, false)) return st;
    for (int64_t k = 0; k < bins; ++k) {
        const int64_t c = counts.rec(k);
        keep.rec(k) = c > 0 && share_allowed(c, n);
    }
    keep.rec(0) = 0;  // background is never a label
    Owned<Array<uint32_t, 1>> table;
    if (int32_t st = renumbering_table(table, keep.rec, exc)) return st;
    // The bin count has an entry for every label that occurs, so table[l] always exists, and
    // table[0] = 0 keeps the background.
    relabel(labels.data, n, table.rec.data, bins);
    return kOk;
}

/* The same numbers from a sorted copy, in memory proportional to the entries: the runs of the
   copy are the labels that occur, in the old order, with their counts; a label's new number is
   the count of surviving labels up to it. Entries then find their label by binary search. */
int32_t renumber_sorted(uint32_t *labels, int64_t n, ExcSlot exc) {
    Owned<Array<uint32_t, 1>> distinct, renamed;
    if (int32_t st = sarvo::create_array(&distinct.rec, {n}, Fill::Uninitialised, exc, false)) return st;
    if (int32_t st = sarvo::create_array(&renamed.rec, {n}, Fill::Uninitialised, exc, false)) return st;
    uint32_t *const d = distinct.rec.data, *const r = renamed.rec.data;
    std::memcpy(d, labels, static_cast<size_t>(n) * sizeof(uint32_t));
    std::sort(d, d + n);
    int64_t runs = 0;
    uint32_t survivors = 0;
    for (int64_t j = 0; j < n;) {
        const uint32_t label = d[j];
        int64_t end = j + 1;
        while (end < n && d[end] == label) ++end;
        const bool kept = label != 0 && share_allowed(end - j, n);
        survivors += kept;
        d[runs] = label;
        r[runs] = kept ? survivors : 0;
        ++runs;
        j = end;
    }
    // One read per entry; a label missing from the runs (changed by another thread since the
    // copy) is left as it is.
    for (int64_t j = 0; j < n; ++j) {
        const uint32_t label = sarvo::read_once(labels[j]);
        if (label == 0) continue;
        const int64_t k = std::lower_bound(d, d + runs, label) - d;
        if (k < runs && d[k] == label) labels[j] = r[k];
    }
    return kOk;
}

}  // namespace

int32_t fill_holes(Array<uint32_t, 2> *result, ExcSlot exc, const Array<uint32_t, 2> &masks) {
    const int64_t ly = masks.shape[0], lx = masks.shape[1];
    Owned<Array<uint8_t, 2>> visited;
    if (int32_t st = create_large_array(&visited.rec, {ly, lx}, Fill::Zeros, exc)) return st;
    // Every walk empties its stack, and an emptied stack has shrunk back to no storage, so one
    // stack serves all walks exactly as a fresh one would.
    PairList<int64_t> stack;
    if (int32_t st = stack.init(exc)) return st;
    const int64_t rows = lx > 0 ? ly : 0;  // an image without pixels has no rows to walk
    for (int64_t i = 0; i < rows; ++i) {
        for (int64_t j = 0; j < lx; ++j) {
            if (masks(i, j) != 0 || visited.rec(i, j)) continue;
            if (int32_t st = fill_walk(masks, visited.rec, stack, i, j, exc)) return st;
        }
    }
    *result = sarvo::share(masks);
    return kOk;
}

int32_t renum_masks(NoResult *result, ExcSlot exc, const Array<uint32_t, 2> &masks,
                    const Array<const uint8_t, 1> &remove) {
    const int64_t n = remove.shape[0];
    const int64_t pixels = masks.shape[0] * masks.shape[1];
    uint32_t *const labels = masks.data;
    // Label l needs the flag remove[l - 1]: a label beyond remove is refused before any write.
    if (sarvo::largest_element(sarvo::borrowed_view(labels, pixels)) > n)
        return sarvo::raise(exc, records::label_beyond_remove);

    // Indexed by the label itself, with a leading 0 for the background, so that the pass below
    // needs no test: keep[l] = not remove[l - 1], and table[l] = the new label of l.
    Owned<Array<uint32_t, 1>> keep;
    if (int32_t st = sarvo::create_array(&keep.rec, {n + 1}, Fill::Uninitialised, exc, false)) return st;
    keep.rec(0) = 0;
    for (int64_t k = 0; k < n; ++k) keep.rec(k + 1) = remove(k) != 0 ? 0 : 1;
    Owned<Array<uint32_t, 1>> table;
    if (int32_t st = renumbering_table(table, keep.rec, exc)) return st;

    relabel(labels, pixels, table.rec.data, n + 1);
    return kOk;
}

int32_t renumbering(NoResult *result, ExcSlot exc, const Array<uint32_t, 1> &labels, uint32_t min_labels) {
    const int64_t n = labels.shape[0];
    if (n == 0) return kOk;
    const uint32_t largest = sarvo::largest_element(read_only(labels));
    // Labels past the largest never occur and min_labels only lengthens the table with labels
    // that are dropped, so a table much longer than the array is worth sorting instead.
    const int64_t bins = std::max<int64_t>(int64_t{largest} + 1, min_labels);
    if (bins > n + kDenseTableSlack) return renumber_sorted(labels.data, n, exc);
    return renumber_dense(labels, largest, min_labels, exc);
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions
