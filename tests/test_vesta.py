import inspect
import io
from collections import Counter
from pathlib import Path

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk

from corvane.io import vesta
from corvane.io.vesta import VestaData, read_vesta, write_vesta

DATA = Path(__file__).parent / "data"

# Counted by hand from the STRUC blocks of the files (site lines, not uncertainty lines or the
# closing line of zeros). All four are in space group 1, so the structure is exactly the sites.
SAMPLES = {
    "Cu_primitive_plain.vesta": ["Cu"],
    "hBN.vesta": ["B", "N"],
    "DTO_template.vesta": ["Dy"] * 4 + ["Ti"] * 4 + ["O"] * 14,
    # Two phases; the cell and sites come from the first CELLP and the first STRUC line list
    # (the second phase's STRUC has only its closing line).
    "two_phase.vesta": ["Cu"],
}


def minimal(struc_lines, group=None, cellp="  4.0 4.0 4.0 90.0 90.0 90.0\n", extra=""):
    text = "#VESTA_FORMAT_VERSION 3.5.4\n\n"
    if group is not None:
        text += "GROUP\n" + group
    if cellp is not None:
        text += "CELLP\n" + cellp + "  0.0 0.0 0.0 0.0 0.0 0.0\n"
    if struc_lines is not None:
        text += "STRUC\n" + "".join(struc_lines)
    return text + extra


SITE_C = "  1 C          C1  1.0000   0.000000   0.000000   0.000000    1a       1\n"
SITE_N = "  2 N          N1  1.0000   0.500000   0.500000   0.500000    1a       1\n"
UNCERT = "                            0.000000   0.000000   0.000000  0.00\n"
ZEROS = "  0 0 0 0 0 0 0\n"


def read_text(text):
    return read_vesta(io.StringIO(text))


# ---------------------------------------------------------------------------------------------
# Module surface


def test_public_names_and_signatures():
    assert str(inspect.signature(read_vesta)) == "(fd) -> 'Atoms'"
    assert str(inspect.signature(write_vesta)) == "(fd, atoms: 'Atoms')"
    assert read_vesta.__doc__.startswith("Reads a VESTA file, creates an ASE Atoms object, and stores the")
    assert write_vesta.__doc__.startswith(
        "Writes an ASE Atoms object with associated VestaData to a VESTA file."
    )
    assert read_vesta.__wrapped__.__module__ == "corvane.io.vesta"
    import re

    assert vesta.re is re and vesta.Atoms is Atoms


def test_vesta_data_class():
    data = VestaData()
    assert VestaData.__bases__ == (object,)
    assert VestaData.__module__ == "corvane.io.vesta"
    assert data.raw_blocks == {} and VestaData().raw_blocks is not data.raw_blocks
    assert vars(data) == {"raw_blocks": {}}
    assert repr(data) == "VestaData with blocks: []"
    data.raw_blocks["#VESTA_FORMAT_VERSION"] = []
    data.raw_blocks["CELLP"] = []
    assert repr(data) == "VestaData with blocks: ['#VESTA_FORMAT_VERSION', 'CELLP']"
    assert "not used directly by the ASE" in VestaData.__doc__


# ---------------------------------------------------------------------------------------------
# Files written by VESTA


@pytest.mark.parametrize("name", sorted(SAMPLES))
def test_samples_read_and_write_back(name, tmp_path):
    path = DATA / name
    atoms = read_vesta(path)
    assert atoms.get_chemical_symbols() == SAMPLES[name]
    assert atoms.pbc.all()
    data = atoms.info["vesta_data"]
    assert isinstance(data, VestaData)
    assert list(data.raw_blocks)[0] == "#VESTA_FORMAT_VERSION"

    out = tmp_path / name
    write_vesta(out, atoms)
    original = path.read_bytes()
    if name == "two_phase.vesta":
        # Repeated keywords regroup; checked line by line in the test below.
        assert sorted(out.read_bytes().splitlines()) == sorted(original.splitlines())
    else:
        assert out.read_bytes() == original


