"""The database web viewer through Flask's test client: pages, sorting, paging, queries,
downloads, 404s, template and static overrides, and that nothing writes to the database."""

import hashlib
import html
import io
import re
from unittest import mock

import ase.db
import ase.io
import numpy as np
import pytest
from ase import units
from db_samples import make_database, sample_structures

from corvane.data.db import ASEDBApp
from corvane.data.db.app import _is_loopback

N = 50


@pytest.fixture(scope="module")
def db_path(tmp_path_factory):
    return make_database(tmp_path_factory.mktemp("db") / "samples.db", N)


@pytest.fixture(scope="module")
def viewer(db_path):
    return ASEDBApp(str(db_path), name="bcn-project", title="Hard Crystals")


@pytest.fixture
def client(viewer):
    return viewer.app.test_client()


def row_ids(page):
    return [int(i) for i in re.findall(r'id="row-(\d+)"', page)]


def columns_of(page):
    return re.findall(r'title="sort by ([^"]+)"', page)


def text(response):
    assert response.status_code == 200, response.data[:300]
    return response.get_data(as_text=True)


def sha(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


# --- the table ---------------------------------------------------------------------------------


def test_table_defaults(client):
    page = text(client.get("/"))
    assert "Hard Crystals" in page and "bcn-project" in page
    assert columns_of(page) == ["id", "formula", "energy", "hv", "phase", "step"]
    assert row_ids(page) == list(range(1, 26))
    assert "Rows 1–25 of 50" in page
    assert "/row/3" in page and "C8" in page


def test_chosen_columns(db_path, client):
    app = ASEDBApp(str(db_path), default_columns=["id", "natoms", "volume", "pbc"])
    page = text(app.app.test_client().get("/"))
    assert columns_of(page) == ["id", "natoms", "volume", "pbc"]
    assert "<td>TTT</td>" in page
    # an empty list is the command line's bare --columns: the defaults
    empty = ASEDBApp(str(db_path), default_columns=[])
    assert columns_of(text(empty.app.test_client().get("/")))[:3] == ["id", "formula", "energy"]
    # the visitor's choice, unknown names dropped
    page = text(client.get("/?columns=formula,nonsense,hv"))
    assert columns_of(page) == ["formula", "hv"]


def expected_order(key, descending=False):
    structures = sample_structures(N)
    present = [
        (kv.get(key) if key != "energy" else atoms.calc and atoms.calc.results.get("energy"), i + 1)
        for i, (atoms, kv, _) in enumerate(structures)
    ]
    have = [p for p in present if p[0] is not None]
    have.sort(key=lambda p: p[0], reverse=descending)
    return [i for _, i in have] + [i for v, i in present if v is None]


@pytest.mark.parametrize("key", ["hv", "energy", "step", "phase"])
@pytest.mark.parametrize("descending", [False, True])
def test_sorting_keeps_missing_values_last(client, key, descending):
    sort = f"-{key}" if descending else key
    ids = row_ids(text(client.get(f"/?sort={sort}&limit=500")))
    assert ids == expected_order(key, descending)


def test_sort_by_formula_and_id(client):
    ids = row_ids(text(client.get("/?sort=formula&limit=50")))
    page = text(client.get("/?sort=formula&limit=50"))
    formulas = re.findall(r'class="rowlink" href="/row/\d+">\d+</a></td><td>([^<]*)</td>', page)
    assert len(formulas) == N
    assert sorted(ids) == list(range(1, N + 1))
    assert formulas == sorted(formulas)
    assert row_ids(text(client.get("/?sort=-id&limit=5"))) == [50, 49, 48, 47, 46]
    # a column that does not exist sorts by id, as if not given
    assert row_ids(text(client.get("/?sort=-<script>&limit=3"))) == [1, 2, 3]


def test_header_link_toggles_direction(client):
    page = text(client.get("/?sort=energy"))
    assert html.unescape(re.search(r'href="([^"]+)" title="sort by energy"', page)[1]).startswith(
        "?sort=-energy"
    )
    page = text(client.get("/?sort=-energy"))
    assert 'class="desc"' in page


def test_paging_partitions_the_rows(client):
    seen = []
    for number in range(1, 6):
        page = text(client.get(f"/?limit=10&page={number}&sort=-hv"))
        seen += row_ids(page)
    assert seen == expected_order("hv", True)
    assert len(set(seen)) == N
    page = text(client.get("/?limit=10&page=2"))
    assert "Rows 11–20 of 50" in page
    assert 'rel="prev"' in page and 'rel="next"' in page


@pytest.mark.parametrize(
    "params, expected",
    [
        ("page=999&limit=10", list(range(41, 51))),  # past the end: the last page
        ("page=abc&limit=xyz", list(range(1, 26))),  # unusable numbers: the defaults
        ("page=-3&limit=0", [1]),  # clamped
        ("limit=100000", list(range(1, 51))),
    ],
)
def test_paging_parameters_are_robust(client, params, expected):
    assert row_ids(text(client.get("/?" + params))) == expected


# --- queries -----------------------------------------------------------------------------------


def query(client, q, **extra):
    return text(client.get("/", query_string={"query": q, "limit": 500, **extra}))


def test_good_queries(client):
    structures = sample_structures(N)
    cu = [i + 1 for i, (a, _, _) in enumerate(structures) if "Cu" in a.get_chemical_symbols()]
    page = query(client, "Cu")
    assert row_ids(page) == cu and f"Rows 1–{len(cu)} of {len(cu)} (50 in the database)" in page
    assert row_ids(query(client, "phase=wurtzite")) == [i for i in range(1, N) if i % 5 == 3]
    assert row_ids(query(client, "hv>2.0,phase=fcc", sort="-hv")) == [
        i for i in expected_order("hv", True) if structures[i - 1][1].get("hv", 0) > 2.0
    ]
    assert row_ids(query(client, "formula=CH4")) == [50]
    assert row_ids(query(client, "B,N,C")) == [6, 16, 26, 36, 46]  # the BC2N rows
    assert "No rows match" in query(client, "natoms>1000")


@pytest.mark.parametrize("bad", ["energy=abc", "formula<C8", "id=99999999999999999999999", "x" * 3000])
def test_bad_query_shows_a_message(client, bad):
    page = query(client, bad)
    assert 'id="query-error"' in page
    assert row_ids(page) == []
    if len(bad) <= 2000:
        assert html.escape(bad[:20]) in page  # the query is kept in the search box
    else:
        assert bad[:20] not in page  # a refused query is not echoed back


@pytest.mark.parametrize(
    "odd",
    ["'; DROP TABLE systems; --", "\x00", "<script>alert(1)</script>", "a,,b=", "=<>!", "Zz", "natoms<<3"],
)
def test_odd_queries_never_fail(client, db_path, odd):
    before = sha(db_path)
    response = client.get("/", query_string={"query": odd})
    assert response.status_code == 200
    assert "<script>alert" not in response.get_data(as_text=True)
    assert sha(db_path) == before


# --- the row page ------------------------------------------------------------------------------


def test_row_page_of_a_metal_with_results(client):
    atoms, kv, _ = sample_structures(N)[3]  # Cu with EMT energy, forces and stress
    page = text(client.get("/row/4"))
    assert '<h1 id="formula">Cu4' in page
    a = atoms.cell.cellpar()[0]
    assert f"{a:.4f}, {a:.4f}, {a:.4f} Å" in page and "90.000, 90.000, 90.000°" in page
    assert "TTT" in page
    energy = atoms.calc.results["energy"]
    assert f"<td>{energy:.4f} eV</td>" in page
    stress_gpa = atoms.calc.results["stress"] / units.GPa
    assert all(f"<td>{s:.3f}</td>" in page for s in stress_gpa)
    force = atoms.calc.results["forces"][0]
    assert all(f"<td>{f:.4f}</td>" in page for f in force)
    assert "<th>phase</th><td>fcc</td>" in page and "<th>step</th><td>3</td>" in page
    assert 'src="/row/4/image.png"' in page
    for fmt in ("poscar", "cif", "extxyz", "bcs"):
        assert f'href="/row/4/download/{fmt}"' in page


def test_row_page_data_keys_and_molecule(client):
    page = text(client.get("/row/1"))
    assert "<th>strain</th><td>array float64 5</td>" in page
    assert "Fx" not in page  # no forces stored
    page = text(client.get("/row/50"))
    assert "CH4" in page and "FFF" in page


def test_picture_is_a_png(client):
    response = client.get("/row/7/image.png")
    assert response.status_code == 200 and response.mimetype == "image/png"
    assert response.data.startswith(b"\x89PNG\r\n\x1a\n") and len(response.data) > 2000
    assert client.get("/row/7/image.png").data == response.data  # cached
    assert client.get("/row/50/image.png").status_code == 200


@pytest.mark.parametrize(
    "url",
    [
        "/row/0",
        "/row/51",
        "/row/99999999999999999999999",
        "/row/abc",
        "/row/4/download/docx",
        "/row/77/image.png",
        "/row/77/download/cif",
        "/nowhere",
    ],
)
def test_not_found(client, url):
    response = client.get(url)
    assert response.status_code == 404
    assert "404" in response.get_data(as_text=True)


# --- downloads ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "fmt, ase_format, suffix",
    [("poscar", "vasp", ".vasp"), ("cif", "cif", ".cif"), ("extxyz", "extxyz", ".extxyz")],
)
def test_downloads_read_back(client, fmt, ase_format, suffix):
    atoms = sample_structures(N)[2][0]  # w-BN
    response = client.get(f"/row/3/download/{fmt}")
    assert response.status_code == 200
    assert response.headers["Content-Disposition"] == f'attachment; filename="B2N2-3{suffix}"'
    stream = io.BytesIO(response.data) if fmt == "cif" else io.StringIO(response.data.decode())
    back = ase.io.read(stream, format=ase_format)
    assert back.get_chemical_symbols() == atoms.get_chemical_symbols()
    assert np.allclose(back.cell.cellpar(), atoms.cell.cellpar(), atol=1e-4)
    assert np.allclose(back.get_scaled_positions() % 1, atoms.get_scaled_positions() % 1, atol=1e-4)


