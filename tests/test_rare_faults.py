# SPDX-License-Identifier: MIT
"""The rarest faults: recursion without end through the methods, and allocations that fail."""

import json
import os
import re
import subprocess
import sys
import tempfile
import threading

import pytest

from conftest import ROOT, STAND_INS, needs_fork, needs_testcapi, report_at_end, run_python

try:
    import nomemory
except ModuleNotFoundError as missing:  # its allocation hooks are _testcapi's; the tests that use it skip
    if missing.name != "_testcapi":
        raise

# Each scenario recurses through a method and a C callable (functools.partial), which no Python frame
# interrupts, or through Python code; `call` starts it, `restore` undoes the set-up, and `expected` is what the
# outermost call ends in. The first recurses through the methods alone: its error line counts the levels.
RECURSION = {
    "methods alone": (
        "obj = O(); obj.transcribe = obj.stream_generate", "obj.stream_generate(audio)", "del obj.transcribe",
        "RecursionError"),
    "transcribe through load": (
        "obj = S(); obj._transcriber = None; obj.load = partial(S.transcribe, obj, audio)",
        "obj.transcribe(audio)", "del obj.load", "RecursionError"),
    "stream_generate through the engine's add_audio": (
        "obj = S(); obj._transcriber = SimpleNamespace(start=list, stop=list, "
        "add_audio=partial(S.stream_generate, obj))",
        "obj.stream_generate(audio)", "obj._transcriber = S()._transcriber", "RuntimeError"),
    "offline stream_generate through transcribe": (
        "obj = O(); obj.transcribe = partial(O.stream_generate, obj)",
        "obj.stream_generate(audio)", "del obj.transcribe", "RecursionError"),
    "load through _load_model": (
        "obj = O(); obj._transcriber = None; obj._load_model = partial(O.load, obj)",
        "obj.load()", "del obj._load_model", "RecursionError"),
    "__init__ through _load_model": (
        "obj = S(); obj._load_model = partial(S.__init__, obj)", "obj.__init__()", "del obj._load_model",
        "RecursionError"),
    "reset through the engine's stop": (
        "obj = S(); obj._streaming_started = True; obj._transcriber = SimpleNamespace(stop=partial(S.reset, obj))",
        "obj.reset()", "obj._transcriber = S()._transcriber", "None"),
    "transcribe through a Python normalize_audio": (
        "obj = S(); asr.normalize_audio = lambda audio, target_dtype: obj.transcribe(audio)",
        "obj.transcribe(audio)", "asr.normalize_audio = normalize_audio", "RecursionError"),
}
# Lowered, the default, and (in threads, whose stacks are bounded) one that only the stack can stop: failing
# levels build messages that grow with the depth, so a deep stack takes long.
LIMITS = [100, 1000]
RAISED = 100_000