def test_sample_cells_and_positions():
    hbn = read_vesta(DATA / "hBN.vesta")
    assert np.allclose(hbn.cell.cellpar(), [2.510267, 2.510267, 15.0, 90, 90, 120])
    assert np.allclose(hbn.get_scaled_positions(), [[0.333333, 0.666667, 0.5], [0.666667, 0.333333, 0.5]])
    dto = read_vesta(DATA / "DTO_template.vesta")
    assert np.allclose(dto.cell.cellpar(), [7.191367] * 3 + [60] * 3)
    # Site 20 (O12) is at (0, 0, 1): kept as written, not wrapped.
    assert np.allclose(dto.get_scaled_positions(wrap=False)[19], [0, 0, 1])
    two = read_vesta(DATA / "two_phase.vesta")
    assert np.allclose(two.cell.cellpar(), [2.53] * 3 + [60] * 3)


def test_two_phase_regroups_repeated_keywords(tmp_path):
    original = (DATA / "two_phase.vesta").read_text().splitlines(keepends=True)
    atoms = read_vesta(DATA / "two_phase.vesta")
    out = io.StringIO()
    write_vesta(out, atoms)
    written = out.getvalue().splitlines(keepends=True)

    assert Counter(written) == Counter(original)
    blocks = atoms.info["vesta_data"].raw_blocks
    # The second phase's lines follow those of the first phase under each repeated keyword.
    assert blocks["TITLE"] == ["TITLE\n", "New structure\n", "\n", "TITLE\n", "Phase Two\n", "\n"]
    assert blocks["CRYSTAL"] == ["CRYSTAL\n", "\n", "CRYSTAL\n", "\n"]
    assert blocks["CELLP"][0::3] == ["CELLP\n", "CELLP\n"]
    assert blocks["STRUC"][-2:] == ["STRUC\n", "  0 0 0 0 0 0 0\n"]
    title = written.index("TITLE\n")
    assert written[title : title + 6] == blocks["TITLE"]
    # The first phase's file position of the block ends where the second phase's starts.
    start = written.index("CELLP\n")
    assert written[start + 3] == "CELLP\n"
    assert written[start + 4].split()[:3] == ["1.000000"] * 3
    # LIGHT0..LIGHT3 share the key LIGHT, in file order.
    light = [line for line in blocks["LIGHT"] if line.startswith("LIGHT")]
    assert light == ["LIGHT0 1\n", "LIGHT1\n", "LIGHT2\n", "LIGHT3\n"]
    assert written != original


# ---------------------------------------------------------------------------------------------
# Reading rules


def test_block_division():
    text = (
        "#VESTA_FORMAT_VERSION 3.5.4\n\n\nSILICON\nTRANM 0\n 1 2\nLIGHT0 1\nx\n"
        "IMPORT_STRUCTURE\nABC\nabcd\n CELLP\n"
        "CELLP\n 4 4 4 90 90 90\nSTRUC\n" + SITE_C + ZEROS + "LIGHT1\ny\n"
    )
    blocks = read_text(text).info["vesta_data"].raw_blocks
    assert list(blocks) == ["#VESTA_FORMAT_VERSION", "SILICON", "TRANM", "LIGHT", "IMPORT", "CELLP", "STRUC"]
    assert blocks["#VESTA_FORMAT_VERSION"] == ["#VESTA_FORMAT_VERSION 3.5.4\n", "\n", "\n"]
    assert blocks["SILICON"] == ["SILICON\n"]
    assert blocks["TRANM"] == ["TRANM 0\n", " 1 2\n"]
    # "ABC", a lower-case line and a line starting with a space are not keyword lines.
    assert blocks["IMPORT"] == ["IMPORT_STRUCTURE\n", "ABC\n", "abcd\n", " CELLP\n"]
    assert blocks["LIGHT"] == ["LIGHT0 1\n", "x\n", "LIGHT1\n", "y\n"]
    out = io.StringIO()
    write_vesta(out, read_text(text))
    # Only the LIGHT1 lines move (next to LIGHT0); everything else is as read.
    expected = text.replace("LIGHT1\ny\n", "").replace("x\n", "x\nLIGHT1\ny\n", 1)
    assert out.getvalue() == expected


def test_without_group_block_is_plain_periodic_structure():
    atoms = read_text(minimal([SITE_C, UNCERT, SITE_N, UNCERT, ZEROS]))
    assert atoms.get_chemical_symbols() == ["C", "N"]
    assert atoms.pbc.all()
    assert np.allclose(atoms.cell.cellpar(), [4, 4, 4, 90, 90, 90])
    assert np.allclose(atoms.get_scaled_positions(), [[0, 0, 0], [0.5, 0.5, 0.5]])
    assert "spacegroup" not in atoms.info


