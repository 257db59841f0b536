# SPDX-License-Identifier: MIT
"""The cost of the call boundary: builds of models.sablewick_asr side by side with a plain-Python baseline.

    python bench/run.py --module-dir DIR [--module-dir DIR2 ...] [--quick] [--callgrind | --no-callgrind]

Each DIR holds a `models/` folder with a built `sablewick_asr*.so`. Every implementation (each build and
bench/baseline.py) is measured in processes of its own, on the same cheap stand-ins (bench/worker.py):

- ns/call: median over repeated timeit runs after warm-up, the bare timing loop subtracted; the builds and
  the baseline take turns, round by round, so that drift of the machine hits all of them alike;
- Ir/call: instructions per call under callgrind: each statement runs N and 2N times inside a marker
  function (bench/marker.c, built here for the running interpreter) that callgrind collects in and dumps
  after, and the difference is divided by N;
- allocs/call: calls into the allocator (PyObject_*/PyMem_* malloc, calloc, realloc, and libc's) per call,
  counted by callgrind the same way; objects taken from CPython's free lists do not count;
- kept blocks: tracemalloc's count of blocks still allocated after many calls, per call (a leak shows here);
- no copy: the array the engine receives is the very array normalize_audio returned;
- import: time of the import itself in a fresh process whose dependencies are already imported.

Callgrind is on unless --quick (or --no-callgrind) is given; --callgrind forces it on.
"""

import argparse
import glob
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
STAND_INS = [os.path.join(ROOT, "host"), os.path.join(ROOT, "engine")]
WORKER = os.path.join(BENCH, "worker.py")
sys.path.insert(0, BENCH)
from worker import PATHS  # noqa: E402

# Upper bounds of module time / baseline time.
TARGETS = {"stream_transcribe": 0.8, "offline_transcribe": 0.8, "offline_stream_generate": 0.8,
           "stream_init": 0.9, "offline_init": 0.9, "bind_error_count": 0.9, "bind_error_type": 0.9,
           "stream_generate": 1.0}

# Allocator entry points counted per call, and the callers whose calls are the allocator's own
# (pymalloc handing a large block on to malloc, operator new calling malloc) and so not counted twice. An
# interpreter built with link-time optimisation calls pymalloc's own functions straight, without the exported
# PyObject_* around them.
ALLOC_ENTRIES = {"PyObject_Malloc", "PyObject_Calloc", "PyObject_Realloc", "PyMem_Malloc", "PyMem_Calloc",
                 "PyMem_Realloc", "PyMem_RawMalloc", "PyMem_RawCalloc", "PyMem_RawRealloc", "_PyObject_Malloc",
                 "_PyObject_Calloc", "_PyObject_Realloc", "malloc", "calloc", "realloc",
                 "operator new(unsigned long)", "operator new[](unsigned long)"}
# The suffixes of a compiler's clones of a function: _PyObject_Malloc.lto_priv.0 is _PyObject_Malloc.
CLONE = re.compile(r"(\.(lto_priv|constprop|isra|part|cold)\.\d+)+$")
ALLOCATOR_INSIDE = re.compile(r"^(_PyObject_(Malloc|Calloc|Realloc)|_PyMem_|pymalloc_|new_arena|"
                              r"allocate_from_new_pool|operator new)")


class Impl:
    def __init__(self, label, kind, folder):
        self.label, self.kind, self.folder = label, kind, folder
        self.ns_rounds = []
        self.kept = self.no_copy = self.ir = self.allocs = None
        self.import_ns = []
        self.file = None

    def env(self, pythonpath_first):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([pythonpath_first, *STAND_INS])
        # str hashes decide dict probes and type-cache slots, which shift instruction counts by several
        # per cent from one seed to the next: a fixed seed makes the counts repeatable.
        env["PYTHONHASHSEED"] = "0"
        return env

    @property
    def path_entry(self):
        return self.folder if self.kind == "module" else BENCH


