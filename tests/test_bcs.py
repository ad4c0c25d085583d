import inspect
import io
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import spglib
from ase import Atoms
from ase.build import bulk
from ase.utils import atoms_to_spglib_cell

from corvane.io import bcs
from corvane.io.bcs import read_bcs, write_bcs

DATA = Path(__file__).parent / "data"

ROCKSALT = """\
# Space Group ITA number
225
# Lattice parameters (lengths in angstroms and angles in degrees)
5.640000 5.640000 5.640000 90.00 90.00 90.00
# Number of independent atoms in the asymmetric unit
2
# [atom type] [number] [WP] [x] [y] [z]
Na 1  4a   0.000000 0.000000 0.000000
Cl 2  4b   0.500000 0.500000 0.500000
"""


def write_text(atoms, **kwargs):
    out = io.StringIO()
    assert write_bcs(out, atoms, **kwargs) is None
    return out.getvalue()


def read_text(text):
    return read_bcs(io.StringIO(text))


def standardized(atoms, symprec=0.01):
    ds = spglib.get_symmetry_dataset(atoms_to_spglib_cell(atoms), symprec=symprec)
    return ds


def same_sites(atoms, lattice, positions, numbers, tol=2e-5):
    """Whether atoms holds exactly the given sites (fractional, modulo 1) in the given cell."""
    if len(atoms) != len(positions):
        return False
    # The file keeps lengths to 1e-6 angstrom and angles to 0.01 degree.
    got, want = atoms.cell.cellpar(), Atoms(cell=lattice).cell.cellpar()
    if not (np.allclose(got[:3], want[:3], atol=2e-6) and np.allclose(got[3:], want[3:], atol=6e-3)):
        return False
    frac = atoms.get_scaled_positions()
    used = set()
    for p, z in zip(positions, numbers):
        d = frac - p
        d -= np.round(d)
        hit = [
            k for k in np.flatnonzero(np.abs(d).max(axis=1) < tol) if atoms.numbers[k] == z and k not in used
        ]
        if not hit:
            return False
        used.add(hit[0])
    return True


# ---------------------------------------------------------------------------------------------
# Module surface


def test_public_names_and_signatures():
    assert str(inspect.signature(read_bcs)) == "(fd) -> 'Atoms'"
    assert str(inspect.signature(write_bcs)) == "(fd, atoms: 'Atoms', symprec: 'float' = 0.01)"
    assert read_bcs.__doc__.startswith(
        "Reads a crystal structure from a Bilbao Crystallographic Server .bcs file."
    )
    assert write_bcs.__doc__.startswith(
        "Finds the symmetry-inequivalent atoms and writes them to a .bcs file."
    )
    assert read_bcs.__wrapped__.__module__ == "corvane.io.bcs"
    assert bcs.np is np and bcs.Atoms is Atoms


