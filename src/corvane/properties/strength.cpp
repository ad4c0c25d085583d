// corvane.properties.strength: ideal tensile and shear strength. A homogeneous strain is raised
// step by step on the cell (atoms follow the cell, never relaxed), the calculator's stress is
// projected on the loading directions, and the whole curve is returned and can be plotted.
//
// The per-step work here is a handful of 3x3 operations; everything that grows with the number
// of atoms happens in the structure's set_cell and in the calculator.
#include <corvane/runtime.hpp>
#include <corvane/arrays.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace rt = corvane::rt;
namespace py = pybind11;

namespace {

using rt::truthy;

// ---------------------------------------------------------------------------------------------

// The three components of `value` when it is a float64 vector of three items (a numpy array
// or a sequence of floats); false otherwise, and the caller takes numpy's path and its errors.
bool float64_vector3(py::handle value, double out[3]) {
    py::array arr = py::array::ensure(value);  // a null handle when it does not convert
    if (!arr) return false;
    if (!arr.dtype().is(py::dtype::of<double>()) || arr.ndim() != 1 || arr.shape(0) != 3)
        return false;
    rt::DoubleArray v = rt::as_array<double>(arr);  // a view: already float64, maybe strided
    for (int i = 0; i < 3; ++i) out[i] = v.data()[i];
    return true;
}

// A real number (int, float, numpy float64): the one case where eps * outer(u, w) is a plain
// scaling.
bool real_scalar(py::handle h, double& out) {
    if (PyBool_Check(h.ptr()) || !(PyFloat_Check(h.ptr()) || PyLong_Check(h.ptr()))) return false;
    out = PyFloat_Check(h.ptr()) ? PyFloat_AS_DOUBLE(h.ptr()) : PyLong_AsDouble(h.ptr());
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// F = I + strain * outer(u, w), element by element as numpy computes it:
// F[i][j] = delta_ij + strain * (u[i] * w[j]).
py::array_t<double> deformation(double strain, const double* u, const double* w) {
    std::vector<double> F(9);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double outer = u[i] * w[j];
            double scaled = strain * outer;
            F[3 * i + j] = (i == j ? 1.0 : 0.0) + scaled;
        }
    return rt::owned_array(std::move(F), {3, 3});
}

// apply_strain(atoms, strain, direction1, direction2=None)
py::object apply_strain(rt::Call& call) {
    py::handle atoms = call.arg("atoms"), strain = call.arg("strain");
    py::handle direction1 = call.arg("direction1"), direction2 = call.arg("direction2");

    py::object original_cell = atoms.attr("info")[py::str("original_cell")];
    py::handle w = direction2.is_none() ? direction1 : direction2;

    // numpy's outer and identity are Python-level helpers that cost more than the rest of the
    // step together; F is built here for the usual inputs (a real strain, float64 directions),
    // through numpy for anything else. The product stays numpy's dot, bit for bit.
    py::object np = call.global("np");
    py::object F;
    double eps;
    if (real_scalar(strain, eps)) {
        double u[3], v[3];
        if (float64_vector3(direction1, u) && float64_vector3(w, v)) F = deformation(eps, u, v);
    }
    if (!F) {
        py::object outer = np.attr("outer")(direction1, w);
        F = rt::add(np.attr("identity")(3), rt::mul(strain, outer));
    }
    py::object new_cell = np.attr("dot")(original_cell, F.attr("T"));
    atoms.attr("set_cell")(new_cell, py::arg("scale_atoms") = true);
    return py::reinterpret_borrow<py::object>(atoms);
}

// The strain grid: numpy's arange(start, end + step, step), without the points that rounding
// (or an end that is not on the grid) puts beyond `end`. A strain past the one asked for is a
// wrong result and can take the structure far from where the user meant to stop.
py::object strain_grid(py::handle np, py::handle start, py::handle end, py::handle step) {
    py::object grid = np.attr("arange")(start, rt::add(end, step), step);
    Py_ssize_t n = py::len(grid);
    if (n == 0) return grid;

    double s0 = rt::as_double(start), s1 = rt::as_double(end), ds = rt::as_double(step);
    // Far below any step a user asks for, far above the rounding of start + i * step.
    double tol = 1e-7 * std::fabs(ds) + 8 * DBL_EPSILON * std::max(std::fabs(s0), std::fabs(s1));
    double sign = ds < 0 ? -1.0 : 1.0;

    rt::DoubleArray values = rt::as_array<double>(grid);
    const double* view = values.data();
    Py_ssize_t keep = n;
    while (keep > 0 && (view[keep - 1] - s1) * sign > tol) --keep;
    if (keep == n) return grid;
    return grid[py::slice(0, keep, 1)];
}

// calculate_stress_strain_curve(atoms, direction1, direction2=None, start_strain=0.0,
//                               end_strain=0.2, interval_strain=0.01, calculator=None)
py::object calculate_stress_strain_curve(rt::Call& call) {
    py::handle atoms = call.arg("atoms"), direction1 = call.arg("direction1");
    py::handle direction2 = call.arg("direction2"), calculator = call.arg("calculator");
    py::handle start_strain = call.arg("start_strain"), end_strain = call.arg("end_strain");
    py::handle interval_strain = call.arg("interval_strain");

    py::object np = call.global("np");
    py::object norm = np.attr("linalg").attr("norm");
    py::object d1 = np.attr("array")(direction1);
    d1 = rt::truediv(d1, norm(d1));
    py::object d2 = py::none();
    if (!direction2.is_none()) {
        d2 = np.attr("array")(direction2);
        d2 = rt::truediv(d2, norm(d2));
    }

    if (truthy(calculator)) atoms.attr("calc") = calculator;
    atoms.attr("info")[py::str("original_cell")] = atoms.attr("get_cell")().attr("copy")();

    py::list strains, stress_tensors, stresses;

    rt::print("--- Running Simulation ---");
    rt::print(rt::concat({py::str("Strain range: "), rt::format(start_strain, ""), py::str(" to "),
                          rt::format(end_strain, ""), py::str(" with step "),
                          rt::format(interval_strain, "")}));

    const bool tensile = d2.is_none();
    py::str label(tensile ? ", Tensile Stress: " : ", Shear Stress: ");
    py::object grid = strain_grid(np, start_strain, end_strain, interval_strain);
    for (py::handle strain : grid) {
        call.global("apply_strain")(atoms, strain, d1, d2);
        py::object stress_tensor = atoms.attr("get_stress")(py::arg("voigt") = false);
        strains.append(strain);
        stress_tensors.append(stress_tensor);

        py::object dot = call.global("np").attr("dot");
        py::object s = dot(dot(stress_tensor, tensile ? d1 : d2), d1);
        py::object gpa = rt::truediv(s, call.global("units").attr("GPa"));
        rt::print(rt::concat({py::str("Strain: "), rt::format(strain, ".4f"), label,
                              rt::format(gpa, ".2f"), py::str(" GPa")}));
        stresses.append(s);
    }

    rt::print("--- Simulation Finished ---\n");
    py::object array = call.global("np").attr("array");
    return py::make_tuple(array(strains), array(stresses), array(stress_tensors));
}

// calculate_tensile_strength(atoms, direction, **kwargs)
py::object calculate_tensile_strength(rt::Call& call) {
    py::dict given;
    given["direction1"] = call.arg("direction");
    return rt::call_with_kwargs(call.global("calculate_stress_strain_curve"),
                                py::make_tuple(call.arg("atoms")), given, call.arg("kwargs"));
}

// calculate_shear_strength(atoms, direction, slip_direction, **kwargs)
py::object calculate_shear_strength(rt::Call& call) {
    py::dict given;
    given["direction1"] = call.arg("direction");
    given["direction2"] = call.arg("slip_direction");
    return rt::call_with_kwargs(call.global("calculate_stress_strain_curve"),
                                py::make_tuple(call.arg("atoms")), given, call.arg("kwargs"));
}

// plot_stress_strain(plot_data, colors=None)
py::object plot_stress_strain(rt::Call& call) {
    py::handle plot_data = call.arg("plot_data");
    py::object colors = py::reinterpret_borrow<py::object>(call.arg("colors"));

    std::vector<py::object> fig_ax = rt::unpack(
        call.global("plt").attr("subplots")(py::arg("figsize") = py::make_tuple(8, 6)), 2);
    py::object fig = fig_ax[0], ax = fig_ax[1];

    if (!truthy(colors)) {
        py::list defaults;
        for (const char* c : {"#000000", "#d62728", "#2ca02c", "#1f77b4", "#9467bd"})
            defaults.append(py::str(c));
        colors = defaults;
    }

    Py_ssize_t color_idx = 0;
    for (py::handle item : plot_data.attr("items")()) {
        std::vector<py::object> entry = rt::unpack(item, 2);
        std::vector<py::object> curve = rt::unpack(entry[1], 3);
        rt::print(rt::add(py::str("Plotting results for: "), rt::format(entry[0], "")));
        py::object stresses_gpa = rt::truediv(curve[1], call.global("units").attr("GPa"));
        py::object index = rt::remainder(py::int_(color_idx), py::int_(py::len(colors)));
        py::object color = colors[index];
        ax.attr("plot")(curve[0], stresses_gpa, "o-", py::arg("label") = curve[2],
                        py::arg("color") = color, py::arg("markerfacecolor") = "none",
                        py::arg("markersize") = 6, py::arg("lw") = 1.5);
        ++color_idx;
    }

    ax.attr("set_xlabel")("Strain", py::arg("fontsize") = 14);
    ax.attr("set_ylabel")("Stress (GPa)", py::arg("fontsize") = 14);
    ax.attr("set_title")("Stress-Strain Curves", py::arg("fontsize") = 16);
    ax.attr("tick_params")(py::arg("axis") = "both", py::arg("which") = "major",
                           py::arg("labelsize") = 12);
    ax.attr("legend")(py::arg("fontsize") = 12, py::arg("frameon") = false);
    call.global("plt").attr("tight_layout")();
    call.global("plt").attr("show")();
    return py::make_tuple(call.global("plt"), fig);
}

const char* const kApplyStrainDoc = R"(
    Applies a homogeneous strain to the structure, in place.

