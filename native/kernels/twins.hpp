// Geometry of twins: the lattice basis of a plane, the coincidence index of a lattice operation,
// grains stacked from an oriented unit cell, and the comparison of every atom's first neighbour
// shell with that of its site in the bulk crystal.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::kernels {

// Integer rows n1, n2, n3 (in units of the rows of `cell`, row-major 3 x 3) of a basis of the
// lattice in which n1 and n2 span the lattice vectors lying in the plane (h k l), Gauss-reduced
// (shortest first), and n3 is a lattice vector one plane spacing above the plane whose in-plane
// part is as short as possible. (n1 x n2) . n3 > 0 in Cartesian coordinates. Throws
// std::invalid_argument for indices (0 0 0) or a cell without volume.
std::array<std::int64_t, 9> plane_basis(const double* cell, const std::int64_t* hkl);

// [L : L n op(L)] for the lattice L with rows `lattice` and the linear map `op` (3 x 3 acting on
// Cartesian column vectors): 1 when op maps the lattice onto itself, 3 for the mirror normal to
// a cubic <111>. Returns 0 when op is integral in the lattice's basis for no denominator up to
// `max_denominator` (no coincidence lattice of that order).
std::int64_t coincidence_index(const double* lattice, const double* op,
                               std::int64_t max_denominator, double tol);

// One grain: the images linear . (r + m u3) + shift of the unit's atoms r (m any integer) whose
// height lies in (z_low, z_high].
struct GrainImage {
    std::array<double, 9> linear;
    std::array<double, 3> shift;
    double z_low, z_high;
};

struct StackedGrains {
    std::vector<double> positions;    // 3 per atom
    std::vector<std::int64_t> site;   // the unit atom each atom is an image of
    std::vector<std::int64_t> grain;  // the grain it belongs to
    std::size_t size() const { return site.size(); }
};

// Grains in the given order, within a grain by atom of the unit then m. The map's height
// must depend on m (u3 not in the plane of the map's rows): std::invalid_argument otherwise.
StackedGrains stack_grains(const double* unit_positions, std::size_t n, const double* u3,
                           const std::vector<GrainImage>& grains);

// The atoms whose neighbours closer than `cutoff` differ from those of their site in the bulk
// crystal: in number, in species, or in distance by more than `tol` (neighbours compared
// species by species in order of distance). The bulk crystal is periodic in all three
// directions; `site` gives each atom's bulk atom. Ascending atom indices.
std::vector<std::int64_t> shell_mismatches(const double* positions, const std::int32_t* numbers,
                                           const std::int64_t* site, std::size_t n,
                                           const double* cell, const bool* pbc,
                                           const double* bulk_positions,
                                           const std::int32_t* bulk_numbers, std::size_t nbulk,
                                           const double* bulk_cell, double cutoff, double tol);

}  // namespace corvane::kernels
