# SPDX-License-Identifier: MIT
"""Measures one implementation of the recognisers, in a process of its own; `run.py` starts it.

    worker.py --impl module|baseline --mode time|callgrind|import --out FILE [--quick] [--time-only]

The implementation comes from `sys.path` (set up by run.py): `models.sablewick_asr` for the module,
`baseline` for the plain-Python classes. Results go to FILE as JSON.

Every measured path is a `timeit` statement with its objects in locals, so that the loop around it costs
the same few instructions for both implementations; that loop, measured on its own, is subtracted.
"""

import argparse
import gc
import json
import operator
import sys
import time
import timeit
import tracemalloc
import types

# (key, label, setup, statement, overhead statement or None for the bare loop)
# `setup` copies the objects built by `prepare` into locals of the timing loop.
PATHS = [
    ("stream_init", "SablewickStreamASR() on a cached key", "c = S", "c()", None),
    ("offline_init", "SablewickOfflineASR() on a cached key", "c = O", "c()", None),
    ("stream_init_kw", "SablewickStreamASR(every parameter by keyword)", "c = S",
     "c(model='sablewick/base', device='cpu', language='zh', update_interval=0.3, sample_rate=16000)", None),
    ("load", "load() on a loaded instance", "r = s_idle", "r.load()", None),
    ("stream_transcribe", "stream transcribe (engine returns one line)", "r = s_idle; a = audio",
     "r.transcribe(a)", None),
    ("offline_transcribe", "offline transcribe (engine returns one line)", "r = o; a = audio",
     "r.transcribe(a)", None),
    ("stream_generate", "stream_generate, started stream, 1600 samples", "r = s_started; a = audio",
     "r.stream_generate(a)", None),
    ("stream_generate_final", "stream_generate, final chunk of a started stream", "r = s_final; a = audio",
     "r._streaming_started = True\nr.stream_generate(a, True)", "r._streaming_started = True"),
    ("stream_generate_kw", "stream_generate, every parameter by keyword", "r = s_started; a = audio",
     "r.stream_generate(audio=a, is_final=False, language='zh')", None),
    ("offline_stream_generate", "offline stream_generate", "r = o; a = audio", "r.stream_generate(a)", None),
    ("reset", "reset() on an idle stream", "r = s_idle", "r.reset()", None),
    ("bind_error_count", "binding error: transcribe() without audio", "r = s_idle",
     "try:\n    r.transcribe()\nexcept TypeError:\n    pass", None),
    ("bind_error_type", "binding error: transcribe(audio, language=None)", "r = s_idle; a = audio",
     "try:\n    r.transcribe(a, language=None)\nexcept TypeError:\n    pass", None),
]

LOOP = "pass"
TEXT = "hello world"


def load_impl(kind):
    if kind == "module":
        from models import sablewick_asr as impl
    else:
        import baseline as impl
    return impl


def cheap_stand_ins(impl):
    """Rebinds the module's globals to stand-ins that cost as little as their call shapes allow, so
    that what is measured is the recogniser's own work. Returns the one transcriber every load gets."""
    import sablewick_voice

    transcript = sablewick_voice.Transcript([sablewick_voice.Line(TEXT)])

    def transcribe_without_streaming(audio, sample_rate=16000, flags=0):
        return transcript

    # Functions in the instance dict, not methods of a class: reading them makes no bound method.
    # start/stop take no argument and add_audio two positional ones: builtins that fit those shapes.
    transcriber = types.SimpleNamespace(transcribe_without_streaming=transcribe_without_streaming,
                                        start=gc.isenabled, add_audio=operator.is_, stop=gc.isenabled)

    def normalize_audio(audio, target_dtype=None):
        # No builtin takes a `target_dtype` keyword; the smallest Python function does.
        return audio

    impl.logger = types.SimpleNamespace(info=id, debug=id, warning=id, error=id)
    impl.normalize_audio = normalize_audio
    impl.get_model_for_language = lambda language: ("sablewick_voice/models/" + language, "sablewick-ctc")
    impl.Transcriber = lambda model_path, model_arch: transcriber
    return transcriber


