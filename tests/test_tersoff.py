"""The Tersoff calculator against LAMMPS, ASE's own Tersoff, finite differences, and its parser."""

import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk, graphene
from ase.calculators.calculator import PropertyNotImplementedError
from ase.calculators.tersoff import Tersoff as AseTersoff
from tersoff_samples import diamond_eos_minimum

from corvane.data import files
from corvane.tersoff import FIELDS, Tersoff, read_tersoff_file

BNC = Path(files.__file__).parent / "BNC.tersoff"
KINACI = Path(files.__file__).parent / "BNC_Kinaci2012.tersoff"  # the previous default
REFERENCE_BNC = Path("/usr/share/lammps/potentials/BNC.tersoff")  # Debian's lammps-data
LMP = shutil.which("lmp")
needs_lammps = pytest.mark.skipif(LMP is None, reason="LAMMPS (lmp) is not installed")

# LAMMPS "metal" units: pressure in bar, converted with LAMMPS's own constant.
LAMMPS_EV_A3_TO_BAR = 1.6021765e6


@pytest.fixture(scope="module")
def calc():
    return Tersoff(BNC)


# ---------------------------------------------------------------------------------------------
# Structures


def rattled(atoms, amount, seed):
    atoms = atoms.copy()
    atoms.rattle(amount, seed=seed)
    return atoms


def skew(atoms, matrix):
    atoms = atoms.copy()
    atoms.set_cell(atoms.cell.array @ np.asarray(matrix), scale_atoms=True)
    return atoms


def bc2n(seed=3):
    """A diamond-lattice B-C-N mix of composition BC2N, randomly arranged."""
    atoms = bulk("C", "diamond", a=3.62, cubic=True) * (2, 2, 2)
    rng = np.random.default_rng(seed)
    symbols = np.array(["B"] * 16 + ["C"] * 32 + ["N"] * 16)
    rng.shuffle(symbols)
    atoms.set_chemical_symbols(symbols)
    return rattled(atoms, 0.08, seed)


def short_cell():
    """Two-atom c-BN cell compressed and skewed until every height is below the cutoff."""
    atoms = bulk("BN", "zincblende", a=3.62)
    atoms = skew(atoms, [[0.92, 0.05, 0.0], [0.0, 0.9, 0.07], [0.03, 0.0, 0.95]])
    assert min(1 / np.linalg.norm(atoms.cell.reciprocal(), axis=1)) < 2.0
    return rattled(atoms, 0.05, 11)


def periodic_structures():
    return {
        "diamond": rattled(bulk("C", "diamond", a=3.645) * (2, 2, 2), 0.07, 1),
        "c-BN": rattled(bulk("BN", "zincblende", a=3.62) * (2, 2, 2), 0.07, 2),
        "BC2N": bc2n(),
        "skewed c-BN": rattled(
            skew(
                bulk("BN", "zincblende", a=3.62, cubic=True) * (2, 1, 1),
                [[1, 0.15, -0.1], [0.05, 1, 0.2], [0, -0.12, 1]],
            ),
            0.06,
            4,
        ),
        "cell shorter than cutoff": short_cell(),
    }


def slab():
    """h-BN / graphene-like sheet, periodic in plane, open along z, a few atoms off plane."""
    sheet = graphene("BN", a=2.50, vacuum=6.0) * (3, 3, 1)
    sheet.pbc = [True, True, False]
    return rattled(sheet, 0.1, 5)


# ---------------------------------------------------------------------------------------------
# LAMMPS as the reference


def lammps_frame(atoms):
    """The same periodic structure in LAMMPS's frame: lower-triangular cell with small tilts.

    Returns the rotated copy and the rotation Q (new = old @ Q.T)."""
    rcell, q = atoms.cell.standard_form()
    a, b, c = np.array(rcell)
    b = b - np.round(b[0] / a[0]) * a
    c = c - np.round(c[1] / b[1]) * b
    c = c - np.round(c[0] / a[0]) * a
    out = atoms.copy()
    out.positions = atoms.positions @ q.T
    out.set_cell([a, b, c], scale_atoms=False)  # the same lattice, so positions stay valid
    return out, q


