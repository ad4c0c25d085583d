"""Bond analysis and Šimůnek's bond-strength hardness (corvane.properties.tarnel), and the element
table it is built from."""

import dataclasses

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk, molecule
from ase.io import write
from ase.neighborlist import neighbor_list

from corvane.data.elements import ELEMENTS
from corvane.properties import tarnel
from corvane.properties.tarnel import BondType, SimunekHardnessCalculator

CARBON = {"C": {"Z": 4, "R": 0.77}}
BN = {"B": {"Z": 3, "R": 0.88}, "N": {"Z": 5, "R": 0.70}}


def diamond(n=1):
    return bulk("C", "diamond", a=3.567, cubic=True) * (n, n, n)


def zincblende_bn():
    return bulk("BN", "zincblende", a=3.615, cubic=True)


# A straightforward Python reading of the model, to compare against on irregular structures.
def reference(atoms, params, rcut=2.5, tolerance=0.01, C=1450.0, sigma=2.8):
    symbols = atoms.get_chemical_symbols()
    groups = [[] for _ in atoms]
    ii, jj, dd = neighbor_list("ijd", atoms, rcut)
    cn = np.bincount(ii, minlength=len(atoms))
    for i, j, d in zip(ii, jj, dd):
        for bt in groups[i]:
            if bt.neighbor_sym == symbols[j] and abs(bt.representative_distance - d) < tolerance:
                new = bt.count + 1
                bt.representative_distance = (bt.representative_distance * bt.count + d) / new
                bt.count = new
                break
        else:
            groups[i].append(BondType(symbols[j], d))

    def e(x):
        return abs(params[x]["Z"]) / params[x]["R"] if params[x]["R"] > 0 else 0

    def eff(c):
        return (4 - c) * 6 if c < 4 else c

    mean_cn = {s: np.mean([cn[k] for k in range(len(atoms)) if symbols[k] == s]) for s in set(symbols)}
    total = sum(len(g) for g in groups)
    logs = []
    for i, g in enumerate(groups):
        if cn[i] == 0:
            continue
        for bt in g:
            cj = eff(mean_cn[bt.neighbor_sym])
            if cj == 0 or bt.representative_distance < 1e-6:
                continue
            term = np.sqrt(e(symbols[i]) * e(bt.neighbor_sym)) / (
                eff(cn[i]) * cj * bt.representative_distance
            )
            logs.append(np.log(term * bt.count))
    bond = np.exp(np.sum(logs) / total) * total / 2.0
    uniq = sorted(set(symbols))
    ep = [e(s) for s in uniq]
    fe = 1 - (len(uniq) * np.prod(ep) ** (1.0 / len(uniq)) / sum(ep)) ** 2.0
    hardness = C / atoms.get_volume() * bond * np.exp(-sigma * fe)
    return (
        groups,
        cn,
        {"ionicity_factor": fe, "bond_contribution": bond, "total_bonds_type": total, "hardness": hardness},
    )


def fake_neighbors(monkeypatch, pairs):
    """Replace the module's neighbour search by a fixed list of (i, j, d)."""
    i, j, d = (np.array(x) for x in zip(*pairs)) if pairs else (np.array([], int),) * 2 + (np.array([]),)

    def fake(quantities, atoms, cutoff):
        assert quantities == "ijd"
        return i.astype(int), j.astype(int), d.astype(float)

    monkeypatch.setattr(tarnel, "neighbor_list", fake)


# --- worked examples --------------------------------------------------------------------------


def test_diamond_worked_example():
    calc = SimunekHardnessCalculator()
    result = calc._calculate_hardness(diamond(), element_params=CARBON)
    assert list(result) == ["ionicity_factor", "bond_contribution", "total_bonds_type", "hardness"]
    assert result["ionicity_factor"] == 0
    assert result["total_bonds_type"] == 8 and type(result["total_bonds_type"]) is int
    assert result["bond_contribution"] == pytest.approx(3.363299, abs=5e-7)
    assert result["hardness"] == pytest.approx(107.4544, abs=5e-5)
    assert calc.calculate_hardness(diamond(), element_params=CARBON) == result["hardness"]

    groups, cn = calc._analyze_bonds(diamond(), 2.5, 0.01)
    assert cn.tolist() == [4] * 8 and cn.dtype.kind == "i"
    for types in groups:
        assert len(types) == 1
        assert types[0].neighbor_sym == "C" and types[0].count == 4
        assert types[0].representative_distance == pytest.approx(1.544556, abs=5e-7)


