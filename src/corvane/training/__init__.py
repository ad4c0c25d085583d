"""Training data and fitting for corvane's potentials.

``corvane.training.structures`` builds the B–C–N structure families of the reference data set,
``corvane.training.dataset`` reads and appends the data set's extended-XYZ files,
``corvane.training.generate`` computes the cells with GPAW (PBE), ``corvane.training.tersoff_fit``
refits the Tersoff parameters and ``corvane.training.ace_fit`` fits the cluster-expansion model
(both numpy and scipy only). GPAW is imported only by the generator's command, never by the
package's runtime paths.
"""
