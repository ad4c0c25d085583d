// The Tersoff bond-order potential for any number of elements: energy, site energies, forces and
// virial, over the cell-list neighbour pairs. Parameters follow the conventions of LAMMPS-format
// Tersoff files, one entry per ordered element triple (i, j, k):
//
//   E = 1/2 sum_i sum_{j != i} fc(r_ij) [ A exp(-lambda1 r_ij) - b_ij B exp(-lambda2 r_ij) ]
//   b_ij = (1 + (beta zeta_ij)^n)^(-1/(2n))
//   zeta_ij = sum_{k != i, j} fc(r_ik) g(cos theta_ijk) exp((lambda3 (r_ij - r_ik))^m)
//   g(cos) = gamma (1 + c^2/d^2 - c^2 / (d^2 + (costheta0 - cos)^2))
//   fc(r) = 1/2 (1 - sin(pi/2 (r - R)/D)) for R - D < r < R + D
//
// The pair terms (n, beta, lambda2, B, R, D, lambda1, A) of bond i-j come from entry (i, j, j);
// the three-body terms (m, gamma, lambda3, c, d, costheta0) and the cutoff of r_ik in zeta_ij from
// entry (i, j, k). b_ij uses the same asymptotic branches as LAMMPS, so energies agree with it to
// rounding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::kernels {

// One parameter-file entry, in the file's order, plus values derived from it.
struct TersoffParams {
    double m = 0, gamma = 0, lam3 = 0, c = 0, d = 0, h = 0, n = 0, beta = 0, lam2 = 0, B = 0, R = 0,
           D = 0, lam1 = 0, A = 0;
    // Derived by tersoff_prepare.
    double cut = 0, cutsq = 0, c1 = 0, c2 = 0, c3 = 0, c4 = 0;
    int powermint = 3;
    bool present = false;
};

constexpr std::size_t kTersoffFields = 14;

// Builds an entry from the 14 numbers of a file line (m ... A); checks them as LAMMPS does and
// derives the cutoff and the b_ij branch limits. Throws std::invalid_argument for an illegal
// entry (negative c, d, n, beta, lambda2, B, R, D, lambda1, A or gamma, D > R, m not 1 or 3,
// d = 0).
TersoffParams tersoff_prepare(const double* values);

struct TersoffResult {
    double energy = 0;
    std::vector<double> energies;    // n: each bond's energy shared equally by its two atoms
    std::vector<double> forces;      // n x 3
    std::array<double, 9> virial{};  // sum over bonds of r (x) dE/dr (eV); stress = virial / V
};

// positions n x 3, cell 3 x 3 (rows are lattice vectors), pbc 3 flags, species n indices into
// 0..nelem-1; params nelem^3 entries indexed (i * nelem + j) * nelem + k, each present entry
// prepared. Every triple of species that occurs must be present, and entries (i, j, j) need
// n > 0 (std::invalid_argument otherwise). `threads` <= 1 runs serially; results are identical
// for every thread count.
TersoffResult tersoff_compute(const double* positions, std::size_t n, const double* cell,
                              const bool* pbc, const std::int32_t* species, std::size_t nelem,
                              const TersoffParams* params, int threads);

}  // namespace corvane::kernels
