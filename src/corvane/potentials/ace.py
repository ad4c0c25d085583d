"""A linear atomic cluster expansion on Cartesian moment tensors, evaluated in C++.

Each atom sees its neighbours within the cutoff through moment tensors, one set per neighbour
element c, radial function mu and rank nu = 0..3::

    M[c, mu, nu] = sum over neighbours j of element c of  R_mu(r_ij) u_ij (x) ... (x) u_ij

with u the unit bond vector and R_mu(r) = T_mu(xi(r)) (1 - r^2/rc^2)^3 (Chebyshev polynomials in
the distance scaled to [-1, 1] between ``r_inner`` and the cutoff rc). The descriptors are the
rotation-invariant full contractions of one, two or three of these tensors (body order 2, 3 and
4), and an atom's energy is its element's reference energy plus a linear combination of its
descriptors, with coefficients per central element:

    E = sum_i ( e0[Z_i] + sum_k c[Z_i, k] B_k(i) )

Each descriptor is a polynomial of degree <= 3 in the moment components; the calculator folds
the coefficients into one such polynomial per element, so evaluation costs one pass over the
bonds for the moments, the polynomial and its gradient, and one pass back over the bonds.

Below ``r_inner`` no data reach, and the polynomials would grow there like cosh(k t); each
continues instead with its value and slope at ``r_inner``, never past twice its largest value
inside. An optional fixed repulsive core, ``core_energy`` (``core_radius``/r - 1)^3 per pair
closer than ``core_radius``, keeps atoms from passing through each other where the fitted terms
know nothing; the fit subtracts it from the data first.

One term is not local. In a tetrahedral B-C-N network every boron brings one electron too few
and every nitrogen one too many; a nitrogen's electron fills a boron's hole wherever in the cell
the two sit, and only the carriers left over (|n_N - n_B| of them) sit in the bands, each about
half a band gap above a compensated pair. No function of neighbourhoods can count them, so the
model adds ``carrier_energy`` * |sum_i q[Z_i]| to the energy (q = valence electrons - 4 in groups
13-15, else 0: :func:`carrier_charges`). What a carrier costs follows the gap, and the gap
follows the bonds: strong distortion narrows it. So the energy per carrier is ``carrier_energy``
plus a linear function of the cell's pair descriptors (the body-order-2 terms of the basis,
``carrier_coefficients``) averaged over its atoms:

    E_carriers = |Q| ( carrier_energy + (1/N) sum_i sum_k C[Z_i, k] P_k(i) ),   Q = sum_i q[Z_i]

The pair descriptors are among the model's own, so in a cell of given composition the term only
adds |Q|/N C to their coefficients: evaluating it costs nothing more, and it has forces and
stress. A compensated cell (Q = 0) never pays for it.
"""

from __future__ import annotations

import functools
import itertools
import os
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
from ase.calculators.calculator import Calculator, PropertyNotImplementedError, all_changes
from ase.data import atomic_numbers

from corvane import _kernels
from corvane.potentials import default_threads

__all__ = [
    "FORMAT",
    "FORMAT_VERSION",
    "AceBasis",
    "AceModel",
    "AceCalculator",
    "carrier_charges",
    "carrier_count",
    "load_model",
    "save_model",
]

FORMAT = "corvane-linear-ace"
# 2: the carrier term; 3: its dependence on the pair descriptors. Older files read as having
# no carrier term (1) or a constant one (2).
FORMAT_VERSION = 3
MAX_RANK = 3

# Valence electrons minus 4 (the electron count of a tetrahedral bond network) for groups 13-15.
_CARRIER_CHARGE = {
    **dict.fromkeys(("B", "Al", "Ga", "In"), -1),
    **dict.fromkeys(("C", "Si", "Ge", "Sn"), 0),
    **dict.fromkeys(("N", "P", "As", "Sb"), 1),
}


def carrier_charges(elements) -> np.ndarray:
    """Each element's surplus of electrons over a tetrahedral bond's share (B -1, C 0, N +1)."""
    return np.array([_CARRIER_CHARGE.get(e, 0) for e in elements], dtype=float)


