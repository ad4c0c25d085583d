"""Element data for the bond-based hardness model: valence-electron counts and atomic radii.

``ELEMENTS`` maps each chemical symbol from H to Bi (atomic numbers 1 to 83) to an
:class:`Element` record. The two numbers the hardness model reads are:

``valence``
    The number of valence electrons: the group number for groups 1 to 12 (s plus d electrons),
    the group number minus 10 for groups 13 to 18 (filled d shells count as core), 2 for He and
    3 for the lanthanides La to Lu.

``hard_rad``
    The atomic radius R (Angstrom) of the bond-strength model. Two sources, recorded per element in
    ``radius_source``:

    * ``"tetrahedral"``: the tetrahedral covalent radii of Pauling and Huggins (L. Pauling,
      *The Nature of the Chemical Bond*, 3rd ed., Cornell University Press, 1960; as tabulated in
      C. Kittel, *Introduction to Solid State Physics*, and J. C. Phillips, *Bonds and Bands in
      Semiconductors*). These are the radii of sp3-bonded atoms, the setting of the superhard B-C-N
      phases, and give C 0.77, B 0.88 and N 0.70 A. They exist for Be-F, Mg-Cl, Cu-Br, Ag-I and Hg.
    * ``"cordero2008"``: for every other element, the single-bond covalent radii of
      B. Cordero et al., "Covalent radii revisited", Dalton Trans. 2008, 2832-2838 (low-spin
      values for Mn, Fe and Co).

The table is fixed here rather than read from another package, so results do not change with
another library's version.
"""

from dataclasses import dataclass
from typing import Optional

__all__ = ["Element", "ELEMENTS"]


@dataclass(frozen=True)
class Element:
    """One element: symbol, atomic number, periodic-table group, valence electrons, radius (A)."""

    symbol: str
    number: int
    group: Optional[int]  # None for the lanthanides
    valence: int
    hard_rad: float
    radius_source: str


_SOURCES = {"T": "tetrahedral", "C": "cordero2008"}

# (atomic number, symbol, group, valence electrons, radius in A, source of the radius)
_TABLE = (
    (1, "H", 1, 1, 0.31, "C"),
    (2, "He", 18, 2, 0.28, "C"),
    (3, "Li", 1, 1, 1.28, "C"),
    (4, "Be", 2, 2, 1.06, "T"),
    (5, "B", 13, 3, 0.88, "T"),
    (6, "C", 14, 4, 0.77, "T"),
    (7, "N", 15, 5, 0.70, "T"),
    (8, "O", 16, 6, 0.66, "T"),
    (9, "F", 17, 7, 0.64, "T"),
    (10, "Ne", 18, 8, 0.58, "C"),
    (11, "Na", 1, 1, 1.66, "C"),
    (12, "Mg", 2, 2, 1.40, "T"),
    (13, "Al", 13, 3, 1.26, "T"),
    (14, "Si", 14, 4, 1.17, "T"),
    (15, "P", 15, 5, 1.10, "T"),
    (16, "S", 16, 6, 1.04, "T"),
    (17, "Cl", 17, 7, 0.99, "T"),
    (18, "Ar", 18, 8, 1.06, "C"),
    (19, "K", 1, 1, 2.03, "C"),
    (20, "Ca", 2, 2, 1.76, "C"),
    (21, "Sc", 3, 3, 1.70, "C"),
    (22, "Ti", 4, 4, 1.60, "C"),
    (23, "V", 5, 5, 1.53, "C"),
    (24, "Cr", 6, 6, 1.39, "C"),
    (25, "Mn", 7, 7, 1.39, "C"),
    (26, "Fe", 8, 8, 1.32, "C"),
    (27, "Co", 9, 9, 1.26, "C"),
    (28, "Ni", 10, 10, 1.24, "C"),
    (29, "Cu", 11, 11, 1.35, "T"),
    (30, "Zn", 12, 12, 1.31, "T"),
    (31, "Ga", 13, 3, 1.26, "T"),
    (32, "Ge", 14, 4, 1.22, "T"),
    (33, "As", 15, 5, 1.18, "T"),
    (34, "Se", 16, 6, 1.14, "T"),
    (35, "Br", 17, 7, 1.11, "T"),
    (36, "Kr", 18, 8, 1.16, "C"),
    (37, "Rb", 1, 1, 2.20, "C"),
    (38, "Sr", 2, 2, 1.95, "C"),
    (39, "Y", 3, 3, 1.90, "C"),
    (40, "Zr", 4, 4, 1.75, "C"),
    (41, "Nb", 5, 5, 1.64, "C"),
    (42, "Mo", 6, 6, 1.54, "C"),
    (43, "Tc", 7, 7, 1.47, "C"),
    (44, "Ru", 8, 8, 1.46, "C"),
    (45, "Rh", 9, 9, 1.42, "C"),
    (46, "Pd", 10, 10, 1.39, "C"),
    (47, "Ag", 11, 11, 1.52, "T"),
    (48, "Cd", 12, 12, 1.48, "T"),
    (49, "In", 13, 3, 1.44, "T"),
    (50, "Sn", 14, 4, 1.40, "T"),
    (51, "Sb", 15, 5, 1.36, "T"),
    (52, "Te", 16, 6, 1.32, "T"),
    (53, "I", 17, 7, 1.28, "T"),
    (54, "Xe", 18, 8, 1.40, "C"),
    (55, "Cs", 1, 1, 2.44, "C"),
    (56, "Ba", 2, 2, 2.15, "C"),
    (57, "La", None, 3, 2.07, "C"),
    (58, "Ce", None, 3, 2.04, "C"),
    (59, "Pr", None, 3, 2.03, "C"),
    (60, "Nd", None, 3, 2.01, "C"),
    (61, "Pm", None, 3, 1.99, "C"),
    (62, "Sm", None, 3, 1.98, "C"),
    (63, "Eu", None, 3, 1.98, "C"),
    (64, "Gd", None, 3, 1.96, "C"),
    (65, "Tb", None, 3, 1.94, "C"),
    (66, "Dy", None, 3, 1.92, "C"),
    (67, "Ho", None, 3, 1.92, "C"),
    (68, "Er", None, 3, 1.89, "C"),
    (69, "Tm", None, 3, 1.90, "C"),
    (70, "Yb", None, 3, 1.87, "C"),
    (71, "Lu", None, 3, 1.87, "C"),
    (72, "Hf", 4, 4, 1.75, "C"),
    (73, "Ta", 5, 5, 1.70, "C"),
    (74, "W", 6, 6, 1.62, "C"),
    (75, "Re", 7, 7, 1.51, "C"),
    (76, "Os", 8, 8, 1.44, "C"),
    (77, "Ir", 9, 9, 1.41, "C"),
    (78, "Pt", 10, 10, 1.36, "C"),
    (79, "Au", 11, 11, 1.36, "C"),
    (80, "Hg", 12, 12, 1.48, "T"),
    (81, "Tl", 13, 3, 1.45, "C"),
    (82, "Pb", 14, 4, 1.46, "C"),
    (83, "Bi", 15, 5, 1.48, "C"),
)

ELEMENTS = {
    symbol: Element(symbol, number, group, valence, radius, _SOURCES[source])
    for number, symbol, group, valence, radius, source in _TABLE
}
