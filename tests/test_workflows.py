"""The property pipeline of one structure and the `properties` subcommand."""

import json

import numpy as np
import pytest
from ase import units
from ase.build import bulk, molecule
from ase.io import write

import corvane.cli as cli
from corvane.data import files
from corvane.optimization import get_calculator, optimize_structure
from corvane.properties.elastic import calculate_elastic_properties
from corvane.properties.hardness import SimunekHardnessCalculator, calculate_hardness
from corvane.properties.strength import calculate_tensile_strength
from corvane.workflows import PipelineSettings, StrengthTest, compute_properties
from corvane.workflows.pipeline import curve_peak

QUICK = dict(fmax=0.02, steps=200)
STRENGTH = ("111", "001/110")
CURVES = dict(strain_max=0.6, strain_step=0.04)


def diamond(a=3.60, seed=1):
    atoms = bulk("C", "diamond", a=a)
    atoms.rattle(0.01, seed=seed)
    return atoms


@pytest.fixture(scope="module")
def diamond_result():
    return compute_properties(diamond(), PipelineSettings(strength=STRENGTH, **CURVES, **QUICK))


def test_pipeline_matches_the_modules_called_by_hand(diamond_result):
    """The pipeline's numbers are those of relaxing, fitting and calling the hardness models
    directly: moduli go to the right arguments, the strength is the curve's maximum before the
    potential's cutoff spike."""
    atoms = diamond()
    atoms.calc = get_calculator(str(files.BNC_TERSOFF))
    optimize_structure(atoms, fmax=0.02, steps=200, trajectory=None)
    elastic = calculate_elastic_properties(atoms)
    G, B = elastic["shear_modulus"], elastic["bulk_modulus"]
    E, nu = elastic["youngs_modulus"], elastic["poisson_ratio"]
    values = diamond_result.values
    assert values["bulk_modulus"] == pytest.approx(B, rel=1e-9)
    assert values["poisson_ratio"] == pytest.approx(nu, rel=1e-9)
    for key, method in [
        ("hv_chen", "chen"),
        ("hv_tian", "tian"),
        ("hv_jiang", "jiang"),
        ("hv_mazhnik", "mazhnik"),
    ]:
        expected = calculate_hardness(shear=G, bulk=B, young=E, poisson=nu, method=method)
        assert values[key] == pytest.approx(expected, rel=1e-9), key
    assert values["hv_simunek"] == pytest.approx(
        SimunekHardnessCalculator().calculate_hardness(atoms, rcut=2.0), rel=1e-9
    )
    np.testing.assert_allclose(
        diamond_result.elastic_constants, elastic["elastic_constants"], rtol=1e-9, atol=1e-9
    )
    # diamond is stiff and hard under any model; a swap of G and B would not give this
    assert 300 < B < 600 and values["hv_chen"] > 40

    strained = atoms.copy()
    strained.calc = atoms.calc
    strain, stress, _ = calculate_tensile_strength(strained, [1, 1, 1], end_strain=0.6, interval_strain=0.04)
    stress = stress / units.GPa
    # With the default Tersoff set diamond's [111] stress still rises at a strain of 0.16; the
    # bonds reach the cutoff just after it and the stress spikes to over twice as much.
    before = np.argmax(np.where(strain < 0.18, stress, -np.inf))
    assert values["tensile_111"] == pytest.approx(stress[before], rel=1e-9)
    assert values["tensile_111_strain"] == pytest.approx(strain[before])
    assert values["tensile_111"] < 0.5 * stress.max()
    assert diamond_result.status == "failed" and diamond_result.failed_step == "tensile_111"
    assert "the value is a lower bound" in diamond_result.error


def test_steps_are_timed_and_the_input_is_left_alone(diamond_result):
    assert list(diamond_result.steps) == [
        "structure",
        "relax",
        "elastic",
        "hardness",
        "simunek",
        "tensile_111",
        "shear_001_110",
    ]
    assert all(s.seconds >= 0 for s in diamond_result.steps.values())
    assert all(diamond_result.steps[n].status == "ok" for n in list(diamond_result.steps)[:5])
    assert diamond_result.seconds >= sum(s.seconds for s in diamond_result.steps.values())
    strain, stress = diamond_result.curves["shear_001_110"]
    assert len(strain) == len(stress) >= 15 and strain[0] == 0 and stress[0] < stress[3]
    # the final structure carries its energy and stress; the caller's structure is untouched
    final = diamond_result.atoms
    assert final.get_potential_energy() < 0 and final.calc.name == "unknown"
    atoms = diamond()
    before = atoms.positions.copy()
    assert compute_properties(atoms, PipelineSettings(relax=False)).status == "done"
    assert atoms.calc is None and np.array_equal(atoms.positions, before)


