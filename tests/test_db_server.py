"""The database viewer served for real on loopback: `corvane pelvaro` with waitress driven by
headless Chromium, a concurrent load check, and the development server's error pages."""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
import urllib.error
import urllib.request
from concurrent.futures import ThreadPoolExecutor

import pytest
from db_samples import make_database, sample_structures

N = 50


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fetch(url, timeout=10):
    """(status, body) of a GET; HTTP errors are answers too."""
    try:
        with urllib.request.urlopen(url, timeout=timeout) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def start(argv, url, timeout=60):
    """Starts a server process in its own process group and waits until url answers."""
    process = subprocess.Popen(
        argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True, text=True
    )
    # Collected as it comes: a threaded server may log a request after answering it.
    process.lines = []
    process.reader = threading.Thread(target=lambda: process.lines.extend(process.stdout), daemon=True)
    process.reader.start()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            process.reader.join(10)
            raise RuntimeError(f"server exited early:\n{''.join(process.lines)}")
        try:
            fetch(url, timeout=2)
            return process
        except OSError:
            time.sleep(0.2)
    stop(process)
    raise RuntimeError(f"server did not answer at {url} within {timeout} s")


def stop(process):
    """Ends the server (and a reloader's child, which shares its group); returns its output."""
    if process.poll() is None:
        os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    process.reader.join(10)
    return "".join(process.lines)


def wait_for_output(process, text, timeout=10):
    """Waits until the server has written `text` (or the timeout passes)."""
    deadline = time.monotonic() + timeout
    while text not in "".join(process.lines) and time.monotonic() < deadline:
        time.sleep(0.05)


@pytest.fixture(scope="module")
def db_path(tmp_path_factory):
    return make_database(tmp_path_factory.mktemp("served") / "structures.db", N)


@pytest.fixture(scope="module")
def server(db_path):
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    process = start(
        [
            sys.executable,
            "-m",
            "corvane",
            "pelvaro",
            str(db_path),
            "--host",
            "127.0.0.1",
            "--port",
            str(port),
            "--title",
            "BCN candidates",
            "--name",
            "e2e",
        ],
        base + "/",
    )
    yield base
    output = stop(process)
    assert f"at http://127.0.0.1:{port}/" in output


# --- headless Chromium -------------------------------------------------------------------------

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


@pytest.mark.skipif(
    CHROMIUM is None, reason="Chromium is not installed (apt-get install -y chromium chromium-driver)"
)
def test_browser_table_row_and_picture(server, tmp_path):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as ec
    from selenium.webdriver.support.ui import WebDriverWait

    driver_path = shutil.which("chromedriver")
    assert driver_path, "chromium is installed but chromedriver is not (Debian: chromium-driver)"
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in (
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--window-size=1280,1000",
    ):
        options.add_argument(flag)
    browser = webdriver.Chrome(service=Service(driver_path), options=options)
    shots = os.environ.get("CORVANE_SCREENSHOTS")
    try:
        wait = WebDriverWait(browser, 20)
        browser.get(server + "/")
        assert browser.title == "BCN candidates · e2e"
        rows = browser.find_elements(By.CSS_SELECTOR, "#rows tbody tr")
        assert len(rows) == 25
        browser.save_screenshot(str(tmp_path / "table.png"))

        # Filter, then click a row outside its link: the script opens the row page.
        box = browser.find_element(By.ID, "query")
        box.send_keys("phase=wurtzite")
        box.submit()
        wait.until(ec.url_contains("query=phase"))
        rows = browser.find_elements(By.CSS_SELECTOR, "#rows tbody tr")
        assert [r.get_attribute("id") for r in rows] == [f"row-{i}" for i in range(1, N) if i % 5 == 3]
        rows[1].find_elements(By.TAG_NAME, "td")[1].click()
        wait.until(ec.url_matches(r"/row/8$"))

        atoms = sample_structures(N)[7][0]
        heading = browser.find_element(By.ID, "formula").text
        assert heading.startswith("B2N2") and "row 8" in heading
        a, _, c = atoms.cell.cellpar()[:3]
        assert f"{a:.4f}" in browser.find_element(By.ID, "structure").text
        assert f"{c:.4f}" in browser.find_element(By.ID, "structure").text
        image = browser.find_element(By.ID, "structure-image")
        wait.until(
            lambda b: b.execute_script("return arguments[0].complete && arguments[0].naturalWidth > 0", image)
        )
        assert browser.execute_script("return arguments[0].naturalWidth", image) == 450
        links = browser.find_elements(By.CSS_SELECTOR, "#downloads a")
        assert [link.text for link in links] == ["POSCAR", "CIF", "extended XYZ", "BCS"]
        assert browser.get_screenshot_as_png().startswith(b"\x89PNG")
        browser.save_screenshot(str(tmp_path / "row.png"))
        if shots:  # keep the pictures to look at
            for name in ("table.png", "row.png"):
                shutil.copy(tmp_path / name, os.path.join(shots, name))
    finally:
        browser.quit()


