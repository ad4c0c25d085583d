"""Fitting cluster-expansion models, and the `fit` subcommand, on data made with our Tersoff."""

import gzip
import re

import numpy as np
import pytest
from ase import units
from ase.build import bulk
from ase.calculators.singlepoint import SinglePointCalculator
from ase.io import write

import corvane.cli as cli
from corvane.data import files
from corvane.optimization import get_calculator
from corvane.potentials.ace import AceBasis, AceCalculator, AceModel, load_model
from corvane.tersoff import Tersoff
from corvane.training.ace_fit import (
    FitSettings,
    calculator_errors,
    cell_weights,
    data_hash,
    error_table,
    fit,
    mixed_coefficients,
    read_dataset,
    reduced_rows,
    ridge_path,
    sound_choice,
    split_of,
)

BASIS = AceBasis(("B", "C", "N"), cutoff=4.5, body2=5, body3=(3, 3, 2, 2), body4=1)
SPLIT_CYCLE = ["train"] * 6 + ["validation", "test"]
# These data hold displaced cells: fit them alone, without the Tersoff prior.
DATA_ONLY = FitSettings(prior_cells=0)


def tersoff_frames(count=32, seed=0):
    """Strained, rattled 8-atom cells of diamond, c-BN and C-doped c-BN labelled by Tersoff."""
    calc = Tersoff(files.BNC_KINACI2012_TERSOFF, threads=1)  # labels fixed, whatever the default
    rng = np.random.default_rng(seed)
    frames = []
    for k in range(count):
        atoms = [
            bulk("C", "diamond", a=3.60, cubic=True),
            bulk("BN", "zincblende", a=3.62, cubic=True),
            bulk("BN", "zincblende", a=3.61, cubic=True),
        ][k % 3]
        if k % 3 == 2:
            atoms.symbols[[0, 5]] = "C"
        eps = rng.normal(scale=0.015, size=(3, 3))
        atoms.set_cell(atoms.cell.array @ (np.eye(3) + (eps + eps.T) / 2), scale_atoms=True)
        atoms.rattle(0.06, seed=k)
        atoms.calc = calc
        results = dict(
            energy=atoms.get_potential_energy(), forces=atoms.get_forces(), stress=atoms.get_stress()
        )
        atoms.calc = SinglePointCalculator(atoms, **results)
        atoms.info.update(name=f"cell{k:03d}", split=SPLIT_CYCLE[k % len(SPLIT_CYCLE)])
        frames.append(atoms)
    return frames


@pytest.fixture(scope="module")
def fitted():
    frames = tersoff_frames()
    log = []
    model, report = fit(frames, BASIS, DATA_ONLY, log=log.append)
    return frames, model, report, log


def rmse(a, b):
    return float(np.sqrt(np.mean((np.asarray(a) - np.asarray(b)) ** 2)))


def test_fit_reproduces_its_data_and_reports_honest_errors(fitted):
    frames, model, report, log = fitted
    calc = AceCalculator(model, threads=1)
    test = [a for a in frames if split_of(a) == "test"]
    assert report["cells"] == {"train": 24, "validation": 4, "test": 4}
    e_err, f_err, s_err, f_ref, s_ref = [], [], [], [], []
    for atoms in test:
        ref = atoms.calc
        x = atoms.copy()
        x.calc = calc
        e_err.append((x.get_potential_energy() - ref.results["energy"]) / len(x))
        f_err.append(x.get_forces() - ref.results["forces"])
        s_err.append(x.get_stress() - ref.results["stress"])
        f_ref.append(ref.results["forces"])
        s_ref.append(ref.results["stress"])
    # The report's test errors are those of the calculator built from the written model.
    got = report["errors"]["test"]
    assert got["energy"] == pytest.approx(rmse(e_err, 0), rel=1e-6)
    assert got["force"] == pytest.approx(rmse(np.concatenate(f_err), 0), rel=1e-6)
    assert got["stress"] == pytest.approx(rmse(np.concatenate(s_err), 0) / units.GPa, rel=1e-5)
    # Unseen cells: forces and stresses to well within their spread.
    assert got["force"] < 0.25 * rmse(np.concatenate(f_ref), 0)
    assert got["stress"] * units.GPa < 0.25 * rmse(np.concatenate(s_ref), 0)
    assert got["energy"] < 0.01  # eV/atom
    assert any(line.startswith("chosen penalty") for line in log)
    table = error_table(report).splitlines()
    assert table[0].split()[:3] == ["split", "cells", "E"] and len(table) == 4