def carrier_count(species, charges) -> float:
    """Uncompensated carriers of a cell: |sum of its atoms' carrier charges|."""
    return float(abs(np.sum(np.asarray(charges)[species])))


# The components of a symmetric tensor of rank nu, as exponents (a, b, c) of u_x^a u_y^b u_z^c,
# in the order the kernel stores them (a descending, then b descending).
_EXPONENTS = [
    [(a, b, nu - a - b) for a in range(nu, -1, -1) for b in range(nu - a, -1, -1)]
    for nu in range(MAX_RANK + 1)
]
_COMPONENT = [{e: q for q, e in enumerate(rank)} for rank in _EXPONENTS]

# Full contractions of three tensors giving body order 4: index patterns per factor.
BODY4_CONTRACTIONS = {
    "0,0,0": ("", "", ""),
    "0,1,1": ("", "a", "a"),
    "0,2,2": ("", "ab", "ab"),
    "1,2,1": ("a", "ab", "b"),
    "2,2,2": ("ab", "bc", "ca"),
    "1,3,2": ("a", "abc", "bc"),
}


@dataclass(frozen=True)
class AceBasis:
    """The descriptors: elements, cutoff and how many radial functions each body order uses.

    body2: radial functions of the pair terms (rank-0 moments).
    body3: radial functions of the two-tensor contractions, per rank 0..3.
    body4: radial functions of the three-tensor contractions (``contractions``).
    """

    elements: tuple[str, ...]
    cutoff: float = 4.5
    r_inner: float = 1.0
    body2: int = 12
    body3: tuple[int, ...] = (8, 8, 4, 4)
    body4: int = 2
    contractions: tuple[str, ...] = ("0,0,0", "0,1,1", "0,2,2", "1,2,1", "2,2,2")
    core_radius: float = 0.0
    core_energy: float = 0.0

    def __post_init__(self):
        if not self.elements or len(set(self.elements)) != len(self.elements):
            raise ValueError(f"the basis needs distinct element names, got {self.elements!r}")
        for e in self.elements:
            if e not in atomic_numbers:
                raise ValueError(f"unknown element {e!r}")
        if not (0 <= self.r_inner < self.cutoff and np.isfinite(self.cutoff)):
            raise ValueError(f"need 0 <= r_inner < cutoff, got {self.r_inner} and {self.cutoff}")
        if not (0 <= self.core_radius <= self.cutoff and 0 <= self.core_energy < np.inf):
            raise ValueError(
                f"need 0 <= core_radius <= cutoff and a finite core_energy >= 0, got "
                f"{self.core_radius} and {self.core_energy}"
            )
        if len(self.body3) != MAX_RANK + 1:
            raise ValueError(f"body3 gives radial functions for ranks 0..{MAX_RANK}")
        unknown = set(self.contractions) - set(BODY4_CONTRACTIONS)
        if unknown:
            raise ValueError(
                f"unknown contractions {sorted(unknown)}; known: {', '.join(BODY4_CONTRACTIONS)}"
            )

    @property
    def nrad(self) -> np.ndarray:
        """Radial functions each rank's moments need."""
        n = [max(self.body2 if nu == 0 else 0, self.body3[nu]) for nu in range(MAX_RANK + 1)]
        for name in self.contractions:
            for pattern in BODY4_CONTRACTIONS[name]:
                n[len(pattern)] = max(n[len(pattern)], self.body4)
        return np.array(n, dtype=np.int32)

    @property
    def slots_per_element(self) -> int:
        return int(sum(n * len(_EXPONENTS[nu]) for nu, n in enumerate(self.nrad)))

    def slot(self, element: int, nu: int, mu: int, indices: tuple[int, ...]) -> int:
        """The moment slot of component `indices` (Cartesian, 0..2) of M[element, mu, nu]."""
        nrad = self.nrad
        offset = sum(int(nrad[k]) * len(_EXPONENTS[k]) for k in range(nu))
        exps = (indices.count(0), indices.count(1), indices.count(2))
        return element * self.slots_per_element + offset + mu * len(_EXPONENTS[nu]) + _COMPONENT[nu][exps]

    def as_dict(self) -> dict:
        return {
            "elements": list(self.elements),
            "cutoff": float(self.cutoff),
            "r_inner": float(self.r_inner),
            "body2": int(self.body2),
            "body3": [int(n) for n in self.body3],
            "body4": int(self.body4),
            "contractions": list(self.contractions),
            "radial": "chebyshev(r_inner..cutoff) * (1 - r^2/cutoff^2)^3",
            "moments": "cartesian, ranks 0..3",
            "core_radius": float(self.core_radius),
            "core_energy": float(self.core_energy),
            "core": "core_energy * (core_radius/r - 1)^3 per pair closer than core_radius",
        }

    @classmethod
    def from_dict(cls, d) -> "AceBasis":
        try:
            return cls(
                elements=tuple(str(e) for e in d["elements"]),
                cutoff=float(d["cutoff"]),
                r_inner=float(d["r_inner"]),
                body2=int(d["body2"]),
                body3=tuple(int(n) for n in d["body3"]),
                body4=int(d["body4"]),
                contractions=tuple(str(c) for c in d["contractions"]),
                core_radius=float(d.get("core_radius", 0.0)),  # files before the core have none
                core_energy=float(d.get("core_energy", 0.0)),
            )
        except (KeyError, TypeError) as exc:
            raise ValueError(f"incomplete basis description: {exc}") from None

    def program(self) -> "Program":
        """The descriptors as a program of monomials in the moments (see :class:`Program`)."""
        return _build_program(self)

    def descriptor_count(self) -> int:
        return self.program().outputs

    def pair_descriptors(self) -> np.ndarray:
        """Indices among :meth:`program`'s descriptors of the pair (body-order-2) ones, by
        neighbour element and then radial function: the descriptors the energy per carrier
        depends on."""
        index = {label: k for k, label in enumerate(self.program().labels)}
        pairs = [f"2:{c}.{mu}" for c in range(len(self.elements)) for mu in range(self.body2)]
        return np.array([index[label] for label in pairs], dtype=int)