def test_extxyz_download_keeps_energy(client):
    back = ase.io.read(io.StringIO(client.get("/row/4/download/extxyz").data.decode()), format="extxyz")
    assert back.get_potential_energy() == pytest.approx(sample_structures(N)[3][0].calc.results["energy"])


def test_download_that_cannot_be_written(client):
    response = client.get("/row/50/download/poscar")  # a molecule has no cell
    assert response.status_code == 422
    assert "cannot be written as POSCAR" in response.get_data(as_text=True)


def test_bcs_download(client, db_path):
    bcs = pytest.importorskip("corvane.io.bcs", reason="corvane.io.bcs (the BCS writer) is not built here")
    response = client.get("/row/2/download/bcs")  # c-BN, slightly rattled
    assert response.status_code == 200
    text = response.get_data(as_text=True)
    # The download is exactly what the writer makes of the stored structure.
    expected = io.StringIO()
    bcs.write_bcs(expected, ase.db.connect(str(db_path)).get(id=2).toatoms())
    assert text == expected.getvalue() and text.splitlines()[1].isdigit()
    back = bcs.read_bcs(io.StringIO(text))
    assert sorted(back.get_chemical_symbols()) == ["B"] * 4 + ["N"] * 4


def test_bcs_download_without_the_writer(client):
    with mock.patch.dict("sys.modules", {"corvane.io.bcs": None}):
        response = client.get("/row/2/download/bcs")
    assert response.status_code == 501
    assert "BCS writer is not available" in response.get_data(as_text=True)