def test_fit_is_deterministic_and_needs_training_cells(fitted):
    frames, model, report, _ = fitted
    again, _ = fit(frames, BASIS, DATA_ONLY, log=lambda *_: None)
    assert np.array_equal(again.coefficients, model.coefficients)
    assert np.array_equal(again.reference, model.reference)
    assert model.metadata["training_data_sha256"] == data_hash(frames[::-1])
    frames[0].positions[0, 0] += 1e-9
    assert data_hash(frames) != model.metadata["training_data_sha256"]
    frames[0].positions[0, 0] -= 1e-9

    held_out = [a.copy() for a in frames[:4]]
    for a, original in zip(held_out, frames[:4]):
        a.calc = original.calc
        a.info["split"] = "test"
    with pytest.raises(ValueError, match="no training cells"):
        fit(held_out, BASIS, log=lambda *_: None)
    with pytest.raises(ValueError, match="element Si, which the basis"):
        si = bulk("Si", "diamond", a=5.43)
        si.calc = SinglePointCalculator(si, energy=0.0, forces=np.zeros((2, 3)), stress=np.zeros(6))
        si.info.update(name="si", split="train")
        fit([si], BASIS, log=lambda *_: None)


def write_gz_members(path, frames):
    """One gzip member per cell, appended, as the data set is written."""
    for atoms in frames:
        with gzip.open(path, "at") as fh:
            write(fh, atoms, format="extxyz")


def test_fit_command_writes_a_model_that_loads(tmp_path, capsys, fitted):
    frames = fitted[0]
    data = tmp_path / "dft"
    data.mkdir()
    write_gz_members(data / "diamond.extxyz.gz", frames[:16])
    write_gz_members(data / "cBN.extxyz.gz", frames[16:])
    back = read_dataset([data])
    assert [a.info["name"] for a in back] == [a.info["name"] for a in frames[16:] + frames[:16]]
    assert [a.info["split"] for a in back] == [a.info["split"] for a in frames[16:] + frames[:16]]

    out = tmp_path / "my.pth"
    assert (
        cli.main(
            [
                "fit",
                str(data),
                "-o",
                str(out),
                "--body2",
                "5",
                "--body3",
                "3,3,2,2",
                "--body4",
                "1",
                "--stability-draws",
                "0",
            ]
        )
        == 0
    )
    text = capsys.readouterr().out.splitlines()
    assert any(line.startswith("descriptors: 32/32 cells") for line in text)
    assert text[-2:] == ["stability: not checked", f"Model written to: {out}"]
    assert [line.split()[0] for line in text[-7:-3]] == ["split", "train", "validation", "test"]
    calc = get_calculator(str(out))
    assert isinstance(calc, AceCalculator)
    assert load_model(out).metadata["training_data_sha256"] == data_hash(back)
    # The same model as a fit in memory of the cells read back (the files keep 8 decimals, which
    # can tip the choice of penalty by one step against the unrounded cells).
    probe = frames[-1].copy()
    probe.calc = calc
    expected = probe.copy()
    expected.calc = AceCalculator(fit(back, BASIS, DATA_ONLY, log=lambda *_: None)[0], threads=1)
    assert probe.get_potential_energy() == pytest.approx(expected.get_potential_energy(), rel=1e-12)
    np.testing.assert_allclose(probe.get_forces(), expected.get_forces(), atol=1e-10)

    broken = tmp_path / "broken.extxyz"
    frame = frames[0].copy()
    frame.calc = SinglePointCalculator(frame, energy=1.0, forces=np.zeros((8, 3)))
    write(broken, frame, format="extxyz")
    with pytest.raises(SystemExit):
        cli.main(["fit", str(broken), "-o", str(tmp_path / "x.pth")])
    assert "cell 'cell000' has no stress" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        cli.main(["fit", str(tmp_path / "missing"), "-o", str(tmp_path / "x.pth")])
    assert "no such data file or directory" in capsys.readouterr().err
    assert not (tmp_path / "x.pth").exists()


