# SPDX-License-Identifier: MIT
# Sourced by the other scripts, which then call `bootstrap` (every interpreter) or `bootstrap first` (the first
# one only). Finds the CPython interpreters to work with, gives each a virtual environment of its own,
# .venv/<X.Y>/, with the tools (pyproject.toml's `dev` group) and the module built and installed into it.
#
# Interpreters: PYTHONS, a list of versions (3.13) or interpreter paths, in that order; else PYTHON, one of
# them; else every supported version found, pyenv's first (its newest patch release), then pythonX.Y on the
# path if it runs (pyenv's bare shims do not, unless PYENV_VERSION names that version), then the Debian root's
# (scripts/debian_root) if that root is made. This machine's Debian cannot run 3.14 and 3.15; the root has
# them. A version named by PYTHONS that is nowhere else makes the root first (1 to 2 minutes, once).
#
# A version from the root lives there alone: its venv, .venv/<X.Y>/ in the checkout as every other, is made
# inside the root and works only there; nothing outside sets it up or uses it. `root_run X.Y CMD...` runs CMD
# inside the root with that version's venv in use; the stage scripts hand their root versions to a run of
# themselves there. Inside the root, every interpreter is its own.
#
# Leaves ROOT, VERSIONS (X.Y of each interpreter set up, in order), ROOT_VERSIONS (those of them that are the
# Debian root's), SKIPPED (a line for each supported version left out, and why) and PYTHONPATH (the stand-ins)
# set. `use_venv X.Y` sets VENV, VENV_PYTHON and TAG (cp313) and puts the venv's bin/ (CMake, Ninja, the tools)
# first on PATH. SABLEWICK_READY, SABLEWICK_VERSIONS and SABLEWICK_ROOT_VERSIONS are exported, so that a script
# run by another does not set up again; scripts/test runs each stage's script with SABLEWICK_VERSIONS naming the
# one version of that stage.
#
# Run as a script, `bash scripts/bootstrap.sh [CMD...]` sets up (or, under SABLEWICK_READY, takes over) the
# venvs, then runs CMD with the first one in use: how the root's venvs are made and its commands run.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SUPPORTED=(3.12 3.13 3.14 3.15)
SUPPORTED_TEXT="CPython 3.12, 3.13, 3.14 and 3.15"
# What the Debian root holds (scripts/debian_root's packages): /usr/bin/python3.X there.
IN_DEBIAN_ROOT=(3.14 3.15)
ROOT_HINT="scripts/debian_root makes a Debian root that has it"
BASE_PATH=$PATH
# The mark scripts/debian_root leaves at the top of the root: inside it, there is no root to go to.
if [ -f /.sablewick-debian-root ]; then
    INSIDE_ROOT=1
else
    INSIDE_ROOT=""
fi
ROOT_VERSIONS=()

die() {
    echo "error: $*" >&2
    exit 1
}