# --- templates and static files ----------------------------------------------------------------


def test_template_and_static_overrides(db_path, tmp_path):
    templates, static = tmp_path / "templates", tmp_path / "static"
    templates.mkdir()
    static.mkdir()
    (templates / "table.html").write_text(
        "<p>custom {{ title }} {{ name }}: {{ total }} rows</p>"
        '{% for row in rows %}<i id="row-{{ row.id }}"></i>{% endfor %}'
    )
    (static / "style.css").write_text("body { color: red; }")
    app = ASEDBApp(str(db_path), templates=str(templates), static=str(static), title="Mine", name="proj")
    client = app.app.test_client()
    page = text(client.get("/?limit=5"))
    assert page.startswith("<p>custom Mine proj: 50 rows</p>") and row_ids(page) == [1, 2, 3, 4, 5]
    assert 'id="formula"' in text(client.get("/row/2"))  # row.html: the built-in one
    assert client.get("/static/style.css").data == b"body { color: red; }"
    assert b"addEventListener" in client.get("/static/table.js").data  # built-in fallback
    with pytest.raises(FileNotFoundError, match="templates folder"):
        ASEDBApp(str(db_path), templates=str(tmp_path / "absent"))
    with pytest.raises(FileNotFoundError, match="static folder"):
        ASEDBApp(str(db_path), static=str(tmp_path / "absent"))


@pytest.mark.parametrize(
    "url",
    [
        "/static/../app.py",
        "/static/..%2fapp.py",
        "/static/%2e%2e/app.py",
        "/static//etc/passwd",
        "/static/../../../../etc/passwd",
        "/static/nothing.css",
        "/static/",
    ],
)
def test_nothing_outside_static_is_served(client, url):
    response = client.get(url, follow_redirects=True)
    assert response.status_code == 404
    assert b"root:" not in response.data and b"import" not in response.data


# --- read-only ---------------------------------------------------------------------------------


def test_visiting_everything_leaves_the_file_unchanged(db_path, client):
    before = sha(db_path), db_path.stat().st_mtime_ns
    urls = ["/", "/?sort=-hv", "/?query=Cu", "/?query=energy=abc"]
    for i in (1, 4, 50):
        urls += [f"/row/{i}", f"/row/{i}/image.png"]
        urls += [f"/row/{i}/download/{fmt}" for fmt in ("poscar", "cif", "extxyz")]
    for url in urls:
        assert client.get(url).status_code in (200, 422)
    assert (sha(db_path), db_path.stat().st_mtime_ns) == before
    assert not list(db_path.parent.glob("*.lock"))


