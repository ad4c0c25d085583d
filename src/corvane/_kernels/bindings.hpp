#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane::bindings {

namespace py = pybind11;

// C-contiguous float64 / int64 views of array-likes (a copy only when needed).
using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// A numpy array that takes over a kernel's result vector (no copy).
template <typename T>
py::array_t<T> owned_array(std::vector<T>&& v, std::vector<py::ssize_t> shape) {
    auto* heap = new std::vector<T>(std::move(v));
    py::capsule owner(heap, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<T>(shape, heap->data(), owner);
}

// An (N, width) float64 array (an empty sequence gives (0, width)); ValueError naming `what`.
DoubleArray rows_array(py::handle value, py::ssize_t width, const char* what);

// positions (N, 3) and cell (3, 3) as contiguous float64; raises ValueError on wrong shapes.
DoubleArray positions_array(py::handle positions);
DoubleArray cell_array(py::handle cell);
std::array<bool, 3> pbc_array(py::handle pbc);

void bind_neighbors(py::module_& m);
void bind_polycrystal(py::module_& m);
void bind_tersoff(py::module_& m);
void bind_layers(py::module_& m);
void bind_twins(py::module_& m);
void bind_ace(py::module_& m);

}  // namespace corvane::bindings
