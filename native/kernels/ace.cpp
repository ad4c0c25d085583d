#include "ace.hpp"

#include "neighbors.hpp"
#include "parallel.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace corvane::kernels {
namespace {

constexpr int kComponents[kAceMaxRank + 1] = {1, 3, 6, 10};

// Exponents (a, b, c) of u_x^a u_y^b u_z^c for each component of ranks 0..3, a descending, then
// b descending: the order in which the moments of one rank are stored.
struct Exponents {
    int a, b, c;
};
constexpr Exponents kExponents[20] = {
    {0, 0, 0},                                                                      // rank 0
    {1, 0, 0}, {0, 1, 0}, {0, 0, 1},                                                // rank 1
    {2, 0, 0}, {1, 1, 0}, {1, 0, 1}, {0, 2, 0}, {0, 1, 1}, {0, 0, 2},               // rank 2
    {3, 0, 0}, {2, 1, 0}, {2, 0, 1}, {1, 2, 0}, {1, 1, 1}, {1, 0, 2}, {0, 3, 0},
    {0, 2, 1}, {0, 1, 2}, {0, 0, 3}};                                               // rank 3
constexpr int kFirstComponent[kAceMaxRank + 1] = {0, 1, 4, 10};

// The moments one bond adds to its atom (phi, basis.slots() values) and their gradients by the
// bond vector d (dphi, 3 per slot).
void bond_basis(const double* d, const AceBasis& basis, double* phi, double* dphi) {
    const double r2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    const double r = std::sqrt(r2);
    const double u[3] = {d[0] / r, d[1] / r, d[2] / r};

    // Radial functions and their derivatives in r.
    const int nmax = *std::max_element(basis.nrad.begin(), basis.nrad.end());
    double radial[32], dradial[32];
    const double scale = 2.0 / (basis.cutoff - basis.r_inner);
    const double xi = scale * (r - basis.r_inner) - 1.0;
    const double s = 1.0 - r2 / (basis.cutoff * basis.cutoff);
    const double fc = s * s * s, dfc = -6.0 * s * s * r / (basis.cutoff * basis.cutoff);
    double cheb[32], dcheb[32];  // T_k(xi) and dT_k/dxi
    for (int k = 0; k < nmax; ++k) {
        if (k == 0) {
            cheb[k] = 1.0;
            dcheb[k] = 0.0;
        } else if (k == 1) {
            cheb[k] = xi;
            dcheb[k] = 1.0;
        } else {
            cheb[k] = 2.0 * xi * cheb[k - 1] - cheb[k - 2];
            dcheb[k] = 2.0 * cheb[k - 1] + 2.0 * xi * dcheb[k - 1] - dcheb[k - 2];
        }
        radial[k] = cheb[k] * fc;
        dradial[k] = dcheb[k] * scale * fc + cheb[k] * dfc;
    }

    // Powers of the unit vector's components.
    double pw[3][kAceMaxRank + 1];
    for (int a = 0; a < 3; ++a) {
        pw[a][0] = 1.0;
        for (int p = 1; p <= kAceMaxRank; ++p) pw[a][p] = pw[a][p - 1] * u[a];
    }

    std::size_t slot = 0;
    for (int nu = 0; nu <= kAceMaxRank; ++nu) {
        const int nc = kComponents[nu];
        double angular[10], dangular[10][3];
        for (int q = 0; q < nc; ++q) {
            const Exponents& e = kExponents[kFirstComponent[nu] + q];
            const double p = pw[0][e.a] * pw[1][e.b] * pw[2][e.c];
            // grad of P(u(d)) = (grad_u P - nu P u) / r
            const double gu[3] = {e.a ? e.a * pw[0][e.a - 1] * pw[1][e.b] * pw[2][e.c] : 0.0,
                                  e.b ? e.b * pw[0][e.a] * pw[1][e.b - 1] * pw[2][e.c] : 0.0,
                                  e.c ? e.c * pw[0][e.a] * pw[1][e.b] * pw[2][e.c - 1] : 0.0};
            angular[q] = p;
            for (int a = 0; a < 3; ++a) dangular[q][a] = (gu[a] - nu * p * u[a]) / r;
        }
        for (int mu = 0; mu < basis.nrad[nu]; ++mu) {
            const double rad = radial[mu], drad = dradial[mu];
            for (int q = 0; q < nc; ++q, ++slot) {
                phi[slot] = rad * angular[q];
                for (int a = 0; a < 3; ++a)
                    dphi[3 * slot + a] = drad * u[a] * angular[q] + rad * dangular[q][a];
            }
        }
    }
}

// The input checks both entry points share; returns the neighbour pairs within the cutoff.
NeighborPairs checked_pairs(const double* positions, std::size_t n, const double* cell,
                            const bool* pbc, const std::int32_t* species, const AceBasis& basis) {
    basis.check();
    for (std::size_t i = 0; i < n; ++i)
        if (species[i] < 0 || static_cast<std::size_t>(species[i]) >= basis.nelem)
            throw std::invalid_argument("species index out of range");
    for (std::size_t i = 0; i < 3 * n; ++i)
        if (!std::isfinite(positions[i])) throw std::invalid_argument("positions must be finite");
    return neighbor_pairs(positions, n, cell, pbc, basis.cutoff);
}

// Moments of every atom's bonds, kept per bond so that gradients need no second evaluation.
struct BondBasis {
    std::vector<double> phi, dphi;
    void fill(const NeighborPairs& pairs, std::size_t p0, std::size_t p1, const AceBasis& basis) {
        const std::size_t ns = basis.slots();
        phi.resize((p1 - p0) * ns);
        dphi.resize(3 * (p1 - p0) * ns);
        for (std::size_t p = p0; p < p1; ++p)
            bond_basis(pairs.vector.data() + 3 * p, basis, phi.data() + (p - p0) * ns,
                       dphi.data() + 3 * (p - p0) * ns);
    }
};

void accumulate_moments(const NeighborPairs& pairs, std::size_t p0, std::size_t p1,
                        const std::int32_t* species, const AceBasis& basis, const BondBasis& bb,
                        std::vector<double>& moments) {
    const std::size_t ns = basis.slots();
    std::fill(moments.begin(), moments.end(), 0.0);
    for (std::size_t p = p0; p < p1; ++p) {
        double* a = moments.data() + static_cast<std::size_t>(species[pairs.second[p]]) * ns;
        const double* f = bb.phi.data() + (p - p0) * ns;
        for (std::size_t s = 0; s < ns; ++s) a[s] += f[s];
    }
}

inline double factor(const std::vector<double>& moments, std::int32_t slot) {
    return slot < 0 ? 1.0 : moments[static_cast<std::size_t>(slot)];
}

}  // namespace