def test_stresses_of_sp2_sheets_are_not_fitted():
    """Cells of the sp2 family carry PBE's spurious interlayer stress: it must not matter."""
    frames = tersoff_frames(16, seed=3)
    junk = []
    for atoms in frames:
        atoms.info["family"] = "sp2"
        copy = atoms.copy()
        results = dict(atoms.calc.results)
        results["stress"] = results["stress"] + 0.5  # about 80 GPa off
        copy.calc = SinglePointCalculator(copy, **results)
        junk.append(copy)
    quiet = dict(log=lambda *_: None)
    model, report = fit(frames, BASIS, **quiet)
    other, _ = fit(junk, BASIS, **quiet)
    assert np.array_equal(model.coefficients, other.coefficients)
    assert "stress" not in report["errors"]["train"]
    frames[0].info["family"] = "diamond"
    moved, _ = fit(frames, BASIS, **quiet)
    assert not np.array_equal(moved.coefficients, model.coefficients)


def test_prior_keeps_a_model_of_equation_of_state_cells_physical():
    """Cells on an equation of state alone say nothing about displaced atoms: the prior (forces
    of our Tersoff potential on rattled crystals) gives restoring forces."""
    calc = Tersoff(files.BNC_TERSOFF, threads=1)
    frames = []
    for k, s in enumerate(np.linspace(0.97, 1.03, 16)):
        atoms = bulk("BN", "zincblende", a=3.55 * s) if k % 2 else bulk("C", "diamond", a=3.6 * s)
        atoms.calc = calc
        results = dict(
            energy=atoms.get_potential_energy(), forces=atoms.get_forces(), stress=atoms.get_stress()
        )
        atoms.calc = SinglePointCalculator(atoms, **results)
        atoms.info.update(name=f"eos{k}", split="validation" if k in (3, 10) else "train")
        frames.append(atoms)
    rattled = bulk("BN", "zincblende", a=3.55, cubic=True)
    rattled.rattle(0.05, seed=2)
    rattled.calc = calc
    reference = rattled.get_forces()
    quiet = dict(log=lambda *_: None)
    with_prior, _ = fit(frames, BASIS, FitSettings(prior_cells=96), **quiet)
    bare, _ = fit(frames, BASIS, **quiet)  # the default: the data alone
    errors, restoring = [], []
    for model in (with_prior, bare):
        rattled.calc = AceCalculator(model, threads=1)
        forces = rattled.get_forces()
        restoring.append(np.sum(forces * reference) / np.sum(reference**2))
        errors.append(rmse(forces, reference))
    assert abs(restoring[0] - 1) < 0.1 and errors[0] < errors[1]
    assert bare.metadata["prior"] == "none" and "Tersoff" in with_prior.metadata["prior"]