@dataclass
class Program:
    """Descriptor k = sum over terms with out == k of coef * A[s0] * A[s1] * A[s2] (-1: 1)."""

    out: np.ndarray
    coef: np.ndarray
    slots: np.ndarray
    outputs: int
    labels: list[str] = field(default_factory=list)
    # Per descriptor: the sum of the radial indices mu of its factors (how fast it varies with
    # the bond lengths), for the fit's smoothness prior.
    radial_order: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=int))
    # Per descriptor: the neighbour elements its factors see, as bits (1 << element index), for
    # the fit's penalty on coefficients of mixed chemistry.
    neighbour_elements: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=int))


def _contraction(basis, factors, patterns):
    """{sorted slot triple: coefficient} of the full contraction of the tensors `factors`
    ((element, mu) each, rank from its pattern) over the repeated letters of `patterns`."""
    letters = sorted(set("".join(patterns)))
    terms = {}
    for values in itertools.product(range(3), repeat=len(letters)):
        index = dict(zip(letters, values))
        slots = [
            basis.slot(c, len(p), mu, tuple(index[x] for x in p)) for (c, mu), p in zip(factors, patterns)
        ]
        key = tuple(sorted(slots)) + (-1,) * (3 - len(slots))
        terms[key] = terms.get(key, 0.0) + 1.0
    return terms


