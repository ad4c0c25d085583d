#include "neighbors.hpp"

#include "vec3.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

namespace corvane::kernels {
namespace {

// A basis for binning: periodic lattice vectors as given; non-periodic ones replaced by unit
// vectors completing an orthogonal basis (their length and direction never enter a shift).
std::array<Vec3, 3> binning_basis(const double* cell, const bool* pbc) {
    std::array<Vec3, 3> basis;
    for (int k = 0; k < 3; ++k) basis[k] = {cell[3 * k], cell[3 * k + 1], cell[3 * k + 2]};
    std::vector<Vec3> kept;
    for (int k = 0; k < 3; ++k)
        if (pbc[k]) kept.push_back(basis[k]);
    for (int k = 0; k < 3; ++k) {
        if (pbc[k]) continue;
        const Vec3 axes[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        Vec3 best{0, 0, 0};
        double best_norm = -1;
        for (const Vec3& start : axes) {
            Vec3 v = start;
            for (const Vec3& u : kept) {
                double c = dot(v, u) / dot(u, u);
                for (int d = 0; d < 3; ++d) v[d] -= c * u[d];
            }
            double nv = norm(v);
            if (nv > best_norm) {
                best_norm = nv;
                best = v;
            }
        }
        for (int d = 0; d < 3; ++d) best[d] /= best_norm;
        basis[k] = best;
        kept.push_back(best);
    }
    return basis;
}

}  // namespace

NeighborPairs neighbor_pairs(const double* pos, std::size_t n, const double* cell, const bool* pbc,
                             double cutoff) {
    NeighborPairs out;
    neighbor_pairs(out, pos, n, cell, pbc, cutoff);
    return out;
}

void neighbor_pairs(NeighborPairs& out, const double* pos, std::size_t n, const double* cell,
                    const bool* pbc, double cutoff) {
    out.first.clear();
    out.second.clear();
    out.shift.clear();
    out.vector.clear();
    if (n == 0 || !(cutoff > 0)) return;
    std::array<Vec3, 3> a = binning_basis(cell, pbc);
    double volume = dot(a[0], cross(a[1], a[2]));
    if (!(std::fabs(volume) > 1e-12))
        throw std::invalid_argument("the periodic cell vectors are linearly dependent");
    // Reciprocal vectors (rows of inv(cell)^T): f_k = r . b_k.
    std::array<Vec3, 3> b = {cross(a[1], a[2]), cross(a[2], a[0]), cross(a[0], a[1])};
    for (auto& v : b)
        for (double& x : v) x /= volume;
    // Heights of the cell perpendicular to each pair of the other vectors.
    std::array<double, 3> height;
    for (int k = 0; k < 3; ++k) height[k] = 1.0 / norm(b[k]);

    // Fractional coordinates; periodic ones wrapped into [0, 1) with the integer offset kept.
    std::vector<double> frac(3 * n);
    std::vector<std::int32_t> wrap(3 * n, 0);
    std::array<double, 3> lo{0, 0, 0}, hi{1, 1, 1};
    for (int k = 0; k < 3; ++k) {
        if (!pbc[k]) {
            lo[k] = INFINITY;
            hi[k] = -INFINITY;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        Vec3 r = {pos[3 * i], pos[3 * i + 1], pos[3 * i + 2]};
        for (int k = 0; k < 3; ++k) {
            double f = dot(r, b[k]);
            if (pbc[k]) {
                double fl = std::floor(f);
                f -= fl;
                if (f >= 1.0) {  // rounding of f - floor(f) for tiny negative f
                    f = 0.0;
                    fl += 1.0;
                }
                wrap[3 * i + k] = static_cast<std::int32_t>(fl);
            } else {
                lo[k] = std::min(lo[k], f);
                hi[k] = std::max(hi[k], f);
            }
            frac[3 * i + k] = f;
        }
    }

    // Bins at least `cutoff` apart where the extent allows; reach = bins to look across. Only
    // the total is capped, so a long thin cell (a tall twin, a wire) still gets bins along its
    // length and stays linear.
    std::array<std::int64_t, 3> nbins, reach;
    const double max_bins_total = 8.0 * static_cast<double>(n) + 64.0;
    for (int k = 0; k < 3; ++k) {
        double extent = (hi[k] - lo[k]) * height[k];
        double nb = std::floor(extent / cutoff);
        nb = std::max(1.0, std::min(nb, max_bins_total));
        nbins[k] = static_cast<std::int64_t>(nb);
    }
    while (static_cast<double>(nbins[0]) * nbins[1] * nbins[2] > max_bins_total) {
        int k = static_cast<int>(std::max_element(nbins.begin(), nbins.end()) - nbins.begin());
        nbins[k] = std::max<std::int64_t>(1, nbins[k] / 2);
    }
    for (int k = 0; k < 3; ++k) {
        double extent = (hi[k] - lo[k]) * height[k];
        double width = extent > 0 ? extent / static_cast<double>(nbins[k]) : 0.0;
        if (!pbc[k]) {
            reach[k] = width > 0 ? static_cast<std::int64_t>(std::ceil(cutoff / width)) : 0;
            reach[k] = std::min(reach[k], nbins[k] - 1);
        } else {
            reach[k] = static_cast<std::int64_t>(std::ceil(cutoff / width));
        }
    }

    // Bin the atoms (counting sort).
    auto bin_of = [&](std::size_t i, int k) -> std::int64_t {
        double f = frac[3 * i + k];
        double span = pbc[k] ? 1.0 : (hi[k] - lo[k]);
        double t = span > 0 ? (f - lo[k]) / span : 0.0;
        auto c = static_cast<std::int64_t>(std::floor(t * static_cast<double>(nbins[k])));
        return std::clamp<std::int64_t>(c, 0, nbins[k] - 1);
    };
    const std::int64_t total_bins = nbins[0] * nbins[1] * nbins[2];
    std::vector<std::int64_t> atom_bin(n), start(total_bins + 1, 0), order(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::int64_t c = (bin_of(i, 0) * nbins[1] + bin_of(i, 1)) * nbins[2] + bin_of(i, 2);
        atom_bin[i] = c;
        ++start[c + 1];
    }
    for (std::int64_t c = 0; c < total_bins; ++c) start[c + 1] += start[c];
    {
        std::vector<std::int64_t> fill(start.begin(), start.end() - 1);
        for (std::size_t i = 0; i < n; ++i)
            order[fill[atom_bin[i]]++] = static_cast<std::int64_t>(i);
    }

    // Wrapped Cartesian positions (the original ones where not periodic).
    std::vector<double> wpos(3 * n);
    for (std::size_t i = 0; i < n; ++i)
        for (int d = 0; d < 3; ++d) {
            double r = pos[3 * i + d];
            for (int k = 0; k < 3; ++k) r -= wrap[3 * i + k] * cell[3 * k + d];
            wpos[3 * i + d] = r;
        }

    // For each direction, bin b and offset o in [-reach, reach]: the bin reached (-1 where a
    // non-periodic direction ends) and the periodic image it lies in. Tables keep integer
    // division out of the pair loop.
    std::array<std::vector<std::int64_t>, 3> reached;
    std::array<std::vector<std::int32_t>, 3> image_of;
    for (int k = 0; k < 3; ++k) {
        const std::int64_t span = 2 * reach[k] + 1;
        reached[k].resize(static_cast<std::size_t>(nbins[k] * span));
        image_of[k].resize(static_cast<std::size_t>(nbins[k] * span));
        for (std::int64_t b = 0; b < nbins[k]; ++b)
            for (std::int64_t o = -reach[k]; o <= reach[k]; ++o) {
                const std::int64_t t = b + o;
                const auto at = static_cast<std::size_t>(b * span + o + reach[k]);
                if (pbc[k]) {
                    std::int64_t q = t >= 0 ? t / nbins[k] : -((-t + nbins[k] - 1) / nbins[k]);
                    reached[k][at] = t - q * nbins[k];
                    image_of[k][at] = static_cast<std::int32_t>(q);
                } else {
                    reached[k][at] = (t < 0 || t >= nbins[k]) ? -1 : t;
                    image_of[k][at] = 0;
                }
            }
    }

    const double cutoff2 = cutoff * cutoff;
    std::vector<std::int64_t>& pi = out.first;
    std::vector<std::int64_t>& pj = out.second;
    std::vector<std::int32_t>& ps = out.shift;
    std::vector<double>& pv = out.vector;
    {
        // Room for the pairs the density promises (capped at a dense solid's, for cells that are
        // partly vacuum or not periodic), so the lists are rarely copied as they grow.
        const bool bulk = pbc[0] && pbc[1] && pbc[2];
        const double density =
            std::min(bulk ? static_cast<double>(n) / std::fabs(volume) : 0.2, 0.2);
        const double expected =
            1.1 * static_cast<double>(n) * density * 4.18879 * cutoff * cutoff * cutoff;
        const auto room = static_cast<std::size_t>(std::min(expected, 1e8));
        reuse(pi, room);
        reuse(pj, room);
        reuse(ps, 3 * room);
        reuse(pv, 3 * room);
        pi.reserve(room);
        pj.reserve(room);
        ps.reserve(3 * room);
        pv.reserve(3 * room);
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::int64_t c = atom_bin[i];
        std::int64_t bi[3] = {c / (nbins[1] * nbins[2]), (c / nbins[2]) % nbins[1], c % nbins[2]};
        std::size_t row[3];
        for (int k = 0; k < 3; ++k) row[k] = static_cast<std::size_t>(bi[k] * (2 * reach[k] + 1));
        for (std::int64_t dx = -reach[0]; dx <= reach[0]; ++dx)
            for (std::int64_t dy = -reach[1]; dy <= reach[1]; ++dy)
                for (std::int64_t dz = -reach[2]; dz <= reach[2]; ++dz) {
                    std::int64_t off[3] = {dx, dy, dz};
                    std::int64_t nb[3];
                    std::int32_t image[3];
                    bool valid = true;
                    for (int k = 0; k < 3; ++k) {
                        const std::size_t at = row[k] + static_cast<std::size_t>(off[k] + reach[k]);
                        nb[k] = reached[k][at];
                        image[k] = image_of[k][at];
                        if (nb[k] < 0) valid = false;
                    }
                    if (!valid) continue;
                    double sv[3];
                    for (int d = 0; d < 3; ++d)
                        sv[d] =
                            image[0] * cell[d] + image[1] * cell[3 + d] + image[2] * cell[6 + d];
                    std::int64_t cc = (nb[0] * nbins[1] + nb[1]) * nbins[2] + nb[2];
                    for (std::int64_t s = start[cc]; s < start[cc + 1]; ++s) {
                        std::int64_t j = order[s];
                        if (j == static_cast<std::int64_t>(i) && image[0] == 0 && image[1] == 0 &&
                            image[2] == 0)
                            continue;
                        double v[3];
                        double r2 = 0;
                        for (int d = 0; d < 3; ++d) {
                            v[d] = wpos[3 * j + d] + sv[d] - wpos[3 * i + d];
                            r2 += v[d] * v[d];
                        }
                        if (r2 >= cutoff2) continue;
                        pi.push_back(static_cast<std::int64_t>(i));
                        pj.push_back(j);
                        for (int k = 0; k < 3; ++k)
                            ps.push_back(image[k] - wrap[3 * j + k] + wrap[3 * i + k]);
                        for (int d = 0; d < 3; ++d) pv.push_back(v[d]);
                    }
                }
    }
}

std::vector<std::int64_t> count_per_atom(const NeighborPairs& pairs, std::size_t n) {
    std::vector<std::int64_t> counts(n, 0);
    for (std::int64_t i : pairs.first) ++counts[static_cast<std::size_t>(i)];
    return counts;
}

std::vector<std::int64_t> cluster_labels(const NeighborPairs& pairs, std::size_t n) {
    std::vector<std::int64_t> parent(n);
    for (std::size_t i = 0; i < n; ++i) parent[i] = static_cast<std::int64_t>(i);
    auto find = [&](std::int64_t x) {
        while (parent[x] != x) {
            parent[x] = parent[parent[x]];
            x = parent[x];
        }
        return x;
    };
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        std::int64_t a = find(pairs.first[p]), b = find(pairs.second[p]);
        if (a == b) continue;
        if (a < b)
            parent[b] = a;  // the root stays the smallest index
        else
            parent[a] = b;
    }
    for (std::size_t i = 0; i < n; ++i) parent[i] = find(static_cast<std::int64_t>(i));
    return parent;
}

}  // namespace corvane::kernels