std::size_t AceBasis::rank_offset(int nu) const {
    std::size_t offset = 0;
    for (int k = 0; k < nu; ++k) offset += static_cast<std::size_t>(nrad[k] * kComponents[k]);
    return offset;
}

std::size_t AceBasis::slots() const { return rank_offset(kAceMaxRank + 1); }

void AceBasis::check() const {
    if (nelem == 0) throw std::invalid_argument("the basis needs at least one element");
    if (!(std::isfinite(cutoff) && std::isfinite(r_inner) && r_inner >= 0 && cutoff > r_inner))
        throw std::invalid_argument("the basis needs 0 <= r_inner < cutoff");
    for (int n : nrad)
        if (n < 0 || n > 32) throw std::invalid_argument("radial functions per rank must be 0..32");
}

void AceProgram::check(std::size_t moments) const {
    if (coef.size() != out.size() || slots.size() != 3 * out.size())
        throw std::invalid_argument("program arrays disagree in length");
    for (std::int32_t o : out)
        if (o < 0 || static_cast<std::size_t>(o) >= outputs)
            throw std::invalid_argument("program output index out of range");
    for (std::int32_t s : slots)
        if (s < -1 || (s >= 0 && static_cast<std::size_t>(s) >= moments))
            throw std::invalid_argument("program slot out of range");
}

