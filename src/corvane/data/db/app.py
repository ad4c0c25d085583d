"""The Flask application behind ``corvane.data.db.ASEDBApp``."""

from __future__ import annotations

import datetime
import io
import ipaddress
import math
import numbers
import os
import re
import sqlite3
import threading
import time
from collections import OrderedDict
from pathlib import Path
from urllib.parse import urlencode

import ase.db
import ase.io
import numpy as np
from ase import units
from ase.db.core import T2000, YEAR, Database
from ase.db.sqlite import SQLite3Database
from flask import Flask, Response, abort, render_template, request, send_from_directory
from jinja2 import ChoiceLoader, FileSystemLoader
from werkzeug.exceptions import HTTPException

HERE = Path(__file__).resolve().parent
BUILTIN_TEMPLATES = HERE / "templates"
BUILTIN_STATIC = HERE / "static"

#: Columns every row has (besides its key-value pairs): name -> (header, unit).
STANDARD_COLUMNS = {
    "id": ("ID", ""),
    "formula": ("Formula", ""),
    "natoms": ("Atoms", ""),
    "energy": ("Energy", "eV"),
    "fmax": ("Max. force", "eV/Å"),
    "smax": ("Max. stress", "eV/Å³"),
    "volume": ("Volume", "Å³"),
    "mass": ("Mass", "amu"),
    "charge": ("Charge", "|e|"),
    "magmom": ("Magnetic moment", "μB"),
    "pbc": ("PBC", ""),
    "calculator": ("Calculator", ""),
    "user": ("User", ""),
    "age": ("Created", ""),
    "unique_id": ("Unique ID", ""),
}

#: Download formats of the row page: name -> (label, ASE format, file suffix, binary stream).
#: "bcs" is written by corvane.io.bcs instead of ASE.
DOWNLOAD_FORMATS = {
    "poscar": ("POSCAR", "vasp", ".vasp", False),
    "cif": ("CIF", "cif", ".cif", True),
    "extxyz": ("extended XYZ", "extxyz", ".extxyz", False),
    "bcs": ("BCS", None, ".bcs", False),
}

PAGE_SIZES = (10, 25, 50, 100, 200)
DEFAULT_PAGE_SIZE = 25
MAX_PAGE_SIZE = 500
MAX_QUERY_LENGTH = 2000
MAX_LISTED_ATOMS = 500  # atoms listed one by one on a row page
DEFAULT_KEY_COLUMNS = 12  # key-value columns shown when no columns are chosen
IMAGE_CACHE_SIZE = 256


def _is_loopback(host) -> bool:
    """True for "localhost" and loopback IP addresses (127.0.0.0/8, ::1)."""
    text = str(host).strip().strip("[]")
    if text.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(text).is_loopback
    except ValueError:
        return False


def _open_database(db):
    """Connects to ``db`` (a path, a database URL or an open ASE database) for reading only."""
    if isinstance(db, Database):
        return db, getattr(db, "filename", None) or "database"
    name = os.fspath(db)
    if not isinstance(name, str):
        raise TypeError(f"expected a database path, got {type(db).__name__}")
    if "://" in name:  # a server database: its own permissions apply
        return ase.db.connect(name, use_lock_file=False, create_indices=False), name
    path = Path(name).expanduser()
    if not path.is_file():
        # ase.db.connect would create an empty database here; a viewer must not.
        raise FileNotFoundError(f"No database file {name!r}")
    connection = ase.db.connect(str(path), use_lock_file=False, create_indices=False)
    if isinstance(connection, SQLite3Database):
        uri = path.resolve().as_uri() + "?mode=ro"
        local = threading.local()

        def connect_read_only():
            # One read-only connection per server thread, kept open: ASE uses a connection as
            # a transaction context and never closes it, so reusing it only saves the opening.
            con = getattr(local, "connection", None)
            if con is None:
                con = local.connection = sqlite3.connect(uri, uri=True, timeout=20)
            return con

        connection._connect = connect_read_only
    return connection, str(path)


def _is_number(value) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def _format_value(value) -> str:
    """The text of a table cell."""
    if value is None:
        return ""
    if isinstance(value, (bool, np.bool_)):
        return "true" if value else "false"
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if _is_number(value):
        value = float(value)
        if not math.isfinite(value):
            return str(value)
        if value != 0 and (abs(value) >= 1e6 or abs(value) < 1e-3):
            return f"{value:.4e}"
        return f"{value:.4f}"
    if isinstance(value, np.ndarray):
        return " ".join(_format_value(v) for v in value.ravel()[:12])
    return str(value)