def run_worker(impl, mode, scratch, extra=(), prefix=()):
    out = tempfile.NamedTemporaryFile(dir=scratch, suffix=".json", delete=False).name
    command = [*prefix, sys.executable, WORKER, "--impl", impl.kind, "--mode", mode, "--out", out, *extra]
    process = subprocess.run(command, env=impl.env(impl.path_entry), capture_output=True, text=True)
    if process.returncode != 0:
        raise SystemExit(f"{impl.label}: worker {mode} failed ({process.returncode}):\n"
                         f"{process.stdout}\n{process.stderr[-4000:]}")
    with open(out) as handle:
        result = json.load(handle)
    os.unlink(out)
    if impl.kind == "module":
        expected = os.path.join(os.path.abspath(impl.folder), "models")
        if os.path.dirname(os.path.abspath(result["file"])) != expected:
            raise SystemExit(f"{impl.label}: imported {result['file']}, not the build in {impl.folder}")
    impl.file = result["file"]
    return result


# --- callgrind -----------------------------------------------------------------------------------

def _function(field, names):
    """A function name of a callgrind file, whose names are compressed to "(id) name", then "(id)"."""
    field = field.strip()
    match = re.match(r"\((\d+)\)(?: (.*))?$", field)
    if not match:
        return field
    if match.group(2) is not None:
        names[match.group(1)] = match.group(2)
    return names.get(match.group(1), "?")


def read_dump(path):
    """Total Ir and the number of allocator calls of one callgrind dump; None for the calls when the
    interpreter has no symbols of its own (Debian's are stripped, unless its -dbg package is installed): its
    allocator is then reached through functions without names, and the calls cannot be told from those inside
    the allocator."""
    names, total, allocs, symbols = {}, None, 0, False
    caller = callee = ""
    with open(path, errors="replace") as handle:
        for line in handle:
            if line.startswith("fn="):
                caller = CLONE.sub("", re.sub(r"'\d+$", "", _function(line[3:], names)))
            elif line.startswith("cfn="):
                callee = CLONE.sub("", re.sub(r"'\d+$", "", _function(line[4:], names)))
                # Not exported (clones carry suffixes such as .constprop.0): named only where the interpreter has
                # its symbols (Debian's come with the python3.X-dbg package).
                symbols = symbols or callee.startswith("_PyEval_Vector")
            elif line.startswith("calls="):
                if callee in ALLOC_ENTRIES and caller not in ALLOC_ENTRIES and not ALLOCATOR_INSIDE.match(caller):
                    allocs += int(line[6:].split()[0])
            elif line.startswith("totals:") or (line.startswith("summary:") and total is None):
                total = int(line.split()[1])
    return total or 0, allocs if symbols else None


MARKER = "sablewick_bench_marker"


def build_marker(scratch):
    """bench/marker.c as an extension module for the running interpreter, built with its headers; returns
    the folder that holds it."""
    import sysconfig
    folder = os.path.join(scratch, "marker")
    os.makedirs(folder, exist_ok=True)
    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if not compiler:
        raise SystemExit("no C compiler (cc) for bench/marker.c; run with --no-callgrind")
    library = os.path.join(folder, MARKER + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}",
                    os.path.join(BENCH, "marker.c"), "-o", library], check=True)
    return folder