AceResult ace_compute(const double* positions, std::size_t n, const double* cell, const bool* pbc,
                      const std::int32_t* species, const AceBasis& basis, const double* reference,
                      const AceProgram* programs, int threads) {
    AceResult out;
    out.energies.assign(n, 0.0);
    out.forces.assign(3 * n, 0.0);
    if (n == 0) return out;
    const std::size_t ns = basis.slots(), nm = basis.nelem * ns;
    for (std::size_t e = 0; e < basis.nelem; ++e) {
        programs[e].check(nm);
        if (programs[e].outputs != 1) throw std::invalid_argument("energy programs have one output");
    }
    const NeighborPairs pairs = checked_pairs(positions, n, cell, pbc, species, basis);
    const std::size_t np = pairs.size();
    std::vector<std::size_t> row(n + 1, 0), col(n + 1, 0), into(np);
    for (std::size_t p = 0; p < np; ++p) {
        ++row[pairs.first[p] + 1];
        ++col[pairs.second[p] + 1];
    }
    for (std::size_t i = 0; i < n; ++i) {
        row[i + 1] += row[i];
        col[i + 1] += col[i];
    }
    {
        std::vector<std::size_t> fill(col.begin(), col.end() - 1);
        for (std::size_t p = 0; p < np; ++p) into[fill[pairs.second[p]]++] = p;
    }

    // Pass 1: each atom's energy and the gradient of that energy by each of its bond vectors.
    std::vector<double> grad(3 * np, 0.0);
    parallel_blocks(n, threads, [&](std::size_t begin, std::size_t end) {
        BondBasis bb;
        std::vector<double> moments(nm), adjoint(nm);
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t p0 = row[i], p1 = row[i + 1];
            bb.fill(pairs, p0, p1, basis);
            accumulate_moments(pairs, p0, p1, species, basis, bb, moments);
            const auto e = static_cast<std::size_t>(species[i]);
            const AceProgram& prog = programs[e];
            std::fill(adjoint.begin(), adjoint.end(), 0.0);
            double energy = reference[e];
            const std::int32_t* sl = prog.slots.data();
            for (std::size_t t = 0; t < prog.size(); ++t, sl += 3) {
                const double c = prog.coef[t];
                const double f0 = factor(moments, sl[0]), f1 = factor(moments, sl[1]),
                             f2 = factor(moments, sl[2]);
                energy += c * f0 * f1 * f2;
                if (sl[0] >= 0) adjoint[sl[0]] += c * f1 * f2;
                if (sl[1] >= 0) adjoint[sl[1]] += c * f0 * f2;
                if (sl[2] >= 0) adjoint[sl[2]] += c * f0 * f1;
            }
            out.energies[i] = energy;
            for (std::size_t p = p0; p < p1; ++p) {
                const double* w = adjoint.data() + static_cast<std::size_t>(species[pairs.second[p]]) * ns;
                const double* dp = bb.dphi.data() + 3 * (p - p0) * ns;
                double g0 = 0, g1 = 0, g2 = 0;
                for (std::size_t s = 0; s < ns; ++s) {
                    g0 += w[s] * dp[3 * s];
                    g1 += w[s] * dp[3 * s + 1];
                    g2 += w[s] * dp[3 * s + 2];
                }
                grad[3 * p] = g0;
                grad[3 * p + 1] = g1;
                grad[3 * p + 2] = g2;
            }
        }
    });

    // Pass 2: gather per atom. The bond vector is r_j - r_i, so dE/dr_i = -sum(out) + sum(in).
    std::vector<double> vir_block(9 * ((n + kBlock - 1) / kBlock), 0.0);
    parallel_blocks(n, threads, [&](std::size_t begin, std::size_t end) {
        double* w = vir_block.data() + 9 * (begin / kBlock);
        for (std::size_t i = begin; i < end; ++i) {
            double f[3] = {0, 0, 0};
            for (std::size_t p = row[i]; p < row[i + 1]; ++p) {
                const double* g = grad.data() + 3 * p;
                const double* d = pairs.vector.data() + 3 * p;
                for (int a = 0; a < 3; ++a) {
                    f[a] += g[a];
                    for (int c = 0; c < 3; ++c) w[3 * a + c] += d[a] * g[c];
                }
            }
            for (std::size_t s = col[i]; s < col[i + 1]; ++s) {
                const double* g = grad.data() + 3 * into[s];
                for (int a = 0; a < 3; ++a) f[a] -= g[a];
            }
            for (int a = 0; a < 3; ++a) out.forces[3 * i + a] = f[a];
        }
    });
    for (std::size_t i = 0; i < n; ++i) out.energy += out.energies[i];
    for (std::size_t b = 0; b < vir_block.size(); b += 9)
        for (int a = 0; a < 9; ++a) out.virial[a] += vir_block[b + a];
    return out;
}

