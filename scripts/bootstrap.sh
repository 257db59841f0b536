# SPDX-License-Identifier: MIT
# Sourced by the other scripts, which then call `bootstrap` (every interpreter) or `bootstrap first` (the first
# one only). Finds the CPython interpreters to work with, gives each a virtual environment of its own,
# .venv/<X.Y>/, with the tools (pyproject.toml's `dev` group) and the module built and installed into it.
#
# Interpreters: PYTHONS, a list of versions (3.13) or interpreter paths, in that order; else PYTHON, one of
# them; else every supported version found, pyenv's first (its newest patch release), then pythonX.Y on the
# path if it runs (pyenv's bare shims do not, unless PYENV_VERSION names that version).
#
# Leaves ROOT, VERSIONS (X.Y of each interpreter set up, in order), SKIPPED (a line for each supported
# version left out, and why) and PYTHONPATH (the stand-ins) set. `use_venv X.Y` sets VENV, VENV_PYTHON and
# TAG (cp313) and puts the venv's bin/ (CMake, Ninja, the tools) first on PATH. SABLEWICK_READY and
# SABLEWICK_VERSIONS are exported, so that a script run by another does not set up again; scripts/test runs
# each stage's script with SABLEWICK_VERSIONS naming the one version of that stage.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SUPPORTED=(3.12 3.13 3.14)
SUPPORTED_TEXT="CPython 3.12, 3.13 and 3.14"
BASE_PATH=$PATH

die() {
    echo "error: $*" >&2
    exit 1
}

# probe EXE: prints "IMPLEMENTATION X.Y FREE_THREADED EXECUTABLE" if EXE runs.
probe() {
    "$1" -c 'import sys, sysconfig
free_threaded = int(bool(sysconfig.get_config_var("Py_GIL_DISABLED")))
print(sys.implementation.name, "%d.%d" % sys.version_info[:2], free_threaded, sys.executable)' 2>/dev/null
}

# find_version X.Y: prints the interpreter of that version that pyenv has, or else the path's; fails if none.
find_version() {
    local version=$1 candidate info implementation found free_threaded executable candidates=()
    if command -v pyenv >/dev/null 2>&1; then
        # Newest patch release first; a free-threaded build (3.13.0t) is passed over below.
        while IFS= read -r candidate; do
            candidates+=("$candidate")
        done < <(printf '%s\n' "$(pyenv root)"/versions/"$version".*/bin/python"$version" | sort -r -V)
    fi
    candidates+=("python$version")
    for candidate in "${candidates[@]}"; do
        command -v "$candidate" >/dev/null 2>&1 || continue
        info=$(probe "$candidate") || continue
        read -r implementation found free_threaded executable <<<"$info"
        if [ "$implementation" = cpython ] && [ "$found" = "$version" ] && [ "$free_threaded" = 0 ]; then
            echo "$executable"
            return 0
        fi
    done
    return 1
}

# add_python X.Y EXE: adds an interpreter; two of one version would share .venv/X.Y.
PYTHON_EXES=()
add_python() {
    local known
    for known in "${VERSIONS[@]}"; do
        [ "$known" != "$1" ] || die "two interpreters of CPython $1 named; .venv/$1 holds one"
    done
    VERSIONS+=("$1")
    PYTHON_EXES+=("$2")
}

is_supported() {
    [[ " ${SUPPORTED[*]} " == *" $1 "* ]]
}

