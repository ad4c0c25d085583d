#include <layers.hpp>

#include "bindings.hpp"

namespace corvane::bindings {

namespace {

using Int32Array = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

Int32Array numbers_array(py::handle numbers, py::ssize_t n) {
    Int32Array a = Int32Array::ensure(numbers);
    if (!a) throw py::error_already_set();
    if (a.ndim() != 1 || a.shape(0) != n)
        throw py::value_error("numbers must hold one entry per position");
    return a;
}

int axis_of(int axis) {
    if (axis < 0 || axis > 2) throw py::value_error("direction must be 0, 1 or 2");
    return axis;
}

py::list layer_groups(py::handle positions, int axis, double tol) {
    DoubleArray pos = positions_array(positions);
    axis_of(axis);
    kernels::Layers layers;
    {
        py::gil_scoped_release nogil;
        layers = kernels::group_layers(pos.data(), static_cast<std::size_t>(pos.shape(0)), axis, tol);
    }
    py::list out;
    for (std::size_t k = 0; k < layers.count(); ++k) {
        auto begin = layers.offsets[k], end = layers.offsets[k + 1];
        py::array_t<std::int64_t> layer(static_cast<py::ssize_t>(end - begin));
        std::copy(layers.atoms.begin() + begin, layers.atoms.begin() + end, layer.mutable_data());
        out.append(std::move(layer));
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
        merged = kernels::merge_close_atoms(pos.data(), z.data(), static_cast<std::size_t>(pos.shape(0)),
                                            c.data(), p.data(), cutoff);
    }
    auto m = static_cast<py::ssize_t>(merged.keep.size());
    py::array_t<std::int64_t> keep(m);
    std::copy(merged.keep.begin(), merged.keep.end(), keep.mutable_data());
    py::array_t<double> xyz({m, py::ssize_t{3}});
    std::copy(merged.positions.begin(), merged.positions.end(), xyz.mutable_data());
    return py::make_tuple(std::move(keep), std::move(xyz));
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
