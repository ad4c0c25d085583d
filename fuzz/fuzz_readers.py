"""Coverage-guided fuzzing of the BCS and VESTA readers (atheris, from PyPI).

    python fuzz/fuzz_readers.py bcs   CORPUS_DIR [libFuzzer options, e.g. -max_total_time=600]
    python fuzz/fuzz_readers.py vesta CORPUS_DIR [...]

Each input is decoded as UTF-8 (undecodable bytes replaced) and read from a text stream. A run
fails (and libFuzzer saves the input) on a crash, a hang (-timeout), or an exception other than:
  * ValueError or IndexError raised by the reader itself (the malformed-input errors it documents);
  * anything raised inside ASE while it builds the structure (crystal, Spacegroup, Atoms), which
    the readers let through unchanged.
A structure that is returned must have a finite cell and finite positions (a NaN cell read
without an error is a silently wrong structure).
Seed the corpus directory with real files (tests/data/*.vesta, BCS files written by write_bcs).
"""

import io
import sys
import traceback
import warnings

import atheris
import numpy as np

with atheris.instrument_imports():
    from corvane.io import bcs, vesta

READERS = {"bcs": bcs.read_bcs, "vesta": vesta.read_vesta}
OWN_ERRORS = (ValueError, IndexError)


def raised_inside_ase(exc):
    """True when the exception left a Python frame called by the reader (ASE building the
    structure), rather than the reader's own C++ body."""
    frames = traceback.extract_tb(exc.__traceback__)
    for k, frame in enumerate(frames):
        if frame.name == "iofunc":  # ase.utils.reader: the reader body runs inside it
            return k + 1 < len(frames)
    return False


def main():
    fmt = sys.argv.pop(1)
    read = READERS[fmt]
    warnings.simplefilter("ignore")

    def one_input(data: bytes):
        text = data.decode("utf-8", errors="replace")
        try:
            atoms = read(io.StringIO(text))
        except OWN_ERRORS:
            return
        except Exception as exc:
            if raised_inside_ase(exc):
                return
            raise
        # A structure that was returned must be usable: finite cell and positions.
        if not (np.isfinite(atoms.cell.array).all() and np.isfinite(atoms.positions).all()):
            raise RuntimeError(f"non-finite structure read from {text[:200]!r}")

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
