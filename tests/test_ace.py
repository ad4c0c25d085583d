"""The linear cluster-expansion potential: descriptors, kernel, calculator."""

import os
import subprocess
import sys
from dataclasses import replace

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk

from corvane import _kernels
from corvane.potentials import pth
from corvane.potentials.ace import AceBasis, AceCalculator, AceModel, load_model, save_model
from corvane.training.ace_fit import core_terms, voigt

SMALL = AceBasis(
    ("B", "C", "N"),
    cutoff=4.0,
    body2=4,
    body3=(3, 3, 2, 2),
    body4=2,
    contractions=("0,0,0", "0,1,1", "0,2,2", "1,2,1", "2,2,2", "1,3,2"),
)


def random_model(basis=SMALL, seed=0, scale=1e-3):
    rng = np.random.default_rng(seed)
    k = basis.program().outputs
    ne = len(basis.elements)
    return AceModel(basis, rng.normal(size=ne), rng.normal(size=(ne, k)) * scale)


def mixed_cell(seed=1):
    """A rattled, sheared 16-atom cell with all three elements."""
    atoms = bulk("BN", "zincblende", a=3.62, cubic=True) * (2, 1, 1)
    atoms.symbols[[2, 9, 12]] = "C"
    atoms.set_cell(atoms.cell.array @ [[1.02, 0.03, 0], [0, 0.99, 0.02], [0, 0, 1.01]], scale_atoms=True)
    atoms.rattle(0.08, seed=seed)
    return atoms


def radial(basis, r):
    """R_mu(r) for mu = 0..7, written out independently of the kernel."""
    x = 2 * (r - basis.r_inner) / (basis.cutoff - basis.r_inner) - 1
    fc = (1 - r**2 / basis.cutoff**2) ** 3
    return np.array([np.cos(mu * np.arccos(np.clip(x, -1, 1))) for mu in range(8)]) * fc


def design(atoms, basis, derivatives):
    """The kernel's fitting rows of a cell: descriptors, energy, forces and virial."""
    program = basis.program()
    species = np.array([basis.elements.index(s) for s in atoms.get_chemical_symbols()], np.int32)
    return _kernels.ace_design(
        atoms.positions,
        atoms.cell.array,
        atoms.pbc,
        species,
        len(basis.elements),
        basis.nrad,
        basis.cutoff,
        basis.r_inner,
        program.out,
        program.coef,
        program.slots,
        program.outputs,
        derivatives,
    )


def descriptors(atoms, basis=SMALL):
    d, *_ = design(atoms, basis, False)
    return dict(zip(basis.program().labels, d.T))


def test_descriptors_match_direct_sums_over_neighbours():
    """Contractions of the moment tensors equal the sums over neighbour pairs and triples
    that they stand for (angles through dot products of unit vectors)."""
    rng = np.random.default_rng(4)
    centre = np.zeros(3)
    neighbours = rng.uniform(-2.2, 2.2, size=(5, 3))
    neighbours = neighbours[np.linalg.norm(neighbours, axis=1) > 1.2]
    atoms = Atoms("B" + "C" * len(neighbours), positions=np.vstack([centre, neighbours]), pbc=False)
    atoms.symbols[1] = "N"
    got = descriptors(atoms)
    r = np.linalg.norm(neighbours, axis=1)
    u = neighbours / r[:, None]
    R = radial(SMALL, r)  # (mu, j)
    el = np.array([SMALL.elements.index(s) for s in atoms.get_chemical_symbols()[1:]])
    dots = u @ u.T

    def m(c, mu):
        return R[mu] * (el == c)

    # body order 2: sum_j R_mu(r_j) over carbon neighbours
    assert got["2:1.2"][0] == pytest.approx(m(1, 2).sum(), rel=1e-12)
    # body order 3, rank nu: sum_jk R R (u_j . u_k)^nu
    for nu in range(4):
        a, b = m(1, 1), m(2, 0)
        key = f"3:{nu}:(1, 1)(2, 0)"
        assert got[key][0] == pytest.approx(a @ dots**nu @ b, rel=1e-10), key
    # body order 4: M0 (M1 . M1) and M1 M2 M1
    a, b, c = m(1, 0), m(1, 1), m(2, 1)
    want = a.sum() * (b @ dots @ c)
    assert got["4:0,1,1:((1, 0), (1, 1), (2, 1))"][0] == pytest.approx(want, rel=1e-10)
    # sum_jkl a_j b_k c_l (u_j . u_k)(u_k . u_l)
    want = np.einsum("j,k,l,jk,kl->", a, b, c, dots, dots)
    assert got["4:1,2,1:((1, 0), (1, 1), (2, 1))"][0] == pytest.approx(want, rel=1e-10)
    # tr(M2 M2 M2) = sum_jkl (u_j.u_k)(u_k.u_l)(u_l.u_j)
    want = np.einsum("j,k,l,jk,kl,lj->", a, b, c, dots, dots, dots)
    assert got["4:2,2,2:((1, 0), (1, 1), (2, 1))"][0] == pytest.approx(want, rel=1e-10)
    # M1_a M3_abc M2_bc = sum_jkl (u_j.u_k)(u_k.u_l)^2
    want = np.einsum("j,k,l,jk,kl->", a, b, c, dots, dots**2)
    assert got["4:1,3,2:((1, 0), (1, 1), (2, 1))"][0] == pytest.approx(want, rel=1e-10)


