#include "tersoff.hpp"

#include "neighbors.hpp"
#include "parallel.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace corvane::kernels {
namespace {

constexpr double kHalfPi = 1.57079632679489661923;

// exp() of the three-body exponent, clipped where it would overflow (as LAMMPS does).
inline double clipped_exp(double arg) {
    if (arg > 69.0776) return 1.e30;
    if (arg < -69.0776) return 0.0;
    return std::exp(arg);
}

inline double fc(double r, const TersoffParams& p) {
    if (r < p.R - p.D) return 1.0;
    if (r > p.R + p.D) return 0.0;
    if (p.D == 0) return 0.5;  // a step cutoff, met exactly at R
    return 0.5 * (1.0 - std::sin(kHalfPi * (r - p.R) / p.D));
}

inline double fc_d(double r, const TersoffParams& p) {
    if (r < p.R - p.D) return 0.0;
    if (r > p.R + p.D) return 0.0;
    if (p.D == 0) return 0.0;
    return -(kHalfPi / 2.0 / p.D) * std::cos(kHalfPi * (r - p.R) / p.D);
}

inline double gijk(double costheta, const TersoffParams& p) {
    const double c2 = p.c * p.c, d2 = p.d * p.d, hc = p.h - costheta;
    return p.gamma * (1.0 + c2 / d2 - c2 / (d2 + hc * hc));
}

inline double gijk_d(double costheta, const TersoffParams& p) {
    const double c2 = p.c * p.c, d2 = p.d * p.d, hc = p.h - costheta;
    const double den = d2 + hc * hc;
    return -2.0 * p.gamma * c2 * hc / (den * den);
}

// b_ij and its derivative in zeta, with the asymptotic forms used where (beta zeta)^n is
// negligible against 1 or 1 against it (the branch limits are those of LAMMPS).
inline void bij(double zeta, const TersoffParams& p, double& b, double& b_d) {
    const double t = p.beta * zeta;
    if (t > p.c1) {
        b = 1.0 / std::sqrt(t);
        b_d = p.beta * -0.5 * std::pow(t, -1.5);
    } else if (t > p.c2) {
        const double tmn = std::pow(t, -p.n), rs = 1.0 / std::sqrt(t);
        b = (1.0 - tmn / (2.0 * p.n)) * rs;
        b_d = p.beta * (-0.5 * rs / t * (1.0 - (1.0 + 1.0 / (2.0 * p.n)) * tmn));
    } else if (t < p.c4) {
        b = 1.0;
        b_d = 0.0;
    } else if (t < p.c3) {
        const double tn1 = std::pow(t, p.n - 1.0);
        b = 1.0 - tn1 * t / (2.0 * p.n);
        b_d = -0.5 * p.beta * tn1;
    } else {
        // (1 + t^n)^(-1 - 1/2n) is b / (1 + t^n): two pow() calls instead of four.
        const double tn = std::pow(t, p.n), base = 1.0 + tn;
        b = std::pow(base, -1.0 / (2.0 * p.n));
        b_d = -0.5 * b / base * tn / zeta;
    }
}

// The exponential factor of zeta and its derivative in (r_ij - r_ik).
inline void ex_delr(double dr, const TersoffParams& p, double& ex, double& ex_d) {
    if (p.lam3 == 0.0) {
        ex = 1.0;
        ex_d = 0.0;
        return;
    }
    if (p.powermint == 3) {
        const double a = p.lam3 * dr;
        ex = clipped_exp(a * a * a);
        ex_d = 3.0 * p.lam3 * p.lam3 * p.lam3 * dr * dr * ex;
    } else {
        ex = clipped_exp(p.lam3 * dr);
        ex_d = p.lam3 * ex;
    }
}

}  // namespace

