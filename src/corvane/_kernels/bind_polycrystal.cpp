#include <polycrystal.hpp>

#include "bindings.hpp"

namespace corvane::bindings {

namespace {

py::tuple fill_voronoi_grains(py::handle box, py::handle centres, py::handle rotations,
                              py::handle seed_cell, py::handle basis, bool wrap) {
    DoubleArray b = rt::as_array<double>(box);
    if (b.ndim() != 1 || b.shape(0) != 3)
        rt::raise(PyExc_ValueError, "box must hold three edge lengths");
    DoubleArray c = rows_array(centres, 3, "centres");
    DoubleArray r = rt::as_array<double>(rotations);
    auto n_grains = static_cast<std::size_t>(c.shape(0));
    if (r.size() != static_cast<py::ssize_t>(9 * n_grains))
        rt::raise(PyExc_ValueError, "rotations must have shape (N, 3, 3), one per centre");
    DoubleArray cell = cell_array(seed_cell);
    DoubleArray s = rows_array(basis, 3, "basis");
    kernels::GrainFill fill;
    {
        py::gil_scoped_release nogil;
        // std::invalid_argument reaches Python as ValueError.
        fill = kernels::fill_voronoi_grains(b.data(), c.data(), n_grains, r.data(), cell.data(),
                                            s.data(), static_cast<std::size_t>(s.shape(0)), wrap);
    }
    auto n = static_cast<py::ssize_t>(fill.size());
    auto g = static_cast<py::ssize_t>(n_grains);
    return py::make_tuple(
        owned_array(std::move(fill.positions), {n, 3}), owned_array(std::move(fill.grain), {n}),
        owned_array(std::move(fill.site), {n}), owned_array(std::move(fill.counts), {g}));
}

py::array_t<bool> close_atom_keep_mask(py::handle positions, py::handle cell, py::handle pbc,
                                       double distance) {
    DoubleArray pos = positions_array(positions);
    DoubleArray c = cell_array(cell);
    std::array<bool, 3> p = pbc_array(pbc);
    auto n = static_cast<std::size_t>(pos.shape(0));
    std::vector<std::uint8_t> keep;
    {
        py::gil_scoped_release nogil;
        keep = kernels::close_atom_keep_mask(pos.data(), n, c.data(), p.data(), distance);
    }
    return owned_array<std::uint8_t, bool>(std::move(keep), {static_cast<py::ssize_t>(n)});
}

}  // namespace

void bind_polycrystal(py::module_& m) {
    m.def("fill_voronoi_grains", &fill_voronoi_grains, py::arg("box"), py::arg("centres"),
          py::arg("rotations"), py::arg("seed_cell"), py::arg("basis"), py::arg("wrap") = true,
          "Fill the periodic Voronoi grains of an orthorhombic box (three edge lengths) with the "
          "seed crystal (cell rows, Cartesian basis) rotated by rotations[g] about centres[g]. "
          "Returns (positions (n, 3), grain (n,), site (n,), counts (n_grains,)).");
    m.def("close_atom_keep_mask", &close_atom_keep_mask, py::arg("positions"), py::arg("cell"),
          py::arg("pbc"), py::arg("distance"),
          "Greedy close-atom removal: True for the atoms to keep, so that no two kept atoms are "
          "closer than distance (minimum image); earlier atoms win.");
}

}  // namespace corvane::bindings