def run_lammps(atoms, tmp_path, potential=BNC):
    """Energy, per-atom energies, forces and stress (eV/A^3) of LAMMPS's pair_style tersoff."""
    frame, q = lammps_frame(atoms)
    elements = sorted(set(atoms.get_chemical_symbols()))
    types = {e: i + 1 for i, e in enumerate(elements)}
    (xx, _, _), (xy, yy, _), (xz, yz, zz) = frame.cell.array.tolist()
    lines = [
        "corvane test structure",
        "",
        f"{len(frame)} atoms",
        f"{len(elements)} atom types",
        "",
        f"0 {xx!r} xlo xhi",
        f"0 {yy!r} ylo yhi",
        f"0 {zz!r} zlo zhi",
    ]
    # LAMMPS allows tilt only between periodic directions.
    assert all(atoms.pbc) or (atoms.pbc[:2].all() and xz == yz == 0)
    lines.append(f"{xy!r} {xz!r} {yz!r} xy xz yz")
    lines += ["", "Masses", ""] + [f"{types[e]} 10.0" for e in elements]
    lines += ["", "Atoms # atomic", ""]
    lines += [
        f"{i + 1} {types[s]} {x!r} {y!r} {z!r}"
        for i, (s, (x, y, z)) in enumerate(zip(frame.get_chemical_symbols(), frame.positions.tolist()))
    ]
    (tmp_path / "data.lmp").write_text("\n".join(lines) + "\n")
    boundary = " ".join("p" if p else "s" for p in atoms.pbc)
    (tmp_path / "in.lmp").write_text(f"""
units metal
atom_style atomic
atom_modify map array sort 0 0.0
boundary {boundary}
read_data data.lmp
pair_style tersoff
pair_coeff * * {potential} {" ".join(elements)}
compute peatom all pe/atom
thermo_style custom pe pxx pyy pzz pyz pxz pxy
thermo_modify format float %.17g
dump d all custom 1 atoms.dump id fx fy fz c_peatom
dump_modify d format float %.17g sort id
run 0
""")
    subprocess.run(
        [LMP, "-in", "in.lmp", "-log", "log.lammps", "-screen", "none"],
        cwd=tmp_path,
        check=True,
        capture_output=True,
    )
    log = (tmp_path / "log.lammps").read_text().splitlines()
    header = next(i for i, line in enumerate(log) if line.split()[:2] == ["PotEng", "Pxx"])
    pe, pxx, pyy, pzz, pyz, pxz, pxy = map(float, log[header + 1].split())
    dump = np.loadtxt(tmp_path / "atoms.dump", skiprows=9)
    forces = dump[:, 1:4] @ q  # back to the original frame
    p = -np.array([[pxx, pxy, pxz], [pxy, pyy, pyz], [pxz, pyz, pzz]]) / LAMMPS_EV_A3_TO_BAR
    s = q.T @ p @ q
    stress = np.array([s[0, 0], s[1, 1], s[2, 2], s[1, 2], s[0, 2], s[0, 1]])
    return pe, dump[:, 4], forces, stress


@needs_lammps
@pytest.mark.parametrize("potential", [BNC, KINACI], ids=lambda p: p.name)
@pytest.mark.parametrize("name", list(periodic_structures()) + ["open slab"])
def test_agrees_with_lammps(name, potential, tmp_path):
    atoms = slab() if name == "open slab" else periodic_structures()[name]
    e_ref, energies_ref, forces_ref, stress_ref = run_lammps(atoms, tmp_path, potential)
    atoms.calc = Tersoff(potential)
    assert atoms.get_potential_energy() == pytest.approx(e_ref, rel=1e-9)
    np.testing.assert_allclose(atoms.get_forces(), forces_ref, rtol=0, atol=1e-7)
    np.testing.assert_allclose(atoms.get_potential_energies(), energies_ref, rtol=0, atol=1e-8)
    if all(atoms.pbc):
        np.testing.assert_allclose(atoms.get_stress(), stress_ref, rtol=0, atol=1e-6)