TersoffParams tersoff_prepare(const double* v) {
    TersoffParams p;
    p.m = v[0];
    p.gamma = v[1];
    p.lam3 = v[2];
    p.c = v[3];
    p.d = v[4];
    p.h = v[5];
    p.n = v[6];
    p.beta = v[7];
    p.lam2 = v[8];
    p.B = v[9];
    p.R = v[10];
    p.D = v[11];
    p.lam1 = v[12];
    p.A = v[13];
    for (std::size_t k = 0; k < kTersoffFields; ++k)
        if (!std::isfinite(v[k]))
            throw std::invalid_argument("Tersoff parameters must be finite numbers");
    if (p.m != 3.0 && p.m != 1.0) throw std::invalid_argument("Tersoff parameter m must be 1 or 3");
    if (p.c < 0 || p.d < 0 || p.n < 0 || p.beta < 0 || p.lam2 < 0 || p.B < 0 || p.R < 0 ||
        p.D < 0 || p.lam1 < 0 || p.A < 0 || p.gamma < 0)
        throw std::invalid_argument(
            "Tersoff parameters gamma, c, d, n, beta, lambda2, B, R, D, lambda1 and A must not be "
            "negative");
    if (p.D > p.R) throw std::invalid_argument("Tersoff parameter D must not exceed R");
    // d = 0 makes g(theta) 0/0. (n = 0 is legal in entries whose pair terms are never read,
    // entries (i, j, k) with j != k; tersoff_compute refuses it where it would be read.)
    if (p.d == 0) throw std::invalid_argument("Tersoff parameter d must be positive");
    p.powermint = static_cast<int>(p.m);
    p.cut = p.R + p.D;
    p.cutsq = p.cut * p.cut;
    p.c1 = std::pow(2.0 * p.n * 1.0e-16, -1.0 / p.n);
    p.c2 = std::pow(2.0 * p.n * 1.0e-8, -1.0 / p.n);
    p.c3 = 1.0 / p.c2;
    p.c4 = 1.0 / p.c1;
    p.present = true;
    return p;
}

namespace {

// The bonds of one atom i, as the three-body terms of each of its bonds read them: bonds
// p0 .. p1 - 1 (vectors r_k - r_i and lengths), the species of their far atoms, and the entries
// (i, j, k) of the bond i->j under way (indexed by the species of k).
struct AtomBonds {
    std::size_t p0, p1;
    const double* vec;      // bond vectors, 3 per bond, indexed by bond
    const double* lengths;  // indexed by bond - p0
    const std::int64_t* second;
    const std::int32_t* species;
    const TersoffParams* entries_ij;  // params + (s_i nelem + s_j) nelem

