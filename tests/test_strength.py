"""corvane.properties.strength: strain application, stress-strain curves and their plot."""

import inspect
import types

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
from ase import units  # noqa: E402
from ase.build import bulk  # noqa: E402
from ase.calculators.emt import EMT  # noqa: E402
from matplotlib.colors import to_hex  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from tersoff_samples import relaxed_cubic, tersoff_factory  # noqa: E402

from corvane.properties import strength  # noqa: E402

DEFAULT_COLORS = ["#000000", "#d62728", "#2ca02c", "#1f77b4", "#9467bd"]


@pytest.fixture(scope="module")
def cu_a():
    """The EMT lattice constant of fcc Cu at zero pressure."""
    return relaxed_cubic("Cu", "fcc", EMT, lo=3.55, hi=3.65).cell[0, 0]


def cu(a=3.6, cubic=True):
    atoms = bulk("Cu", "fcc", a=a, cubic=cubic)
    atoms.calc = EMT()
    return atoms


def F(eps, u, w):
    return np.identity(3) + eps * np.outer(u, w)


class CountingCalc(EMT):
    """EMT that fails on a chosen stress call."""

    def __init__(self, fail_at=None):
        super().__init__()
        self.stress_calls = 0
        self.fail_at = fail_at

    def get_stress(self, atoms=None):
        self.stress_calls += 1
        if self.stress_calls == self.fail_at:
            raise RuntimeError("calculator gave up")
        return super().get_stress(atoms)


def run_lines(capsys, *args, **kwargs):
    result = strength.calculate_stress_strain_curve(*args, **kwargs)
    return result, capsys.readouterr().out.split("\n")


# --- module and interface ----------------------------------------------------------------------


def test_module_names_signatures_and_docstrings():
    assert strength.np is np and strength.plt is plt and strength.units is units
    assert strength.EMT is EMT and strength.bulk is bulk
    sig = {
        name: str(inspect.signature(getattr(strength, name)))
        for name in (
            "apply_strain",
            "calculate_stress_strain_curve",
            "calculate_tensile_strength",
            "calculate_shear_strength",
            "plot_stress_strain",
        )
    }
    assert sig == {
        "apply_strain": "(atoms, strain, direction1, direction2=None)",
        "calculate_stress_strain_curve": "(atoms, direction1, direction2=None, start_strain=0.0, "
        "end_strain=0.2, interval_strain=0.01, calculator=None)",
        "calculate_tensile_strength": "(atoms, direction, **kwargs)",
        "calculate_shear_strength": "(atoms, direction, slip_direction, **kwargs)",
        "plot_stress_strain": "(plot_data, colors=None)",
    }
    assert strength.calculate_tensile_strength.__doc__ == "\n    Wrapper for a uniaxial tensile.\n    "
    assert strength.calculate_shear_strength.__doc__ == "\n    Wrapper for a shear.\n    "
    assert strength.plot_stress_strain.__doc__ == (
        "\n    Plots multiple stress-strain curves from calculated data.\n    "
    )
    for name in ("direction1", "direction2", "strain"):
        assert name in strength.apply_strain.__doc__
    for name in ("start_strain", "end_strain", "interval_strain", "calculator"):
        assert name in strength.calculate_stress_strain_curve.__doc__
    with pytest.raises(TypeError):
        strength.calculate_stress_strain_curve(cu(), [1, 0, 0], bogus=1)


# --- apply_strain ------------------------------------------------------------------------------


def test_apply_strain_on_a_skewed_cell_keeps_fractional_positions():
    atoms = bulk("Cu", "fcc", a=3.6) * (2, 1, 1)  # primitive fcc: no cell vector along an axis
    atoms.rattle(0.05, seed=3)
    cell0 = atoms.get_cell().copy()
    frac0 = atoms.get_scaled_positions()
    atoms.info["original_cell"] = cell0
    u = np.array([1.0, 1.0, 0.0]) / np.sqrt(2)
    w = np.array([0.0, 0.0, 1.0])

    assert strength.apply_strain(atoms, 0.1, u) is atoms
    np.testing.assert_allclose(atoms.cell[:], cell0[:] @ F(0.1, u, u).T, atol=1e-12)
    # Each vector a becomes a + eps * u * (u . a).
    for a0, a1 in zip(cell0[:], atoms.cell[:]):
        np.testing.assert_allclose(a1, a0 + 0.1 * u * (u @ a0), atol=1e-12)
    np.testing.assert_allclose(atoms.get_scaled_positions(), frac0, atol=1e-12)

    # Absolute, not incremental: a shear from the stored cell, whatever the current one.
    strength.apply_strain(atoms, 0.05, u, w)
    np.testing.assert_allclose(atoms.cell[:], cell0[:] @ F(0.05, u, w).T, atol=1e-12)
    np.testing.assert_allclose(atoms.get_scaled_positions(), frac0, atol=1e-12)


