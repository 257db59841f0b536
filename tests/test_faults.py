"""Fault injection: every Python-level call a method makes on its success path is made to raise in turn.

The call points are enumerated from a recording of the successful call, so a call point added to the module
is covered without touching this file.
"""

import threading
from functools import partial

import numpy as np
import pytest

import sablewick_voice
from conftest import sablewick_asr as asr

S, O = asr.SablewickStreamASR, asr.SablewickOfflineASR
AUDIO = (np.arange(1600) % 200 - 100).astype(np.int16)  # int16, so that normalisation converts it
POINTS = None  # the recording of the run in progress
FIGURES = {}


class Fault(Exception):
    pass


class Interrupt(BaseException):
    """Neither an Exception nor KeyboardInterrupt: stands in for an interrupt without upsetting pytest."""


class Points:
    """Ordered record of call points; raises `exc` at the nth occurrence of one label (`target`)."""

    def __init__(self, target=None, exc=None):
        self.trace, self.active, self.target, self.exc, self.seen = [], False, target, exc, {}

    def __call__(self, label, value=None):
        if self.active:
            self.trace.append((label, value))
            self.seen[label] = self.seen.get(label, 0) + 1
            if (label, self.seen[label]) == self.target:
                raise self.exc


class Lock:
    def __init__(self):
        self.inner = threading.Lock()

    def __enter__(self):
        POINTS("lock.enter")
        self.inner.acquire()

    def __exit__(self, *exc_info):
        self.inner.release()  # released before a fault, so a leftover hold means __exit__ was skipped
        POINTS("lock.exit")


class Cache(dict):
    def __contains__(self, key):
        POINTS("cache.contains")
        return super().__contains__(key)

    def __getitem__(self, key):
        POINTS("cache.getitem")
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        POINTS("cache.setitem", key)
        super().__setitem__(key, value)


class Transcriber(sablewick_voice.Transcriber):
    def __init__(self, **kwargs):
        POINTS("Transcriber")
        super().__init__(**kwargs)


def recorded(name, function):
    def call(*args, **kwargs):
        POINTS(name, args[-1] if name.startswith("logger.") else None)
        return function(*args, **kwargs)
    return call


for _name in ("start", "add_audio", "stop", "transcribe_without_streaming"):
    setattr(Transcriber, _name, recorded(_name, getattr(sablewick_voice.Transcriber, _name)))


class Logger:
    def __getattr__(self, level):
        return recorded(f"logger.{level}", lambda message: None)


class Clock:
    now = 0.0

    def time(self):
        POINTS("time.time")
        self.now += 0.01  # 10 ms per reading: above the streaming timing threshold
        return self.now


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


def case_table():
    cases = {"Stream()": (S, None, lambda R: R, "Transcriber"),
             "Offline()": (O, None, lambda R: R, "Transcriber")}
    for cls, name in ((S, "Stream"), (O, "Offline")):
        cases[f"{name}.load"] = (cls, "unloaded", lambda o: o.load, "Transcriber")
        cases[f"{name}._load_model"] = (cls, "unloaded", lambda o: o._load_model, "Transcriber")
        cases[f"{name}.transcribe"] = (cls, "loaded", lambda o: partial(o.transcribe, AUDIO), "transcribe_without_streaming")
        cases[f"{name}.transcribe lazily loading"] = (cls, "unloaded", lambda o: partial(o.transcribe, AUDIO), "Transcriber")
        cases[f"{name}._transcribe_internal"] = (cls, "loaded", lambda o: partial(o._transcribe_internal, AUDIO),
                                                 "logger.debug")
    cases.update({
        "Stream.stream_generate fresh": (S, "loaded", lambda o: partial(o.stream_generate, AUDIO), "start"),
        "Stream.stream_generate started": (S, "started", lambda o: partial(o.stream_generate, AUDIO), "add_audio"),
        "Stream.stream_generate final": (S, "started", lambda o: partial(o.stream_generate, AUDIO, True), "stop"),
        "Stream.reset started": (S, "started", lambda o: o.reset, "stop"),
        "Offline.stream_generate": (O, "loaded", lambda o: partial(o.stream_generate, AUDIO), "logger.error")})
    return cases


CASES = case_table()


@pytest.fixture
def world(monkeypatch):
    monkeypatch.setattr(sablewick_voice, "script", sablewick_voice.Script())
    for name, value in {"logger": Logger(), "time": Clock(), "SABLEWICK_AVAILABLE": True, "Transcriber": Transcriber,
                        "normalize_audio": recorded("normalize_audio", asr.normalize_audio),
                        "get_model_for_language": recorded("get_model_for_language", asr.get_model_for_language)
                        }.items():
        monkeypatch.setattr(asr, name, value)
    return monkeypatch


def token(value, cache):
    """A transcriber stands for the cache entry it is, so that states of different runs compare."""
    if isinstance(value, sablewick_voice.Transcriber):
        return next((("cached", key) for key, entry in dict.items(cache) if entry is value), "stray transcriber")
    return value


