#include <neighbors.hpp>

#include "bindings.hpp"

namespace corvane::bindings {

namespace {

py::tuple neighbor_pairs(py::handle positions, py::handle cell, py::handle pbc, double cutoff) {
    DoubleArray pos = positions_array(positions);
    DoubleArray c = cell_array(cell);
    std::array<bool, 3> p = pbc_array(pbc);
    kernels::NeighborPairs pairs;
    {
        py::gil_scoped_release nogil;
        pairs = kernels::neighbor_pairs(pos.data(), static_cast<std::size_t>(pos.shape(0)),
                                        c.data(), p.data(), cutoff);
    }
    auto n = static_cast<py::ssize_t>(pairs.size());
    return py::make_tuple(
        owned_array(std::move(pairs.first), {n}), owned_array(std::move(pairs.second), {n}),
        owned_array(std::move(pairs.shift), {n, 3}), owned_array(std::move(pairs.vector), {n, 3}));
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
        labels = kernels::cluster_labels(
            kernels::neighbor_pairs(pos.data(), n, c.data(), p.data(), cutoff), n);
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
