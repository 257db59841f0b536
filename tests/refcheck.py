# SPDX-License-Identifier: MIT
"""Reference check in the manner of CPython's `regrtest -R`, for a debug interpreter (sys.gettotalrefcount).

    python3.14d tests/refcheck.py [--calls N] [--warmups W] [--rounds R] [--tolerance T]
        [--impl module|baseline] [--only REGEX] [--expect REGEX]

Every call path of both recognisers (each method, the binding errors, the engine's and the logger's failures, the
attribute protocol of the method objects) runs W warm-up rounds and then R measured rounds of N calls each; after
each round the collector runs and the interpreter's reference total and its allocated memory blocks are read, as
regrtest reads them. A path is flat when no measured round moved either by more than T. One line per path, then a
summary line; the exit status is 1 unless every path is flat and does what its name says. With --expect, the
paths whose names match REGEX must be the ones, and the only ones, that are not flat (how a planted fault is shown
to be caught).

The module comes from SABLEWICK_MODULE_DIR (a folder holding models/sablewick_asr*), else the installed one;
--impl baseline runs the plain-Python classes of bench/baseline.py on the same paths instead (less those that
only the module's method objects have): what plain Python does on the same work.

Nothing that keeps a record runs in the loop: the stand-ins here note nothing, the engine's script keeps no call
list, the engine's exceptions are new at every raise (one raised again would grow its traceback), and numpy stays
out: the audio is a list and normalize_audio gives it back as it is (numpy, built without Py_DEBUG, takes
references that the total does not count and gives back references that it does).
"""

import argparse
import builtins
import contextlib
import copy
import functools
import gc
import inspect
import os
import pickle
import re
import sys
import time
import types
import typing
import uuid
import weakref

from standalone import ROOT  # puts the stand-ins and the build under test on sys.path for what follows

import sablewick_voice  # noqa: E402

NAMES = ["__init__", "_load_model", "load", "_transcribe_internal", "stream_generate", "transcribe", "reset"]
MODEL = f"sablewick/refcheck-{uuid.uuid4().hex}"  # made at run time: mortal, so its count moves
AUDIO, EMPTY, NO_LEN = [0.25] * 16, [], object()  # lengths without numpy, and an object without one
LINES = ["ref", "check"]  # what the engine recognises
TRANSCRIBE = "transcribe_without_streaming"
Fault = type("Fault", (Exception,), {})
Interrupt = type("Interrupt", (BaseException,), {})
Str = type("Str", (str,), {})
Never = type("Never", (BaseException,), {})  # what the loop catches on a path that raises nothing
ANNOTATE = sys.version_info >= (3, 14)  # PEP 649: functions have __annotate__
ATTRIBUTES = ["__name__", "__qualname__", "__module__", "__doc__", "__annotations__", "__defaults__",
              "__kwdefaults__", "__globals__", "__builtins__", "__closure__", "__type_params__", "__dict__",
              "__code__", *["__annotate__"] * ANNOTATE]
WRAPPED = ("__module__", "__name__", "__qualname__", "__doc__")


class Engine(sablewick_voice.Script):
    """The stand-in engine's script, keeping no record; `raising[entry]` raises a new exception at each call."""

    calls = property(lambda self: [], lambda self, value: None)

    def __init__(self):
        super().__init__()
        self.raising = {}

    def _enter(self, entry, *args, **kwargs):
        raiser = self.raising.get(entry)
        if raiser is not None:
            raiser()


def fault():
    raise Fault("engine fault")


def fault_with_context():
    try:
        raise LookupError("first fault")
    except LookupError:
        raise Fault("engine fault")  # noqa: B904 - the context is the point


def interrupt():
    raise Interrupt()


class Logger:
    """A logger that writes nothing; the level named in `failing` raises."""

    failing = None

    def _log(self, level, message):
        if self.failing == level:
            raise Fault(f"{level} failed")

    def info(self, message):
        self._log("info", message)

    def debug(self, message):
        self._log("debug", message)

    def warning(self, message):
        self._log("warning", message)

    def error(self, message):
        self._log("error", message)


class Clock:
    """time.time() that moves on by `step` seconds at each reading: 0 keeps stream_generate under its 1 ms."""

    def __init__(self):
        self.now, self.step = 1000.0, 0.0

    def time(self):
        self.now += self.step
        return self.now


def normalize_audio(audio, target_dtype=None):
    return audio


def failing_normalize(audio, target_dtype=None):
    raise ValueError("not audio")


class BadTruth:
    def __bool__(self):
        raise Fault("no truth")


def wrapper():
    """A wrapper's own text."""


def annotated(audio: "bytes") -> "list":
    """A wrapped function with annotations of its own."""


def annotate(format):
    return {"audio": "bytes"}