resolve_pythons() {
    VERSIONS=()
    SKIPPED=()
    local name entry entries info implementation version free_threaded executable
    if [ -n "${PYTHONS:-}" ]; then
        name=PYTHONS
    elif [ -n "${PYTHON:-}" ]; then
        name=PYTHON
    fi
    if [ -n "${name:-}" ]; then
        read -r -a entries <<<"${!name}"
        for entry in "${entries[@]}"; do
            if [[ "$entry" =~ ^[0-9]+\.[0-9]+$ ]]; then
                is_supported "$entry" || die "$name names $entry; supported are $SUPPORTED_TEXT"
                executable=$(find_version "$entry") || die "$name names $entry, but no CPython $entry was found" \
                    "(none in pyenv, no python$entry on the path that runs): install it with pyenv, or leave it" \
                    "out of $name"
                add_python "$entry" "$executable"
                continue
            fi
            command -v "$entry" >/dev/null 2>&1 || die "$name names $entry, which is not an executable"
            info=$(probe "$entry") || die "$name names $entry, which does not run"
            read -r implementation version free_threaded executable <<<"$info"
            [ "$implementation" = cpython ] || die "$entry is $implementation, not CPython"
            is_supported "$version" || die "$entry is CPython $version; supported are $SUPPORTED_TEXT"
            [ "$free_threaded" = 0 ] || die "$entry is a free-threaded build, which the module is not made for"
            add_python "$version" "$executable"
        done
        [ ${#VERSIONS[@]} -gt 0 ] || die "$name names no interpreter"
        for version in "${SUPPORTED[@]}"; do
            [[ " ${VERSIONS[*]} " == *" $version "* ]] || SKIPPED+=("$version: skipped, not named in $name")
        done
    else
        for version in "${SUPPORTED[@]}"; do
            if executable=$(find_version "$version"); then
                add_python "$version" "$executable"
            else
                SKIPPED+=("$version: skipped, no interpreter found")
            fi
        done
        [ ${#VERSIONS[@]} -gt 0 ] || die "no CPython of a supported version (${SUPPORTED[*]}) found: install one" \
            "with pyenv (pyenv install 3.13), or name one in PYTHONS"
    fi
}

quiet_pip() {
    # pip's notes about absent local indexes are noise here; its exit status is kept.
    "$VENV_PYTHON" -m pip "$@" 2>&1 | { grep -v -E '^WARNING: Location .* is ignored' || true; }
}

use_venv() {
    VENV="$ROOT/.venv/$1"
    VENV_PYTHON="$VENV/bin/python"
    TAG="cp${1/./}"
    [ -x "$VENV_PYTHON" ] || die "$VENV is not set up"
    PATH="$VENV/bin:$BASE_PATH"
}

# setup_venv X.Y EXE: makes .venv/X.Y from EXE, or reuses it if EXE made it; installs the tools and the module.
setup_venv() {
    local venv="$ROOT/.venv/$1" base
    base=$("$2" -c 'import sys; print(sys.base_prefix)')
    if [ "$("$venv/bin/python" -c 'import sys; print(sys.base_prefix)' 2>/dev/null)" != "$base" ]; then
        rm -rf "$venv"
        "$2" -m venv "$venv"
    fi
    use_venv "$1"
    # Dependency groups (pyproject.toml) need pip 25.1 or newer.
    quiet_pip install -q --disable-pip-version-check "pip>=25.1"
    quiet_pip install -q --disable-pip-version-check --group "$ROOT/pyproject.toml:dev"
    # The build tree is build/<wheel tag>/ (pyproject.toml), one per version.
    quiet_pip install -q --disable-pip-version-check --no-build-isolation "$ROOT"
}

# bootstrap [first]: finds the interpreters and sets up the venv of each, or of the first alone.
bootstrap() {
    if [ "${SABLEWICK_READY:-}" = "$ROOT" ]; then
        # Set up by the script that runs this one.
        read -r -a VERSIONS <<<"${SABLEWICK_VERSIONS:-}"
        [ ${#VERSIONS[@]} -gt 0 ] || die "SABLEWICK_READY is set but SABLEWICK_VERSIONS names no version"
        SKIPPED=()
    else
        resolve_pythons
        if [ "${1:-}" = first ]; then
            VERSIONS=("${VERSIONS[0]}")
        fi
        # A .venv of the single-version layout is a venv itself: the per-version ones go in its place.
        if [ -f "$ROOT/.venv/pyvenv.cfg" ]; then
            rm -rf "$ROOT/.venv"
        fi
        local i
        for i in "${!VERSIONS[@]}"; do
            setup_venv "${VERSIONS[$i]}" "${PYTHON_EXES[$i]}"
        done
        export PYTHONPATH="$ROOT/host:$ROOT/engine${PYTHONPATH:+:$PYTHONPATH}"
        export SABLEWICK_READY="$ROOT" SABLEWICK_VERSIONS="${VERSIONS[*]}"
    fi
    use_venv "${VERSIONS[0]}"
}
