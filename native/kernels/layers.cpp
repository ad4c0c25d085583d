#include "layers.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "neighbors.hpp"

namespace corvane::kernels {

Layers group_layers(const double* pos, std::size_t n, int axis, double tol) {
    if (axis < 0 || axis > 2) throw std::invalid_argument("axis must be 0, 1 or 2");
    Layers out;
    out.offsets.push_back(0);
    if (n == 0) return out;
    std::vector<double> z(n);
    for (std::size_t i = 0; i < n; ++i) {
        z[i] = pos[3 * i + axis];
        if (!std::isfinite(z[i])) throw std::invalid_argument("positions must be finite");
    }
    std::vector<std::int64_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::int64_t a, std::int64_t b) { return z[a] < z[b]; });
    out.atoms.reserve(n);
    std::size_t start = 0;
    for (std::size_t k = 0; k < n; ++k) {
        out.atoms.push_back(order[k]);
        bool last = k + 1 == n;
        if (last || z[order[k + 1]] - z[order[k]] > tol) {
            std::sort(out.atoms.begin() + static_cast<std::ptrdiff_t>(start), out.atoms.end());
            out.offsets.push_back(static_cast<std::int64_t>(k + 1));
            start = k + 1;
        }
    }
    return out;
}

bool mirror_images(const double* below, const std::int32_t* zb, std::size_t nb, const double* above,
                   const std::int32_t* za, std::size_t na, const double* cell, const bool* pbc,
                   int axis, double plane, double tol) {
    if (axis < 0 || axis > 2) throw std::invalid_argument("axis must be 0, 1 or 2");
    if (nb != na) return false;
    if (nb == 0) return true;
    // Species must balance before any geometry is looked at.
    {
        std::vector<std::int32_t> a(zb, zb + nb), b(za, za + na);
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        if (a != b) return false;
    }
    // Only lattice vectors in the mirror plane survive the reflection, so only they wrap.
    bool in_plane[3];
    for (int k = 0; k < 3; ++k) {
        const double* v = cell + 3 * k;
        double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        in_plane[k] = pbc[k] && len > 0 && std::fabs(v[axis]) <= 1e-8 * len;
    }
    const std::size_t n = nb + na;
    std::vector<double> xyz(3 * n);
    for (std::size_t i = 0; i < nb; ++i)
        for (int d = 0; d < 3; ++d)
            xyz[3 * i + d] = d == axis ? 2.0 * plane - below[3 * i + d] : below[3 * i + d];
    std::copy(above, above + 3 * na, xyz.begin() + static_cast<std::ptrdiff_t>(3 * nb));
    const double cutoff = tol > 0 ? tol : 1e-9;
    NeighborPairs pairs = neighbor_pairs(xyz.data(), n, cell, in_plane, cutoff);

    // Pairs are sorted by their first atom: walk each reflected atom's candidates and take the
    // nearest free one of its species.
    std::vector<char> taken(na, 0);
    std::size_t p = 0;
    for (std::size_t i = 0; i < nb; ++i) {
        while (p < pairs.size() && pairs.first[p] < static_cast<std::int64_t>(i)) ++p;
        std::int64_t best = -1;
        double best_r2 = 0;
        for (; p < pairs.size() && pairs.first[p] == static_cast<std::int64_t>(i); ++p) {
            std::int64_t j = pairs.second[p] - static_cast<std::int64_t>(nb);
            if (j < 0 || taken[j] || za[j] != zb[i]) continue;
            const double* v = &pairs.vector[3 * p];
            double r2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
            if (best < 0 || r2 < best_r2) {
                best = j;
                best_r2 = r2;
            }
        }
        if (best < 0) return false;
        taken[best] = 1;
    }
    return true;
}

Merged merge_close_atoms(const double* pos, const std::int32_t* numbers, std::size_t n,
                         const double* cell, const bool* pbc, double cutoff) {
    Merged out;
    NeighborPairs all = neighbor_pairs(pos, n, cell, pbc, cutoff);
    // Only atoms of one species merge; an atom's own periodic image is not a partner.
    NeighborPairs same;
    for (std::size_t p = 0; p < all.size(); ++p) {
        std::int64_t i = all.first[p], j = all.second[p];
        if (i == j || numbers[i] != numbers[j]) continue;
        same.first.push_back(i);
        same.second.push_back(j);
        same.vector.insert(same.vector.end(), &all.vector[3 * p], &all.vector[3 * p] + 3);
    }
    std::vector<std::int64_t> label = cluster_labels(same, n);

    // Adjacency by first atom (pairs are sorted by it).
    std::vector<std::int64_t> start(n + 1, 0);
    for (std::int64_t i : same.first) ++start[static_cast<std::size_t>(i) + 1];
    for (std::size_t i = 0; i < n; ++i) start[i + 1] += start[i];

    std::vector<double> unwrapped(3 * n);
    std::vector<char> seen(n, 0);
    std::vector<std::int64_t> queue;
    for (std::size_t r = 0; r < n; ++r) {
        if (label[r] != static_cast<std::int64_t>(r)) continue;
        out.keep.push_back(static_cast<std::int64_t>(r));
        double sum[3] = {pos[3 * r], pos[3 * r + 1], pos[3 * r + 2]};
        std::size_t members = 1;
        if (start[r + 1] > start[r]) {
            queue.assign(1, static_cast<std::int64_t>(r));
            seen[r] = 1;
            for (int d = 0; d < 3; ++d) unwrapped[3 * r + d] = pos[3 * r + d];
            for (std::size_t q = 0; q < queue.size(); ++q) {
                std::int64_t i = queue[q];
                for (std::int64_t p = start[i]; p < start[i + 1]; ++p) {
                    std::int64_t j = same.second[p];
                    if (seen[j]) continue;
                    seen[j] = 1;
                    for (int d = 0; d < 3; ++d) {
                        unwrapped[3 * j + d] = unwrapped[3 * i + d] + same.vector[3 * p + d];
                        sum[d] += unwrapped[3 * j + d];
                    }
                    ++members;
                    queue.push_back(j);
                }
            }
        }
        for (int d = 0; d < 3; ++d) out.positions.push_back(sum[d] / static_cast<double>(members));
    }
    return out;
}

}  // namespace corvane::kernels
