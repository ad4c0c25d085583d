#include "twins.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <stdexcept>
#include <unordered_set>

#include "neighbors.hpp"
#include "vec3.hpp"

namespace corvane::kernels {

namespace {

using IVec = std::array<std::int64_t, 3>;

Vec3 cartesian(const double* cell, const IVec& n) {
    Vec3 v{};
    for (int i = 0; i < 3; ++i)
        for (int d = 0; d < 3; ++d) v[d] += static_cast<double>(n[i]) * cell[3 * i + d];
    return v;
}
IVec icross(const IVec& a, const IVec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
std::int64_t idot(const IVec& a, const IVec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
IVec combine(const IVec& a, std::int64_t s, const IVec& b) {
    return {a[0] + s * b[0], a[1] + s * b[1], a[2] + s * b[2]};
}

// Per-atom neighbour lists sorted by (species, distance): entries offsets[a] .. offsets[a+1].
struct Shells {
    std::vector<std::int64_t> offsets;
    std::vector<std::int32_t> species;
    std::vector<double> distance;
};

Shells shells(const NeighborPairs& pairs, const std::int32_t* numbers, std::size_t n) {
    Shells s;
    std::vector<std::int64_t> count = count_per_atom(pairs, n);
    s.offsets.assign(n + 1, 0);
    for (std::size_t a = 0; a < n; ++a) s.offsets[a + 1] = s.offsets[a] + count[a];
    std::vector<std::pair<std::int32_t, double>> entries(pairs.size());
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const double* v = &pairs.vector[3 * p];
        entries[p] = {numbers[pairs.second[p]], std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2])};
    }
    // Pairs come sorted by their first atom, so each atom's entries are one contiguous run.
    for (std::size_t a = 0; a < n; ++a)
        std::sort(entries.begin() + s.offsets[a], entries.begin() + s.offsets[a + 1]);
    s.species.resize(entries.size());
    s.distance.resize(entries.size());
    for (std::size_t p = 0; p < entries.size(); ++p) {
        s.species[p] = entries[p].first;
        s.distance[p] = entries[p].second;
    }
    return s;
}

}  // namespace

