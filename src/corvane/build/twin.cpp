// corvane.build.twin: coherent twin boundaries built from a bulk crystal.
//
// A slab is cut parallel to the twinning plane, its mirror plane is found, and grains trimmed at
// that plane are mirrored and stacked along z into one periodic supercell.
#include <corvane/runtime.hpp>

#include <utility>
#include <vector>

namespace rt = corvane::rt;
namespace py = pybind11;
using namespace pybind11::literals;

namespace {

const char* const kNoMirrorPlane = "Failed to find any valid mirror plane by reflection.";

using rt::item;
using rt::steal;
using rt::truthy;

// self.name, as an object (for arithmetic and comparisons).
py::object get(py::handle self, const char* name) { return self.attr(name); }

// a[:, column]
py::object column(py::handle array, py::handle col) {
    py::object all = steal(PySlice_New(nullptr, nullptr, nullptr));
    return item(array, py::make_tuple(all, col));
}

// np.array([np.mean(positions[layer, direction]) for layer in layers])
py::object layer_coordinates(const rt::Call& call, py::handle positions, py::handle layers,
                             py::handle direction) {
    py::object np = call.global("np");
    py::list means;
    for (py::handle layer : layers)
        means.append(np.attr("mean")(item(positions, py::make_tuple(layer, direction))));
    return np.attr("array")(means);
}

// ---------------------------------------------------------------------------------------------
// CoherentTwinBoundary.__init__

py::object init(rt::Call& call) {
    py::handle self = call.arg("self"), bulk = call.arg("bulk"), plane = call.arg("plane");
    py::handle layers = call.arg("layers"), delete_layers = call.arg("delete_layers");
    py::handle direction = call.arg("direction");

    py::float_ tol_surface = rt::to_float(call.arg("tol_surface"));
    py::float_ tol_layer = rt::to_float(call.arg("tol_layer"));
    py::float_ average_cutoff = rt::to_float(call.arg("average_cutoff"));
    py::float_ gap = rt::to_float(call.arg("gap"));
    py::float_ vacuum = rt::to_float(call.arg("vacuum"));
    py::float_ symprec = rt::to_float(call.arg("symprec"));

    rt::check_exact(plane, &PyTuple_Type, "plane");
    if (!PyLong_CheckExact(layers.ptr())) rt::check_exact(layers, &PyList_Type, "layers");
    rt::check_exact(delete_layers, &PyList_Type, "delete_layers");
    rt::check_exact(direction, &PyLong_Type, "direction");

    self.attr("plane") = plane;
    self.attr("layers") = layers;
    self.attr("direction") = direction;
    self.attr("vacuum") = vacuum;
    self.attr("tol_surface") = tol_surface;
    self.attr("tol_layer") = tol_layer;
    self.attr("average_cutoff") = average_cutoff;
    self.attr("symprec") = symprec;
    self.attr("delete_layers") = delete_layers;
    self.attr("gap") = gap;

    if (py::isinstance(bulk, call.global("Atoms")))
        self.attr("bulk") = bulk;
    else
        self.attr("bulk") = call.global("read")(bulk);

    if (PyLong_Check(get(self, "layers").ptr())) {
        py::list one;
        one.append(get(self, "layers"));
        self.attr("layers") = one;
    }
    get(self, "layers").attr("sort")("reverse"_a = true);

    self.attr("grains") = py::list();
    self.attr("grain_boundary") = py::none();
    self.attr("grain_template") = py::none();

    if (get(self, "direction").not_equal(py::int_(2)))
        rt::raise(PyExc_ValueError, "Only support z direction, where 'direction=2'");
    return py::none();
}

const char* const kInitDoc = R"(
        Initializes the CoherentTwinBoundary object.

        Args:
            bulk (str | Atoms): The bulk crystal structure, an ASE Atoms object or the path
                of a structure file that ASE can read.
            plane (tuple): Miller indices (h, k, l) of the twinning plane.
            layers (list): Thickness of each grain in layer units (interplanar spacings of the
                twinning plane). A single integer gives a standard two-grain twin boundary;
                a list gives the grain thicknesses of a multi-grain boundary.
            tol_surface (float): Tolerance handed to ASE's surface function.
            tol_layer (float): Tolerance for grouping atoms into layers in Angstroms.
            average_cutoff (float): Atoms closer than this distance in Angstroms are merged;
                zero or less disables merging.
            delete_layers (list): Layer indices to delete from the slab (negative indices
                count from the top); empty means the layers are found automatically from the
                mirror plane.
            gap (float): Separation gap between successive grains in Angstroms; zero means
                the interlayer spacing found at the mirror plane is used.
            vacuum (float): Vacuum in Angstroms added along the stacking direction; zero or
                less adds none.
            direction (int): The stacking direction normal to the grains (only 2, z).
            symprec (float): Symmetry precision for reducing the result to a primitive cell
                with spglib; values not above 1e-20 disable the reduction.
        )";

