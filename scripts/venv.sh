# Sourced by the run scripts: finds Python 3.12 and makes the virtual environment in $VENV.
set -euo pipefail
find_python() {
    if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
    if python3.12 -c '' >/dev/null 2>&1; then command -v python3.12; return; fi
    if command -v pyenv >/dev/null 2>&1; then
        for p in "$(pyenv root)"/versions/3.12*/bin/python3.12; do
            [ -x "$p" ] && { echo "$p"; return; }
        done
    fi
    echo "Python 3.12 not found; set PYTHON=/path/to/python3.12" >&2
    return 1
}
PY=$(find_python)
if [ ! -x "$VENV/bin/python" ]; then
    "$PY" -m venv "$VENV"
    "$VENV/bin/python" -m pip install --quiet --upgrade pip
fi
