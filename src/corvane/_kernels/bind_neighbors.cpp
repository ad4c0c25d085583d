#include <neighbors.hpp>

#include "bindings.hpp"

namespace corvane::bindings {

DoubleArray rows_array(py::handle value, py::ssize_t width, const char* what) {
    DoubleArray a = DoubleArray::ensure(value);
    if (!a) throw py::error_already_set();
    if (a.ndim() == 1 && a.shape(0) == 0) return DoubleArray(std::vector<py::ssize_t>{0, width});
    if (a.ndim() != 2 || a.shape(1) != width)
        throw py::value_error(std::string(what) + " must have shape (N, " + std::to_string(width) +
                              ")");
    return a;
}

DoubleArray positions_array(py::handle positions) { return rows_array(positions, 3, "positions"); }

DoubleArray cell_array(py::handle cell) {
    DoubleArray a = DoubleArray::ensure(cell);
    if (!a) throw py::error_already_set();
    if (a.ndim() != 2 || a.shape(0) != 3 || a.shape(1) != 3)
        throw py::value_error("cell must have shape (3, 3)");
    return a;
}

std::array<bool, 3> pbc_array(py::handle pbc) {
    auto a = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(pbc);
    if (!a) throw py::error_already_set();
    if (a.size() == 1) return {a.data()[0], a.data()[0], a.data()[0]};
    if (a.size() != 3) throw py::value_error("pbc must have three entries");
    return {a.data()[0], a.data()[1], a.data()[2]};
}

namespace {

py::tuple neighbor_pairs(py::handle positions, py::handle cell, py::handle pbc, double cutoff) {
    DoubleArray pos = positions_array(positions);
    DoubleArray c = cell_array(cell);
    std::array<bool, 3> p = pbc_array(pbc);
    kernels::NeighborPairs pairs;
    {
        py::gil_scoped_release nogil;
        pairs = kernels::neighbor_pairs(pos.data(), static_cast<std::size_t>(pos.shape(0)), c.data(),
                                        p.data(), cutoff);
    }
    auto n = static_cast<py::ssize_t>(pairs.size());
    return py::make_tuple(owned_array(std::move(pairs.first), {n}), owned_array(std::move(pairs.second), {n}),
                          owned_array(std::move(pairs.shift), {n, 3}),
                          owned_array(std::move(pairs.vector), {n, 3}));
}

py::array_t<std::int64_t> cluster_labels(py::handle positions, py::handle cell, py::handle pbc,
                                         double cutoff) {
    DoubleArray pos = positions_array(positions);
    DoubleArray c = cell_array(cell);
    std::array<bool, 3> p = pbc_array(pbc);
    auto n = static_cast<std::size_t>(pos.shape(0));
    std::vector<std::int64_t> labels;
    {
        py::gil_scoped_release nogil;
        labels = kernels::cluster_labels(kernels::neighbor_pairs(pos.data(), n, c.data(), p.data(), cutoff), n);
    }
    return owned_array(std::move(labels), {static_cast<py::ssize_t>(n)});
}

}  // namespace

void bind_neighbors(py::module_& m) {
    m.def("neighbor_pairs", &neighbor_pairs, py::arg("positions"), py::arg("cell"), py::arg("pbc"),
          py::arg("cutoff"),
          "All pairs closer than cutoff: (i, j, shifts, vectors), sorted by i; both orders of "
          "each pair. vectors[k] = positions[j] + shifts[k] @ cell - positions[i].");
    m.def("cluster_labels", &cluster_labels, py::arg("positions"), py::arg("cell"), py::arg("pbc"),
          py::arg("cutoff"),
          "Labels of the clusters of atoms linked by distances below cutoff (minimum image): "
          "each atom gets the smallest index of its cluster.");
}

}  // namespace corvane::bindings