// ---------------------------------------------------------------------------------------------
// CoherentTwinBoundary.find_mirror_plane

py::object find_mirror_plane(rt::Call& call) {
    py::handle grain = call.arg("grain"), direction = call.arg("direction");
    py::float_ tol = rt::to_float(call.arg("tol"));
    rt::check_exact(direction, &PyLong_Type, "direction");

    py::object positions = grain.attr("get_positions")();
    py::object layers_indices =
        call.global("get_layers")(positions, "direction"_a = direction, "tol"_a = tol);
    Py_ssize_t n_layers = py::len(layers_indices);
    if (n_layers < 2) return py::make_tuple(py::none(), py::float_(0.0));
    py::object layer_coords = layer_coordinates(call, positions, layers_indices, direction);
    Py_ssize_t n_coords = py::len(layer_coords);

    // Planes through a layer, from the top of the slab down.
    for (Py_ssize_t i = n_coords - 2; i >= 2; --i) {
        py::object candidate = item(layer_coords, i);
        py::object below = item(grain, item(layers_indices, i - 1));
        py::object above = item(grain, item(layers_indices, i + 1));
        if (truthy(
                call.global("check_reflection_symmetry")(candidate, direction, tol, below, above)))
            return py::make_tuple(py::int_(i), py::float_(0.0));
    }
    // Planes midway between two layers.
    for (Py_ssize_t i = n_coords - 2; i >= 2; --i) {
        py::object lower = item(layer_coords, i), upper = item(layer_coords, i + 1);
        py::object candidate = (lower + upper) / py::float_(2.0);
        py::object below = item(grain, item(layers_indices, i));
        py::object above = item(grain, item(layers_indices, i + 1));
        if (truthy(
                call.global("check_reflection_symmetry")(candidate, direction, tol, below, above)))
            return py::make_tuple(py::int_(i), upper - lower);
    }
    return py::make_tuple(py::none(), py::int_(0));
}

const char* const kFindMirrorPlaneDoc = R"(
        Finds a mirror plane in a slab structure.

        Args:
            grain (Atoms): The slab structure to search.
            direction (int): The direction normal to the slab (0=x, 1=y, 2=z).
            tol (float): The tolerance for matching atom positions.

        Returns:
            tuple: (index, offset). The plane passes through layer `index` when offset is
            0.0, or lies midway between layers `index` and `index + 1`, offset being their
            spacing. (None, 0) when no mirror plane is found.
        )";

// ---------------------------------------------------------------------------------------------
// CoherentTwinBoundary._guess_delete_layers

py::object guess_delete_layers(rt::Call& call) {
    py::handle self = call.arg("self"), grain = call.arg("grain"), nlayers = call.arg("nlayers");
    py::object index = py::reinterpret_borrow<py::object>(call.arg("index"));

    py::object delete_layers = get(self, "delete_layers");
    py::object gap = get(self, "gap");
    py::object result;
    if (truthy(delete_layers)) {
        result = delete_layers;
    } else {
        py::list temp_delete_layers;
        py::object direction = get(self, "direction");
        py::object positions = grain.attr("get_positions")();
        py::object layers_indices = call.global("get_layers")(positions, "direction"_a = direction,
                                                              "tol"_a = get(self, "tol_layer"));
        if (index.is_none()) {
            py::object found = get(self, "find_mirror_plane")(grain, get(self, "direction"),
                                                              "tol"_a = get(self, "tol_layer"));
            std::vector<py::object> index_gap = rt::unpack(found, 2);
            index = index_gap[0];
            gap = index_gap[1];
        }
        if (!truthy(index)) rt::raise(PyExc_ValueError, kNoMirrorPlane);

        py::object layer_coords =
            layer_coordinates(call, positions, layers_indices, get(self, "direction"));
        Py_ssize_t first = py::cast<Py_ssize_t>(steal(PyNumber_Index(index.ptr())));
        Py_ssize_t n_coords = py::len(layer_coords);
        for (Py_ssize_t i = first + 1; i < n_coords; ++i) temp_delete_layers.append(py::int_(i));

        py::object d_hkl = call.global("compute_d_hkl")(get(self, "bulk"), get(self, "plane"));
        py::object la = d_hkl * py::reinterpret_borrow<py::object>(nlayers);
        py::object right_p = item(layer_coords, index) - la + py::float_(0.5) * gap;
        py::object left_p = right_p - py::float_(0.5) * get(self, "tol_layer");
        py::object below = steal(PyObject_RichCompare(layer_coords.ptr(), left_p.ptr(), Py_LT));
        py::object where = call.global("np").attr("where")(below);
        for (py::handle i : item(where, 0))
            temp_delete_layers.append(py::int_(py::reinterpret_borrow<py::object>(i)));
        result = temp_delete_layers;
    }
    if (get(self, "gap").equal(py::float_(0.0))) self.attr("gap") = gap;
    return result;
}