def test_ridge_solve_keeps_the_digits_the_normal_equations_lose():
    """Two columns nearly dependent (condition number ~1e8) and the data partly along their
    difference: the normal equations square the condition number past double precision and
    miss it (residual 1e-2 here); the solve must reach the least-squares residual, and a
    larger basis must never fit its training rows worse."""
    rng = np.random.default_rng(4)
    X = rng.normal(size=(200, 6))
    X[:, 5] = X[:, 4] + 1e-7 * rng.normal(size=200)
    X[:, 3] *= 1e4  # badly scaled as well
    y = (
        X @ np.array([1.0, -2.0, 0.5, 1e-4, 3.0, -3.0])
        + 0.1 * (X[:, 5] - X[:, 4]) / 1e-7
        + 1e-6 * rng.normal(size=200)
    )
    best = np.linalg.lstsq(X, y, rcond=None)[0]
    ((_, coef),) = ridge_path(X, y, [1e-30])
    assert rmse(X @ coef, y) < 1.1 * rmse(X @ best, y)
    ((_, fewer),) = ridge_path(X[:, :5], y, [1e-30])
    assert rmse(X @ coef, y) < rmse(X[:, :5] @ fewer, y)
    # An all-zero column is left at zero, whatever the penalty, also after the rows are reduced
    # to their triangular factor, which gives the same path.
    Z = np.hstack([X, np.zeros((200, 1))])
    R, z = reduced_rows(Z, y)
    assert R.shape == (8, 7)
    for (_, c), (_, c_reduced) in zip(
        ridge_path(Z, y, [1e-30, 1e-8, 1.0]), ridge_path(R, z, [1e-30, 1e-8, 1.0])
    ):
        assert c[-1] == 0.0 == c_reduced[-1] and np.all(np.isfinite(c))
        assert rmse(Z @ c_reduced, y) < max(1.1 * rmse(X @ best, y), rmse(Z @ c, y) * (1 + 1e-3))
        np.testing.assert_allclose(Z @ c_reduced, Z @ c, rtol=1e-6, atol=1e-6 * np.abs(y).max())


def test_cells_far_from_equilibrium_weigh_less():
    frames = []
    for k, (family, symbols, energy) in enumerate(
        [
            ("diamond", "C2", -18.0),
            ("diamond", "C2", -17.8),
            ("lonsdaleite", "C4", -35.9),
            ("cBN", "BN", -17.4),
            ("cBN", "BN", -16.4),
        ]
    ):
        atoms = bulk("C", "diamond", a=3.57) if len(symbols) == 2 else bulk("C", "hcp", a=2.5)
        if family == "cBN":
            atoms = bulk("BN", "zincblende", a=3.62)
        atoms.calc = SinglePointCalculator(atoms, energy=energy)
        atoms.info.update(name=f"c{k}", family=family)
        frames.append(atoms)
    w = cell_weights(frames, energy_scale=0.1)
    # Per atom: 0.1 eV above diamond's lowest; lonsdaleite and c-BN lowest in their own group.
    assert w == pytest.approx([1.0, 0.5, 1.0, 1.0, 1 / 6])
    assert np.all(cell_weights(frames, energy_scale=np.inf) == 1.0)


def test_each_kind_of_validation_cell_counts_equally_in_the_choice_of_penalty():
    # The doped validation cells get noisy forces, which favour a larger penalty. Twenty
    # copies of each leave that kind's mean error, and so the choice, the same, where a pooled
    # error would be decided by the noisy cells alone.
    frames = tersoff_frames(16)
    doped = [a for a in frames if a.info["split"] == "validation" and "B" in a.symbols and "C" in a.symbols]
    assert doped
    rng = np.random.default_rng(3)
    for atoms in doped:
        results = dict(atoms.calc.results)
        results["forces"] = results["forces"] + rng.normal(scale=1.0, size=results["forces"].shape)
        atoms.calc = SinglePointCalculator(atoms, **results)
    model, report = fit(frames, BASIS, DATA_ONLY, log=lambda *_: None)
    copies = []
    for k in range(20):
        for atoms in doped:
            copy = atoms.copy()
            copy.calc = SinglePointCalculator(copy, **atoms.calc.results)
            copy.info.update(name=f"{atoms.info['name']}-copy{k}")
            copies.append(copy)
    crowded, report_crowded = fit(frames + copies, BASIS, DATA_ONLY, log=lambda *_: None)
    assert report_crowded["penalty"] == report["penalty"]
    assert np.array_equal(crowded.coefficients, model.coefficients)