def twin_apply_strain(atoms, strain, direction1, direction2=None):
    original_cell = atoms.info["original_cell"]
    w = direction1 if direction2 is None else direction2
    F = np.identity(3) + strain * np.outer(direction1, w)
    atoms.set_cell(np.dot(original_cell, F.T), scale_atoms=True)
    return atoms


@pytest.mark.parametrize(
    "strain, d1, d2",
    [
        (0.137, np.array([0.6, 0.0, 0.8]), None),
        (-0.071, np.array([0.48, 0.6, 0.64]), np.array([0.8, -0.6, 0.0])),
        (np.float64(0.05), [0.6, 0.8, 0.0], (0.0, 0.0, 1.0)),
        (1, [1, 0, 0], [0, 1, 0]),  # integers
        (np.float32(0.1), np.array([0.6, 0.8, 0.0], np.float32), None),
        (0.1, np.array([[0.6, 0.8, 0.0]]), None),  # a row, not a vector: numpy's broadcasting
    ],
)
def test_apply_strain_matches_numpy_bit_for_bit(strain, d1, d2):
    rng = np.random.default_rng(7)
    ours = bulk("Cu", "fcc", a=3.6) * (2, 2, 1)
    ours.set_cell(ours.cell[:] + rng.normal(scale=0.3, size=(3, 3)), scale_atoms=True)
    ours.info["original_cell"] = ours.get_cell().copy()
    twin = ours.copy()
    try:
        twin_apply_strain(twin, strain, d1, d2)
    except ValueError as exc:
        with pytest.raises(ValueError, match=str(exc)):
            strength.apply_strain(ours, strain, d1, d2)
        return
    strength.apply_strain(ours, strain, d1, d2)
    np.testing.assert_array_equal(ours.cell[:], twin.cell[:])
    np.testing.assert_array_equal(ours.positions, twin.positions)


def test_apply_strain_rejects_what_numpy_rejects():
    atoms = cu()
    atoms.info["original_cell"] = atoms.get_cell().copy()
    with pytest.raises(ValueError):
        strength.apply_strain(atoms, 0.1, [1.0, 0.0])  # two components
    with pytest.raises(TypeError):
        strength.apply_strain(atoms, "0.1", [1.0, 0.0, 0.0])


def test_apply_strain_needs_the_original_cell():
    with pytest.raises(KeyError):
        strength.apply_strain(cu(), 0.01, [1, 0, 0])


# --- curves with EMT copper --------------------------------------------------------------------


def test_tensile_curve_defaults(cu_a, capsys):
    atoms = cu(cu_a)
    cell0 = atoms.get_cell().copy()
    (strains, stresses, tensors), lines = run_lines(capsys, atoms, [1, 0, 0])

    assert strains.shape == (21,) and stresses.shape == (21,) and tensors.shape == (21, 3, 3)
    np.testing.assert_array_equal(strains, np.arange(0.0, 0.2 + 0.01, 0.01))
    assert abs(stresses[0]) < 1e-8  # relaxed cell: no residual stress
    # Stresses in eV/A^3, the normal stress along x; EMT copper hardens, then softens.
    np.testing.assert_array_equal(stresses, tensors[:, 0, 0])
    assert np.all(np.diff(stresses[:5]) > 0) and 0.01 < stresses.max() < 0.2

    expected = ["--- Running Simulation ---", "Strain range: 0.0 to 0.2 with step 0.01"]
    expected += [
        f"Strain: {e:.4f}, Tensile Stress: {s / units.GPa:.2f} GPa" for e, s in zip(strains, stresses)
    ]
    expected += ["--- Simulation Finished ---", "", ""]
    assert lines == expected
    assert lines[7] == f"Strain: 0.0500, Tensile Stress: {stresses[5] / units.GPa:.2f} GPa"

    # Left at the last strain: only the x components grow, by 1.2.
    np.testing.assert_array_equal(atoms.info["original_cell"][:], cell0[:])
    np.testing.assert_allclose(atoms.cell[:], cell0[:] @ F(0.2, [1, 0, 0], [1, 0, 0]).T)
    np.testing.assert_allclose(atoms.cell[:], cell0[:] * [1.2, 1, 1])
    # Each stored tensor is the structure's stress at that strain (checked at the last one).
    np.testing.assert_allclose(tensors[-1], atoms.get_stress(voigt=False), atol=1e-12)