const char* const kGuessDeleteLayersDoc =
    " Guesses layers to delete based on finding a mirror plane for a given number of layers. ";

// ---------------------------------------------------------------------------------------------
// CoherentTwinBoundary.generate_grains

// Layer indices past either end of the slab delete nothing; the user hears so on standard error
// (a warning, since the grain is still well defined) instead of getting a silently thicker grain.
void warn_ignored_layers(py::handle delete_indices, Py_ssize_t n_surf_layers) {
    py::list ignored;
    for (py::handle i : delete_indices) {
        py::object index = py::reinterpret_borrow<py::object>(i);
        if (index < py::int_(-n_surf_layers) || index >= py::int_(n_surf_layers))
            ignored.append(index);
    }
    if (py::len(ignored) == 0) return;
    ignored.attr("sort")();
    std::string message =
        "delete_layers: the slab has " + std::to_string(n_surf_layers) + " layers (indices 0 to " +
        std::to_string(n_surf_layers - 1) + " or -1 to -" + std::to_string(n_surf_layers) +
        "); nothing deleted for out-of-range entries " + py::str(ignored).cast<std::string>();
    rt::check(PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1));
}

py::object generate_grains(rt::Call& call) {
    py::handle self = call.arg("self");

    py::object n_layers = call.global("max")(get(self, "layers")) + py::int_(3);
    py::object surf = call.global("surface")(get(self, "bulk"), get(self, "plane"), n_layers,
                                             "vacuum"_a = 10.0, "tol"_a = get(self, "tol_surface"));
    py::object all_surf_layers =
        call.global("get_layers")(surf.attr("positions"), "direction"_a = get(self, "direction"),
                                  "tol"_a = get(self, "tol_layer"));
    py::object found = get(self, "find_mirror_plane")(surf, get(self, "direction"),
                                                      "tol"_a = get(self, "tol_layer"));
    std::vector<py::object> index_gap = rt::unpack(found, 2);
    py::object index = index_gap[0], gap = index_gap[1];
    if (!truthy(get(self, "gap"))) self.attr("gap") = gap;

    py::object d1 = get(self, "_guess_delete_layers")(surf, 1, "index"_a = index);
    py::object d2 = get(self, "_guess_delete_layers")(surf, 2, "index"_a = index);
    Py_ssize_t nl_per_layer =
        static_cast<Py_ssize_t>(py::len(d2)) - static_cast<Py_ssize_t>(py::len(d1));

    py::list grains;
    self.attr("grains") = grains;
    py::object delete_indices =
        get(self, "_guess_delete_layers")(surf, item(get(self, "layers"), 0), "index"_a = index);

    py::object layers = get(self, "layers");
    py::int_ zero(0);
    Py_ssize_t il = 0;
    for (py::handle entry : layers) {
        py::object n_layers_il = py::reinterpret_borrow<py::object>(entry);
        Py_ssize_t n_surf_layers = py::len(all_surf_layers);
        py::set normalized_deleted;
        for (py::handle i : delete_indices) {
            if (py::reinterpret_borrow<py::object>(i) >= zero)
                normalized_deleted.add(i);
            else
                normalized_deleted.add(py::int_(n_surf_layers) +
                                       py::reinterpret_borrow<py::object>(i));
        }
        if (il == 0) warn_ignored_layers(delete_indices, n_surf_layers);
        py::list atoms_to_keep;
        for (Py_ssize_t i = 0; i < n_surf_layers; ++i) {
            if (normalized_deleted.contains(py::int_(i))) continue;
            atoms_to_keep.attr("extend")(item(all_surf_layers, i));
        }
        py::object grain = item(surf, atoms_to_keep);
        get(self, "grains").attr("append")(grain);
        if (il < static_cast<Py_ssize_t>(py::len(get(self, "layers"))) - 1) {
            surf = get(self, "mirror_grain")(grain);
            all_surf_layers = call.global("get_layers")(surf.attr("positions"),
                                                        "direction"_a = get(self, "direction"),
                                                        "tol"_a = get(self, "tol_layer"));
            py::object next = item(get(self, "layers"), il + 1);
            py::object start = py::int_(-nl_per_layer) * (next - n_layers_il);
            delete_indices = call.global("range")(start, 0);
        }
        ++il;
    }

    for (Py_ssize_t idx = static_cast<Py_ssize_t>(py::len(grains)) - 1; idx >= 0; --idx)
        grains.append(get(self, "mirror_grain")(item(grains, idx)));
    return std::move(grains);
}