def test_descriptors_are_invariant_and_vanish_smoothly_at_the_cutoff():
    atoms = mixed_cell()
    base = descriptors(atoms)
    rng = np.random.default_rng(0)
    rot = np.linalg.qr(rng.normal(size=(3, 3)))[0]
    turned = atoms.copy()
    turned.set_cell(atoms.cell.array @ rot.T)
    turned.positions = atoms.positions @ rot.T + [0.3, -1.1, 2.0]
    perm = rng.permutation(len(atoms))
    shuffled = turned[perm]
    moved = descriptors(shuffled)
    for key, value in base.items():
        np.testing.assert_allclose(moved[key], value[perm], rtol=1e-9, atol=1e-12)

    # Two atoms just inside and just outside the cutoff: the pair terms fade to nothing.
    for gap, expect_zero in ((SMALL.cutoff + 1e-3, True), (SMALL.cutoff - 1e-3, False)):
        dimer = Atoms("CC", positions=[[0, 0, 0], [gap, 0, 0]], pbc=False)
        d = descriptors(dimer)
        if expect_zero:
            assert all(np.all(v == 0) for v in d.values())
        else:
            assert 0 < abs(d["2:1.0"][0]) < 1e-9  # fc ~ (2e-3/4)^3: a third-order contact


def assert_derivatives_of_the_energy(atoms, h=1e-5, **tolerance):
    """The calculator's forces and stress match central differences of its energy (within
    `tolerance`, abs=1e-8 unless given), and its site energies sum to the energy."""
    tolerance = tolerance or dict(abs=1e-8)
    forces, stress = atoms.get_forces(), atoms.get_stress(voigt=False)
    for i, a in ((0, 0), (2, 1), (9, 2), (15, 0)):
        shifted = []
        for sign in (1, -1):
            x = atoms.copy()
            x.calc = atoms.calc
            x.positions[i, a] += sign * h
            shifted.append(x.get_potential_energy())
        assert forces[i, a] == pytest.approx(-(shifted[0] - shifted[1]) / (2 * h), **tolerance)
    for a, b in ((0, 0), (1, 1), (1, 2), (0, 1)):
        shifted = []
        for sign in (1, -1):
            strain = np.eye(3)
            strain[a, b] += sign * h / 2
            strain[b, a] += sign * h / 2
            x = atoms.copy()
            x.calc = atoms.calc
            x.set_cell(atoms.cell.array @ strain, scale_atoms=True)
            shifted.append(x.get_potential_energy())
        fd = (shifted[0] - shifted[1]) / (2 * h) / atoms.get_volume()
        assert stress[a, b] == pytest.approx(fd, **tolerance)
    assert atoms.get_potential_energies().sum() == pytest.approx(atoms.get_potential_energy(), rel=1e-13)


