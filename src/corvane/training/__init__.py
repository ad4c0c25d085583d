"""Training potentials on DFT data: reading the data set and fitting models to it."""