# --- load --------------------------------------------------------------------------------------


def test_concurrent_load(server, capsys):
    """2,000 requests from 8 concurrent clients: every one answers 200 with the right page."""
    structures = sample_structures(N)
    formulas = {}
    for i in range(1, N + 1):
        status, body = fetch(f"{server}/row/{i}")
        formulas[i] = re.search(rb'<h1 id="formula">(\S+)', body)[1]
    jobs = []
    for k in range(2000):
        if k % 2:
            row = k % N + 1
            jobs.append(
                (
                    f"/row/{row}",
                    [
                        b'<h1 id="formula">'
                        + formulas[row]
                        + b" <small>row "
                        + str(row).encode()
                        + b"</small>"
                    ],
                )
            )
        else:
            page = k // 2 % 5 + 1
            first = (page - 1) * 10 + 1
            jobs.append(
                (f"/?limit=10&page={page}", [f'id="row-{i}"'.encode() for i in range(first, first + 10)])
            )
    assert formulas[2].startswith(b"B4N4") and structures[1][1]["phase"] == "cubic"

    failures = []
    lock = threading.Lock()

    def one(job):
        url, needles = job
        status, body = fetch(server + url)
        if status != 200 or not all(n in body for n in needles):
            with lock:
                failures.append((url, status))

    start_time = time.perf_counter()
    with ThreadPoolExecutor(max_workers=8) as pool:
        list(pool.map(one, jobs))
    elapsed = time.perf_counter() - start_time
    assert failures == []
    with capsys.disabled():
        print(f"\nload: 2000 requests, 8 clients: {2000 / elapsed:.0f} requests/s ({elapsed:.2f} s)")


# --- the development server's error pages ------------------------------------------------------

FAILING_APP = """
import sys
from corvane.data.db import ASEDBApp

app = ASEDBApp(sys.argv[1])

@app.app.route("/boom")
def boom():
    raise RuntimeError("deliberate failure")

app.run(host=sys.argv[2], port=int(sys.argv[3]), debug=True)
"""


@pytest.mark.parametrize("host, debugger", [("0.0.0.0", False), ("127.0.0.1", True)])
def test_debug_error_page(db_path, tmp_path, host, debugger):
    """--debug on every interface: a failing request shows no debugger console, no traceback;
    on loopback the debugger is there (which shows the first check can fail)."""
    script = tmp_path / "serve_failing.py"
    script.write_text(textwrap.dedent(FAILING_APP))
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    process = start([sys.executable, str(script), str(db_path), host, str(port)], base + "/")
    try:
        assert fetch(base + "/")[0] == 200
        status, body = fetch(base + "/boom")
        assert status == 500
        console_status, _ = fetch(base + "/console")
        resource_status, resource = fetch(base + "/?__debugger__=yes&cmd=resource&f=debugger.js")
        if not debugger:
            wait_for_output(process, "RuntimeError: deliberate failure")
    finally:
        output = stop(process)
    markers = (b"__debugger__", b"Werkzeug Debugger", b"deliberate failure", b"Traceback")
    if debugger:
        assert all(m in body for m in markers)
        assert resource_status == 200 and not resource.startswith(b"<!doctype html>")
        assert "Interactive debugger disabled" not in output
    else:
        assert not any(m in body for m in markers)
        assert console_status == 404
        assert resource_status == 200 and resource.startswith(b"<!doctype html>")  # the table
        assert output.count("Interactive debugger disabled: 0.0.0.0 is not a loopback") == 1
        assert "RuntimeError: deliberate failure" in output  # the traceback went to the log
