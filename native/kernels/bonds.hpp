// Bond types per atom and the bond-strength sums of the bond-based hardness model.
//
// Species are small integer codes 0 .. nspecies-1 given per atom by the caller. Everything here
// is linear in the number of atoms and pairs (for a bounded number of bond types per atom).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::kernels {

// For every atom, its distinct bond types in creation order. The types of atom a are the entries
// offsets[a] .. offsets[a+1]-1 of the per-type arrays.
struct BondTypeTable {
    std::vector<std::int64_t> offsets;       // natoms + 1
    std::vector<std::int32_t> neighbor;      // species of the neighbour, per type
    std::vector<double> distance;            // running mean of the merged bond lengths, per type
    std::vector<std::int64_t> count;         // number of bonds merged into the type
    std::vector<std::int64_t> coordination;  // pairs whose first atom is a, per atom
    std::size_t natoms() const { return coordination.size(); }
    std::size_t ntypes() const { return neighbor.size(); }
};

// Groups the ordered pairs (first[k], second[k], length[k]) per first atom. Within one atom the
// pairs are taken in the given order: a pair joins the first existing type with the same neighbour
// species whose running mean differs from its length by strictly less than `tolerance` (the mean
// is then updated with the old count), or starts a new type of count 1. Throws
// std::out_of_range for an atom index outside 0 .. natoms-1.
BondTypeTable group_bonds(const std::int64_t* first, const std::int64_t* second,
                          const double* length, std::size_t npairs, const std::int32_t* species,
                          std::size_t natoms, double tolerance);

// Mean coordination of each species over all its atoms (NaN for a species without atoms).
std::vector<double> mean_coordination(const std::int64_t* coordination, const std::int32_t* species,
                                      std::size_t natoms, std::size_t nspecies);

// Effective coordination of the model: (4 - c) * 6 below 4, c otherwise.
inline double effective_coordination(double c) { return c < 4 ? (4 - c) * 6 : c; }

// The species whose element value the bond-strength sum reads, in the order it first reads them:
// the central atom's species for each atom with bonds, then the neighbour species of each of its
// bond types that is not skipped (see bond_strength).
std::vector<std::int32_t> species_needed(const BondTypeTable& table, const std::int32_t* species,
                                         const double* mean_cn, std::size_t nspecies);

struct BondStrength {
    std::int64_t total_types = 0;  // (atom, bond type) pairs, skipped ones included
    std::int64_t factors = 0;      // factors that entered the mean
    double log_mean = 0;           // sum of log(factor) / total_types (compensated sum)
    bool zero = false;             // a factor was exactly zero
    // exp(log_mean), or 0 when a factor is zero: the geometric mean of the factors over
    // total_types, the skipped types counting as factors of 1.
    double geometric_mean() const;
};

// For each atom a with coordination > 0 and each of its bond types t (neighbour species s):
//   factor = sqrt(e[sp(a)] * e[s]) / (eff(cn[a]) * eff(mean_cn[s]) * distance[t]) * count[t],
// skipping types with eff(mean_cn[s]) == 0 or distance < 1e-6. `e` holds the element value of
// each species (only those named by species_needed are read).
BondStrength bond_strength(const BondTypeTable& table, const std::int32_t* species,
                           const double* mean_cn, const double* e);

}  // namespace corvane::kernels
