"""The stability check of fitted potentials, on our shipped model and on a collapsing one."""

import numpy as np
from ase.calculators.lj import LennardJones

from corvane.data import files
from corvane.potentials.ace import AceCalculator
from corvane.training.stability import (
    STABILITY_CELLS,
    relax,
    shortest_distance,
    stability_cell,
    stability_check,
)


def test_random_alloys_have_their_composition_and_crystals_their_bonds():
    rng = np.random.default_rng(0)
    for label, n_boron, n_nitrogen in STABILITY_CELLS:
        atoms = stability_cell(label, n_boron, n_nitrogen, rng)
        assert len(atoms) == 64
        assert (atoms.symbols.count("B"), atoms.symbols.count("N")) == (n_boron, n_nitrogen)
        assert 1.5 < shortest_distance(atoms) < 1.6
    first, second = (stability_cell("C36B20N8", 20, 8, np.random.default_rng(seed)) for seed in (0, 1))
    assert list(first.symbols) != list(second.symbols)


def test_shipped_model_passes_and_a_collapsing_potential_fails():
    shipped = AceCalculator(files.BCN_MS, threads=1)
    lines = []
    result = stability_check(shipped, ("B", "C", "N"), draws=1, steps=400, log=lines.append)
    # diamond and c-BN in MD, then each random alloy in MD and relaxed
    assert result.sound and result.runs == 2 + 2 * 3 == len(lines)
    assert result.summary() == "8 of 8 runs sound"
    assert [line.split()[0] for line in lines] == ["diamond", "c-BN"] + [
        label for label, *_ in STABILITY_CELLS[2:] for _ in range(2)
    ]
    # Only the cells of the model's elements run.
    assert stability_check(shipped, ("B", "N"), draws=1, steps=100).runs == 1

    # Pairs that bind at 0.84 A: diamond's bonds collapse.
    collapsing = LennardJones(sigma=0.75, epsilon=1.0, rc=3.0)
    result = stability_check(collapsing, ("C",), draws=1, steps=400)
    assert not result.sound and (result.runs, result.unsound_runs) == (1, 1)
    assert result.lines[0].startswith("diamond draw 0 MD") and result.lines[0].endswith("UNSOUND")


def test_relax_converges_on_a_sound_model_and_stops_at_a_collapse():
    atoms = stability_cell("c-BN", 32, 32, np.random.default_rng(0))
    atoms.rattle(0.05, seed=3)
    assert relax(atoms, AceCalculator(files.BCN_MS, threads=1), fmax=0.02)
    assert np.abs(atoms.get_forces()).max() < 0.02 and 1.5 < shortest_distance(atoms) < 1.6

    atoms = stability_cell("diamond", 0, 0, np.random.default_rng(0))
    atoms.rattle(0.05, seed=3)
    # deep pairs that bind at 0.34 A: atoms are pulled closer than 0.5 A within a few steps, and
    # the relaxation stops there, unconverged, however many steps it had left
    collapsing = LennardJones(sigma=0.3, epsilon=1e4, rc=3.0)
    steps = []
    original = collapsing.calculate
    collapsing.calculate = lambda *a, **k: (steps.append(1), original(*a, **k))
    assert not relax(atoms, collapsing, steps=10_000)
    assert shortest_distance(atoms) < 0.5 and len(steps) < 100
