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
    {0, 0, 0},                                                         // rank 0
    {1, 0, 0}, {0, 1, 0}, {0, 0, 1},                                   // rank 1
    {2, 0, 0}, {1, 1, 0}, {1, 0, 1}, {0, 2, 0}, {0, 1, 1}, {0, 0, 2},  // rank 2
    {3, 0, 0}, {2, 1, 0}, {2, 0, 1}, {1, 2, 0}, {1, 1, 1}, {1, 0, 2},
    {0, 3, 0}, {0, 2, 1}, {0, 1, 2}, {0, 0, 3}};  // rank 3
constexpr int kFirstComponent[kAceMaxRank + 1] = {0, 1, 4, 10};

// The component whose exponents are those of q less one power of axis a (-1 if q has none):
// the derivative of component q by u_a is exponent * that component.
struct LowerComponents {
    int of[20][3];
};
constexpr LowerComponents lower_components() {
    LowerComponents t{};
    for (int q = 0; q < 20; ++q)
        for (int a = 0; a < 3; ++a) {
            int e[3] = {kExponents[q].a, kExponents[q].b, kExponents[q].c};
            t.of[q][a] = -1;
            if (e[a] == 0) continue;
            --e[a];
            for (int k = 0; k < 20; ++k)
                if (kExponents[k].a == e[0] && kExponents[k].b == e[1] && kExponents[k].c == e[2])
                    t.of[q][a] = k;
        }
    return t;
}
constexpr LowerComponents kLower = lower_components();

// What one bond contributes to its atom's moments, in factored form: moment (nu, mu, q) of the
// bond is radial[mu] * angular[q] (q counting the components of all ranks; all ranks are kept,
// since the gradient of a component is made of components one rank lower). Gradients by the
// bond vector are formed when needed, which keeps the per-bond record small enough for an
// atom's bonds to stay in cache between the two passes over them.
struct BondFactors {
    double u[3], inv_r;
    double radial[kAceMaxRadial], dradial[kAceMaxRadial];
    double angular[20];
};

// d(u_x^a u_y^b u_z^c)/du for component q.
inline void angular_du(const BondFactors& f, int q, double g[3]) {
    const Exponents& e = kExponents[q];
    const int* lower = kLower.of[q];
    g[0] = e.a ? e.a * f.angular[lower[0]] : 0.0;
    g[1] = e.b ? e.b * f.angular[lower[1]] : 0.0;
    g[2] = e.c ? e.c * f.angular[lower[2]] : 0.0;
}

// The gradient of component q of rank nu by the bond vector: (grad_u P - nu P u) / r.
inline void angular_gradient(const BondFactors& f, int nu, int q, double g[3]) {
    angular_du(f, q, g);
    for (int a = 0; a < 3; ++a) g[a] = (g[a] - nu * f.angular[q] * f.u[a]) * f.inv_r;
}

void bond_factors(const double* d, const AceBasis& basis, int nmax, BondFactors& f) {
    const double r2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    const double r = std::sqrt(r2);
    f.inv_r = 1.0 / r;
    const double* u = f.u;
    for (int a = 0; a < 3; ++a) f.u[a] = d[a] * f.inv_r;

    // Chebyshev polynomials T_k(xi) and dT_k/dxi, times the cutoff function.
    const double scale = 2.0 / (basis.cutoff - basis.r_inner);
    const double xi = scale * (r - basis.r_inner) - 1.0;
    const double rc2 = basis.cutoff * basis.cutoff;
    const double s = 1.0 - r2 / rc2;
    const double fc = s * s * s, dfc = -6.0 * s * s * r / rc2;
    double t_prev = 0, t = 1.0, dt_prev = 0, dt = 0.0;
    for (int k = 0; k < nmax; ++k) {
        if (k == 1) {
            t_prev = t;
            t = xi;
            dt_prev = dt;
            dt = 1.0;
        } else if (k > 1) {
            const double tn = 2.0 * xi * t - t_prev, dtn = 2.0 * t + 2.0 * xi * dt - dt_prev;
            t_prev = t;
            t = tn;
            dt_prev = dt;
            dt = dtn;
        }
        f.radial[k] = t * fc;
        f.dradial[k] = dt * scale * fc + t * dfc;
    }

    // Monomials of the unit vector, each from one a rank lower.
    f.angular[0] = 1.0;
    for (int q = 1; q < 20; ++q) {
        const int a = kExponents[q].a ? 0 : kExponents[q].b ? 1 : 2;
        f.angular[q] = u[a] * f.angular[kLower.of[q][a]];
    }
}