def test_group_227_expands_by_symmetry():
    site = "  1 Si        Si1  1.0000   0.000000   0.000000   0.000000    8a       1\n"
    atoms = read_text(
        minimal([site, UNCERT, ZEROS], group="227 1 F d -3 m\n", cellp="  5.43 5.43 5.43 90 90 90\n")
    )
    assert len(atoms) == 8 and set(atoms.get_chemical_symbols()) == {"Si"}
    assert atoms.info["spacegroup"].no == 227


def test_group_1_and_below_use_plain_structure():
    for group in ("1 1 P 1\n", "0\n", "-5 x\n"):
        atoms = read_text(minimal([SITE_C, ZEROS], group=group))
        assert len(atoms) == 1 and "spacegroup" not in atoms.info


def test_cellp_uses_first_six_numbers_of_its_first_line():
    atoms = read_text(minimal([SITE_C], cellp=" 3 4 5 90 90 90 7\n"))
    assert np.allclose(atoms.cell.cellpar(), [3, 4, 5, 90, 90, 90])


def test_site_lines_need_eight_fields():
    short = "  1 C          C1  1.0000   0.5   0.5   0.5\n"  # 7 fields: skipped
    atoms = read_text(minimal([SITE_C, short, SITE_N]))
    assert atoms.get_chemical_symbols() == ["C", "N"]


def test_windows_line_endings_and_missing_final_newline(tmp_path):
    text = minimal([SITE_C, UNCERT, SITE_N, UNCERT, ZEROS], group="1 1 P 1\n")
    crlf = text.replace("\n", "\r\n")
    path = tmp_path / "crlf.vesta"
    path.write_bytes(crlf.encode())
    for atoms in (read_vesta(path), read_vesta(open(path, newline=""))):
        assert atoms.get_chemical_symbols() == ["C", "N"]
        assert np.allclose(atoms.cell.cellpar(), [4, 4, 4, 90, 90, 90])
    # Read with its line endings kept, written to a file opened the same way: the same bytes.
    with open(path, newline="") as fd:
        atoms = read_vesta(fd)
    with open(tmp_path / "out.vesta", "w", newline="") as fd:
        write_vesta(fd, atoms)
    assert (tmp_path / "out.vesta").read_bytes() == crlf.encode()

    unterminated = text + "HKLPM\n 255 255 255 255\n 128.000"
    path = tmp_path / "last.vesta"
    path.write_text(unterminated)
    atoms = read_vesta(path)
    assert len(atoms) == 2
    write_vesta(tmp_path / "last_out.vesta", atoms)
    assert (tmp_path / "last_out.vesta").read_text() == unterminated


def test_byte_order_mark_is_kept(tmp_path):
    path = tmp_path / "bom.vesta"
    path.write_bytes(b"\xef\xbb\xbf" + minimal([SITE_C, ZEROS]).encode())
    atoms = read_vesta(path)
    assert len(atoms) == 1
    write_vesta(tmp_path / "out.vesta", atoms)
    assert (tmp_path / "out.vesta").read_bytes() == path.read_bytes()


def test_changes_to_structure_do_not_reach_written_file():
    text = (DATA / "hBN.vesta").read_text()
    atoms = read_text(text)
    atoms.positions += 1.0
    atoms.cell *= 2
    del atoms[0]
    out = io.StringIO()
    assert write_vesta(out, atoms) is None
    assert out.getvalue() == text


# ---------------------------------------------------------------------------------------------
# Malformed input


