#include "polycrystal.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

#include "neighbors.hpp"
#include "vec3.hpp"

namespace corvane::kernels {
namespace {

// A cell whose determinant is (nearly) zero against the cube of its largest entry.
bool singular(const double* a) {
    double scale = 0;
    for (int i = 0; i < 9; ++i) scale = std::max(scale, std::fabs(a[i]));
    return !(std::fabs(det3(a)) > 1e-12 * scale * scale * scale);
}

double min_image(double d, double length) { return d - length * std::nearbyint(d / length); }

// Folds x into [0, length).
double fold(double x, double length) {
    x -= length * std::floor(x / length);
    if (x >= length || x < 0) x = 0;
    return x;
}

// A neighbouring centre (another grain or a periodic image) whose bisector plane bounds a grain:
// a point x (relative to the grain's centre) lies beyond it when x . u > threshold.
struct Plane {
    Vec3 u;
    double threshold;
    double length2;
};

// What the coarse grid tells about one grain: bounds of its cell in the seed's fractional
// coordinates (seed frame) and a radius around its centre that contains the whole cell.
struct GrainBounds {
    Vec3 smin{INFINITY, INFINITY, INFINITY};
    Vec3 smax{-INFINITY, -INFINITY, -INFINITY};
    double radius = 0;
};

}  // namespace

GrainFill fill_voronoi_grains(const double* box, const double* centres, std::size_t n_grains,
                              const double* rotations, const double* seed_cell, const double* basis,
                              std::size_t n_basis, bool wrap) {
    GrainFill out;
    out.counts.assign(n_grains, 0);
    for (int k = 0; k < 3; ++k)
        if (!(box[k] > 0) || !std::isfinite(box[k]))
            throw std::invalid_argument("the box edges must be positive and finite");
    if (singular(seed_cell))
        throw std::invalid_argument("the seed cell vectors are linearly dependent");
    const Mat3 inv = inverse3(seed_cell);
    if (n_grains == 0 || n_basis == 0) return out;
    const double G = static_cast<double>(n_grains);
    const double volume = box[0] * box[1] * box[2];

    // Grain centres folded into the box; coinciding centres leave a grain without a cell.
    std::vector<Vec3> c(n_grains);
    for (std::size_t g = 0; g < n_grains; ++g)
        for (int k = 0; k < 3; ++k) {
            double x = centres[3 * g + k];
            if (!std::isfinite(x)) throw std::invalid_argument("grain centres must be finite");
            c[g][k] = fold(x, box[k]);
        }
    const double scale = std::max({box[0], box[1], box[2]});
    for (std::size_t g = 0; g < n_grains; ++g)
        for (std::size_t h = g + 1; h < n_grains; ++h) {
            double r2 = 0;
            for (int k = 0; k < 3; ++k) {
                double d = min_image(c[h][k] - c[g][k], box[k]);
                r2 += d * d;
            }
            if (r2 <= 1e-18 * scale * scale)
                throw std::invalid_argument("two grain centres coincide");
        }

    // Seed basis folded into its cell; column norms of inv(A) turn a Cartesian margin into a
    // fractional one (s = x inv(A) for row vectors).
    std::vector<Vec3> frac_basis(n_basis), cart_basis(n_basis);
    for (std::size_t b = 0; b < n_basis; ++b) {
        for (int k = 0; k < 3; ++k) {
            double s = 0;
            for (int j = 0; j < 3; ++j) s += basis[3 * b + j] * inv[3 * j + k];
            frac_basis[b][k] = s - std::floor(s);
            if (frac_basis[b][k] >= 1.0) frac_basis[b][k] = 0;
        }
        for (int d = 0; d < 3; ++d) {
            double x = 0;
            for (int k = 0; k < 3; ++k) x += frac_basis[b][k] * seed_cell[3 * k + d];
            cart_basis[b][d] = x;
        }
    }
    Vec3 inv_col_norm;
    for (int k = 0; k < 3; ++k)
        inv_col_norm[k] =
            std::sqrt(inv[k] * inv[k] + inv[3 + k] * inv[3 + k] + inv[6 + k] * inv[6 + k]);

    // Coarse grid over the box. Every point p of grain g's cell lies within `delta` of a grid
    // point q (or one of its periodic images) for which |q - c_g| <= d(q) + 2 delta, where d(q)
    // is q's distance to its nearest centre; the δ-balls around those grid points therefore
    // cover the cell, which bounds it rigorously without constructing the polyhedron.
    double target = std::max(4096.0, std::min(4000.0 * G, 1e8 / G));
    double spacing = std::cbrt(volume / target);
    std::array<std::int64_t, 3> m;
    Vec3 h;
    for (int k = 0; k < 3; ++k) {
        m[k] = std::max<std::int64_t>(1, std::llround(box[k] / spacing));
        m[k] = std::min<std::int64_t>(m[k], 4096);
        h[k] = box[k] / static_cast<double>(m[k]);
    }
    const double delta = 0.5 * std::sqrt(h[0] * h[0] + h[1] * h[1] + h[2] * h[2]);
    const std::size_t n_grid = static_cast<std::size_t>(m[0] * m[1] * m[2]);
    auto grid_point = [&](std::size_t q) {
        std::int64_t iq = static_cast<std::int64_t>(q);
        std::int64_t i = iq / (m[1] * m[2]), j = (iq / m[2]) % m[1], l = iq % m[2];
        return Vec3{(static_cast<double>(i) + 0.5) * h[0], (static_cast<double>(j) + 0.5) * h[1],
                    (static_cast<double>(l) + 0.5) * h[2]};
    };
    std::vector<double> nearest(n_grid, INFINITY);
    for (std::size_t q = 0; q < n_grid; ++q) {
        Vec3 p = grid_point(q);
        double best = INFINITY;
        for (std::size_t g = 0; g < n_grains; ++g) {
            double r2 = 0;
            for (int k = 0; k < 3; ++k) {
                double d = min_image(p[k] - c[g][k], box[k]);
                r2 += d * d;
            }
            best = std::min(best, r2);
        }
        nearest[q] = std::sqrt(best);
    }

    std::vector<GrainBounds> bounds(n_grains);
    for (std::size_t q = 0; q < n_grid; ++q) {
        Vec3 p = grid_point(q);
        const double limit = nearest[q] + 2 * delta;
        const double limit2 = limit * limit * (1 + 1e-12);
        for (std::size_t g = 0; g < n_grains; ++g) {
            Vec3 v;
            double r2 = 0;
            for (int k = 0; k < 3; ++k) {
                v[k] = min_image(p[k] - c[g][k], box[k]);
                r2 += v[k] * v[k];
            }
            if (r2 > limit2) continue;
            // The cell point near q may sit across the box from the minimum image when it is
            // within delta of half a box edge: take the other image of such components too.
            std::array<int, 3> alt{0, 0, 0};
            for (int k = 0; k < 3; ++k)
                if (std::fabs(v[k]) >= 0.5 * box[k] - delta) alt[k] = v[k] > 0 ? -1 : 1;
            const double* R = rotations + 9 * g;
            GrainBounds& gb = bounds[g];
            for (int variant = 0; variant < 8; ++variant) {
                Vec3 w = v;
                bool skip = false;
                for (int k = 0; k < 3; ++k) {
                    if (variant & (1 << k)) {
                        if (alt[k] == 0)
                            skip = true;
                        else
                            w[k] += alt[k] * box[k];
                    }
                }
                if (skip) continue;
                gb.radius = std::max(gb.radius, std::sqrt(dot(w, w)) + delta);
                // Seed-frame vector R^T w, then its fractional coordinates.
                Vec3 x;
                for (int d = 0; d < 3; ++d) x[d] = R[d] * w[0] + R[3 + d] * w[1] + R[6 + d] * w[2];
                for (int k = 0; k < 3; ++k) {
                    double s = x[0] * inv[k] + x[1] * inv[3 + k] + x[2] * inv[6 + k];
                    gb.smin[k] = std::min(gb.smin[k], s);
                    gb.smax[k] = std::max(gb.smax[k], s);
                }
            }
        }
    }

    // Rough size of the result, to reserve once.
    const double seed_volume = std::fabs(1.0 / det3(inv.data()));
    const double expected = volume / seed_volume * static_cast<double>(n_basis) * 1.02 + 16;
    if (expected < 4e9) {
        auto reserve = static_cast<std::size_t>(expected);
        out.positions.reserve(3 * reserve);
        out.grain.reserve(reserve);
        out.site.reserve(reserve);
    }

    std::vector<Plane> planes;
    for (std::size_t g = 0; g < n_grains; ++g) {
        const GrainBounds& gb = bounds[g];
        const double radius = gb.radius;
        const double* R = rotations + 9 * g;

        // Bisector planes of every centre image close enough to cut a cell of this radius.
        planes.clear();
        const double reach2 = 4 * radius * radius * (1 + 1e-9);
        std::array<std::int64_t, 3> images;
        for (int k = 0; k < 3; ++k)
            images[k] = static_cast<std::int64_t>(std::ceil(2 * radius / box[k])) + 1;
        for (std::size_t o = 0; o < n_grains; ++o)
            for (std::int64_t a = -images[0]; a <= images[0]; ++a)
                for (std::int64_t b = -images[1]; b <= images[1]; ++b)
                    for (std::int64_t e = -images[2]; e <= images[2]; ++e) {
                        if (o == g && a == 0 && b == 0 && e == 0) continue;
                        Vec3 u = {c[o][0] + static_cast<double>(a) * box[0] - c[g][0],
                                  c[o][1] + static_cast<double>(b) * box[1] - c[g][1],
                                  c[o][2] + static_cast<double>(e) * box[2] - c[g][2]};
                        double l2 = dot(u, u);
                        if (l2 > reach2) continue;
                        // A point exactly on the plane belongs to the side with the larger
                        // (grain, image) key, so both sides agree.
                        bool neighbour_larger =
                            o != g ? o > g : (a != 0 ? a > 0 : (b != 0 ? b > 0 : e > 0));
                        double tol = 1e-9 * l2;
                        planes.push_back({u, 0.5 * l2 + (neighbour_larger ? tol : -tol), l2});
                    }
        // Nearest planes first: they reject most points.
        std::sort(planes.begin(), planes.end(),
                  [](const Plane& p, const Plane& q) { return p.length2 < q.length2; });

        // Rotated lattice vectors and basis.
        std::array<Vec3, 3> ra;
        for (int k = 0; k < 3; ++k)
            for (int d = 0; d < 3; ++d)
                ra[k][d] = R[3 * d] * seed_cell[3 * k] + R[3 * d + 1] * seed_cell[3 * k + 1] +
                           R[3 * d + 2] * seed_cell[3 * k + 2];
        std::vector<Vec3> rb(n_basis);
        for (std::size_t b = 0; b < n_basis; ++b)
            for (int d = 0; d < 3; ++d)
                rb[b][d] = R[3 * d] * cart_basis[b][0] + R[3 * d + 1] * cart_basis[b][1] +
                           R[3 * d + 2] * cart_basis[b][2];

        std::array<std::int64_t, 3> lo, hi;
        for (int k = 0; k < 3; ++k) {
            double margin = delta * inv_col_norm[k];
            lo[k] = static_cast<std::int64_t>(std::floor(gb.smin[k] - margin)) - 1;
            hi[k] = static_cast<std::int64_t>(std::ceil(gb.smax[k] + margin));
        }
        const double radius2 = radius * radius * (1 + 1e-12);
        std::int64_t count = 0;
        for (std::int64_t n0 = lo[0]; n0 <= hi[0]; ++n0)
            for (std::int64_t n1 = lo[1]; n1 <= hi[1]; ++n1)
                for (std::int64_t n2 = lo[2]; n2 <= hi[2]; ++n2) {
                    Vec3 t;
                    for (int d = 0; d < 3; ++d)
                        t[d] = static_cast<double>(n0) * ra[0][d] +
                               static_cast<double>(n1) * ra[1][d] +
                               static_cast<double>(n2) * ra[2][d];
                    for (std::size_t b = 0; b < n_basis; ++b) {
                        Vec3 x = {t[0] + rb[b][0], t[1] + rb[b][1], t[2] + rb[b][2]};
                        if (dot(x, x) > radius2) continue;
                        bool inside = true;
                        for (const Plane& pl : planes)
                            if (dot(x, pl.u) > pl.threshold) {
                                inside = false;
                                break;
                            }
                        if (!inside) continue;
                        for (int d = 0; d < 3; ++d) {
                            double r = c[g][d] + x[d];
                            out.positions.push_back(wrap ? fold(r, box[d]) : r);
                        }
                        out.grain.push_back(static_cast<std::int32_t>(g));
                        out.site.push_back(static_cast<std::int32_t>(b));
                        ++count;
                    }
                }
        out.counts[g] = count;
    }
    return out;
}

std::vector<std::uint8_t> close_atom_keep_mask(const double* positions, std::size_t n,
                                               const double* cell, const bool* pbc,
                                               double distance) {
    std::vector<std::uint8_t> keep(n, 1);
    if (n == 0 || !(distance > 0)) return keep;
    NeighborPairs pairs = neighbor_pairs(positions, n, cell, pbc, distance);
    // Pairs come sorted by their first atom, so an atom's own fate is settled (by the earlier
    // atoms) before its pairs are visited.
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        auto i = static_cast<std::size_t>(pairs.first[p]);
        auto j = static_cast<std::size_t>(pairs.second[p]);
        if (j > i && keep[i]) keep[j] = 0;
    }
    return keep;
}

}  // namespace corvane::kernels
