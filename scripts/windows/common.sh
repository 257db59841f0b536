# SPDX-License-Identifier: MIT
# Sourced by scripts/windows_check and scripts/windows_test, after bootstrap.sh: the CPython versions to work
# for, where each one's headers are, and a venv to run the Python tools in. CPython 3.14 and 3.15 do not run
# on this machine (they need a newer C library than bookworm's); their headers are in the Debian root
# (scripts/debian_root), which is all that building for Windows needs of them.
#
# windows_setup sets WINDOWS_VERSIONS (X.Y each, in order): SABLEWICK_VERSIONS when a script that set up the
# venvs runs this one (scripts/test), else what PYTHONS or PYTHON names (versions or interpreter paths), else
# every supported version that runs here or whose headers the Debian root holds. It sets up the venvs of those
# that run here with bootstrap, or, when none of them does, finds a venv for the tools (the first supported
# version's that runs here, else bootstrap's first interpreter's): TOOL_VENV and TOOL_PYTHON name it.

# runs_here X.Y: whether CPython X.Y runs on this machine (its venv, or an interpreter bootstrap would find).
runs_here() {
    local info
    info=$(probe "$ROOT/.venv/$1/bin/python") && [ "$(echo "$info" | cut -d ' ' -f 2)" = "$1" ] && return 0
    [ "${SABLEWICK_READY:-}" != "$ROOT" ] && find_version "$1" >/dev/null
}

# root_headers X.Y: prints the Debian root's include directory of CPython X.Y, or fails.
root_headers() {
    local root
    root=$("$ROOT/scripts/debian_root" path 2>/dev/null) && [ -f "$root/usr/include/python$1/Python.h" ] &&
        echo "$root/usr/include/python$1"
}

# version_headers X.Y: prints CPython X.Y's include directory: its venv's, else the Debian root's.
version_headers() {
    if [ -x "$ROOT/.venv/$1/bin/python" ] && runs_here "$1"; then
        "$ROOT/.venv/$1/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])'
    else
        root_headers "$1" || die "no headers of CPython $1: it does not run here, and the Debian root" \
            "(scripts/debian_root makes it) holds no usr/include/python$1"
    fi
}

windows_setup() {
    local entries=() entry info implementation version free_threaded executable named=1 host_entries=()
    local host_versions=()
    if [ "${SABLEWICK_READY:-}" = "$ROOT" ]; then
        read -r -a entries <<<"${SABLEWICK_VERSIONS:-}"
    elif [ -n "${PYTHONS:-}" ]; then
        read -r -a entries <<<"$PYTHONS"
    elif [ -n "${PYTHON:-}" ]; then
        entries=("$PYTHON")
    else
        entries=("${SUPPORTED[@]}")
        named=0
    fi
    WINDOWS_VERSIONS=()
    for entry in "${entries[@]}"; do
        if [[ "$entry" =~ ^[0-9]+\.[0-9]+$ ]]; then
            version=$entry
            if runs_here "$version"; then
                host_entries+=("$entry")
                host_versions+=("$version")
            elif ! root_headers "$version" >/dev/null; then
                [ $named = 1 ] || continue
                die "CPython $version is named, but it does not run here and the Debian root" \
                    "(scripts/debian_root makes it) holds no headers of it"
            fi
        else
            # An interpreter's path: it runs here, and bootstrap checks it.
            info=$(probe "$entry") || die "$entry does not run"
            read -r implementation version free_threaded executable <<<"$info"
            host_entries+=("$entry")
            host_versions+=("$version")
        fi
        WINDOWS_VERSIONS+=("$version")
    done
    [ ${#WINDOWS_VERSIONS[@]} -gt 0 ] || die "no supported CPython version found here or in the Debian root"
    if [ ${#host_entries[@]} -gt 0 ]; then
        if [ "${SABLEWICK_READY:-}" = "$ROOT" ]; then
            SABLEWICK_VERSIONS="${host_versions[*]}" bootstrap
        else
            PYTHONS="${host_entries[*]}" bootstrap
        fi
    else
        local tools=""
        for version in "${SUPPORTED[@]}"; do
            if [ -x "$ROOT/.venv/$version/bin/python" ] && runs_here "$version"; then
                tools=$version
                break
            fi
        done
        if [ -n "$tools" ]; then
            use_venv "$tools"
        else
            SABLEWICK_READY="" PYTHONS="" PYTHON="" bootstrap first
        fi
    fi
    TOOL_VENV=$VENV
    TOOL_PYTHON=$VENV_PYTHON
}
