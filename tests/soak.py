"""Leak soak: every success and failure path of every recogniser method, and every binding error, N times.

    PYTHONPATH=host:engine .venv/bin/python tests/soak.py [--iterations N] [--jobs J]

Reference counts of what the module touches must not move, tracemalloc's net growth must stay under 64 KiB and
the resident set flat. Exits 1 on any failure.
"""

import argparse, gc, os, sys, time, tracemalloc, uuid  # noqa: E401
from contextlib import contextmanager, nullcontext
from functools import partial
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # NumPy single-threaded, so that the shards can fork safely
sys.path[:0] = [str(Path(__file__).resolve().parent.parent / part) for part in ("host", "engine")]
import numpy as np  # noqa: E402

import sablewick_voice  # noqa: E402
from models import sablewick_asr as asr  # noqa: E402

S, O = asr.SablewickStreamASR, asr.SablewickOfflineASR
MODEL, LANGUAGE = f"sablewick/soak-{uuid.uuid4().hex}", "".join("en")  # built at run time: not immortal
AUDIO, EMPTY = np.linspace(-0.5, 0.5, 16, dtype=np.float32), np.zeros(0, np.float32)  # short: calls count
PCM = (np.arange(16) - 8).astype(np.int16)  # converted by normalisation
LINES = ["soak", "text"]  # what the engine recognises: describing the audio would cost more than the call
Fault, Interrupt, Str = type("Fault", (Exception,), {}), type("Interrupt", (BaseException,), {}), type("Str", (str,), {})
T, F, M = "transcribe_without_streaming", {"fresh": True}, {"missing": True}


class Script(sablewick_voice.Script):
    calls = property(lambda self: [], lambda self, value: None)  # keeps no record: it would grow forever


class Logger:
    fail = None  # the level whose call raises

    def __getattr__(self, level):
        def log(message):
            if level == self.fail:
                raise Fault(f"{level} failed")
        return log


Truthless = type("Truthless", (), {"__bool__": lambda self: 1 / 0})  # a truth test that raises
ReturnsTuple = type("ReturnsTuple", (O,), {"transcribe": lambda self, audio, language="zh": ()})


def E(entry, **more):
    return {"engine": entry, **more}


@contextmanager
def condition(engine=None, exc=Fault, logger=None, pair=None, lines=LINES, fresh=False, missing=False, unset=None):
    """An engine entry failing once, a model pair, lines, empty caches, a missing global: set, then undone."""
    script, saved = sablewick_voice.script, {cls: cls._model_cache for cls in (S, O)} if fresh else {}
    for cls in saved:
        cls._model_cache = {}
    if engine:
        script.fail(engine, exc("engine fault"), times=1)
    script.model_pair, script.lines, asr.logger.fail = pair() if callable(pair) else pair, lines, logger
    asr.SABLEWICK_AVAILABLE = not missing
    removed = vars(asr).pop(unset) if unset else None
    try:
        yield
    finally:
        vars(asr).update({unset: removed} if unset else {})
        script.clear() if engine else None
        script.model_pair, script.lines, asr.logger.fail, asr.SABLEWICK_AVAILABLE = None, LINES, None, True
        for cls, cache in saved.items():
            cls._model_cache = cache


def unload(instance, method, *args):
    instance._transcriber = None
    return getattr(instance, method)(*args)