// The per-rank loops below take the rank as a template argument, so that the component loops
// have fixed trip counts the compiler unrolls and vectorises: they are most of the time spent.
template <int Nu>
constexpr int kRankComponents = (Nu + 1) * (Nu + 2) / 2;

template <int Nu>
inline void add_rank_moments(const BondFactors& f, int nrad, double* moments) {
    constexpr int nc = kRankComponents<Nu>;
    const double* ang = f.angular + kFirstComponent[Nu];
    for (int mu = 0; mu < nrad; ++mu, moments += nc) {
        const double rad = f.radial[mu];
        for (int q = 0; q < nc; ++q) moments[q] += rad * ang[q];
    }
}

// moments[s] += the bond's moment s, for the slots of one neighbour element.
void add_moments(const BondFactors& f, const AceBasis& basis, double* moments) {
    add_rank_moments<0>(f, basis.nrad[0], moments + basis.rank_offset(0));
    add_rank_moments<1>(f, basis.nrad[1], moments + basis.rank_offset(1));
    add_rank_moments<2>(f, basis.nrad[2], moments + basis.rank_offset(2));
    add_rank_moments<3>(f, basis.nrad[3], moments + basis.rank_offset(3));
}

// The part of weighted_gradient from the moments of rank Nu: with wr_q = sum_mu w R_mu and
// wd_q = sum_mu w R'_mu, adds sum_q wd_q P_q to `along`, nu sum_q wr_q P_q to `radial_along`
// and sum_q wr_q grad_u P_q to `gu`.
template <int Nu>
inline void rank_gradient(const BondFactors& f, int nrad, const double* w, double& along,
                          double& radial_along, double gu[3]) {
    constexpr int nc = kRankComponents<Nu>, first = kFirstComponent[Nu];
    if (nrad == 0) return;
    double wr[nc] = {}, wd[nc] = {};
    for (int mu = 0; mu < nrad; ++mu, w += nc) {
        const double rad = f.radial[mu], drad = f.dradial[mu];
        for (int q = 0; q < nc; ++q) {
            wr[q] += w[q] * rad;
            wd[q] += w[q] * drad;
        }
    }
    double value = 0;
    for (int q = 0; q < nc; ++q) {
        along += wd[q] * f.angular[first + q];
        value += wr[q] * f.angular[first + q];
    }
    radial_along += Nu * value;
    if constexpr (Nu > 0) {
        for (int q = 0; q < nc; ++q) {
            double d[3];
            angular_du(f, first + q, d);
            gu[0] += wr[q] * d[0];
            gu[1] += wr[q] * d[1];
            gu[2] += wr[q] * d[2];
        }
    }
}

// sum over slots s of w[s] * (gradient of the bond's moment s by the bond vector). With
// W_nu(u) = sum_q wr_q P_q(u), the angular part is (grad_u W - nu W u) / r.
void weighted_gradient(const BondFactors& f, const AceBasis& basis, const double* w, double* g) {
    double along = 0, radial_along = 0, gu[3] = {0, 0, 0};
    rank_gradient<0>(f, basis.nrad[0], w + basis.rank_offset(0), along, radial_along, gu);
    rank_gradient<1>(f, basis.nrad[1], w + basis.rank_offset(1), along, radial_along, gu);
    rank_gradient<2>(f, basis.nrad[2], w + basis.rank_offset(2), along, radial_along, gu);
    rank_gradient<3>(f, basis.nrad[3], w + basis.rank_offset(3), along, radial_along, gu);
    const double scale = along - radial_along * f.inv_r;
    for (int a = 0; a < 3; ++a) g[a] = scale * f.u[a] + gu[a] * f.inv_r;
}

