#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>

namespace corvane::bindings {

namespace py = pybind11;

// C-contiguous float64 / int64 views of array-likes (a copy only when needed).
using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// positions (N, 3) and cell (3, 3) as contiguous float64; raises ValueError on wrong shapes.
DoubleArray positions_array(py::handle positions);
DoubleArray cell_array(py::handle cell);
std::array<bool, 3> pbc_array(py::handle pbc);

void bind_neighbors(py::module_& m);
void bind_polycrystal(py::module_& m);
void bind_tersoff(py::module_& m);
void bind_layers(py::module_& m);

}  // namespace corvane::bindings