# Runs every scenario at every limit (and, on 3.12 alone, the same recursion through plain Python methods:
# 3.13.0 does not stop a Python method that calls itself leaving a parameter to its default, since its
# specialised calls skip the recursion check) in the main thread or a thread with a stack of STACK_KIB.
RECURSION_RUNNER = """
import json, sys, threading
from functools import partial
from types import SimpleNamespace
import numpy as np
from models import sablewick_asr as asr
S, O, normalize_audio = asr.SablewickStreamASR, asr.SablewickOfflineASR, asr.normalize_audio
audio = np.zeros(160, np.float32)
lines = []
asr.logger = SimpleNamespace(info=lines.append, debug=lines.append, warning=lines.append, error=lines.append)
OFFLINE_LINE = "Sablewick stream_generate is not implemented for offline model"

class Plain:
    def stream_generate(self, audio, is_final=False, language="zh"):
        asr.logger.error(OFFLINE_LINE)
        return self.transcribe(audio, language)
plain = Plain()
plain.transcribe = plain.stream_generate

def outcome(call, names):
    del lines[:]
    try:
        got, root = repr(eval(call, names)), None
    except BaseException as e:
        got, root = type(e).__name__, e
        while root.__cause__ is not None:
            root = root.__cause__
    return got, type(root).__name__, lines.count(OFFLINE_LINE)

results = []
def run():
    for limit in LIMITS:
        for name, (setup, call, restore, _) in SCENARIOS.items():
            names = dict(globals())
            exec(setup, names)
            sys.setrecursionlimit(limit)
            got, root, levels = outcome(call, names)
            sys.setrecursionlimit(1000)
            exec(restore, names)
            obj = names["obj"]
            usable = obj.transcribe(audio) == S().transcribe(audio) == O().transcribe(audio) != []
            locked = S._cache_lock.locked() or O._cache_lock.locked()
            results.append([name, limit, got, root, levels, locked, usable])
        if sys.version_info[:2] == (3, 12):
            sys.setrecursionlimit(limit)
            results.append(["plain", limit, *outcome("plain.stream_generate(audio)", globals()), False, True])
            sys.setrecursionlimit(1000)

# The size of the running thread's stack as the module reads it on Windows; None elsewhere.
def stack_bytes():
    if sys.platform != "win32":
        return None
    import ctypes
    low, high = ctypes.c_size_t(), ctypes.c_size_t()
    ctypes.windll.kernel32.GetCurrentThreadStackLimits(ctypes.byref(low), ctypes.byref(high))
    return high.value - low.value

def measured():
    results.append(stack_bytes())
    run()

if STACK_KIB:
    threading.stack_size(STACK_KIB * 1024)
    thread = threading.Thread(target=measured)
    thread.start()
    thread.join()
else:
    measured()
print(json.dumps(results))
"""


@pytest.mark.parametrize("stack_kib", [0, 128, 256, 512, 1024, 4096], ids=lambda k: f"{k} KiB" if k else "main")
def test_recursion_through_a_method_ends_in_recursion_error(stack_kib):
    # A signal instead of exit status 0 is a C stack overflow.
    limits = LIMITS + [RAISED] if stack_kib else LIMITS
    process = run_python(f"SCENARIOS = {RECURSION!r}\nLIMITS = {limits!r}\nSTACK_KIB = {stack_kib}\n"
                         + RECURSION_RUNNER, check=False)
    assert process.returncode == 0, process.stderr[-2000:]
    stack, *results = json.loads(process.stdout.splitlines()[-1])
    assert len(results) == len(limits) * (len(RECURSION) + (sys.version_info[:2] == (3, 12)))
    if sys.platform == "win32":
        # threading.stack_size() gives CreateThread what to commit at first, not what to reserve: a thread's stack
        # is python.exe's reserve from its PE header (2,000,000 bytes for CPython 3.12.9, 3,000,000 for 3.13.2)
        # unless the size asked for is larger, as Windows documents and Wine 8.0 does. The small sizes are not
        # small there: every thread here has at least 2 MB, stack to spare for a thousand levels; the stack
        # still ends each recursion at the raised limit.
        assert stack >= max(stack_kib * 1024, 2_000_000), stack
        spare = True
    else:
        spare = stack_kib in (0, 4096)
    levels = {}
    for name, limit, got, root, count, locked, usable in results:
        levels[name, limit] = count
        if name == "plain":
            continue
        expected = RECURSION[name][3]
        assert (got, root) == (expected, "RecursionError" if expected != "None" else "NoneType"), (name, limit)
        assert not locked and usable, (name, limit)
    for limit in limits:
        assert 0 < levels["methods alone", limit] <= limit
        # With the stack to spare, the limit is what stops it, as it stops the same Python methods.
        if spare and limit <= 1000:
            assert levels["methods alone", limit] >= levels.get(("plain", limit), limit - 10)