class Path:
    """One call path: `call` does it once, raising `expected` (with a __cause__ of type `cause`, if given), under
    `conditions` (World.condition). A call that makes `per_call` operations on method objects is repeated
    calls/per_call times a round, so that a fault in one operation moves a round by the same count."""

    def __init__(self, name, call, expected=None, cause=None, module_only=False, per_call=1, **conditions):
        self.name, self.call, self.expected, self.cause, self.module_only, self.per_call, self.conditions = (
            name, call, expected, cause, module_only, per_call, conditions)

    def matches(self, got):
        if not self.expected:
            return got is None
        return isinstance(got, self.expected) and (not self.cause or isinstance(got.__cause__, self.cause))


class World:
    """The implementation under test with its stand-ins in place, its two recognisers, and the conditions a path
    runs under."""

    def __init__(self, impl):
        self.impl, self.engine, self.logger, self.clock = impl, Engine(), Logger(), Clock()
        self.time = types.ModuleType("time")  # a plain module, as the real one: the module caches its attribute
        self.time.time = self.clock.time
        sablewick_voice.script = self.engine
        impl.logger, impl.normalize_audio, impl.time = self.logger, normalize_audio, self.time
        self.engine.lines = LINES
        self.stream = impl.SablewickStreamASR(model=MODEL)
        self.offline = impl.SablewickOfflineASR(model=MODEL)
        # An offline recogniser whose transcribe returns what stream_generate must refuse.
        self.odd = type("ReturnsTuple", (impl.SablewickOfflineASR,), {
            "transcribe": lambda self, audio, language: ()})(model=MODEL)

    @contextlib.contextmanager
    def condition(self, engine=None, raiser=fault, logger=None, lines=LINES, pair=None, missing=False, step=0.0,
                  normalize=normalize_audio):
        """An engine entry raising at every call, a logger level raising, the lines, the model pair, no engine,
        the clock's step, the normalisation: set for one path, then undone. Both recognisers start loaded and
        idle, whatever the path before left them."""
        impl = self.impl
        for recogniser in (self.stream, self.offline):
            recogniser._transcriber = None
            recogniser.load()
        self.stream._streaming_started = False
        if engine:
            self.engine.raising[engine] = raiser
        self.engine.lines, self.engine.model_pair, self.logger.failing, self.clock.step = lines, pair, logger, step
        impl.SABLEWICK_AVAILABLE, impl.normalize_audio = not missing, normalize
        try:
            yield
        finally:
            self.engine.raising.clear()
            self.engine.lines, self.engine.model_pair, self.logger.failing, self.clock.step = LINES, None, None, 0.0
            impl.SABLEWICK_AVAILABLE, impl.normalize_audio = True, normalize_audio


def unloaded(recogniser, method, *args, **kwargs):
    recogniser._transcriber = None
    return getattr(recogniser, method)(*args, **kwargs)


def started(recogniser, method, *args, **kwargs):
    recogniser._streaming_started = True
    return getattr(recogniser, method)(*args, **kwargs)


def idle(recogniser, method, *args):
    recogniser._streaming_started = False
    return getattr(recogniser, method)(*args)


def fresh(cls, *args, **kwargs):
    """A construction that loads through the engine: the class's cache emptied in place (rebinding it would
    change the class, and each change of a class uses up one of its attribute-cache versions)."""
    cls._model_cache.clear()
    return cls(*args, **kwargs)


def pair_from_iterator(cls):
    sablewick_voice.script.model_pair = iter(("path", "arch"))  # used up by one call
    return fresh(cls, model=MODEL)