def state(obj, cache):
    return ({k: token(v, cache) for k, v in vars(obj).items()} if obj is not None else {}), set(cache)


def replay(before, trace, cache):
    """The state `before` with the writes of `trace` applied: what a call failing after `trace` leaves."""
    attrs, keys = dict(before[0]), set(before[1])
    for label, value in trace:
        if label.startswith("set:"):
            attrs[label[4:]] = token(value, cache)
        elif label == "cache.setitem":
            keys.add(value)
    return attrs, keys


class Run:
    def __init__(self, world, case, target=None, exc=None):
        global POINTS
        cls, prepare, call, _ = CASES[case]
        self.cache, self.lock = Cache(), Lock()
        world.setattr(cls, "_model_cache", self.cache)
        world.setattr(cls, "_cache_lock", self.lock)
        POINTS, R, obj = Points(target, exc), RECORDING[cls], None
        if prepare:
            asr.SABLEWICK_AVAILABLE = prepare != "unloaded"
            obj = R()
            asr.SABLEWICK_AVAILABLE = True
            if prepare == "started":
                obj.stream_generate(AUDIO)
        self.before, function = state(obj, self.cache), call(obj if prepare else R)  # bound before recording
        POINTS.active = True
        try:
            self.outcome = function()
        except BaseException as e:  # noqa: B036 - the non-Exception faults are what is under test
            self.outcome = e
        POINTS.active = False
        self.trace, self.labels = POINTS.trace, [label for label, _ in POINTS.trace]
        self.after = state(POINTS.obj if obj is None else obj, self.cache)


def guarded(case, labels, i):
    """Inside the Exception handler of _transcribe_internal or of the streaming stream_generate."""
    if "._transcribe_internal" in case:
        return True
    if case.startswith("Stream.stream_generate"):
        return i > labels.index("normalize_audio")
    return "get:_transcribe_internal" in labels and i > labels.index("get:_transcribe_internal")


def discarded(case, labels, i):
    """reset swallows whatever the transcriber read before stop() and stop() itself raise."""
    return case == "Stream.reset started" and (labels[i] == "stop" or labels[i:i + 2] == ["get:_transcriber", "stop"])


def problems(world, case, good, i, n, exc):
    label, prefix = good.labels[i], good.trace[:i]
    run = Run(world, case, (label, n), exc)
    if run.lock.inner.locked():
        return "the class lock is left held"
    if discarded(case, good.labels, i):
        if run.outcome is not None or any(name.startswith("logger.") for name in run.labels):
            return f"not discarded silently: {run.outcome!r}, {run.labels}"
        return None if run.after == good.after else f"state {run.after}, expected {good.after}"
    chained = isinstance(exc, Exception) and guarded(case, good.labels, i)
    held = sum(name == "lock.enter" for name, _ in prefix) > sum(name == "lock.exit" for name, _ in prefix)
    tail = [label] + (["lock.exit"] if held and label != "lock.exit" else []) + (["logger.error"] if chained else [])
    if run.labels != good.labels[:i] + tail:
        return f"calls after the fault: {run.labels[i:]}, expected {tail}"
    if chained:
        got = run.outcome
        if not (type(got) is RuntimeError and got.__cause__ is exc and got.__suppress_context__
                and str(got).find(str(exc)) > 0 and str(exc) in run.trace[-1][1]):
            return f"not one error line and a chained RuntimeError: {got!r}, {run.trace[-1]}"
    elif run.outcome is not exc:
        return f"not propagated unchanged: {run.outcome!r}"
    expected = replay(good.before, prefix, good.cache)
    return None if run.after == expected else f"state {run.after}, expected {expected}"


@pytest.mark.parametrize("kind", [Fault, Interrupt])
@pytest.mark.parametrize("case", CASES)
def test_every_call_point_fails_as_prescribed(world, case, kind):
    good = Run(world, case)
    assert not isinstance(good.outcome, BaseException), good.outcome
    assert CASES[case][3] in good.labels and not good.lock.inner.locked()
    # Every write went through the instance or the cache: replaying the recording gives the final state.
    assert replay(good.before, good.trace, good.cache) == good.after
    seen, failures = {}, []
    for i, label in enumerate(good.labels):
        n = seen[label] = seen.get(label, 0) + 1
        problem = problems(world, case, good, i, n, kind(f"injected at {label} #{n}"))
        if problem:
            failures.append(f"{label} #{n}: {problem}")
    FIGURES.setdefault(case, {})[kind.__name__] = (len(good.labels), len(good.labels) - len(failures))
    assert not failures, "\n".join(failures)


class Summary:
    def pytest_terminal_summary(self, terminalreporter):
        terminalreporter.write_line("fault points per method, passed/injected (Exception; BaseException):")
        for case, kinds in FIGURES.items():
            figures = "; ".join(f"{passed}/{injected}" for injected, passed in kinds.values())
            terminalreporter.write_line(f"  {case}: {figures}")


@pytest.fixture(scope="module", autouse=True)
def summary(request):
    request.config.pluginmanager.register(Summary())
