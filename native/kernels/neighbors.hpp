// Periodic neighbour search with a cell list: every pair of atoms closer than a cutoff, in any
// cell shape (triclinic, shorter than the cutoff, partly or wholly non-periodic). O(N) for a
// fixed density.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::kernels {

struct NeighborPairs {
    std::vector<std::int64_t> first;   // i
    std::vector<std::int64_t> second;  // j
    std::vector<std::int32_t> shift;   // 3 per pair: r_j + shift . cell - r_i is the bond vector
    std::vector<double> vector;        // 3 per pair: that bond vector (Angstrom)
    std::size_t size() const { return first.size(); }
};

// positions: n x 3 Cartesian (row-major); cell: 3 x 3, rows are the lattice vectors;
// pbc: periodicity along each lattice vector. Returns both (i, j) and (j, i) of every pair
// within `cutoff`, sorted by i (stable in j's discovery order); self-images of a periodic
// atom count as pairs, an atom with itself at zero shift does not.
NeighborPairs neighbor_pairs(const double* positions, std::size_t n, const double* cell,
                             const bool* pbc, double cutoff);

// The same pairs written into `out`, whose storage is reused: a caller evaluating one system
// step after step keeps its lists instead of faulting in fresh pages for them every step.
void neighbor_pairs(NeighborPairs& out, const double* positions, std::size_t n, const double* cell,
                    const bool* pbc, double cutoff);

// Empties `v` for reuse at about `size` elements; storage far beyond that is given back.
template <typename T>
void reuse(std::vector<T>& v, std::size_t size) {
    if (v.capacity() > 4 * size + 4096) std::vector<T>().swap(v);
    v.clear();
}

// For each atom, the number of pairs whose first atom it is (size n).
std::vector<std::int64_t> count_per_atom(const NeighborPairs& pairs, std::size_t n);

// Groups atoms linked by pairs into clusters (connected components; union-find, near O(P)).
// Each atom's label is the smallest atom index of its cluster.
std::vector<std::int64_t> cluster_labels(const NeighborPairs& pairs, std::size_t n);

}  // namespace corvane::kernels