@pytest.mark.parametrize("method", ["post", "put", "delete", "patch"])
def test_only_reading_methods(client, method):
    response = getattr(client, method)("/row/1")
    assert response.status_code == 405


def test_sqlite_is_opened_read_only(viewer):
    with pytest.raises(Exception, match="readonly"):
        viewer.db.write(ase.Atoms("C"))


def test_missing_or_broken_database(tmp_path):
    missing = tmp_path / "missing.db"
    with pytest.raises(FileNotFoundError, match="No database file"):
        ASEDBApp(str(missing))
    assert not missing.exists()  # no empty database left behind
    junk = tmp_path / "junk.db"
    junk.write_bytes(b"not a database at all" * 10)
    before = sha(junk)
    with pytest.raises(ValueError, match="not a readable ASE database"):
        ASEDBApp(str(junk))
    empty = tmp_path / "empty.db"
    empty.touch()
    with pytest.raises(ValueError, match="not a readable ASE database"):
        ASEDBApp(str(empty))
    assert sha(junk) == before and empty.stat().st_size == 0


def test_json_database(tmp_path):
    path = make_database(tmp_path / "small.json", 6)
    before = sha(path)
    client = ASEDBApp(str(path)).app.test_client()
    assert row_ids(text(client.get("/?sort=-step"))) == [6, 5, 4, 3, 2, 1]
    assert "Cu4" in text(client.get("/row/4"))
    assert sha(path) == before


def test_new_keys_appear_when_the_file_changes(tmp_path):
    path = make_database(tmp_path / "grow.db", 3)
    app = ASEDBApp(str(path))
    client = app.app.test_client()
    assert "hardness" not in columns_of(text(client.get("/")))
    with ase.db.connect(str(path)) as db:  # another program adds a row
        db.write(ase.Atoms("C", cell=[2, 2, 2], pbc=True), hardness=90.0)
    page = text(client.get("/"))
    assert "hardness" in columns_of(page) and row_ids(page) == [1, 2, 3, 4]


# --- serving -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "host, loopback",
    [
        ("127.0.0.1", True),
        ("127.3.2.1", True),
        ("::1", True),
        ("[::1]", True),
        ("localhost", True),
        ("0.0.0.0", False),
        ("::", False),
        ("192.168.1.20", False),
        ("example.org", False),
        ("", False),
    ],
)
def test_loopback_hosts(host, loopback):
    assert _is_loopback(host) is loopback


@pytest.mark.parametrize("host, debugger", [("127.0.0.1", True), ("0.0.0.0", False)])
def test_run_turns_the_debugger_on_only_on_loopback(viewer, capsys, host, debugger):
    with mock.patch.object(viewer.app, "run") as run:
        viewer.run(host=host, port=5055)
    run.assert_called_once_with(host=host, port=5055, debug=True, use_debugger=debugger, use_reloader=True)
    out = capsys.readouterr().out
    assert ("Interactive debugger disabled" in out) is (not debugger)
    assert out.count("\n") == (0 if debugger else 1)


def test_run_server_uses_waitress(viewer, capsys):
    with mock.patch("waitress.serve") as serve:
        viewer.run_server(host="127.0.0.1", port=8123)
    serve.assert_called_once()
    assert serve.call_args.args == (viewer.app,)
    assert serve.call_args.kwargs["host"] == "127.0.0.1"
    assert serve.call_args.kwargs["port"] == 8123
    assert "http://127.0.0.1:8123/" in capsys.readouterr().out


def test_security_headers(client):
    headers = client.get("/").headers
    assert headers["X-Content-Type-Options"] == "nosniff"
    assert "default-src 'self'" in headers["Content-Security-Policy"]


def test_refused_long_query_is_not_echoed(client):
    query = "x" * 70_000
    page = client.get("/", query_string={"query": query})
    body = text(page)
    assert "70000 characters long" in body
    assert "xxxxxxxxxx" not in body and len(body) < 100_000


def test_query_with_words_the_parser_does_not_know(client):
    body = html.unescape(text(client.get("/", query_string={"query": "id=1 OR 1=1"})))
    assert "Bad query 'id=1 OR 1=1': each condition must be key" in body
    assert "unpack" not in body


def test_servers_refuse_ports_outside_the_tcp_range(viewer):
    for port in (99999, 0, -1, 80.5):
        with pytest.raises(ValueError, match="between 1 and 65535"):
            viewer.run_server(host="127.0.0.1", port=port)
        with pytest.raises(ValueError, match="between 1 and 65535"):
            viewer.run(host="127.0.0.1", port=port)