@pytest.mark.parametrize(
    "atoms, step, reason",
    [
        (molecule("CH4"), "structure", "not a periodic crystal"),
        (bulk("Cu", "fcc", a=3.6), "structure", "Cu"),
    ],
)
def test_a_structure_that_cannot_be_computed_is_a_result_not_an_exception(atoms, step, reason):
    result = compute_properties(atoms, PipelineSettings(**QUICK))
    assert result.status == "failed"
    assert result.failed_step == step and result.error.startswith(f"{step}: ")
    assert reason in result.error
    assert {n: s.status for n, s in result.steps.items()} == {
        "structure": "failed",
        "relax": "skipped",
        "elastic": "skipped",
        "hardness": "skipped",
        "simunek": "skipped",
    }
    assert result.values == {} and result.atoms.calc is None


def test_an_unconverged_relaxation_fails_the_structure():
    atoms = bulk("BN", "zincblende", a=3.7, cubic=True)
    atoms.rattle(0.1, seed=2)
    result = compute_properties(atoms, PipelineSettings(fmax=0.001, steps=2))
    assert result.status == "failed" and result.failed_step == "relax"
    assert "did not reach fmax = 0.001 eV/A in 2 steps" in result.error
    assert result.steps["elastic"].status == "skipped"
    assert "hv_simunek" not in result.values


def test_a_curve_that_has_not_peaked_is_flagged():
    settings = PipelineSettings(relax=False, strength=("001/110", "111"), strain_max=0.04, strain_step=0.02)
    result = compute_properties(bulk("C", "diamond", a=3.567), settings)
    assert result.failed_step == "shear_001_110"
    assert "still rises at the largest strain" in result.error
    # the rest of the structure's results are kept
    assert result.steps["hardness"].status == "ok" and "hv_chen" in result.values
    assert result.steps["tensile_111"].status == "failed"
    assert result.values["shear_001_110_strain"] == pytest.approx(0.04)


def test_peak_is_taken_before_a_cutoff_spike():
    strain = np.arange(0, 0.42, 0.02)
    smooth = 100 * np.sin(strain / 0.3 * np.pi / 2)  # maximum 100 at 0.3, then down
    assert curve_peak(strain, smooth) == (15, None)
    spiked = smooth.copy()
    spiked[8:11] = [150, 400, 30]  # a spike at 0.18, far above the true maximum
    peak, upturn = curve_peak(strain, spiked)
    assert (peak, upturn) == (7, 7) and spiked[peak] == pytest.approx(smooth[7])
    # a real crystal with the default Tersoff potential: c-BN pulled along [111]
    settings = PipelineSettings(strength=("111",), strain_max=0.6, **QUICK)
    result = compute_properties(bulk("BN", "zincblende", a=3.615), settings)
    strain, stress = result.curves["tensile_111"]
    assert stress.max() > 3 * result.values["tensile_111"]  # the spike is left out
    assert "turns sharply upwards at strain" in result.error and "lower bound" in result.error


