# SPDX-License-Identifier: MIT
"""Leak soak: every path of every recogniser method and every binding error, N times; exits 1 on a leak.
Run as: PYTHONPATH=host:engine .venv/<X.Y>/bin/python tests/soak.py [--iterations N] [--jobs J]"""

import argparse, gc, os, sys, time, tracemalloc, uuid  # noqa: E401
from contextlib import contextmanager, nullcontext
from functools import partial
from pathlib import Path

import numpy as np

import sablewick_voice
from models import sablewick_asr as asr

S, O = asr.SablewickStreamASR, asr.SablewickOfflineASR
MODEL, LANGUAGE = f"sablewick/soak-{uuid.uuid4().hex}", "".join("en")  # built at run time: not immortal
A, EMPTY, PCM = np.linspace(-0.5, 0.5, 16, dtype=np.float32), np.zeros(0, np.float32), np.arange(16, dtype=np.int16)
LINES = ["soak", "text"]  # what the engine recognises: describing the audio would cost more than the call
Fault, Interrupt, NAN = type("Fault", (Exception,), {}), type("Interrupt", (BaseException,), {}), float("nan")
T, F, M, Str = "transcribe_without_streaming", {"fresh": True}, {"missing": True}, type("Str", (str,), {})


# A script that keeps no record of the calls, which would grow without end.
Script = type("Script", (sablewick_voice.Script,), {"calls": property(lambda self: [], lambda self, value: None)})


def log(logger, level, message):
    if level == logger.fail:
        raise Fault(f"{level} failed")


Logger = type("Logger", (), {"fail": None, "__getattr__": lambda self, level: partial(log, self, level)})


@contextmanager
def condition(engine=None, exc=Fault, logger=None, pair=None, lines=LINES, fresh=False, missing=False):
    """An engine entry failing once, a model pair, lines, empty caches, no engine: set, then undone."""
    script, saved = sablewick_voice.script, {cls: cls._model_cache for cls in (S, O)} if fresh else {}
    for cls in saved:
        cls._model_cache = {}
    if engine:
        script.fail(engine, exc("engine fault"), times=1)
    script.model_pair, script.lines, asr.logger.fail = pair() if callable(pair) else pair, lines, logger
    asr.SABLEWICK_AVAILABLE = not missing
    try:
        yield
    finally:
        script.clear()  # failures left armed, the pair, the lines
        script.lines, asr.logger.fail, asr.SABLEWICK_AVAILABLE = LINES, None, True
        for cls, cache in saved.items():
            cls._model_cache = cache


def unload(instance, method, *args):
    instance._transcriber = None
    return getattr(instance, method)(*args)


def class_paths(cls, r, u):
    """(exception it must raise or None, condition, function, *arguments) for what both classes have."""
    t, i = r.transcribe, r._transcribe_internal
    return [
        (None, {}, partial(cls, model=MODEL, sample_rate=8000.5)), (None, F, cls), (None, M, cls),
        (None, {**F, "pair": lambda: iter("pa")}, cls), (Fault, {**F, "engine": "Transcriber"}, cls),
        (Fault, {**F, "engine": "get_model_for_language"}, cls), (ValueError, {**F, "pair": ("p", "a", "x")}, cls),
        (ValueError, {**F, "pair": lambda: iter("p")}, cls), (TypeError, {**F, "pair": 7}, cls),
        (Fault, {**F, "logger": "info"}, cls), (None, {}, r.load), (None, {}, unload, u, "load"),
        (None, {}, r._load_model), (ImportError, M, r.load), (ImportError, M, r._load_model), (None, {}, t, PCM),
        (None, {}, t, A, LANGUAGE), (None, M, t, None), (None, {}, unload, u, "transcribe", A),
        (None, {"lines": []}, t, A), (None, {"lines": ["a", "", "b"]}, t, A), (RuntimeError, {"engine": T}, t, A),
        (Interrupt, {"engine": T, "exc": Interrupt}, t, A), (RuntimeError, {"lines": ["a", 1]}, t, A),
        (RuntimeError, {"logger": "debug"}, t, A), (Fault, {"engine": T, "logger": "error"}, t, A),
        (ValueError, {}, t, "not audio"), (Fault, {**F, "engine": "Transcriber"}, unload, u, "transcribe", A),
        (None, {}, i, A), (RuntimeError, {"lines": []}, i, 5), (RuntimeError, {}, unload, u, "_transcribe_internal", A),
        (ValueError, {}, r.stream_generate, A, A), (ValueError, {}, partial(cls, sample_rate=NAN)),
        (None, {}, partial(cls.__init__, self=cls.__new__(cls), model=MODEL))] + [(TypeError, {}, *row) for row in [
            (cls.transcribe, r), (t, A, "zh", 1), (partial(t, A, audio=A),), (partial(t, A, rate=1),), (t, A, None),
            (t, A, Str("zh")), (lambda: t(A, **{1: 2}),), (partial(r.stream_generate, A, flag=1),), (r.load, 1),
            (cls._load_model,), (partial(r.reset, now=1),), (cls, "a", "b", "c", "d", 1, 2), (partial(cls, model=0),),
            (partial(cls, sample_rate="fast"),), (partial(cls, "a", "b", "c", "d", language="zh"),)]]  # binding errors


