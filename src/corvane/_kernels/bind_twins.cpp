#include <twins.hpp>

#include "bindings.hpp"

namespace corvane::bindings {

namespace {

using rt::Int32Array;

py::array_t<std::int64_t> plane_basis(py::handle cell, py::handle hkl) {
    DoubleArray c = cell_array(cell);
    IntArray h = rt::as_array<std::int64_t>(hkl);
    if (h.ndim() != 1 || h.shape(0) != 3)
        rt::raise(PyExc_ValueError, "hkl must hold three integers");
    std::array<std::int64_t, 9> rows = kernels::plane_basis(c.data(), h.data());
    return owned_array(std::vector<std::int64_t>(rows.begin(), rows.end()), {3, 3});
}

std::int64_t coincidence_index(py::handle lattice, py::handle op, std::int64_t max_denominator,
                               double tol) {
    DoubleArray l = cell_array(lattice), o = cell_array(op);
    return kernels::coincidence_index(l.data(), o.data(), max_denominator, tol);
}

py::array_t<std::int64_t> shell_mismatches(py::handle positions, py::handle numbers,
                                           py::handle site, py::handle cell, py::handle pbc,
                                           py::handle bulk_positions, py::handle bulk_numbers,
                                           py::handle bulk_cell, double cutoff, double tol) {
    DoubleArray pos = positions_array(positions), bpos = positions_array(bulk_positions);
    Int32Array z = rt::as_array<std::int32_t>(numbers),
               bz = rt::as_array<std::int32_t>(bulk_numbers);
    IntArray s = rt::as_array<std::int64_t>(site);
    if (z.size() != pos.shape(0) || s.size() != pos.shape(0))
        rt::raise(PyExc_ValueError, "numbers and site must hold one entry per position");
    if (bz.size() != bpos.shape(0))
        rt::raise(PyExc_ValueError, "bulk_numbers must hold one entry per bulk position");
    DoubleArray c = cell_array(cell), bc = cell_array(bulk_cell);
    std::array<bool, 3> p = pbc_array(pbc);
    std::vector<std::int64_t> bad;
    {
        py::gil_scoped_release nogil;
        bad = kernels::shell_mismatches(
            pos.data(), z.data(), s.data(), static_cast<std::size_t>(pos.shape(0)), c.data(),
            p.data(), bpos.data(), bz.data(), static_cast<std::size_t>(bpos.shape(0)), bc.data(),
            cutoff, tol);
    }
    auto n = static_cast<py::ssize_t>(bad.size());
    return owned_array(std::move(bad), {n});
}

}  // namespace

void bind_twins(py::module_& m) {
    m.def("plane_basis", &plane_basis, py::arg("cell"), py::arg("hkl"),
          "Integer rows n1, n2, n3 (units of the cell's rows): n1, n2 a reduced basis of the "
          "lattice vectors in the plane (h k l), n3 one plane spacing above it.");
    m.def("coincidence_index", &coincidence_index, py::arg("lattice"), py::arg("op"),
          py::arg("max_denominator") = 60, py::arg("tol") = 1e-4,
          "[L : L n op(L)] for the lattice with rows `lattice` and the Cartesian linear map op; "
          "0 beyond max_denominator.");
    m.def("shell_mismatches", &shell_mismatches, py::arg("positions"), py::arg("numbers"),
          py::arg("site"), py::arg("cell"), py::arg("pbc"), py::arg("bulk_positions"),
          py::arg("bulk_numbers"), py::arg("bulk_cell"), py::arg("cutoff"), py::arg("tol"),
          "Indices of the atoms whose neighbours within cutoff differ (number, species, or "
          "distance beyond tol) from those of their site in the periodic bulk crystal.");
}

}  // namespace corvane::bindings