def prepare(impl):
    """Builds the objects the paths use and checks that each path does what it is meant to."""
    import numpy as np

    transcriber = cheap_stand_ins(impl)
    S, O = impl.SablewickStreamASR, impl.SablewickOfflineASR
    audio = np.zeros(1600, np.float32)
    objects = {"S": S, "O": O, "audio": audio, "s_idle": S(), "s_started": S(), "s_final": S(), "o": O()}
    for name in ("s_idle", "s_started", "s_final", "o"):
        if objects[name]._transcriber is not transcriber:
            raise SystemExit(f"{name} did not load the benchmark's transcriber")
    expected = [{"text": TEXT}]
    checks = [
        (objects["s_idle"].transcribe(audio), expected),
        (objects["o"].transcribe(audio), expected),
        (objects["o"].stream_generate(audio), expected),
        (objects["s_started"].stream_generate(audio), []),
        (objects["s_started"]._streaming_started, True),
        (objects["s_final"].stream_generate(audio, True), []),
        (objects["s_final"]._streaming_started, False),
        (objects["s_idle"].load(), None),
        (objects["s_idle"].reset(), None),
    ]
    for got, want in checks:
        if got != want:
            raise SystemExit(f"unexpected result {got!r}, wanted {want!r}")
    for stmt in ("r.transcribe()", "r.transcribe(a, language=None)"):
        try:
            eval(stmt, {"r": objects["s_idle"], "a": audio})
        except TypeError:
            pass
        else:
            raise SystemExit(f"{stmt} did not raise TypeError")
    return objects


def timers(objects):
    """One timeit.Timer per distinct (setup, statement), and for each path the pair of keys of its
    statement and of the overhead subtracted from it."""
    made = {}
    plan = {}
    for key, label, setup, stmt, overhead in PATHS:
        pair = ((setup, stmt), (setup, overhead or LOOP))
        for setup_stmt in pair:
            if setup_stmt not in made:
                made[setup_stmt] = timeit.Timer(setup_stmt[1], setup_stmt[0], globals=objects)
        plan[key] = pair
    return plan, made


# --- wall-clock time -----------------------------------------------------------------------------

def measure_time(objects, quick):
    """Each path's timings, ns per call: {key: [statement runs, overhead runs]}.

    Runs are short and taken in turns over all statements, so that a burst of other load on the machine
    spoils one run of many statements rather than every run of one; the median then drops it."""
    repeat, target = (15, 0.001) if quick else (31, 0.002)
    plan, made = timers(objects)
    numbers = {}
    for setup_stmt, timer in made.items():
        timer.timeit(2000)  # warm-up: specialisation, caches, allocator pools
        number = 1000
        elapsed = timer.timeit(number)
        while elapsed < target / 10 and number < 10 ** 7:
            number *= 10
            elapsed = timer.timeit(number)
        numbers[setup_stmt] = max(100, int(number * target / elapsed))
    per_call = {setup_stmt: [] for setup_stmt in made}
    for _ in range(repeat):
        for setup_stmt, timer in made.items():
            number = numbers[setup_stmt]
            per_call[setup_stmt].append(timer.timeit(number) / number * 1e9)
    return {key: [per_call[stmt], per_call[overhead]] for key, (stmt, overhead) in plan.items()}


# --- allocations ---------------------------------------------------------------------------------

def traced_blocks():
    snapshot = tracemalloc.take_snapshot()
    blocks = len(snapshot.traces)
    size = sum(trace.size for trace in snapshot.traces)
    del snapshot
    return blocks, size


def measure_kept_blocks(objects, quick):
    """Blocks (and bytes) still allocated after many calls, per call: what a call leaves behind."""
    calls = 2000 if quick else 20000
    plan, made = timers(objects)
    out = {}
    for key, (stmt, overhead) in plan.items():
        timer = made[stmt]
        timer.timeit(1000)
        gc.collect()
        tracemalloc.start()
        timer.timeit(100)  # lets tracemalloc's own tables settle
        gc.collect()
        blocks0, size0 = traced_blocks()
        timer.timeit(calls)
        gc.collect()
        blocks1, size1 = traced_blocks()
        tracemalloc.stop()
        out[key] = {"blocks": (blocks1 - blocks0) / calls, "bytes": (size1 - size0) / calls}
    return out