const char* const kGenerateGrainsDoc = R"(
        Generates a sequence of grains by creating a library of unique base grains and
        then assembling them with the correct orientation.
        )";

// ---------------------------------------------------------------------------------------------
// CoherentTwinBoundary.mirror_grain

py::object mirror_grain(rt::Call& call) {
    py::handle self = call.arg("self"), grain = call.arg("grain");
    py::object mirrored_grain = grain.attr("copy")();
    py::object positions = mirrored_grain.attr("get_scaled_positions")();
    py::object mirrored_positions =
        call.global("mirror_array")(positions, "direction"_a = get(self, "direction"));
    mirrored_positions = call.global("np").attr("mod")(mirrored_positions, 1);
    mirrored_grain.attr("set_scaled_positions")(mirrored_positions);
    return mirrored_grain;
}

const char* const kMirrorGrainDoc = R"(
        Creates a mirrored copy of the input grain.

        Args:
            grain (Atoms): The grain to mirror.

        Returns:
            Atoms: A new grain, reflected along the stacking direction.
        )";

// ---------------------------------------------------------------------------------------------
// CoherentTwinBoundary.stack_grains

py::object stack_grains(rt::Call& call) {
    py::handle self = call.arg("self"), grains = call.arg("grains");
    double gap = rt::as_double(call.arg("gap"));
    rt::check_exact(grains, &PyList_Type, "grains");

    py::object np = call.global("np");
    py::object direction = get(self, "direction");

    py::object total_thickness = py::int_(0);
    for (py::handle grain : grains)
        total_thickness =
            total_thickness + np.attr("ptp")(column(grain.attr("positions"), direction));
    Py_ssize_t n_grains = py::len(grains);
    py::float_ total_gap(n_grains >= 2 ? static_cast<double>(n_grains) * gap : 0.0);

    py::object cellpar = item(grains, 0).attr("cell").attr("cellpar")();
    // Zero or less means no vacuum: a negative value must not shorten the cell below the
    // stacked grains (which would overlap their periodic images).
    py::object vacuum = get(self, "vacuum");
    py::object length = total_thickness + total_gap;
    if (vacuum > py::int_(0)) length = length + vacuum;
    rt::check(PyObject_SetItem(cellpar.ptr(), direction.ptr(), length.ptr()));
    py::object final_cell = call.global("Cell").attr("fromcellpar")(cellpar);
    py::object final_atoms = call.global("Atoms")("pbc"_a = true, "cell"_a = final_cell);

    py::object current_pos_z = py::float_(0.0);
    for (py::handle grain : grains) {
        py::object temp_grain = grain.attr("copy")();
        py::object positions = temp_grain.attr("get_positions")();
        py::object min_z = np.attr("min")(column(positions, direction));
        py::object col = column(positions, direction);
        steal(PyNumber_InPlaceAdd(col.ptr(), (current_pos_z - min_z).ptr()));
        temp_grain.attr("set_positions")(positions);
        final_atoms.attr("extend")(temp_grain);
        py::object max_z = np.attr("max")(column(positions, direction));
        current_pos_z = max_z + py::float_(gap);
    }

    if (get(self, "vacuum") > py::int_(0))
        final_atoms.attr("center")("axis"_a = direction,
                                   "vacuum"_a = get(self, "vacuum") / py::float_(2.0));
    if (get(self, "average_cutoff") > py::int_(0))
        final_atoms = call.global("average_atoms")(final_atoms, get(self, "average_cutoff"));
    if (get(self, "symprec") > py::float_(1e-20)) {
        py::object spglib = py::module_::import("spglib");
        py::object atoms_to_spglib_cell =
            py::module_::import("ase.utils").attr("atoms_to_spglib_cell");
        py::object spglib_cell = atoms_to_spglib_cell(final_atoms);
        spglib_cell =
            spglib.attr("find_primitive")(spglib_cell, "symprec"_a = get(self, "symprec"));
        final_atoms = call.global("Atoms")("cell"_a = item(spglib_cell, 0),
                                           "scaled_positions"_a = item(spglib_cell, 1),
                                           "numbers"_a = item(spglib_cell, 2));
    }
    self.attr("grain_boundary") = final_atoms;
    return final_atoms;
}

