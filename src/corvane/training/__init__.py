"""Fitting interatomic potentials to the package's PBE data set (numpy and scipy only)."""