def test_diamond_primitive_cell_gives_the_same_hardness():
    calc = SimunekHardnessCalculator()
    result = calc._calculate_hardness(bulk("C", "diamond", a=3.567), element_params=CARBON)
    assert result["total_bonds_type"] == 2
    assert result["hardness"] == pytest.approx(107.4544, abs=5e-5)
    # Two bond types instead of eight: the bond part is a quarter, as is the volume.
    assert result["bond_contribution"] == pytest.approx(3.363299 / 4, abs=5e-7)


def test_boron_nitride_worked_example():
    result = SimunekHardnessCalculator()._calculate_hardness(zincblende_bn(), element_params=BN)
    assert result["ionicity_factor"] == pytest.approx(0.125207, abs=5e-7)
    assert result["bond_contribution"] == pytest.approx(3.152436, abs=5e-7)
    assert result["hardness"] == pytest.approx(68.1451, abs=5e-5)


def test_module_table_reproduces_the_worked_examples():
    calc = SimunekHardnessCalculator()
    assert calc.calculate_hardness(diamond()) == pytest.approx(107.4544, abs=5e-5)
    assert calc.calculate_hardness(zincblende_bn()) == pytest.approx(68.1451, abs=5e-5)
    # An empty table falls back to the module's, exactly like None.
    assert calc.calculate_hardness(diamond(), element_params={}) == calc.calculate_hardness(diamond())


@pytest.mark.parametrize("n", [2, 9])  # 64 and 5832 atoms; the plain product underflows past ~4300
def test_supercells_of_diamond_keep_the_hardness(n):
    result = SimunekHardnessCalculator()._calculate_hardness(diamond(n), element_params=CARBON)
    assert result["total_bonds_type"] == 8 * n**3
    assert result["hardness"] == pytest.approx(107.45439789592263, rel=1e-12)


def test_supercell_of_boron_nitride_keeps_the_hardness():
    calc = SimunekHardnessCalculator()
    assert calc.calculate_hardness(zincblende_bn() * (3, 3, 3), element_params=BN) == pytest.approx(
        calc.calculate_hardness(zincblende_bn(), element_params=BN), rel=1e-12
    )


def test_irregular_structure_matches_a_plain_reading_of_the_model():
    # Rattled B-C-N with vacancies and a surface: several bond types per atom, merged lengths,
    # coordinations below 4 and fractional element means.
    atoms = bulk("C", "diamond", a=3.567, cubic=True) * (2, 2, 2)
    rng = np.random.default_rng(11)
    atoms.symbols[rng.choice(len(atoms), 20, replace=False)] = "B"
    atoms.symbols[rng.choice(len(atoms), 20, replace=False)] = "N"
    del atoms[rng.choice(len(atoms), 6, replace=False).tolist()]
    atoms.rattle(0.04, seed=3)
    atoms.pbc = [True, True, False]
    atoms.center(vacuum=3.0, axis=2)
    params = {**CARBON, **BN}
    groups, cn, expected = reference(atoms, params, rcut=2.0, tolerance=0.03)
    calc = SimunekHardnessCalculator()
    got_groups, got_cn = calc._analyze_bonds(atoms, 2.0, 0.03)
    assert got_groups == groups
    assert got_cn.tolist() == cn.tolist()
    assert any(bt.count > 1 for g in groups for bt in g) and any(len(g) > 2 for g in groups)
    assert min(cn) < 4
    result = calc._calculate_hardness(atoms, rcut=2.0, tolerance=0.03, element_params=params)
    assert result["total_bonds_type"] == expected["total_bonds_type"]
    for key in ("ionicity_factor", "bond_contribution", "hardness"):
        assert result[key] == pytest.approx(expected[key], rel=1e-12)