def check_no_copy(impl):
    """The array the engine receives must be the very object normalize_audio returned."""
    import numpy as np
    import utils.audio

    seen = {"returned": [], "received": []}
    real_normalize = utils.audio.normalize_audio

    def normalize_audio(audio, target_dtype=None):
        result = real_normalize(audio, target_dtype=target_dtype)
        seen["returned"].append(result)
        return result

    import sablewick_voice
    transcript = sablewick_voice.Transcript([sablewick_voice.Line(TEXT)])

    def transcribe_without_streaming(audio, sample_rate=16000, flags=0):
        seen["received"].append(audio)
        return transcript

    def add_audio(audio, sample_rate):
        seen["received"].append(audio)

    recording = types.SimpleNamespace(transcribe_without_streaming=transcribe_without_streaming,
                                      start=gc.isenabled, add_audio=add_audio, stop=gc.isenabled)
    saved = impl.normalize_audio, impl.Transcriber
    impl.normalize_audio = normalize_audio
    impl.Transcriber = lambda model_path, model_arch: recording
    try:
        model = "sablewick/bench-no-copy"  # a key of its own, so the recording transcriber gets loaded
        stream = impl.SablewickStreamASR(model=model)
        offline = impl.SablewickOfflineASR(model=model)
        results = {}
        for dtype in ("int16", "float32"):
            audio = np.arange(1600).astype(dtype)
            calls = {
                "stream transcribe": lambda: stream.transcribe(audio),
                "stream stream_generate": lambda: stream.stream_generate(audio),
                "offline transcribe": lambda: offline.transcribe(audio),
                "offline stream_generate": lambda: offline.stream_generate(audio),
            }
            for name, call in calls.items():
                seen["returned"].clear()
                seen["received"].clear()
                call()
                same = (len(seen["returned"]) == 1 and len(seen["received"]) == 1
                        and seen["received"][0] is seen["returned"][0])
                results[f"{name} ({dtype})"] = same
        stream.reset()
        return results
    finally:
        impl.normalize_audio, impl.Transcriber = saved


# --- instructions (run under callgrind) ----------------------------------------------------------

def run_for_callgrind(objects, quick, marker):
    """Runs every statement N and 2N times, each run inside the marker function (bench/marker.c, built into
    the folder `marker`) that callgrind collects in and dumps after; run.py takes the difference of the two
    dumps.

    Callgrind counts calls also while it does not collect, into the next dump, so the runs follow one
    another with nothing between them that allocates: the bound methods and counts are made beforehand,
    and each statement's warm-up is a run of its own whose dump run.py discards."""
    n = 200 if quick else 500
    plan, made = timers(objects)
    order, runs = [], []
    for (setup, stmt), timer in made.items():
        for count in (300, n, 2 * n):
            order.append({"setup": setup, "stmt": stmt, "count": count, "warm-up": count == 300})
            runs.append((timer.timeit, count))
    sys.path.insert(0, marker)
    from sablewick_bench_marker import call
    for function, count in runs:
        call(function, count)
    paths = {key: {"stmt": list(stmt), "overhead": list(overhead)} for key, (stmt, overhead) in plan.items()}
    return {"n": n, "order": order, "paths": paths}


# --- import time ---------------------------------------------------------------------------------

def measure_import(kind, pycache):
    # The module's dependencies first, so that only its own initialisation is timed.
    import numpy, typing, threading  # noqa: F401, E401
    import zel_asr_log, models.base_asr, utils.audio, zel_asr_config, sablewick_voice  # noqa: F401, E401
    if kind == "baseline" and pycache:
        # A deployed .py module is imported from its bytecode; keep that bytecode outside the tree.
        sys.pycache_prefix = pycache
        sys.dont_write_bytecode = False
    start = time.perf_counter_ns()
    impl = load_impl(kind)
    elapsed = time.perf_counter_ns() - start
    return {"ns": elapsed, "file": impl.__file__}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--impl", choices=("module", "baseline"), required=True)
    parser.add_argument("--mode", choices=("time", "callgrind", "import"), required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--time-only", action="store_true", help="skip the allocation and copy checks")
    parser.add_argument("--pycache", help="bytecode folder for the baseline's import")
    parser.add_argument("--marker", help="the folder of the marker module built from bench/marker.c (callgrind)")
    args = parser.parse_args()

    if args.mode == "import":
        result = measure_import(args.impl, args.pycache)
    else:
        impl = load_impl(args.impl)
        objects = prepare(impl)
        if args.mode == "time":
            result = {"file": impl.__file__, "ns": measure_time(objects, args.quick)}
            if not args.time_only:
                result["kept"] = measure_kept_blocks(objects, args.quick)
                result["no_copy"] = check_no_copy(impl)
        else:
            result = run_for_callgrind(objects, args.quick, args.marker)
            result["file"] = impl.__file__
    with open(args.out, "w") as handle:
        json.dump(result, handle)


if __name__ == "__main__":
    main()
