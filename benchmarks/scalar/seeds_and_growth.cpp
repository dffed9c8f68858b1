// Baseline for the benchmarks: plain transcriptions of p_histogram, bfs and extend_seed, one
// pixel at a time in the documented order, with the growth queue in a std::vector. No input
// checks: the runner feeds targets and seeds inside the image. Built by
// benchmarks/scalar_lib.py with g++ -O2 -ffp-contract=off.
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

extern "C" {

// hist (ly, lx) is zeroed here.
void scalar_p_histogram(const int16_t *pos, const uint8_t *mask, int64_t ly, int64_t lx, uint8_t *hist) {
    const int64_t plane = ly * lx;
    std::memset(hist, 0, plane);
    for (int64_t y = 0; y < ly; ++y)
        for (int64_t x = 0; x < lx; ++x) {
            if (!mask[y * lx + x]) continue;
            const int64_t ty = y + pos[y * lx + x], tx = x + pos[plane + y * lx + x];
            uint8_t &h = hist[ty * lx + tx];
            if (h < 255) ++h;
        }
}

// labels (ly, lx) is zeroed here; pos has two channels.
void scalar_bfs(const uint8_t *hist, int16_t *pos, const uint32_t *seeds, int64_t k_seeds, int64_t ly, int64_t lx,
                uint32_t *labels) {
    static const int64_t kOffsets[8][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}};
    const int64_t plane = ly * lx;
    std::memset(labels, 0, sizeof(uint32_t) * plane);
    for (int64_t k = 0; k < k_seeds; ++k) {
        const int64_t y = seeds[2 * k], x = seeds[2 * k + 1];
        const uint32_t label = static_cast<uint32_t>(k + 1);
        if (labels[y * lx + x] != 0) continue;
        labels[y * lx + x] = label;
        pos[y * lx + x] = pos[plane + y * lx + x] = 0;
        std::vector<std::pair<int64_t, int64_t>> queue{{y, x}};
        for (size_t head = 0; head < queue.size(); ++head) {
            const auto [cy, cx] = queue[head];
            for (const auto &d : kOffsets) {
                const int64_t ny = cy + d[0], nx = cx + d[1];
                if (ny < 0 || ny >= ly || nx < 0 || nx >= lx) continue;
                const int64_t p = ny * lx + nx;
                if (labels[p] >= label || hist[p] <= 2) continue;
                labels[p] = label;
                pos[p] = pos[plane + p] = 0;
                queue.emplace_back(ny, nx);
            }
        }
    }
}

void scalar_extend_seed(uint32_t *masks, const int16_t *pos, int64_t ly, int64_t lx) {
    const int64_t plane = ly * lx;
    for (int64_t i = 0; i < ly; ++i)
        for (int64_t j = 0; j < lx; ++j) {
            const int64_t p = i * lx + j;
            if (masks[p] != 0 || (pos[p] == 0 && pos[plane + p] == 0)) continue;
            const int64_t t = (i + pos[p]) * lx + (j + pos[plane + p]);
            if (pos[t] == 0 && pos[plane + t] == 0 && masks[t] != 0) masks[p] = masks[t];
        }
}

}  // extern "C"