def _ctime_text(ctime) -> str:
    if ctime is None:
        return ""
    moment = datetime.datetime.fromtimestamp(T2000 + ctime * YEAR)
    return moment.strftime("%Y-%m-%d %H:%M")


def _row_value(row, column):
    """The value of a column for one row (None when the row does not have it)."""
    if column == "formula":
        return row.formula
    if column == "age":
        return row.get("ctime")
    if column == "pbc":
        pbc = row.get("pbc")
        return None if pbc is None else "".join("T" if p else "F" for p in pbc)
    if column == "user":
        return row.get("user")
    try:
        return row.get(column)
    except Exception:  # a derived property that cannot be formed for this row
        return None


def _sort_key(value):
    """Numbers before text; missing values are kept apart by the caller."""
    if isinstance(value, (bool, np.bool_)):
        return (0, float(value), "")
    if _is_number(value):
        return (0, float(value), "")
    if isinstance(value, str):
        return (1, 0.0, value)
    return (2, 0.0, str(value))


def _missing(value) -> bool:
    return value is None or (_is_number(value) and math.isnan(float(value)))


def _port(port) -> int:
    """The port as a number of the TCP range; servers would otherwise take it modulo 65536
    and listen on another port than the one announced."""
    try:
        number = int(port)
    except (TypeError, ValueError):
        raise ValueError(f"port must be a number, got {port!r}") from None
    if (isinstance(port, float) and number != port) or not 1 <= number <= 65535:
        raise ValueError(f"port {port!r}: a port number must be between 1 and 65535")
    return number


def _query_problem(exc) -> str:
    """What was wrong with a query, in words a user can act on. ASE's parser splits each
    comma-separated condition at its operator and fails on anything else with Python's own
    unpacking messages."""
    text = str(exc)
    if isinstance(exc, ValueError) and ("values to unpack" in text or "unpack" in text):
        return (
            "each condition must be key, key=value or key<value (also <=, >, >=, !=), "
            "conditions joined by commas; words such as OR and AND are not understood"
        )
    return text


def _int_arg(args, name, default, lowest, highest):
    """An integer query parameter clamped to [lowest, highest]; default when absent or bad."""
    text = args.get(name, "")
    try:
        value = int(text)
    except (TypeError, ValueError):
        return default
    return max(lowest, min(highest, value))


