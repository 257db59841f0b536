"""Leak soak: every success and failure path of every recogniser method, and every binding error, N times.

    PYTHONPATH=host:engine .venv/bin/python tests/soak.py [--iterations N] [--jobs J]

Reference counts of everything the module touches must not move, tracemalloc's net growth must stay under
64 KiB and the resident set must stay flat. Exits 1 otherwise.
"""

import argparse
import gc
import os
import re
import subprocess
import sys
import time
import tracemalloc
import uuid
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "host"), str(ROOT / "engine")]

import numpy as np  # noqa: E402

import sablewick_voice  # noqa: E402
from models import sablewick_asr as asr  # noqa: E402

S, O = asr.SablewickStreamASR, asr.SablewickOfflineASR
MODEL = "".join(["sablewick/soak-", uuid.uuid4().hex])  # built at run time: not interned, not immortal
AUDIO = np.linspace(-0.5, 0.5, 16, dtype=np.float32)  # short: the soak counts calls, not samples
PCM = (np.arange(16) - 8).astype(np.int16)  # converted by normalisation
EMPTY = np.zeros(0, np.float32)
LANGUAGE = "".join(["e", "n"])
LINES = ["soak", "text"]  # what the stand-in engine recognises; describing the audio would cost more than the call


class Fault(Exception):
    pass


class Interrupt(BaseException):
    pass


class Script(sablewick_voice.Script):
    calls = property(lambda self: [], lambda self, value: None)  # keeps no record: it would grow forever


class Logger:
    """The host logger, failing on demand."""
    fail = None

    def _log(self, level, message):
        if self.fail == level:
            raise Fault(f"{level} failed")

    def info(self, message):
        self._log("info", message)

    def debug(self, message):
        self._log("debug", message)

    def warning(self, message):
        self._log("warning", message)

    def error(self, message):
        self._log("error", message)


class Str(str):
    pass


class Truthless:
    def __bool__(self):
        raise Fault("no truth value")


class ReturnsTuple(O):
    def transcribe(self, audio, language="zh"):
        return ()


class ReturnsNone(O):
    def transcribe(self, audio, language="zh"):
        return None


