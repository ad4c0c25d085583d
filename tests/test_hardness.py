"""Moduli-based hardness models and their dispatcher (corvane.properties.hardness)."""

import inspect

import pytest

from corvane.properties import hardness, tarnel
from corvane.properties.hardness import HARDNESS_METHODS, calculate_hardness

KEYS = ["chen", "chen2011", "tian", "tian2012", "jiang", "jiang2011", "mazhnik", "mazhnik2019"]
WARNING = "Warning: Poisson's ratio ({}) is outside the typical physical range [-1.0, 0.5].\n"


def approx4(x):
    return pytest.approx(x, abs=5e-5)


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, 66.2140),
        ({"method": "chen2011"}, 66.2140),
        ({"method": "tian"}, 66.6615),
        ({"method": "jiang"}, 60.3245),
        ({"method": "mazhnik", "poisson": 0.15}, 68.5732),
        ({"method": "mazhnik"}, 74.2626),
        ({"method": "Mazhnik2019"}, 74.2626),
        ({"method": "TIAN2012"}, 66.6615),
    ],
)
def test_worked_examples(kwargs, expected):
    result = calculate_hardness(shear=409.0, bulk=400.0, **kwargs)
    assert type(result) is float
    assert result == approx4(expected)


def test_int_moduli_and_ignored_inputs():
    assert calculate_hardness(shear=409, bulk=400, poisson=0.15, method="mazhnik") == calculate_hardness(
        shear=409.0, bulk=400.0, poisson=0.15, method="mazhnik"
    )
    assert calculate_hardness(shear=409, bulk=400) == calculate_hardness(shear=409.0, bulk=400.0)
    # Chen never looks at young or poisson, whatever they hold
    assert calculate_hardness(shear=409.0, bulk=400.0, young="x", poisson=[1]) == approx4(66.2140)
    assert calculate_hardness(shear=True, bulk=1) == pytest.approx(-1.0)  # bool counts as int


def test_missing_and_non_numeric_inputs():
    with pytest.raises(ValueError, match=r"^Missing required input: 'shear'$"):
        calculate_hardness(bulk=400.0)
    with pytest.raises(ValueError, match=r"^Missing required input: 'bulk'$"):
        calculate_hardness(shear=409.0, method="tian")
    with pytest.raises(TypeError, match=r"^Input 'shear' must be a number, not str$"):
        calculate_hardness(shear="x", bulk=400.0)
    with pytest.raises(TypeError, match=r"^Input 'young' must be a number, not list$"):
        calculate_hardness(young=[1], method="jiang")


def test_method_argument():
    with pytest.raises(
        TypeError, match=r"^Argument 'method' has incorrect type \(expected str, got NoneType\)$"
    ):
        calculate_hardness(shear=409.0, method=None)

    class Name(str):
        pass

    with pytest.raises(TypeError, match=r"expected str, got Name"):
        calculate_hardness(shear=409.0, bulk=400.0, method=Name("chen"))
    with pytest.raises(ValueError) as info:
        calculate_hardness(shear=409.0, bulk=400.0, method="Vickers")
    assert str(info.value) == (
        "Method 'Vickers' is not supported. Available methods are: "
        "['chen', 'chen2011', 'tian', 'tian2012', 'jiang', 'jiang2011', "
        "'mazhnik', 'mazhnik2019']"
    )


def test_method_table():
    assert list(HARDNESS_METHODS) == KEYS
    assert HARDNESS_METHODS["chen"] is HARDNESS_METHODS["chen2011"] is hardness._calculate_chen
    assert HARDNESS_METHODS["mazhnik2019"] is hardness._calculate_mazhnik
    assert hardness.SimunekHardnessCalculator is tarnel.SimunekHardnessCalculator


def test_method_table_is_looked_up_at_each_call(monkeypatch):
    seen = {}

    def custom(**kwargs):
        seen.update(kwargs)
        return 1.5

    monkeypatch.setitem(HARDNESS_METHODS, "custom", custom)
    assert calculate_hardness(shear=1, method="CUSTOM") == 1.5
    assert seen == {"shear": 1, "bulk": None, "young": None, "poisson": None}
    monkeypatch.setattr(hardness, "HARDNESS_METHODS", {"only": custom})
    with pytest.raises(ValueError, match=r"Available methods are: \['only'\]$"):
        calculate_hardness(shear=1.0, bulk=1.0)


def test_jiang():
    assert calculate_hardness(shear=409.0, young=1000.0, method="jiang") == approx4(60.3245)
    assert calculate_hardness(young=1000, method="jiang2011") == pytest.approx(1000 / 16.48)
    with pytest.raises(ValueError, match=r"^Jiang's method requires either 'shear' or 'young' modulus\.$"):
        calculate_hardness(bulk=400.0, method="jiang")