@pytest.mark.parametrize(
    "token, direction, normal, name",
    [
        ("100", (1, 0, 0), None, "tensile_100"),
        ("11-2", (1, 1, -2), None, "tensile_11m2"),
        ("1,0,-12", (1, 0, -12), None, "tensile_1_0_m12"),
        ("111/1-10", (1, -1, 0), (1, 1, 1), "shear_111_1m10"),
    ],
)
def test_strength_tokens(token, direction, normal, name):
    test = StrengthTest.parse(token)
    assert (test.direction, test.normal, test.name) == (direction, normal, name)
    assert StrengthTest.parse(test.text) == test


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"strength": ("10",)}, "bad strength direction '10'"),
        ({"strength": ("000",)}, "bad strength direction '000'"),
        ({"strength": ("1x0",)}, "bad strength direction '1x0'"),
        ({"strength": ("111/100",)}, "does not lie in the plane"),
        ({"strength": ("100", "1,0,0")}, "tensile_100 is asked for twice"),
        ({"fmax": -1}, "fmax must be a positive number"),
        ({"strain_step": float("nan")}, "strain_step must be a positive number"),
        ({"strain_max": 0.01, "strain_step": 0.02}, "larger than strain_max"),
        ({"steps": 0}, "steps must be a positive integer"),
        ({"optimizer": "Newton"}, "unknown optimiser 'Newton'"),
    ],
)
def test_bad_settings(kwargs, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        PipelineSettings(**kwargs)


def test_fingerprint_follows_what_changes_the_results(tmp_path):
    base = PipelineSettings()
    assert base.fingerprint() == PipelineSettings(strength=()).fingerprint()
    assert base.fingerprint() != PipelineSettings(fmax=0.02).fingerprint()
    assert base.fingerprint() != PipelineSettings(strength=("100",)).fingerprint()
    assert (
        PipelineSettings(strength=("100", "111/1-10")).fingerprint()
        == PipelineSettings(strength=("111/1-10", "1,0,0")).fingerprint()
    )
    # without relaxation the optimiser's settings do not matter
    assert (
        PipelineSettings(relax=False, fmax=0.5).fingerprint() == PipelineSettings(relax=False).fingerprint()
    )
    # the potential counts by its contents, not its name or place
    copy = tmp_path / "mine.tersoff"
    copy.write_bytes(files.BNC_TERSOFF.read_bytes())
    assert PipelineSettings(potential=str(copy)).fingerprint() == base.fingerprint()
    copy.write_text(files.BNC_TERSOFF.read_text() + "\n# edited\n")
    assert PipelineSettings(potential=str(copy)).fingerprint() != base.fingerprint()


# --- the `properties` subcommand -------------------------------------------------------------


def run_cli(*argv):
    try:
        return cli.main(list(argv))
    except SystemExit as exit:
        return exit.code


def test_properties_json_and_plot(tmp_path, capsys):
    path = tmp_path / "diamond.vasp"
    write(path, diamond())
    png = tmp_path / "curves.png"
    code = run_cli(
        "properties",
        str(path),
        "--fmax",
        "0.02",
        "--steps",
        "200",
        "--strength",
        *STRENGTH,
        "--strain-max",
        "0.6",
        "--strain-step",
        "0.04",
        "--json",
        "--plot",
        str(png),
    )
    # the [111] curve reaches the potential's cutoff before its maximum: reported, and an error
    assert code.startswith("corvane properties: error: ") and "tensile_111: " in code
    report = json.loads(capsys.readouterr().out)
    assert report["status"] == "failed" and report["formula"] == "C2"
    expected = compute_properties(diamond(), PipelineSettings(strength=STRENGTH, **CURVES, **QUICK))
    # the file's 6-decimal positions move the result a little
    for key, value in expected.values.items():
        assert report["values"][key] == pytest.approx(value, rel=1e-3), key
    assert set(report["curves"]) == {"tensile_111", "shear_001_110"}
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert not list(tmp_path.glob(".*tmp*"))


def test_properties_table(tmp_path, capsys):
    path = tmp_path / "cBN.vasp"
    write(path, bulk("BN", "zincblende", a=3.62))
    assert run_cli("properties", str(path), "--no-relax") == 0
    out = capsys.readouterr().out
    assert "Structure: " + str(path) + " (BN, 2 atoms)" in out
    assert "not relaxed" in out and "\nrelax " not in out
    hv = float(next(line for line in out.splitlines() if line.startswith("Hardness, Chen")).split()[-1])
    assert hv == pytest.approx(
        compute_properties(bulk("BN", "zincblende", a=3.62), PipelineSettings(relax=False)).values["hv_chen"],
        abs=0.006,
    )
    assert out.rstrip().endswith("Done.")


@pytest.mark.parametrize(
    "make, argv, message",
    [
        (lambda p: None, [], "cannot read a structure from"),
        (lambda p: p.write_text("not a structure\n"), [], "cannot read a structure from"),
        (
            lambda p: write(p, bulk("C", "diamond", a=3.57)),
            ["--potential", "none.tersoff"],
            "cannot use the potential 'none.tersoff'",
        ),
        (
            lambda p: write(p, bulk("C", "diamond", a=3.57)),
            ["--strength", "12"],
            "bad strength direction '12'",
        ),
        (
            lambda p: write(p, bulk("C", "diamond", a=3.57)),
            ["--plot", "x.png"],
            "--plot draws the curves of --strength",
        ),
        (lambda p: write(p, molecule("CH4"), format="xyz"), [], "structure: not a periodic crystal"),
    ],
)
def test_properties_errors_are_one_line(tmp_path, capsys, make, argv, message):
    path = tmp_path / "in.xyz"
    make(path)
    code = run_cli("properties", str(path), "--no-relax", *argv)
    assert isinstance(code, str) and "\n" not in code
    assert code.startswith("corvane properties: error: ") and message in code
