# SPDX-License-Identifier: MIT
"""Each Python-level call a method makes on its success path, as a recording of it finds them, raises in turn."""

import itertools
import threading
import types
from functools import partial

import numpy as np
import pytest

import sablewick_voice
from conftest import report_at_end, sablewick_asr as asr

S, O = asr.SablewickStreamASR, asr.SablewickOfflineASR
AUDIO = (np.arange(1600) % 200 - 100).astype(np.int16)  # int16, so that normalisation converts it
POINTS, FIGURES = None, {}  # the recording of the run in progress; passed/injected per case and kind
Fault, Interrupt = type("Fault", (Exception,), {}), type("Interrupt", (BaseException,), {})


class Points:
    """Ordered record of call points and of the state each finds; the point numbered `target` raises `exc`."""

    def __init__(self, state, target=None, exc=None):
        self.state, self.target, self.exc, self.trace, self.states, self.active = state, target, exc, [], [], False

    def __call__(self, label, value=None):
        if self.active:
            self.active = False  # reading the state must not record
            self.states.append(self.state())
            self.active = True
            self.trace.append((label, value))
            if len(self.trace) - 1 == self.target:  # the calls before it are those of the successful run
                raise self.exc


def recorded(label, function, keep=None):
    def call(*args, **kwargs):
        POINTS(label, None if keep is None else args[keep])
        return function(*args, **kwargs)
    return call


# Released before the fault: a lock still held afterwards means that __exit__ was skipped.
Lock = type("Lock", (), {"__init__": lambda self: setattr(self, "inner", threading.Lock()),
                         "__enter__": recorded("lock.enter", lambda self: self.inner.acquire() and None),
                         "__exit__": lambda self, *exc_info: self.inner.release() or POINTS("lock.exit")})
Cache = type("Cache", (dict,), {"__contains__": recorded("cache.contains", dict.__contains__),
                                "__getitem__": recorded("cache.getitem", dict.__getitem__),
                                "__setitem__": recorded("cache.setitem", dict.__setitem__)})
Transcriber = type("Transcriber", (sablewick_voice.Transcriber,), {
    name: recorded("Transcriber" if name == "__init__" else name, getattr(sablewick_voice.Transcriber, name))
    for name in ("__init__", "start", "add_audio", "stop", "transcribe_without_streaming")})
Logger = type("Logger", (), {"__getattr__": lambda self, level: recorded(f"logger.{level}", lambda text: 0, keep=0)})


RECORDING = {cls: type(f"Recording{cls.__name__}", (cls,), {  # the base classes define none of these three
    "__new__": lambda klass, *args, **kwargs: setattr(POINTS, "obj", object.__new__(klass)) or POINTS.obj,
    "__getattribute__": lambda self, name: POINTS(f"get:{name}") or object.__getattribute__(self, name),
    "__setattr__": lambda self, name, value: POINTS(f"set:{name}") or object.__setattr__(self, name, value)})
    for cls in (S, O)}
# (method, None for the constructor; state prepared; arguments; a point the call must make)
BOTH = [(None, None, (), "Transcriber"), ("load", "unloaded", (), "lock.enter"),
        ("_load_model", "unloaded", (), "Transcriber"), ("transcribe", "loaded", (AUDIO,), "normalize_audio"),
        ("transcribe", "unloaded", (AUDIO,), "Transcriber"), ("_transcribe_internal", "loaded", (AUDIO,), "time.time")]
OWN = {S: [("stream_generate", "loaded", (AUDIO,), "start"), ("stream_generate", "started", (AUDIO,), "add_audio"),
           ("stream_generate", "started", (AUDIO, True), "stop"), ("reset", "started", (), "stop")],
       O: [("stream_generate", "loaded", (AUDIO,), "logger.error")]}
CASES = {f"{cls.__name__}.{row[0] or '__init__'} {row[1] or 'new'}{' final' * (len(row[2]) > 1)}": (cls, *row)
         for cls in (S, O) for row in BOTH + OWN[cls]}


@pytest.fixture(autouse=True)
def stand_ins(monkeypatch):
    monkeypatch.setattr(sablewick_voice, "script", sablewick_voice.Script())
    clock = types.SimpleNamespace(time=recorded("time.time", partial(next, itertools.count(0, 0.01))))  # 10 ms steps
    for name, value in {"logger": Logger(), "time": clock, "SABLEWICK_AVAILABLE": True, "Transcriber": Transcriber,
                        "normalize_audio": recorded("normalize_audio", asr.normalize_audio), "get_model_for_language":
                        recorded("get_model_for_language", asr.get_model_for_language)}.items():
        monkeypatch.setattr(asr, name, value)