def test_shear_curve_projects_on_the_slip_plane(cu_a, capsys):
    atoms = cu(cu_a)
    cell0 = atoms.get_cell().copy()
    (strains, stresses, tensors), lines = run_lines(
        capsys, atoms, [1, 0, 0], [0, 1, 0], end_strain=0.1, interval_strain=0.02
    )
    np.testing.assert_array_equal(strains, np.arange(0.0, 0.1 + 0.02, 0.02))
    np.testing.assert_array_equal(stresses, tensors[:, 0, 1])
    assert abs(stresses[0]) < 1e-8 and np.all(np.diff(stresses) > 0)
    assert lines[1] == "Strain range: 0.0 to 0.1 with step 0.02"
    assert lines[2:8] == [
        f"Strain: {e:.4f}, Shear Stress: {s / units.GPa:.2f} GPa" for e, s in zip(strains, stresses)
    ]
    # Each vector's x component gains 0.1 times its y component.
    sheared = cell0[:].copy()
    sheared[:, 0] += 0.1 * sheared[:, 1]
    np.testing.assert_allclose(atoms.cell[:], sheared)


def test_wrappers_pass_their_arguments_through(cu_a, capsys):
    ref = strength.calculate_stress_strain_curve(cu(cu_a), [0, 0, 1], None, 0.0, 0.04, 0.02)
    tens = strength.calculate_tensile_strength(cu(cu_a), [0, 0, 1], end_strain=0.04, interval_strain=0.02)
    for a, b in zip(ref, tens):
        np.testing.assert_array_equal(a, b)

    atoms = bulk("Cu", "fcc", a=cu_a, cubic=True)  # no calculator of its own
    shear = strength.calculate_shear_strength(atoms, [1, 0, 0], [0, 0, 1], end_strain=0.02, calculator=EMT())
    assert isinstance(atoms.calc, EMT) and shear[0].size == 3
    np.testing.assert_array_equal(shear[1], shear[2][:, 0, 2])
    # direction2 handed to the tensile wrapper makes it a shear run.
    as_shear = strength.calculate_tensile_strength(cu(cu_a), [1, 0, 0], direction2=[0, 0, 1], end_strain=0.02)
    np.testing.assert_allclose(as_shear[1], shear[1], atol=1e-14)
    assert "Shear Stress" in capsys.readouterr().out

    qual = "corvane.properties.strength.calculate_stress_strain_curve()"
    with pytest.raises(TypeError) as err:
        strength.calculate_tensile_strength(cu(), [1, 0, 0], direction1=[0, 1, 0])
    assert str(err.value) == f"{qual} got multiple values for keyword argument 'direction1'"
    with pytest.raises(TypeError) as err:
        strength.calculate_shear_strength(cu(), [1, 0, 0], [0, 1, 0], direction2=[0, 0, 1])
    assert str(err.value) == f"{qual} got multiple values for keyword argument 'direction2'"
    with pytest.raises(TypeError, match="multiple values for argument 'atoms'"):
        strength.calculate_tensile_strength(cu(), [1, 0, 0], atoms=cu())
    with pytest.raises(TypeError):
        strength.calculate_tensile_strength(cu())


def test_directions_are_normalised(capsys):
    runs = [
        strength.calculate_stress_strain_curve(cu(), d, end_strain=0.03)
        for d in ([1, 1, 0], (2.0, 2.0, 0.0), np.array([3, 3, 0]))
    ]
    for other in runs[1:]:
        for a, b in zip(runs[0], other):
            np.testing.assert_allclose(a, b, rtol=1e-12, atol=1e-14)


