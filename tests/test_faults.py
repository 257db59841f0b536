"""Fault injection: every Python-level call a method makes on its success path is made to raise in turn.

The call points come from a recording of the successful call, so a new call point is covered unasked.
"""

import itertools
import threading
import types
from functools import partial

import numpy as np
import pytest

import sablewick_voice
from conftest import sablewick_asr as asr

S, O = asr.SablewickStreamASR, asr.SablewickOfflineASR
AUDIO = (np.arange(1600) % 200 - 100).astype(np.int16)  # int16, so that normalisation converts it
POINTS, FIGURES = None, {}  # the recording of the run in progress; passed/injected per case and kind
Fault = type("Fault", (Exception,), {})
Interrupt = type("Interrupt", (BaseException,), {})  # not KeyboardInterrupt, which would stop pytest


class Points:
    """Ordered record of (label, value) call points; raises `exc` at the occurrence `target` = (label, n)."""

    def __init__(self, target=None, exc=None):
        self.trace, self.active, self.target, self.exc, self.seen = [], False, target, exc, {}

    def __call__(self, label, value=None):
        if self.active:
            self.trace.append((label, value))
            self.seen[label] = self.seen.get(label, 0) + 1
            if (label, self.seen[label]) == self.target:
                raise self.exc


def recorded(label, function, keep=None):
    def call(*args, **kwargs):
        POINTS(label, None if keep is None else args[keep])
        return function(*args, **kwargs)
    return call


class Lock:
    def __init__(self):
        self.inner = threading.Lock()

    __enter__ = recorded("lock.enter", lambda self: self.inner.acquire() and None)

    def __exit__(self, *exc_info):
        self.inner.release()  # before the fault: a lock still held afterwards means __exit__ was skipped
        POINTS("lock.exit")


Cache = type("Cache", (dict,), {"__contains__": recorded("cache.contains", dict.__contains__),
                                "__getitem__": recorded("cache.getitem", dict.__getitem__),
                                "__setitem__": recorded("cache.setitem", dict.__setitem__, keep=1)})
Transcriber = type("Transcriber", (sablewick_voice.Transcriber,), {
    name: recorded("Transcriber" if name == "__init__" else name, getattr(sablewick_voice.Transcriber, name))
    for name in ("__init__", "start", "add_audio", "stop", "transcribe_without_streaming")})
Logger = type("Logger", (), {"__getattr__": lambda self, level: recorded(f"logger.{level}", lambda text: 0, keep=0)})


def recording(cls):
    class Recording(cls):
        def __new__(klass, *args, **kwargs):
            POINTS.obj = super().__new__(klass)
            return POINTS.obj

        def __getattribute__(self, name):
            POINTS(f"get:{name}")
            return super().__getattribute__(name)

        def __setattr__(self, name, value):
            POINTS(f"set:{name}", value)
            super().__setattr__(name, value)
    return Recording


RECORDING = {S: recording(S), O: recording(O)}
# name: (class, state prepared, the call under test (bound before recording), a point it must make)
CASES = {"Stream()": (S, None, lambda R: R, "Transcriber"), "Offline()": (O, None, lambda R: R, "Transcriber")}
for _cls, _name in ((S, "Stream"), (O, "Offline")):
    CASES.update({f"{_name}.load": (_cls, "unloaded", lambda o: o.load, "Transcriber"),
                  f"{_name}._load_model": (_cls, "unloaded", lambda o: o._load_model, "Transcriber"),
                  f"{_name}.transcribe": (_cls, "loaded", lambda o: partial(o.transcribe, AUDIO), "normalize_audio"),
                  f"{_name}.transcribe loading": (_cls, "unloaded", lambda o: partial(o.transcribe, AUDIO), "Transcriber"),
                  f"{_name}._transcribe_internal": (_cls, "loaded", lambda o: partial(o._transcribe_internal, AUDIO),
                                                    "transcribe_without_streaming")})
CASES.update({"Stream.stream_generate fresh": (S, "loaded", lambda o: partial(o.stream_generate, AUDIO), "start"),
              "Stream.stream_generate started": (S, "started", lambda o: partial(o.stream_generate, AUDIO), "add_audio"),
              "Stream.stream_generate final": (S, "started", lambda o: partial(o.stream_generate, AUDIO, 1), "stop"),
              "Stream.reset started": (S, "started", lambda o: o.reset, "stop"),
              "Offline.stream_generate": (O, "loaded", lambda o: partial(o.stream_generate, AUDIO), "logger.error")})


@pytest.fixture
def world(monkeypatch):
    monkeypatch.setattr(sablewick_voice, "script", sablewick_voice.Script())
    clock = types.SimpleNamespace(time=recorded("time.time", partial(next, itertools.count(0, 0.01))))  # 10 ms steps
    for name, value in {"logger": Logger(), "time": clock, "SABLEWICK_AVAILABLE": True, "Transcriber": Transcriber,
                        "normalize_audio": recorded("normalize_audio", asr.normalize_audio),
                        "get_model_for_language": recorded("get_model_for_language", asr.get_model_for_language)
                        }.items():
        monkeypatch.setattr(asr, name, value)
    return monkeypatch