def class_paths(cls, r, u):
    """(exception it must raise or None, condition, function, *arguments) for what both classes have."""
    return [
        (None, {}, partial(cls, model=MODEL, sample_rate=8000.5)), (None, F, cls), (None, M, cls),
        (None, {**F, "pair": lambda: iter("pa")}, cls), (NameError if cls is S else None, {"unset": "ModelType"}, cls),
        (NameError, {"unset": "SABLEWICK_AVAILABLE"}, cls), (Fault, E("Transcriber", **F), cls),
        (Fault, E("get_model_for_language", **F), cls), (ValueError, {**F, "pair": ("p", "a", "x")}, cls),
        (ValueError, {**F, "pair": lambda: iter("p")}, cls), (TypeError, {**F, "pair": 7}, cls),
        (Fault, {**F, "logger": "info"}, cls), (None, {}, r.load), (None, {}, unload, u, "load"),
        (None, {}, r._load_model), (ImportError, M, r.load), (ImportError, M, r._load_model),
        (None, {}, r.transcribe, AUDIO, LANGUAGE), (None, {}, r.transcribe, PCM), (None, {}, unload, u, "transcribe", AUDIO),
        (None, {"lines": []}, r.transcribe, AUDIO), (None, {"lines": ["a", "", "b"]}, r.transcribe, AUDIO),
        (None, M, r.transcribe, None), (RuntimeError, E(T), r.transcribe, AUDIO),
        (Interrupt, E(T, exc=Interrupt), r.transcribe, AUDIO), (RuntimeError, {"lines": ["a", 1]}, r.transcribe, AUDIO),
        (RuntimeError, {"logger": "debug"}, r.transcribe, AUDIO), (Fault, E(T, logger="error"), r.transcribe, AUDIO),
        (ValueError, {}, r.transcribe, "not audio"), (Fault, E("Transcriber", **F), unload, u, "transcribe", AUDIO),
        (None, {}, r._transcribe_internal, AUDIO), (RuntimeError, {"lines": []}, r._transcribe_internal, 5),
        (RuntimeError, {}, unload, u, "_transcribe_internal", AUDIO), (ZeroDivisionError, {}, r.stream_generate, AUDIO, Truthless()),
        (None, {}, partial(cls.__init__, self=cls.__new__(cls), model=MODEL)),
        (ValueError, {}, partial(cls, sample_rate=float("nan"))),
    ] + [(TypeError, {}, *row) for row in [  # binding errors
        (cls.transcribe, r), (r.transcribe, AUDIO, "zh", 1), (partial(r.transcribe, AUDIO, audio=AUDIO),),
        (partial(r.transcribe, AUDIO, rate=1),), (r.transcribe, AUDIO, None), (r.transcribe, AUDIO, Str("zh")),
        (lambda: r.transcribe(AUDIO, **{1: 2}),), (partial(r.stream_generate, AUDIO, flag=1),), (r.load, 1),
        (cls._load_model,), (partial(r.reset, now=1),), (cls, "a", "b", "c", "d", 1, 2), (partial(cls, model=None),),
        (partial(cls, sample_rate="fast"),), (partial(cls, "a", "b", "c", "d", language="zh"),)]]


def paths():
    sablewick_voice.script, asr.logger = Script(), Logger()
    s, o, us, uo, odd = S(model=MODEL), O(model=MODEL), S(model=MODEL), O(model=MODEL), ReturnsTuple(model=MODEL)

    def cycle(is_final=True, engine=None):  # fresh, started, an empty chunk, final (with a failing entry)
        s.reset(), s.stream_generate(AUDIO), s.stream_generate(EMPTY)
        with condition(engine):
            s.stream_generate(AUDIO, is_final)
    return (s, o, us, uo, odd), class_paths(S, s, us) + class_paths(O, o, uo) + [
        (None, {}, cycle), (None, {}, cycle, False), (RuntimeError, {}, cycle, True, "stop"),
        (None, {}, s.stream_generate, PCM, [0]), (RuntimeError, E("start"), lambda: (s.reset(), s.stream_generate(AUDIO))),
        (RuntimeError, E("add_audio"), s.stream_generate, AUDIO), (ValueError, {}, s.stream_generate, "not audio"),
        (Interrupt, E("add_audio", exc=Interrupt), s.stream_generate, AUDIO), (None, M, s.stream_generate, None),
        (None, {}, unload, us, "stream_generate", AUDIO, True),
        (None, E("stop"), lambda: (s.stream_generate(AUDIO), s.reset())),
        (None, E("stop", exc=Interrupt), lambda: (s.stream_generate(AUDIO), s.reset())),
        (TypeError, {}, partial(S, update_interval="slow")), (TypeError, {}, partial(O, model_type=asr.ModelType.SABLEWICK)),
        (TypeError, {}, o._transcribe_internal, AUDIO, "zh"), (None, {}, o.stream_generate, AUDIO, True, LANGUAGE),
        (RuntimeError, E(T), o.stream_generate, AUDIO), (Fault, {"logger": "error"}, o.stream_generate, AUDIO),
        (TypeError, {}, odd.stream_generate, AUDIO), (None, {}, o.reset)]


