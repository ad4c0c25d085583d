"""Tensor files in PyTorch's zip layout: writing, restricted reading, damaged and foreign files."""

import os
import pickle
import shutil
import subprocess
import sys
import zipfile
from collections import OrderedDict
from pathlib import Path

import numpy as np
import pytest
from ase.build import bulk

from corvane.data import files
from corvane.optimization import get_calculator
from corvane.potentials import pth
from corvane.potentials.ace import FORMAT, AceCalculator, AceModel, load_model
from corvane.potentials.pth import ModelFileError

SHIPPED = Path(files.__file__).parent / "BCN-ms-v0.0.1.pth"


def sample():
    return OrderedDict(
        [
            ("format", "sample"),
            ("version", 3),
            ("big", 2**40),
            ("negative", -7),
            ("flags", [True, False, None]),
            ("pair", (1.5, "two")),
            ("nested", {"units": {"energy": "eV"}, "empty": {}, "list": []}),
            ("f64", np.linspace(-1, 1, 7)),
            ("f32", np.arange(6, dtype=np.float32).reshape(2, 3)),
            ("i64", np.array([[1, -2], [3, 4], [5, 6]], dtype=np.int64)),
            ("i32", np.array([7, 8], dtype=np.int32)),
            ("scalar", np.array(2.5)),
            ("none", np.zeros((0, 4))),
            ("transposed", np.arange(12.0).reshape(3, 4).T),
        ]
    )


def assert_same(a, b):
    assert type(a) is type(b) or (isinstance(a, dict) and isinstance(b, dict))
    if isinstance(a, dict):
        assert list(a) == list(b)
        for key in a:
            assert_same(a[key], b[key])
    elif isinstance(a, np.ndarray):
        assert a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b)
    else:
        assert a == b


def records(path):
    with zipfile.ZipFile(path) as zf:
        return {info.filename: info for info in zf.infolist()}


def test_round_trip_is_bit_identical_and_in_torch_layout(tmp_path):
    first = tmp_path / "a.pth"
    pth.save(sample(), first)
    back = pth.load(first)
    assert isinstance(back, OrderedDict)
    assert_same(sample(), back)
    second = tmp_path / "b.pth"
    pth.save(back, second)
    assert first.read_bytes() == second.read_bytes()

    entries = records(first)
    assert {"archive/data.pkl", "archive/byteorder", "archive/version"} <= set(entries)
    data = first.read_bytes()
    for name, info in entries.items():
        assert info.compress_type == zipfile.ZIP_STORED
        if name.startswith("archive/data/"):
            start = info.header_offset + 30 + len(info.filename) + len(info.extra)
            assert start % 64 == 0, name
    with zipfile.ZipFile(first) as zf:
        assert zf.read("archive/byteorder") == b"little"
        # The storage of the float64 tensor: its raw little-endian values.
        assert zf.read("archive/data/0") == np.linspace(-1, 1, 7).astype("<f8").tobytes()
    assert b"torch._utils" in data and b"DoubleStorage" in data
    # No files are left beside the target.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.pth", "b.pth"]


def test_unstorable_values_are_refused(tmp_path):
    with pytest.raises(TypeError, match="cannot store a set"):
        pth.save({"x": {1, 2}}, tmp_path / "x.pth")
    with pytest.raises(TypeError, match="cannot store arrays of type complex128"):
        pth.save({"x": np.zeros(2, complex)}, tmp_path / "x.pth")
    with pytest.raises(TypeError, match="keys must be str"):
        pth.save({1: 2}, tmp_path / "x.pth")
    assert list(tmp_path.iterdir()) == []


def rewrite(source, target, replace):
    """Copies the zip `source` to `target`, with records replaced by replace[name]."""
    with zipfile.ZipFile(source) as zin, zipfile.ZipFile(target, "w") as zout:
        for info in zin.infolist():
            zout.writestr(info.filename, replace.get(info.filename, zin.read(info.filename)))


class RunsCommand:
    def __init__(self, command):
        self.command = command

    def __reduce__(self):
        return os.system, (self.command,)


