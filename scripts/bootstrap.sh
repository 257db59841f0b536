# Sourced by the other scripts: finds python3.12, makes or reuses .venv, installs the tools (pyproject.toml's
# `dev` group) and builds and installs the module into it. Leaves ROOT, VENV, VENV_PYTHON and PYTHONPATH (the
# stand-ins) set, and SABLEWICK_READY exported, so that the scripts it runs do not set up again.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

find_python() {
    if [ -n "${PYTHON:-}" ]; then
        command -v "$PYTHON" || { echo "PYTHON=$PYTHON is not an executable" >&2; return 1; }
        return 0
    fi
    local found=""
    if command -v pyenv >/dev/null 2>&1; then
        for candidate in "$(pyenv root)"/versions/3.12.*/bin/python3.12; do
            [ -x "$candidate" ] && found=$candidate
        done
    fi
    if [ -z "$found" ] && command -v python3.12 >/dev/null 2>&1 && python3.12 -c '' >/dev/null 2>&1; then
        found=$(command -v python3.12)
    fi
    if [ -z "$found" ]; then
        echo "error: python3.12 not found (set PYTHON, or install CPython 3.12 with pyenv)" >&2
        return 1
    fi
    echo "$found"
}

quiet_pip() {
    # pip's notes about absent local indexes are noise here; its exit status is kept.
    "$VENV_PYTHON" -m pip "$@" 2>&1 | { grep -v -E '^WARNING: Location .* is ignored' || true; }
}

VENV="$ROOT/.venv"
VENV_PYTHON="$VENV/bin/python"
# A script run by another that has set up already (scripts/test) skips the set-up.
if [ "${SABLEWICK_READY:-}" != "$ROOT" ]; then
    PY=$(find_python)
    "$PY" -c 'import sys; assert sys.version_info[:2] == (3, 12), sys.version' ||
        { echo "error: $PY is not CPython 3.12" >&2; exit 1; }
    if ! "$VENV_PYTHON" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; then
        rm -rf "$VENV"
        "$PY" -m venv "$VENV"
    fi
    # Dependency groups (pyproject.toml) need pip 25.1 or newer.
    quiet_pip install -q --disable-pip-version-check "pip>=25.1"
    quiet_pip install -q --disable-pip-version-check --group "$ROOT/pyproject.toml:dev"
    quiet_pip install -q --disable-pip-version-check --no-build-isolation "$ROOT"
    export PYTHONPATH="$ROOT/host:$ROOT/engine${PYTHONPATH:+:$PYTHONPATH}"
    export SABLEWICK_READY="$ROOT"
fi