# Other published parameter sets shipped with lammps-data: silicon with lambda3 != 0 (m = 3), and
# SiC with m = 1, n = 1, entries over two lines and three-body-only entries holding n = 0.
OTHER_SETS = {"Si.tersoff": ("Si", 5.43), "SiC_Erhart-Albe.tersoff": ("SiC", 4.36)}


@needs_lammps
@pytest.mark.parametrize("name", list(OTHER_SETS))
def test_other_parameter_sets_agree_with_lammps(name, tmp_path):
    potential = REFERENCE_BNC.parent / name
    if not potential.exists():
        pytest.skip(f"{potential} is not installed")
    formula, a = OTHER_SETS[name]
    atoms = bulk(formula, "diamond" if formula == "Si" else "zincblende", a=a, cubic=True) * (2, 1, 1)
    if formula == "SiC":
        atoms.symbols[[0, 5]] = "Si"  # antisites: Si-Si and C-C bonds too
    atoms = rattled(atoms, 0.12, 12)
    e_ref, energies_ref, forces_ref, stress_ref = run_lammps(atoms, tmp_path, potential)
    atoms.calc = Tersoff(potential)
    assert atoms.get_potential_energy() == pytest.approx(e_ref, rel=1e-9)
    np.testing.assert_allclose(atoms.get_forces(), forces_ref, rtol=0, atol=1e-7)
    np.testing.assert_allclose(atoms.get_potential_energies(), energies_ref, rtol=0, atol=1e-8)
    np.testing.assert_allclose(atoms.get_stress(), stress_ref, rtol=0, atol=1e-6)


# ---------------------------------------------------------------------------------------------
# Derivatives


def numeric_forces(atoms, h=1e-5):
    out = np.zeros((len(atoms), 3))
    for i in range(len(atoms)):
        for d in range(3):
            e = []
            for sign in (1, -1):
                shifted = atoms.copy()
                shifted.calc = atoms.calc
                shifted.positions[i, d] += sign * h
                e.append(shifted.get_potential_energy())
            out[i, d] = -(e[0] - e[1]) / (2 * h)
    return out


def numeric_stress(atoms, h=1e-6):
    out = np.zeros((3, 3))
    for a in range(3):
        for b in range(3):
            e = []
            for sign in (1, -1):
                strain = np.eye(3)
                strain[a, b] += sign * h
                strained = atoms.copy()
                strained.calc = atoms.calc
                strained.set_cell(atoms.cell.array @ strain, scale_atoms=True)
                e.append(strained.get_potential_energy())
            out[a, b] = (e[0] - e[1]) / (2 * h) / atoms.get_volume()
    s = 0.5 * (out + out.T)
    return np.array([s[0, 0], s[1, 1], s[2, 2], s[1, 2], s[0, 2], s[0, 1]])


# Silicon (Tersoff, PRB 38, 9902 (1988)) with lambda3 != 0 and, as an m = 1 variant, the same
# numbers with m = 1: the exp(lambda3^m (r_ij - r_ik)^m) factor and its derivatives.
SI_ENTRY = [3.0, 1.0, 1.3258, 4.8381, 2.0417, 0.0, 22.956, 0.33675, 1.3258, 95.373, 3.0, 0.2, 3.2394, 3264.7]


@pytest.mark.parametrize("name", ["BC2N", "cell shorter than cutoff", "skewed c-BN", "Si, m=3", "Si, m=1"])
def test_forces_and_stress_are_energy_derivatives(name, calc):
    if name.startswith("Si"):
        entry = [float(name[-1])] + SI_ENTRY[1:]
        calc = Tersoff({("Si", "Si", "Si"): entry})
        atoms = rattled(bulk("Si", "diamond", a=5.43, cubic=True), 0.2, 13)
    else:
        atoms = periodic_structures()[name]
    if len(atoms) > 16:
        atoms = atoms[:16]  # keeps the finite-difference loop short; the cell stays periodic
    atoms.calc = calc
    forces = atoms.get_forces()
    assert np.abs(forces).max() > 0.1  # a structure far from equilibrium, so the test bites
    np.testing.assert_allclose(forces, numeric_forces(atoms), rtol=0, atol=2e-5)
    np.testing.assert_allclose(atoms.get_stress(), numeric_stress(atoms), rtol=0, atol=2e-6)


