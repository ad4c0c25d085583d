"""Default interatomic potentials shipped with corvane.

The directory of this package holds the parameter files the command-line tools use by default:

``BNC.tersoff``
    Tersoff parameters for boron, carbon and nitrogen (Kınacı, Haskins, Sevik and Çağın,
    Phys. Rev. B 86, 115410 (2012)), in the LAMMPS format read by :mod:`corvane.tersoff`.
"""

from pathlib import Path

#: The directory holding the default potential files.
DIRECTORY = Path(__file__).resolve().parent

#: The default Tersoff parameter file for B-C-N.
BNC_TERSOFF = DIRECTORY / "BNC.tersoff"