def test_effective_coordination_of_atoms_and_of_element_means(monkeypatch):
    # Atom 0 has 3 bonds (effective 6), atom 1 has 2 (effective 12); the element's mean is 2.5,
    # effective 9.
    atoms = Atoms("C2", positions=[[0, 0, 0], [1.5, 0, 0]], cell=[10, 10, 10], pbc=True)
    fake_neighbors(monkeypatch, [(0, 1, 1.5)] * 3 + [(1, 0, 1.5)] * 2)
    result = SimunekHardnessCalculator()._calculate_hardness(atoms, element_params=CARBON)
    e = 4 / 0.77
    f0 = e / (6 * 9 * 1.5) * 3
    f1 = e / (12 * 9 * 1.5) * 2
    assert result["total_bonds_type"] == 2
    assert result["bond_contribution"] == pytest.approx(np.sqrt(f0 * f1), rel=1e-14)
    assert result["hardness"] == pytest.approx(1450.0 / 1000 * np.sqrt(f0 * f1), rel=1e-14)


# --- bond grouping --------------------------------------------------------------------------


def four_atoms():
    return Atoms("CCCN", positions=np.zeros((4, 3)), cell=[10, 10, 10], pbc=True)


@pytest.mark.parametrize(
    "pairs, tolerance, expected",
    [
        # 1.540 and 1.545 merge, with the mean of the two
        ([(0, 1, 1.540), (0, 2, 1.545)], 0.01, [("C", 1.5425, 2)]),
        # the comparison is strict: 1.5 and 1.75 with tolerance 0.25 stay apart
        ([(0, 1, 1.5), (0, 2, 1.75)], 0.25, [("C", 1.5, 1), ("C", 1.75, 1)]),
        # different elements never merge
        ([(0, 1, 1.5), (0, 3, 1.5)], 0.5, [("C", 1.5, 1), ("N", 1.5, 1)]),
        # the third bond is compared with the running mean (1.53), not the first length (1.50)
        (
            [(0, 1, 1.50), (0, 2, 1.56), (0, 3, 1.6), (0, 1, 1.595)],
            0.07,
            [("C", (1.50 + 1.56 + 1.595) / 3, 3), ("N", 1.6, 1)],
        ),
        # a bond joins the first matching type in creation order
        ([(0, 1, 1.50), (0, 2, 1.60), (0, 1, 1.55)], 0.06, [("C", 1.525, 2), ("C", 1.6, 1)]),
    ],
)
def test_bond_types(monkeypatch, pairs, tolerance, expected):
    fake_neighbors(monkeypatch, pairs)
    groups, cn = SimunekHardnessCalculator()._analyze_bonds(four_atoms(), 2.5, tolerance)
    got = [(bt.neighbor_sym, bt.representative_distance, bt.count) for bt in groups[0]]
    assert [(s, c) for s, _, c in got] == [(s, c) for s, _, c in expected]
    assert [d for _, d, _ in got] == pytest.approx([d for _, d, _ in expected], rel=1e-15)
    assert groups[1:] == [[], [], []]
    assert cn.tolist() == [len(pairs), 0, 0, 0]


def test_pairs_need_not_come_sorted_by_atom(monkeypatch):
    fake_neighbors(monkeypatch, [(1, 0, 1.5), (0, 1, 1.5), (1, 3, 1.4), (0, 3, 1.7), (1, 2, 1.52)])
    groups, cn = SimunekHardnessCalculator()._analyze_bonds(four_atoms(), 2.5, 0.05)
    assert [(b.neighbor_sym, b.count) for b in groups[0]] == [("C", 1), ("N", 1)]
    assert [(b.neighbor_sym, b.count) for b in groups[1]] == [("C", 2), ("N", 1)]
    assert groups[1][0].representative_distance == pytest.approx(1.51)
    assert cn.tolist() == [2, 3, 0, 0]