def test_a_pickle_that_would_run_code_is_refused_and_nothing_runs(tmp_path):
    good = tmp_path / "good.pth"
    pth.save(sample(), good)
    marker = tmp_path / "ran"
    evil = tmp_path / "evil.pth"
    payload = pickle.dumps({"format": RunsCommand(f"touch {marker}")}, protocol=2)
    rewrite(good, evil, {"archive/data.pkl": payload})
    with pytest.raises(ModelFileError, match=r"refused.*(posix|os)\.system.*nothing from the file was run"):
        pth.load(evil)
    assert not marker.exists()
    with pytest.raises(ValueError, match="refused"):
        get_calculator(str(evil))
    assert not marker.exists()

    # Classes outside the allowed few are refused as well, whatever they are.
    for obj in (np.float64(1.0), Path("x"), OrderedDict(a=print)):
        rewrite(good, evil, {"archive/data.pkl": pickle.dumps(obj, protocol=2)})
        with pytest.raises(ModelFileError, match="refused"):
            pth.load(evil)


def test_damaged_and_inconsistent_files_give_clear_errors(tmp_path):
    good = tmp_path / "good.pth"
    pth.save(sample(), good)
    data = good.read_bytes()
    bad = tmp_path / "bad.pth"

    for cut in (len(data) // 3, len(data) - 30, 10):
        bad.write_bytes(data[:cut])
        with pytest.raises(ModelFileError, match="damaged or truncated|truncated"):
            pth.load(bad)
    bad.write_bytes(b"")
    with pytest.raises(ModelFileError, match="not a tensor file: empty"):
        pth.load(bad)

    # A flipped byte inside a storage: the record's checksum no longer matches.
    with zipfile.ZipFile(good) as zf:
        info = zf.getinfo("archive/data/0")
    start = info.header_offset + 30 + len(info.filename) + len(info.extra)
    flipped = bytearray(data)
    flipped[start + 3] ^= 0xFF
    bad.write_bytes(bytes(flipped))
    with pytest.raises(ModelFileError, match="record archive/data/0 is damaged"):
        pth.load(bad)

    # A storage shorter than its tensor needs, and a size reaching past the storage.
    with zipfile.ZipFile(good) as zf:
        storage = zf.read("archive/data/0")
        pkl = zf.read("archive/data.pkl")
    rewrite(good, bad, {"archive/data/0": storage[:-8]})
    with pytest.raises(ModelFileError, match="data/0 holds 48 bytes, but its 7 DoubleStorage values need 56"):
        pth.load(bad)
    # The 2x3 float32 tensor claims 3 rows: (2, 3) -> (3, 3) in the pickle.
    two, three = b"J\x02\x00\x00\x00", b"J\x03\x00\x00\x00"
    patched = pkl.replace(two + three, three + three, 1)
    assert patched != pkl
    rewrite(good, bad, {"archive/data.pkl": patched})
    with pytest.raises(ModelFileError, match="reaches past the end of its storage"):
        pth.load(bad)
    rewrite(good, bad, {"archive/data.pkl": pkl[: len(pkl) // 2]})
    with pytest.raises(ModelFileError, match="data.pkl is not a valid tensor pickle"):
        pth.load(bad)
    rewrite(good, bad, {"archive/byteorder": b"big"})
    with pytest.raises(ModelFileError, match="'big'-endian"):
        pth.load(bad)


def test_foreign_files_are_named(tmp_path):
    legacy = tmp_path / "legacy.pth"
    legacy.write_bytes(pickle.dumps({"weight": [1.0, 2.0]}, protocol=2))
    with pytest.raises(ValueError, match="bare pickle .*legacy.*supported are"):
        get_calculator(str(legacy))

    script = tmp_path / "scripted.pth"
    with zipfile.ZipFile(script, "w") as zf:
        zf.writestr("model/data.pkl", b"\x80\x02}q\x00.")
        zf.writestr("model/constants.pkl", b"\x80\x02).")
        zf.writestr("model/code/__torch__/model.py", "def forward(self, x): return x\n")
    with pytest.raises(ModelFileError, match="TorchScript archive"):
        pth.load(script)

    # Someone else's network weights: a PyTorch state dict without our format name.
    weights = tmp_path / "net.pth"
    pth.save(OrderedDict([("layer1.weight", np.ones((2, 2))), ("layer1.bias", np.zeros(2))]), weights)
    with pytest.raises(ValueError, match=f"not a {FORMAT} model.*layer1.weight.*other network"):
        get_calculator(str(weights))
    other = tmp_path / "other.pth"
    pth.save(OrderedDict([("format", "something-else"), ("format_version", 1)]), other)
    with pytest.raises(ValueError, match="format 'something-else'"):
        get_calculator(str(other))


def test_shipped_model_is_complete():
    model = load_model(SHIPPED)
    assert model.basis.elements == ("B", "C", "N")
    assert 4.5 <= model.basis.cutoff <= 5.0
    assert len(model.metadata["training_data_sha256"]) == 64
    contents = pth.load(SHIPPED)
    assert contents["units"]["energy"] == "eV" and contents["format"] == FORMAT
    assert contents["coefficients"].shape == (3, model.basis.program().outputs)
    assert np.all(np.isfinite(contents["reference_energies"]))
    # Boron and nitrogen carry the carriers; in c-BN with a carbon on a boron site and in diamond
    # with a boron, each costs more than nothing and less than PBE's band gap of diamond.
    assert contents["carrier_charges"] == [-1.0, 0.0, 1.0]
    local = AceCalculator(AceModel(model.basis, model.reference, model.coefficients), threads=1)
    for host, dopant in (("BN", "C"), ("C", "B")):
        atoms = bulk(host, "zincblende" if host == "BN" else "diamond", a=3.6, cubic=True) * 2
        atoms.symbols[0] = dopant
        per_carrier = AceCalculator(model, threads=1).get_potential_energy(
            atoms
        ) - local.get_potential_energy(atoms)
        assert 0.0 < per_carrier < 4.2, (host, dopant)


TORCH_CHECK = """
import sys, torch
obj = torch.load(sys.argv[1], weights_only=True)
t = obj["coefficients"]
print(type(obj).__name__, obj["format"], tuple(t.shape), str(t.dtype),
      float(t.double().abs().sum()))
"""


def torch_python():
    """A Python that can import torch: this one, or one named by CORVANE_TORCH_PYTHON."""
    try:
        import torch  # noqa: F401

        return sys.executable
    except ImportError:
        pass
    candidate = os.environ.get("CORVANE_TORCH_PYTHON")
    if candidate and (shutil.which(candidate) or Path(candidate).is_file()):
        return candidate
    return None


@pytest.mark.skipif(torch_python() is None, reason="torch is not importable")
def test_torch_reads_the_shipped_file_with_weights_only():
    out = subprocess.run(
        [torch_python(), "-c", TORCH_CHECK, str(SHIPPED)], capture_output=True, text=True, check=True
    ).stdout.split()
    contents = pth.load(SHIPPED)
    assert out[:2] == ["OrderedDict", FORMAT]
    assert out[-2] == "torch.float64"
    assert "".join(out[2:-2]) == f"(3,{contents['coefficients'].shape[1]})"
    assert float(out[-1]) == pytest.approx(np.abs(contents["coefficients"]).sum(), rel=1e-12)


DATA = Path(__file__).parent / "data"


def test_files_written_by_torch():
    """A state dict saved by torch itself reads back (strides included); a pickled module,
    which would need torch's classes to be built, is refused."""
    state = pth.load(DATA / "torch_state_dict.pth")
    assert list(state) == ["w", "b"]
    np.testing.assert_array_equal(state["w"], np.arange(6.0, dtype=np.float32).reshape(2, 3).T)
    assert state["b"].dtype == np.float64 and state["b"].shape == (3,)
    with pytest.raises(ModelFileError, match="torch.nn.modules.linear.Linear.*whole pickled"):
        pth.load(DATA / "torch_module.pth")
    with pytest.raises(ValueError, match="keys w, b"):
        get_calculator(str(DATA / "torch_state_dict.pth"))
