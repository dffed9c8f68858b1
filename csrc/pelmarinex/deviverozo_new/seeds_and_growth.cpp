// Seeds and region growth: p_histogram counts where the selected pixels end, find_seeds picks
// the local maxima of those counts, bfs grows one region per seed, and extend_seed hands the
// labels on to pixels that end on a settled, labelled pixel.
//
// pos:   int16 (2, Ly, Lx), C-contiguous; whole-pixel offsets to where each pixel ends, channel 0
//        rows, channel 1 columns; (0, 0) marks a settled pixel. bfs zeroes every channel it has.
// mask:  bool, 2-D, C-contiguous, at least (Ly, Lx); read with its own row stride.
// hist:  uint8 (Ly, Lx), C-contiguous; counts saturate at 255.
// seeds: uint32 (K, 2), C-contiguous; row k is the (row, column) of seed k.
// masks: uint32 (Ly, Lx), C-contiguous; 0 is background.
#include <cstdint>

#include "np/arrayobj.h"
#include "pelmarinex/deviverozo_new/fresh_array.h"
#include "pelmarinex/deviverozo_new/pair_list.h"
#include "pelmarinex/deviverozo_new/sarvo_functions.h"
#include "pelmarinex/deviverozo_new/seed_rows.h"
#include "core/pickled_constants.h"

namespace pelmarinex::deviverozo_new::sarvo_functions {
namespace {

using sarvo::Fill;
using sarvo::kOk;
using sarvo::Owned;
using sarvo::PairItem;
using sarvo::PairList;
namespace records = sarvo::records;

constexpr uint8_t kSeedMinCount = 10;  // a seed needs a count above this
constexpr int64_t kSeedRadius = 2;     // seeds are maxima of a 5 x 5 window
constexpr uint8_t kGrowMinCount = 2;   // regions grow only into counts above this

struct Offset {
    int64_t dy, dx;
};

// Growth visits the neighbours in this order; it decides which pixels a queue holds first.
constexpr Offset kNeighbours8[] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}};

// One unsigned compare checks 0 <= i < n.
inline bool in_range(int64_t i, int64_t n) { return static_cast<uint64_t>(i) < static_cast<uint64_t>(n); }

// True when v is the maximum of the 5 x 5 window around (i, j), cut at the image border.
// v itself lies in the window, so "no value above v" is "v equals the maximum".
bool is_window_maximum(const Array<const uint8_t, 2> &hist, int64_t i, int64_t j, uint8_t v) {
    const int64_t ly = hist.shape[0], lx = hist.shape[1];
    const int64_t y0 = i - kSeedRadius > 0 ? i - kSeedRadius : 0;
    const int64_t y1 = i + kSeedRadius + 1 < ly ? i + kSeedRadius + 1 : ly;
    const int64_t x0 = j - kSeedRadius > 0 ? j - kSeedRadius : 0;
    const int64_t x1 = j + kSeedRadius + 1 < lx ? j + kSeedRadius + 1 : lx;
    for (int64_t y = y0; y < y1; ++y)
        for (int64_t x = x0; x < x1; ++x)
            if (hist(y, x) > v) return false;
    return true;
}

/* The seeds, copied into `own` (K x 2) and checked there: growth then reads only the copy, so
   a thread that changes the caller's seeds meanwhile cannot move a seed outside the image.
   False when a seed lies outside. */
bool copy_seeds_inside(const Array<const uint32_t, 2> &seeds, const Array<uint32_t, 2> &own, int64_t ly, int64_t lx) {
    bool inside = true;
    for (int64_t k = 0; k < seeds.shape[0]; ++k) {
        const uint32_t y = sarvo::read_once(seeds(k, 0)), x = sarvo::read_once(seeds(k, 1));
        own(k, 0) = y;
        own(k, 1) = x;
        inside &= in_range(y, ly) && in_range(x, lx);
    }
    return inside;
}

// A pixel taken by a region stops moving: every channel of its displacement becomes 0.
inline void settle(const Array<int16_t, 3> &pos, int64_t y, int64_t x) {
    for (int64_t c = 0; c < pos.shape[0]; ++c) pos(c, y, x) = 0;
}