def test_forces_and_stress_are_derivatives_of_the_energy():
    atoms = mixed_cell()
    atoms.calc = AceCalculator(random_model(), threads=1)
    assert_derivatives_of_the_energy(atoms)


def test_short_range_is_bounded_and_the_core_repels_with_consistent_derivatives(tmp_path):
    plain = random_model(scale=1e-2)
    cored = AceModel(replace(SMALL, core_radius=1.1, core_energy=5.0), plain.reference, plain.coefficients)
    pair = lambda r: 5.0 * (1.1 / r - 1) ** 3 if r < 1.1 else 0.0  # noqa: E731

    # A dimer through r_inner (1.0 A): energy and force are continuous there; below it the
    # fitted terms stay bounded, and the core is all that differs between the two models.
    def dimer(model, r):
        atoms = Atoms("BN", positions=[[0, 0, 0], [r, 0, 0]], cell=[12, 12, 12], pbc=True)
        atoms.calc = AceCalculator(model, threads=1)
        return atoms.get_potential_energy(), atoms.get_forces()[1, 0]

    inside, outside = dimer(plain, 1.0 - 1e-9), dimer(plain, 1.0 + 1e-9)
    assert inside[0] == pytest.approx(outside[0], abs=1e-7)
    assert inside[1] == pytest.approx(outside[1], abs=1e-5)
    spread = np.ptp([dimer(plain, r)[0] for r in np.linspace(0.05, 1.0, 40)])
    reach = np.ptp([dimer(plain, r)[0] for r in np.linspace(1.0, 4.0, 40)])
    assert spread < 5 * reach  # unbounded, T_7 alone would be 900 at 0.05 A, in every factor
    for r in (0.05, 0.5, 0.99):  # each radial function within twice its largest value inside
        d = descriptors(Atoms("BN", positions=[[0, 0, 0], [r, 0, 0]], cell=[12, 12, 12], pbc=True))
        fc = (1 - r**2 / SMALL.cutoff**2) ** 3
        values = np.abs([d[f"2:2.{mu}"][0] for mu in range(SMALL.body2)])
        assert np.all(values <= 2 * fc) and np.all(values >= fc * (1 - 1e-12))
    for r in (0.3, 0.9, 1.05, 1.2):
        assert dimer(cored, r)[0] - dimer(plain, r)[0] == pytest.approx(pair(r), rel=1e-10, abs=1e-12)
    energies = [dimer(cored, r)[0] for r in (0.3, 0.5, 0.7, 0.9)]
    assert np.all(np.diff(energies) < 0)  # repulsive all the way in

    # Forces and stress of a crowded cell, pairs inside the core and below r_inner, against
    # central differences; the fit's rows plus the core give the same numbers.
    atoms = mixed_cell()
    for i, j, r in ((0, 1, 0.85), (2, 3, 1.05), (9, 8, 0.95), (15, 14, 1.08)):
        bond = atoms.get_distance(i, j, mic=True, vector=True)
        atoms.positions[i] += bond * (1 - r / np.linalg.norm(bond))
    atoms.calc = AceCalculator(cored, threads=1)
    assert_derivatives_of_the_energy(atoms, h=1e-6, rel=1e-6, abs=1e-6)
    forces = atoms.get_forces()
    species = atoms.calc.species(atoms.numbers)
    core_energy, core_forces, core_stress = core_terms(atoms, cored.basis, species)
    assert core_energy > 5.0 * (1.1 / 0.85 - 1) ** 3
    _, energy, design_forces, virial = design(atoms, SMALL, True)
    c = cored.coefficients.reshape(-1)
    counts = np.bincount(species, minlength=3)
    assert counts @ cored.reference + energy @ c + core_energy == pytest.approx(atoms.get_potential_energy())
    np.testing.assert_allclose((design_forces @ c).reshape(-1, 3) + core_forces, forces, atol=1e-9)
    w = (virial @ c).reshape(3, 3)
    stress = atoms.get_stress()
    np.testing.assert_allclose(voigt(0.5 * (w + w.T)) / atoms.get_volume() + core_stress, stress, atol=1e-9)
    # the file keeps the core; a description written before there was one has none
    save_model(cored, tmp_path / "cored.pth")
    assert load_model(tmp_path / "cored.pth").basis == cored.basis
    old = {k: v for k, v in cored.basis.as_dict().items() if not k.startswith("core")}
    assert AceBasis.from_dict(old) == SMALL
    with pytest.raises(ValueError, match="core_radius <= cutoff"):
        replace(SMALL, core_radius=5.0, core_energy=1.0)
    with pytest.raises(ValueError, match="core_energy >= 0"):
        replace(SMALL, core_radius=1.0, core_energy=-1.0)


