// The kernel bindings of corvane._kernels: one bind_<area> per file, registered in module.cpp.
#pragma once

#include <corvane/arrays.hpp>
#include <corvane/runtime.hpp>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace corvane::bindings {

namespace py = pybind11;
namespace rt = corvane::rt;

// Arrays cross through the runtime's one way (corvane/arrays.hpp).
using rt::cell_array;
using rt::DoubleArray;
using rt::IntArray;
using rt::owned_array;
using rt::pbc_array;
using rt::positions_array;
using rt::rows_array;

void bind_neighbors(py::module_& m);
void bind_polycrystal(py::module_& m);
void bind_tersoff(py::module_& m);
void bind_layers(py::module_& m);
void bind_twins(py::module_& m);
void bind_ace(py::module_& m);

}  // namespace corvane::bindings