AceDesign ace_design(const double* positions, std::size_t n, const double* cell, const bool* pbc,
                     const std::int32_t* species, const AceBasis& basis, const AceProgram& program,
                     bool derivatives) {
    const std::size_t ns = basis.slots(), nm = basis.nelem * ns;
    const std::size_t K = program.outputs, ncol = basis.nelem * K;
    program.check(nm);
    AceDesign out;
    out.descriptors.assign(n * K, 0.0);
    out.energy.assign(ncol, 0.0);
    if (derivatives) {
        out.forces.assign(3 * n * ncol, 0.0);
        out.virial.assign(9 * ncol, 0.0);
    }
    if (n == 0) return out;
    const NeighborPairs pairs = checked_pairs(positions, n, cell, pbc, species, basis);

    // The distinct (output, slot) derivatives the program has, sorted by slot so that those of
    // one neighbour element are contiguous; each factor of each term points at its entry.
    std::vector<std::pair<std::int32_t, std::int32_t>> keys;  // (slot, output)
    for (std::size_t t = 0; t < program.size(); ++t)
        for (int f = 0; f < 3; ++f)
            if (program.slots[3 * t + f] >= 0) keys.emplace_back(program.slots[3 * t + f], program.out[t]);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::vector<std::int64_t> entry_of(3 * program.size(), -1);
    for (std::size_t t = 0; t < program.size(); ++t)
        for (int f = 0; f < 3; ++f) {
            const std::int32_t s = program.slots[3 * t + f];
            if (s < 0) continue;
            auto it = std::lower_bound(keys.begin(), keys.end(), std::make_pair(s, program.out[t]));
            entry_of[3 * t + f] = it - keys.begin();
        }
    std::vector<std::size_t> element_start(basis.nelem + 1, 0);
    for (std::size_t c = 0; c <= basis.nelem; ++c)
        element_start[c] = static_cast<std::size_t>(
            std::lower_bound(keys.begin(), keys.end(),
                             std::make_pair(static_cast<std::int32_t>(c * ns), std::int32_t{-1})) -
            keys.begin());

    BondBasis bb;
    std::vector<double> moments(nm), value(keys.size()), bond_virial(9 * nm);
    std::size_t p0 = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t p1 = p0;
        while (p1 < pairs.size() && static_cast<std::size_t>(pairs.first[p1]) == i) ++p1;
        bb.fill(pairs, p0, p1, basis);
        accumulate_moments(pairs, p0, p1, species, basis, bb, moments);
        const std::size_t column = static_cast<std::size_t>(species[i]) * K;
        std::fill(value.begin(), value.end(), 0.0);
        const std::int32_t* sl = program.slots.data();
        for (std::size_t t = 0; t < program.size(); ++t, sl += 3) {
            const double c = program.coef[t];
            const double f0 = factor(moments, sl[0]), f1 = factor(moments, sl[1]),
                         f2 = factor(moments, sl[2]);
            const double b = c * f0 * f1 * f2;
            out.descriptors[i * K + program.out[t]] += b;
            out.energy[column + program.out[t]] += b;
            if (!derivatives) continue;
            if (sl[0] >= 0) value[entry_of[3 * t]] += c * f1 * f2;
            if (sl[1] >= 0) value[entry_of[3 * t + 1]] += c * f0 * f2;
            if (sl[2] >= 0) value[entry_of[3 * t + 2]] += c * f0 * f1;
        }
        if (derivatives) {
            std::fill(bond_virial.begin(), bond_virial.end(), 0.0);
            for (std::size_t p = p0; p < p1; ++p) {
                const auto j = static_cast<std::size_t>(pairs.second[p]);
                const auto c = static_cast<std::size_t>(species[j]);
                const double* dp = bb.dphi.data() + 3 * (p - p0) * ns;
                const double* d = pairs.vector.data() + 3 * p;
                for (std::size_t s = 0; s < ns; ++s)
                    for (int a = 0; a < 3; ++a)
                        for (int b = 0; b < 3; ++b)
                            bond_virial[9 * (c * ns + s) + 3 * a + b] += d[a] * dp[3 * s + b];
                double* fi = out.forces.data() + 3 * i * ncol + column;
                double* fj = out.forces.data() + 3 * j * ncol + column;
                for (std::size_t k = element_start[c]; k < element_start[c + 1]; ++k) {
                    const double v = value[k];
                    if (v == 0.0) continue;
                    const std::size_t s = static_cast<std::size_t>(keys[k].first) - c * ns;
                    const auto o = static_cast<std::size_t>(keys[k].second);
                    for (int a = 0; a < 3; ++a) {
                        const double g = v * dp[3 * s + a];
                        fi[a * ncol + o] += g;
                        fj[a * ncol + o] -= g;
                    }
                }
            }
            for (std::size_t k = 0; k < keys.size(); ++k) {
                const double v = value[k];
                if (v == 0.0) continue;
                const double* w = bond_virial.data() + 9 * static_cast<std::size_t>(keys[k].first);
                const std::size_t o = column + static_cast<std::size_t>(keys[k].second);
                for (int ab = 0; ab < 9; ++ab) out.virial[ab * ncol + o] += v * w[ab];
            }
        }
        p0 = p1;
    }
    return out;
}

}  // namespace corvane::kernels