def paths():
    sablewick_voice.script, asr.logger = Script(), Logger()
    s, o, us, uo = S(model=MODEL), O(model=MODEL), S(model=MODEL), O(model=MODEL)
    odd = type("ReturnsTuple", (O,), {"transcribe": lambda self, audio, language: ()})(model=MODEL)
    sg = s.stream_generate

    def cycle(is_final=True, engine=None):  # fresh, started, an empty chunk, final (with a failing entry)
        s.reset(), sg(A), sg(EMPTY)
        with condition(engine):
            sg(A, is_final)
    return (s, o, us, uo, odd), class_paths(S, s, us) + class_paths(O, o, uo) + [
        (None, {}, cycle), (None, {}, cycle, False), (RuntimeError, {}, cycle, True, "stop"), (None, {}, sg, PCM, [0]),
        (None, M, sg, None), (RuntimeError, {"engine": "start"}, lambda: (s.reset(), sg(A))), (ValueError, {}, sg, "-"),
        (RuntimeError, {"engine": "add_audio"}, sg, A), (Interrupt, {"engine": "add_audio", "exc": Interrupt}, sg, A),
        (None, {}, unload, us, "stream_generate", A, True), (None, {"engine": "stop"}, lambda: (sg(A), s.reset())),
        (None, {"engine": "stop", "exc": Interrupt}, lambda: (sg(A), s.reset())),
        (TypeError, {}, partial(S, update_interval="slow")),
        (TypeError, {}, partial(O, model_type=asr.ModelType.SABLEWICK)),
        (TypeError, {}, o._transcribe_internal, A, "zh"), (None, {}, o.stream_generate, A, True, LANGUAGE),
        (RuntimeError, {"engine": T}, o.stream_generate, A), (Fault, {"logger": "error"}, o.stream_generate, A),
        (TypeError, {}, odd.stream_generate, A), (None, {}, o.reset)]


def watched(instances):
    """Everything the module touches, less the immortal objects, whose counts never move."""
    objects = [MODEL, LANGUAGE, A, EMPTY, PCM, NAN, LINES, *vars(asr).values(), *vars(sablewick_voice).values(),
               asr.ModelType.SABLEWICK, asr.ModelType.SABLEWICK.value, *instances]
    for owner in (S, O, *instances):  # attributes, the functions' defaults, the cached transcribers
        objects += [*vars(owner).values(), *owner._model_cache.values()]
        objects += [d for f in vars(owner).values() for d in (getattr(f, "__defaults__", None) or ())]
    return [o for o in {id(o): o for o in objects}.values() if sys.getrefcount(o) < 1 << 28]


def rss():
    return int(Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def soak(instances, table, iterations, tag):
    """Runs the paths of `table`; prints the calls made and the memory figures, returns the exit status."""
    failures, started = [], time.perf_counter()

    def run(rounds):
        for n in range(1, rounds + 1):
            for expected, conditions, function, *args in table:
                try:
                    with condition(**conditions) if conditions else nullcontext():
                        function(*args)
                    outcome = None
                except BaseException as e:  # noqa: B036 - Interrupt is among the expected outcomes
                    outcome = e
                if not (isinstance(outcome, expected) if expected else outcome is None):
                    failures.append(f"{function!r:.70}{tuple(args)!r:.40} {conditions}: {outcome!r}")
            if len(failures) > 20:
                return
            if n % 1000 == 0 or n == rounds:  # the stand-ins' exceptions and frames form cycles: collect them
                gc.collect()

    run(max(1, iterations // 100))  # warm-up: caches, interned names, allocator arenas
    objects, traced = watched(instances), max(1, iterations // 10)
    counts, rss_before = [sys.getrefcount(o) for o in objects], rss()
    run(iterations - traced)
    rss_after = rss()  # before tracing: tracemalloc's own tables would count
    tracemalloc.start()  # for the last tenth only: tracing doubles the cost, and a tenth shows any per-call leak
    run(traced)
    growth = tracemalloc.get_traced_memory()[0]  # what was allocated since the start and is still alive
    tracemalloc.stop()
    after = [sys.getrefcount(o) for o in objects]  # the same expression as before: the same temporaries
    failures += [f"{type(objects[i]).__name__} {objects[i]!r:.60}: {counts[i]} -> {after[i]}"
                 for i in range(len(objects)) if after[i] != counts[i]]
    failures += ["tracemalloc growth"] * (growth >= 64 << 10) + ["RSS growth"] * (rss_after - rss_before > 1 << 20)
    print(f"{tag} {len(table)} paths x {iterations} = {len(table) * iterations} calls in "
          f"{time.perf_counter() - started:.1f} s; {len(objects)} reference counts watched\n{tag} tracemalloc net "
          f"growth over the last {traced} iterations: {growth} bytes (limit 65536); RSS over the first "
          f"{iterations - traced}: {rss_before / 2**20:.2f} -> {rss_after / 2**20:.2f} MiB (limit +1)\n"
          + "".join(f"{tag} FAIL {failure}\n" for failure in failures), end="", flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=100_000)
    parser.add_argument("--jobs", type=int, default=2, help="processes, each soaking its share of the paths")
    args, started, (instances, table) = parser.parse_args(), time.perf_counter(), paths()
    for index in range(args.jobs):
        if os.fork() == 0:
            os._exit(soak(instances, table[index::args.jobs], args.iterations, f"[{index + 1}/{args.jobs}]"))
    failed = sum(os.wait()[1] != 0 for _ in range(args.jobs))
    print(f"soak: {len(table) * args.iterations} calls in {time.perf_counter() - started:.1f} s, {failed} jobs failed")
    sys.exit(1 if failed else 0)