def test_results_do_not_depend_on_thread_count_and_design_rows_agree():
    atoms = mixed_cell() * (6, 6, 3)  # 1728 atoms: several blocks of work
    model = random_model()
    results = []
    for threads in (1, 3):
        atoms.calc = AceCalculator(model, threads=threads)
        results.append((atoms.get_potential_energy(), atoms.get_forces(), atoms.get_stress()))
    assert results[0][0] == results[1][0]
    assert np.array_equal(results[0][1], results[1][1])
    assert np.array_equal(results[0][2], results[1][2])
    # The kernel keeps its pair lists from one call to the next: a smaller cell in between
    # leaves nothing behind that changes the big cell's numbers.
    small = mixed_cell(seed=3)
    small.calc = AceCalculator(model, threads=1)
    small.get_forces()
    atoms.calc = AceCalculator(model, threads=1)
    assert atoms.get_potential_energy() == results[0][0]
    assert np.array_equal(atoms.get_forces(), results[0][1])

    # The fitting rows of a cell, times the coefficients, give the calculator's results: in a
    # cell with all three elements, and in pure diamond, where the calculator skips every term
    # that reads moments of boron or nitrogen neighbours.
    diamond = bulk("C", "diamond", a=3.6, cubic=True) * (2, 1, 1)
    diamond.rattle(0.05, seed=2)
    for small in (mixed_cell(seed=5), diamond):
        small.calc = AceCalculator(model, threads=1)
        species = small.calc.species(small.numbers)
        _, energy, forces, virial = design(small, SMALL, True)
        c = model.coefficients.reshape(-1)
        counts = np.bincount(species, minlength=3)
        assert counts @ model.reference + energy @ c == pytest.approx(small.get_potential_energy(), rel=1e-12)
        np.testing.assert_allclose((forces @ c).reshape(-1, 3), small.get_forces(), atol=1e-12)
        w = (virial @ c).reshape(3, 3)
        np.testing.assert_allclose(
            0.5 * (w + w.T) / small.get_volume(), small.get_stress(voigt=False), atol=1e-12
        )


def test_calculator_refuses_bad_input():
    model = random_model()
    calc = AceCalculator(model, threads=1)
    with pytest.raises(ValueError, match="no parameters for element.*Si.*covers B, C, N"):
        calc.get_potential_energy(bulk("Si", "diamond", a=5.43))
    atoms = bulk("C", "diamond", a=3.57)
    atoms.positions[0, 0] = np.nan
    with pytest.raises(ValueError, match="finite"):
        calc.get_potential_energy(atoms)
    with pytest.raises(ValueError, match="threads must be a positive integer"):
        AceCalculator(model, threads=0)
    with pytest.raises(ValueError, match="coefficients have shape"):
        AceModel(SMALL, np.zeros(3), np.zeros((3, 5)))
    with pytest.raises(ValueError, match="r_inner < cutoff"):
        AceBasis(("C",), cutoff=1.0, r_inner=2.0)
    with pytest.raises(ValueError, match="unknown element"):
        AceBasis(("C", "Xx"))
    # A molecule has energy and forces but no stress.
    molecule = Atoms("CN", positions=[[0, 0, 0], [1.3, 0, 0]])
    molecule.calc = calc
    assert np.isfinite(molecule.get_potential_energy())
    with pytest.raises(Exception, match="stress needs a cell"):
        molecule.get_stress()