@pytest.mark.parametrize(
    "text, kind, message",
    [
        ("", ValueError, "CELLP block not found in VESTA file."),
        ("#VESTA_FORMAT_VERSION 3.5.4\n", ValueError, "CELLP block not found in VESTA file."),
        (minimal([SITE_C], cellp=None), ValueError, "CELLP block not found in VESTA file."),
        # CELLP is checked (and read) before STRUC.
        (minimal(None), ValueError, "STRUC block not found in VESTA file."),
        (minimal(None, cellp=" a b c\n"), ValueError, "could not convert string to float: 'a'"),
        ("CELLP\n", IndexError, "list index out of range"),
        (minimal([SITE_C], group=""), IndexError, "list index out of range"),
        (minimal([SITE_C], group="\n"), IndexError, "list index out of range"),
        (minimal([SITE_C], group="P1 1\n"), ValueError, "invalid literal for int() with base 10: 'P1'"),
        (
            minimal(
                [
                    SITE_C.replace(
                        "0.000000   0.000000   0.000000    1a", "0.000000   zero       0.000000    1a"
                    )
                ]
            ),
            ValueError,
            "could not convert string to float: 'zero'",
        ),
    ],
)
def test_malformed_files(text, kind, message):
    with pytest.raises(kind) as err:
        read_text(text)
    assert str(err.value) == message


def test_binary_junk_and_errors_from_ase(tmp_path):
    junk = tmp_path / "junk.vesta"
    junk.write_bytes(bytes(range(256)) * 4)
    with pytest.raises(ValueError):  # UnicodeDecodeError on reading, or a missing block
        read_vesta(junk)
    with pytest.raises(ValueError):
        read_text("\x00\x01CELLP\x7f\n")
    # Unknown element: ASE's error passes through unchanged.
    bad = SITE_C.replace(" C          C1", " Qq        Qq1")
    with pytest.raises(KeyError):
        read_text(minimal([bad]))
    with pytest.raises(TypeError, match="text mode"):
        read_vesta(io.BytesIO(minimal([SITE_C]).encode()))


# ---------------------------------------------------------------------------------------------
# Writing


def test_write_needs_vesta_data_and_leaves_existing_file(tmp_path):
    target = tmp_path / "keep.vesta"
    target.write_text("precious\n")
    message = "Atoms object does not contain valid VestaData in its info dictionary."
    for value in (None, "", "junk", {"raw_blocks": {}}, 0):
        atoms = bulk("Si")
        if value is not None:
            atoms.info["vesta_data"] = value
        for fd in (target, str(target)):
            with pytest.raises(ValueError) as err:
                write_vesta(fd, atoms)
            assert str(err.value) == message
    assert target.read_text() == "precious\n"


def test_write_rejects_non_text_lines_before_opening(tmp_path):
    target = tmp_path / "keep.vesta"
    target.write_text("precious\n")
    atoms = read_vesta(DATA / "hBN.vesta")
    atoms.info["vesta_data"].raw_blocks["CELLP"].append(b"bytes\n")
    with pytest.raises(TypeError, match="CELLP"):
        write_vesta(target, atoms)
    assert target.read_text() == "precious\n"


def test_non_finite_cell_and_coordinates_are_refused():
    site = "  1 C  C1  1.0000  0.000000  0.000000  0.000000  1a  1\n"
    with pytest.raises(ValueError, match="^CELLP parameter b must be a finite number, got nan$"):
        read_text(minimal([site], cellp="  4.0 nan 4.0 90.0 90.0 90.0\n"))
    with pytest.raises(ValueError, match="^CELLP parameter gamma must be a finite number, got -inf$"):
        read_text(minimal([site], cellp="  4.0 4.0 4.0 90.0 90.0 -inf\n"))
    # a seventh number is not part of the cell and is not checked
    assert len(read_text(minimal([site], cellp="  4.0 4.0 4.0 90.0 90.0 90.0 nan\n"))) == 1
    bad = "  2 C  C2  1.0000  0.500000  inf  0.500000  1a  1\n"
    with pytest.raises(ValueError, match="^coordinate y of site 2 must be a finite number, got inf$"):
        read_text(minimal([site, bad]))


@pytest.mark.parametrize("cellp", ["  4.0 4.0 4.0 120.0 120.0 120.0\n", "  4.0 4.0 4.0 180.0 90.0 90.0\n"])
def test_cells_of_zero_volume_are_refused(cellp):
    # ASE builds these without complaint; a space group would then pile up atoms in a flat cell
    site = "  1 C  C1  1.0000  0.100000  0.200000  0.300000  1a  1\n"
    for group in (None, "  225 1 F m -3 m\n"):
        with pytest.raises(
            ValueError, match="^the CELLP parameters 4.0 4.0 4.0 1[28]0.0 .* describe a cell of zero volume$"
        ):
            read_text(minimal([site], group=group, cellp=cellp))