def test_module_loads_without_spglib():
    # spglib is imported by write_bcs at each call, not when the module is loaded.
    code = (
        "import sys; sys.modules['spglib'] = None\n"
        "import io; from corvane.io.bcs import read_bcs, write_bcs\n"
        f"a = read_bcs(io.StringIO({ROCKSALT!r})); print(len(a))\n"
        "from ase.build import bulk\n"
        "try: write_bcs(io.StringIO(), bulk('Si'))\n"
        "except ImportError: print('ImportError')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["8", "ImportError"]


# ---------------------------------------------------------------------------------------------
# Reading


def test_read_rocksalt():
    atoms = read_text(ROCKSALT)
    assert atoms.get_chemical_formula() == "Cl4Na4"
    assert atoms.pbc.all()
    assert np.allclose(atoms.cell.cellpar(), [5.64] * 3 + [90] * 3)
    assert atoms.info["spacegroup"].no == 225


def test_read_loose_layout():
    # Comments are optional and may follow data; blank lines anywhere; extra lines ignored;
    # sequence numbers and Wyckoff labels are not read.
    text = (
        "\n225 # Fm-3m\n\n   # only a comment\n5.64 5.64 5.64 90 90 90\n2\n"
        "Na 7 zz 0 0 0\n\nCl x 99q 0.5 0.5 0.5 # extra\nnot an atom line\n"
    )
    a, b = read_text(text), read_text(ROCKSALT)
    assert a.get_chemical_symbols() == b.get_chemical_symbols()
    assert np.allclose(a.positions, b.positions)


def test_read_windows_line_endings_bom_and_missing_final_newline(tmp_path):
    path = tmp_path / "crlf.bcs"
    path.write_bytes(ROCKSALT.replace("\n", "\r\n").encode())
    assert len(read_bcs(path)) == 8
    with open(path, newline="") as fd:  # lines keep their "\r\n"
        assert len(read_bcs(fd)) == 8
    path.write_bytes(b"\xef\xbb\xbf" + ROCKSALT.encode())
    assert len(read_bcs(path)) == 8
    path.write_text(ROCKSALT.rstrip("\n"))
    assert len(read_bcs(str(path))) == 8


def test_sample_64_is_not_a_structure_file():
    # A list of general positions: "1 x,y,z" is no space-group number.
    with pytest.raises(ValueError, match="invalid literal for int"):
        read_bcs(DATA / "64.bcs")


@pytest.mark.parametrize(
    "text, kind",
    [
        ("", IndexError),
        ("# nothing but comments\n\n", IndexError),
        ("225\n", IndexError),
        ("225\n5.64 5.64 5.64 90 90 90\n", IndexError),
        ("225\n5.64 5.64 5.64 90 90 90\n2\nNa 1 4a 0 0 0\n", IndexError),  # truncated
        ("225\n5.64 5.64 5.64 90 90 90\n1\nNa 1 4a 0 0\n", IndexError),  # five fields
        ("Fm-3m\n5.64 5.64 5.64 90 90 90\n0\n", ValueError),
        ("225\n5.64 5.64 five 90 90 90\n0\n", ValueError),
        ("225\n5.64 5.64 5.64 90 90 90\ntwo\n", ValueError),
        ("225\n5.64 5.64 5.64 90 90 90\n1.0\n", ValueError),
        ("225\n5.64 5.64 5.64 90 90 90\n1\nNa 1 4a 0 0 half\n", ValueError),
        ("\x00\x01\x02\x7f\xff\n", ValueError),
        ("225\n5.64 5.64 5.64 90 90 90\n" + "9" * 40 + "\nNa 1 4a 0 0 0\n", IndexError),
    ],
)
def test_malformed_files(text, kind):
    with pytest.raises(kind) as err:
        read_text(text)
    if kind is IndexError:
        assert str(err.value) == "list index out of range"


def test_errors_of_crystal_pass_through(tmp_path):
    with pytest.raises(KeyError):  # unknown element
        read_text("225\n5.64 5.64 5.64 90 90 90\n1\nQq 1 4a 0 0 0\n")
    with pytest.raises(Exception) as err:  # no such space group
        read_text("999\n5 5 5 90 90 90\n1\nNa 1 1a 0 0 0\n")
    assert "999" in str(err.value)
    junk = tmp_path / "junk.bcs"
    junk.write_bytes(bytes(range(256)) * 2)
    with pytest.raises(ValueError):  # UnicodeDecodeError
        read_bcs(junk)


# ---------------------------------------------------------------------------------------------
# Writing


def test_write_rocksalt_exact_lines(capsys):
    assert (
        write_text(bulk("NaCl", "rocksalt", a=5.64, cubic=True)).splitlines()[:7] == ROCKSALT.splitlines()[:7]
    )
    text = write_text(bulk("Cu", "fcc", a=3.6, cubic=True))
    assert text.endswith("# [atom type] [number] [WP] [x] [y] [z]\nCu 1  4a   0.000000 0.000000 0.000000\n")
    assert capsys.readouterr().out == ""


def test_write_field_widths():
    # One orbit per atom (space group 1): sequence numbers pass 99 and widen their field;
    # a one-letter symbol is padded to two characters.
    rng = np.random.default_rng(7)
    atoms = Atoms(
        ["O"] * 60 + ["Si"] * 45,
        scaled_positions=rng.random((105, 3)),
        cell=[[7.1, 0.3, 0.2], [0.1, 8.3, 0.4], [0.5, 0.2, 9.7]],
        pbc=True,
    )
    lines = write_text(atoms).splitlines()
    assert lines[1] == "1" and lines[5] == "105"
    atom_lines = lines[7:]
    assert len(atom_lines) == 105
    assert atom_lines[0].startswith("O  1  1a   ")
    assert atom_lines[98].startswith("Si 99 1a   ")
    assert atom_lines[99].startswith("Si 100 1a   ")
    for line in atom_lines:
        fields = line.split(" ")
        assert len(fields[-1]) == len(fields[-2]) == len(fields[-3]) == 8  # 0.xxxxxx


@pytest.mark.parametrize(
    "name, atoms, multiplicities",
    [
        ("diamond", bulk("C", "diamond", a=3.567), [8]),
        ("rocksalt", bulk("NaCl", "rocksalt", a=5.64), [4, 4]),
        ("wurtzite", bulk("ZnO", "wurtzite", a=3.25, c=5.2), [2, 2]),
        ("cubic BN", bulk("BN", "zincblende", a=3.615, cubic=True), [4, 4]),
        (
            "low symmetry",
            Atoms(
                "BCN",
                scaled_positions=[[0, 0, 0], [0.21, 0.37, 0.13], [0.61, 0.09, 0.77]],
                cell=[[2.9, 0, 0], [0.4, 3.3, 0], [0.3, 0.6, 4.1]],
                pbc=True,
            ),
            [1, 1, 1],
        ),
    ],
)
def test_round_trip_gives_standardized_structure(name, atoms, multiplicities):
    text = write_text(atoms)
    lines = text.splitlines()
    ds = standardized(atoms)
    firsts = np.unique(ds.equivalent_atoms, return_index=True)[1]
    labels = [f"{m}{ds.wyckoffs[i]}" for m, i in zip(multiplicities, firsts)]
    assert [line.split()[2] for line in lines[7:]] == labels
    back = read_text(text)
    assert back.info["spacegroup"].no == ds.number == int(lines[1])
    assert same_sites(back, ds.std_lattice, ds.std_positions, ds.std_types)
    # Written again, the standardized structure gives the same cell, labels and structure
    # (spglib may pick another, equivalent representative of an orbit).
    again = write_text(back)
    assert again.splitlines()[:7] == lines[:7]
    assert [line.split()[:3] for line in again.splitlines()[7:]] == [line.split()[:3] for line in lines[7:]]
    assert same_sites(read_text(again), ds.std_lattice, ds.std_positions, ds.std_types)


def test_supercell_warns_and_writes_the_conventional_cell(capsys):
    cell = bulk("NaCl", "rocksalt", a=5.64, cubic=True)
    conventional = write_text(cell)
    assert capsys.readouterr().out == ""
    assert write_text(cell * (2, 2, 2)) == conventional
    assert capsys.readouterr().out == "!WARN: The atoms is a supercell\n"


def test_multiplicity_of_primitive_and_non_integral_cells(capsys):
    # fcc: 4 atoms in the standardized cell. 1, 2 and 6 atoms are no whole multiple of it
    # (supercell factor 0, 0 and 1); the label still carries the Wyckoff multiplicity.
    primitive = bulk("Cu", "fcc", a=3.6)
    expected = write_text(bulk("Cu", "fcc", a=3.6, cubic=True))
    for reps in [(1, 1, 1), (2, 1, 1), (6, 1, 1), (3, 2, 2)]:
        assert write_text(primitive * reps) == expected, reps
    out = capsys.readouterr().out.splitlines()
    assert out == ["!WARN: The atoms is a supercell"]  # only 12 atoms (factor 3) warns


def test_failed_analysis_prints_and_leaves_file(tmp_path, capsys):
    target = tmp_path / "keep.bcs"
    target.write_text("precious\n")
    overlapping = Atoms("C2", positions=[[0, 0, 0], [0, 0, 0]], cell=[3, 3, 3], pbc=True)
    for fd in (target, str(target)):
        assert write_bcs(fd, overlapping) is None
    assert target.read_text() == "precious\n"
    assert capsys.readouterr().out == "!!!ERROR: Symmetry analysis with spglib failed.\n" * 2
    out = io.StringIO()
    write_bcs(out, overlapping)
    assert out.getvalue() == ""


def test_spglib_error_is_a_failed_analysis(tmp_path, capsys, monkeypatch):
    target = tmp_path / "keep.bcs"
    target.write_text("precious\n")
    overlapping = Atoms("C2", positions=[[0, 0, 0], [0, 0, 0]], cell=[3, 3, 3], pbc=True)
    # spglib's own exception mode, as newer releases use by default.
    monkeypatch.setattr(spglib.error, "OLD_ERROR_HANDLING", False)
    with pytest.raises(spglib.SpglibError):
        spglib.get_symmetry_dataset(atoms_to_spglib_cell(overlapping))
    assert write_bcs(target, overlapping) is None
    assert target.read_text() == "precious\n"
    assert capsys.readouterr().out == "!!!ERROR: Symmetry analysis with spglib failed.\n"

    def broken(*args, **kwargs):
        raise RuntimeError("not a failed analysis")

    monkeypatch.setattr(spglib, "get_symmetry_dataset", broken)
    with pytest.raises(RuntimeError, match="not a failed analysis"):
        write_bcs(target, bulk("Si"))
    assert target.read_text() == "precious\n"


def test_symprec_reaches_spglib():
    # A slightly distorted cell is cubic only at a looser tolerance.
    atoms = bulk("Si", cubic=True)
    atoms.positions[0] += [0.02, 0, 0]
    assert write_text(atoms, symprec=1e-4).splitlines()[1] != "227"
    assert write_text(atoms, symprec=0.1).splitlines()[1] == "227"


# ------------------------------------------------------------------ bad numbers and tolerances


@pytest.mark.parametrize("symprec", [-1, 0, float("nan"), float("inf"), -1e-5])
def test_unusable_symprec_is_refused_before_spglib(symprec, tmp_path, capsys):
    # spglib crashes the interpreter on a negative or NaN tolerance
    diamond = bulk("C", "diamond", a=3.567)
    with pytest.raises(ValueError, match="^symprec must be a positive finite tolerance, got "):
        write_bcs(io.StringIO(), diamond, symprec=symprec)
    target = tmp_path / "x.bcs"
    target.write_text("old\n")
    import ase.io

    with pytest.raises(ValueError, match="symprec"):
        ase.io.write(str(target), diamond, symprec=symprec)
    assert target.read_text() == "old\n" and capsys.readouterr().out == ""


def test_symprec_in_a_subprocess_does_not_crash():
    code = (
        "import io\nfrom ase.build import bulk\nfrom corvane.io.bcs import write_bcs\n"
        "for s in (-1, float('nan')):\n"
        "    try: write_bcs(io.StringIO(), bulk('C', 'diamond', a=3.567), symprec=s)\n"
        "    except ValueError: print('refused')\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout == "refused\nrefused\n", done.stderr


@pytest.mark.parametrize(
    "lattice, message",
    [
        ("nan 5.64 5.64 90 90 90", "lattice parameter a must be a finite number, got nan"),
        ("5.64 5.64 5.64 90 inf 90", "lattice parameter beta must be a finite number, got inf"),
        ("5.64 5.64 1e999 90 90 90", "lattice parameter c must be a finite number, got inf"),
    ],
)
def test_non_finite_lattice_parameters_are_refused(lattice, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        read_text(ROCKSALT.replace("5.640000 5.640000 5.640000 90.00 90.00 90.00", lattice))


def test_non_finite_coordinates_and_empty_asymmetric_units_are_refused():
    with pytest.raises(ValueError, match="^coordinate y of atom 2 must be a finite number, got nan$"):
        read_text(ROCKSALT.replace("Cl 2  4b   0.500000 0.500000", "Cl 2  4b   0.500000 NaN"))
    for count in ("0", "-3"):
        with pytest.raises(
            ValueError, match=f"^the number of independent atoms must be at least 1, got {count}$"
        ):
            read_text(ROCKSALT.replace("\n2\n", f"\n{count}\n"))


def test_lattice_parameters_of_a_flat_cell_are_refused():
    flat = ROCKSALT.replace("90.00 90.00 90.00", "120.00 120.00 120.00")
    with pytest.raises(
        ValueError,
        match="^the lattice parameters 5.64 5.64 5.64 120.0 120.0 120.0 describe a cell of zero volume$",
    ):
        read_text(flat)