@functools.lru_cache(maxsize=8)
def _build_program(basis: AceBasis) -> Program:
    ne = len(basis.elements)
    descriptors, labels, orders, neighbours, seen = [], [], [], [], set()

    def add(label, terms, factors):
        key = frozenset(terms.items())
        if key in seen:  # the same polynomial reached through a symmetric factor order
            return
        seen.add(key)
        descriptors.append(terms)
        labels.append(label)
        orders.append(sum(mu for _, mu in factors))
        neighbours.append(sum(1 << c for c in {c for c, _ in factors}))

    for c in range(ne):
        for mu in range(basis.body2):
            add(f"2:{c}.{mu}", _contraction(basis, [(c, mu)], ("",)), [(c, mu)])
    for nu in range(MAX_RANK + 1):
        pattern = "abc"[:nu]
        channels = [(c, mu) for c in range(ne) for mu in range(basis.body3[nu])]
        for f1, f2 in itertools.combinations_with_replacement(channels, 2):
            add(f"3:{nu}:{f1}{f2}", _contraction(basis, [f1, f2], (pattern, pattern)), [f1, f2])
    channels = [(c, mu) for c in range(ne) for mu in range(basis.body4)]
    for name in basis.contractions:
        patterns = BODY4_CONTRACTIONS[name]
        for factors in itertools.product(channels, repeat=3):
            add(f"4:{name}:{factors}", _contraction(basis, list(factors), patterns), factors)

    out, coef, slots = [], [], []
    for k, terms in enumerate(descriptors):
        for key, value in sorted(terms.items()):
            out.append(k)
            coef.append(value)
            slots.append(key)
    return Program(
        np.array(out, dtype=np.int32),
        np.array(coef, dtype=float),
        np.array(slots, dtype=np.int32).reshape(-1, 3),
        len(descriptors),
        labels,
        np.array(orders, dtype=int),
        np.array(neighbours, dtype=int),
    )


@dataclass
class AceModel:
    """A fitted model: basis, reference energy per element (eV), coefficients (E, K), the
    energy per uncompensated carrier (eV) and its coefficients on the cell's mean pair
    descriptors, (E, E * body2) in the order of ``basis.pair_descriptors()``, zero if not given
    (see the module's description)."""

    basis: AceBasis
    reference: np.ndarray
    coefficients: np.ndarray
    metadata: dict = field(default_factory=dict)
    carrier_energy: float = 0.0
    carrier_coefficients: np.ndarray | None = None

    def __post_init__(self):
        self.reference = np.asarray(self.reference, dtype=float)
        self.coefficients = np.asarray(self.coefficients, dtype=float)
        ne = len(self.basis.elements)
        k = self.basis.program().outputs
        if self.reference.shape != (ne,):
            raise ValueError(f"need {ne} reference energies, got shape {self.reference.shape}")
        if self.coefficients.shape != (ne, k):
            raise ValueError(
                f"the basis has {k} descriptors per element; coefficients have "
                f"shape {self.coefficients.shape}, expected ({ne}, {k})"
            )
        if not (np.all(np.isfinite(self.reference)) and np.all(np.isfinite(self.coefficients))):
            raise ValueError("reference energies and coefficients must be finite")
        if isinstance(self.carrier_energy, bool) or not np.isfinite(self.carrier_energy):
            raise ValueError(f"the carrier energy must be a finite number, got {self.carrier_energy!r}")
        self.carrier_energy = float(self.carrier_energy)
        pairs = ne * self.basis.body2
        if self.carrier_coefficients is None:
            self.carrier_coefficients = np.zeros((ne, pairs))
        self.carrier_coefficients = np.asarray(self.carrier_coefficients, dtype=float)
        if self.carrier_coefficients.shape != (ne, pairs):
            raise ValueError(
                f"carrier coefficients have shape {self.carrier_coefficients.shape}, expected "
                f"({ne}, {pairs}): one per element and pair descriptor"
            )
        if not np.all(np.isfinite(self.carrier_coefficients)):
            raise ValueError("carrier coefficients must be finite")

    def energy_program(self, carriers_per_atom: float = 0.0):
        """(element, coef, slots) of each element's energy polynomial, equal monomials merged,
        in a cell with `carriers_per_atom` uncompensated carriers per atom: the carrier term's
        dependence on the bonds is in it, its constant part is not."""
        coefficients = self.coefficients
        if carriers_per_atom and np.any(self.carrier_coefficients):
            coefficients = coefficients.copy()
            coefficients[:, self.basis.pair_descriptors()] += carriers_per_atom * self.carrier_coefficients
        program = self.basis.program()
        keys, inverse = np.unique(program.slots, axis=0, return_inverse=True)
        elements, coefs, slots = [], [], []
        for e in range(len(coefficients)):
            merged = np.zeros(len(keys))
            np.add.at(merged, inverse.reshape(-1), coefficients[e][program.out] * program.coef)
            keep = merged != 0.0
            elements.append(np.full(keep.sum(), e, dtype=np.int32))
            coefs.append(merged[keep])
            slots.append(keys[keep])
        return (
            np.concatenate(elements),
            np.concatenate(coefs),
            np.ascontiguousarray(np.concatenate(slots), dtype=np.int32),
        )