# --- the strain grid ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "start, end, step",
    [(0.0, 0.2, 0.01), (0.0, 0.3, 0.02), (0.0, -0.2, -0.01), (0.05, 0.12, 0.01), (0, 0.1, 0.025)],
)
def test_grids_that_end_on_end_strain_are_numpys(start, end, step, capsys):
    grid = np.arange(start, end + step, step)
    assert (grid[-1] - end) * np.sign(step) < 1e-12  # numpy does not overshoot these
    strains = strength.calculate_stress_strain_curve(cu(), [1, 0, 0], None, start, end, step)[0]
    np.testing.assert_array_equal(strains, grid)
    assert strains[-1] == pytest.approx(end)


@pytest.mark.parametrize(
    "start, end, step, expected",
    [
        (0.0, 0.1, 0.05, [0.0, 0.05, 0.1]),  # numpy adds 0.15
        (0.0, 0.25, 0.1, [0.0, 0.1, 0.2]),  # end off the grid: numpy adds 0.3
        (0.0, -0.1, -0.05, [0.0, -0.05, -0.1]),  # numpy adds -0.15
    ],
)
def test_grid_never_goes_past_end_strain(start, end, step, expected, capsys):
    assert np.arange(start, end + step, step).size == len(expected) + 1
    atoms = cu()
    cell0 = atoms.get_cell().copy()
    strains, stresses, tensors = strength.calculate_stress_strain_curve(
        atoms, [1, 0, 0], None, start, end, step
    )
    np.testing.assert_allclose(strains, expected, atol=1e-15)
    assert stresses.shape == (len(expected),) and tensors.shape == (len(expected), 3, 3)
    np.testing.assert_allclose(atoms.cell[:], cell0[:] * [1 + strains[-1], 1, 1])
    assert capsys.readouterr().out.count("Strain: ") == len(expected)


def test_descending_grid_compresses(cu_a, capsys):
    strains, stresses, _ = strength.calculate_stress_strain_curve(
        cu(cu_a), [1, 0, 0], start_strain=0.0, end_strain=-0.2, interval_strain=-0.01
    )
    assert strains.size == 21 and strains[-1] == pytest.approx(-0.2)
    assert np.all(np.diff(strains) < 0) and np.all(stresses[1:] < 0)


def test_empty_grid_still_prepares_the_structure(capsys):
    atoms = bulk("Cu", "fcc", a=3.6, cubic=True)
    calc = EMT()
    (strains, stresses, tensors), lines = run_lines(
        capsys, atoms, [1, 0, 0], start_strain=0.3, end_strain=0.1, calculator=calc
    )
    assert strains.size == stresses.size == tensors.size == 0
    assert lines == [
        "--- Running Simulation ---",
        "Strain range: 0.3 to 0.1 with step 0.01",
        "--- Simulation Finished ---",
        "",
        "",
    ]
    assert atoms.calc is calc
    np.testing.assert_array_equal(atoms.info["original_cell"][:], atoms.cell[:])


# --- the calculator, failures and module-level names -------------------------------------------


def test_falsy_calculator_keeps_the_structures_own(capsys):
    atoms = cu()
    own = atoms.calc
    for falsy in (None, 0, ""):
        strength.calculate_stress_strain_curve(atoms, [1, 0, 0], end_strain=0.0, calculator=falsy)
        assert atoms.calc is own


def test_no_calculator_fails_at_the_first_stress(capsys):
    atoms = bulk("Cu", "fcc", a=3.6, cubic=True)
    with pytest.raises(RuntimeError, match="no calculator"):
        strength.calculate_stress_strain_curve(atoms, [1, 0, 0])
    assert "original_cell" in atoms.info


def test_failure_part_way_leaves_the_last_strain_applied(capsys):
    atoms = bulk("Cu", "fcc", a=3.6, cubic=True)
    cell0 = atoms.get_cell().copy()
    calc = CountingCalc(fail_at=4)
    with pytest.raises(RuntimeError, match="calculator gave up"):
        strength.calculate_stress_strain_curve(atoms, [0, 1, 0], calculator=calc)
    out = capsys.readouterr().out
    assert out.count("Strain: ") == 3 and "Finished" not in out
    np.testing.assert_allclose(atoms.cell[:], cell0[:] * [1, 1.03, 1])
    assert calc.stress_calls == 4


