"""The Tersoff calculator, in the home of all potentials (the same class as corvane.tersoff's)."""

from corvane.tersoff import FIELDS, Tersoff, read_tersoff_file

__all__ = ["FIELDS", "Tersoff", "read_tersoff_file"]