class Soak:
    def __init__(self):
        sablewick_voice.script = self.script = Script()
        self.script.lines = LINES
        asr.logger = self.logger = Logger()
        self.stream, self.offline = S(model=MODEL), O(model=MODEL)
        self.unloaded = S(model=MODEL), O(model=MODEL)
        self.odd = ReturnsTuple(model=MODEL), ReturnsNone(model=MODEL)

    def with_(self, call, *, engine=None, exc=Fault, logger=None, pair=None, lines=LINES, fresh=None, unavailable=False,
              unset=None):
        """Runs `call` with one condition set (an engine entry failing, a pair, lines, ...), then undoes it."""
        saved = {cls: cls._model_cache for cls in (S, O)} if fresh else {}
        for cls in saved:
            cls._model_cache = {}
        if engine:
            self.script.fail(engine, exc("engine fault"), times=1)
        self.script.model_pair, self.script.lines, self.logger.fail = pair, lines, logger
        asr.SABLEWICK_AVAILABLE = not unavailable
        removed = asr.__dict__.pop(unset) if unset else None
        try:
            return call()
        finally:
            asr.SABLEWICK_AVAILABLE = True
            if unset:
                setattr(asr, unset, removed)
            if engine:
                self.script.clear()
            self.script.model_pair, self.script.lines, self.logger.fail = None, LINES, None
            for cls, cache in saved.items():
                cls._model_cache = cache

    def paths(self):
        """(name, call, exception it must raise or None)."""
        s, o, w = self.stream, self.offline, self.with_
        us, uo = self.unloaded

        def unload(instance, method, *args):
            instance._transcriber = None
            return getattr(instance, method)(*args)

        def stream_cycle(final_fault=None, is_final=True):
            s.reset()
            s.stream_generate(AUDIO)
            s.stream_generate(EMPTY)
            return w(lambda: s.stream_generate(AUDIO, is_final), engine=final_fault)

        paths = []
        for cls, r, u in ((S, s, us), (O, o, uo)):
            n = cls.__name__
            paths += [
                (f"{n}() cached", lambda cls=cls: cls(MODEL, language="zh", sample_rate=8000.5), None),
                (f"{n}() fresh key", lambda cls=cls: w(lambda: cls(model=MODEL), fresh=True), None),
                (f"{n}() generator pair", lambda cls=cls: w(cls, fresh=True, pair=iter(("p", "a"))), None),
                (f"{n}() list pair", lambda cls=cls: w(cls, fresh=True, pair=["p", "a"]), None),
                (f"{n}() engine missing", lambda cls=cls: w(cls, unavailable=True), None),
                (f"{n}() Transcriber fails", lambda cls=cls: w(cls, fresh=True, engine="Transcriber"), Fault),
                (f"{n}() get_model fails", lambda cls=cls: w(cls, fresh=True, engine="get_model_for_language"), Fault),
                (f"{n}() three values", lambda cls=cls: w(cls, fresh=True, pair=("p", "a", "x")), ValueError),
                (f"{n}() one value", lambda cls=cls: w(cls, fresh=True, pair=("p",)), ValueError),
                (f"{n}() short iterator", lambda cls=cls: w(cls, fresh=True, pair=iter(["p"])), ValueError),
                (f"{n}() long iterator", lambda cls=cls: w(cls, fresh=True, pair=iter("pax")), ValueError),
                (f"{n}() pair not iterable", lambda cls=cls: w(cls, fresh=True, pair=7), TypeError),
                (f"{n}() info fails", lambda cls=cls: w(cls, fresh=True, logger="info"), Fault),
                (f"{n}() no ModelType", lambda cls=cls: w(cls, unset="ModelType"), NameError if cls is S else None),
                (f"{n}() no flag", lambda cls=cls: w(cls, unset="SABLEWICK_AVAILABLE"), NameError),
                (f"{n}.load loaded", r.load, None),
                (f"{n}.load unloaded", lambda u=u: unload(u, "load"), None),
                (f"{n}.load engine missing", lambda r=r: w(r.load, unavailable=True), ImportError),
                (f"{n}._load_model", r._load_model, None),
                (f"{n}._load_model engine missing", lambda r=r: w(r._load_model, unavailable=True), ImportError),
                (f"{n}.transcribe", lambda r=r: r.transcribe(AUDIO, LANGUAGE), None),
                (f"{n}.transcribe PCM", lambda r=r: r.transcribe(PCM), None),
                (f"{n}.transcribe lazily loading", lambda u=u: unload(u, "transcribe", AUDIO), None),
                (f"{n}.transcribe no lines", lambda r=r: w(lambda: r.transcribe(AUDIO), lines=[]), None),
                (f"{n}.transcribe blank lines", lambda r=r: w(lambda: r.transcribe(AUDIO), lines=["a", "", "b"]), None),
                (f"{n}.transcribe engine missing", lambda r=r: w(lambda: r.transcribe(None), unavailable=True), None),
                (f"{n}.transcribe engine fails",
                 lambda r=r: w(lambda: r.transcribe(AUDIO), engine="transcribe_without_streaming"), RuntimeError),
                (f"{n}.transcribe engine interrupted",
                 lambda r=r: w(lambda: r.transcribe(AUDIO), engine="transcribe_without_streaming", exc=Interrupt),
                 Interrupt),
                (f"{n}.transcribe text not str", lambda r=r: w(lambda: r.transcribe(AUDIO), lines=["a", 1]),
                 RuntimeError),
                (f"{n}.transcribe debug fails", lambda r=r: w(lambda: r.transcribe(AUDIO), logger="debug"),
                 RuntimeError),
                (f"{n}.transcribe error line fails",
                 lambda r=r: w(lambda: r.transcribe(AUDIO), logger="error", engine="transcribe_without_streaming"),
                 Fault),
                (f"{n}.transcribe bad audio", lambda r=r: r.transcribe("not audio"), ValueError),
                (f"{n}.transcribe load fails", lambda u=u: w(lambda: unload(u, "transcribe", AUDIO), fresh=True,
                                                             engine="Transcriber"), Fault),
                (f"{n}._transcribe_internal", lambda r=r: r._transcribe_internal(AUDIO), None),
                (f"{n}._transcribe_internal no length", lambda r=r: w(lambda: r._transcribe_internal(5), lines=[]),
                 RuntimeError),
                (f"{n}._transcribe_internal unloaded", lambda u=u: unload(u, "_transcribe_internal", AUDIO),
                 RuntimeError),
                (f"{n}.transcribe binding: missing", lambda cls=cls, r=r: cls.transcribe(r), TypeError),
                (f"{n}.transcribe binding: too many", lambda r=r: r.transcribe(AUDIO, "zh", 1), TypeError),
                (f"{n}.transcribe binding: duplicate", lambda r=r: r.transcribe(AUDIO, audio=AUDIO), TypeError),
                (f"{n}.transcribe binding: unknown", lambda r=r: r.transcribe(AUDIO, rate=1), TypeError),
                (f"{n}.transcribe binding: None", lambda r=r: r.transcribe(AUDIO, None), TypeError),
                (f"{n}.transcribe binding: str subclass", lambda r=r: r.transcribe(AUDIO, language=Str("zh")),
                 TypeError),
                (f"{n}.transcribe binding: non-str key", lambda r=r: r.transcribe(AUDIO, **{1: 2}), TypeError),
                (f"{n}.stream_generate binding: truth fails", lambda r=r: r.stream_generate(AUDIO, Truthless()),
                 Fault),
                (f"{n}.stream_generate binding: unknown", lambda r=r: r.stream_generate(AUDIO, flag=1), TypeError),
                (f"{n}.load binding: too many", lambda r=r: r.load(1), TypeError),
                (f"{n}._load_model binding: none", cls._load_model, TypeError),
                (f"{n}.reset binding: keyword", lambda r=r: r.reset(now=1), TypeError),
                (f"{n}() binding: too many", lambda cls=cls: cls("a", "b", "c", "d", 1, 2), TypeError),
                (f"{n}() binding: model None", lambda cls=cls: cls(model=None), TypeError),
                (f"{n}() binding: rate str", lambda cls=cls: cls(sample_rate="fast"), TypeError),
                (f"{n}() binding: rate nan", lambda cls=cls: cls(sample_rate=float("nan")), ValueError),
                (f"{n}() binding: self keyword", lambda cls=cls: cls.__init__(self=cls.__new__(cls), model=MODEL), None),
                (f"{n}() binding: duplicate", lambda cls=cls: cls("a", "b", "c", "d", language="zh"), TypeError),
            ]
        paths += [
            ("Stream.stream_generate fresh, started, final", stream_cycle, None),
            ("Stream.stream_generate not final", lambda: stream_cycle(is_final=False), None),
            ("Stream.stream_generate truthy list", lambda: s.stream_generate(EMPTY, [0]), None),
            ("Stream.stream_generate start fails", lambda: (s.reset(), w(lambda: s.stream_generate(AUDIO),
                                                                          engine="start")), RuntimeError),
            ("Stream.stream_generate add_audio fails", lambda: w(lambda: s.stream_generate(AUDIO),
                                                                  engine="add_audio"), RuntimeError),
            ("Stream.stream_generate stop fails", lambda: stream_cycle("stop"), RuntimeError),
            ("Stream.stream_generate interrupted", lambda: w(lambda: s.stream_generate(AUDIO), engine="add_audio",
                                                             exc=Interrupt), Interrupt),
            ("Stream.stream_generate bad audio", lambda: s.stream_generate("not audio"), ValueError),
            ("Stream.stream_generate engine missing", lambda: w(lambda: s.stream_generate(None), unavailable=True),
             None),
            ("Stream.stream_generate unloaded", lambda: unload(us, "stream_generate", AUDIO, True), None),
            ("Stream.reset stop fails", lambda: (s.stream_generate(AUDIO), w(s.reset, engine="stop")), None),
            ("Stream.reset stop interrupted", lambda: (s.stream_generate(AUDIO), w(s.reset, engine="stop",
                                                                                   exc=Interrupt)), None),
            ("Stream.reset", s.reset, None),
            ("Stream() binding: interval str", lambda: S(update_interval="slow"), TypeError),
            ("Offline() binding: member for str", lambda: O(model_type=asr.ModelType.SABLEWICK), TypeError),
            ("Offline._transcribe_internal binding: language", lambda: o._transcribe_internal(AUDIO, "zh"), TypeError),
            ("Offline.stream_generate", lambda: o.stream_generate(AUDIO, True, LANGUAGE), None),
            ("Offline.stream_generate fails", lambda: w(lambda: o.stream_generate(AUDIO),
                                                        engine="transcribe_without_streaming"), RuntimeError),
            ("Offline.stream_generate error line fails", lambda: w(lambda: o.stream_generate(AUDIO), logger="error"),
             Fault),
            ("Offline.stream_generate tuple", lambda: self.odd[0].stream_generate(AUDIO), TypeError),
            ("Offline.stream_generate None", lambda: self.odd[1].stream_generate(AUDIO), None),
            ("Offline.reset", o.reset, None),
        ]
        return paths

    def watched(self):
        """Everything the module touches, less the immortal objects whose counts never move."""
        objects = [MODEL, AUDIO, PCM, EMPTY, LANGUAGE, self.script, self.logger, *vars(asr).values(),
                   *vars(sablewick_voice).values(), asr.ModelType.SABLEWICK, asr.ModelType.SABLEWICK.value]
        for cls in (S, O):
            objects += [*vars(cls).values(), *cls._model_cache.values()]
            objects += [d for f in vars(cls).values() for d in (getattr(f, "__defaults__", None) or ())]
        for instance in (self.stream, self.offline, *self.unloaded, *self.odd):
            objects += [instance, *vars(instance).values()]
        unique = {id(o): o for o in objects}
        return [o for o in unique.values() if sys.getrefcount(o) < 1 << 28]


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def shard(iterations, index, count):
    """Soaks every count-th path, starting at index; prints its figures and returns the exit status."""
    soak = Soak()
    paths = soak.paths()[index::count]
    failures = []

    def run(rounds):
        for _ in range(rounds):
            for name, call, expected in paths:
                try:
                    call()
                except BaseException as e:  # noqa: B036 - Interrupt is one of the expected outcomes
                    if expected is None or not isinstance(e, expected):
                        failures.append(f"{name}: raised {e!r}")
                else:
                    if expected is not None:
                        failures.append(f"{name}: did not raise {expected.__name__}")
                if len(failures) > 20:
                    return

    started = time.perf_counter()
    run(max(1, iterations // 100))  # warm-up: caches, interned names, allocator arenas
    watched = soak.watched()
    gc.collect()
    counts, rss_before = [sys.getrefcount(o) for o in watched], rss()
    traced = max(1, iterations // 10)  # tracing doubles the cost; a tenth still shows any per-call leak
    run(iterations - traced)
    tracemalloc.start()
    gc.collect()
    traced_before = tracemalloc.get_traced_memory()[0]
    run(traced)
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    tracemalloc.stop()
    rss_growth = rss() - rss_before
    after = [sys.getrefcount(o) for o in watched]  # the same expression as before: the same temporaries
    moved = [f"{type(watched[i]).__name__} {watched[i]!r:.60}: {counts[i]} -> {after[i]}"
             for i in range(len(watched)) if after[i] != counts[i]]
    problems = failures + moved
    if traced_growth >= 64 * 1024:
        problems.append("tracemalloc growth over 64 KiB")
    if rss_growth > 1024 * 1024:
        problems.append("resident memory grew")
    tag = f"[{index + 1}/{count}]"
    print(f"{tag} {len(paths)} paths x {iterations} iterations = {iterations * len(paths)} calls "
          f"in {time.perf_counter() - started:.1f} s")
    print(f"{tag} reference counts watched: {len(watched)} objects, {len(moved)} moved")
    print(f"{tag} tracemalloc net growth over the last {traced} iterations: {traced_growth} bytes (limit 65536)")
    print(f"{tag} resident memory: {rss_before / 2**20:.1f} MiB -> {(rss_before + rss_growth) / 2**20:.1f} MiB "
          f"({rss_growth / 1024:+.0f} KiB, limit +1024 KiB)")
    for problem in problems:
        print(f"{tag} FAIL {problem}")
    return 1 if problems else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=100_000)
    parser.add_argument("--jobs", type=int, default=2, help="processes, each soaking its share of the paths")
    parser.add_argument("--shard", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.shard is not None:
        return shard(args.iterations, args.shard, args.jobs)
    started = time.perf_counter()
    command = [sys.executable, __file__, "--iterations", str(args.iterations), "--jobs", str(args.jobs)]
    workers = [subprocess.Popen([*command, "--shard", str(i)], stdout=subprocess.PIPE, text=True)
               for i in range(args.jobs)]
    outputs = [worker.communicate()[0] for worker in workers]
    print("".join(outputs), end="")
    calls = sum(int(n) for output in outputs for n in re.findall(r"= (\d+) calls", output))
    failed = [i + 1 for i, worker in enumerate(workers) if worker.returncode]
    print(f"soak: {calls} calls in {time.perf_counter() - started:.1f} s, "
          + (f"FAILED in processes {failed}" if failed else "passed"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