def measure_callgrind(impl, scratch, quick, keep, marker):
    folder = tempfile.mkdtemp(prefix=f"cg-{impl.kind}-", dir=scratch)
    prefix = ["valgrind", "--tool=callgrind", "--collect-atstart=no", f"--toggle-collect={MARKER}",
              f"--zero-before={MARKER}", f"--dump-after={MARKER}", f"--callgrind-out-file={folder}/callgrind.out"]
    result = run_worker(impl, "callgrind", scratch, ["--marker", marker, *(["--quick"] if quick else [])], prefix)
    dumps = sorted(glob.glob(f"{folder}/callgrind.out.*"), key=lambda name: int(name.rsplit(".", 1)[1]))
    if len(dumps) != len(result["order"]):
        raise SystemExit(f"{impl.label}: {len(dumps)} callgrind dumps for {len(result['order'])} runs")
    counts = {}
    for entry, dump in zip(result["order"], dumps):
        if not entry["warm-up"]:
            counts[entry["setup"], entry["stmt"], entry["count"]] = read_dump(dump)
    n = result["n"]

    def per_call(setup_stmt, index):
        setup, stmt = setup_stmt
        twice, once = counts[setup, stmt, 2 * n][index], counts[setup, stmt, n][index]
        return None if twice is None or once is None else (twice - once) / n

    impl.ir, impl.allocs = {}, {}
    for key, pair in result["paths"].items():
        impl.ir[key] = per_call(pair["stmt"], 0) - per_call(pair["overhead"], 0)
        calls, overhead = per_call(pair["stmt"], 1), per_call(pair["overhead"], 1)
        impl.allocs[key] = None if calls is None or overhead is None else calls - overhead
    if keep:
        target = os.path.join(keep, impl.label)
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(folder, target)
    shutil.rmtree(folder, ignore_errors=True)


# --- table ---------------------------------------------------------------------------------------

def fmt(value, digits=0):
    if value is None:
        return "-"
    if digits == 0:
        return f"{value:,.0f}"
    return f"{value:.{digits}f}"


def fmt_allocs(value):
    if value is None:
        return "-"
    rounded = round(value)
    return str(rounded) if abs(value - rounded) < 0.02 else f"{value:.2f}"