def test_uncompensated_carriers_cost_energy_and_nothing_else(tmp_path):
    plain = random_model()
    charged = AceModel(plain.basis, plain.reference, plain.coefficients, carrier_energy=1.3)
    bn = bulk("BN", "zincblende", a=3.62, cubic=True)
    compensated = bn.copy()
    compensated.symbols[[0, 1]] = "C"  # one B and one N replaced: no carrier left
    donors = bn.copy()
    donors.symbols[[0, 2]] = "C"  # two B replaced: two N electrons have no hole to fill
    for atoms, carriers in ((mixed_cell(), 1), (compensated, 0), (donors, 2)):
        atoms.rattle(0.05, seed=4)
        results = []
        for model in (plain, charged):
            atoms.calc = AceCalculator(model, threads=1)
            results.append(
                (
                    atoms.get_potential_energy(),
                    atoms.get_potential_energies(),
                    atoms.get_forces(),
                    atoms.get_stress(),
                )
            )
        (e0, site0, f0, s0), (e1, site1, f1, s1) = results
        assert e1 - e0 == pytest.approx(1.3 * carriers, abs=1e-10)
        assert site1.sum() == pytest.approx(e1, rel=1e-13)
        assert np.array_equal(f0, f1) and np.array_equal(s0, s1)

    # The term survives the file; a file of the first version, without it, reads as having none;
    # a file counting carriers by other charges than ours is refused.
    path = tmp_path / "m.pth"
    save_model(charged, path)
    assert load_model(path).carrier_energy == 1.3
    contents = pth.load(path)
    for key in ("carrier_energy", "carrier_charges"):
        del contents[key]
    contents["format_version"] = 1
    pth.save(contents, path)
    assert load_model(path).carrier_energy == 0.0
    contents["carrier_charges"] = [1.0, 0.0, -1.0]
    pth.save(contents, path)
    with pytest.raises(ValueError, match="carrier charges .*differ"):
        load_model(path)
    with pytest.raises(ValueError, match="carrier energy must be a finite number"):
        AceModel(plain.basis, plain.reference, plain.coefficients, carrier_energy=float("nan"))


def test_energy_per_carrier_follows_the_pair_descriptors(tmp_path):
    plain = random_model()
    ne, pairs = 3, 3 * SMALL.body2
    weights = np.random.default_rng(5).normal(size=(ne, pairs)) * 0.05
    constant = AceModel(plain.basis, plain.reference, plain.coefficients, carrier_energy=1.3)
    varying = AceModel(plain.basis, plain.reference, plain.coefficients, {}, 1.3, weights)

    # One carrier in a rattled, sheared cell: forces and stress are derivatives of the energy,
    # which now depends on every bond through the cell's mean pair descriptors.
    atoms = mixed_cell()
    atoms.calc = AceCalculator(varying, threads=1)
    assert_derivatives_of_the_energy(atoms)
    atoms.calc = AceCalculator(constant, threads=1)
    assert not np.allclose(AceCalculator(varying, threads=1).get_forces(atoms), atoms.get_forces())

    # The energy per carrier is intensive: a cell twice as large with twice the carriers has
    # twice the energy and the same forces, atom by atom.
    double = mixed_cell() * (2, 1, 1)
    for x in (atoms, double):
        x.calc = AceCalculator(varying, threads=2)
    assert double.get_potential_energy() == pytest.approx(2 * atoms.get_potential_energy(), rel=1e-12)
    assert np.allclose(double.get_forces(), np.tile(atoms.get_forces(), (2, 1)), atol=1e-12)

    # A compensated cell never pays for carriers, whatever their coefficients.
    compensated = bulk("BN", "zincblende", a=3.62, cubic=True)
    compensated.symbols[[0, 1]] = "C"
    compensated.rattle(0.05, seed=2)
    results = []
    for model in (plain, varying):
        compensated.calc = AceCalculator(model, threads=1)
        results.append((compensated.get_potential_energy(), compensated.get_forces()))
    assert results[0][0] == results[1][0] and np.array_equal(results[0][1], results[1][1])

    # The coefficients survive the file; a file of the second version, without them, reads as a
    # constant energy per carrier; coefficients of the wrong shape are refused.
    path = tmp_path / "m.pth"
    save_model(varying, path)
    assert np.array_equal(load_model(path).carrier_coefficients, weights)
    contents = pth.load(path)
    del contents["carrier_coefficients"]
    contents["format_version"] = 2
    pth.save(contents, path)
    old = load_model(path)
    assert old.carrier_energy == 1.3 and not np.any(old.carrier_coefficients)
    contents["format_version"] = 3
    contents["carrier_coefficients"] = weights[:, :-1]
    pth.save(contents, path)
    with pytest.raises(ValueError, match=r"carrier coefficients have shape \(3, 11\), expected \(3, 12\)"):
        load_model(path)