class ASEDBApp:
    """A read-only web viewer of an ASE database.

    db: path of the database file (SQLite ``.db`` or ASE's ``.json``), a database URL, or an
        open ``ase.db`` database.
    name: project name shown on every page.
    templates: a folder of Jinja templates (base.html, table.html, row.html, error.html) searched
        before the built-in ones; a template missing there comes from the built-in set.
    static: a folder of static files searched before the built-in ones (style.css, table.js).
    default_columns: the table's columns when the visitor has not chosen any; None or an empty
        list gives id, formula, energy and the key-value pairs present.
    title: the title shown on every page.
    """

    def __init__(
        self, db, name="default", templates=None, static=None, default_columns=None, title="Corvane"
    ):
        self.db, self.path = _open_database(db)
        self.name = str(name)
        self.title = str(title)
        self.templates = self._folder(templates, "templates")
        self.static = self._folder(static, "static")
        self.static_folders = [f for f in (self.static, BUILTIN_STATIC) if f is not None]
        if default_columns is not None and not isinstance(default_columns, (list, tuple)):
            raise TypeError("default_columns must be a list of column names or None")
        self.default_columns = [str(c) for c in default_columns] if default_columns else None
        try:
            self.nrows = self.db.count()  # reads the file now: a broken one fails here
        except Exception as exc:
            raise ValueError(f"{self.path} is not a readable ASE database: {exc}") from exc
        self._keys_cache = (None, [])
        self._keys_lock = threading.Lock()
        self._images = OrderedDict()
        self._images_lock = threading.Lock()
        self.app = self._make_flask()

    # ------------------------------------------------------------------------------------------
    # set-up

    @staticmethod
    def _folder(folder, what):
        if folder is None:
            return None
        path = Path(folder).expanduser()
        if not path.is_dir():
            raise FileNotFoundError(f"The {what} folder {str(folder)!r} does not exist")
        return path.resolve()

    def _make_flask(self):
        app = Flask(__name__, static_folder=None, template_folder=None)
        loaders = [FileSystemLoader(str(BUILTIN_TEMPLATES))]
        if self.templates is not None:
            loaders.insert(0, FileSystemLoader(str(self.templates)))
        app.jinja_loader = ChoiceLoader(loaders)
        app.add_url_rule("/", "table", self._table_view)
        app.add_url_rule("/row/<int:row_id>", "row", self._row_view)
        app.add_url_rule("/row/<int:row_id>/image.png", "image", self._image_view)
        app.add_url_rule("/row/<int:row_id>/download/<fmt>", "download", self._download_view)
        app.add_url_rule("/static/<path:filename>", "static", self._static_view)
        app.register_error_handler(HTTPException, self._http_error)
        app.after_request(self._security_headers)
        app.context_processor(lambda: {"title": self.title, "name": self.name})
        return app

    @property
    def flask(self):
        """The underlying Flask application (a WSGI callable)."""
        return self.app

    def __call__(self, environ, start_response):
        return self.app(environ, start_response)

    # ------------------------------------------------------------------------------------------
    # serving

    def run(self, host="127.0.0.1", port=5000, debug=True):
        """Serves with Flask's development server.

        Werkzeug's interactive debugger runs code typed into an error page, so it is turned on
        only when ``host`` is a loopback address; on any other host the server runs in debug mode
        without it (reloader on, tracebacks in the log only)."""
        port = _port(port)
        debugger = bool(debug) and _is_loopback(host)
        if debug and not debugger and os.environ.get("WERKZEUG_RUN_MAIN") != "true":
            print(
                f"Interactive debugger disabled: {host} is not a loopback address "
                "(reloader on, tracebacks go to the log).",
                flush=True,
            )
        self.app.run(host=host, port=port, debug=bool(debug), use_debugger=debugger, use_reloader=bool(debug))

    def run_server(self, host="127.0.0.1", port=5000, threads=8):
        """Serves with waitress, a production WSGI server; returns when it stops."""
        from waitress import serve

        port = _port(port)
        shown = f"[{host}]" if ":" in str(host) else host
        print(
            f"Serving {self.title!r} ({self.path}, {self.nrows} rows) at "
            f"http://{shown}:{port}/ (Ctrl+C to stop)",
            flush=True,
        )
        serve(self.app, host=host, port=port, threads=threads, ident="corvane")

    # ------------------------------------------------------------------------------------------
    # database access

    def key_columns(self):
        """Key-value keys present in the database, sorted (re-read when the file changes)."""
        filename = getattr(self.db, "filename", None)
        if isinstance(filename, str) and os.path.isfile(filename):
            st = os.stat(filename)
            stamp = (st.st_mtime_ns, st.st_size)
        else:  # a server database: look again every half minute
            stamp = ("clock", int(time.monotonic() // 30))
        with self._keys_lock:
            cached_stamp, keys = self._keys_cache
            if stamp == cached_stamp:
                return keys
            found = set()
            for row in self.db.select(include_data=False, columns=["key_value_pairs"]):
                found.update(row.get("key_value_pairs", {}) or {})
            keys = sorted(found)
            self._keys_cache = (stamp, keys)
            return keys

    def available_columns(self):
        return list(STANDARD_COLUMNS) + [k for k in self.key_columns() if k not in STANDARD_COLUMNS]

    def columns_for(self, requested):
        """The columns of a table page: the visitor's choice, else the defaults."""
        available = set(self.available_columns())
        if requested:
            chosen = [c for c in dict.fromkeys(requested.split(",")) if c in available]
            if chosen:
                return chosen
        if self.default_columns:
            return list(self.default_columns)
        return ["id", "formula", "energy"] + [k for k in self.key_columns() if k not in STANDARD_COLUMNS][
            :DEFAULT_KEY_COLUMNS
        ]

    def select_page(self, query, sort, page, limit):
        """(rows of the page, number of matching rows). Raises on a bad query."""
        selection = query or None
        descending = sort.startswith("-")
        column = sort.lstrip("-") or "id"
        if column == "id":
            total = self.db.count(selection)
            rows = list(
                self.db.select(
                    selection,
                    include_data=False,
                    limit=limit,
                    offset=(page - 1) * limit,
                    sort="-id" if descending else "id",
                )
            )
            return rows, total
        rows = list(self.db.select(selection, include_data=False, sort="id"))
        present, absent = [], []
        for row in rows:
            value = _row_value(row, column)
            (absent if _missing(value) else present).append((_sort_key(value), row))
        present.sort(key=lambda pair: pair[0], reverse=descending)  # stable: ties stay by id
        ordered = [row for _, row in present] + [row for _, row in absent]
        start = (page - 1) * limit
        return ordered[start : start + limit], len(ordered)

    def get_row(self, row_id, include_data=True):
        try:
            return self.db.get(id=row_id, include_data=include_data)
        except (KeyError, OverflowError, ValueError):
            abort(404, description=f"There is no row {row_id} in this database.")

    # ------------------------------------------------------------------------------------------
    # views

    def _table_view(self):
        args = request.args
        query = args.get("query", "").strip()
        limit = _int_arg(args, "limit", DEFAULT_PAGE_SIZE, 1, MAX_PAGE_SIZE)
        page = _int_arg(args, "page", 1, 1, 10**9)
        columns = self.columns_for(args.get("columns", ""))
        sort = args.get("sort", "id")
        if sort.lstrip("-") not in self.available_columns():
            sort = "id"
        error = None
        rows, total = [], 0
        if len(query) > MAX_QUERY_LENGTH:
            error = (
                f"The query is {len(query)} characters long; queries of up to "
                f"{MAX_QUERY_LENGTH} characters are accepted."
            )
            query = ""  # refused, so not echoed back into the page and every link on it
        else:
            try:
                rows, total = self.select_page(query, sort, page, limit)
                pages = max(1, -(-total // limit))
                if page > pages:  # past the end: show the last page
                    page = pages
                    rows, total = self.select_page(query, sort, page, limit)
            except Exception as exc:  # ASE's parser and the database raise many kinds
                error = f"Bad query {query!r}: {_query_problem(exc)}" if query else f"Database error: {exc}"
                rows, total = [], 0
        pages = max(1, -(-total // limit))

        state = {"query": query, "sort": sort, "limit": limit, "page": page, "columns": ",".join(columns)}

        def url(**change):
            params = dict(state, **change)
            params = {k: v for k, v in params.items() if v not in ("", None) and not (k == "page" and v == 1)}
            return "?" + urlencode(params)

        headers = []
        for column in columns:
            label, unit = STANDARD_COLUMNS.get(column, (column, ""))
            current = sort.lstrip("-") == column
            descending = sort.startswith("-")
            target = f"-{column}" if current and not descending else column
            headers.append(
                {
                    "name": column,
                    "label": label,
                    "unit": unit,
                    "sorted": ("desc" if descending else "asc") if current else "",
                    "url": url(sort=target, page=1),
                }
            )
        table = []
        for row in rows:
            cells = []
            for column in columns:
                value = _row_value(row, column)
                cells.append(_ctime_text(value) if column == "age" else _format_value(value))
            table.append({"id": row.id, "cells": cells})
        window = sorted({1, pages, *range(max(1, page - 2), min(pages, page + 2) + 1)})
        pager = [{"number": n, "url": url(page=n), "current": n == page} for n in window]
        return render_template(
            "table.html",
            rows=table,
            headers=headers,
            total=total,
            nrows=self.db.count() if query and not error else None,
            query=query,
            error=error,
            page=page,
            pages=pages,
            limit=limit,
            page_sizes=PAGE_SIZES,
            pager=pager,
            sort=sort,
            prev_url=url(page=page - 1) if page > 1 else None,
            next_url=url(page=page + 1) if page < pages else None,
            columns=columns,
            available=self.available_columns(),
            first=(page - 1) * limit + 1 if total else 0,
            last=(page - 1) * limit + len(rows),
        )

    def _row_view(self, row_id):
        row = self.get_row(row_id)
        atoms = row.toatoms()
        natoms = len(atoms)
        cell = np.asarray(atoms.cell)
        cellpar = atoms.cell.cellpar() if natoms or cell.any() else np.zeros(6)
        periodic = "".join("T" if p else "F" for p in atoms.pbc)
        volume = abs(float(np.linalg.det(cell))) if atoms.pbc.all() else None
        forces = row.get("forces")
        stress = row.get("stress")
        listed = []
        for i in range(min(natoms, MAX_LISTED_ATOMS)):
            listed.append(
                {
                    "index": i,
                    "symbol": atoms[i].symbol,
                    "position": atoms.positions[i],
                    "force": None if forces is None else forces[i],
                }
            )
        key_values = sorted((row.get("key_value_pairs") or {}).items())
        data = []
        for key, value in sorted((row.get("data") or {}).items()):
            if isinstance(value, np.ndarray):
                kind = f"array {value.dtype} {'×'.join(map(str, value.shape)) or 'scalar'}"
            else:
                kind = type(value).__name__
            data.append((key, kind))
        properties = []
        for column in (
            "energy",
            "fmax",
            "smax",
            "charge",
            "magmom",
            "mass",
            "calculator",
            "user",
            "unique_id",
        ):
            value = _row_value(row, column)
            if value is not None:
                label, unit = STANDARD_COLUMNS[column]
                properties.append((label, _format_value(value), unit))
        properties.append(("Created", _ctime_text(row.get("ctime")), ""))
        return render_template(
            "row.html",
            row_id=row.id,
            formula=row.formula,
            natoms=natoms,
            cell=cell,
            cellpar=cellpar,
            periodic=periodic,
            volume=volume,
            stress=stress,
            stress_gpa=None if stress is None else np.asarray(stress) / units.GPa,
            has_forces=forces is not None,
            atoms=listed,
            listed=len(listed),
            properties=properties,
            key_values=key_values,
            data=data,
            calculator_parameters=sorted((row.get("calculator_parameters") or {}).items()),
            formats=[(key, spec[0]) for key, spec in DOWNLOAD_FORMATS.items()],
        )

    def _image_view(self, row_id):
        row = self.get_row(row_id, include_data=False)
        key = (row.id, row.get("mtime"))
        with self._images_lock:
            png = self._images.get(key)
            if png is not None:
                self._images.move_to_end(key)
        if png is None:
            png = render_png(row.toatoms())
            with self._images_lock:
                self._images[key] = png
                while len(self._images) > IMAGE_CACHE_SIZE:
                    self._images.popitem(last=False)
        return Response(png, mimetype="image/png", headers={"Cache-Control": "public, max-age=300"})

    def _download_view(self, row_id, fmt):
        if fmt not in DOWNLOAD_FORMATS:
            abort(
                404,
                description=f"Unknown download format {fmt!r}; choose one of {', '.join(DOWNLOAD_FORMATS)}.",
            )
        row = self.get_row(row_id, include_data=False)
        atoms = row.toatoms()
        label, ase_format, suffix, binary = DOWNLOAD_FORMATS[fmt]
        if fmt == "bcs":
            try:
                from corvane.io.bcs import write_bcs
            except ImportError as exc:
                abort(501, description=f"The BCS writer is not available: {exc}")
            buffer = io.StringIO()
            try:
                write_bcs(buffer, atoms)
            except Exception as exc:
                abort(422, description=f"Row {row_id} cannot be written as BCS: {exc}")
            content = buffer.getvalue()
            if not content:
                abort(
                    422, description=f"Row {row_id} cannot be written as BCS: the symmetry analysis failed."
                )
        else:
            buffer = io.BytesIO() if binary else io.StringIO()
            try:
                ase.io.write(buffer, atoms, format=ase_format)
            except Exception as exc:
                abort(422, description=f"Row {row_id} cannot be written as {label}: {exc}")
            content = buffer.getvalue()
        stem = re.sub(r"[^A-Za-z0-9_-]", "", row.formula) or "structure"
        filename = f"{stem}-{row.id}{suffix}"
        return Response(
            content,
            mimetype="text/plain",
            headers={"Content-Disposition": f'attachment; filename="{filename}"'},
        )

    def _static_view(self, filename):
        for folder in self.static_folders:
            # send_from_directory refuses any path that leaves the folder.
            try:
                return send_from_directory(folder, filename, max_age=300)
            except HTTPException as exc:
                if exc.code != 404:
                    raise
        abort(404, description="No such file.")

    def _http_error(self, exc):
        if exc.code is None or exc.code < 400:
            return exc
        response = Response(
            render_template("error.html", code=exc.code, reason=exc.name, message=exc.description),
            status=exc.code,
        )
        if exc.code == 405:
            response.headers["Allow"] = "GET, HEAD"
        return response

    @staticmethod
    def _security_headers(response):
        response.headers.setdefault("X-Content-Type-Options", "nosniff")
        response.headers.setdefault("X-Frame-Options", "DENY")
        response.headers.setdefault("Referrer-Policy", "same-origin")
        response.headers.setdefault(
            "Content-Security-Policy",
            "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'",
        )
        return response


def render_png(atoms, size=4.5, dpi=100) -> bytes:
    """A picture of a structure (PNG bytes), drawn with ASE on a matplotlib figure."""
    from ase.visualize.plot import plot_atoms_raw
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(size, size), dpi=dpi)
    FigureCanvasAgg(figure)
    ax = figure.add_axes((0.02, 0.02, 0.96, 0.96))
    ax.set_axis_off()
    if len(atoms) == 0:
        ax.text(0.5, 0.5, "no atoms", ha="center", va="center", transform=ax.transAxes)
    else:
        plot_atoms_raw(
            atoms, ax, rotation="-75x,-20y,0z", radii=0.5, show_unit_cell=2 if atoms.cell.rank == 3 else 0
        )
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    return buffer.getvalue()