def test_module_level_names_are_looked_up_at_each_call(monkeypatch, capsys):
    seen = []
    original = strength.apply_strain

    def spy(atoms, strain, d1, d2):
        seen.append((float(strain), d1.copy(), d2))
        return original(atoms, strain, d1, d2)

    monkeypatch.setattr(strength, "apply_strain", spy)
    monkeypatch.setattr(strength, "units", types.SimpleNamespace(GPa=1e-3))
    _, stresses, _ = strength.calculate_stress_strain_curve(
        cu(), [0, 3, 4], end_strain=0.02, interval_strain=0.01
    )
    assert [s for s, _, _ in seen] == pytest.approx([0.0, 0.01, 0.02])
    for _, d1, d2 in seen:
        np.testing.assert_allclose(d1, [0, 0.6, 0.8])
        assert d2 is None
    # With GPa rebound the printed value is the stress in meV/A^3.
    assert capsys.readouterr().out.split("\n")[-4] == (
        f"Strain: 0.0200, Tensile Stress: {stresses[-1] * 1e3:.2f} GPa"
    )


# --- plotting ----------------------------------------------------------------------------------


@pytest.fixture
def plot_spies(monkeypatch):
    calls = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: calls.append("show"))
    real_tight = plt.tight_layout
    monkeypatch.setattr(plt, "tight_layout", lambda *a, **k: (calls.append("tight"), real_tight()))
    yield calls
    plt.close("all")


def curve(n, scale):
    strains = np.linspace(0, 0.2, n)
    return strains, scale * strains * units.GPa


def test_plot_draws_each_curve_in_gpa(plot_spies, capsys):
    data = {
        "diamond": (*curve(5, 400.0), "Diamond [100]"),
        "cbn": [*curve(7, 300.0), "c-BN [100]"],
    }
    result = strength.plot_stress_strain(data)
    assert capsys.readouterr().out == ("Plotting results for: diamond\nPlotting results for: cbn\n")
    assert isinstance(result, tuple) and len(result) == 2
    assert result[0] is plt and isinstance(result[1], Figure)
    fig = result[1]
    assert tuple(fig.get_size_inches()) == (8, 6)
    (ax,) = fig.axes
    lines = ax.get_lines()
    assert [line.get_label() for line in lines] == ["Diamond [100]", "c-BN [100]"]
    for line, (strains, stresses, _) in zip(lines, data.values()):
        np.testing.assert_array_equal(line.get_xdata(), strains)
        np.testing.assert_allclose(line.get_ydata(), stresses / units.GPa)
        assert line.get_marker() == "o" and line.get_linestyle() == "-"
        assert line.get_markerfacecolor() == "none" and line.get_markersize() == 6
        assert line.get_linewidth() == 1.5
    np.testing.assert_allclose(lines[0].get_ydata()[-1], 80.0)
    assert [to_hex(line.get_color()) for line in lines] == DEFAULT_COLORS[:2]
    assert ax.get_xlabel() == "Strain" and ax.get_ylabel() == "Stress (GPa)"
    assert ax.xaxis.label.get_fontsize() == 14 and ax.title.get_fontsize() == 16
    assert ax.get_title() == "Stress-Strain Curves"
    assert ax.get_xticklabels()[0].get_fontsize() == 12
    legend = ax.get_legend()
    assert [t.get_text() for t in legend.get_texts()] == ["Diamond [100]", "c-BN [100]"]
    assert not legend.get_frame_on() and legend.get_texts()[0].get_fontsize() == 12
    assert plot_spies == ["tight", "show"]


@pytest.mark.parametrize(
    "colors, expected",
    [
        (None, DEFAULT_COLORS + DEFAULT_COLORS[:1]),
        ([], DEFAULT_COLORS + DEFAULT_COLORS[:1]),
        (["#ff7f0e"], ["#ff7f0e"] * 6),
        (("#111111", "#222222"), ["#111111", "#222222"] * 3),
    ],
)
def test_plot_colours_cycle(plot_spies, capsys, colors, expected):
    data = {f"c{k}": (*curve(3, k + 1.0), f"curve {k}") for k in range(6)}
    _, fig = strength.plot_stress_strain(data, colors)
    assert [to_hex(line.get_color()) for line in fig.axes[0].get_lines()] == expected