    The strain is applied to the cell stored in atoms.info["original_cell"], so it is
    absolute, not an increment on the current cell; the atoms follow the cell (their
    fractional coordinates are kept).

    Args:
        atoms: ASE Atoms object whose info holds "original_cell".
        strain: Magnitude of the strain.
        direction1: Unit vector of the tension direction, or of the shear direction.
        direction2: None for a uniaxial tension along direction1; otherwise the unit
            normal of the slip plane, so that the displacement along direction1 grows
            with each cell vector's component along direction2.

    Returns:
        The same atoms object, deformed.
    )";

const char* const kCurveDoc = R"(
    Calculates a stress-strain curve under tensile or shear strain.

    The strain runs from start_strain to end_strain in steps of interval_strain; at each
    step the cell is strained from its original shape, the atoms follow the cell, and the
    stress is projected on the loading directions. The structure is left at the last
    strain, with its cell before the run in atoms.info["original_cell"].

    Args:
        atoms: ASE Atoms object.
        direction1: Tension direction, or shear direction (normalised here).
        direction2: None for a tensile test; otherwise the slip-plane normal of a shear
            test (normalised here).
        start_strain: First strain of the grid.
        end_strain: Last strain of the grid.
        interval_strain: Strain step.
        calculator: ASE calculator to attach to atoms; when not given, the calculator
            already attached is used.

    Returns:
        Tuple of numpy arrays (strains, stresses, stress_tensors): the strains, the
        projected stresses and the full 3x3 stress tensors, stresses in eV/A^3.
    )";

}  // namespace

