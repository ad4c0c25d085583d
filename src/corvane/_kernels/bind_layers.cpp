#include <layers.hpp>

#include "bindings.hpp"

namespace corvane::bindings {

namespace {

using rt::Int32Array;

Int32Array numbers_array(py::handle numbers, py::ssize_t n) {
    Int32Array a = rt::as_array<std::int32_t>(numbers);
    if (a.ndim() != 1 || a.shape(0) != n)
        rt::raise(PyExc_ValueError, "numbers must hold one entry per position");
    return a;
}

int axis_of(int axis) {
    if (axis < 0 || axis > 2) rt::raise(PyExc_ValueError, "direction must be 0, 1 or 2");
    return axis;
}

py::list layer_groups(py::handle positions, int axis, double tol) {
    DoubleArray pos = positions_array(positions);
    axis_of(axis);
    kernels::Layers layers;
    {
        py::gil_scoped_release nogil;
        layers =
            kernels::group_layers(pos.data(), static_cast<std::size_t>(pos.shape(0)), axis, tol);
    }
    py::list out;
    for (std::size_t k = 0; k < layers.count(); ++k) {
        auto begin = layers.offsets[k], end = layers.offsets[k + 1];
        std::vector<std::int64_t> layer(layers.atoms.begin() + begin, layers.atoms.begin() + end);
        out.append(owned_array(std::move(layer), {static_cast<py::ssize_t>(end - begin)}));
    }
    return out;
}

bool mirror_images(py::handle below, py::handle numbers_below, py::handle above,
                   py::handle numbers_above, py::handle cell, py::handle pbc, int axis,
                   double plane, double tol) {
    DoubleArray b = positions_array(below), a = positions_array(above);
    Int32Array zb = numbers_array(numbers_below, b.shape(0));
    Int32Array za = numbers_array(numbers_above, a.shape(0));
    DoubleArray c = cell_array(cell);
    std::array<bool, 3> p = pbc_array(pbc);
    axis_of(axis);
    py::gil_scoped_release nogil;
    return kernels::mirror_images(b.data(), zb.data(), static_cast<std::size_t>(b.shape(0)),
                                  a.data(), za.data(), static_cast<std::size_t>(a.shape(0)),
                                  c.data(), p.data(), axis, plane, tol);
}

py::tuple merge_close_atoms(py::handle positions, py::handle numbers, py::handle cell,
                            py::handle pbc, double cutoff) {
    DoubleArray pos = positions_array(positions);
    Int32Array z = numbers_array(numbers, pos.shape(0));
    DoubleArray c = cell_array(cell);
    std::array<bool, 3> p = pbc_array(pbc);
    kernels::Merged merged;
    {
        py::gil_scoped_release nogil;
        merged =
            kernels::merge_close_atoms(pos.data(), z.data(), static_cast<std::size_t>(pos.shape(0)),
                                       c.data(), p.data(), cutoff);
    }
    auto m = static_cast<py::ssize_t>(merged.keep.size());
    return py::make_tuple(owned_array(std::move(merged.keep), {m}),
                          owned_array(std::move(merged.positions), {m, 3}));
}

}  // namespace

void bind_layers(py::module_& m) {
    m.def("layer_groups", &layer_groups, py::arg("positions"), py::arg("axis"), py::arg("tol"),
          "Atom indices grouped into layers along axis (a new layer wherever the sorted "
          "coordinates jump by more than tol): a list of int64 arrays, lowest layer first.");
    m.def("mirror_images", &mirror_images, py::arg("below"), py::arg("numbers_below"),
          py::arg("above"), py::arg("numbers_above"), py::arg("cell"), py::arg("pbc"),
          py::arg("axis"), py::arg("plane"), py::arg("tol"),
          "Whether `below` reflected through the plane axis = plane matches `above` atom for "
          "atom and species for species within tol (periodic in the plane).");
    m.def("merge_close_atoms", &merge_close_atoms, py::arg("positions"), py::arg("numbers"),
          py::arg("cell"), py::arg("pbc"), py::arg("cutoff"),
          "Clusters of same-species atoms closer than cutoff (minimum image): (kept indices, "
          "average positions), one row per cluster.");
}

}  // namespace corvane::bindings