    const TersoffParams& entry(std::size_t q) const {
        return entries_ij[static_cast<std::size_t>(species[second[q]])];
    }
};

// Calls body(q, entry, r_ik, bond vector) for each bond q = i->k of the atom other than p = i->j
// whose length is within the cutoff of its entry (i, j, k).
template <typename Body>
void for_each_ik(const AtomBonds& ab, std::size_t p, Body&& body) {
    for (std::size_t q = ab.p0; q < ab.p1; ++q) {
        if (q == p) continue;
        const TersoffParams& pk = ab.entry(q);
        const double rik = ab.lengths[q - ab.p0];
        if (rik * rik >= pk.cutsq) continue;
        body(q, pk, rik, ab.vec + 3 * q);
    }
}

// zeta_ij = sum_{k != j} fc(r_ik) g(cos theta_ijk) exp((lambda3 (r_ij - r_ik))^m)
double zeta_ij(const AtomBonds& ab, std::size_t p, double rij) {
    const double* dij = ab.vec + 3 * p;
    double zeta = 0.0;
    for_each_ik(ab, p, [&](std::size_t, const TersoffParams& pk, double rik, const double* dik) {
        const double cost = (dij[0] * dik[0] + dij[1] * dik[1] + dij[2] * dik[2]) / (rij * rik);
        double ex, ex_d;
        ex_delr(rij - rik, pk, ex, ex_d);
        zeta += fc(rik, pk) * gijk(cost, pk) * ex;
    });
    return zeta;
}

// Half the energy of bond i->j, 1/2 fc(r) [A exp(-lambda1 r) - b_ij B exp(-lambda2 r)] (each
// unordered pair is met twice), and its derivatives in r_ij and in zeta_ij.
struct BondEnergy {
    double energy, dEdr, dEdzeta;
};

BondEnergy bond_energy(double rij, double zeta, const TersoffParams& pij) {
    const double f = fc(rij, pij), f_d = fc_d(rij, pij);
    const double rep = pij.A * std::exp(-pij.lam1 * rij);
    const double att = pij.B * std::exp(-pij.lam2 * rij);
    double b, b_d;
    bij(zeta, pij, b, b_d);
    const double fa = -att * f, fa_d = -att * (f_d - pij.lam2 * f);
    BondEnergy e;
    e.energy = 0.5 * f * rep + 0.5 * b * fa;
    e.dEdr = 0.5 * rep * (f_d - pij.lam1 * f) + 0.5 * b * fa_d;
    e.dEdzeta = 0.5 * fa * b_d;
    return e;
}

// dE/dzeta_ij times the gradient of zeta_ij: added to bond i->j's gradient (gp) along r_ij and
// to each bond i->k's along r_ik.
void add_zeta_gradient(const AtomBonds& ab, std::size_t p, double rij, const double* uij,
                       double dEdzeta, double* grad) {
    double* gp = grad + 3 * p;
    for_each_ik(ab, p, [&](std::size_t q, const TersoffParams& pk, double rik, const double* dik) {
        const double uik[3] = {dik[0] / rik, dik[1] / rik, dik[2] / rik};
        const double cost = uij[0] * uik[0] + uij[1] * uik[1] + uij[2] * uik[2];
        double ex, ex_d;
        ex_delr(rij - rik, pk, ex, ex_d);
        const double fk = fc(rik, pk), fk_d = fc_d(rik, pk);
        const double g = gijk(cost, pk), g_d = gijk_d(cost, pk);
        // d zeta-term / d r_ij vector and / d r_ik vector.
        const double a_ij = fk * g * ex_d;                  // along u_ij
        const double a_ik = fk_d * g * ex - fk * g * ex_d;  // along u_ik
        const double cg = fk * g_d * ex;                    // times d cos
        double* gq = grad + 3 * q;
        for (int a = 0; a < 3; ++a) {
            const double dcos_ij = (uik[a] - cost * uij[a]) / rij;
            const double dcos_ik = (uij[a] - cost * uik[a]) / rik;
            gp[a] += dEdzeta * (a_ij * uij[a] + cg * dcos_ij);
            gq[a] += dEdzeta * (a_ik * uik[a] + cg * dcos_ik);
        }
    });
}

// The longest cutoff among the entries the structure's species use; refuses species outside
// 0..nelem-1, non-finite positions, missing entries and pair entries with n <= 0.
double checked_cutoff(const double* positions, std::size_t n, const std::int32_t* species,
                      std::size_t nelem, const TersoffParams* params) {
    std::vector<char> seen(nelem, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (species[i] < 0 || static_cast<std::size_t>(species[i]) >= nelem)
            throw std::invalid_argument("species index out of range");
        seen[species[i]] = 1;
    }
    for (std::size_t i = 0; i < 3 * n; ++i)
        if (!std::isfinite(positions[i])) throw std::invalid_argument("positions must be finite");
    double cutmax = 0;
    for (std::size_t a = 0; a < nelem; ++a)
        for (std::size_t b = 0; b < nelem; ++b)
            for (std::size_t c = 0; c < nelem; ++c) {
                if (!seen[a] || !seen[b] || !seen[c]) continue;
                const TersoffParams& p = params[(a * nelem + b) * nelem + c];
                const std::string triple =
                    std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c);
                if (!p.present)
                    throw std::invalid_argument("missing Tersoff entry for element triple " +
                                                triple);
                if (b == c && !(p.n > 0))
                    throw std::invalid_argument(
                        "Tersoff entry " + triple +
                        " gives the pair terms of its bond, so n must be positive");
                cutmax = std::max(cutmax, p.cut);
            }
    return cutmax;
}

// Bonds out of each atom (row: pairs come sorted by their first atom) and into each atom (col,
// listing bond indices in `into`), as offsets in compressed-row form.
struct BondIndex {
    std::vector<std::size_t> row, col, into;
};

BondIndex index_bonds(const NeighborPairs& pairs, std::size_t n) {
    const std::size_t np = pairs.size();
    BondIndex ix;
    ix.row.assign(n + 1, 0);
    ix.col.assign(n + 1, 0);
    ix.into.resize(np);
    for (std::size_t p = 0; p < np; ++p) {
        ++ix.row[pairs.first[p] + 1];
        ++ix.col[pairs.second[p] + 1];
    }
    for (std::size_t i = 0; i < n; ++i) {
        ix.row[i + 1] += ix.row[i];
        ix.col[i + 1] += ix.col[i];
    }
    std::vector<std::size_t> fill(ix.col.begin(), ix.col.end() - 1);
    for (std::size_t p = 0; p < np; ++p) ix.into[fill[pairs.second[p]]++] = p;
    return ix;
}

}  // namespace

