"""Structure utilities: atomic layers of slabs, mirror tests, interplanar spacings and merging
of coinciding atoms.

The work that grows with the number of atoms (sorting atoms into layers, matching reflected
layers, finding close pairs) runs in the C++ kernels of :mod:`corvane._kernels`.
"""

import numpy as np

from corvane import _kernels, limits

__all__ = [
    "average_atoms",
    "check_reflection_symmetry",
    "compute_d_hkl",
    "get_layers",
    "mirror_array",
]


def _axis(direction):
    if isinstance(direction, (bool, np.bool_)) or not isinstance(direction, (int, np.integer)):
        raise TypeError(f"direction must be an integer axis index, got {direction!r}")
    if not 0 <= direction <= 2:
        raise ValueError(f"direction must be 0, 1 or 2, got {direction!r}")
    return int(direction)


def _positions(positions):
    pos = np.asarray(positions, dtype=float)
    if pos.size == 0:
        return pos.reshape(0, 3)
    if pos.ndim != 2 or pos.shape[1] != 3:
        raise ValueError(f"positions must have shape (N, 3), got {pos.shape}")
    return pos


def get_layers(positions, direction=2, tol=0.1):
    """Groups atoms into layers perpendicular to a Cartesian axis.

    Args:
        positions: (N, 3) Cartesian positions in Angstrom.
        direction: the axis normal to the layers (0=x, 1=y, 2=z).
        tol: atoms whose coordinates along the axis follow each other within ``tol``
            Angstrom belong to one layer.

    Returns:
        A list of integer index arrays, one per layer, ordered by increasing coordinate;
        within a layer the indices ascend.
    """
    return _kernels.layer_groups(_positions(positions), _axis(direction), float(tol))


def check_reflection_symmetry(plane_coordinate, direction, tol, atoms_below, atoms_above):
    """Whether two sets of atoms are mirror images through a plane normal to an axis.

    Every atom of ``atoms_below`` reflected through the plane ``direction = plane_coordinate``
    must land within ``tol`` of a distinct atom of ``atoms_above`` of the same element. In-plane
    distances are minimum-image distances over the periodic cell vectors that lie in the plane,
    so atoms wrapped to the other side of the cell still match.

    Args:
        plane_coordinate: position of the plane along the axis in Angstrom.
        direction: the axis normal to the plane (0=x, 1=y, 2=z).
        tol: distance tolerance in Angstrom.
        atoms_below, atoms_above: ASE Atoms cut from one structure; the cell and periodicity
            of ``atoms_above`` are used.

    Returns:
        bool
    """
    below, above = atoms_below, atoms_above
    if len(below) != len(above):
        return False
    return bool(
        _kernels.mirror_images(
            _positions(below.get_positions()),
            below.numbers,
            _positions(above.get_positions()),
            above.numbers,
            above.cell.array,
            above.pbc,
            _axis(direction),
            float(plane_coordinate),
            float(tol),
        )
    )


def compute_d_hkl(bulk, plane):
    """Spacing of the lattice planes (h k l) of a crystal, from its reciprocal lattice.

    Args:
        bulk: ASE Atoms whose cell the Miller indices refer to (any cell shape).
        plane: the Miller indices (h, k, l).

    Returns:
        The interplanar spacing 1 / |h b1 + k b2 + l b3| in Angstrom, as a float.
    """
    hkl = np.asarray(plane, dtype=float)
    if hkl.shape != (3,):
        raise ValueError(f"plane must hold three Miller indices, got {plane!r}")
    if not np.any(hkl):
        raise ValueError("Miller indices (0, 0, 0) do not define a plane")
    cell = np.asarray(bulk.cell.array, dtype=float)
    if abs(np.linalg.det(cell)) < 1e-12:
        raise ValueError("the cell of the bulk crystal has no volume")
    g = hkl @ np.linalg.inv(cell).T  # rows of inv(cell).T are the reciprocal vectors b_i
    return float(1.0 / np.linalg.norm(g))


def mirror_array(scaled_positions, direction=2):
    """Reflects fractional coordinates along one cell axis: x -> 1 - x.

    Args:
        scaled_positions: array of fractional positions, the axes along the last dimension.
        direction: the cell axis to reflect (0, 1 or 2).

    Returns:
        A new float array of the same shape. With a cell whose vector ``direction`` is normal
        to the other two (as in the slabs of ``ase.build.surface``) this is the Cartesian
        mirror image through the plane at half that vector.
    """
    mirrored = np.array(scaled_positions, dtype=float, copy=True)
    if mirrored.ndim == 0 or mirrored.shape[-1] != 3:
        raise ValueError(f"scaled positions must have 3 components, got shape {mirrored.shape}")
    axis = _axis(direction)
    mirrored[..., axis] = 1.0 - mirrored[..., axis]
    return mirrored


def _check_pair_memory(atoms, cutoff):
    # Periodic images count: a cutoff of many cell lengths meets every atom many times over.
    n = len(atoms)
    volume = abs(atoms.cell.volume)
    if atoms.pbc.any() and volume > 1e-12:
        pairs = limits.neighbour_pairs(n, n / volume, cutoff)
    else:  # no images: at most every pair, fewer when the atoms spread wider than the cutoff
        extent = np.ptp(atoms.positions, axis=0) + cutoff
        pairs = min(float(n) * n, limits.neighbour_pairs(n, n / float(np.prod(extent)), cutoff))
    limits.check_memory(
        pairs * limits.BYTES_PER_PAIR, f"merging atoms within {cutoff:g} A (about {pairs:.3g} atom pairs)"
    )


def average_atoms(atoms, cutoff):
    """Merges atoms that lie closer than ``cutoff`` to an atom of the same element.

    Close pairs are found with minimum-image distances in the atoms' cell and periodicity;
    chains of close atoms form one cluster. Each cluster is replaced by its lowest-indexed atom
    (element, tags, momenta and other per-atom data kept) placed at the average position of
    the cluster's members. Atoms of different elements are never merged, so the composition
    cannot change silently.

    Args:
        atoms: ASE Atoms; it is not modified.
        cutoff: merging distance in Angstrom; zero or less merges nothing.

    Returns:
        A new ASE Atoms object.
    """
    cutoff = float(cutoff)
    if len(atoms) < 2 or not cutoff > 0:
        return atoms.copy()
    _check_pair_memory(atoms, cutoff)
    keep, positions = _kernels.merge_close_atoms(
        atoms.get_positions(), atoms.numbers, atoms.cell.array, atoms.pbc, cutoff
    )
    merged = atoms[keep]
    merged.set_positions(positions)
    return merged
