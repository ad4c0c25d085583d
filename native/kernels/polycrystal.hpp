// Polycrystal kernels: filling the Voronoi grains of a periodic box with rotated copies of a seed
// crystal, and removing atoms that come too close to each other (typically across grain
// boundaries). Both are linear in the number of atoms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::kernels {

struct GrainFill {
    std::vector<double> positions;     // 3 per atom (Angstrom)
    std::vector<std::int32_t> grain;   // grain index (0-based) of each atom
    std::vector<std::int32_t> site;    // index of the seed atom each atom copies
    std::vector<std::int64_t> counts;  // atoms per grain
    std::size_t size() const { return grain.size(); }
};

// Fills the periodic Voronoi tessellation of an orthorhombic box.
//   box:        the three edge lengths (Angstrom), all > 0;
//   centres:    n_grains x 3 grain centres (any position; taken modulo the box), pairwise distinct;
//   rotations:  n_grains x 9, row-major rotation matrices R: a seed vector x becomes R x;
//   seed_cell:  3 x 3, rows are the seed's lattice vectors;
//   basis:      n_basis x 3 Cartesian positions of the seed atoms (any lattice image).
// Grain g holds every point of the rotated seed lattice, with its origin on centre g, that lies
// closer to centre g than to any other centre or periodic image of a centre. A point on a
// boundary goes to exactly one of the grains it touches (within a relative 1e-9 of the boundary).
// With `wrap`, positions are folded into [0, box); otherwise they stay where the grain put them.
// Throws std::invalid_argument on a degenerate box or seed cell or coinciding centres.
GrainFill fill_voronoi_grains(const double* box, const double* centres, std::size_t n_grains,
                              const double* rotations, const double* seed_cell, const double* basis,
                              std::size_t n_basis, bool wrap);

// Greedy removal of close atoms: atoms are visited in index order and each atom still kept
// removes every later atom closer than `distance` to it (periodic, through neighbor_pairs).
// No two kept atoms are then closer than `distance`, and every removed atom had a kept
// neighbour closer than that. Returns one flag per atom (1 = keep). An atom's closeness to its
// own periodic images (a cell shorter than `distance`) is ignored.
std::vector<std::uint8_t> close_atom_keep_mask(const double* positions, std::size_t n,
                                               const double* cell, const bool* pbc,
                                               double distance);

}  // namespace corvane::kernels