def save_model(model: AceModel, path: str | os.PathLike) -> None:
    """Writes `model` as a tensor file in PyTorch's zip layout."""
    from collections import OrderedDict

    from corvane.potentials import pth

    meta = dict(model.metadata)
    contents = OrderedDict(
        [
            ("format", FORMAT),
            ("format_version", FORMAT_VERSION),
            ("elements", list(model.basis.elements)),
            ("cutoff", float(model.basis.cutoff)),
            ("basis", model.basis.as_dict()),
            (
                "units",
                {"energy": "eV", "length": "Angstrom", "forces": "eV/Angstrom", "stress": "eV/Angstrom^3"},
            ),
            ("reference_energies", np.array(model.reference, dtype=np.float64)),
            ("coefficients", np.array(model.coefficients, dtype=np.float64)),
            ("carrier_charges", carrier_charges(model.basis.elements).tolist()),
            ("carrier_energy", model.carrier_energy),
            ("carrier_coefficients", np.array(model.carrier_coefficients, dtype=np.float64)),
            ("training_data_sha256", str(meta.pop("training_data_sha256", ""))),
            ("metadata", meta),
        ]
    )
    pth.save(contents, path)


def model_from_contents(contents, where: str) -> AceModel:
    """The model in the object tree of a tensor file; ValueError naming what is wrong."""
    from corvane.potentials.pth import ModelFileError

    if not isinstance(contents, dict):
        raise ModelFileError(f"{where}: holds a {type(contents).__name__}, not a model")
    fmt = contents.get("format")
    if fmt != FORMAT:
        keys = ", ".join(list(map(str, contents))[:6])
        what = f"format {fmt!r}" if fmt is not None else f"keys {keys} (no format name)"
        raise ModelFileError(
            f"{where}: a PyTorch tensor file, but not a {FORMAT} model: it has "
            f"{what} — perhaps the weights of some other network"
        )
    version = contents.get("format_version")
    if not isinstance(version, int) or version > FORMAT_VERSION:
        raise ModelFileError(
            f"{where}: {FORMAT} version {version!r} is newer than this program reads ({FORMAT_VERSION})"
        )
    try:
        basis = AceBasis.from_dict(contents["basis"])
        charges = contents.get("carrier_charges")
        if charges is not None and list(charges) != carrier_charges(basis.elements).tolist():
            raise ValueError(
                f"carrier charges {list(charges)} differ from this program's for "
                f"{', '.join(basis.elements)} ({carrier_charges(basis.elements).tolist()})"
            )
        return AceModel(
            basis,
            contents["reference_energies"],
            contents["coefficients"],
            {
                "training_data_sha256": contents.get("training_data_sha256", ""),
                **dict(contents.get("metadata") or {}),
            },
            contents.get("carrier_energy", 0.0),
            contents.get("carrier_coefficients"),
        )
    except (KeyError, TypeError, ValueError) as exc:
        raise ModelFileError(f"{where}: malformed {FORMAT} model: {exc}") from None


def load_model(path: str | os.PathLike) -> AceModel:
    """Reads a model written by :func:`save_model` (or ``corvane fit``)."""
    from corvane.potentials import pth

    return model_from_contents(pth.load(path), str(path))