class Run:
    def __init__(self, monkeypatch, case, target=None, exc=None):
        global POINTS
        cls, method, prepare, args, _ = CASES[case]
        self.cache, self.lock = Cache(), Lock()
        POINTS = Points(lambda: self.state(POINTS.obj), target, exc)
        monkeypatch.setattr(cls, "_model_cache", self.cache)
        monkeypatch.setattr(cls, "_cache_lock", self.lock)
        if prepare:
            asr.SABLEWICK_AVAILABLE = prepare != "unloaded"
            obj = POINTS.obj = RECORDING[cls]()
            asr.SABLEWICK_AVAILABLE = True
            if prepare == "started":
                obj.stream_generate(AUDIO)
        call, POINTS.active = partial(getattr(obj, method), *args) if method else RECORDING[cls], True
        try:
            self.outcome = call()
        except BaseException as e:  # noqa: B036 - the non-Exception faults are under test too
            self.outcome = e
        POINTS.active = False
        self.trace, self.states, self.after = POINTS.trace, POINTS.states, self.state(POINTS.obj)
        self.labels = [label for label, _ in self.trace]

    def state(self, obj):
        """Attributes and cache keys; a cached transcriber stands for its key, so that two runs' states compare."""
        keys = {id(entry): key for key, entry in dict.items(self.cache)}
        return ({k: keys.get(id(v), v) for k, v in vars(obj).items()} if obj is not None else {}), set(self.cache)


def problem(monkeypatch, case, good, i, exc):
    (cls, method, *_), label, labels, prefix = CASES[case], good.labels[i], good.labels, good.labels[:i]
    run = Run(monkeypatch, case, i, exc)
    if run.lock.inner.locked():
        return "the class lock is left held"
    if method == "reset" and (label == "stop" or labels[i:i + 2] == ["get:_transcriber", "stop"]):
        quiet = run.outcome is None and not any(name.startswith("logger.") for name in run.labels)
        return None if quiet and run.after == good.after else f"not discarded: {run.outcome!r} {run.after}"
    # Inside the Exception handler of _transcribe_internal (entered through its lookup) or of stream_generate.
    chained = isinstance(exc, Exception) and (
        method == "_transcribe_internal" or "get:_transcribe_internal" in prefix
        or cls is S and method == "stream_generate" and "normalize_audio" in prefix)
    held = prefix.count("lock.enter") > prefix.count("lock.exit") and label != "lock.exit"
    tail = [label] + ["lock.exit"] * held + ["logger.error"] * chained
    if run.labels != prefix + tail:
        return f"calls after the fault: {run.labels[i:]}, expected {tail}"
    got = run.outcome
    if chained and not (type(got) is RuntimeError and got.__cause__ is got.__context__ is exc
                        and got.__suppress_context__ and str(got).find(str(exc)) > 0 and str(exc) in run.trace[-1][1]):
        return f"not one error line and a chained RuntimeError: {got!r}, {run.trace[-1]}"
    if not chained and got is not exc:
        return f"not propagated unchanged: {got!r}"
    # A failing call leaves the state as the successful one had it when it reached the failing point.
    return None if run.after == good.states[i] else f"state {run.after}, expected {good.states[i]}"


@pytest.mark.parametrize("kind", [Fault, Interrupt])  # Interrupt, not KeyboardInterrupt, which would stop pytest
@pytest.mark.parametrize("case", CASES)
def test_every_call_point_fails_as_prescribed(monkeypatch, case, kind):
    good = Run(monkeypatch, case)
    assert not isinstance(good.outcome, BaseException) and not good.lock.inner.locked(), good.outcome
    assert CASES[case][-1] in good.labels
    failures = []
    for i, label in enumerate(good.labels):
        failure = problem(monkeypatch, case, good, i, kind(f"injected at point {i}, {label}"))
        failures += [f"point {i}, {label}: {failure}"] if failure else []
    FIGURES.setdefault(case, []).append(f"{kind.__name__} {len(good.labels) - len(failures)}/{len(good.labels)}")
    assert not failures, "\n".join(failures)


@pytest.fixture(scope="module", autouse=True)
def summary(request):
    report_at_end(request, lambda: (f"fault points passed/injected, {case}: {', '.join(figures)}"
                                    for case, figures in FIGURES.items()))