std::array<std::int64_t, 9> plane_basis(const double* cell, const std::int64_t* hkl) {
    std::int64_t g = std::gcd(std::gcd(std::llabs(hkl[0]), std::llabs(hkl[1])), std::llabs(hkl[2]));
    if (g == 0) throw std::invalid_argument("Miller indices (0 0 0) do not define a plane");
    if (!(std::fabs(det3(cell)) > 1e-12)) throw std::invalid_argument("the cell has no volume");
    const IVec G{hkl[0] / g, hkl[1] / g, hkl[2] / g};
    const std::int64_t range = std::max({std::llabs(G[0]), std::llabs(G[1]), std::llabs(G[2])}) + 1;

    // Small lattice vectors in the plane (n . G = 0) and one plane above it (n . G = 1).
    std::vector<std::pair<double, IVec>> in_plane;
    IVec above{0, 0, 0};
    double above_len = -1;
    for (std::int64_t i = -range; i <= range; ++i)
        for (std::int64_t j = -range; j <= range; ++j)
            for (std::int64_t k = -range; k <= range; ++k) {
                IVec n{i, j, k};
                std::int64_t h = idot(n, G);
                if (h != 0 && h != 1) continue;
                Vec3 v = cartesian(cell, n);
                double len = dot(v, v);
                if (h == 0 && (i || j || k)) in_plane.push_back({len, n});
                if (h == 1 && (above_len < 0 || len < above_len)) {
                    above = n;
                    above_len = len;
                }
            }
    std::sort(in_plane.begin(), in_plane.end());
    IVec n1 = in_plane.at(0).second, n2{0, 0, 0};
    bool found = false;
    for (const auto& [len, n] : in_plane) {
        IVec c = icross(n1, n);
        if ((c[0] == G[0] && c[1] == G[1] && c[2] == G[2]) ||
            (c[0] == -G[0] && c[1] == -G[1] && c[2] == -G[2])) {
            n2 = n;
            found = true;
            break;
        }
    }
    if (!found) throw std::logic_error("no lattice basis of the plane in the search range");

    // Gauss reduction of the plane's basis.
    for (int iter = 0; iter < 64; ++iter) {
        Vec3 v1 = cartesian(cell, n1), v2 = cartesian(cell, n2);
        if (dot(v2, v2) < dot(v1, v1)) {
            std::swap(n1, n2);
            std::swap(v1, v2);
        }
        auto mu = static_cast<std::int64_t>(std::llround(dot(v1, v2) / dot(v1, v1)));
        if (mu == 0) break;
        n2 = combine(n2, -mu, n1);
    }

    // The shortest in-plane part for the vector above the plane.
    Vec3 v1 = cartesian(cell, n1), v2 = cartesian(cell, n2);
    Vec3 normal = cross(v1, v2);
    double nn = dot(normal, normal);
    Vec3 w = cartesian(cell, above);
    double wn = dot(w, normal) / nn;
    Vec3 lateral{w[0] - wn * normal[0], w[1] - wn * normal[1], w[2] - wn * normal[2]};
    double g11 = dot(v1, v1), g12 = dot(v1, v2), g22 = dot(v2, v2);
    double b1 = dot(lateral, v1), b2 = dot(lateral, v2), det = g11 * g22 - g12 * g12;
    auto alpha = static_cast<std::int64_t>(std::llround((b1 * g22 - b2 * g12) / det));
    auto beta = static_cast<std::int64_t>(std::llround((b2 * g11 - b1 * g12) / det));
    IVec n3 = above;
    double best = -1;
    for (std::int64_t da = -1; da <= 1; ++da)
        for (std::int64_t db = -1; db <= 1; ++db) {
            IVec t = combine(combine(above, -(alpha + da), n1), -(beta + db), n2);
            Vec3 tv = cartesian(cell, t);
            double tn = dot(tv, normal) / nn;
            Vec3 tl{tv[0] - tn * normal[0], tv[1] - tn * normal[1], tv[2] - tn * normal[2]};
            double len = dot(tl, tl);
            if (best < 0 || len < best - 1e-12) {
                best = len;
                n3 = t;
            }
        }
    if (dot(cross(v1, v2), cartesian(cell, n3)) < 0) std::swap(n1, n2);
    return {n1[0], n1[1], n1[2], n2[0], n2[1], n2[2], n3[0], n3[1], n3[2]};
}

std::int64_t coincidence_index(const double* lattice, const double* op,
                               std::int64_t max_denominator, double tol) {
    if (!(std::fabs(det3(lattice)) > 1e-12))
        throw std::invalid_argument("the lattice has no volume");
    // M = P op^T P^-1: the images of the lattice vectors in the lattice's own basis.
    std::array<double, 9> image{}, m{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) image[3 * i + j] += lattice[3 * i + k] * op[3 * j + k];
    const Mat3 inv = inverse3(lattice);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) m[3 * i + j] += image[3 * i + k] * inv[3 * k + j];

    for (std::int64_t den = 1; den <= max_denominator; ++den) {
        std::array<std::int64_t, 9> k{};
        bool integral = true;
        for (int e = 0; e < 9 && integral; ++e) {
            double x = m[e] * static_cast<double>(den);
            k[e] = static_cast<std::int64_t>(std::llround(x));
            integral = std::fabs(x - static_cast<double>(k[e])) <= tol * static_cast<double>(den);
        }
        if (!integral) continue;
        // The index is the order of the group the rows of M generate modulo the integers.
        auto code = [den](std::int64_t a, std::int64_t b, std::int64_t c) {
            auto md = [den](std::int64_t x) { return ((x % den) + den) % den; };
            return (md(a) * den + md(b)) * den + md(c);
        };
        std::unordered_set<std::int64_t> group{0};
        for (int row = 0; row < 3; ++row) {
            std::unordered_set<std::int64_t> grown;
            for (std::int64_t s : group) {
                std::int64_t a = s / (den * den), b = (s / den) % den, c = s % den;
                for (std::int64_t j = 0; j < den; ++j)
                    grown.insert(
                        code(a + j * k[3 * row], b + j * k[3 * row + 1], c + j * k[3 * row + 2]));
            }
            group.swap(grown);
        }
        return static_cast<std::int64_t>(group.size());
    }
    return 0;
}

