// The slot table of a thinly spread object and its diffusion (one build: the passes gather
// through the table, which leaves nothing for vector lanes to gain).
#include "pelmarinex/deviverozo_new/diffusion_sparse.h"

#include <algorithm>
#include <cmath>

#include "pelmarinex/deviverozo_new/diffusion_grid.h"

namespace pelmarinex::deviverozo_new::sarvo_functions::diffusion::sparse {
namespace {

/* Row y and column x as one key that sorts in row-major order. Columns are below 2^31, so a
   step of one or two columns never carries into the row, and the key of a column left of 0 or
   of a row above 0 names no pixel: the search simply misses it. */
constexpr int64_t kRow = int64_t{1} << 32;

inline int64_t key_of(int32_t y, int32_t x) { return int64_t{y} * kRow + x; }

}  // namespace

int64_t build(const int32_t *ys, const int32_t *xs, int64_t n, int64_t *keys, int64_t *index, Near *near) {
    for (int64_t j = 0; j < n; ++j) keys[j] = key_of(ys[j], xs[j]);
    std::sort(keys, keys + n);
    const int64_t u = std::unique(keys, keys + n) - keys;
    auto slot = [&](int64_t key) {
        const int64_t *at = std::lower_bound(keys, keys + u, key);
        return at != keys + u && *at == key ? at - keys : u;
    };
    for (int64_t j = 0; j < n; ++j) index[j] = slot(key_of(ys[j], xs[j]));
    for (int64_t i = 0; i < u; ++i) {
        const int64_t k = keys[i];
        near[i] = Near{slot(k - 2), slot(k - 1), slot(k + 1), slot(k + 2),
                       slot(k - 2 * kRow), slot(k - kRow), slot(k + kRow), slot(k + 2 * kRow)};
    }
    return u;
}

void diffuse(double *H, double *S, const Near *near, int64_t u, int64_t centre, int64_t iterations) {
    for (int64_t it = 0; it < iterations; ++it) {
        H[centre] += 1.0;
        for (int64_t i = 0; i < u; ++i) {
            const Near &a = near[i];
            S[i] = H[a.left2] + 2.0 * H[a.left1] + 3.0 * H[i] + 2.0 * H[a.right1] + H[a.right2];
        }
        for (int64_t i = 0; i < u; ++i) {
            const Near &a = near[i];
            H[i] = (S[a.up2] + 2.0 * S[a.up1] + 3.0 * S[i] + 2.0 * S[a.down1] + S[a.down2]) * grid::kOneOver81;
        }
    }
}

bool unit_gradients(const double *L, const Near *near, const int64_t *index, int64_t n, double *out) {
    for (int64_t j = 0; j < n; ++j) {
        const Near &a = near[index[j]];
        const double gy = L[a.down1] - L[a.up1];
        const double gx = L[a.right1] - L[a.left1];
        if (!grid::unit_vector(gy, gx, out + 2 * j)) return false;
    }
    return true;
}

}  // namespace pelmarinex::deviverozo_new::sarvo_functions::diffusion::sparse