def call_paths(world):
    """Each method of both classes on its paths: success, the engine's and the logger's failures, binding errors."""
    impl, s, o = world.impl, world.stream, world.offline
    S, O = impl.SablewickStreamASR, impl.SablewickOfflineASR
    ctx = {"raiser": fault_with_context}
    paths = []
    for cls, r, tag in ((S, s, "SablewickStreamASR"), (O, o, "SablewickOfflineASR")):
        t = r.transcribe
        paths += [
            Path(f"{tag}(): cached key", lambda cls=cls: cls(model=MODEL)),
            Path(f"{tag}(): default key", cls),
            Path(f"{tag}(): sample_rate converted from float", lambda cls=cls: cls(model=MODEL, sample_rate=8000.5)),
            Path(f"{tag}(): keywords of a str subclass", lambda cls=cls: cls(**{Str("model"): MODEL,
                                                                              Str("language"): "zh"})),
            Path(f"{tag}(): new key, the engine loads", lambda cls=cls: fresh(cls, model=MODEL)),
            Path(f"{tag}(): engine missing", lambda cls=cls: cls(model=MODEL), missing=True),
            Path(f"{tag}(): Transcriber raises", lambda cls=cls: fresh(cls, model=MODEL), Fault, engine="Transcriber"),
            Path(f"{tag}(): Transcriber raises (with __context__)", lambda cls=cls: fresh(cls, model=MODEL), Fault,
                 engine="Transcriber", **ctx),
            Path(f"{tag}(): get_model_for_language raises", lambda cls=cls: fresh(cls, model=MODEL), Fault,
                 engine="get_model_for_language"),
            Path(f"{tag}(): model pair of three", lambda cls=cls: fresh(cls, model=MODEL), ValueError,
                 pair=("p", "a", "x")),
            Path(f"{tag}(): model pair from an iterator", lambda cls=cls: pair_from_iterator(cls)),
            Path(f"{tag}(): model pair not iterable", lambda cls=cls: fresh(cls, model=MODEL), TypeError, pair=7),
            Path(f"{tag}(): logger.info raises", lambda cls=cls: fresh(cls, model=MODEL), Fault, logger="info"),
            Path(f"{tag}.__init__(instance)", lambda cls=cls, r=r: cls.__init__(r, model=MODEL)),
            Path(f"{tag}(): too many arguments", lambda cls=cls: cls("a", "b", "c", "d", 1, 2), TypeError),
            Path(f"{tag}(): model of the wrong type", lambda cls=cls: cls(model=0), TypeError),
            Path(f"{tag}(): unexpected keyword", lambda cls=cls: cls(model=MODEL, size=1), TypeError),
            Path(f"{tag}(): multiple values", lambda cls=cls: cls("a", "b", "c", "d", language="zh"), TypeError),
            Path(f"{tag}(): keywords must be strings", lambda cls=cls: cls(**{1: 2}), TypeError),
            Path(f"{tag}(): sample_rate not a number", lambda cls=cls: cls(sample_rate="fast"), TypeError),
            Path(f"{tag}(): sample_rate NaN", lambda cls=cls: cls(sample_rate=float("nan")), ValueError),
            Path(f"{tag}._load_model()", r._load_model),
            Path(f"{tag}._load_model(): unloaded", lambda r=r: unloaded(r, "_load_model")),
            Path(f"{tag}._load_model(): engine missing", r._load_model, ImportError, missing=True),
            Path(f"{tag}._load_model(): without self", cls._load_model, TypeError),
            Path(f"{tag}.load(): loaded", r.load),
            Path(f"{tag}.load(): unloaded", lambda r=r: unloaded(r, "load")),
            Path(f"{tag}.load(): unloaded, Transcriber raises", lambda r=r: (
                type(r)._model_cache.clear(), unloaded(r, "load")), Fault, engine="Transcriber"),
            Path(f"{tag}.load(): unloaded, Transcriber raises (with __context__)", lambda r=r: (
                type(r)._model_cache.clear(), unloaded(r, "load")), Fault, engine="Transcriber", **ctx),
            Path(f"{tag}.load(): engine missing", r.load, ImportError, missing=True),
            Path(f"{tag}.load(): an argument too many", lambda r=r: r.load(1), TypeError),
            Path(f"{tag}._transcribe_internal()", lambda r=r: r._transcribe_internal(AUDIO)),
            Path(f"{tag}._transcribe_internal(): no transcriber", lambda r=r: unloaded(r, "_transcribe_internal",
                                                                                     AUDIO), RuntimeError,
                 AttributeError),
            Path(f"{tag}._transcribe_internal(): engine raises", lambda r=r: r._transcribe_internal(AUDIO),
                 RuntimeError, Fault, engine=TRANSCRIBE),
            Path(f"{tag}._transcribe_internal(): engine raises, then logger.error",
                 lambda r=r: r._transcribe_internal(AUDIO), Fault, engine=TRANSCRIBE, logger="error"),
            Path(f"{tag}._transcribe_internal(): a line text not a str", lambda r=r: r._transcribe_internal(AUDIO),
                 RuntimeError, TypeError, lines=["a", 1]),
            Path(f"{tag}._transcribe_internal(): audio without a length", lambda r=r: r._transcribe_internal(NO_LEN),
                 RuntimeError, TypeError),
            Path(f"{tag}.transcribe(): one line", lambda t=t: t(AUDIO)),
            Path(f"{tag}.transcribe(): three lines", lambda t=t: t(AUDIO), lines=["a", "", "b"]),
            Path(f"{tag}.transcribe(): no lines", lambda t=t: t(AUDIO), lines=[]),
            Path(f"{tag}.transcribe(): every parameter by keyword", lambda t=t: t(audio=AUDIO, language="en")),
            Path(f"{tag}.transcribe(): through a dict (tp_call)", lambda cls=cls, r=r: cls.transcribe(
                *(r, AUDIO), **{"language": "en"})),
            Path(f"{tag}.transcribe(): unloaded, loads lazily", lambda r=r: unloaded(r, "transcribe", AUDIO)),
            Path(f"{tag}.transcribe(): unloaded, Transcriber raises", lambda r=r: (
                type(r)._model_cache.clear(), unloaded(r, "transcribe", AUDIO)), Fault, engine="Transcriber"),
            Path(f"{tag}.transcribe(): engine missing", lambda t=t: t(AUDIO), missing=True),
            Path(f"{tag}.transcribe(): engine raises", lambda t=t: t(AUDIO), RuntimeError, Fault, engine=TRANSCRIBE),
            Path(f"{tag}.transcribe(): engine raises (with __context__)", lambda t=t: t(AUDIO), RuntimeError, Fault,
                 engine=TRANSCRIBE, **ctx),
            Path(f"{tag}.transcribe(): engine raises a BaseException", lambda t=t: t(AUDIO), Interrupt,
                 engine=TRANSCRIBE, raiser=interrupt),
            Path(f"{tag}.transcribe(): logger.debug raises", lambda t=t: t(AUDIO), RuntimeError, Fault,
                 logger="debug"),
            Path(f"{tag}.transcribe(): engine raises, then logger.error", lambda t=t: t(AUDIO), Fault,
                 engine=TRANSCRIBE, logger="error"),
            Path(f"{tag}.transcribe(): engine raises (with __context__), then logger.error", lambda t=t: t(AUDIO),
                 Fault, engine=TRANSCRIBE, logger="error", **ctx),
            Path(f"{tag}.transcribe(): normalize_audio raises", lambda t=t: t(AUDIO), ValueError,
                 normalize=failing_normalize),
            Path(f"{tag}.transcribe(): without audio", lambda t=t: t(), TypeError),
            Path(f"{tag}.transcribe(): too many arguments", lambda t=t: t(AUDIO, "zh", 1), TypeError),
            Path(f"{tag}.transcribe(): language None", lambda t=t: t(AUDIO, language=None), TypeError),
            Path(f"{tag}.transcribe(): language a str subclass", lambda t=t: t(AUDIO, Str("zh")), TypeError),
            Path(f"{tag}.transcribe(): multiple values", lambda t=t: t(AUDIO, audio=AUDIO), TypeError),
            Path(f"{tag}.transcribe(): unexpected keyword", lambda t=t: t(AUDIO, rate=1), TypeError),
            Path(f"{tag}.transcribe(): keywords must be strings", lambda t=t: t(AUDIO, **{1: 2}), TypeError),
            Path(f"{tag}.reset()", r.reset),
            Path(f"{tag}.reset(): unexpected keyword", lambda r=r: r.reset(now=1), TypeError),
        ]
    sg, og, odd = s.stream_generate, o.stream_generate, world.odd
    stream = "SablewickStreamASR.stream_generate()"
    paths += [
        Path("SablewickStreamASR(): update_interval converted from int", lambda: S(model=MODEL, update_interval=1)),
        Path("SablewickStreamASR(): update_interval not a number", lambda: S(update_interval="slow"), TypeError),
        Path("SablewickOfflineASR(): model_type not a str", lambda: O(model_type=0), TypeError),
        Path("SablewickOfflineASR._transcribe_internal(): an argument too many",
             lambda: o._transcribe_internal(AUDIO, "zh"), TypeError),
        Path("SablewickStreamASR._transcribe_internal(): language", lambda: s._transcribe_internal(AUDIO, "en")),
        Path(f"{stream}: started stream", lambda: started(s, "stream_generate", AUDIO)),
        Path(f"{stream}: first chunk starts the stream", lambda: idle(s, "stream_generate", AUDIO)),
        Path(f"{stream}: final chunk stops it", lambda: started(s, "stream_generate", AUDIO, True)),
        Path(f"{stream}: empty chunk", lambda: started(s, "stream_generate", EMPTY)),
        Path(f"{stream}: slow, logs its time", lambda: started(s, "stream_generate", AUDIO), step=0.002),
        Path(f"{stream}: every parameter by keyword", lambda: started(s, "stream_generate", audio=AUDIO,
                                                                      is_final=False, language="en")),
        Path(f"{stream}: is_final by its truth", lambda: started(s, "stream_generate", AUDIO, [0])),
        Path(f"{stream}: unloaded, loads lazily", lambda: unloaded(s, "stream_generate", AUDIO)),
        Path(f"{stream}: engine missing", lambda: sg(AUDIO), missing=True),
        Path(f"{stream}: start raises", lambda: idle(s, "stream_generate", AUDIO), RuntimeError, Fault,
             engine="start"),
        Path(f"{stream}: start raises (with __context__)", lambda: idle(s, "stream_generate", AUDIO), RuntimeError,
             Fault, engine="start", **ctx),
        Path(f"{stream}: add_audio raises", lambda: started(s, "stream_generate", AUDIO), RuntimeError, Fault,
             engine="add_audio"),
        Path(f"{stream}: add_audio raises (with __context__)", lambda: started(s, "stream_generate", AUDIO),
             RuntimeError, Fault, engine="add_audio", **ctx),
        Path(f"{stream}: add_audio raises a BaseException", lambda: started(s, "stream_generate", AUDIO), Interrupt,
             engine="add_audio", raiser=interrupt),
        Path(f"{stream}: stop raises", lambda: started(s, "stream_generate", AUDIO, True), RuntimeError, Fault,
             engine="stop"),
        Path(f"{stream}: stop raises (with __context__)", lambda: started(s, "stream_generate", AUDIO, True),
             RuntimeError, Fault, engine="stop", **ctx),
        Path(f"{stream}: logger.debug raises", lambda: started(s, "stream_generate", AUDIO), RuntimeError, Fault,
             logger="debug", step=0.002),
        Path(f"{stream}: add_audio raises, then logger.error", lambda: started(s, "stream_generate", AUDIO), Fault,
             engine="add_audio", logger="error"),
        Path(f"{stream}: add_audio raises (with __context__), then logger.error",
             lambda: started(s, "stream_generate", AUDIO), Fault, engine="add_audio", logger="error", **ctx),
        Path(f"{stream}: chunk without a length", lambda: started(s, "stream_generate", NO_LEN), RuntimeError,
             TypeError),
        Path(f"{stream}: normalize_audio raises", lambda: sg(AUDIO), ValueError, normalize=failing_normalize),
        Path(f"{stream}: is_final's truth raises", lambda: sg(AUDIO, BadTruth()), Fault),
        Path(f"{stream}: unexpected keyword", lambda: sg(AUDIO, flag=1), TypeError),
        Path(f"{stream}: without audio", lambda: sg(), TypeError),
        Path("SablewickStreamASR.reset(): started stream", lambda: started(s, "reset")),
        Path("SablewickStreamASR.reset(): stop raises", lambda: started(s, "reset"), engine="stop"),
        Path("SablewickStreamASR.reset(): stop raises (with __context__)", lambda: started(s, "reset"),
             engine="stop", **ctx),
        Path("SablewickStreamASR.reset(): stop raises a BaseException", lambda: started(s, "reset"), engine="stop",
             raiser=interrupt),
        Path("SablewickOfflineASR.stream_generate()", lambda: og(AUDIO)),
        Path("SablewickOfflineASR.stream_generate(): every parameter", lambda: og(AUDIO, True, "en")),
        Path("SablewickOfflineASR.stream_generate(): engine raises", lambda: og(AUDIO), RuntimeError, Fault,
             engine=TRANSCRIBE),
        Path("SablewickOfflineASR.stream_generate(): engine raises (with __context__)", lambda: og(AUDIO),
             RuntimeError, Fault, engine=TRANSCRIBE, **ctx),
        Path("SablewickOfflineASR.stream_generate(): logger.error raises", lambda: og(AUDIO), Fault, logger="error"),
        Path("SablewickOfflineASR.stream_generate(): transcribe returns a tuple", lambda: odd.stream_generate(AUDIO),
             TypeError),
        Path("SablewickOfflineASR.stream_generate(): is_final's truth raises", lambda: og(AUDIO, BadTruth()), Fault),
        Path("SablewickOfflineASR.stream_generate(): language None", lambda: og(AUDIO, False, None), TypeError),
    ]
    return paths