@pytest.mark.parametrize("stack_kib", [64, 256], ids=lambda k: f"{k} KiB")
def test_the_room_below_the_floor_holds_a_logger_that_recurses_in_c(stack_kib, monkeypatch):
    # What the margin below the floor is for: the work of the calls that fail there. Here the methods alone
    # recurse in a thread until its stack stops them, and at each level their logger does C recursion (the repr
    # of a list nested 120 deep, about 16 kB of stack); a signal instead of exit status 0 is a C stack overflow.
    try:  # a debug interpreter's threads need more stack of their own (3.14d: 100 KiB at least)
        threading.stack_size(stack_kib * 1024)
    except ValueError as e:
        pytest.skip(f"no {stack_kib} KiB thread with this interpreter: {e}")
    finally:
        threading.stack_size(0)
    if stack_kib == 64 and sys.version_info >= (3, 14) and "detect_leaks=1" in os.environ.get("ASAN_OPTIONS", ""):
        # In a thread this small 3.14's own stack guard ends the recursion first (in repr), and the interpreter
        # then leaks what the overflowing frames held: the same script with the recognisers written in Python
        # leaks as much. Memory errors are still looked for there, leaks not.
        monkeypatch.setenv("ASAN_OPTIONS", os.environ["ASAN_OPTIONS"].replace("detect_leaks=1", "detect_leaks=0"))
    process = run_python(f"""
        import sys, threading
        from types import SimpleNamespace
        import numpy as np
        from models import sablewick_asr as asr
        nested, ended = [], []
        for _ in range(119):
            nested = [nested]
        asr.logger = SimpleNamespace(info=len, debug=len, error=lambda line: repr(nested))
        def run():
            obj = asr.SablewickOfflineASR()
            obj.transcribe = obj.stream_generate
            sys.setrecursionlimit({RAISED})
            try:
                obj.stream_generate(np.zeros(16, np.float32))
            except RecursionError as e:
                ended.append(str(e))
            finally:
                del obj.transcribe  # a cycle through the instance, which nothing would collect before exit
        threading.stack_size({stack_kib} * 1024)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        print(ended)
    """, check=False)
    assert process.returncode == 0, f"exit status {process.returncode}: {process.stderr[-2000:]}"
    assert re.fullmatch(r"\['Stack overflow \(used \d+ kB\) while [^']+'\]\n", process.stdout), process.stdout


FIGURES = {}


def sweep(*args, asan_log=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(STAND_INS))
    if asan_log:  # a crashing child's report goes where the sweep reads it, not among the run's own reports
        env["ASAN_OPTIONS"] = re.sub(r"log_path=[^:]*", f"log_path={asan_log}", env["ASAN_OPTIONS"])
    process = subprocess.run([sys.executable, str(ROOT / "tests" / "nomemory.py"), *args], env=env,
                             capture_output=True, text=True, timeout=1800)
    assert process.returncode == 0, process.stderr[-3000:]
    return json.loads(process.stdout)


def check_sweep(results, label, acceptable):
    for path, result in results.items():
        outcomes = result["outcomes"]
        FIGURES[f"{label}, {path}"] = f"{result['attempts']} attempts: " + ", ".join(
            f"{kind} {count}" for kind, count in outcomes.items())
        unexpected = {kind: result["where"].get(kind) for kind in outcomes
                      if not acceptable(kind) and not kind.startswith("outside: ")}
        assert not unexpected, f"{path}: {unexpected}"
        assert outcomes.get("MemoryError") and result["attempts"] > nomemory.UNTOUCHED, (path, result)


@needs_testcapi
@pytest.mark.parametrize("mode", ["one", "rest"])
def test_failed_allocations_in_calls_leave_no_lock_held(mode):
    # Construction on a cached and a new key, load, and transcribe and stream_generate that load lazily; every
    # attempt is followed by a check of both class locks and a construction of each class.
    check_sweep(sweep("calls", mode), f"calls, mode {mode}", lambda kind: kind in nomemory.NORMAL)


@needs_testcapi
@needs_fork  # each attempt in a fresh process forked from one that has imported everything else
def test_failed_allocations_in_the_first_import():
    # Under the sanitizers every fourth index, to keep the run's time.
    stride = "4" if os.environ.get("SABLEWICK_MODULE_DIR") else "1"
    with tempfile.TemporaryDirectory() as logs:
        results = sweep("import", stride, asan_log=os.path.join(logs, "asan") if "ASAN_OPTIONS" in os.environ
                        else None)
    check_sweep(results, f"import, stride {stride}",
                lambda kind: kind in ("ok", "MemoryError") or re.match(r"(ImportError|ModuleNotFoundError)\b", kind))


@pytest.fixture(scope="module", autouse=True)
def summary(request):
    report_at_end(request, lambda: (f"allocation failures, {path}: {figures}" for path, figures in FIGURES.items()))