def test_cells_far_above_their_crystal_do_not_choose_the_penalty():
    frames = tersoff_frames(16)
    model, report = fit(frames, BASIS, DATA_ONLY, log=lambda *_: None)
    far = frames[6].copy()  # a validation cell, 2 eV/atom higher
    ref = frames[6].calc.results
    far.calc = SinglePointCalculator(
        far, energy=ref["energy"] + 2.0 * len(far), forces=ref["forces"], stress=ref["stress"]
    )
    far.info.update(name="far", split="validation")
    log = []
    model_far, report_far = fit(frames + [far], BASIS, DATA_ONLY, log=log.append)
    assert any("above their crystal): far" in line for line in log)
    assert report_far["penalty"] == report["penalty"]
    assert np.array_equal(model_far.coefficients, model.coefficients)
    assert report_far["choice_errors"] == pytest.approx(report["choice_errors"])


def test_fit_finds_the_energy_of_uncompensated_carriers():
    # 64-atom c-BN cells with carbon on a B site (its spare electron finds no hole), on an N site
    # (a hole), or on both, 4.7 A apart, beyond the cutoff: the last has the two others' local
    # environments but no carrier. On top of Tersoff's local energies, 2 eV per carrier.
    basis = AceBasis(("B", "C", "N"), cutoff=3.5, body2=5, body3=(3, 3, 2, 2), body4=1)
    calc = Tersoff(files.BNC_KINACI2012_TERSOFF, threads=1)
    bn = bulk("BN", "zincblende", a=3.62, cubic=True) * 2
    far = int(np.argmin(np.linalg.norm(bn.positions - [5.43, 5.43, 5.43], axis=1)))  # an N site
    assert bn.symbols[far] == "N" and bn.get_distance(0, far, mic=True) > basis.cutoff + 1
    frames = tersoff_frames(24)
    for k in range(9):
        atoms = bn.copy()
        atoms.symbols[[[0], [far], [0, far]][k % 3]] = "C"
        atoms.rattle(0.03, seed=k)
        atoms.calc = calc
        carriers = abs(int(np.sum(atoms.numbers == 7)) - int(np.sum(atoms.numbers == 5)))
        results = dict(
            energy=atoms.get_potential_energy() + 2.0 * carriers,
            forces=atoms.get_forces(),
            stress=atoms.get_stress(),
        )
        atoms.calc = SinglePointCalculator(atoms, **results)
        atoms.info.update(name=f"doped{k}", split="test" if k >= 6 else "train")
        frames.append(atoms)
    constant, _ = fit(
        frames, basis, FitSettings(prior_cells=0, carrier_environment=False), log=lambda *_: None
    )
    model, _ = fit(frames, basis, DATA_ONLY, log=lambda *_: None)
    local, _ = fit(frames, basis, FitSettings(prior_cells=0, carrier_term=False), log=lambda *_: None)
    assert constant.carrier_energy == pytest.approx(2.0, abs=0.05)
    assert not np.any(constant.carrier_coefficients)
    assert local.carrier_energy == 0.0 and not np.any(local.carrier_coefficients)
    doped = frames[-3:]
    errors = [calculator_errors(AceCalculator(m, threads=1), doped)[0] for m in (constant, model, local)]
    assert max(errors[:2]) < 2.0 < 10.0 < errors[2]  # meV/atom


