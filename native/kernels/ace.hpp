// A linear atomic cluster expansion on Cartesian moment tensors, over the cell-list neighbour
// pairs. Each atom i sees its neighbours j (r_ij < cutoff) through the moments
//
//   A[c, nu, mu, comp] = sum_{j of element c} R_mu(r_ij) u_x^a u_y^b u_z^c     (a + b + c = nu)
//
// with u the unit bond vector, nu the tensor rank (0..3, one entry per independent component of
// the symmetric tensor) and R_mu(r) = T_mu(xi) fc(r) a Chebyshev polynomial in the distance scaled
// to [-1, 1] on [r_inner, cutoff] times fc(r) = (1 - r^2/cutoff^2)^3 (zero with its first two
// derivatives at the cutoff). The energy of atom i is its element's reference energy plus a
// polynomial of degree <= 3 in its moments (body order <= 4); the polynomial comes as a program of
// monomials built by the caller from the rotation-invariant contractions of the tensors.
//
// Below r_inner, where no data reach, the polynomials continue bounded, and a fixed repulsive
// core, core_energy * (core_radius / r - 1)^3 per pair closer than core_radius, keeps atoms
// apart (none when core_energy is 0). It is part of the energy ace_compute returns; ace_design
// leaves it out, since the fit's targets have it subtracted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::kernels {

constexpr int kAceMaxRank = 3;
constexpr int kAceMaxRadial = 16;

struct AceBasis {
    std::size_t nelem = 0;
    double cutoff = 0, r_inner = 0;
    double core_radius = 0, core_energy = 0;  // eV
    std::array<int, kAceMaxRank + 1> nrad{};  // radial functions used by each rank

    // Moments per neighbour element, and where rank nu starts among them.
    std::size_t slots() const;
    std::size_t rank_offset(int nu) const;
    // Throws std::invalid_argument for an unusable basis.
    void check() const;
};

// sum over terms t: out[t] += coef[t] * A[slot[3t]] * A[slot[3t+1]] * A[slot[3t+2]], a slot of -1
// standing for the factor 1. Slots index the moments of all elements: c * basis.slots() + s.
struct AceProgram {
    std::size_t outputs = 0;
    std::vector<std::int32_t> out;
    std::vector<double> coef;
    std::vector<std::int32_t> slots;
    std::size_t size() const { return out.size(); }
    // Throws std::invalid_argument if a slot or output is out of range.
    void check(std::size_t moments) const;
};

struct AceResult {
    double energy = 0;
    std::vector<double> energies;    // n: site energies
    std::vector<double> forces;      // n x 3
    std::array<double, 9> virial{};  // sum over bonds of r (x) dE/dr (eV); stress = virial / V
};

// Energy, site energies, forces and virial. `programs` holds one single-output program per
// element (the energy polynomial of a central atom of that element), `reference` one energy
// per element. `threads` <= 1 runs serially; results are identical for every thread count.
AceResult ace_compute(const double* positions, std::size_t n, const double* cell, const bool* pbc,
                      const std::int32_t* species, const AceBasis& basis, const double* reference,
                      const AceProgram* programs, int threads);

// The rows of a least-squares fit for one structure, with columns e * K + k (e the element of the
// central atom, k an output of `program`, K = program.outputs):
//   descriptors  n x K: each atom's outputs;
//   energy       nelem * K: their sums over the atoms of each element;
//   forces       3n x nelem * K: minus their derivatives by each atom's coordinates;
//   virial       9 x nelem * K: sum over bonds of r (x) d(output)/dr.
// Forces and virial only when `derivatives` is set.
struct AceDesign {
    std::vector<double> descriptors, energy, forces, virial;
};

AceDesign ace_design(const double* positions, std::size_t n, const double* cell, const bool* pbc,
                     const std::int32_t* species, const AceBasis& basis, const AceProgram& program,
                     bool derivatives);

}  // namespace corvane::kernels