def methods(impl):
    """The fourteen methods, each with its class and that class's recogniser."""
    return [(vars(cls)[name], cls) for cls in (impl.SablewickStreamASR, impl.SablewickOfflineASR) for name in NAMES]


def attribute_paths(world):
    """The method objects' protocol, on all fourteen methods: every attribute read (on the function and through a
    bound method), every write and delete and their failures, signature, pickling, weak references, copies."""
    impl, s, o = world.impl, world.stream, world.offline
    S, O = impl.SablewickStreamASR, impl.SablewickOfflineASR
    owners = [(f, cls, s if cls is S else o) for f, cls in methods(impl)]
    functions = [f for f, _, _ in owners]
    bound = [f.__get__(r, cls) for f, cls, r in owners]
    signature = inspect.signature(S.transcribe)

    def each(name, operation, targets=functions, **kwargs):
        def call():
            for target in targets:
                operation(target)
        return Path(name, call, per_call=len(targets), **kwargs)

    def rewrite(attribute, value):
        saved = [getattr(f, attribute) for f in functions]

        def call():
            for f, old in zip(functions, saved):
                setattr(f, attribute, value)
                setattr(f, attribute, old)
        return Path(f"write {attribute}", call, per_call=len(functions))

    def delete(attribute, label="", by_none=False):
        saved = [getattr(f, attribute) for f in functions]

        def call():
            for f, old in zip(functions, saved):
                setattr(f, attribute, None) if by_none else delattr(f, attribute)
                getattr(f, attribute)  # what a deleted one reads as
                setattr(f, attribute, old)
        return Path(f"{'write' if by_none else 'delete'} {attribute}{label}", call, per_call=len(functions))

    def set_signature(f):
        f.__signature__ = signature
        f.__signature__
        del f.__signature__

    def own_attribute(f):
        f.registered_by = "host"
        f.registered_by
        del f.registered_by

    def wrap_and_undo(f):
        # What functools.wraps does to a wrapper, done to the method, then undone.
        saved = [getattr(f, name) for name in WRAPPED]
        functools.update_wrapper(f, wrapper, assigned=WRAPPED)
        for name, value in zip(WRAPPED, saved):
            setattr(f, name, value)
        del f.__wrapped__

    def wrap_all_and_undo(f):
        # functools.wraps as it stands (from 3.14 with __annotate__, whose callable __annotations__ then
        # comes from), then undone: __annotate__ last, which brings the method's own annotations back.
        saved = [getattr(f, name) for name in functools.WRAPPER_ASSIGNMENTS]
        functools.update_wrapper(f, annotated)
        f.__annotations__
        for name, value in zip(functools.WRAPPER_ASSIGNMENTS, saved):
            setattr(f, name, value)
        f.__annotations__
        del f.__wrapped__

    def annotate_and_undo(f):
        saved = f.__annotate__
        f.__annotate__ = annotate
        f.__annotations__
        f.__annotate__ = None
        f.__annotations__
        f.__annotate__ = saved
        f.__annotations__

    def refused(name, attribute, value, expected, **kwargs):
        target = S.transcribe
        if value is refused:
            return Path(name, lambda: delattr(target, attribute), expected, **kwargs)
        return Path(name, lambda: setattr(target, attribute, value), expected, **kwargs)

    paths = [each(f"read {a}", lambda f, a=a: getattr(f, a)) for a in ATTRIBUTES]
    paths += [each(f"read {a} through a bound method", lambda b, a=a: getattr(b, a), bound) for a in ATTRIBUTES]
    if ANNOTATE:
        paths += [
            each("write __annotate__ a callable, then None, then its own: __annotations__ from each",
                 annotate_and_undo),
            refused("delete __annotate__", "__annotate__", refused, TypeError),
            refused("write __annotate__ not callable", "__annotate__", 1, TypeError),
        ]
    paths += [
        rewrite("__name__", "renamed"), rewrite("__qualname__", "Other.renamed"), rewrite("__module__", "other"),
        rewrite("__doc__", "Another text."), rewrite("__annotations__", {"audio": "bytes"}),
        rewrite("__type_params__", (int,)), rewrite("__dict__", {"flag": True}),
        each("write __signature__, read it, delete it", set_signature),
        each("write, read and delete an attribute of its own", own_attribute),
        delete("__doc__"), delete("__module__"), delete("__annotations__", " (read back as a new dict)"),
        delete("__annotations__", " None (read back as a new dict)", by_none=True),
        refused("write __name__ not a str", "__name__", 1, TypeError),
        refused("delete __name__", "__name__", refused, TypeError),
        refused("write __qualname__ None", "__qualname__", None, TypeError),
        refused("write __annotations__ not a dict", "__annotations__", [], TypeError),
        refused("write __type_params__ not a tuple", "__type_params__", [int], TypeError),
        refused("delete __type_params__", "__type_params__", refused, TypeError),
        refused("write __dict__ not a dict", "__dict__", 1, TypeError),
        refused("delete __dict__", "__dict__", refused, TypeError),
        refused("write __defaults__", "__defaults__", ("en",), AttributeError, module_only=True),
        refused("write __kwdefaults__", "__kwdefaults__", {}, AttributeError, module_only=True),
        refused("write __globals__", "__globals__", {}, AttributeError),
        refused("write __builtins__", "__builtins__", {}, AttributeError),
        refused("write __closure__", "__closure__", None, AttributeError),
        each("functools.update_wrapper, undone", wrap_and_undo),
        each("functools.update_wrapper with every assignment, undone", wrap_all_and_undo),
        each("inspect.signature", inspect.signature),
        each("inspect.signature of a bound method", inspect.signature, bound),
        each("typing.get_type_hints", typing.get_type_hints),
        each("pickle by reference, protocols 0 and 5", lambda f: (pickle.loads(pickle.dumps(f, 0)),
                                                                  pickle.loads(pickle.dumps(f, 5)))),
        each("__reduce__()", lambda f: f.__reduce__(), module_only=True),  # a function pickles by its name alone
        each("copy.copy", copy.copy),
        each("copy.deepcopy", copy.deepcopy),
        each("weakref.ref", lambda f: weakref.ref(f)()),
        each("weakref.WeakMethod of a bound method", lambda b: weakref.WeakMethod(b)(), bound),
        each("repr", repr),
        each("dir", dir),
        each("repr of a bound method", repr, bound),
        each("__get__(None, class)", lambda owner: owner[0].__get__(None, owner[1]), owners),
        each("__get__(instance, class)", lambda owner: owner[0].__get__(owner[2], owner[1]), owners),
        each("bound method through the instance", lambda owner: getattr(owner[2], owner[0].__name__), owners),
        each("gc.get_referents (traverse)", gc.get_referents),
    ]
    return paths


