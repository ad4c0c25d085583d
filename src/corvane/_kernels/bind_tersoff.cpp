#include <tersoff.hpp>

#include "bindings.hpp"

#include <vector>

namespace corvane::bindings {

namespace {

// Entries of an (E, E, E, 14) parameter array whose triple is marked in `present` (E, E, E).
std::vector<kernels::TersoffParams> prepared_table(py::handle params, py::handle present,
                                                   std::size_t& nelem) {
    DoubleArray v = rt::as_array<double>(params);
    rt::ArrayOf<bool> mask = rt::as_array<bool>(present);
    if (v.ndim() != 4 || v.shape(0) != v.shape(1) || v.shape(0) != v.shape(2) ||
        v.shape(3) != static_cast<py::ssize_t>(kernels::kTersoffFields))
        rt::raise(PyExc_ValueError, "params must have shape (E, E, E, 14)");
    nelem = static_cast<std::size_t>(v.shape(0));
    if (mask.ndim() != 3 || static_cast<std::size_t>(mask.size()) != nelem * nelem * nelem)
        rt::raise(PyExc_ValueError, "present must have shape (E, E, E)");
    std::vector<kernels::TersoffParams> table(nelem * nelem * nelem);
    for (std::size_t t = 0; t < table.size(); ++t)
        if (mask.data()[t])
            table[t] = kernels::tersoff_prepare(v.data() + kernels::kTersoffFields * t);
    return table;
}

void check_entry(py::handle values) {
    DoubleArray v = rt::as_array<double>(values);
    if (v.size() != static_cast<py::ssize_t>(kernels::kTersoffFields))
        rt::raise(PyExc_ValueError, "a Tersoff entry has 14 numbers");
    kernels::tersoff_prepare(v.data());
}

py::tuple tersoff(py::handle positions, py::handle cell, py::handle pbc, py::handle species,
                  py::handle params, py::handle present, int threads) {
    DoubleArray pos = positions_array(positions);
    DoubleArray c = cell_array(cell);
    std::array<bool, 3> p = pbc_array(pbc);
    rt::Int32Array sp = rt::as_array<std::int32_t>(species);
    const auto n = static_cast<std::size_t>(pos.shape(0));
    if (sp.ndim() != 1 || static_cast<std::size_t>(sp.shape(0)) != n)
        rt::raise(PyExc_ValueError, "species must have one entry per atom");
    std::size_t nelem = 0;
    std::vector<kernels::TersoffParams> table = prepared_table(params, present, nelem);
    kernels::TersoffResult r;
    {
        py::gil_scoped_release nogil;
        r = kernels::tersoff_compute(pos.data(), n, c.data(), p.data(), sp.data(), nelem,
                                     table.data(), threads);
    }
    const auto sn = static_cast<py::ssize_t>(n);
    std::vector<double> virial(r.virial.begin(), r.virial.end());
    return py::make_tuple(r.energy, owned_array(std::move(r.energies), {sn}),
                          owned_array(std::move(r.forces), {sn, 3}),
                          owned_array(std::move(virial), {3, 3}));
}

}  // namespace

void bind_tersoff(py::module_& m) {
    m.def("tersoff", &tersoff, py::arg("positions"), py::arg("cell"), py::arg("pbc"),
          py::arg("species"), py::arg("params"), py::arg("present"), py::arg("threads") = 1,
          "Tersoff energy, site energies (N,), forces (N, 3) and virial (3, 3) = sum of "
          "r (x) dE/dr over bonds, in eV. params (E, E, E, 14): entries m ... A of each element "
          "triple (i, j, k) in parameter-file order; present (E, E, E) marks the given ones.");
    m.def("tersoff_check_entry", &check_entry, py::arg("values"),
          "Raises ValueError if the 14 numbers m ... A are not a legal Tersoff entry.");
}

}  // namespace corvane::bindings