def test_portable_and_vector_builds_agree(tmp_path):
    """The kernel runs a four-wide vector build where the CPU has AVX2 and a portable one
    elsewhere (CORVANE_SIMD=sse2 forces it): both give the same results to rounding."""
    path = tmp_path / "model.pth"
    save_model(random_model(seed=3, scale=1e-2), path)
    (tmp_path / "run.py").write_text(
        "import sys, numpy as np\n"
        "from ase.build import bulk\n"
        "from corvane.potentials.ace import AceCalculator\n"
        "mixed = bulk('BN', 'zincblende', a=3.62, cubic=True) * (2, 2, 1)\n"
        "mixed.symbols[[1, 6, 11, 20]] = 'C'\n"
        "mixed.rattle(0.07, seed=4)\n"
        "diamond = bulk('C', 'diamond', a=3.58, cubic=True) * (2, 1, 1)\n"
        "diamond.rattle(0.05, seed=5)\n"
        "out = []\n"
        "for atoms in (mixed, diamond):\n"
        "    atoms.calc = AceCalculator(sys.argv[1], threads=2)\n"
        "    out += [atoms.get_potential_energy(), *atoms.get_forces().ravel(), *atoms.get_stress()]\n"
        "np.save(sys.argv[2], np.array(out))\n"
    )
    results = {}
    for simd in ("sse2", "auto"):
        out = tmp_path / f"{simd}.npy"
        env = {**os.environ, "CORVANE_SIMD": simd}
        subprocess.run([sys.executable, str(tmp_path / "run.py"), str(path), str(out)], env=env, check=True)
        results[simd] = np.load(out)
    assert np.abs(results["sse2"]).max() > 1.0  # forces and energies of a real size
    np.testing.assert_allclose(results["sse2"], results["auto"], rtol=1e-11, atol=1e-10)


def test_many_elements_agree_with_the_design_rows():
    """With more than eight elements the kernel keeps the pair terms one by one instead of in
    dense blocks; the energy and forces still equal the fitting rows times the coefficients."""
    elements = ("B", "C", "N", "O", "Al", "Si", "P", "Ga", "As")
    basis = AceBasis(
        elements, cutoff=3.5, body2=3, body3=(2, 2, 2, 1), body4=1, contractions=("0,0,0", "0,1,1")
    )
    model = random_model(basis, seed=6, scale=1e-2)
    atoms = bulk("C", "diamond", a=3.6, cubic=True) * (2, 1, 1)
    atoms.symbols = [elements[k % len(elements)] for k in range(len(atoms))]
    atoms.rattle(0.05, seed=7)
    atoms.calc = AceCalculator(model, threads=1)
    species = atoms.calc.species(atoms.numbers)
    _, energy, forces, _ = design(atoms, basis, True)
    c = model.coefficients.reshape(-1)
    counts = np.bincount(species, minlength=len(elements))
    assert abs(energy @ c) > 1e-3  # the many-body terms contribute
    assert counts @ model.reference + energy @ c == pytest.approx(atoms.get_potential_energy(), rel=1e-12)
    np.testing.assert_allclose((forces @ c).reshape(-1, 3), atoms.get_forces(), atol=1e-12)
