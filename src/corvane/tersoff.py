"""The Tersoff calculator under its first import path; it lives in :mod:`corvane.potentials.tersoff`."""

from corvane.potentials.tersoff import (
    FIELDS,
    Tersoff,
    read_tersoff_file,
    stress_from_virial,
    write_tersoff_file,
)

__all__ = ["FIELDS", "Tersoff", "read_tersoff_file", "stress_from_virial", "write_tersoff_file"]
