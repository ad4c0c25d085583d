"""Default interatomic potentials shipped with corvane.

The directory of this package holds the parameter files the command-line tools use by default:

``BNC.tersoff``
    Tersoff parameters for boron, carbon and nitrogen (Kınacı, Haskins, Sevik and Çağın,
    Phys. Rev. B 86, 115410 (2012)), in the LAMMPS format read by :mod:`corvane.tersoff`.

``BCN-ms-v0.0.1.pth``
    A linear cluster-expansion model for B-C-N fitted to our PBE data (:mod:`corvane.potentials.ace`),
    in PyTorch's zip layout (read by corvane without torch). Refitted from the data set with::

        corvane fit data/dft -o src/corvane/data/files/BCN-ms-v0.0.1.pth
"""

from pathlib import Path

#: The directory holding the default potential files.
DIRECTORY = Path(__file__).resolve().parent

#: The default Tersoff parameter file for B-C-N.
BNC_TERSOFF = DIRECTORY / "BNC.tersoff"

#: The default machine-learning potential for B-C-N.
BCN_MS = DIRECTORY / "BCN-ms-v0.0.1.pth"