const char* const kStackGrainsDoc = R"(
        Stacks a list of grains to create the twin boundary structure.

        Args:
            grains (list): A list of ASE Atoms objects representing the grains.
            gap (float): Separation gap between each grain in Angstroms.

        Returns:
            Atoms: The final twin boundary structure.
        )";

// ---------------------------------------------------------------------------------------------
// CoherentTwinBoundary.create

py::object create(rt::Call& call) {
    py::handle self = call.arg("self"), supercell = call.arg("supercell");
    py::object grains = get(self, "generate_grains")();
    py::object grain_boundary = get(self, "stack_grains")(grains, "gap"_a = get(self, "gap"));
    py::object np = call.global("np");
    // A zero or negative repetition has no meaning (its product would silently give the 1x1x1
    // cell or skip the supercell altogether).
    py::object counts = np.attr("asarray")(supercell);
    py::object too_small = steal(PyObject_RichCompare(counts.ptr(), py::int_(1).ptr(), Py_LT));
    if (truthy(np.attr("any")(too_small))) {
        rt::raise(PyExc_ValueError,
                  "supercell: every repetition must be a positive integer, got %S",
                  supercell.ptr());
    }
    if (np.attr("prod")(supercell) > py::int_(1))
        grain_boundary = call.global("make_supercell")(grain_boundary, np.attr("diag")(supercell));
    return call.global("sort")(grain_boundary);
}

const char* const kCreateDoc = R"(
        A high-level method to execute the full workflow of creating the twin boundary.
        )";

}  // namespace

PYBIND11_MODULE(twin, m) {
    rt::Module mod(m);
    mod.import("numpy", "np");
    mod.from_import("ase.build", {"surface", "sort", "make_supercell"});
    mod.from_import("ase.io", {"read"});
    mod.from_import("ase.cell", {"Cell"});
    mod.from_import("ase.atoms", {"Atoms"});
    mod.from_import("..core", {"average_atoms", "mirror_array", "compute_d_hkl",
                               "check_reflection_symmetry", "get_layers"});

    py::list default_layers;
    default_layers.append(3);
    py::list default_delete_layers;

    rt::ClassBuilder(
        mod, "CoherentTwinBoundary",
        "\n    A class to create a coherent twin boundary from a bulk crystal structure.\n    ")
        .def(init, rt::Sig("__init__")
                       .arg("self")
                       .arg("bulk", "str | Atoms")
                       .opt("plane", py::make_tuple(1, 1, 1), "tuple")
                       .opt("layers", default_layers, "list")
                       .opt("tol_surface", py::float_(0.02), "float")
                       .opt("tol_layer", py::float_(0.1), "float")
                       .opt("average_cutoff", py::float_(0.2), "float")
                       .opt("delete_layers", default_delete_layers, "list")
                       .opt("gap", py::float_(0.0), "float")
                       .opt("vacuum", py::float_(0.0), "float")
                       .opt("direction", py::int_(2), "int")
                       .opt("symprec", py::float_(0.0), "float")
                       .doc(kInitDoc))
        .def(find_mirror_plane, rt::Sig("find_mirror_plane")
                                    .arg("self")
                                    .arg("grain", "Atoms")
                                    .opt("direction", py::int_(2), "int")
                                    .opt("tol", py::float_(0.1), "float")
                                    .doc(kFindMirrorPlaneDoc))
        .def(guess_delete_layers, rt::Sig("_guess_delete_layers")
                                      .arg("self")
                                      .arg("grain")
                                      .arg("nlayers")
                                      .opt("index", py::none())
                                      .doc(kGuessDeleteLayersDoc))
        .def(generate_grains,
             rt::Sig("generate_grains").arg("self").returns("list").doc(kGenerateGrainsDoc))
        .def(mirror_grain, rt::Sig("mirror_grain")
                               .arg("self")
                               .arg("grain", "Atoms")
                               .returns("Atoms")
                               .doc(kMirrorGrainDoc))
        .def(stack_grains, rt::Sig("stack_grains")
                               .arg("self")
                               .arg("grains", "list")
                               .opt("gap", py::float_(0.0), "float")
                               .returns("Atoms")
                               .doc(kStackGrainsDoc))
        .def(create, rt::Sig("create")
                         .arg("self")
                         .opt("supercell",
                              [] {
                                  py::list l;
                                  for (int k = 0; k < 3; ++k) l.append(1);
                                  return l;
                              }())
                         .doc(kCreateDoc))
        .build();
}