def print_table(modules, baseline, with_callgrind):
    single = len(modules) == 1
    headers = ["path"]
    for impl in modules:
        name = "module" if single else impl.label
        headers += [f"{name} ns/call", "ratio" if single else f"{name} ratio"]
        if with_callgrind:
            headers += [f"{name} Ir/call", f"{name} allocs/call"]
    headers += ["baseline ns/call"]
    if with_callgrind:
        headers += ["baseline Ir/call", "baseline allocs/call"]
    headers += ["target"]
    rows = []
    missed = False
    for key, label, *_ in PATHS:
        row = [label]
        base = baseline.ns[key]
        for impl in modules:
            ratio = impl.ns[key] / base if base > 0 else float("nan")
            target = TARGETS.get(key)
            mark = ""
            if target is not None and not ratio <= target:
                mark, missed = " *", True
            row += [fmt(impl.ns[key]), fmt(ratio, 2) + mark]
            if with_callgrind:
                row += [fmt(impl.ir[key]), fmt_allocs(impl.allocs[key])]
        row += [fmt(base)]
        if with_callgrind:
            row += [fmt(baseline.ir[key]), fmt_allocs(baseline.allocs[key])]
        row += [f"<= {TARGETS[key]:.1f}" if key in TARGETS else ""]
        rows.append(row)
    widths = [max(len(str(cell)) for cell in column) for column in zip(headers, *rows)]

    def line(cells):
        return "| " + " | ".join(str(cell).ljust(width) if index == 0 else str(cell).rjust(width)
                                 for index, (cell, width) in enumerate(zip(cells, widths))) + " |"

    print(line(headers))
    print("|" + "|".join("-" * (width + 2) for width in widths) + "|")
    for row in rows:
        print(line(row))
    if missed:
        print("* the ratio misses its target (module time / baseline time)")
    if with_callgrind and any(value is None for impl in (*modules, baseline) for value in impl.allocs.values()):
        print("allocs/call -: the interpreter has no symbols of its own, so its allocator calls are not counted")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--module-dir", action="append", default=[], metavar="DIR",
                        help="folder holding models/sablewick_asr*.so (repeat to compare builds)")
    parser.add_argument("--quick", action="store_true", help="short runs, no callgrind unless --callgrind")
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--callgrind", dest="callgrind", action="store_true", default=None)
    group.add_argument("--no-callgrind", dest="callgrind", action="store_false")
    parser.add_argument("--keep-callgrind", metavar="DIR", help="keep the callgrind dumps here, for profiling")
    parser.add_argument("--json", metavar="FILE", help="also write every number to FILE")
    args = parser.parse_args()
    with_callgrind = (not args.quick) if args.callgrind is None else args.callgrind
    if with_callgrind and shutil.which("valgrind") is None:
        raise SystemExit("valgrind not found; run with --no-callgrind")

    modules = []
    labels = [os.path.basename(os.path.normpath(folder)) for folder in args.module_dir]
    if len(set(labels)) != len(labels) or any(len(label) > 14 for label in labels):
        labels = [f"build{index + 1}" for index in range(len(args.module_dir))]
    for label, folder in zip(labels, args.module_dir):
        if not glob.glob(os.path.join(folder, "models", "sablewick_asr*.so")):
            raise SystemExit(f"{folder}: no models/sablewick_asr*.so")
        modules.append(Impl(label, "module", os.path.abspath(folder)))
    baseline = Impl("baseline", "baseline", BENCH)
    impls = [*modules, baseline]

    started = time.monotonic()
    load = os.getloadavg()[0]
    scratch = tempfile.mkdtemp(prefix="sablewick-bench-")
    try:
        quick = ["--quick"] if args.quick else []
        rounds = 2 if args.quick else 3
        for round_index in range(rounds):
            for impl in impls:
                extra = quick + (["--time-only"] if round_index else [])
                result = run_worker(impl, "time", scratch, extra)
                impl.ns_rounds.append(result["ns"])
                if round_index == 0:
                    impl.kept, impl.no_copy = result["kept"], result["no_copy"]
        for impl in impls:
            # Median of all runs of all rounds, less the median of the bare loop (or overhead statement).
            impl.ns = {key: statistics.median(run for r in impl.ns_rounds for run in r[key][0])
                       - statistics.median(run for r in impl.ns_rounds for run in r[key][1]) for key, *_ in PATHS}

        pycache = os.path.join(scratch, "pycache")
        for index in range(1 + (3 if args.quick else 7)):  # the first run writes the baseline's bytecode
            for impl in impls:
                ns = run_worker(impl, "import", scratch, ["--pycache", pycache])["ns"]
                if index:
                    impl.import_ns.append(ns)

        if with_callgrind:
            marker = build_marker(scratch)
            with ThreadPoolExecutor(max_workers=max(1, os.cpu_count() or 1)) as pool:
                for future in [pool.submit(measure_callgrind, impl, scratch, args.quick, args.keep_callgrind,
                                           marker) for impl in impls]:
                    future.result()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, load average {load:.1f} "
          f"at the start, {'quick' if args.quick else 'full'} run, {time.monotonic() - started:.0f} s")
    for impl in modules:
        print(f"  {impl.label}: {impl.file}")
    print(f"  baseline: {baseline.file}")
    print()
    print_table(modules, baseline, with_callgrind)
    print()
    for impl in impls:
        kept = max(abs(value["blocks"]) for value in impl.kept.values())
        leaks = [key for key, value in impl.kept.items() if value["blocks"] > 0.01]
        copies = [name for name, same in impl.no_copy.items() if not same]
        print(f"{impl.label}: import {statistics.median(impl.import_ns) / 1e6:.2f} ms (median of "
              f"{len(impl.import_ns)}); kept blocks/call (tracemalloc) max {kept:.3f}"
              f"{' at ' + ', '.join(leaks) if leaks else ''}; engine gets normalize_audio's array: "
              f"{'yes, on every path' if not copies else 'NO for ' + ', '.join(copies)}")

    if args.json:
        with open(args.json, "w") as handle:
            json.dump({impl.label: {"file": impl.file, "ns": impl.ns, "ns_rounds": impl.ns_rounds,
                                    "ir": impl.ir, "allocs": impl.allocs, "kept": impl.kept,
                                    "no_copy": impl.no_copy, "import_ns": impl.import_ns}
                       for impl in impls}, handle, indent=1)


if __name__ == "__main__":
    main()