def watched_objects(world, functions):
    """Long-lived objects that the paths hand out or borrow, each with the number of method objects that hold it.
    A lost reference takes a count of such an object at every read; the check holds enough counts of each in
    reserve that a lost reference shows as a fall of the total instead of freeing the object in mid-run. They
    are found through the collector's traversal, not the attributes: a getter that loses a reference would free
    an object held once at its first read."""
    impl = world.impl
    namespaces = {id(vars(impl)), id(vars(builtins))}
    counts = {}

    def add(obj):
        if sys.getrefcount(obj) < 1 << 28:  # immortal objects never move
            counts.setdefault(id(obj), [obj, 0])[1] += 1

    for f in functions:
        add(f)
        for held in gc.get_referents(f):
            add(held)
            # What the defaults, the annotations and the attributes of its own hold; not the namespaces.
            if isinstance(held, (tuple, dict)) and id(held) not in namespaces:
                for item in gc.get_referents(held):
                    add(item)
    for obj in (world.stream, world.offline, world.odd, impl.SablewickStreamASR, impl.SablewickOfflineASR,
                MODEL, *LINES, AUDIO, EMPTY):
        add(obj)
    return list(counts.values())


def cleanup():
    # As regrtest: the collector (the later passes free what the first one's finalisers let go), the caches.
    for _ in range(3):
        gc.collect()
    clear = getattr(sys, "_clear_internal_caches", None) or getattr(sys, "_clear_type_cache", None)
    if clear:
        clear()


