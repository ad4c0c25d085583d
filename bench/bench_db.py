"""Load check of the database viewer: requests per second with 8 concurrent clients on loopback,
waitress (`run_server`, what `corvane pelvaro` serves with) against Flask's threaded development
server as the baseline. Every answer must be 200 with the right page.

    .venv/bin/python bench/bench_db.py [--requests 2000] [--clients 8]
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import urllib.error
import urllib.request
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from db_samples import make_database  # noqa: E402

SERVE = """
import sys
from corvane.data.db import ASEDBApp
app = ASEDBApp(sys.argv[1])
if sys.argv[2] == "waitress":
    app.run_server(host="127.0.0.1", port=int(sys.argv[3]))
else:  # the baseline: Flask's threaded development server, no debug
    app.app.run(host="127.0.0.1", port=int(sys.argv[3]), threaded=True)
"""


def fetch(url):
    try:
        with urllib.request.urlopen(url, timeout=30) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def free_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def measure(kind, db, n_requests, n_clients, nrows):
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as f:
        f.write(textwrap.dedent(SERVE))
    process = subprocess.Popen(
        [sys.executable, f.name, str(db), kind, str(port)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        start_new_session=True,
    )
    try:
        for _ in range(300):
            try:
                fetch(base + "/")
                break
            except OSError:
                time.sleep(0.1)
        formulas = {
            i: re.search(rb'<h1 id="formula">(\S+)', fetch(f"{base}/row/{i}")[1])[1]
            for i in range(1, nrows + 1)
        }
        jobs = []
        for k in range(n_requests):
            if k % 2:
                row = k % nrows + 1
                jobs.append((f"/row/{row}", b'<h1 id="formula">' + formulas[row]))
            else:
                page = k // 2 % 5 + 1
                jobs.append((f"/?limit=10&page={page}", f'id="row-{(page - 1) * 10 + 1}"'.encode()))

        def one(job):
            status, body = fetch(base + job[0])
            return status == 200 and job[1] in body

        start = time.perf_counter()
        with ThreadPoolExecutor(max_workers=n_clients) as pool:
            good = sum(pool.map(one, jobs))
        elapsed = time.perf_counter() - start
    finally:
        os.killpg(process.pid, signal.SIGTERM)
        process.wait()
        os.unlink(f.name)
    if good != n_requests:
        raise SystemExit(f"{kind}: only {good} of {n_requests} answers were right")
    return n_requests / elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=2000)
    parser.add_argument("--clients", type=int, default=8)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        db = make_database(Path(tmp) / "bench.db", 50)
        baseline = measure("flask", db, args.requests, args.clients, 50)
        served = measure("waitress", db, args.requests, args.clients, 50)
    print(f"development server (baseline): {baseline:.0f} requests/s")
    print(
        f"run_server (waitress): {served:.0f} requests/s, {served / baseline:.2f}x the baseline "
        f"({args.requests} requests, {args.clients} clients, all 200 and right)"
    )


if __name__ == "__main__":
    main()
