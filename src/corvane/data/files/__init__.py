"""Default interatomic potentials shipped with corvane.

The directory of this package holds the potential files the command-line tools use: Tersoff
parameters in the LAMMPS format read by :mod:`corvane.potentials.tersoff`, and our machine-learning model:

``BNC.tersoff``
    Tersoff parameters for sp3 boron, carbon and nitrogen (diamond, c-BN, BC2N and their
    defects and twins), refitted to the package's PBE data by
    ``python -m corvane.training.tersoff_fit``; its header says how.
``BNC_Kinaci2012.tersoff``
    The parameters of Kınacı, Haskins, Sevik and Çağın, Phys. Rev. B 86, 115410 (2012), fitted
    for sp2 sheets (graphene, h-BN and their hybrids); the default before the refit.
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

#: The Kinaci et al. (2012) Tersoff parameters for sp2 B-C-N sheets.
BNC_KINACI2012_TERSOFF = DIRECTORY / "BNC_Kinaci2012.tersoff"

#: The default machine-learning potential for B-C-N.
BCN_MS = DIRECTORY / "BCN-ms-v0.0.1.pth"
