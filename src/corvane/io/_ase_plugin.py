"""Declarations that let ASE's own ``ase.io.read`` and ``ase.io.write`` handle corvane's formats.

ASE (3.23 and newer) loads every object of the ``ase.ioformats`` entry-point group when
``ase.io.formats`` is imported; the entries in pyproject.toml point here. Nothing in this module
imports the readers themselves: ASE imports ``corvane.io.bcs`` or ``corvane.io.vesta`` only when
a file of that format is read or written.

File names are matched by glob as well as by extension: ASE tries globs before it looks at a
file's contents, and every VESTA file would otherwise pass for XCrySDen's format (whose
signature is a line "CRYSTAL"). For the same reason the VESTA signature only helps for files
without that line; name VESTA files *.vesta.

Both formats are declared with code "1S" (one structure per file, handed over as a file name), so
that ``ase.io.write`` passes the path on instead of opening it first: the writers check their
input (symmetry analysis, stored VESTA blocks) before they open the file, and a failed write
leaves an existing file as it was. Open files are still accepted by the functions of
``corvane.io.bcs`` and ``corvane.io.vesta`` themselves.
"""

from ase.utils.plugins import ExternalIOFormat

BCS_FORMAT = ExternalIOFormat(
    desc="Bilbao Crystallographic Server structure (asymmetric unit)",
    code="1S",
    module="corvane.io.bcs",
    ext=["bcs"],
    glob=["*.bcs", "*.BCS"],
)

VESTA_FORMAT = ExternalIOFormat(
    desc="VESTA file",
    code="1S",
    module="corvane.io.vesta",
    ext=["vesta"],
    glob=["*.vesta", "*.VESTA"],
    magic=[b"#VESTA_FORMAT_VERSION"],
)
