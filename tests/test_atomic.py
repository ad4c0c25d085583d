"""Files are replaced whole or not at all: a full disk, a failing writer or a bad target leaves
an existing file as it was and no temporary file behind."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk
from ase.io import read

from corvane.io import atomic

OLD = "the old content, which must survive\n"
DATA = os.path.join(os.path.dirname(__file__), "data")
# Files may grow to this size in the "full disk" runs; every new file written there is larger.
FILE_SIZE_LIMIT = 6000


def listing(folder):
    return sorted(p.name for p in folder.iterdir())


def run_with_full_disk(script, cwd):
    """Runs `script` in a fresh interpreter; from its call of full_disk() on, no file can grow
    beyond FILE_SIZE_LIMIT bytes: writes past it fail with EFBIG as they fail with ENOSPC on a
    full disk (Python ignores SIGXFSZ, so the write call fails instead of the process dying)."""
    prelude = f"""
        import resource
        import numpy as np
        from ase import Atoms
        import corvane.cli
        corvane.cli._subcommand_modules()
        VESTA = {os.path.join(DATA, "DTO_template.vesta")!r}
        rng = np.random.default_rng(3)
        atoms = Atoms("BN" * 100, scaled_positions=rng.random((200, 3)), cell=[9.1, 9.7, 10.3],
                      pbc=True)

        def full_disk():
            resource.setrlimit(resource.RLIMIT_FSIZE, ({FILE_SIZE_LIMIT}, {FILE_SIZE_LIMIT}))
    """
    code = textwrap.dedent(prelude) + textwrap.dedent(script)
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, capture_output=True, text=True, timeout=300)


def big_p1_crystal(n=200, seed=3):
    rng = np.random.default_rng(seed)
    return Atoms("C" * n, scaled_positions=rng.random((n, 3)), cell=[9.1, 9.7, 10.3], pbc=True)


# ----------------------------------------------------------------------------- the service


def test_replacing_commits_only_a_complete_file(tmp_path):
    target = tmp_path / "out.txt"
    target.write_text(OLD)
    os.chmod(target, 0o640)
    with pytest.raises(RuntimeError):
        with atomic.open_replacing(target) as fh:
            fh.write("half of the new")
            raise RuntimeError("writer failed")
    assert target.read_text() == OLD and listing(tmp_path) == ["out.txt"]

    with atomic.open_replacing(target) as fh:
        fh.write("new\n")
        assert target.read_text() == OLD  # not yet replaced while writing
    assert target.read_text() == "new\n" and listing(tmp_path) == ["out.txt"]
    assert os.stat(target).st_mode & 0o777 == 0o640  # the replaced file's permissions kept


def test_replacing_a_link_rewrites_the_file_it_points_to(tmp_path):
    real = tmp_path / "real.txt"
    real.write_text(OLD)
    link = tmp_path / "link.txt"
    link.symlink_to(real)
    with atomic.open_replacing(link) as fh:
        fh.write("new\n")
    assert link.is_symlink() and real.read_text() == "new\n"


@pytest.mark.parametrize(
    "make, error, words",
    [
        (lambda p: (p / "dir.vasp").mkdir() or p / "dir.vasp", IsADirectoryError, "is a folder"),
        (lambda p: p / "missing" / "x.vasp", FileNotFoundError, "does not exist"),
        (lambda p: (p / "file").write_text("") or p / "file" / "x.vasp", NotADirectoryError, "not a folder"),
    ],
)
def test_unusable_targets_are_refused_before_writing(tmp_path, make, error, words):
    target = make(tmp_path)
    before = listing(tmp_path)
    with pytest.raises(error, match=words):
        atomic.write(target, bulk("C"))
    assert listing(tmp_path) == before
    if target.name == "dir.vasp":
        assert listing(target) == []  # no ASE bundle written into the folder


def test_ase_write_keeps_format_and_compression_of_the_target_name(tmp_path):
    atoms = bulk("Si", "diamond", a=5.43, cubic=True)
    atomic.write(tmp_path / "POSCAR", atoms)
    atomic.write(tmp_path / "s.xyz.gz", atoms)
    assert read(tmp_path / "POSCAR", format="vasp").get_chemical_formula() == "Si8"
    with open(tmp_path / "s.xyz.gz", "rb") as fh:
        assert fh.read(2) == b"\x1f\x8b"  # gzip
    assert len(read(tmp_path / "s.xyz.gz")) == 8
    atomic.write(tmp_path / "s.xyz", atoms)
    atomic.write(tmp_path / "s.xyz", atoms, append=True)
    assert len(read(tmp_path / "s.xyz", ":")) == 2
    assert listing(tmp_path) == ["POSCAR", "s.xyz", "s.xyz.gz"]


# ------------------------------------------------------- every writer on a full disk (item 1)


WRITERS = {  # name: (target, script)
    "write_bcs": (
        "target",
        """
        from corvane.io.bcs import write_bcs
        full_disk()
        write_bcs("target", atoms)
    """,
    ),
    "ase.io.write .bcs": (
        "target.bcs",
        """
        import ase.io
        full_disk()
        ase.io.write("target.bcs", atoms)
    """,
    ),
    "write_vesta": (
        "target",
        """
        from corvane.io.vesta import read_vesta, write_vesta
        data = read_vesta(VESTA)
        full_disk()
        write_vesta("target", data)
    """,
    ),
    "ase.io.write .vesta": (
        "target.vesta",
        """
        import ase.io
        from corvane.io.vesta import read_vesta
        data = read_vesta(VESTA)
        full_disk()
        ase.io.write("target.vesta", data)
    """,
    ),
    "boundary -o": (
        "target.vasp",
        """
        full_disk()
        raise SystemExit(corvane.cli.main(["boundary", "--layers", "30", "--supercell", "2", "2",
                                           "1", "-o", "target.vasp"]))
    """,
    ),
    "polycrystal -o": (
        "target.cfg",
        """
        full_disk()
        raise SystemExit(corvane.cli.main(["polycrystal", "--box", "20", "20", "20", "--random",
                                           "2", "-o", "target.cfg"]))
    """,
    ),
    # one step: the trajectory stays below the limit, the extended XYZ output does not
    "optimize -o": (
        "target.xyz",
        """
        from ase.build import bulk
        bulk("BN", "zincblende", a=3.7, cubic=True).repeat(2).write("in.vasp", format="vasp")
        full_disk()
        raise SystemExit(corvane.cli.main(["optimize", "-f", "in.vasp", "-o", "target.xyz",
                                           "--steps", "0", "--trajectory", "t.traj"]))
    """,
    ),
    "optimize --trajectory": (
        "target.traj",
        """
        from ase.build import bulk
        a = bulk("BN", "zincblende", a=3.7, cubic=True).repeat(2)
        a.rattle(0.05, seed=1)
        a.write("in.vasp", format="vasp")
        full_disk()
        raise SystemExit(corvane.cli.main(["optimize", "-f", "in.vasp", "-o", "out.vasp",
                                           "--trajectory", "target.traj"]))
    """,
    ),
}


@pytest.mark.parametrize("name", list(WRITERS))
def test_a_full_disk_leaves_the_old_file_intact(tmp_path, name):
    target, script = WRITERS[name]
    (tmp_path / target).write_text(OLD)
    done = run_with_full_disk(script, tmp_path)
    assert done.returncode != 0, done.stdout
    assert "File too large" in done.stderr, done.stderr
    assert (tmp_path / target).read_text() == OLD
    assert not [p for p in listing(tmp_path) if p.startswith(".")], listing(tmp_path)
    if name.startswith(("boundary", "polycrystal", "optimize")):  # the one-line report
        last = done.stderr.splitlines()[-1]
        assert last.startswith(f"corvane {name.split()[0]}: error: ")
        assert last.endswith(f"File too large while writing '{target}' (the existing file is unchanged)")


def test_the_same_runs_succeed_without_the_limit(tmp_path):
    # The runs above fail because of the limit, not because the scripts are wrong.
    for name in ("write_bcs", "optimize -o"):
        target, script = WRITERS[name]
        done = run_with_full_disk(script.replace("full_disk()", "pass"), tmp_path)
        assert done.returncode == 0, done.stderr
        assert os.path.getsize(tmp_path / target) > FILE_SIZE_LIMIT
    assert os.path.getsize(tmp_path / "t.traj") < FILE_SIZE_LIMIT
