"""The rarest faults: recursion without end through the methods, and allocations that fail."""

import json
import os
import re
import subprocess
import sys
import tempfile

import pytest

from conftest import ROOT, STAND_INS, report_at_end, run_python

import nomemory

# Each scenario recurses through a method and a C callable (functools.partial), which no Python frame
# interrupts, or through Python code; `call` starts it and `restore` undoes the set-up.
RECURSION = {
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


@pytest.mark.parametrize("scenario", RECURSION)
def test_recursion_through_a_method_ends_in_recursion_error(scenario):
    setup, call, restore, expected = RECURSION[scenario]
    process = run_python(f"""
        import json
        from functools import partial
        from types import SimpleNamespace
        import numpy as np
        from models import sablewick_asr as asr
        S, O, normalize_audio = asr.SablewickStreamASR, asr.SablewickOfflineASR, asr.normalize_audio
        audio = np.zeros(160, np.float32)
        {setup}
        try:
            got = repr({call})
            root = None
        except BaseException as e:
            got, root = type(e).__name__, e
            while root.__cause__ is not None:
                root = root.__cause__
        {restore}
        print(json.dumps([got, type(root).__name__, S._cache_lock.locked() or O._cache_lock.locked(),
                          obj.transcribe(audio) == S().transcribe(audio) == O().transcribe(audio) != []]))
    """, check=False)
    assert process.returncode == 0, process.stderr[-2000:]  # a signal here is a C stack overflow
    got, root, locked, usable = json.loads(process.stdout.splitlines()[-1])
    assert got == expected
    assert root == ("RecursionError" if expected != "None" else "NoneType")
    assert not locked and usable


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


@pytest.mark.parametrize("mode", ["one", "rest"])
def test_failed_allocations_in_calls_leave_no_lock_held(mode):
    # Construction on a cached and a new key, load, and transcribe and stream_generate that load lazily; every
    # attempt is followed by a check of both class locks and a construction of each class.
    check_sweep(sweep("calls", mode), f"calls, mode {mode}", lambda kind: kind in nomemory.NORMAL)


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