# probe EXE: prints "IMPLEMENTATION X.Y FREE_THREADED EXECUTABLE" if EXE runs.
PROBE='import sys, sysconfig
free_threaded = int(bool(sysconfig.get_config_var("Py_GIL_DISABLED")))
print(sys.implementation.name, "%d.%d" % sys.version_info[:2], free_threaded, sys.executable)'
probe() {
    "$1" -c "$PROBE" 2>/dev/null
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

# root_has X.Y: whether the Debian root is a place to look for that version (not from inside the root).
root_has() {
    [ -z "$INSIDE_ROOT" ] && [[ " ${IN_DEBIAN_ROOT[*]} " == *" $1 "* ]]
}

# find_in_root X.Y: prints the root's interpreter of that version if the root is made and it runs there.
find_in_root() {
    local info implementation found free_threaded executable
    root_has "$1" && "$ROOT/scripts/debian_root" path >/dev/null 2>&1 || return 1
    info=$("$ROOT/scripts/debian_root" run "/usr/bin/python$1" -c "$PROBE" 2>/dev/null) || return 1
    read -r implementation found free_threaded executable <<<"$info"
    [ "$implementation" = cpython ] && [ "$found" = "$1" ] && [ "$free_threaded" = 0 ] && echo "$executable"
}

# add_python X.Y EXE [root]: adds an interpreter (the root's, with `root`); two of one version would share
# .venv/X.Y.
PYTHON_EXES=()
add_python() {
    local known
    for known in "${VERSIONS[@]}"; do
        [ "$known" != "$1" ] || die "two interpreters of CPython $1 named; .venv/$1 holds one"
    done
    VERSIONS+=("$1")
    PYTHON_EXES+=("$2")
    if [ "${3:-}" = root ]; then
        ROOT_VERSIONS+=("$1")
    fi
}

is_supported() {
    [[ " ${SUPPORTED[*]} " == *" $1 "* ]]
}

# in_root X.Y: whether that version is the Debian root's.
in_root() {
    [[ " ${ROOT_VERSIONS[*]} " == *" $1 "* ]]
}

resolve_pythons() {
    VERSIONS=()
    ROOT_VERSIONS=()
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
                if executable=$(find_version "$entry"); then
                    add_python "$entry" "$executable"
                    continue
                fi
                if root_has "$entry"; then
                    if ! "$ROOT/scripts/debian_root" path >/dev/null 2>&1; then
                        echo "$name names $entry, which this machine does not have: making the Debian root that" \
                            "has it (scripts/debian_root, 1 to 2 minutes)" >&2
                        "$ROOT/scripts/debian_root" >/dev/null || die "could not make the Debian root for $entry"
                    fi
                    executable=$(find_in_root "$entry") || die "$name names $entry, but the Debian root at" \
                        "$("$ROOT/scripts/debian_root" path) has no python$entry that runs"
                    add_python "$entry" "$executable" root
                    continue
                fi
                die "$name names $entry, but no CPython $entry was found (none in pyenv, no python$entry on the" \
                    "path that runs): install it with pyenv, or leave it out of $name"
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
            elif executable=$(find_in_root "$version"); then
                add_python "$version" "$executable" root
            elif root_has "$version"; then
                SKIPPED+=("$version: skipped, no interpreter found ($ROOT_HINT)")
            else
                SKIPPED+=("$version: skipped, no interpreter found (pyenv install $version)")
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
    ! in_root "$1" || die "CPython $1 is the Debian root's: $VENV works inside the root alone (root_run $1)"
    [ -x "$VENV_PYTHON" ] || die "$VENV is not set up"
    PATH="$VENV/bin:$BASE_PATH"
}

# root_run X.Y CMD...: runs CMD inside the Debian root, with the venv of that version (which is the root's) in
# use, as `use_venv` has it outside.
root_run() {
    local version=$1
    shift
    "$ROOT/scripts/debian_root" run env SABLEWICK_READY="$ROOT" SABLEWICK_VERSIONS="$version" \
        PYTHONPATH="$PYTHONPATH" bash "$ROOT/scripts/bootstrap.sh" "$@"
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

# bootstrap [first]: finds the interpreters and sets up the venv of each, or of the first alone. The first
# version's venv is in use afterwards, unless that version is the root's.
bootstrap() {
    if [ "${SABLEWICK_READY:-}" = "$ROOT" ]; then
        # Set up by the script that runs this one.
        read -r -a VERSIONS <<<"${SABLEWICK_VERSIONS:-}"
        [ ${#VERSIONS[@]} -gt 0 ] || die "SABLEWICK_READY is set but SABLEWICK_VERSIONS names no version"
        ROOT_VERSIONS=()
        if [ -z "$INSIDE_ROOT" ]; then
            read -r -a ROOT_VERSIONS <<<"${SABLEWICK_ROOT_VERSIONS:-}"
        fi
        SKIPPED=()
    else
        resolve_pythons
        if [ "${1:-}" = first ]; then
            VERSIONS=("${VERSIONS[0]}")
            if in_root "${VERSIONS[0]}"; then
                ROOT_VERSIONS=("${VERSIONS[0]}")
            else
                ROOT_VERSIONS=()
            fi
        fi
        # A .venv of the single-version layout is a venv itself: the per-version ones go in its place.
        if [ -f "$ROOT/.venv/pyvenv.cfg" ]; then
            rm -rf "$ROOT/.venv"
        fi
        local i
        for i in "${!VERSIONS[@]}"; do
            in_root "${VERSIONS[$i]}" || setup_venv "${VERSIONS[$i]}" "${PYTHON_EXES[$i]}"
        done
        # The root's venvs, made in one run there by the root's own interpreters.
        if [ ${#ROOT_VERSIONS[@]} -gt 0 ]; then
            "$ROOT/scripts/debian_root" run env PYTHONS="${ROOT_VERSIONS[*]}" bash "$ROOT/scripts/bootstrap.sh" ||
                die "setting up the venvs of ${ROOT_VERSIONS[*]} in the Debian root failed"
        fi
        export PYTHONPATH="$ROOT/host:$ROOT/engine${PYTHONPATH:+:$PYTHONPATH}"
        export SABLEWICK_READY="$ROOT" SABLEWICK_VERSIONS="${VERSIONS[*]}" \
            SABLEWICK_ROOT_VERSIONS="${ROOT_VERSIONS[*]}"
    fi
    in_root "${VERSIONS[0]}" || use_venv "${VERSIONS[0]}"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    bootstrap
    if [ $# -gt 0 ]; then
        exec "$@"
    fi
fi