// The gradient of each of the bond's moments (3 per slot of one neighbour element).
void moment_gradients(const BondFactors& f, const AceBasis& basis, double* dphi) {
    std::size_t slot = 0;
    for (int nu = 0; nu <= kAceMaxRank; ++nu) {
        const int first = kFirstComponent[nu];
        for (int mu = 0; mu < basis.nrad[nu]; ++mu)
            for (int q = first; q < first + kComponents[nu]; ++q, ++slot) {
                double dang[3];
                angular_gradient(f, nu, q, dang);
                for (int a = 0; a < 3; ++a)
                    dphi[3 * slot + a] =
                        f.dradial[mu] * f.u[a] * f.angular[q] + f.radial[mu] * dang[a];
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

// The factors of every bond of one atom, and that atom's moments.
struct AtomBonds {
    std::vector<BondFactors> bonds;
    void fill(const NeighborPairs& pairs, std::size_t p0, std::size_t p1, const AceBasis& basis,
              const std::int32_t* species, std::vector<double>& moments) {
        const std::size_t ns = basis.slots();
        const int nmax = *std::max_element(basis.nrad.begin(), basis.nrad.end());
        bonds.resize(p1 - p0);
        std::fill(moments.begin(), moments.end(), 0.0);
        for (std::size_t p = p0; p < p1; ++p) {
            bond_factors(pairs.vector.data() + 3 * p, basis, nmax, bonds[p - p0]);
            add_moments(bonds[p - p0], basis,
                        moments.data() + static_cast<std::size_t>(species[pairs.second[p]]) * ns);
        }
    }
};

}  // namespace

std::size_t AceBasis::rank_offset(int nu) const {
    std::size_t offset = 0;
    for (int k = 0; k < nu; ++k) offset += static_cast<std::size_t>(nrad[k] * kComponents[k]);
    return offset;
}

std::size_t AceBasis::slots() const { return rank_offset(kAceMaxRank + 1); }

void AceBasis::check() const {
    if (nelem == 0 || nelem > 32) throw std::invalid_argument("the basis needs 1 to 32 elements");
    if (!(std::isfinite(cutoff) && std::isfinite(r_inner) && r_inner >= 0 && cutoff > r_inner))
        throw std::invalid_argument("the basis needs 0 <= r_inner < cutoff");
    for (int n : nrad)
        if (n < 0 || n > kAceMaxRadial)
            throw std::invalid_argument("radial functions per rank must be 0.." +
                                        std::to_string(kAceMaxRadial));
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
        if (programs[e].outputs != 1)
            throw std::invalid_argument("energy programs have one output");
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

    // Each element's terms, grouped by the neighbour elements whose moments they read: an atom
    // evaluates only the groups whose elements all occur among its neighbours, since a term
    // with a moment of an absent element is zero and its derivatives act on no bond. Slots of
    // -1 (a factor 1) point at an extra moment fixed at 1, so terms need no branches.
    struct TermGroup {
        std::uint32_t elements;
        std::size_t begin, end;
    };
    std::vector<std::vector<std::int32_t>> term_slots(basis.nelem);
    std::vector<std::vector<double>> term_coef(basis.nelem);
    std::vector<std::vector<TermGroup>> groups(basis.nelem);
    for (std::size_t e = 0; e < basis.nelem; ++e) {
        const AceProgram& prog = programs[e];
        std::vector<std::uint32_t> mask(prog.size(), 0);
        for (std::size_t t = 0; t < prog.size(); ++t)
            for (int f = 0; f < 3; ++f)
                if (prog.slots[3 * t + f] >= 0)
                    mask[t] |= 1u << (static_cast<std::size_t>(prog.slots[3 * t + f]) / ns);
        std::vector<std::size_t> order(prog.size());
        for (std::size_t t = 0; t < order.size(); ++t) order[t] = t;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return mask[a] < mask[b]; });
        for (std::size_t k = 0; k < order.size(); ++k) {
            const std::size_t t = order[k];
            if (groups[e].empty() || groups[e].back().elements != mask[t])
                groups[e].push_back({mask[t], k, k});
            ++groups[e].back().end;
            term_coef[e].push_back(prog.coef[t]);
            for (int f = 0; f < 3; ++f) {
                const std::int32_t slot = prog.slots[3 * t + f];
                term_slots[e].push_back(slot < 0 ? static_cast<std::int32_t>(nm) : slot);
            }
        }
    }

    // Pass 1: each atom's energy and the gradient of that energy by each of its bond vectors.
    std::vector<double> grad(3 * np, 0.0);
    parallel_blocks(n, threads, [&](std::size_t begin, std::size_t end) {
        AtomBonds bonds;
        std::vector<double> moments(nm + 1), adjoint(nm + 1);
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t p0 = row[i], p1 = row[i + 1];
            bonds.fill(pairs, p0, p1, basis, species, moments);
            moments[nm] = 1.0;
            const auto e = static_cast<std::size_t>(species[i]);
            std::uint32_t present = 0;
            for (std::size_t p = p0; p < p1; ++p) present |= 1u << species[pairs.second[p]];
            std::fill(adjoint.begin(), adjoint.end(), 0.0);
            double energy = reference[e];
            const double* m = moments.data();
            double* adj = adjoint.data();
            for (const TermGroup& g : groups[e]) {
                if (g.elements & ~present) continue;
                const std::int32_t* sl = term_slots[e].data() + 3 * g.begin;
                const double* coef = term_coef[e].data();
                for (std::size_t t = g.begin; t < g.end; ++t, sl += 3) {
                    const double c = coef[t];
                    const double f0 = m[sl[0]], f1 = m[sl[1]], f2 = m[sl[2]];
                    const double c12 = c * f1 * f2;
                    energy += c12 * f0;
                    adj[sl[0]] += c12;
                    adj[sl[1]] += c * f0 * f2;
                    adj[sl[2]] += c * f0 * f1;
                }
            }
            out.energies[i] = energy;
            for (std::size_t p = p0; p < p1; ++p) {
                const auto c = static_cast<std::size_t>(species[pairs.second[p]]);
                const double* w = adjoint.data() + c * ns;
                weighted_gradient(bonds.bonds[p - p0], basis, w, grad.data() + 3 * p);
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
            if (program.slots[3 * t + f] >= 0)
                keys.emplace_back(program.slots[3 * t + f], program.out[t]);
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

    AtomBonds bonds;
    std::vector<double> moments(nm), value(keys.size()), bond_virial(9 * nm), dphi(3 * ns);
    std::size_t p0 = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t p1 = p0;
        while (p1 < pairs.size() && static_cast<std::size_t>(pairs.first[p1]) == i) ++p1;
        bonds.fill(pairs, p0, p1, basis, species, moments);
        const std::size_t column = static_cast<std::size_t>(species[i]) * K;
        std::fill(value.begin(), value.end(), 0.0);
        const std::int32_t* sl = program.slots.data();
        for (std::size_t t = 0; t < program.size(); ++t, sl += 3) {
            const double c = program.coef[t];
            const double f0 = sl[0] < 0 ? 1.0 : moments[sl[0]];
            const double f1 = sl[1] < 0 ? 1.0 : moments[sl[1]];
            const double f2 = sl[2] < 0 ? 1.0 : moments[sl[2]];
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
                moment_gradients(bonds.bonds[p - p0], basis, dphi.data());
                const double* dp = dphi.data();
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