def watched(instances):
    """Everything the module touches, less the immortal objects, whose counts never move."""
    objects = [MODEL, LANGUAGE, AUDIO, EMPTY, PCM, *vars(asr).values(), *vars(sablewick_voice).values(),
               asr.ModelType.SABLEWICK, asr.ModelType.SABLEWICK.value]
    for cls in (S, O):
        objects += [*vars(cls).values(), *cls._model_cache.values()]
        objects += [d for f in vars(cls).values() for d in (getattr(f, "__defaults__", None) or ())]
    for instance in instances:
        objects += [instance, *vars(instance).values()]
    return [o for o in {id(o): o for o in objects}.values() if sys.getrefcount(o) < 1 << 28]


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def shard(instances, table, iterations, tag):
    """Soaks the paths of `table`; prints its figures, returns the exit status."""
    failures = []

    def run(rounds):
        for _ in range(rounds):
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

    started = time.perf_counter()
    run(max(1, iterations // 100))  # warm-up: caches, interned names, allocator arenas
    objects, traced = watched(instances), max(1, iterations // 10)
    gc.collect()
    counts, rss_before = [sys.getrefcount(o) for o in objects], rss()
    run(iterations - traced)
    gc.collect()
    rss_after = rss()  # before tracing: tracemalloc's own tables would count
    tracemalloc.start()  # for the last tenth only: tracing doubles the cost, and a tenth shows any per-call leak
    traced_before = tracemalloc.get_traced_memory()[0]
    run(traced)
    gc.collect()
    growth = tracemalloc.get_traced_memory()[0] - traced_before
    tracemalloc.stop()
    after = [sys.getrefcount(o) for o in objects]  # the same expression as before: the same temporaries
    failures += [f"{type(objects[i]).__name__} {objects[i]!r:.60}: {counts[i]} -> {after[i]}"
                 for i in range(len(objects)) if after[i] != counts[i]]
    failures += ["tracemalloc growth over 64 KiB"] * (growth >= 64 << 10) + ["RSS grew"] * (rss_after - rss_before > 1 << 20)
    print(f"{tag} {len(table)} paths x {iterations} iterations = {len(table) * iterations} calls in "
          f"{time.perf_counter() - started:.1f} s; {len(objects)} reference counts watched; {len(failures)} failures\n"
          f"{tag} tracemalloc net growth over the last {traced} iterations: {growth} bytes (limit 65536); RSS over "
          f"the others {rss_before / 2**20:.1f} -> {rss_after / 2**20:.1f} MiB (limit +1 MiB)\n"
          + "".join(f"{tag} FAIL {failure}\n" for failure in failures), end="", flush=True)
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=100_000)
    parser.add_argument("--jobs", type=int, default=2, help="processes, each soaking its share of the paths")
    args, started = parser.parse_args(), time.perf_counter()
    instances, table = paths()
    for index in range(args.jobs):
        if os.fork() == 0:
            os._exit(shard(instances, table[index::args.jobs], args.iterations, f"[{index + 1}/{args.jobs}]"))
    failed = sum(os.wait()[1] != 0 for _ in range(args.jobs))
    print(f"soak: {len(table) * args.iterations} calls in {args.jobs} processes, {time.perf_counter() - started:.1f} s,"
          f" {'FAILED' if failed else 'passed'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
