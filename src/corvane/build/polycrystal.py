"""Voronoi polycrystals: a periodic box filled with grains of one seed crystal.

Each grain is the Voronoi cell of its centre in the periodic box, filled with the seed crystal
rotated to the grain's orientation and with a lattice point on the centre. Centres are placed at
random, on the sites of a lattice scaled to the box, or one by one; orientations are uniformly
random unless given as three angles (degrees) of rotations about x, then y, then z.

The filling and the removal of atoms that end up too close to each other across grain
boundaries run in C++ (``corvane._kernels``), linear in the number of atoms.
"""

import math
import os
import time
from pathlib import Path

import numpy as np
from ase import Atoms
from ase.io import read
from ase.io.formats import filetype, ioformats

from corvane import _kernels, limits
from corvane.io.atomic import check_writable, open_replacing, write

#: Grain-centre sites of one conventional cell of each lattice, as fractions of the box edges.
#: hcp uses the orthohexagonal cell (a, sqrt(3) a, c), so its four sites fill an orthorhombic box.
LATTICE_SITES = {
    "fcc": ((0.0, 0.0, 0.0), (0.5, 0.5, 0.0), (0.5, 0.0, 0.5), (0.0, 0.5, 0.5)),
    "bcc": ((0.0, 0.0, 0.0), (0.5, 0.5, 0.5)),
    "diamond": (
        (0.0, 0.0, 0.0),
        (0.5, 0.5, 0.0),
        (0.5, 0.0, 0.5),
        (0.0, 0.5, 0.5),
        (0.25, 0.25, 0.25),
        (0.75, 0.75, 0.25),
        (0.75, 0.25, 0.75),
        (0.25, 0.75, 0.75),
    ),
    "hcp": ((0.0, 0.0, 0.0), (0.5, 0.5, 0.0), (0.5, 5.0 / 6.0, 0.5), (0.0, 1.0 / 3.0, 0.5)),
}

#: Ways of placing the grains, in the order they are looked for in the parameters.
MODES = ("random", "lattice", "node")

# Short names users type for extra output formats, and the ASE format each one means.
FORMAT_ALIASES = {
    "xyz": "extxyz",
    "lmp": "lammps-data",
    "lammps": "lammps-data",
    "data": "lammps-data",
    "poscar": "vasp",
    "pdb": "proteindatabank",
}
# File extensions for ASE format names that are not extensions themselves.
FORMAT_EXTENSIONS = {"extxyz": "xyz", "lammps-data": "lmp", "proteindatabank": "pdb"}

# Two grain centres closer than this (Angstrom) are taken as the same point.
_SAME_CENTRE = 1e-3


def rotation_matrix(angles):
    """Rotation by angles (degrees) about x, then about y, then about z: R = Rz Ry Rx."""
    ax, ay, az = np.radians(np.asarray(angles, dtype=float))
    cx, sx, cy, sy, cz, sz = np.cos(ax), np.sin(ax), np.cos(ay), np.sin(ay), np.cos(az), np.sin(az)
    rx = np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]])
    ry = np.array([[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]])
    rz = np.array([[cz, -sz, 0], [sz, cz, 0], [0, 0, 1]])
    return rz @ ry @ rx


def rotation_angles(matrix):
    """The angles (degrees) about x, y and z that ``rotation_matrix`` turns into ``matrix``."""
    r = np.asarray(matrix, dtype=float)
    ay = -math.asin(max(-1.0, min(1.0, r[2, 0])))
    if abs(r[2, 0]) < 1.0 - 1e-12:
        ax = math.atan2(r[2, 1], r[2, 2])
        az = math.atan2(r[1, 0], r[0, 0])
    else:  # gimbal lock: only ax - az (or ax + az) is defined; put it all in az
        ax = 0.0
        az = math.atan2(-r[0, 1], r[1, 1])
    return np.degrees([ax, ay, az])