def test_bad_pair_index_from_the_neighbour_search(monkeypatch):
    fake_neighbors(monkeypatch, [(0, 7, 1.5)])
    with pytest.raises(IndexError):
        SimunekHardnessCalculator()._analyze_bonds(four_atoms(), 2.5, 0.05)


def test_bond_type_record():
    assert dataclasses.is_dataclass(BondType)
    assert [f.name for f in dataclasses.fields(BondType)] == [
        "neighbor_sym",
        "representative_distance",
        "count",
    ]
    assert BondType("C", 1.5).count == 1
    assert BondType("C", 1.5) == BondType("C", 1.5, 1) != BondType("C", 1.5, 2)
    assert repr(BondType("N", 1.25, 3)) == "BondType(neighbor_sym='N', representative_distance=1.25, count=3)"
    assert BondType.__doc__ == "Represents a unique type of bond for a central atom."
    assert BondType.__module__ == "corvane.properties.tarnel"


# --- verbose report, failures -------------------------------------------------------------------


def test_verbose_report(capsys):
    calc = SimunekHardnessCalculator(verbose=True)
    calc._analyze_bonds(bulk("C", "diamond", a=3.567), 2.5, 0.01)
    assert capsys.readouterr().out == (
        "\n--- Bond Analysis Verbose Info ---\n"
        "Atom 0 (C): Total CN = 4\n"
        "  - Bond to C: count (nsij) = 4, dist \u2248 1.545 \u00c5\n"
        "Atom 1 (C): Total CN = 4\n"
        "  - Bond to C: count (nsij) = 4, dist \u2248 1.545 \u00c5\n"
        "----------------------------------\n\n"
    )


def test_no_bonds(capsys):
    atoms = Atoms("CN", positions=[[0, 0, 0], [5, 5, 5]], cell=[10, 10, 10], pbc=True)
    quiet = SimunekHardnessCalculator()
    groups, cn = quiet._analyze_bonds(atoms, 2.5, 0.01)
    assert groups == [[], []] and cn.tolist() == [0, 0]
    assert quiet._calculate_hardness(atoms) == {"error": "No bonds found within the given cutoff radius."}
    capsys.readouterr()
    with pytest.raises(ValueError, match=r"^No bonds found within the given cutoff radius\.$"):
        SimunekHardnessCalculator(verbose=1).calculate_hardness(atoms)
    assert capsys.readouterr().out == (
        "\n--- Bond Analysis Verbose Info ---\n"
        "Atom 0 (C): Total CN = 0\n  No bonds found within cutoff.\n"
        "Atom 1 (N): Total CN = 0\n  No bonds found within cutoff.\n"
        "----------------------------------\n\n"
    )


def test_zero_volume():
    atoms = molecule("CH4")
    atoms.cell = [10, 10, 1e-9]  # a cell of next to no volume around a molecule
    with pytest.raises(ValueError, match=r"^Unit cell volume is zero\.$"):
        SimunekHardnessCalculator().calculate_hardness(atoms, rcut=1.5)


def test_element_table_problems():
    calc = SimunekHardnessCalculator()
    with pytest.raises(KeyError, match="N"):
        calc.calculate_hardness(zincblende_bn(), element_params={"B": {"Z": 3, "R": 0.88}})
    # with several elements missing, the first one the bond loop meets is reported
    with pytest.raises(KeyError) as info:
        calc.calculate_hardness(zincblende_bn(), element_params=CARBON)
    assert info.value.args == ("B",)
    with pytest.raises(KeyError, match="Z"):
        calc.calculate_hardness(diamond(), element_params={"C": {"R": 0.77}})
    # R <= 0 gives the element the value 0, and every bond touching it makes the hardness 0
    assert calc.calculate_hardness(zincblende_bn(), element_params={**BN, "N": {"Z": 5, "R": 0}}) == 0
    assert calc.calculate_hardness(diamond(), element_params={"C": {"Z": -4, "R": 0.77}}) == pytest.approx(
        107.4544, abs=5e-5
    )


