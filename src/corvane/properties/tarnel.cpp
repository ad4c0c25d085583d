// corvane.properties.tarnel: Šimůnek's bond-strength hardness of a crystal from its structure.
//
// The neighbour search is ASE's neighbor_list (looked up at each call); the grouping of bonds into
// bond types, the mean coordination per element and the product of bond strengths run in the
// kernels of native/kernels/bonds.hpp, linear in the number of atoms.
#include <corvane/arrays.hpp>
#include <corvane/runtime.hpp>

#include <bonds.hpp>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace rt = corvane::rt;
namespace py = pybind11;
namespace kn = corvane::kernels;

namespace {

const char* const kNoBonds = "No bonds found within the given cutoff radius.";

// The module's own _analyze_bonds; _calculate_hardness uses its result without building the
// BondType objects when the instance has not replaced it.
PyObject* own_analyze_bonds = nullptr;

// ---------------------------------------------------------------------------------------------
// Species: the distinct chemical symbols of a structure, coded 0, 1, ... in order of appearance.

struct Species {
    std::vector<py::object> symbol;     // code -> the symbol object
    std::vector<std::int32_t> of_atom;  // atom -> code
    std::size_t in_structure = 0;       // codes 0 .. in_structure-1 are the structure's symbols

    std::int32_t code(py::handle sym) {
        for (std::size_t s = 0; s < symbol.size(); ++s) {
            if (rt::check(PyObject_RichCompareBool(symbol[s].ptr(), sym.ptr(), Py_EQ)))
                return static_cast<std::int32_t>(s);
        }
        symbol.push_back(py::reinterpret_borrow<py::object>(sym));
        return static_cast<std::int32_t>(symbol.size() - 1);
    }
};

Species species_of(py::handle symbols) {
    py::object seq =
        rt::steal(PySequence_Fast(symbols.ptr(), "chemical symbols must be a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    PyObject** items = PySequence_Fast_ITEMS(seq.ptr());
    Species sp;
    sp.of_atom.resize(static_cast<std::size_t>(n));
    PyObject* last = nullptr;
    std::int32_t last_code = 0;
    for (Py_ssize_t a = 0; a < n; ++a) {
        // Symbols are usually shared string objects, so runs of one element cost nothing.
        if (items[a] != last) {
            last = items[a];
            last_code = sp.code(items[a]);
        }
        sp.of_atom[static_cast<std::size_t>(a)] = last_code;
    }
    sp.in_structure = sp.symbol.size();
    return sp;
}

struct Analysis {
    py::object symbols;  // atoms.get_chemical_symbols()
    Species species;
    kn::BondTypeTable table;
    std::vector<std::int64_t> all_coordination;  // of every atom of the structure
};

std::string utf8(py::handle obj) { return py::str(obj).cast<std::string>(); }

void print_report(const Analysis& an) {
    std::vector<std::string> names;
    for (const auto& s : an.species.symbol) names.push_back(utf8(s));
    const auto& t = an.table;
    rt::print(py::str("\n--- Bond Analysis Verbose Info ---"));
    for (std::size_t a = 0; a < t.natoms(); ++a) {
        std::string line = "Atom " + std::to_string(a) + " (" +
                           names[static_cast<std::size_t>(an.species.of_atom[a])] +
                           "): Total CN = " + std::to_string(t.coordination[a]);
        rt::print(py::str(line));
        if (t.offsets[a] == t.offsets[a + 1]) rt::print(py::str("  No bonds found within cutoff."));
        for (auto k = static_cast<std::size_t>(t.offsets[a]);
             k < static_cast<std::size_t>(t.offsets[a + 1]); ++k) {
            rt::print(py::str("  - Bond to " + names[static_cast<std::size_t>(t.neighbor[k])] +
                              ": count (nsij) = " + std::to_string(t.count[k]) + ", dist \u2248 " +
                              rt::fixed(t.distance[k], 3) + " \u00c5"));
        }
    }
    rt::print(py::str("----------------------------------\n"));
}

// The bond analysis without its Python result: neighbour list, bond types, report. `symbols`
// are the structure's chemical symbols when the caller has them already.
Analysis analyze(rt::Call& call, py::handle self, py::handle atoms, double rcut, double tolerance,
                 py::object symbols = py::object()) {
    Analysis an;
    an.symbols = symbols ? std::move(symbols) : py::object(atoms.attr("get_chemical_symbols")());
    an.species = species_of(an.symbols);
    const auto natoms = static_cast<std::size_t>(py::len(atoms));
    if (an.species.of_atom.size() != natoms)
        rt::raise(PyExc_ValueError, "the structure has %zu atoms but %zu chemical symbols", natoms,
                  an.species.of_atom.size());

    py::tuple ijd = call.global("neighbor_list")("ijd", atoms, py::float_(rcut));
    if (ijd.size() != 3) rt::raise(PyExc_ValueError, "neighbor_list did not return i, j and d");
    rt::IntArray first = rt::as_array<std::int64_t>(ijd[0]);
    rt::IntArray second = rt::as_array<std::int64_t>(ijd[1]);
    rt::DoubleArray length = rt::as_array<double>(ijd[2]);
    const auto npairs = static_cast<std::size_t>(first.size());
    if (static_cast<std::size_t>(second.size()) != npairs ||
        static_cast<std::size_t>(length.size()) != npairs)
        rt::raise(PyExc_ValueError, "neighbor_list returned arrays of different lengths");
    {
        py::gil_scoped_release nogil;
        an.table = kn::group_bonds(first.data(), second.data(), length.data(), npairs,
                                   an.species.of_atom.data(), natoms, tolerance);
    }
    an.all_coordination = an.table.coordination;
    if (rt::truthy(self.attr("verbose"))) print_report(an);
    return an;
}

// Turns what an _analyze_bonds (ours or a replacement) returned into a bond-type table.
void table_from_result(py::handle result, Analysis& an) {
    std::vector<py::object> pair = rt::unpack(result, 2);
    py::object grouped = pair[0];
    rt::IntArray cn = rt::as_array<std::int64_t>(pair[1]);
    const std::size_t nsymbols = an.species.of_atom.size();
    const auto natoms = static_cast<std::size_t>(py::len(grouped));
    if (natoms > nsymbols || static_cast<std::size_t>(cn.size()) < nsymbols)
        rt::raise(PyExc_IndexError, "index out of range");
    kn::BondTypeTable& t = an.table;
    t = kn::BondTypeTable();
    t.offsets.push_back(0);
    for (py::handle types : grouped) {
        for (py::handle bt : types) {
            t.neighbor.push_back(an.species.code(bt.attr("neighbor_sym")));
            t.distance.push_back(rt::as_double(bt.attr("representative_distance")));
            t.count.push_back(bt.attr("count").cast<std::int64_t>());
        }
        t.offsets.push_back(static_cast<std::int64_t>(t.neighbor.size()));
    }
    t.coordination.assign(cn.data(), cn.data() + natoms);
    an.all_coordination.assign(cn.data(), cn.data() + nsymbols);
}

// e(X) = |Z| / R for R > 0, else 0, from the parameter table.
py::object element_value(py::handle params, py::handle symbol) {
    py::object p = params[symbol];
    py::object r = p["R"];
    if (r > py::int_(0)) {
        py::object z = rt::steal(PyNumber_Absolute(py::object(p["Z"]).ptr()));
        return z / r;
    }
    return py::int_(0);
}

// ---------------------------------------------------------------------------------------------
// SimunekHardnessCalculator

py::object init(rt::Call& call) {
    py::handle self = call.arg("self");
    self.attr("C") = rt::to_float(call.arg("C"));
    self.attr("sigma") = rt::to_float(call.arg("sigma"));
    self.attr("verbose") = call.arg("verbose");
    return py::none();
}

py::object analyze_bonds(rt::Call& call) {
    const double rcut = rt::as_double(call.arg("rcut"));
    const double tolerance = rt::as_double(call.arg("tolerance"));
    Analysis an = analyze(call, call.arg("self"), call.arg("atoms"), rcut, tolerance);

    py::object bond_type = call.global("BondType");
    py::object float64 = call.global("np").attr("float64");
    py::str count_name("count");
    const auto& t = an.table;
    py::list grouped(t.natoms());
    for (std::size_t a = 0; a < t.natoms(); ++a) {
        py::list types;
        for (auto k = static_cast<std::size_t>(t.offsets[a]);
             k < static_cast<std::size_t>(t.offsets[a + 1]); ++k) {
            py::object bt = bond_type(an.species.symbol[static_cast<std::size_t>(t.neighbor[k])],
                                      float64(t.distance[k]));
            if (t.count[k] != 1) py::setattr(bt, count_name, py::int_(t.count[k]));
            types.append(bt);
        }
        grouped[a] = types;
    }
    std::vector<std::int64_t> coordination = t.coordination;
    return py::make_tuple(
        grouped, rt::owned_array(std::move(coordination), {static_cast<py::ssize_t>(t.natoms())}));
}

py::object calculate_hardness_dict(rt::Call& call) {
    py::handle self = call.arg("self"), element_params = call.arg("element_params");
    py::object atoms = py::reinterpret_borrow<py::object>(call.arg("atoms"));
    const double rcut = rt::as_double(call.arg("rcut"));
    const double tolerance = rt::as_double(call.arg("tolerance"));
    rt::check_exact(element_params, &PyDict_Type, "element_params", /*none_ok=*/true);

    if (!py::isinstance(atoms, call.global("Atoms"))) atoms = call.global("ase_read")(atoms);
    // An empty table falls back to the module's, as None does.
    py::object params =
        PyDict_Check(element_params.ptr()) && PyDict_GET_SIZE(element_params.ptr()) > 0
            ? py::reinterpret_borrow<py::object>(element_params)
            : call.global("ELEMENT_PARAMS");
    py::object symbols = atoms.attr("get_chemical_symbols")();

    Analysis an;
    py::object method = self.attr("_analyze_bonds");
    if (PyMethod_Check(method.ptr()) && PyMethod_GET_FUNCTION(method.ptr()) == own_analyze_bonds &&
        PyMethod_GET_SELF(method.ptr()) == self.ptr()) {
        an = analyze(call, self, atoms, rcut, tolerance, symbols);
    } else {
        py::object result = method(atoms, py::float_(rcut), py::float_(tolerance));
        an.symbols = symbols;
        an.species = species_of(symbols);
        table_from_result(result, an);
    }
    const kn::BondTypeTable& t = an.table;
    const auto total_bonds_type = static_cast<std::int64_t>(t.ntypes());
    if (total_bonds_type == 0) {
        py::dict err;
        err["error"] = kNoBonds;
        return std::move(err);
    }

    const std::size_t nspecies = an.species.symbol.size();
    std::vector<double> mean_cn = kn::mean_coordination(
        an.all_coordination.data(), an.species.of_atom.data(), an.species.of_atom.size(), nspecies);
    // Element values in the order the bond loop first asks for them, so that a symbol missing
    // from the table fails with the same KeyError whatever the size of the structure.
    std::vector<double> e(nspecies, 0.0);
    for (std::int32_t s :
         kn::species_needed(t, an.species.of_atom.data(), mean_cn.data(), nspecies))
        e[static_cast<std::size_t>(s)] =
            rt::as_double(element_value(params, an.species.symbol[static_cast<std::size_t>(s)]));
    kn::BondStrength strength;
    {
        py::gil_scoped_release nogil;
        strength = kn::bond_strength(t, an.species.of_atom.data(), mean_cn.data(), e.data());
    }

    py::object volume = atoms.attr("get_volume")();
    if (rt::as_double(volume) < 1e-6) rt::raise(PyExc_ValueError, "Unit cell volume is zero.");

    // The geometric mean from the mean of the logarithms: the product of the factors itself
    // leaves the range of a double for large structures.
    py::object np = call.global("np");
    const double bond_part =
        strength.geometric_mean() * static_cast<double>(total_bonds_type) / 2.0;
    py::object hv_bond_part =
        strength.factors > 0 ? np.attr("float64")(bond_part) : py::object(py::float_(bond_part));

    // The distinct symbols are known already: sorting them is sorting set(symbols).
    py::list distinct;
    for (std::size_t s = 0; s < an.species.in_structure; ++s) distinct.append(an.species.symbol[s]);
    py::list unique_symbols = call.global("sorted")(distinct);
    py::list e_per_type;
    for (py::handle s : unique_symbols) e_per_type.append(element_value(params, s));
    py::int_ nele(py::len(unique_symbols));
    py::object geom_mean_e = py::int_(0);
    if (py::len(unique_symbols) > 0)
        geom_mean_e = rt::power(np.attr("prod")(e_per_type), py::float_(1.0) / nele);
    py::object arith_mean_e = call.global("sum")(e_per_type);
    py::object fe = py::float_(1.0);
    if (arith_mean_e > py::int_(0))
        fe = py::int_(1) - rt::power(nele * geom_mean_e / arith_mean_e, py::float_(2.0));
    py::object C = self.attr("C");
    py::object sigma = self.attr("sigma");
    py::object hardness =
        (C / volume * hv_bond_part) * np.attr("exp")(py::float_(-1.0) * sigma * fe);

    py::dict result;
    result["ionicity_factor"] = fe;
    result["bond_contribution"] = hv_bond_part;
    result["total_bonds_type"] = py::int_(total_bonds_type);
    result["hardness"] = hardness;
    return std::move(result);
}

py::object calculate_hardness(rt::Call& call) {
    py::float_ rcut = rt::to_float(call.arg("rcut"));
    py::float_ tolerance = rt::to_float(call.arg("tolerance"));
    py::handle element_params = call.arg("element_params");
    rt::check_exact(element_params, &PyDict_Type, "element_params", /*none_ok=*/true);
    py::object result = call.arg("self").attr("_calculate_hardness")(
        py::arg("atoms") = call.arg("atoms"), py::arg("rcut") = rcut,
        py::arg("tolerance") = tolerance, py::arg("element_params") = element_params);
    if (rt::check(PySequence_Contains(result.ptr(), py::str("error").ptr())))
        rt::raise(PyExc_ValueError, rt::item(result, py::str("error")));
    return result["hardness"];
}

const char* const kClassDoc =
    "Calculates the hardness of a crystal based on its atomic structure using the Simunek method.\n"
    "\n"
    "References:\n"
    "    A. Simunek and J. Vackar, Phys. Rev. Lett. 96, 085501 (2006)\n"
    "    A. Simunek, Phys. Rev. B 75, 172108 (2007)\n";

const char* const kInitDoc =
    "Initializes the calculator.\n"
    "\n"
    "Args:\n"
    "    C (float): Model constant.\n"
    "    sigma (float): Model constant.\n"
    "    verbose (bool): If True, prints detailed bond analysis.\n";

const char* const kAnalyzeDoc =
    "Finds the neighbours of every atom and groups its bonds into bond types.\n"
    "\n"
    "Args:\n"
    "    atoms (Atoms): The structure.\n"
    "    rcut (float): The cutoff radius for finding neighbors.\n"
    "    tolerance (float): The distance tolerance to consider bonds as the same type.\n"
    "\n"
    "Returns:\n"
    "    grouped_bonds_by_atom (List[List[BondType]]): for every atom, in atom order, its\n"
    "        distinct bond types (neighbour element, mean length, number of bonds).\n"
    "    total_coordination_numbers (np.ndarray): the number of neighbours of every atom\n"
    "        within the cutoff.\n";

}  // namespace

PYBIND11_MODULE(tarnel, m) {
    rt::Module mod(m);
    mod.import("numpy", "np");
    mod.from_import("typing", {"Dict", "List", "Any", "Optional"});
    mod.from_import("dataclasses", {"dataclass"});
    mod.from_import("..data.elements", {"ELEMENTS"});
    mod.from_import("ase.neighborlist", {"neighbor_list"});
    mod.from_import("ase.atoms", {"Atoms"});
    mod.from_import_as("ase.io", "read", "ase_read");

    py::dict element_params;
    for (auto item : mod.get("ELEMENTS").attr("items")()) {
        py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
        py::dict entry;
        entry["Z"] = kv[1].attr("valence");
        entry["R"] = kv[1].attr("hard_rad");
        element_params[kv[0]] = entry;
    }
    mod.set("ELEMENT_PARAMS", element_params);

    py::dict fields;
    fields["neighbor_sym"] = mod.global("str");
    fields["representative_distance"] = mod.global("float");
    fields["count"] = mod.global("int");
    py::object bond_type =
        rt::ClassBuilder(mod, "BondType", "Represents a unique type of bond for a central atom.")
            .attr("__annotations__", fields)
            .attr("count", py::int_(1))
            .build();
    mod.set("BondType", mod.get("dataclass")(bond_type));

    py::object calc =
        rt::ClassBuilder(mod, "SimunekHardnessCalculator", kClassDoc)
            .def(init, rt::Sig("__init__")
                           .arg("self")
                           .opt("C", py::float_(1450.0), "float")
                           .opt("sigma", py::float_(2.8), "float")
                           .opt("verbose", py::bool_(false), "bool")
                           .doc(kInitDoc))
            .def(analyze_bonds, rt::Sig("_analyze_bonds")
                                    .arg("self")
                                    .arg("atoms", "Atoms")
                                    .arg("rcut", "float")
                                    .arg("tolerance", "float")
                                    .returns("(List[List[BondType]], np.ndarray)")
                                    .doc(kAnalyzeDoc))
            .def(calculate_hardness_dict, rt::Sig("_calculate_hardness")
                                              .arg("self")
                                              .arg("atoms", "Atoms | str")
                                              .opt("rcut", py::float_(2.5), "float")
                                              .opt("tolerance", py::float_(0.01), "float")
                                              .opt("element_params", py::none(), "Optional[Dict]")
                                              .returns("Dict[str, Any]")
                                              .doc("Performs the main hardness calculation."))
            .def(calculate_hardness, rt::Sig("calculate_hardness")
                                         .arg("self")
                                         .arg("atoms", "Atoms | str")
                                         .opt("rcut", py::float_(2.5), "float")
                                         .opt("tolerance", py::float_(0.01), "float")
                                         .opt("element_params", py::none(), "Optional[Dict]")
                                         .returns("float"))
            .build();
    // Kept for the life of the process, like the class that holds it.
    py::object own = calc.attr("__dict__")["_analyze_bonds"];
    own_analyze_bonds = own.release().ptr();
}
