// Layer analysis of slabs: grouping atoms into layers along an axis, testing whether two layers
// are mirror images of each other, and merging atoms that (nearly) coincide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::kernels {

// Atoms grouped into layers along one Cartesian axis. Layer k holds
// atoms[offsets[k] .. offsets[k + 1]), in ascending atom index; layers come in ascending order
// of their coordinate.
struct Layers {
    std::vector<std::int64_t> atoms;
    std::vector<std::int64_t> offsets;  // size = number of layers + 1
    std::size_t count() const { return offsets.empty() ? 0 : offsets.size() - 1; }
};

// positions: n x 3 Cartesian (row-major). Sorted along `axis`, a new layer starts wherever the
// gap to the previous coordinate exceeds `tol`. O(n log n). Throws std::invalid_argument for
// coordinates that are not finite.
Layers group_layers(const double* positions, std::size_t n, int axis, double tol);

// True when the atoms `below`, reflected through the plane `axis` = plane, land one-to-one on the
// atoms `above` with the same atomic numbers, each within `tol`. Distances are taken with the
// minimum image over the periodic lattice vectors lying in the plane (those of `cell` with
// `pbc` set and no component along `axis`); other directions are not wrapped. O(n) with a cell
// list.
bool mirror_images(const double* below, const std::int32_t* numbers_below, std::size_t n_below,
                   const double* above, const std::int32_t* numbers_above, std::size_t n_above,
                   const double* cell, const bool* pbc, int axis, double plane, double tol);

// Atoms closer than `cutoff` to an atom of the same species (minimum image) are joined into
// clusters, chains included; each cluster becomes one atom at the average of its members'
// positions, unwrapped through the bond vectors from its lowest-indexed member.
struct Merged {
    std::vector<std::int64_t> keep;  // the lowest-indexed member of each cluster, ascending
    std::vector<double> positions;   // 3 per kept atom
};
Merged merge_close_atoms(const double* positions, const std::int32_t* numbers, std::size_t n,
                         const double* cell, const bool* pbc, double cutoff);

}  // namespace corvane::kernels