PYBIND11_MODULE(strength, m) {
    rt::Module mod(m);
    mod.import("numpy", "np");
    mod.import("matplotlib.pyplot", "plt");
    mod.from_import("ase.build", {"bulk"});
    mod.from_import("ase.calculators.emt", {"EMT"});
    mod.from_import("ase", {"units"});

    mod.def(apply_strain, rt::Sig("apply_strain")
                              .arg("atoms")
                              .arg("strain")
                              .arg("direction1")
                              .opt("direction2", py::none())
                              .doc(kApplyStrainDoc));
    mod.def(calculate_stress_strain_curve, rt::Sig("calculate_stress_strain_curve")
                                               .arg("atoms")
                                               .arg("direction1")
                                               .opt("direction2", py::none())
                                               .opt("start_strain", py::float_(0.0))
                                               .opt("end_strain", py::float_(0.2))
                                               .opt("interval_strain", py::float_(0.01))
                                               .opt("calculator", py::none())
                                               .doc(kCurveDoc));
    mod.def(calculate_tensile_strength, rt::Sig("calculate_tensile_strength")
                                            .arg("atoms")
                                            .arg("direction")
                                            .varkw("kwargs")
                                            .doc("\n    Wrapper for a uniaxial tensile.\n    "));
    mod.def(calculate_shear_strength, rt::Sig("calculate_shear_strength")
                                          .arg("atoms")
                                          .arg("direction")
                                          .arg("slip_direction")
                                          .varkw("kwargs")
                                          .doc("\n    Wrapper for a shear.\n    "));
    mod.def(plot_stress_strain,
            rt::Sig("plot_stress_strain")
                .arg("plot_data")
                .opt("colors", py::none())
                .doc("\n    Plots multiple stress-strain curves from calculated data.\n    "));
}