def test_open_directions(calc):
    """A slab open along z and a cluster with no cell at all: forces still the energy gradient,
    energy independent of the (meaningless) cell vector along the open direction."""
    sheet = slab()[:12]
    sheet.calc = calc
    np.testing.assert_allclose(sheet.get_forces(), numeric_forces(sheet), rtol=0, atol=2e-5)
    taller = sheet.copy()
    taller.cell[2] *= 3
    taller.calc = calc
    assert taller.get_potential_energy() == pytest.approx(sheet.get_potential_energy(), rel=1e-12)

    cluster = Atoms(
        "BN" * 4, positions=rattled(bulk("BN", "zincblende", a=3.62, cubic=True), 0.1, 6).positions, pbc=False
    )
    cluster.calc = calc
    np.testing.assert_allclose(cluster.get_forces(), numeric_forces(cluster), rtol=0, atol=2e-5)
    np.testing.assert_allclose(cluster.get_forces().sum(axis=0), 0, atol=1e-10)
    with pytest.raises(PropertyNotImplementedError, match="stress needs a cell"):
        cluster.get_stress()


# ---------------------------------------------------------------------------------------------
# ASE's own Tersoff (slow, small structures only), threads, and basic consistency


def test_agrees_with_ase_tersoff(calc):
    atoms = bc2n()  # every atom keeps several bonds: ASE's version fails when zeta_ij = 0
    atoms.calc = calc
    ref = atoms.copy()
    ref.calc = AseTersoff.from_lammps(BNC)
    assert atoms.get_potential_energy() == pytest.approx(ref.get_potential_energy(), rel=1e-12)
    assert atoms.get_potential_energy() == pytest.approx(atoms.get_potential_energies().sum(), rel=1e-12)
    np.testing.assert_allclose(atoms.get_forces(), ref.get_forces(), rtol=0, atol=1e-10)
    np.testing.assert_allclose(atoms.get_stress(), ref.get_stress(), rtol=0, atol=1e-12)
    np.testing.assert_allclose(atoms.get_potential_energies(), ref.get_potential_energies(), atol=1e-10)
    assert calc.get_property("free_energy", atoms) == atoms.get_potential_energy()


def test_results_do_not_depend_on_thread_count():
    atoms = rattled(bulk("BN", "zincblende", a=3.62, cubic=True) * (6, 6, 6), 0.05, 8)
    results = []
    for threads in (1, 2, 3):
        atoms.calc = Tersoff(BNC, threads=threads)
        results.append(
            (
                atoms.get_potential_energy(),
                atoms.get_forces(),
                atoms.get_stress(),
                atoms.get_potential_energies(),
            )
        )
    for other in results[1:]:
        assert other[0] == results[0][0]
        for a, b in zip(other[1:], results[0][1:]):
            assert np.array_equal(a, b)


def test_diamond_minimum_of_the_kinaci_set():
    """The Kinaci et al. set puts diamond's lattice constant near 3.645 A (fitted for sp2 B-C-N)."""
    calc = Tersoff(KINACI)
    best = diamond_eos_minimum(calc, np.linspace(3.55, 3.75, 41), near=3.65)
    assert best == pytest.approx(3.645, abs=0.01)
    atoms = bulk("C", "diamond", a=best)
    atoms.calc = calc
    assert np.abs(atoms.get_stress()[:3]).max() < 1e-3  # no pressure at the minimum