// Grows region `label` from its seed (y, x), first in, first out. A neighbour is taken when it
// carries a smaller label (unlabelled, or an earlier region's, which this region takes over)
// and its count is above kGrowMinCount.
int32_t grow_region(const Array<uint32_t, 2> &labels, const Array<const uint8_t, 2> &hist,
                    const Array<int16_t, 3> &pos, int64_t y, int64_t x, uint32_t label, ExcSlot exc) {
    const int64_t ly = labels.shape[0], lx = labels.shape[1];
    labels(y, x) = label;
    settle(pos, y, x);
    PairList<int64_t> queue;
    if (int32_t st = queue.init(exc)) return st;
    if (int32_t st = queue.append(y, x, exc)) return st;
    for (int64_t head = 0; head < queue.size(); ++head) {
        PairItem<int64_t> item;
        if (int32_t st = queue.get(head, &item, exc)) return st;
        for (const Offset &d : kNeighbours8) {
            const int64_t ny = item.first + d.dy, nx = item.second + d.dx;
            if (!in_range(ny, ly) || !in_range(nx, lx)) continue;
            if (labels(ny, nx) >= label || hist(ny, nx) <= kGrowMinCount) continue;
            labels(ny, nx) = label;
            settle(pos, ny, nx);
            if (int32_t st = queue.append(ny, nx, exc)) return st;
        }
    }
    return kOk;
}

/* Most regions are a few pixels, so growth is bound by the cache misses on a seed's 3 x 3
   window, one seed after another. Asking for the windows of seeds a few places ahead lets those
   misses overlap. (y, x) must lie in the image; the window is cut at its border. Inlined by
   force: as a call, the compiler takes it for one without effects and drops it. */
constexpr int64_t kSeedsAhead = 8;

[[gnu::always_inline]] inline void prefetch_neighbourhood(const Array<uint32_t, 2> &labels, const Array<const uint8_t, 2> &hist,
                            const Array<int16_t, 3> &pos, int64_t y, int64_t x) {
    const int64_t ly = labels.shape[0], lx = labels.shape[1];
    const int64_t x0 = x > 0 ? x - 1 : 0, x1 = x + 1 < lx ? x + 1 : lx - 1;
    for (int64_t r = y > 0 ? y - 1 : 0; r <= y + 1 && r < ly; ++r) {
        __builtin_prefetch(&labels(r, x0), 1);
        __builtin_prefetch(&labels(r, x1), 1);
        __builtin_prefetch(&hist(r, x0));
        __builtin_prefetch(&hist(r, x1));
    }
    for (int64_t c = 0; c < pos.shape[0]; ++c) __builtin_prefetch(&pos(c, y, x), 1);
}

}  // namespace

int32_t p_histogram(Array<uint8_t, 2> *result, ExcSlot exc, const Array<const int16_t, 3> &pos,
                    const Array<const uint8_t, 2> &mask) {
    if (pos.shape[0] != 2) return sarvo::raise(exc, records::assert_p_histogram);
    const int64_t ly = pos.shape[1], lx = pos.shape[2];
    if (ly > 0 && lx > 0 && (mask.shape[0] < ly || mask.shape[1] < lx))
        return sarvo::raise(exc, records::selection_too_small);

    Owned<Array<uint8_t, 2>> hist;
    if (int32_t st = create_large_array(&hist.rec, {ly, lx}, Fill::Zeros, exc)) return st;
    const bool vector = seed_rows::avx2_available() && seed_rows::fits_lanes(ly, lx);
    const int64_t plane = ly * lx;
    // An image without pixels has no rows to walk, however many it claims.
    const int64_t rows = plane > 0 ? ly : 0;
    for (int64_t y = 0; y < rows; ++y) {
        const seed_rows::CountRow row{pos.data + y * lx, pos.data + plane + y * lx, &mask(y, 0), y, ly, lx};
        const bool inside = vector ? seed_rows::count_row_avx2(row, hist.rec.data)
                                   : seed_rows::count_row_baseline(row, hist.rec.data);
        // Only the new count map has been written so far; it is freed with the refusal.
        if (!inside) return sarvo::raise(exc, records::target_outside_image);
    }
    *result = hist.release();
    return kOk;
}

