"""A read-only web viewer of an ASE structure database.

``ASEDBApp(path)`` wraps a Flask application over ``ase.db.connect``: a table of the rows with
filtering in ASE's query syntax, sorting and paging, a page per row with its cell, energy, forces,
stress, key-value pairs, a picture and downloads in common structure formats.

    app = ASEDBApp("candidates.db", title="BCN candidates")
    app.run_server(host="127.0.0.1", port=8080)     # waitress
    app.run(host="127.0.0.1", port=5000)            # Flask's development server, debug mode

The application never writes to the database: SQLite files are opened read-only, and every
route answers GET/HEAD only.
"""

from .app import DOWNLOAD_FORMATS, ASEDBApp

__all__ = ["ASEDBApp", "DOWNLOAD_FORMATS"]