def test_unknown_elements_and_missing_entries(tmp_path):
    atoms = bulk("Si", "diamond", a=5.43)
    atoms.calc = Tersoff(BNC)
    with pytest.raises(ValueError, match="no Tersoff parameters for element.*Si.*covers B, C, N"):
        atoms.get_potential_energy()

    entries = read_tersoff_file(BNC)
    partial = {k: v for k, v in entries.items() if k != ("B", "N", "C")}
    mixed = bc2n()
    mixed.calc = Tersoff(partial)
    with pytest.raises(ValueError, match="no entry B N C"):
        mixed.get_potential_energy()
    only_bn = bulk("BN", "zincblende", a=3.62)  # needs no triple with C
    only_bn.calc = Tersoff(partial)
    assert np.isfinite(only_bn.get_potential_energy())

    with pytest.raises(ValueError, match="threads"):
        Tersoff(BNC, threads=0)


# ---------------------------------------------------------------------------------------------
# Parameter files


@pytest.mark.skipif(not REFERENCE_BNC.exists(), reason="Debian's lammps-data is not installed")
def test_kinaci_file_matches_the_published_set():
    ours, reference = read_tersoff_file(KINACI), read_tersoff_file(REFERENCE_BNC)
    assert sorted(ours) == sorted(reference)
    for key, values in reference.items():
        assert ours[key] == pytest.approx(values, rel=1e-12), key


def test_parameter_file_format(tmp_path):
    c_entry = "3.0 1.0 0.0 3.8049e4 4.3484 -0.93 0.72751 1.5724e-7 2.2119 430.0 1.95 0.15 3.4879 1393.6"
    path = tmp_path / "C.tersoff"
    # Comments anywhere, and an entry split over lines.
    path.write_text(f"# carbon\nC C C {c_entry[:20]}  # first part\n  {c_entry[20:]}\n")
    entries = read_tersoff_file(path)
    assert list(entries) == [("C", "C", "C")]
    assert dict(zip(FIELDS, entries["C", "C", "C"]))["lambda1"] == 3.4879
    atoms = rattled(bulk("C", "diamond", a=3.6) * (2, 1, 1), 0.05, 9)
    atoms.calc = Tersoff(path)
    ref = atoms.copy()
    ref.calc = Tersoff(KINACI)  # the same carbon numbers
    assert atoms.get_potential_energy() == pytest.approx(ref.get_potential_energy(), rel=1e-14)

    bad = {
        "incomplete entry": f"C C C {c_entry}\nC C\n",
        "is not a number": f"C C C {c_entry.replace('4.3484', '4.34.84')}\n",
        "duplicate entry C C C": f"C C C {c_entry}\nC C C {c_entry}\n",
        "must not be negative": f"C C C {c_entry.replace('430.0', '-430.0')}\n",
        "m must be 1 or 3": f"C C C {'2.0' + c_entry[3:]}\n",
        "no Tersoff entries": "# nothing here\n",
    }
    for message, text in bad.items():
        path.write_text(text)
        with pytest.raises(ValueError, match=message):
            read_tersoff_file(path)


def test_kernel_rejects_bad_input():
    from corvane import _kernels

    atoms = bulk("C", "diamond", a=3.6)
    params = np.array(read_tersoff_file(BNC)["C", "C", "C"]).reshape(1, 1, 1, 14)
    present = np.ones((1, 1, 1), dtype=bool)
    args = dict(
        positions=atoms.positions,
        cell=atoms.cell.array,
        pbc=atoms.pbc,
        species=np.zeros(2, np.int32),
        params=params,
        present=present,
    )
    energy = _kernels.tersoff(**args)[0]
    assert energy == pytest.approx(_kernels.tersoff(**{**args, "threads": 4})[0], rel=0)
    cases = {
        "species index out of range": {"species": np.array([0, 1], np.int32)},
        "one entry per atom": {"species": np.zeros(3, np.int32)},
        "missing Tersoff entry": {"present": ~present},
        r"shape \(E, E, E, 14\)": {"params": params[..., :13]},
        "positions must be finite": {"positions": np.full((2, 3), np.nan)},
    }
    for message, change in cases.items():
        with pytest.raises(ValueError, match=message):
            _kernels.tersoff(**{**args, **change})