TersoffResult tersoff_compute(const double* positions, std::size_t n, const double* cell,
                              const bool* pbc, const std::int32_t* species, std::size_t nelem,
                              const TersoffParams* params, int threads) {
    TersoffResult out;
    out.energies.assign(n, 0.0);
    out.forces.assign(3 * n, 0.0);
    if (n == 0) return out;

    const double cutmax = checked_cutoff(positions, n, species, nelem, params);
    const NeighborPairs pairs = neighbor_pairs(positions, n, cell, pbc, cutmax);
    const std::size_t np = pairs.size();
    const std::int64_t* second = pairs.second.data();
    const double* vec = pairs.vector.data();
    const BondIndex ix = index_bonds(pairs, n);

    // Pass 1: the energy of each bond i->j (which depends only on the bonds of atom i) and its
    // gradient with respect to every bond vector of atom i, stored per bond.
    std::vector<double> ebond(np, 0.0), grad(3 * np, 0.0);
    const std::size_t ne2 = nelem * nelem;
    parallel_blocks(n, threads, [&](std::size_t begin, std::size_t end) {
        std::vector<double> lengths;
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t p0 = ix.row[i], p1 = ix.row[i + 1];
            lengths.resize(p1 - p0);
            for (std::size_t p = p0; p < p1; ++p) {
                const double* d = vec + 3 * p;
                lengths[p - p0] = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            }
            const std::size_t si = static_cast<std::size_t>(species[i]);
            for (std::size_t p = p0; p < p1; ++p) {
                const std::size_t sj = static_cast<std::size_t>(species[second[p]]);
                const std::size_t ij = si * ne2 + sj * nelem;
                const TersoffParams& pij = params[ij + sj];
                const double rij = lengths[p - p0];
                if (rij * rij >= pij.cutsq) continue;
                const AtomBonds ab{p0, p1, vec, lengths.data(), second, species, params + ij};
                const double* dij = vec + 3 * p;
                const double uij[3] = {dij[0] / rij, dij[1] / rij, dij[2] / rij};

                const BondEnergy e = bond_energy(rij, zeta_ij(ab, p, rij), pij);
                ebond[p] = e.energy;
                double* gp = grad.data() + 3 * p;
                for (int a = 0; a < 3; ++a) gp[a] += e.dEdr * uij[a];
                if (e.dEdzeta == 0.0) continue;
                add_zeta_gradient(ab, p, rij, uij, e.dEdzeta, grad.data());
            }
        }
    });

    // Pass 2: gather per atom. r_j - r_i = bond vector, so dE/dr_i = -sum(out) + sum(in).
    std::vector<double> vir_block(9 * ((n + kBlock - 1) / kBlock), 0.0);
    parallel_blocks(n, threads, [&](std::size_t begin, std::size_t end) {
        double* w = vir_block.data() + 9 * (begin / kBlock);
        for (std::size_t i = begin; i < end; ++i) {
            double fx = 0, fy = 0, fz = 0, e = 0;
            for (std::size_t p = ix.row[i]; p < ix.row[i + 1]; ++p) {
                const double* g = grad.data() + 3 * p;
                const double* d = vec + 3 * p;
                fx += g[0];
                fy += g[1];
                fz += g[2];
                e += 0.5 * ebond[p];
                for (int a = 0; a < 3; ++a)
                    for (int c = 0; c < 3; ++c) w[3 * a + c] += d[a] * g[c];
            }
            for (std::size_t s = ix.col[i]; s < ix.col[i + 1]; ++s) {
                const std::size_t p = ix.into[s];
                const double* g = grad.data() + 3 * p;
                fx -= g[0];
                fy -= g[1];
                fz -= g[2];
                e += 0.5 * ebond[p];
            }
            out.forces[3 * i] = fx;
            out.forces[3 * i + 1] = fy;
            out.forces[3 * i + 2] = fz;
            out.energies[i] = e;
        }
    });

    // Totals in atom and block order, whatever the thread count.
    for (std::size_t i = 0; i < n; ++i) out.energy += out.energies[i];
    for (std::size_t b = 0; b < vir_block.size(); b += 9)
        for (int a = 0; a < 9; ++a) out.virial[a] += vir_block[b + a];
    return out;
}

}  // namespace corvane::kernels
