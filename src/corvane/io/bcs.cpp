// corvane.io.bcs: structure files of the Bilbao Crystallographic Server (space-group number,
// lattice parameters, asymmetric unit with Wyckoff labels).
#include <corvane/arrays.hpp>
#include <corvane/runtime.hpp>
#include <pybind11/numpy.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "text.hpp"

namespace rt = corvane::rt;
namespace py = pybind11;
using corvane::io::StrView;

namespace {

// ---------------------------------------------------------------------------------------------
// Reading

// The data lines of a .bcs file: each line cut at its first "#" and stripped; empty ones
// dropped. A byte-order mark at the very start of the file (left there by some Windows
// editors) is not part of the first line's data.
std::vector<py::str> data_lines(py::handle lines) {
    std::vector<py::str> out;
    bool first = true;
    for (py::handle line : py::iter(lines)) {
        StrView s(corvane::io::require_text_line(line));
        Py_ssize_t begin = 0, end = s.size();
        if (first && end > 0 && s[0] == 0xFEFF) begin = 1;
        first = false;
        for (Py_ssize_t i = begin; i < end; ++i) {
            if (s[i] == '#') {
                end = i;
                break;
            }
        }
        auto [b, e] = s.strip(begin, end);
        if (b < e) out.push_back(s.slice(b, e));
    }
    return out;
}

const py::str& data_line(const std::vector<py::str>& lines, std::size_t i) {
    if (i >= lines.size()) corvane::io::raise_list_index();
    return lines[i];
}

// The atom count as a loop bound: negative counts read no atoms (like range(n)); counts too big
// for a machine integer run into the end of the file and fail there.
long long atom_count(py::handle n) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();  // not an int
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0 || v < 0) return 0;
    return v;
}

// read_bcs(fd) -> Atoms, wrapped by ase.utils.reader.
py::object read_bcs(rt::Call& call) {
    py::object lines = call.arg("fd").attr("readlines")();
    std::vector<py::str> data = data_lines(lines);

    py::object number = corvane::io::parse_int(data_line(data, 0));
    py::list cellpar;
    StrView lattice(data_line(data, 1));
    static const char* const kLatticeNames[] = {"a", "b", "c", "alpha", "beta", "gamma"};
    for (const py::str& field : lattice.split()) {
        std::size_t k = py::len(cellpar);
        std::string what =
            "lattice parameter " + (k < 6 ? std::string(kLatticeNames[k]) : std::to_string(k + 1));
        cellpar.append(corvane::io::require_finite(corvane::io::parse_float(field), what));
    }
    py::object count = corvane::io::parse_int(data_line(data, 2));
    long long n = atom_count(count);
    if (n == 0) {
        rt::raise(PyExc_ValueError, "the number of independent atoms must be at least 1, got %S",
                  count.ptr());
    }

    py::list symbols, basis;
    for (long long i = 0; i < n; ++i) {
        StrView line(data_line(data, 3 + static_cast<std::size_t>(i)));
        std::vector<py::str> fields = line.split();
        if (fields.size() < 6) corvane::io::raise_list_index();
        symbols.append(fields[0]);
        py::list xyz;
        for (int c = 3; c < 6; ++c) {
            xyz.append(corvane::io::require_finite(
                corvane::io::parse_float(fields[c]),
                "coordinate " + std::string(1, static_cast<char>('x' + c - 3)) + " of atom " +
                    std::to_string(i + 1)));
        }
        basis.append(xyz);
    }

    py::object structure =
        call.global("crystal")(py::arg("symbols") = symbols, py::arg("basis") = basis,
                               py::arg("cellpar") = cellpar, py::arg("spacegroup") = number);
    corvane::io::require_volume(structure, cellpar, "the lattice parameters");
    structure.attr("info")[py::str("spacegroup")] = call.global("Spacegroup")(number);
    return structure;
}

// ---------------------------------------------------------------------------------------------
// Writing

py::object field(py::handle dataset, const char* name) {
    // spglib 2.5 and newer return a dataset object; older releases a dict.
    if (PyDict_Check(dataset.ptr())) return dataset[py::str(name)];
    return dataset.attr(name);
}

std::vector<std::int64_t> int_array(py::handle np, py::handle values) {
    rt::IntArray a = rt::as_array<std::int64_t>(np.attr("asarray")(values).attr("ravel")());
    return std::vector<std::int64_t>(a.data(), a.data() + a.size());
}

// Size of every orbit of input atoms in the standardized cell: the number of standardized-cell
// atoms that map to a primitive-cell atom of the orbit. This is the Wyckoff multiplicity, whatever
// the input's size (a primitive cell of a centred lattice, or any supercell of it).
std::vector<std::int64_t> orbit_sizes_in_std_cell(const std::vector<std::int64_t>& representatives,
                                                  const std::vector<std::int64_t>& equivalent,
                                                  const std::vector<std::int64_t>& to_prim,
                                                  const std::vector<std::int64_t>& std_to_prim) {
    std::unordered_map<std::int64_t, std::size_t> orbit_of_rep;
    for (std::size_t k = 0; k < representatives.size(); ++k) orbit_of_rep[representatives[k]] = k;
    std::unordered_map<std::int64_t, std::size_t> orbit_of_prim;
    for (std::size_t i = 0; i < equivalent.size() && i < to_prim.size(); ++i) {
        auto it = orbit_of_rep.find(equivalent[i]);
        if (it != orbit_of_rep.end()) orbit_of_prim.emplace(to_prim[i], it->second);
    }
    std::vector<std::int64_t> sizes(representatives.size(), 0);
    for (std::int64_t p : std_to_prim) {
        auto it = orbit_of_prim.find(p);
        if (it != orbit_of_prim.end()) ++sizes[it->second];
    }
    return sizes;
}

// spglib takes any double as its tolerance, but a negative or NaN one crashes the interpreter
// inside it: only positive finite numbers reach it. Values that are not numbers at all still
// meet spglib's own error.
void check_symprec(py::handle symprec) {
    if (!PyNumber_Check(symprec.ptr()) || PyComplex_Check(symprec.ptr())) return;
    double v = rt::as_double(symprec);
    if (!(v > 0.0) || !std::isfinite(v))
        rt::raise(PyExc_ValueError, "symprec must be a positive finite tolerance, got %R",
                  symprec.ptr());
}

// The lines of the .bcs file for `atoms`, or None after printing the error line when the
// symmetry analysis fails. Nothing is written here, so a failure leaves any target untouched.
py::object bcs_lines(rt::Call& call, py::handle atoms, py::handle symprec) {
    check_symprec(symprec);
    py::module_ spglib = py::module_::import("spglib");
    py::object to_cell = py::module_::import("ase.utils").attr("atoms_to_spglib_cell");
    py::object np = call.global("np");

    // spglib reports a failed analysis by returning None, or (newer releases, or with its old
    // error handling switched off) by raising SpglibError: both are the same failure here.
    py::object spglib_error = py::getattr(spglib, "SpglibError", py::none());
    py::object dataset;
    {
        py::object cell = to_cell(atoms);
        try {
            dataset = spglib.attr("get_symmetry_dataset")(cell, py::arg("symprec") = symprec);
        } catch (py::error_already_set& e) {
            if (spglib_error.is_none() || !e.matches(spglib_error)) throw;
            dataset = py::none();
        }
    }
    if (dataset.is_none()) {
        rt::print(py::str("!!!ERROR: Symmetry analysis with spglib failed."));
        return py::none();
    }

    py::object number = field(dataset, "number");
    py::object std_positions = field(dataset, "std_positions");
    py::object wyckoffs = field(dataset, "wyckoffs");
    py::list cellpar(call.global("Cell")(field(dataset, "std_lattice")).attr("cellpar")());

    Py_ssize_t n_atoms = py::len(atoms);
    Py_ssize_t n_std = py::len(std_positions);
    Py_ssize_t sc = n_std > 0 ? n_atoms / n_std : 0;
    bool whole_multiple = sc >= 1 && n_atoms % n_std == 0;
    if (sc > 1) rt::print(py::str("!WARN: The atoms is a supercell"));

    py::tuple uniq =
        np.attr("unique")(field(dataset, "equivalent_atoms"), py::arg("return_index") = true,
                          py::arg("return_counts") = true);
    std::vector<std::int64_t> representatives = int_array(np, uniq[0]);
    std::vector<std::int64_t> first_index = int_array(np, uniq[1]);
    std::vector<std::int64_t> counts = int_array(np, uniq[2]);
    std::vector<std::int64_t> to_prim = int_array(np, field(dataset, "mapping_to_primitive"));
    std::vector<std::int64_t> std_to_prim =
        int_array(np, field(dataset, "std_mapping_to_primitive"));

    // Multiplicity: for an input that is the standardized cell or a whole multiple of it, the
    // orbit's size divided by the supercell factor. Otherwise (fewer atoms than the standardized
    // cell, e.g. the primitive cell of a centred lattice, or a non-integral multiple) that
    // quotient means nothing, and the orbit's size in the standardized cell is used; in the
    // whole-multiple case the two agree.
    std::vector<std::int64_t> multiplicity(counts.size());
    if (whole_multiple) {
        for (std::size_t k = 0; k < counts.size(); ++k) multiplicity[k] = counts[k] / sc;
    } else {
        std::vector<std::int64_t> equivalent = int_array(np, field(dataset, "equivalent_atoms"));
        multiplicity = orbit_sizes_in_std_cell(representatives, equivalent, to_prim, std_to_prim);
    }

    rt::DoubleArray pos = rt::as_array<double>(
        np.attr("asarray")(std_positions, py::arg("dtype") = np.attr("float64")));
    if (pos.ndim() != 2 || pos.shape(1) != 3)
        rt::raise(PyExc_ValueError, "spglib returned standardized positions of unexpected shape");
    py::list symbols = atoms.attr("get_chemical_symbols")();

    py::list out;
    out.append(py::str("# Space Group ITA number\n"));
    out.append(py::str(number).attr("__add__")(py::str("\n")));
    out.append(py::str("# Lattice parameters (lengths in angstroms and angles in degrees)\n"));
    std::string lattice;
    for (int k = 0; k < 6; ++k) {
        if (k) lattice += ' ';
        lattice += rt::fixed(rt::as_double(cellpar[k]), k < 3 ? 6 : 2);
    }
    out.append(py::str(lattice + "\n"));
    out.append(py::str("# Number of independent atoms in the asymmetric unit\n"));
    out.append(py::str(std::to_string(representatives.size()) + "\n"));
    out.append(py::str("# [atom type] [number] [WP] [x] [y] [z]\n"));

    for (std::size_t k = 0; k < representatives.size(); ++k) {
        std::int64_t first = first_index[k];
        if (first < 0 || static_cast<std::size_t>(first) >= to_prim.size())
            corvane::io::raise_list_index();
        std::int64_t p = to_prim[static_cast<std::size_t>(first)];
        Py_ssize_t j = -1;
        for (std::size_t m = 0; m < std_to_prim.size(); ++m) {
            if (std_to_prim[m] == p) {
                j = static_cast<Py_ssize_t>(m);
                break;
            }
        }
        if (j < 0 || j >= pos.shape(0))
            rt::raise(PyExc_IndexError, "index 0 is out of bounds for axis 0 with size 0");

        std::string label = std::to_string(multiplicity[k]) +
                            py::str(wyckoffs[py::int_(first)]).cast<std::string>();
        std::string symbol = py::str(symbols[static_cast<std::size_t>(first)]).cast<std::string>();
        std::string line = corvane::io::left(symbol, 2) + ' ' +
                           corvane::io::left(std::to_string(k + 1), 2) + ' ' +
                           corvane::io::left(label, 4);
        for (int c = 0; c < 3; ++c) line += ' ' + rt::fixed(pos.at(j, c), 6);
        out.append(py::str(line + "\n"));
    }
    return std::move(out);
}

