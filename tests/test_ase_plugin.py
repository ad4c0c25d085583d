"""ASE's own read/write reach the BCS and VESTA formats through the installed entry points."""

import json
import shutil
import subprocess
import sys
from importlib.metadata import entry_points
from pathlib import Path

DATA = Path(__file__).parent / "data"

# Run in a fresh interpreter: ASE registers external formats once, when ase.io is first imported.
SCRIPT = r"""
import json, sys, warnings
warnings.simplefilter("error", UserWarning)  # a failed registration is a warning in ASE
import ase.io
from ase.build import bulk
from ase.io.formats import ioformats, filetype
assert "corvane.io.bcs" not in sys.modules and "corvane.io.vesta" not in sys.modules
d = sys.argv[1]
report = {name: [ioformats[name].module_name, ioformats[name].code,
                 ioformats[name].extensions] for name in ("bcs", "vesta")}
a = ase.io.read(d + "/hBN.vesta")
report["vesta_symbols"] = a.get_chemical_symbols()
ase.io.write(d + "/copy.vesta", a)
report["upper"] = filetype(d + "/HBN.VESTA")
ase.io.write(d + "/nacl.bcs", bulk("NaCl", "rocksalt", a=5.64))
b = ase.io.read(d + "/nacl.bcs")
report["bcs_formula"] = b.get_chemical_formula()
report["bcs_spacegroup"] = b.info["spacegroup"].no
ase.io.write(d + "/loose.bcs", bulk("Si"), symprec=0.1)
try:
    ase.io.write(d + "/keep.vesta", bulk("Si"))
except ValueError as err:
    report["vesta_error"] = str(err)
print(json.dumps(report))
"""


def test_entry_points_are_installed():
    eps = {ep.name: ep.value for ep in entry_points(group="ase.ioformats")}
    assert eps["bcs"] == "corvane.io._ase_plugin:BCS_FORMAT"
    assert eps["vesta"] == "corvane.io._ase_plugin:VESTA_FORMAT"


def test_ase_read_and_write_through_registration(tmp_path):
    shutil.copy(DATA / "hBN.vesta", tmp_path / "hBN.vesta")
    shutil.copy(DATA / "hBN.vesta", tmp_path / "HBN.VESTA")
    (tmp_path / "keep.vesta").write_text("precious\n")
    out = subprocess.run([sys.executable, "-c", SCRIPT, str(tmp_path)], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    report = json.loads(out.stdout.splitlines()[-1])
    assert report["bcs"] == ["corvane.io.bcs", "1S", ["bcs"]]
    assert report["vesta"] == ["corvane.io.vesta", "1S", ["vesta"]]
    assert report["vesta_symbols"] == ["B", "N"]
    assert (tmp_path / "copy.vesta").read_bytes() == (DATA / "hBN.vesta").read_bytes()
    assert report["upper"] == "vesta"
    assert report["bcs_formula"] == "Cl4Na4" and report["bcs_spacegroup"] == 225
    assert (tmp_path / "loose.bcs").read_text().splitlines()[1] == "227"
    # ASE hands the path over, so the failed write leaves the existing file as it was.
    assert report["vesta_error"] == "Atoms object does not contain valid VestaData in its info dictionary."
    assert (tmp_path / "keep.vesta").read_text() == "precious\n"


def test_formats_listed_by_ase_info():
    out = subprocess.run([sys.executable, "-m", "ase", "info", "--formats"], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    lines = [line for line in out.stdout.splitlines() if line.split()[:1] in (["bcs"], ["vesta"])]
    assert len(lines) == 2 and all("ext=bcs" in line or "ext=vesta" in line for line in lines)