int32_t find_seeds(Array<uint32_t, 2> *result, ExcSlot exc, const Array<const uint8_t, 2> &hist) {
    const int64_t ly = hist.shape[0], lx = hist.shape[1];
    PairList<uint32_t> found;
    if (int32_t st = found.init(exc)) return st;
    // Most counts are at most kSeedMinCount: each row is first searched for the columns above
    // it, in order, and only those are compared with their window.
    Owned<Array<int32_t, 1>> columns;
    if (int32_t st = sarvo::create_array(&columns.rec, {lx}, Fill::Uninitialised, exc, false)) return st;
    const bool vector = seed_rows::avx2_available();
    const int64_t rows = lx > 0 ? ly : 0;  // an image without pixels has no rows to walk
    for (int64_t i = 0; i < rows; ++i) {
        const uint8_t *row = &hist(i, 0);
        const int64_t count = vector ? seed_rows::above_avx2(row, lx, kSeedMinCount, columns.rec.data)
                                     : seed_rows::above_baseline(row, lx, kSeedMinCount, columns.rec.data);
        for (int64_t k = 0; k < count; ++k) {
            const int64_t j = columns.rec(k);
            if (!is_window_maximum(hist, i, j, row[j])) continue;
            if (int32_t st = found.append(static_cast<uint32_t>(i), static_cast<uint32_t>(j), exc)) return st;
        }
    }

    Owned<Array<uint32_t, 2>> seeds;
    if (int32_t st = sarvo::create_array(&seeds.rec, {found.size(), 2}, Fill::Uninitialised, exc, false)) return st;
    for (int64_t k = 0; k < found.size(); ++k) {
        PairItem<uint32_t> item;
        if (int32_t st = found.get(k, &item, exc)) return st;
        seeds.rec(k, 0) = item.first;
        seeds.rec(k, 1) = item.second;
    }
    *result = seeds.release();
    return kOk;
}

int32_t bfs(Array<uint32_t, 2> *result, ExcSlot exc, const Array<const uint8_t, 2> &hist,
            const Array<int16_t, 3> &pos, const Array<const uint32_t, 2> &seeds) {
    if (seeds.shape[1] != 2) return sarvo::raise(exc, records::assert_bfs_seeds);
    const int64_t ly = pos.shape[1], lx = pos.shape[2];
    Owned<Array<uint32_t, 2>> labels;
    if (int32_t st = create_large_array(&labels.rec, {ly, lx}, Fill::Zeros, exc)) return st;
    if (hist.shape[0] != ly || hist.shape[1] != lx) return sarvo::raise(exc, records::assert_bfs_hist);
    // Refused before pos is touched, so that a rejected call loses nothing. Displacement values
    // are never read here, only overwritten with zeros inside the image.
    Owned<Array<uint32_t, 2>> own;
    if (int32_t st = sarvo::create_array(&own.rec, {seeds.shape[0], 2}, Fill::Uninitialised, exc, false)) return st;
    if (!copy_seeds_inside(seeds, own.rec, ly, lx)) return sarvo::raise(exc, records::seeds_outside_image);

    const int64_t nseeds = seeds.shape[0];
    for (int64_t k = 0; k < nseeds; ++k) {
        if (k + kSeedsAhead < nseeds)
            prefetch_neighbourhood(labels.rec, hist, pos, own.rec(k + kSeedsAhead, 0), own.rec(k + kSeedsAhead, 1));
        const int64_t y = own.rec(k, 0), x = own.rec(k, 1);
        if (labels.rec(y, x) != 0) continue;  // inside an earlier region: label k + 1 stays unused
        if (int32_t st = grow_region(labels.rec, hist, pos, y, x, static_cast<uint32_t>(k + 1), exc)) return st;
    }
    *result = labels.release();
    return kOk;
}

int32_t extend_seed(NoResult *result, ExcSlot exc, const Array<uint32_t, 2> &masks,
                    const Array<const int16_t, 3> &pos) {
    if (masks.shape[0] != pos.shape[1] || masks.shape[1] != pos.shape[2] || pos.shape[0] != 2)
        return sarvo::raise(exc, records::assert_extend_seed);
    const seed_rows::Planes planes{masks.data, pos.data, pos.data + masks.shape[0] * masks.shape[1], masks.shape[0],
                                   masks.shape[1]};
    if (planes.ly * planes.lx == 0) return kOk;  // no pixel: nothing to walk, however many rows
    const bool vector = seed_rows::avx2_available() && seed_rows::fits_vector_lanes(planes);
    // The targets are checked in the one pass that reads them; a refusal takes back the labels
    // handed on so far (the bitmap says which), so that masks is as it was.
    Owned<Array<uint8_t, 1>> taken;
    if (int32_t st = sarvo::create_array(&taken.rec, {planes.ly * seed_rows::taken_stride(planes.lx)}, Fill::Uninitialised,
                                         exc, false))
        return st;
    if (!seed_rows::hand_over(planes, taken.rec.data, vector)) return sarvo::raise(exc, records::target_outside_image);
    return kOk;
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions
