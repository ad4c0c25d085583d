// corvane.io.vesta: VESTA files, read into a structure and kept block by block so that the file
// can be written back exactly as it was read.
#include <corvane/runtime.hpp>

#include <string>
#include <vector>

#include "text.hpp"

namespace rt = corvane::rt;
namespace py = pybind11;
using corvane::io::StrView;

namespace {

const char* kFirstBlock = "#VESTA_FORMAT_VERSION";

// A keyword line starts with at least four capitals A-Z (the pattern "^[A-Z]{4,}"); the keyword
// is the whole leading run of capitals. Returns its length, 0 for any other line.
Py_ssize_t keyword_length(const StrView& s) {
    Py_ssize_t n = 0;
    while (n < s.size() && s[n] >= 'A' && s[n] <= 'Z') ++n;
    return n >= 4 ? n : 0;
}

// Item i of a block's line list, with the IndexError of list indexing when it is too short.
py::object block_line(py::handle block, Py_ssize_t i) {
    if (i >= static_cast<Py_ssize_t>(py::len(block))) corvane::io::raise_list_index();
    return block[py::int_(i)];
}

// VestaData.__init__(self)
py::object vesta_data_init(rt::Call& call) {
    call.arg("self").attr("raw_blocks") = py::dict();
    return py::none();
}

// VestaData.__repr__(self)
py::object vesta_data_repr(rt::Call& call) {
    py::list keys(call.arg("self").attr("raw_blocks").attr("keys")());
    return py::str("VestaData with blocks: ") + py::repr(keys);
}

// read_vesta(fd) -> Atoms, wrapped by ase.utils.reader.
py::object read_vesta(rt::Call& call) {
    py::object lines = call.arg("fd").attr("readlines")();

    py::object vesta_data = call.global("VestaData")();
    py::object raw = vesta_data.attr("raw_blocks");
    py::str current(kFirstBlock);
    raw[current] = py::list();
    py::object current_list = raw[current];

    for (py::handle line : py::iter(lines)) {
        StrView s(corvane::io::require_text_line(line));
        if (Py_ssize_t n = keyword_length(s)) {
            current = s.slice(0, n);
            if (!raw.contains(current)) raw[current] = py::list();
            current_list = raw[current];
        }
        current_list.attr("append")(line);
    }

    py::object get = raw.attr("get");
    py::object cellp = get(py::str("CELLP"), py::list());
    if (!rt::truthy(cellp)) rt::raise(PyExc_ValueError, "CELLP block not found in VESTA file.");
    py::list cell;
    {
        py::object line = block_line(cellp, 1);
        StrView s(corvane::io::require_text_line(line));
        for (const py::str& f : s.split()) cell.append(corvane::io::parse_float(f));
    }
    if (py::len(cell) > 6) cell = cell[py::slice(0, 6, 1)];
    static const char* const kCellNames[] = {"a", "b", "c", "alpha", "beta", "gamma"};
    for (std::size_t k = 0; k < py::len(cell); ++k) {
        corvane::io::require_finite(cell[k], std::string("CELLP parameter ") + kCellNames[k]);
    }

    py::object struc = get(py::str("STRUC"), py::list());
    if (!rt::truthy(struc)) rt::raise(PyExc_ValueError, "STRUC block not found in VESTA file.");

    py::list no_group;
    no_group.append(py::str("GROUP"));
    no_group.append(py::str("1 1 P 1"));
    py::object group = get(py::str("GROUP"), no_group);
    py::object number;
    {
        py::object line = block_line(group, 1);
        StrView s(corvane::io::require_text_line(line));
        std::vector<py::str> fields = s.split();
        if (fields.empty()) corvane::io::raise_list_index();
        number = corvane::io::parse_int(fields[0]);
    }

    // Site lines have at least 8 fields: number, symbol, label, occupancy, x, y, z, ...; the
    // uncertainty line under each site and the closing line of zeros have fewer.
    py::list symbols, positions;
    Py_ssize_t n_struc = py::len(struc);
    for (Py_ssize_t i = 1; i < n_struc; ++i) {
        py::object line = struc[py::int_(i)];
        StrView s(corvane::io::require_text_line(line));
        std::vector<py::str> fields = s.split();
        if (fields.size() < 8) continue;
        symbols.append(fields[1]);
        py::list xyz;
        for (int c = 4; c < 7; ++c) {
            xyz.append(corvane::io::require_finite(
                corvane::io::parse_float(fields[c]),
                "coordinate " + std::string(1, static_cast<char>('x' + c - 4)) + " of site " +
                    std::to_string(py::len(positions) + 1)));
        }
        positions.append(xyz);
    }

    py::object structure;
    if (number > py::int_(1)) {
        structure = call.global("crystal")(symbols, py::arg("basis") = positions,
                                           py::arg("spacegroup") = number, py::arg("cell") = cell);
    } else {
        structure = call.global("Atoms")(py::arg("symbols") = symbols,
                                         py::arg("scaled_positions") = positions,
                                         py::arg("cell") = cell, py::arg("pbc") = true);
    }
    corvane::io::require_volume(structure, cell, "the CELLP parameters");
    structure.attr("info")[py::str("vesta_data")] = vesta_data;
    return structure;
}

// _write_vesta_blocks(fd, blocks), wrapped by ase.utils.writer: the only place a path is opened.
py::object write_blocks(rt::Call& call) {
    py::object writelines = call.arg("fd").attr("writelines");
    for (py::handle block : py::iter(call.arg("blocks"))) writelines(block);
    return py::none();
}

bool is_path(py::handle fd) {
    if (PyUnicode_Check(fd.ptr())) return true;
    py::object pure_path = py::module_::import("pathlib").attr("PurePath");
    return py::isinstance(fd, pure_path);
}

// write_vesta(fd, atoms: Atoms)
py::object write_vesta(rt::Call& call) {
    py::handle fd = call.arg("fd");
    py::object stored = call.arg("atoms").attr("info").attr("get")(py::str("vesta_data"));
    if (!rt::truthy(stored) || !py::isinstance(stored, call.global("VestaData")))
        rt::raise(PyExc_ValueError,
                  "Atoms object does not contain valid VestaData in its info dictionary.");

    // Everything is gathered and checked before `fd` is touched, so a path given as `fd` is only
    // opened (and emptied) once the write can go through.
    py::object raw = stored.attr("raw_blocks");
    py::list blocks;
    bool text_file = is_path(fd);
    for (py::handle key : py::iter(raw)) {
        py::list block(raw[key]);
        if (text_file) {
            for (py::handle line : block) {
                if (!PyUnicode_Check(line.ptr()))
                    rt::raise(PyExc_TypeError,
                              "VestaData block %R holds a line that is not text: %.200s", key.ptr(),
                              Py_TYPE(line.ptr())->tp_name);
            }
        }
        blocks.append(block);
    }
    call.global("_write_vesta_blocks")(fd, blocks);
    return py::none();
}

const char* kClassDoc =
    "Stores the data of a VESTA file that is not used directly by the ASE Atoms\n"
    "object, so that the file that was read can be reconstructed on writing.\n"
    "\n"
    "raw_blocks maps each block keyword to the file's lines of that block, in file\n"
    "order and exactly as read; keys keep the order in which they first appeared.\n";

const char* kReadDoc =
    "Reads a VESTA file, creates an ASE Atoms object, and stores the\n"
    "file's blocks in a VestaData object under atoms.info['vesta_data'].\n"
    "\n"
    "The structure is built from the CELLP (cell), STRUC (sites) and GROUP\n"
    "(space group) blocks; a file without a GROUP block is read in space group 1.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "fd : str, path or file\n"
    "    The file to read, as a path or an open text file.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "Atoms\n"
    "    The structure, with info['vesta_data'] holding the file's blocks.\n";

const char* kWriteDoc =
    "Writes an ASE Atoms object with associated VestaData to a VESTA file.\n"
    "\n"
    "The blocks stored in atoms.info['vesta_data'] are written back verbatim, in\n"
    "the order their keywords first appeared; changes made to the structure\n"
    "itself are not written. Without valid VestaData a ValueError is raised and\n"
    "nothing is written (a path given as fd is then left untouched).\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "fd : str, path or file\n"
    "    Where to write, as a path or an open text file.\n"
    "atoms : Atoms\n"
    "    A structure read by read_vesta.\n";

}  // namespace

PYBIND11_MODULE(vesta, m) {
    rt::Module mod(m);
    mod.from_import("ase", {"Atoms"});
    mod.from_import("ase.spacegroup", {"crystal"});
    mod.from_import("ase.utils", {"reader", "writer"});
    mod.import("re");

    rt::ClassBuilder(mod, "VestaData", kClassDoc)
        .def(vesta_data_init, rt::Sig("__init__").arg("self"))
        .def(vesta_data_repr, rt::Sig("__repr__").arg("self"))
        .build();

    py::object read_fn =
        mod.def(read_vesta, rt::Sig("read_vesta").arg("fd").returns("Atoms").doc(kReadDoc));
    mod.set("read_vesta", mod.get("reader")(read_fn));

    py::object blocks_fn =
        mod.def(write_blocks, rt::Sig("_write_vesta_blocks").arg("fd").arg("blocks"));
    // A path is written through a temporary file that replaces it only when complete.
    py::object atomic_writer = py::module_::import("corvane.io.atomic").attr("atomic_writer");
    mod.set("_write_vesta_blocks", atomic_writer(mod.get("writer")(blocks_fn)));

    mod.def(write_vesta, rt::Sig("write_vesta").arg("fd").arg("atoms", "Atoms").doc(kWriteDoc));
}
