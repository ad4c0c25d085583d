"""Training data and fitting for corvane's potentials.

``corvane.training.structures`` builds the B–C–N structure families of the reference data set,
``corvane.training.dataset`` reads and appends the data set's extended-XYZ files, and
``corvane.training.generate`` computes the cells with GPAW (PBE). GPAW is imported only by the
generator's command, never by the package's runtime paths.
"""