// _write_bcs_lines(fd, lines), wrapped by ase.utils.writer: the only place a path is opened.
py::object write_lines(rt::Call& call) {
    py::object write = call.arg("fd").attr("write");
    for (py::handle line : py::iter(call.arg("lines"))) write(line);
    return py::none();
}

// write_bcs(fd, atoms: Atoms, symprec: float = 0.01)
py::object write_bcs(rt::Call& call) {
    // The whole analysis runs before `fd` is touched: when it fails, a path given as `fd` is
    // never opened (opening it for writing would empty an existing file).
    py::object lines = bcs_lines(call, call.arg("atoms"), call.arg("symprec"));
    if (lines.is_none()) return py::none();
    call.global("_write_bcs_lines")(call.arg("fd"), lines);
    return py::none();
}

const char* kReadDoc =
    "Reads a crystal structure from a Bilbao Crystallographic Server .bcs file.\n"
    "\n"
    "The file holds the space-group number, the lattice parameters and the\n"
    "symmetry-independent atoms; the atoms are expanded by the space group's\n"
    "operations into the full structure.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "fd : str, path or file\n"
    "    The file to read, as a path or an open text file.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "Atoms\n"
    "    The structure, with info['spacegroup'] set to its Spacegroup.\n";

const char* kWriteDoc =
    "Finds the symmetry-inequivalent atoms and writes them to a .bcs file.\n"
    "\n"
    "The structure is analysed with spglib and one atom of every set of\n"
    "symmetry-equivalent atoms is written, in the standardized conventional cell,\n"
    "with its Wyckoff label. If the analysis fails, an error line is printed and\n"
    "nothing is written (a path given as fd is then left untouched).\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "fd : str, path or file\n"
    "    Where to write, as a path or an open text file.\n"
    "atoms : Atoms\n"
    "    The structure to analyse.\n"
    "symprec : float\n"
    "    Tolerance of the symmetry analysis (angstrom), handed to spglib.\n";

}  // namespace

PYBIND11_MODULE(bcs, m) {
    rt::Module mod(m);
    mod.import("numpy", "np");
    mod.from_import("ase", {"Atoms"});
    mod.from_import("ase.cell", {"Cell"});
    mod.from_import("ase.spacegroup", {"crystal", "Spacegroup"});
    mod.from_import("ase.utils", {"reader", "writer"});

    py::object read_fn =
        mod.def(read_bcs, rt::Sig("read_bcs").arg("fd").returns("Atoms").doc(kReadDoc));
    mod.set("read_bcs", mod.get("reader")(read_fn));

    py::object lines_fn = mod.def(write_lines, rt::Sig("_write_bcs_lines").arg("fd").arg("lines"));
    // A path is written through a temporary file that replaces it only when complete.
    py::object atomic_writer = py::module_::import("corvane.io.atomic").attr("atomic_writer");
    mod.set("_write_bcs_lines", atomic_writer(mod.get("writer")(lines_fn)));

    mod.def(write_bcs, rt::Sig("write_bcs")
                           .arg("fd")
                           .arg("atoms", "Atoms")
                           .opt("symprec", py::float_(0.01), "float")
                           .doc(kWriteDoc));
}