def random_rotation(rng):
    """A rotation matrix drawn uniformly from all rotations (uniform random unit quaternion)."""
    u1, u2, u3 = rng.random(3)
    x = math.sqrt(1 - u1) * math.sin(2 * math.pi * u2)
    y = math.sqrt(1 - u1) * math.cos(2 * math.pi * u2)
    z = math.sqrt(u1) * math.sin(2 * math.pi * u3)
    w = math.sqrt(u1) * math.cos(2 * math.pi * u3)
    return np.array(
        [
            [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
            [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
            [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
        ]
    )


def _load_seed(seed):
    if isinstance(seed, Atoms):
        atoms = seed
    elif isinstance(seed, (str, os.PathLike)):
        atoms = read(seed)
    else:
        raise TypeError(f"seed must be a structure (ase.Atoms) or a file path, got {type(seed).__name__}")
    if len(atoms) == 0:
        raise ValueError("The seed crystal has no atoms.")
    cell = np.asarray(atoms.cell[:], dtype=float)
    if abs(np.linalg.det(cell)) < 1e-6:
        raise ValueError("The seed crystal needs a cell with three independent lattice vectors.")
    return atoms


def _box(params):
    if "box" not in params:
        raise ValueError("A final box size is required: params needs 'box', three edge lengths (x y z).")
    try:
        box = [float(x) for x in params["box"]]
    except (TypeError, ValueError) as exc:
        raise ValueError(f"The box must be three edge lengths (x y z), got {params['box']!r}") from exc
    if len(box) != 3 or not all(math.isfinite(x) and x > 0 for x in box):
        raise ValueError(f"The box must be three positive edge lengths (x y z), got {params['box']!r}")
    return np.array(box)


def _node_grain(index, record):
    """Centre and rotation (None: random) of the index-th grain (1-based) of a node list."""
    try:
        pos, orient = record["pos"], record.get("orient", [])
    except (TypeError, KeyError, AttributeError):
        raise ValueError(
            f"Grain {index}: expected a record with 'pos' and 'orient', got {record!r}"
        ) from None
    try:
        pos = [float(x) for x in pos]
    except (TypeError, ValueError) as exc:
        raise ValueError(f"Grain {index}: the position must be three numbers, got {pos!r}") from exc
    if len(pos) != 3 or not all(math.isfinite(x) for x in pos):
        raise ValueError(f"Grain {index}: the position must be three numbers (x y z), got {pos!r}")
    orient = list(orient or [])
    if len(orient) not in (0, 3):
        raise ValueError(
            f"Grain {index}: give three rotation angles (about x, y and z) or none, got {orient!r}"
        )
    if not orient:
        return pos, None
    try:
        angles = [float(x) for x in orient]
    except (TypeError, ValueError) as exc:
        raise ValueError(f"Grain {index}: the rotation angles must be numbers, got {orient!r}") from exc
    if not all(math.isfinite(x) for x in angles):
        raise ValueError(f"Grain {index}: the rotation angles must be finite, got {orient!r}")
    return pos, angles


class Polycrystal:
    """Builds a Voronoi polycrystal of ``seed`` in the box and grain layout of ``params``.

    seed: the seed crystal, a structure (used as given, not modified) or a structure file's path.
    params: dictionary with "box" (three edge lengths, Angstrom) and one of "random" (number of
        grains), "lattice" ("fcc", "bcc", "diamond" or "hcp": grain centres on that lattice's
        conventional cell scaled to the box) or "node" (records with "pos", a centre in
        Angstrom, and "orient", three angles in degrees or nothing for a random orientation).
        When several modes are present the first of random, lattice, node is used.
    prefix: base name of the extra output files.
    verbose: print progress and write the grain file ``<prefix>_seeds.txt`` with the outputs.
    rng: seed or numpy Generator for the random centres and orientations (reproducible runs).

    The grain layout is drawn once, here; ``generate_polycrystal`` builds the atoms from it.
    """

    def __init__(self, seed, params, prefix="polycrystal", verbose=False, *, rng=None):
        self.seed = _load_seed(seed)
        self.params = params
        self.prefix = prefix or "polycrystal"
        self.verbose = bool(verbose)
        self.rng = np.random.default_rng(rng)
        self.box = _box(params)
        present = [mode for mode in MODES if mode in params]
        if not present:
            raise ValueError("A generation mode is required: params needs 'random', 'lattice' or 'node'.")
        self.mode = present[0]
        if len(present) > 1:
            print(f"Note: several generation modes given ({', '.join(present)}); using {self.mode}.")
        self.centres, self.rotations = self._layout()
        self._check_centres()
        #: atoms per grain of the last generated polycrystal (after close-atom removal)
        self.grain_counts = None

    # -- grain layout -------------------------------------------------------------------------

    def _layout(self):
        params = self.params
        if self.mode == "random":
            count = params["random"]
            if isinstance(count, bool) or not isinstance(count, (int, np.integer)) or count < 1:
                raise ValueError(f"The number of random grains must be a positive integer, got {count!r}")
            centres = self.rng.random((int(count), 3)) * self.box
            rotations = [random_rotation(self.rng) for _ in range(int(count))]
        elif self.mode == "lattice":
            name = str(params["lattice"]).lower()
            if name not in LATTICE_SITES:
                raise ValueError(
                    f"Unknown lattice '{params['lattice']}': use one of {', '.join(LATTICE_SITES)}."
                )
            centres = np.array(LATTICE_SITES[name]) * self.box
            rotations = [random_rotation(self.rng) for _ in range(len(centres))]
        else:
            nodes = params["node"]
            if not isinstance(nodes, (list, tuple)) or not nodes:
                raise ValueError(f"The node list must hold at least one grain, got {nodes!r}")
            centres, rotations = [], []
            for index, record in enumerate(nodes, start=1):
                pos, angles = _node_grain(index, record)
                centres.append(pos)
                rotations.append(random_rotation(self.rng) if angles is None else rotation_matrix(angles))
            centres = np.array(centres)
        return np.mod(np.asarray(centres, dtype=float), self.box), np.array(rotations)

    def _check_centres(self):
        c = self.centres
        for i in range(len(c) - 1):
            d = c[i + 1 :] - c[i]
            d -= self.box * np.round(d / self.box)
            close = np.flatnonzero(np.einsum("ij,ij->i", d, d) < _SAME_CENTRE**2)
            if close.size:
                j = i + 1 + int(close[0])
                raise ValueError(
                    f"Grains {i + 1} and {j + 1} are at the same position "
                    f"({', '.join(f'{x:.3f}' for x in c[i])}); give each grain its own centre."
                )

    @property
    def angles(self):
        """Orientation of each grain as angles (degrees) about x, y and z."""
        return np.array([rotation_angles(r) for r in self.rotations])

    def _say(self, *args):
        if self.verbose:
            print(*args)

    # -- generation ---------------------------------------------------------------------------

    def estimated_atoms(self):
        """Atoms the box will hold: its volume filled at the seed crystal's density."""
        return float(np.prod(self.box)) * len(self.seed) / abs(self.seed.cell.volume)

    def check_size(self, remove_doubles=None):
        """Refuses (SizeLimitError) a polycrystal, or a removal of close atoms, whose estimated
        memory exceeds corvane.limits' limit."""
        atoms = self.estimated_atoms()
        box = " x ".join(f"{x:g}" for x in self.box)
        limits.check_memory(
            atoms * limits.BYTES_PER_ATOM, f"a {box} A polycrystal of about {atoms:.3g} atoms"
        )
        if remove_doubles:
            density = len(self.seed) / abs(self.seed.cell.volume)
            pairs = limits.neighbour_pairs(atoms, density, remove_doubles)
            limits.check_memory(
                pairs * limits.BYTES_PER_PAIR,
                f"removing atoms closer than {remove_doubles:g} A (about {pairs:.3g} atom pairs)",
            )

    def generate_polycrystal(self, wrap=True, remove_doubles=None):
        """Builds the polycrystal: an ``Atoms`` object in the periodic box.

        wrap: fold every atom into the box (otherwise atoms keep the position their grain gave
            them, which may lie outside the box but is periodically equivalent).
        remove_doubles: a distance (Angstrom) or None; of atoms closer than it (periodic), one is
            kept. Atoms are visited in grain order, so the earlier grain keeps its atom.

        Per-atom arrays: the seed's one-dimensional arrays (numbers, tags, ...) are copied from
        the seed atom each atom repeats, and "grain" holds the grain number, from 1.
        """
        if remove_doubles is not None:
            remove_doubles = float(remove_doubles)
            if not remove_doubles >= 0:
                raise ValueError(f"remove_doubles must be a distance >= 0, got {remove_doubles!r}")
        seed = self.seed
        box = self.box
        self.check_size(remove_doubles)
        self._say(f"Seed crystal: {seed.get_chemical_formula()} ({len(seed)} atoms per cell)")
        self._say(
            f"Box: {box[0]:.3f} x {box[1]:.3f} x {box[2]:.3f} A, {len(self.centres)} grains ({self.mode})"
        )

        start = time.perf_counter()
        positions, grain, site, counts = _kernels.fill_voronoi_grains(
            box,
            self.centres,
            self.rotations,
            np.asarray(seed.cell[:], dtype=float),
            seed.get_positions(),
            bool(wrap),
        )
        self._say(f"Filled the grains with {len(positions)} atoms in {time.perf_counter() - start:.2f} s")

        atoms = Atoms(numbers=seed.numbers[site], positions=positions, cell=np.diag(box), pbc=True)
        for name, values in seed.arrays.items():
            if name not in ("numbers", "positions") and values.ndim == 1:
                atoms.set_array(name, values[site])
        atoms.set_array("grain", grain + 1)

        if remove_doubles:
            start = time.perf_counter()
            keep = _kernels.close_atom_keep_mask(positions, atoms.cell[:], atoms.pbc, remove_doubles)
            removed = len(atoms) - int(keep.sum())
            if removed:
                atoms = atoms[keep]
            self._say(
                f"Removed {removed} atoms closer than {remove_doubles:g} A to another "
                f"in {time.perf_counter() - start:.2f} s"
            )
        self.grain_counts = np.bincount(atoms.arrays["grain"] - 1, minlength=len(self.centres))

        if self.verbose:
            for index, (centre, angles, count) in enumerate(
                zip(self.centres, self.angles, self.grain_counts), 1
            ):
                print(
                    f"Grain {index}: centre ({centre[0]:.3f}, {centre[1]:.3f}, {centre[2]:.3f}) A, "
                    f"angles ({angles[0]:.2f}, {angles[1]:.2f}, {angles[2]:.2f}) deg, {count} atoms"
                )
            seed_density = len(seed) / abs(seed.cell.volume)
            density = len(atoms) / float(np.prod(box))
            print(
                f"Polycrystal: {len(atoms)} atoms, {density:.5f} atoms/A^3 "
                f"({100 * density / seed_density:.2f}% of the seed crystal's density)"
            )
        return atoms

    # -- output -------------------------------------------------------------------------------

    def _output_plan(self, output, formats):
        main = Path(output) if output else Path(f"{self.prefix}.cfg")
        fmt = "cfg" if main.suffix.lower() == ".cfg" else filetype(str(main), read=False)
        if fmt not in ioformats or not ioformats[fmt].can_write:
            raise ValueError(
                f"Cannot write '{main}': no structure format for its name (try a .cfg, .xyz or .vasp name)"
            )
        plan = [(main, fmt)]
        for name in formats or ():
            typed = str(name).strip().lstrip(".").lower()
            fmt = FORMAT_ALIASES.get(typed, typed)
            if fmt not in ioformats or not ioformats[fmt].can_write:
                raise ValueError(f"Unknown output format '{name}' (e.g. xyz, cfg, vasp, lmp, cif)")
            extension = typed if typed in FORMAT_ALIASES else FORMAT_EXTENSIONS.get(fmt, fmt)
            path = main.parent / f"{self.prefix}.{extension}"
            if all(path != p for p, _ in plan):
                plan.append((path, fmt))
        return plan

    def write_final_files(self, polycrystal, output=None, formats=()):
        """Writes the polycrystal through ASE and returns the paths written.

        output: the main file (extended CFG for a ``.cfg`` name, otherwise the format ASE
            infers from the name); empty or None: ``<prefix>.cfg``.
        formats: extra format names (xyz, cfg, vasp, lmp, cif, or any writable ASE format),
            each written to ``<prefix>.<format>`` next to the main file.
        With verbose, also writes ``<prefix>_seeds.txt``: the box and every grain's centre and
        orientation, as a parameter file that rebuilds the same polycrystal.
        """
        if not isinstance(polycrystal, Atoms):
            raise TypeError(f"polycrystal must be an ase.Atoms, got {type(polycrystal).__name__}")
        plan = self._output_plan(output, formats)
        seeds_path = plan[0][0].parent / f"{self.prefix}_seeds.txt"
        # Every target is checked before the first is written; folders are not created (a
        # mistyped folder name should fail, as it does for the other commands).
        for path, _ in plan:
            check_writable(path)
        if self.verbose:
            check_writable(seeds_path, "grain file")
        written = []
        for path, fmt in plan:
            print(f"Writing {len(polycrystal)} atoms to {path} ({fmt})")
            write(str(path), polycrystal, format=fmt)
            written.append(path)
        if self.verbose:
            path = seeds_path
            with open_replacing(path) as fh:
                fh.write(self._seeds_text())
            print(f"Grain centres and orientations written to {path}")
            written.append(path)
        return written

    def _seeds_text(self):
        box = self.box
        lines = [
            f"# {len(self.centres)} grains of {self.seed.get_chemical_formula()} ({self.mode})",
            "# node: centre x y z (Angstrom), rotation angles about x, y, z (degrees)",
        ]
        if self.grain_counts is not None:
            lines.append("# atoms per grain: " + " ".join(str(int(n)) for n in self.grain_counts))
        lines.append(f"box {box[0]:.6f} {box[1]:.6f} {box[2]:.6f}")
        for centre, angles in zip(self.centres, self.angles):
            lines.append("node " + " ".join(f"{x:.6f}" for x in (*centre, *angles)))
        return "\n".join(lines) + "\n"