# A pool of ints, as regrtest's: the same delta is the same object, so recording it allocates nothing.
INT_POOL = {value: value for value in range(-1000, 1000)}


def measure(path, world, warmups, rounds, calls):
    """(reference deltas, memory block deltas) of the measured rounds of one path, as regrtest -R takes them."""
    call, expected = path.call, path.expected or Never
    repcount = warmups + rounds
    rc_deltas, block_deltas = [0] * repcount, [0] * repcount
    rep_range, call_range = list(range(repcount)), range(max(1, calls // path.per_call))
    gettotalrefcount, getallocatedblocks = sys.gettotalrefcount, sys.getallocatedblocks
    interned = getattr(sys, "getunicodeinternedsize", None)
    immortal_interned = (lambda: interned(_only_immortal=True)) if interned else (lambda: 0)
    with world.condition(**path.conditions):
        cleanup()
        blocks_before = getallocatedblocks() - immortal_interned()
        rc_before = gettotalrefcount()
        for i in rep_range:
            for _ in call_range:
                try:
                    call()
                except expected:
                    pass
            cleanup()
            # Strings made immortal by interning live until the interpreter ends; regrtest discounts them.
            blocks_after = getallocatedblocks() - immortal_interned()
            rc_after = gettotalrefcount()
            rc_deltas[i] = INT_POOL.setdefault(rc_after - rc_before, rc_after - rc_before)
            block_deltas[i] = INT_POOL.setdefault(blocks_after - blocks_before, blocks_after - blocks_before)
            rc_before, blocks_before = rc_after, blocks_after
    return rc_deltas[warmups:], block_deltas[warmups:]


def outcome(path, world):
    """What one call of the path raises (None for nothing), looked at before it is measured."""
    with world.condition(**path.conditions):
        try:
            path.call()
        except BaseException as e:  # noqa: B036 - Interrupt is among the expected outcomes
            return e
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000, help="calls per round")
    parser.add_argument("--warmups", type=int, default=2, help="warm-up rounds")
    parser.add_argument("--rounds", type=int, default=5, help="measured rounds")
    parser.add_argument("--tolerance", type=int, default=0, help="the largest move of a round that is still flat")
    parser.add_argument("--impl", choices=["module", "baseline"], default="module")
    parser.add_argument("--only", help="only the paths whose names match this regular expression")
    parser.add_argument("--expect", help="the paths that must not be flat (a regular expression); all others flat")
    args = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("refcheck: needs a debug build of CPython (sys.gettotalrefcount), such as python3.14d")
    started_at = time.perf_counter()
    if args.impl == "baseline":
        sys.path.insert(0, os.path.join(ROOT, "bench"))
        import baseline as impl
    else:
        from models import sablewick_asr as impl
    world = World(impl)
    # The reserve first: making the paths reads the methods' attributes.
    watched = watched_objects(world, [f for f, _ in methods(impl)])
    reserve = (args.warmups + args.rounds + 1) * args.calls + 100
    kept = [[obj] * (reserve * holders) for obj, holders in watched]
    paths = call_paths(world) + attribute_paths(world)
    if args.impl == "baseline":
        paths = [path for path in paths if not path.module_only]
    if args.only:
        paths = [path for path in paths if re.search(args.only, path.name)]
    # The collections between rounds then pass over the reserve and everything made so far; and the debug
    # collector's own check, which aborts on an object whose count is below the references it finds, leaves the
    # objects alone whose counts a lost reference takes down: the path's line reports it instead.
    gc.freeze()

    print(f"refcheck: {impl.__name__} from {impl.__file__} on CPython {sys.version.split()[0]}: {len(paths)} call "
          f"paths, {args.warmups} warm-up and {args.rounds} measured rounds of {args.calls} calls each", flush=True)
    not_flat, odd, largest, owed = [], [], [0, 0], False
    for path in paths:
        got = outcome(path, world)
        if not path.matches(got):
            odd.append(path.name)
            print(f"odd       {path.name}: raised {got!r:.120}" + (f" from {got.__cause__!r:.60}" if got is not None
                  and got.__cause__ else "") + f", expected {path.expected.__name__ if path.expected else 'nothing'}"
                  + (f" from {path.cause.__name__}" if path.cause else ""), flush=True)
            continue  # a path that does not do what its name says measures nothing worth having
        counts = [sys.getrefcount(obj) for obj, _ in watched]
        refs, blocks = measure(path, world, args.warmups, args.rounds, args.calls)
        flat = all(abs(delta) <= args.tolerance for delta in refs + blocks)
        largest = [max(largest[0], *map(abs, refs)), max(largest[1], *map(abs, blocks))]
        moved = [f"{type(obj).__name__} {obj!r:.40} {sys.getrefcount(obj) - before:+d}"
                 for (obj, _), before in zip(watched, counts) if sys.getrefcount(obj) != before]
        if not flat:
            not_flat.append(path.name)
        print(f"{'flat' if flat else 'NOT FLAT':9} {path.name}: references {refs}, memory blocks {blocks}"
              + (f"; counts moved: {', '.join(moved[:3])}" if moved and not flat else ""), flush=True)
        for (obj, _), before in zip(watched, counts):  # counts lost for good: the reserve made whole again
            lost = before - sys.getrefcount(obj)
            if lost > 0:
                kept.append([obj] * lost)
                owed = True

    status = report(args, paths, not_flat, odd, largest, f"{time.perf_counter() - started_at:.0f} s")
    if owed:
        # The counts that went missing were made up for, and releasing the reserve at the interpreter's end would
        # take those objects below zero: leave without it.
        sys.stdout.flush()
        os._exit(status)
    return status


def report(args, paths, not_flat, odd, largest, took):
    """Prints the summary line; the exit status."""
    shape = f"{args.rounds}×{args.calls} calls"
    if args.expect:
        expected = [path.name for path in paths if re.search(args.expect, path.name)]
        caught = bool(expected) and sorted(not_flat) == sorted(expected) and not odd
        missed, extra = sorted(set(expected) - set(not_flat)), sorted(set(not_flat) - set(expected))
        print(f"refcheck: {'caught' if caught else 'NOT CAUGHT'}: {len(not_flat)} of {len(paths)} call paths not "
              f"flat over {shape}, {len(expected)} expected" + (f"; missed: {', '.join(missed)}" if missed else "")
              + (f"; not flat unexpectedly: {', '.join(extra)}" if extra else "")
              + (f"; odd outcomes: {', '.join(odd)}" if odd else "") + f" ({took})")
        return 0 if caught else 1
    if not_flat or (odd and args.impl == "module"):
        print(f"refcheck: {len(not_flat)} of {len(paths)} call paths not flat over {shape} (tolerance "
              f"±{args.tolerance})" + (f": {', '.join(not_flat)}" if not_flat else "")
              + (f"; odd outcomes: {', '.join(odd)}" if odd else "") + f" ({took})")
        return 1
    print(f"refcheck: references flat on {len(paths)} call paths over {shape} (tolerance ±{args.tolerance}; the "
          f"largest move of a round: {largest[0]} references, {largest[1]} memory blocks)"
          + (f"; behaving otherwise here: {', '.join(odd)}" if odd else "") + f" ({took})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
