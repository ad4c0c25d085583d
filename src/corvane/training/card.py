"""The data set's card: what is in it, how it was computed, and its own equation-of-state check.

python -m corvane.training.card data/dft            # prints the tables
python -m corvane.training.card data/dft --write    # also rewrites data/dft/CARD.md's tables
"""

from __future__ import annotations

import argparse
import sys
from collections import defaultdict
from pathlib import Path

import numpy as np
from ase.units import GPa

from corvane.training import dataset
from corvane.training.structures import all_cells

# Measured at the generator's settings (PBE, 800 eV): the targets the data must reproduce.
PBE_REFERENCE = {"diamond": (3.573, 434.0), "cBN": (3.625, 372.0)}
EXPERIMENT = {"diamond": (3.567, 443.0), "cBN": (3.615, 369.0)}

BEGIN, END = "<!-- tables: begin -->", "<!-- tables: end -->"


def equation_of_state(cells, family: str):
    """Cubic lattice constant (Å) and bulk modulus (GPa) from the family's EOS cells, or None."""
    from ase.eos import EquationOfState

    points = [
        (c.get_volume() / len(c), c.get_potential_energy() / len(c))
        for c in cells
        if c.info["family"] == family and c.info["kind"] == "eos"
    ]
    if len(points) < 5:
        return None
    volumes, energies = np.array(sorted(points)).T
    eos = EquationOfState(volumes, energies, eos="birchmurnaghan")
    v0, _, b = eos.fit()
    return (8 * v0) ** (1 / 3), b / GPa


def tables(directory) -> str:
    cells = dataset.read(directory)
    planned = defaultdict(int)
    for cell in all_cells():
        planned[cell.family] += 1
    rows = defaultdict(
        lambda: {"cells": 0, "atoms": 0, "seconds": 0.0, "train": 0, "validation": 0, "test": 0}
    )
    for atoms in cells:
        row = rows[atoms.info["family"]]
        row["cells"] += 1
        row["atoms"] += len(atoms)
        row["seconds"] += float(atoms.info.get("seconds", 0.0))
        row[atoms.info["split"]] += 1
    lines = [
        "| family | cells (planned) | atoms | train / validation / test | compute time |",
        "|---|---:|---:|---:|---:|",
    ]
    total = {"cells": 0, "atoms": 0, "seconds": 0.0}
    for family in sorted(planned):
        r = rows[family]
        lines.append(
            f"| {family} | {r['cells']} ({planned[family]}) | {r['atoms']} | "
            f"{r['train']} / {r['validation']} / {r['test']} | {r['seconds'] / 60:.1f} min |"
        )
        for key in total:
            total[key] += r[key]
    lines.append(
        f"| all | {total['cells']} ({sum(planned.values())}) | {total['atoms']} | | "
        f"{total['seconds'] / 3600:.2f} h |"
    )
    lines += [
        "",
        "| crystal | a from the data (Å) | B from the data (GPa) | PBE reference | experiment |",
        "|---|---:|---:|---:|---:|",
    ]
    for family in ("diamond", "cBN"):
        fit = equation_of_state(cells, family)
        ref, exp = PBE_REFERENCE[family], EXPERIMENT[family]
        got = ("–", "–") if fit is None else (f"{fit[0]:.3f}", f"{fit[1]:.0f}")
        lines.append(
            f"| {family} | {got[0]} | {got[1]} | {ref[0]:.3f} Å / {ref[1]:.0f} GPa | "
            f"{exp[0]:.3f} Å / {exp[1]:.0f} GPa |"
        )
    return "\n".join(lines)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m corvane.training.card", description="Tables of the reference data set."
    )
    parser.add_argument("directory")
    parser.add_argument("--write", action="store_true", help="rewrite the tables in DIRECTORY/CARD.md")
    args = parser.parse_args(argv)
    text = tables(args.directory)
    print(text)
    if args.write:
        card = Path(args.directory) / "CARD.md"
        old = card.read_text()
        if BEGIN not in old or END not in old:
            print(f"{card}: no table markers {BEGIN} … {END}", file=sys.stderr)
            return 1
        head, rest = old.split(BEGIN, 1)
        tail = rest.split(END, 1)[1]
        card.write_text(f"{head}{BEGIN}\n{text}\n{END}{tail}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