def test_fit_finds_an_energy_per_carrier_that_follows_the_bonds():
    # The same doped c-BN cells, now at five lattice constants: on top of Tersoff's local
    # energies, each carrier costs -5 eV plus 2 eV times the cell's mean first pair descriptors
    # (a smooth count of neighbours, which falls as the cell expands): 2.6 eV at -2 % and 1.4 eV
    # at +2 %, forces and stresses included. A constant energy per carrier cannot follow it.
    basis = AceBasis(("B", "C", "N"), cutoff=3.5, body2=5, body3=(3, 3, 2, 2), body4=1)
    weights = np.zeros((3, 3 * basis.body2))
    weights[:, :: basis.body2] = 2.0  # each element's first pair descriptor of each neighbour
    planted = AceCalculator(
        AceModel(basis, np.zeros(3), np.zeros((3, basis.descriptor_count())), {}, -5.0, weights), threads=1
    )
    calc = Tersoff(files.BNC_KINACI2012_TERSOFF, threads=1)
    bn = bulk("BN", "zincblende", a=3.62, cubic=True) * 2
    far = int(np.argmin(np.linalg.norm(bn.positions - [5.43, 5.43, 5.43], axis=1)))  # an N site
    frames = tersoff_frames(24)
    for k, scale in enumerate(np.repeat([0.98, 1.0, 1.02, 0.99, 1.01], 3)):
        atoms = bulk("BN", "zincblende", a=3.62 * scale, cubic=True) * 2
        atoms.symbols[[[0], [far], [0, far]][k % 3]] = "C"
        atoms.rattle(0.03, seed=k)
        local = [calc.get_property(q, atoms) for q in ("energy", "forces", "stress")]
        carrier = [planted.get_property(q, atoms) for q in ("energy", "forces", "stress")]
        results = dict(zip(("energy", "forces", "stress"), (a + b for a, b in zip(local, carrier))))
        atoms.calc = SinglePointCalculator(atoms, **results)
        atoms.info.update(
            name=f"doped{k:02d}", split=("train", "train", "validation", "test", "test")[k // 3]
        )
        frames.append(atoms)
    varying, _ = fit(frames, basis, DATA_ONLY, log=lambda *_: None)
    constant, _ = fit(
        frames, basis, FitSettings(prior_cells=0, carrier_environment=False), log=lambda *_: None
    )
    doped = frames[-6:]
    (e0, _, s0), (e1, _, s1) = (
        calculator_errors(AceCalculator(m, threads=1), doped) for m in (varying, constant)
    )
    assert e0 < 1.0 < 2.0 < e1  # meV/atom
    assert s0 < 0.5 * s1


def test_calculator_errors_against_stored_results_with_and_without_offsets():
    frames = tersoff_frames(6)
    calc = Tersoff(files.BNC_KINACI2012_TERSOFF, threads=1)
    assert calculator_errors(calc, frames) == pytest.approx((0.0, 0.0, 0.0), abs=1e-9)
    # Stored energies shifted by 0.3 eV per carbon atom and stresses by 2 GPa: the energy error
    # disappears only with the per-element offsets, the stress error stays.
    shifted = [atoms.copy() for atoms in frames]
    for atoms, original in zip(shifted, frames):
        ref = original.calc.results
        carbon = int(np.sum(atoms.numbers == 6))
        atoms.calc = SinglePointCalculator(
            atoms,
            energy=ref["energy"] + 0.3 * carbon,
            forces=ref["forces"],
            stress=ref["stress"] + 2.0 * units.GPa * np.array([1, 1, 1, 0, 0, 0]),
        )
    energy, force, stress = calculator_errors(calc, shifted)
    assert energy > 50 and force == pytest.approx(0.0, abs=1e-9)
    assert stress == pytest.approx(np.sqrt(0.5) * 2.0)
    assert calculator_errors(calc, shifted, offsets=True)[0] == pytest.approx(0.0, abs=1e-6)


def test_fit_command_rejects_a_bad_energy_scale(tmp_path, capsys):
    with pytest.raises(SystemExit):
        cli.main(["fit", str(tmp_path), "-o", str(tmp_path / "x.pth"), "--energy-scale", "0"])
    assert "--energy-scale must be positive, got 0.0" in capsys.readouterr().err


def test_smoothness_prior_ranks_descriptors_by_their_radial_indices(tmp_path, capsys):
    import re

    program = BASIS.program()
    for label, order in zip(program.labels, program.radial_order):
        # Labels name the (element, radial index) of each factor: "2:c.mu", "3:nu:(c, mu)(c, mu)".
        mus = [int(mu) for mu in re.findall(r"\(\d+, (\d+)\)", label)] or [int(label.split(".")[1])]
        assert order == sum(mus), label
    assert program.radial_order.max() == 2 * 2  # two rank-0 factors with mu = 2 (body3 = 3)

    # The prior is recorded with the model, and a plain ridge (0) is allowed; negative is not.
    frames = tersoff_frames(count=16)
    model, _ = fit(frames, BASIS, FitSettings(smoothness=0.0), log=lambda *_: None)
    assert model.metadata["smoothness"] == 0.0
    with pytest.raises(SystemExit):
        cli.main(["fit", str(tmp_path), "-o", str(tmp_path / "x.pth"), "--smoothness", "-1"])
    assert "--smoothness must be zero or positive, got -1.0" in capsys.readouterr().err


def test_coefficients_of_mixed_chemistry_take_their_own_penalty(fitted, tmp_path, capsys):
    program = BASIS.program()
    K = program.outputs
    mixed = mixed_coefficients(BASIS, program, (("C",), ("B", "N")))
    label = {name: k for k, name in enumerate(program.labels)}
    B, C, N = 0, 1, 2
    # A carbon seeing boron, or a boron seeing carbon, is mixed; B-N, B-B and C-C bonds are not.
    assert mixed[C * K + label["2:0.0"]] and mixed[B * K + label["2:1.0"]]
    assert not mixed[B * K + label["2:2.0"]] and not mixed[B * K + label["2:0.1"]]
    assert not mixed[C * K + label["2:1.0"]] and not mixed[N * K + label["3:0:(0, 0)(2, 1)"]]
    assert mixed[N * K + label["3:0:(0, 0)(1, 1)"]]  # an N whose neighbours include C

    frames = fitted[0]
    quiet = dict(log=lambda *_: None)
    free, _ = fit(
        frames, BASIS, FitSettings(prior_cells=0, penalties=(1e-10,), mixed_penalties=(1.0,)), **quiet
    )
    held, _ = fit(
        frames, BASIS, FitSettings(prior_cells=0, penalties=(1e-10,), mixed_penalties=(1e6,)), **quiet
    )
    size = lambda model: np.abs(model.coefficients.reshape(-1)[mixed]).sum()  # noqa: E731
    assert size(held) < 0.05 * size(free)
    # The pure crystals' test cells use no mixed coefficient and fit about as well; the doped
    # ones lose what the mixed coefficients gave them.
    test = [a for a in frames if split_of(a) == "test"]
    pure = [a for a in test if "B" not in a.symbols or "C" not in a.symbols]
    doped = [a for a in test if a not in pure]
    calcs = [AceCalculator(m, threads=1) for m in (free, held)]
    (free_pure, free_doped), (held_pure, held_doped) = [
        (calculator_errors(c, pure)[0], calculator_errors(c, doped)[0]) for c in calcs
    ]
    assert held_pure < 1.5 * free_pure and held_doped > 3 * free_doped

    # Given several factors, the fit chooses one with the penalty and records it.
    model, report = fit(frames, BASIS, FitSettings(prior_cells=0, mixed_penalties=(1.0, 1e6)), **quiet)
    assert (
        report["mixed_penalty"] in (1.0, 1e6) and model.metadata["mixed_penalty"] == report["mixed_penalty"]
    )
    assert model.metadata["hosts"] == ["C", "BN"]

    # The command takes the factors and says which one the validation split chose.
    write_gz_members(tmp_path / "cells.extxyz.gz", frames)
    small = ["--body2", "5", "--body3", "3,3,2,2", "--body4", "1", "--stability-draws", "0"]
    out = str(tmp_path / "m.pth")
    assert cli.main(["fit", str(tmp_path), "-o", out, *small, "--mixed-penalties", "1,1e6"]) == 0
    chosen = [line for line in capsys.readouterr().out.splitlines() if line.startswith("penalty ")]
    assert len(chosen) == 1
    assert re.fullmatch(
        r"penalty \S+, mixed chemistry x(1|1e\+06) \(chosen on the validation split\)", chosen[0]
    )
    for option, bad, message in (
        ("--mixed-penalties", "0", "--mixed-penalties must be positive, got 0.0"),
        ("--mixed-penalties", "1,x", "--mixed-penalties needs comma-separated numbers"),
        ("--penalties", "1e-12,inf", "--penalties must be positive, got inf"),
        ("--hosts", "C,Bn", "--hosts needs element symbols run together, comma-separated, got 'Bn'"),
        ("--hosts", "C,,BN", "got ''"),
    ):
        with pytest.raises(SystemExit):
            cli.main(["fit", str(tmp_path), "-o", out, option, bad])
        assert message in capsys.readouterr().err
    # A single penalty and factor given are the ones used.
    assert (
        cli.main(["fit", str(tmp_path), "-o", out, *small, "--penalties", "1e-9", "--mixed-penalties", "1e6"])
        == 0
    )
    assert "penalty 1.0e-09, mixed chemistry x1e+06 (given)" in capsys.readouterr().out
    assert (load_model(out).metadata["penalty"], load_model(out).metadata["mixed_penalty"]) == (1e-9, 1e6)


class Verdict:
    def __init__(self, sound):
        self.sound = sound

    def summary(self):
        return "sound" if self.sound else "unsound"


def test_the_lowest_loss_candidate_that_stays_sound_is_chosen():
    # (loss, penalty, mixed factor, coefficients); the check passes the marked ones.
    trials = [
        (1.0, 1e-14, 1.0, None),
        (1.1, 1e-14, 100.0, None),
        (1.2, 1e-13, 1.0, None),
        (1.25, 1e-15, 1.0, None),  # weaker than a failed one of its factor: never run
        (1.3, 1e-13, 100.0, None),
        (1.4, 1e-12, 1.0, None),
    ]
    passes = {(1e-13, 100.0), (1e-15, 1.0), (1e-12, 1.0)}
    checked, log = [], []

    def check(lam, factor, coef):
        checked.append((lam, factor))
        return Verdict((lam, factor) in passes)

    index, verdict = sound_choice(trials, check, log=log.append)
    assert index == 4
    assert checked == [(1e-14, 1.0), (1e-14, 100.0), (1e-13, 1.0), (1e-13, 100.0)]
    assert verdict == "sound; 3 lower-loss candidates failed, 1 weaker ones not run"
    assert not log

    # None passes: the lowest-loss one is kept, and the verdict and the log say so.
    index, verdict = sound_choice(trials, lambda *_: Verdict(False), log=log.append)
    assert index == 0 and verdict == "no candidate passed the stability check"
    assert log == ["warning: no candidate passed the stability check; the lowest-loss one is kept"]


def test_fit_and_command_choose_a_penalty_the_stability_check_passes(fitted, monkeypatch, tmp_path, capsys):
    import corvane.training.stability as stability

    frames, loss_model, loss_report, _ = fitted
    size = lambda model: float(np.abs(model.coefficients).sum())  # noqa: E731
    bound = 0.5 * size(loss_model)
    runs = []

    def small_coefficients_are_sound(calc, elements, draws=3, log=None):
        # Stands in for the MD runs: a stronger penalty gives smaller coefficients.
        runs.append((tuple(elements), draws))
        return Verdict(size(calc.model) <= bound)

    monkeypatch.setattr(stability, "stability_check", small_coefficients_are_sound)
    settings = FitSettings(prior_cells=0, stability_draws=2)
    model, report = fit(frames, BASIS, settings, log=lambda *_: None)
    assert size(model) <= bound and report["penalty"] > loss_report["penalty"]
    assert len(runs) >= 2 and set(runs) == {(("B", "C", "N"), 2)}
    assert model.metadata["stability"] == report["stability"]
    assert report["stability"].startswith(f"sound; {len(runs) - 1} lower-loss candidates failed")
    assert loss_model.metadata["stability"] == "not checked"

    write_gz_members(tmp_path / "cells.extxyz.gz", frames)
    small = ["--body2", "5", "--body3", "3,3,2,2", "--body4", "1", "--mixed-penalties", "1"]
    out = str(tmp_path / "m.pth")
    assert cli.main(["fit", str(tmp_path), "-o", out, *small, "--stability-draws", "1"]) == 0
    text = capsys.readouterr().out
    assert "stability of penalty" in text and "\nstability: sound" in text
    assert runs[-1] == (("B", "C", "N"), 1)
    with pytest.raises(SystemExit):
        cli.main(["fit", str(tmp_path), "-o", out, "--stability-draws", "-1"])
    assert "--stability-draws must be zero or positive, got -1" in capsys.readouterr().err
