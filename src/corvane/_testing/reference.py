"""Plain-Python versions of the package's algorithms: the oracles its tests compare against and
the baselines its benchmarks time, written once for both."""

import numpy as np


def layers_by_gaps(z, tol):
    """Atoms grouped into layers along one coordinate: sorted, then split where the gap to the
    next atom exceeds tol; indices ascending within each layer, layers from the lowest up."""
    z = np.asarray(z)
    order = np.argsort(z, kind="stable")
    layers, current = [], [order[0]]
    for a, b in zip(order[:-1], order[1:]):
        if z[b] - z[a] > tol:
            layers.append(sorted(current))
            current = []
        current.append(b)
    layers.append(sorted(current))
    return layers