def test_plot_of_nothing_still_finishes_the_figure(plot_spies, capsys):
    with pytest.warns(UserWarning, match="No artists with labels"):
        _, fig = strength.plot_stress_strain({})
    assert capsys.readouterr().out == ""
    ax = fig.axes[0]
    assert ax.get_lines() == [] and ax.get_title() == "Stress-Strain Curves"
    assert ax.get_legend() is not None and plot_spies == ["tight", "show"]


def test_plot_failures(plot_spies, capsys):
    data = {"good": (*curve(3, 1.0), "good"), "bad": curve(3, 1.0)}
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 3, got 2\)"):
        strength.plot_stress_strain(data)
    assert capsys.readouterr().out == "Plotting results for: good\n"
    assert len(plt.gcf().axes[0].get_lines()) == 1
    with pytest.raises(AttributeError, match="items"):
        strength.plot_stress_strain(None)
    with pytest.raises(TypeError):
        strength.plot_stress_strain({"s": ([0, 1], ["a", "b"], "strings")})
    assert "show" not in plot_spies


def test_plot_uses_the_module_plt_and_units(monkeypatch, plot_spies, capsys):
    monkeypatch.setattr(strength, "units", types.SimpleNamespace(GPa=2.0))
    _, fig = strength.plot_stress_strain({"x": ([0, 1], np.array([2.0, 4.0]), "x")})
    np.testing.assert_allclose(fig.axes[0].get_lines()[0].get_ydata(), [1.0, 2.0])
    sentinel = types.SimpleNamespace(subplots=lambda **k: (_ for _ in ()).throw(LookupError(k)))
    monkeypatch.setattr(strength, "plt", sentinel)
    with pytest.raises(LookupError, match="figsize"):
        strength.plot_stress_strain({})


def test_real_curves_to_png(cu_a, tmp_path, plot_spies, capsys):
    tensile = strength.calculate_tensile_strength(cu(cu_a), [1, 0, 0], end_strain=0.3)
    shear = strength.calculate_shear_strength(cu(cu_a), [1, 0, 0], [0, 1, 0], end_strain=0.3)
    _, fig = strength.plot_stress_strain(
        {
            "tensile": (tensile[0], tensile[1], "Cu (EMT) tensile [100]"),
            "shear": (shear[0], shear[1], "Cu (EMT) shear (010)[100]"),
        }
    )
    path = tmp_path / "curves.png"
    fig.savefig(path, dpi=60)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and path.stat().st_size > 5000


# --- the B-C-N Tersoff potential (needs the optimisation service) ------------------------------


def test_tersoff_diamond_100_tension_softens_from_c11(capsys):
    make_calc = tersoff_factory("BNC_Kinaci2012.tersoff")
    atoms = relaxed_cubic("C", "diamond", make_calc)
    strains, stresses, _ = strength.calculate_tensile_strength(
        atoms, [1, 0, 0], end_strain=0.3, calculator=make_calc()
    )
    gpa = stresses / units.GPa
    assert strains.size == 31 and abs(gpa[0]) < 1e-6
    # Uniaxial strain along [100] starts with slope C11 (573 GPa for this potential, see the
    # LAMMPS reference in test_elastic.py) and softens all the way to 0.3.
    slope0 = np.polyfit(strains[:5], gpa[:5], 2)[1]
    assert slope0 == pytest.approx(573.1, rel=0.01)
    assert np.all(np.diff(gpa) > 0) and np.all(np.diff(gpa, 2) < 0)
    assert 100 < gpa[-1] < 120


def test_tersoff_cbn_100_tension_rises_peaks_and_falls(capsys):
    make_calc = tersoff_factory("BNC_Kinaci2012.tersoff")
    atoms = relaxed_cubic("BN", "zincblende", make_calc)
    strains, stresses, _ = strength.calculate_tensile_strength(
        atoms, [1, 0, 0], end_strain=0.64, interval_strain=0.02, calculator=make_calc()
    )
    gpa = stresses / units.GPa
    peak = int(np.argmax(gpa))
    # The ideal strength of this potential lies beyond 0.3 strain: a smooth maximum near 0.6,
    # before the bonds reach the potential's cutoff shell.
    assert 0.4 < strains[peak] < strains[-1] and 150 < gpa[peak] < 180
    assert np.all(np.diff(gpa[: peak + 1]) > 0) and np.all(np.diff(gpa[peak:]) < 0)