def test_argument_checks():
    calc = SimunekHardnessCalculator()
    for method in (calc.calculate_hardness, calc._calculate_hardness):
        with pytest.raises(
            TypeError, match=r"^Argument 'element_params' has incorrect type \(expected dict, got list\)$"
        ):
            method(diamond(), element_params=[("C", {})])
        with pytest.raises(TypeError):
            method(diamond(), rcut="2.5")
    with pytest.raises(TypeError):
        calc._analyze_bonds(diamond(), 2.5)
    # ints are converted like floats
    assert calc.calculate_hardness(diamond(), rcut=2, tolerance=0) == pytest.approx(107.4544, abs=5e-5)


def test_constructor():
    calc = SimunekHardnessCalculator()
    assert (calc.C, calc.sigma, calc.verbose) == (1450.0, 2.8, False)
    calc = SimunekHardnessCalculator(C=1000, sigma=3, verbose="yes")
    assert type(calc.C) is float and calc.C == 1000.0 and type(calc.sigma) is float
    assert calc.verbose == "yes"
    with pytest.raises(TypeError):
        SimunekHardnessCalculator(C="big")
    # C scales the hardness, sigma damps it through the ionicity factor
    assert calc.calculate_hardness(diamond()) == pytest.approx(107.45439789592263 * 1000 / 1450)
    bn = SimunekHardnessCalculator(sigma=0)._calculate_hardness(zincblende_bn())
    assert bn["hardness"] == pytest.approx(68.14508303450665 * np.exp(2.8 * bn["ionicity_factor"]))


def test_structure_file_is_read(tmp_path):
    path = tmp_path / "POSCAR"
    write(path, zincblende_bn(), format="vasp")
    calc = SimunekHardnessCalculator()
    assert calc.calculate_hardness(str(path)) == pytest.approx(
        calc.calculate_hardness(zincblende_bn()), rel=1e-12
    )


def test_replaced_analysis_is_used():
    class Dropping(SimunekHardnessCalculator):
        def _analyze_bonds(self, atoms, rcut, tolerance):
            groups, cn = super()._analyze_bonds(atoms, rcut, tolerance)
            return [[] for _ in groups], cn

    class Same(SimunekHardnessCalculator):
        def _analyze_bonds(self, atoms, rcut, tolerance):
            return super()._analyze_bonds(atoms, rcut, tolerance)

    assert Dropping()._calculate_hardness(diamond()) == {
        "error": "No bonds found within the given cutoff radius."
    }
    assert Same()._calculate_hardness(zincblende_bn()) == SimunekHardnessCalculator()._calculate_hardness(
        zincblende_bn()
    )


def test_module_names_are_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(tarnel, "ELEMENT_PARAMS", {"C": {"Z": 4, "R": 0.77 * 2}})
    assert SimunekHardnessCalculator().calculate_hardness(diamond()) == pytest.approx(107.4544 / 2, abs=5e-5)


# --- element data -----------------------------------------------------------------------------


def test_element_table():
    assert list(ELEMENTS)[:3] == ["H", "He", "Li"] and list(ELEMENTS)[-1] == "Bi" and len(ELEMENTS) == 83
    assert {s: (ELEMENTS[s].valence, ELEMENTS[s].hard_rad) for s in "BCN"} == {
        "B": (3, 0.88),
        "C": (4, 0.77),
        "N": (5, 0.70),
    }
    assert (
        ELEMENTS["O"].valence,
        ELEMENTS["Si"].valence,
        ELEMENTS["Ga"].valence,
        ELEMENTS["Ti"].valence,
    ) == (6, 4, 3, 4)
    assert all(e.hard_rad > 0 and 1 <= e.valence <= 12 for e in ELEMENTS.values())
    assert [e.number for e in ELEMENTS.values()] == list(range(1, 84))
    assert tarnel.ELEMENT_PARAMS["C"] == {"Z": 4, "R": 0.77}
    assert list(tarnel.ELEMENT_PARAMS) == list(ELEMENTS)
