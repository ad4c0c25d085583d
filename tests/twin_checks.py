"""Independent checks of twin-boundary structures, shared by the builder and subcommand tests.

They use ASE's neighbour list and plain numpy only, so they do not rely on corvane's kernels.
"""

import numpy as np
from ase.geometry import find_mic
from ase.neighborlist import neighbor_list

DIAMOND_A = 3.56
DIAMOND_BOND = DIAMOND_A * np.sqrt(3) / 4  # 1.5415 Angstrom
DIAMOND_D111 = DIAMOND_A / np.sqrt(3)
SILICON_A = 5.431
SILICON_BOND = SILICON_A * np.sqrt(3) / 4  # 2.3517 Angstrom


def coordination(atoms, cutoff):
    i = neighbor_list("i", atoms, cutoff)
    return np.bincount(i, minlength=len(atoms))


def assert_sound_tetrahedral(atoms, bond, shell, tol=0.03, too_close=1.3, mask=None):
    """Every atom (or every atom in mask) has 4 neighbours within shell, at bond +- tol."""
    i, d = neighbor_list("id", atoms, shell)
    counts = np.bincount(i, minlength=len(atoms))
    sel = np.ones(len(atoms), bool) if mask is None else mask
    assert np.all(counts[sel] == 4), np.unique(counts[sel], return_counts=True)
    assert np.all(np.abs(d[sel[i]] - bond) <= tol), (d.min(), d.max())
    assert neighbor_list("d", atoms, too_close).size == 0


def _layer_heights(z, tol=0.1):
    z = np.sort(z)
    starts = np.r_[0, np.nonzero(np.diff(z) > tol)[0] + 1]
    return np.array([z[s:e].mean() for s, e in zip(starts, np.r_[starts[1:], len(z)])])


def locally_mirrored(atoms, plane, window, tol=0.05):
    """Atoms within `window` of the plane z = plane (periodically along z when the cell is)
    reflect onto atoms of the same element."""
    pos = atoms.positions
    c = atoms.cell[2, 2]
    dz = pos[:, 2] - plane
    if atoms.pbc[2]:
        dz -= c * np.round(dz / c)
    near = np.abs(dz) < window
    if not near.any():
        return False
    for k in np.nonzero(near)[0]:
        image = pos[k].copy()
        image[2] = plane - dz[k]
        vectors, lengths = find_mic(pos - image, atoms.cell, atoms.pbc)
        hit = np.nonzero(lengths < tol)[0]
        if hit.size != 1 or atoms.numbers[hit[0]] != atoms.numbers[k]:
            return False
    return True


def mirror_planes(atoms, window, tol=0.05):
    """Heights of all planes through layers or midway between neighbouring layers about which
    the structure is mirror-symmetric within `window`, sorted, in [0, c)."""
    c = atoms.cell[2, 2]
    h = _layer_heights(atoms.positions[:, 2])
    candidates = list(h) + list((h[:-1] + h[1:]) / 2)
    if atoms.pbc[2]:
        candidates.append((h[-1] + h[0] + c) / 2)
    found = sorted(
        {
            round(p % c if atoms.pbc[2] else p, 6)
            for p in candidates
            if locally_mirrored(atoms, p, window, tol)
        }
    )
    return np.array(found)


def expected_boundaries(units, d, gap, c):
    """Boundary heights of grains stacked from z = 0 with the given thicknesses in layer units:
    each grain spans units * d - gap and is followed by the gap."""
    return np.sort(np.mod(np.cumsum(units) * d - gap / 2, c))


def assert_planes(found, expected, c, tol=0.02):
    assert len(found) == len(expected), (found, expected)
    for e in expected:
        diff = np.abs(np.asarray(found) - e) % c
        assert np.min(np.minimum(diff, c - diff)) < tol, (found, expected)