StackedGrains stack_grains(const double* unit, std::size_t n, const double* u3,
                           const std::vector<GrainImage>& grains) {
    StackedGrains out;
    for (std::size_t gi = 0; gi < grains.size(); ++gi) {
        const GrainImage& g = grains[gi];
        const double* lz = &g.linear[6];
        double slope = lz[0] * u3[0] + lz[1] * u3[1] + lz[2] * u3[2];
        if (!(std::fabs(slope) > 1e-9))
            throw std::invalid_argument(
                "the grain's map leaves the stacking vector without height");
        for (std::size_t a = 0; a < n; ++a) {
            const double* r = unit + 3 * a;
            double base = lz[0] * r[0] + lz[1] * r[1] + lz[2] * r[2] + g.shift[2];
            double m_a = (g.z_low - base) / slope, m_b = (g.z_high - base) / slope;
            auto m_lo = static_cast<std::int64_t>(std::floor(std::min(m_a, m_b))) - 1;
            auto m_hi = static_cast<std::int64_t>(std::ceil(std::max(m_a, m_b))) + 1;
            for (std::int64_t m = m_lo; m <= m_hi; ++m) {
                double z = base + static_cast<double>(m) * slope;
                if (!(z > g.z_low && z <= g.z_high)) continue;
                double x[3];
                for (int d = 0; d < 3; ++d) x[d] = r[d] + static_cast<double>(m) * u3[d];
                for (int d = 0; d < 3; ++d)
                    out.positions.push_back(g.linear[3 * d] * x[0] + g.linear[3 * d + 1] * x[1] +
                                            g.linear[3 * d + 2] * x[2] + g.shift[d]);
                out.site.push_back(static_cast<std::int64_t>(a));
                out.grain.push_back(static_cast<std::int64_t>(gi));
            }
        }
    }
    return out;
}

std::vector<std::int64_t> shell_mismatches(const double* positions, const std::int32_t* numbers,
                                           const std::int64_t* site, std::size_t n,
                                           const double* cell, const bool* pbc,
                                           const double* bulk_positions,
                                           const std::int32_t* bulk_numbers, std::size_t nbulk,
                                           const double* bulk_cell, double cutoff, double tol) {
    for (std::size_t a = 0; a < n; ++a)
        if (site[a] < 0 || static_cast<std::size_t>(site[a]) >= nbulk)
            throw std::out_of_range("site index outside the bulk crystal");
    const bool periodic[3] = {true, true, true};
    Shells bulk = shells(neighbor_pairs(bulk_positions, nbulk, bulk_cell, periodic, cutoff),
                         bulk_numbers, nbulk);
    Shells twin = shells(neighbor_pairs(positions, n, cell, pbc, cutoff), numbers, n);
    std::vector<std::int64_t> bad;
    for (std::size_t a = 0; a < n; ++a) {
        std::size_t s = static_cast<std::size_t>(site[a]);
        std::int64_t t0 = twin.offsets[a], t1 = twin.offsets[a + 1];
        std::int64_t b0 = bulk.offsets[s], b1 = bulk.offsets[s + 1];
        bool same = t1 - t0 == b1 - b0 && numbers[a] == bulk_numbers[s];
        for (std::int64_t k = 0; same && k < t1 - t0; ++k)
            same = twin.species[t0 + k] == bulk.species[b0 + k] &&
                   std::fabs(twin.distance[t0 + k] - bulk.distance[b0 + k]) <= tol;
        if (!same) bad.push_back(static_cast<std::int64_t>(a));
    }
    return bad;
}

}  // namespace corvane::kernels