def evaluate(atoms, basis: AceBasis, species, reference, program, threads=1):
    """The kernel's energy, site energies, forces and virial (eV) of `atoms` for the energy
    `program` (element, coef, slots) on `basis`, with the basis's core."""
    element, coef, slots = program
    return _kernels.ace(
        atoms.positions,
        atoms.cell.array,
        atoms.pbc,
        species,
        basis.nrad,
        basis.cutoff,
        basis.r_inner,
        reference,
        element,
        coef,
        slots,
        threads,
        basis.core_radius,
        basis.core_energy,
    )


class AceCalculator(Calculator):
    """ASE calculator of a linear cluster-expansion model (a file path or an AceModel).

    threads: number of threads (default: the CPUs this process may use); results are the same
    for every thread count. Site energies ("energies") are each atom's own energy term.
    """

    implemented_properties = ["energy", "free_energy", "energies", "forces", "stress"]
    nolabel = True

    def __init__(self, model: AceModel | str | os.PathLike, threads: int | None = None, **kwargs):
        super().__init__(**kwargs)
        if isinstance(model, AceModel):
            self.path = None
        else:
            self.path = Path(model)
            model = load_model(self.path)
        self.model = model
        if threads is None:
            threads = default_threads()
        if not isinstance(threads, (int, np.integer)) or isinstance(threads, bool) or threads < 1:
            raise ValueError(f"threads must be a positive integer, got {threads!r}")
        self.threads = int(threads)
        self._programs = {0.0: model.energy_program()}  # by carriers per atom
        self._numbers = np.array([atomic_numbers[e] for e in model.basis.elements])
        self._charges = carrier_charges(model.basis.elements)

    def __repr__(self):
        source = str(self.path) if self.path is not None else "model"
        return f"AceCalculator({source!r}, threads={self.threads})"

    def species(self, numbers) -> np.ndarray:
        """Each atom's index among the model's elements; ValueError for an element it lacks."""
        lookup = np.full(max(int(numbers.max(initial=0)), int(self._numbers.max())) + 1, -1, dtype=np.int32)
        lookup[self._numbers] = np.arange(len(self._numbers), dtype=np.int32)
        species = lookup[numbers]
        if np.any(species < 0):
            from ase.data import chemical_symbols

            missing = sorted({chemical_symbols[z] for z in numbers[species < 0]})
            raise ValueError(
                f"the model has no parameters for element(s) {', '.join(missing)} "
                f"(it covers {', '.join(self.model.basis.elements)})"
            )
        return species

    def calculate(self, atoms=None, properties=("energy",), system_changes=all_changes):
        super().calculate(atoms, properties, system_changes)
        atoms = self.atoms
        if not np.all(np.isfinite(atoms.positions)):
            raise ValueError("atomic positions must be finite numbers")
        basis = self.model.basis
        species = self.species(atoms.numbers)
        carriers = carrier_count(species, self._charges)
        share = carriers / len(atoms) if len(atoms) else 0.0
        if share not in self._programs:
            if len(self._programs) > 16:  # screening many compositions: keep the newest few
                del self._programs[next(k for k in self._programs if k)]
            self._programs[share] = self.model.energy_program(share)
        element, coef, slots = self._programs[share]
        energy, energies, forces, virial = evaluate(
            atoms, basis, species, self.model.reference, (element, coef, slots), self.threads
        )
        if carriers:  # the constant part of the energy per carrier, shared equally
            energy += carriers * self.model.carrier_energy
            energies = energies + share * self.model.carrier_energy
        self.results["energy"] = self.results["free_energy"] = energy
        self.results["energies"] = energies
        self.results["forces"] = forces
        volume = abs(atoms.cell.volume) if atoms.cell.rank == 3 else 0.0
        if volume > 0:
            s = 0.5 * (virial + virial.T) / volume
            self.results["stress"] = np.array([s[0, 0], s[1, 1], s[2, 2], s[1, 2], s[0, 2], s[0, 1]])
        elif "stress" in properties:
            raise PropertyNotImplementedError("stress needs a cell with three non-zero, independent vectors")