def token(value, cache):
    """A transcriber stands for the key of its cache entry, so that the states of two runs compare."""
    if isinstance(value, sablewick_voice.Transcriber):
        return next((key for key, entry in dict.items(cache) if entry is value), "stray transcriber")
    return value


def state(obj, cache):
    return ({k: token(v, cache) for k, v in vars(obj).items()} if obj is not None else {}), set(cache)


class Run:
    def __init__(self, world, case, target=None, exc=None):
        global POINTS
        cls, prepare, bind, _ = CASES[case]
        self.cache, self.lock, POINTS, obj = Cache(), Lock(), Points(target, exc), None
        world.setattr(cls, "_model_cache", self.cache)
        world.setattr(cls, "_cache_lock", self.lock)
        if prepare:
            asr.SABLEWICK_AVAILABLE = prepare != "unloaded"
            obj = RECORDING[cls]()
            asr.SABLEWICK_AVAILABLE = True
            if prepare == "started":
                obj.stream_generate(AUDIO)
        self.before, call, POINTS.active = state(obj, self.cache), bind(obj or RECORDING[cls]), True
        try:
            self.outcome = call()
        except BaseException as e:  # noqa: B036 - the non-Exception faults are under test too
            self.outcome = e
        POINTS.active = False
        self.trace, self.labels = POINTS.trace, [label for label, _ in POINTS.trace]
        self.after = state(obj or POINTS.obj, self.cache)

    def replayed(self, trace):
        """The state before the call with the writes of `trace` applied: what a call failing after it leaves."""
        attrs, keys = dict(self.before[0]), set(self.before[1])
        for label, value in trace:
            if label.startswith("set:"):
                attrs[label[4:]] = token(value, self.cache)
            elif label == "cache.setitem":
                keys.add(value)
        return attrs, keys


def problem(world, case, good, i, n, exc):
    label, labels, prefix = good.labels[i], good.labels, good.labels[:i]
    run = Run(world, case, (label, n), exc)
    if run.lock.inner.locked():
        return "the class lock is left held"
    if case == "Stream.reset started" and (label == "stop" or labels[i:i + 2] == ["get:_transcriber", "stop"]):
        quiet = run.outcome is None and not any(name.startswith("logger.") for name in run.labels)
        return None if quiet and run.after == good.after else f"not discarded: {run.outcome!r} {run.after}"
    # Inside the Exception handler of _transcribe_internal (entered through its lookup) or of stream_generate.
    chained = isinstance(exc, Exception) and (
        "._transcribe_internal" in case or (case.startswith("Stream.stream_generate") and "normalize_audio" in prefix)
        or "get:_transcribe_internal" in prefix)
    held = prefix.count("lock.enter") > prefix.count("lock.exit") and label != "lock.exit"
    tail = [label] + ["lock.exit"] * held + ["logger.error"] * chained
    if run.labels != prefix + tail:
        return f"calls after the fault: {run.labels[i:]}, expected {tail}"
    got = run.outcome
    if chained and not (type(got) is RuntimeError and got.__cause__ is exc and got.__suppress_context__
                        and str(got).find(str(exc)) > 0 and str(exc) in run.trace[-1][1]):
        return f"not one error line and a chained RuntimeError: {got!r}, {run.trace[-1]}"
    if not chained and got is not exc:
        return f"not propagated unchanged: {got!r}"
    expected = good.replayed(good.trace[:i])
    return None if run.after == expected else f"state {run.after}, expected {expected}"


@pytest.mark.parametrize("kind", [Fault, Interrupt])
@pytest.mark.parametrize("case", CASES)
def test_every_call_point_fails_as_prescribed(world, case, kind):
    good = Run(world, case)
    assert not isinstance(good.outcome, BaseException) and not good.lock.inner.locked(), good.outcome
    assert CASES[case][3] in good.labels
    assert good.replayed(good.trace) == good.after  # every write went through the instance or the cache
    seen, failures = {}, []
    for i, label in enumerate(good.labels):
        seen[label] = seen.get(label, 0) + 1
        failure = problem(world, case, good, i, seen[label], kind(f"injected at {label} #{seen[label]}"))
        failures += [f"{label} #{seen[label]}: {failure}"] if failure else []
    FIGURES.setdefault(case, {})[kind.__name__] = f"{len(good.labels) - len(failures)}/{len(good.labels)}"
    assert not failures, "\n".join(failures)


@pytest.fixture(scope="module", autouse=True)
def summary(request):
    class Summary:
        def pytest_terminal_summary(self, terminalreporter):
            terminalreporter.write_line("fault points passed/injected per method (Exception; BaseException):")
            for case, kinds in FIGURES.items():
                terminalreporter.write_line(f"  {case}: {'; '.join(kinds.values())}")
    request.config.pluginmanager.register(Summary())