def test_mazhnik_derivations():
    f = hardness._calculate_mazhnik
    nu = (3 * 400.0 - 2 * 409.0) / (2 * (3 * 400.0 + 409.0))
    assert nu == pytest.approx(0.118707, abs=5e-7)
    # shear and bulk win over young; a given poisson wins over every modulus
    assert f(shear=409.0, bulk=400.0, young=5.0) == pytest.approx(f(poisson=nu, young=5.0))
    assert f(shear=409.0, bulk=400.0) == pytest.approx(f(poisson=nu, shear=409.0))
    assert f(shear=409.0, bulk=1.0, poisson=0.15) == approx4(68.5732)
    assert f(young=940.7, shear=409.0) == pytest.approx(f(poisson=940.7 / 818 - 1, young=940.7))
    assert f(young=900.0, bulk=400.0) == pytest.approx(f(poisson=(1200 - 900) / 2400, young=900.0))
    # E derived from the bulk modulus when shear is absent
    assert f(bulk=400.0, poisson=0.2) == pytest.approx(f(young=3 * 400 * 0.6, poisson=0.2))
    with pytest.raises(
        ValueError,
        match=r"^Mazhnik's method requires 'poisson' ratio or enough moduli "
        r"\(shear/bulk, young/shear, or young/bulk\) to calculate it\.$",
    ):
        f(young=900.0)


def test_mazhnik_warning_boundaries(capsys):
    for nu, text in [(0.5, "0.500"), (-1.0, "-1.000"), (0.7, "0.700")]:
        calculate_hardness(young=900.0, poisson=nu, method="mazhnik")
        assert capsys.readouterr().out == WARNING.format(text)
    for nu in (0.49, -0.99, 0):
        calculate_hardness(young=900.0, poisson=nu, method="mazhnik")
        assert capsys.readouterr().out == ""
    # only poisson given: the range check comes first, then the missing modulus
    with pytest.raises(
        ValueError,
        match=r"^Mazhnik's method requires 'young' modulus or 'shear'/'bulk' "
        r"to calculate it alongside Poisson's ratio\.$",
    ):
        calculate_hardness(poisson=0.6, method="mazhnik")
    assert capsys.readouterr().out == WARNING.format("0.600")


def test_complex_results():
    chen = calculate_hardness(shear=-409.0, bulk=400.0)
    assert type(chen) is complex and chen.imag != 0
    assert chen == pytest.approx(2 * ((-409.0 / 400) ** 2 * -409.0 + 0j) ** 0.585 - 3)
    assert type(calculate_hardness(shear=409.0, bulk=-400.0, method="tian")) is complex
    assert type(calculate_hardness(shear=0.0, bulk=1.0)) is float


def test_division_by_zero():
    for method in ("chen", "tian"):
        with pytest.raises(ZeroDivisionError, match=r"^float division$"):
            calculate_hardness(shear=1.0, bulk=0, method=method)
    with pytest.raises(ZeroDivisionError):
        calculate_hardness(young=1.0, shear=0.0, method="mazhnik")


def test_validate_inputs_number():
    v = hardness._validate_inputs_number
    assert v({"a": 1.0, "b": 2, "c": False}) is None
    with pytest.raises(ValueError, match=r"^Missing required input: 'b'$"):
        v({"a": 1.0, "b": None, "c": "x"})
    with pytest.raises(TypeError, match=r"^Input 'c' must be a number, not complex$"):
        v(required_args={"c": 1j, "d": None})
    with pytest.raises(
        TypeError, match=r"^Argument 'required_args' has incorrect type \(expected dict, got list\)$"
    ):
        v([("a", 1.0)])


def test_signatures():
    assert str(inspect.signature(calculate_hardness)) == (
        "(shear: 'Optional[float]' = None, bulk: 'Optional[float]' = None, "
        "young: 'Optional[float]' = None, poisson: 'Optional[float]' = None, "
        "method: 'str' = 'chen') -> 'float'"
    )
    assert (
        str(inspect.signature(hardness._calculate_chen))
        == "(shear: 'float', bulk: 'float', **kwargs) -> 'float'"
    )
    assert "The calculated Vickers hardness (Hv) in GPa." in calculate_hardness.__doc__
    assert "Formula: Hv = 2 * (k^2 * G)^0.585 - 3, where k = G/B." in hardness._calculate_chen.__doc__
    assert "Formula: Hv = G / 6.78  or  Hv = E / 16.48" in hardness._calculate_jiang.__doc__
