# SPDX-License-Identifier: MIT
"""Argument binding of every recogniser method, held to plain Python functions with the same parameters."""

import ctypes
import math
import os
import re
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import sablewick_asr
from zel_asr_config import ModelType

Stream, Offline = sablewick_asr.SablewickStreamASR, sablewick_asr.SablewickOfflineASR
SELF = object()  # stands for the recogniser in the call tables
UNSET = object()  # an optional parameter the call left out
A, EMPTY, NAN = np.zeros(4, np.float32), np.zeros(0, np.float32), float("nan")

# The interpreter's calls with a keyword-names tuple (of any names), and its float conversion of arguments.
VECTORCALL = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                               ctypes.c_void_p)(("PyObject_Vectorcall", ctypes.pythonapi))
AS_DOUBLE = ctypes.PYFUNCTYPE(ctypes.c_double, ctypes.py_object)(("PyFloat_AsDouble", ctypes.pythonapi))


def call(fn, pos, kw, style):
    """Calls `fn` with the keyword pairs `kw`, as a keyword dict ("dict") or a names tuple ("fast")."""
    if style == "dict":
        return fn(*pos, **dict(kw))
    names = tuple(key for key, _ in kw)
    items = (ctypes.py_object * (len(pos) + len(kw) or 1))(*pos, *(value for _, value in kw))
    return VECTORCALL(fn, ctypes.cast(items, ctypes.c_void_p), len(pos), id(names) if names else None)


def outcome(fn):
    """What calling `fn` comes to: ("returned", type, repr) of its value, or (exception type, message)."""
    try:
        value = fn()
    except Exception as exc:
        return type(exc), str(exc)
    return "returned", type(value), repr(value)


def aim(cls, method, obj, pos, kw, through):
    """Callable and arguments of a call on the instance (for __init__: of the class) or through the class."""
    pos, kw = [obj if v is SELF else v for v in pos], [(key, obj if v is SELF else v) for key, v in kw]
    if through == "class":
        return getattr(cls, method), pos, kw
    return (type(obj) if method == "__init__" else getattr(obj, method)), pos[1:], kw


Boom = type("Boom", (Exception,), {})


def raising(hook):
    """An object whose conversion hook `hook` raises."""
    def fail(self):
        raise Boom(hook)
    return type(f"Bad{hook.title()}", (), {f"__{hook}__": fail})()


StrSub, FloatSub, IntSub = (type(name, (base,), {}) for name, base in
                            (("StrSub", str), ("FloatSub", float), ("IntSub", int)))
Index = type("Index", (), {"__index__": lambda self: 7})
IntOnly = type("IntOnly", (), {"__int__": lambda self: 9})
FloatOnly = type("FloatOnly", (), {"__float__": lambda self: 1.5})
BAD_BOOL, BAD_INDEX, BAD_FLOAT = raising("bool"), raising("index"), raising("float")


class Fake(list):
    """Transcriber (or logger) stand-in: the list of the names of the calls made on it."""

    def __getattr__(self, name):
        return lambda *args: self.append(name)


def load_fake(self):  # no engine: only what binding hands over is of interest
    self._transcriber = Fake()


StreamProbe = type("StreamProbe", (Stream,), {"_load_model": load_fake, "_transcribe_internal": lambda *args: ""})
OfflineProbe = type("OfflineProbe", (Offline,), {"_load_model": load_fake, "_transcribe_internal": lambda *args: ""})
OfflineEcho = type("OfflineEcho", (OfflineProbe,), {  # reports what stream_generate hands to transcribe
    "transcribe": lambda self, audio, language="zh": setattr(self, "echo", (audio, language)) or []})


def type_message(name, expected, value):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})"


def as_str(name, value):
    if type(value) is not str:
        raise TypeError(type_message(name, "str", value))
    return value


def as_int(name, value):
    if type(value) is not int and not isinstance(value, complex) and not any(
            hasattr(type(value), f"__{hook}__") for hook in ("index", "int", "float")):
        raise TypeError(type_message(name, "int", value))
    return value if type(value) is int else int(value)


CONVERT = {"str": as_str, "int": as_int, "truth": lambda name, value: bool(value),
           "float": lambda name, value: value if type(value) is float else AS_DOUBLE(value)}
DEFAULTS = {"model_type": ModelType.SABLEWICK.value, "model": "sablewick/base", "device": "cpu", "language": "zh",
            "update_interval": 0.3, "sample_rate": 16000, "is_final": False}


def takes(method, word, expected, given):
    return f"{method}() takes {word} {expected} positional argument{'s' * (expected != 1)} ({given} given)"


dup, unexpected = ("{}() got multiple values for keyword argument '{}'".format,
                   "{}() got an unexpected keyword argument '{}'".format)


class Sig:
    """One method's parameters, with a plain Python function that has the same ones."""

    def __init__(self, cls, method, params, required, order, probe):
        self.cls, self.method, self.required, self.order, self.probe = cls, method, required, order, probe
        self.names, self.rules = [name for name, _ in params], dict(params)
        head = ", ".join(self.names[:required] + [f"{name}=UNSET" for name in self.names[required:]])
        scope = {"UNSET": UNSET, "seen": []}
        exec(f"def oracle({head}):\n    seen.append(dict(locals()))", scope)
        self.oracle, self.seen = scope["oracle"], scope["seen"]

    def count_message(self, given):
        low, high = self.required, len(self.names)
        return takes(self.method, *("exactly", low) if low == high else ("at least", low) if given < low else
                     ("at most", high), given)

    def translate(self, text):
        if text.endswith(" keywords must be strings"):
            return f"{self.method}() keywords must be strings"
        # 3.13 adds a suggestion (". Did you mean 'language'?") that the module's fixed message does not have.
        if found := re.search(r"unexpected keyword argument '(.*?)'(?:\. Did you mean '\w+'\?)?$", text):
            return unexpected(self.method, found[1])
        if found := re.search(r"multiple values for argument '(.*)'$", text):
            return dup(self.method, found[1])
        return self.count_message(self.names.index(re.search(r"missing .*?: '(\w+)'", text)[1]))

    def expect(self, pos, kw, style):
        """The values the call binds to, or (exception type, message)."""
        if style == "dict" and not all(isinstance(key, str) for key, _ in kw):
            return outcome(lambda: call(self.oracle, pos, kw, style))  # the interpreter's check, before any binding
        if len(pos) > len(self.names):  # counted before any keyword is looked at
            return TypeError, self.count_message(len(pos))
        try:
            call(self.oracle, pos, kw, style)
        except TypeError as exc:
            return TypeError, self.translate(str(exc))
        bound = self.seen.pop()
        try:
            for name in [name for name in self.order if bound[name] is not UNSET]:
                bound[name] = CONVERT[self.rules[name]](name, bound[name])
        except Exception as exc:
            return type(exc), str(exc)
        return {name: DEFAULTS[name] if value is UNSET else value for name, value in bound.items()}


S, AUDIO, LANG, FINAL, STR_INIT = ("self", "any"), ("audio", "any"), ("language", "str"), ("is_final", "truth"), [
    ("model", "str"), ("device", "str"), ("language", "str")]
SIGS = [
    Sig(Stream, "__init__", [S, *STR_INIT, ("update_interval", "float"), ("sample_rate", "int")], 1,
        ["update_interval", "sample_rate", "model", "device", "language"], StreamProbe),
    Sig(Offline, "__init__", [S, ("model_type", "str"), *STR_INIT, ("sample_rate", "int")], 1,
        ["sample_rate", "model_type", "model", "device", "language"], OfflineProbe),
    Sig(Stream, "transcribe", [S, AUDIO, LANG], 2, ["language"], StreamProbe),
    Sig(Offline, "transcribe", [S, AUDIO, LANG], 2, ["language"], OfflineProbe),
    Sig(Stream, "stream_generate", [S, AUDIO, FINAL, LANG], 2, ["is_final", "language"], StreamProbe),
    Sig(Offline, "stream_generate", [S, AUDIO, FINAL, LANG], 2, ["is_final", "language"], OfflineEcho),
    Sig(Stream, "load", [S], 1, [], StreamProbe),
    Sig(Offline, "reset", [S], 1, [], OfflineProbe),
]
# By the form of the call: the interpreter turns away a ** dict with such a key before any callee sees it (its
# message, as the running interpreter words it); a names tuple with one reaches the method, which says so itself.
NOT_STR = {"dict": outcome(lambda: (lambda **kw: None)(**{0: 0}))[1], "fast": "{}() keywords must be strings"}

STR_PARAMS = [*[(Stream, "__init__", name) for name in ("model", "device", "language")],
              *[(Offline, "__init__", name) for name in ("model_type", "model", "device", "language")],
              *[(cls, method, "language") for cls in (Stream, Offline) for method in ("transcribe", "stream_generate")],
              (Stream, "_transcribe_internal", "language")]

# (class, method, positional arguments with SELF for the instance, keywords, TypeError message or reference)
BINDING_ERRORS = [
    (Stream, "transcribe", [SELF], {}, "transcribe() takes at least 2 positional arguments (1 given)"),
    (Offline, "transcribe", [SELF, A, "zh", 3], {}, "transcribe() takes at most 3 positional arguments (4 given)"),
    (Stream, "load", [SELF, 1], {}, "load() takes exactly 1 positional argument (2 given)"),
    (Stream, "load", [], {}, "load() takes exactly 1 positional argument (0 given)"),
    (Offline, "_load_model", [], {"self": SELF, "x": 1}, unexpected("_load_model", "x")),
    (Offline, "_transcribe_internal", [SELF], {}, takes("_transcribe_internal", "exactly", 2, 1)),
    (Offline, "_transcribe_internal", [SELF, A], {"language": "zh"}, unexpected("_transcribe_internal", "language")),
    (Stream, "_transcribe_internal", [SELF, A, "zh", 1], {}, takes("_transcribe_internal", "at most", 3, 4)),
    (Stream, "__init__", [SELF, "m", "cpu", "zh", 0.3, 16000, 7], {}, takes("__init__", "at most", 6, 7)),
    (Offline, "__init__", [SELF, "t", "m", "cpu", "zh", 16000, 7], {}, takes("__init__", "at most", 6, 7)),
    (Stream, "__init__", [], {"model": "m"}, takes("__init__", "at least", 1, 0)),
    (Stream, "transcribe", [SELF], {"language": "en"}, takes("transcribe", "at least", 2, 1)),
    (Stream, "transcribe", [], {"audio": A}, takes("transcribe", "at least", 2, 0)),
    (Stream, "stream_generate", [], {"self": SELF, "is_final": True}, takes("stream_generate", "at least", 2, 1)),
    (Stream, "stream_generate", [SELF, A, True, "zh", 0], {}, takes("stream_generate", "at most", 4, 5)),
    (Stream, "transcribe", [SELF, A], {"audio": A}, "transcribe() got multiple values for keyword argument 'audio'"),
    (Offline, "transcribe", [SELF, A], {"volume": 1}, "transcribe() got an unexpected keyword argument 'volume'"),
    (Stream, "transcribe", [SELF, A], {"self": SELF}, dup("transcribe", "self")),
    (Stream, "transcribe", [SELF, A], {3: "en"}, NOT_STR),
    (Offline, "load", [SELF], {None: 1}, NOT_STR),
    (Stream, "__init__", [SELF], {b"model": "m"}, NOT_STR),
    # the count comes before the keywords, and the keywords, in call order, before the missing parameters
    (Stream, "transcribe", [SELF, A, "zh", 3], {"volume": 1}, takes("transcribe", "at most", 3, 4)),
    (Stream, "transcribe", [SELF], {"volume": 1}, unexpected("transcribe", "volume")),
    (Stream, "transcribe", [SELF, A], {"audio": A, "volume": 1}, dup("transcribe", "audio")),
    (Stream, "transcribe", [SELF, A], {"volume": 1, "audio": A}, unexpected("transcribe", "volume")),
    (Stream, "__init__", [SELF], {"model": None}, "Argument 'model' has incorrect type (expected str, got NoneType)"),
    (Stream, "__init__", [SELF], {"sample_rate": "16000"}, type_message("sample_rate", "int", "")),
    (Offline, "stream_generate", [SELF, A, BAD_BOOL, None], {}, BAD_BOOL.__bool__),  # before language
    # conversions in their order, whatever the order of the keywords
    (Stream, "__init__", [SELF], {"model": None, "sample_rate": None, "update_interval": "x"}, lambda: AS_DOUBLE("x")),
    (Stream, "__init__", [SELF], {"model": 1, "sample_rate": None}, lambda: as_int("sample_rate", None)),
    (Stream, "__init__", [SELF], {"language": 1, "device": 1, "model": None}, lambda: as_str("model", None)),
    (Offline, "__init__", [SELF], {"model_type": None, "sample_rate": NAN}, lambda: int(NAN)),
    (Offline, "__init__", [SELF], {"language": 1, "model": 1, "model_type": 1}, lambda: as_str("model_type", 1)),
    *[(cls, method, [SELF] + [A] * (method != "__init__"), {name: value}, type_message(name, "str", value))
      for cls, method, name in STR_PARAMS for value in [None, StrSub("zh"), 5, b"zh", ModelType.SABLEWICK, ["zh"]]],
]
FORMS = [(*case, through, style) for case in BINDING_ERRORS for through in ("instance", "class")
         for style in ("dict", "fast") if through == "class" or case[2][:1] == [SELF]]


@pytest.mark.parametrize("cls, method, pos, kw, expected, through, style", FORMS)
def test_rejected_call_raises_and_touches_nothing(recorder, model_name, cls, method, pos, kw, expected, through, style):
    obj = cls(model=model_name)
    obj._transcriber, obj._streaming_started = None, True  # logic that ran would load, or stop the stream
    before, cache = dict(vars(obj)), dict(cls._model_cache)
    recorder.calls.clear()
    fn, pos, kw = aim(cls, method, obj, pos, list(kw.items()), through)
    if isinstance(expected, dict):  # a class call hands __init__ its keywords as a dict
        expected = expected["dict" if fn is cls else style].format(method)
    assert outcome(lambda: call(fn, pos, kw, style)) == (
        (TypeError, expected) if isinstance(expected, str) else outcome(expected))
    assert recorder.calls == [] and vars(obj) == before and cls._model_cache == cache


def test_self_by_keyword_and_str_subclass_keywords_bind():
    stream, echo, model, en = StreamProbe(), OfflineEcho(), "sablewick/tiny", "en"
    assert Stream.__init__(self=stream, model=model, **{StrSub("language"): en}) is None
    assert stream.model is model and stream.language is en and Stream.load(self=stream) is None
    assert call(Offline.stream_generate, [], [("self", echo), (StrSub("audio"), A)], "fast") == [] and echo.echo[0] is A
    assert echo.stream_generate(**{StrSub("audio"): EMPTY, "language": en}) == [] and echo.echo == (EMPTY, en)


NUMBERS = [8000.9, -2.7, True, False, Index(), IntOnly(), IntSub(5), Decimal("2.5"), Fraction(7, 2), np.int16(400),
           np.float64(8000.9), 10**30, 10**400, "8000", b"8000", None, [16000], StrSub("1"), ModelType.SABLEWICK,
           NAN, math.inf, -math.inf, 2j, FloatOnly(), BAD_INDEX, BAD_FLOAT, FloatSub(2.5), np.float32(0.25)]


@pytest.mark.parametrize("cls, name", [(StreamProbe, "sample_rate"), (OfflineProbe, "sample_rate"),
                                       (StreamProbe, "update_interval")])
@pytest.mark.parametrize("value", NUMBERS)
def test_numbers_convert_as_int_and_float_do(cls, name, value):
    rule = "int" if name == "sample_rate" else "float"
    assert outcome(lambda: getattr(cls(**{name: value}), name)) == outcome(lambda: CONVERT[rule](name, value))


@pytest.mark.parametrize("value, final", [([], False), ([0], True), (None, False), ("", False), ("no", True),
                                          (0.0, False), (2, True), (range(0), False), (range(3), True)])
def test_is_final_is_a_truth_value(value, final):
    obj = StreamProbe()
    assert obj.stream_generate(A, value) == [] and obj._transcriber == ["start", "add_audio"] + ["stop"] * final


@pytest.mark.parametrize("cls", [StreamProbe, OfflineEcho])
def test_is_final_is_asked_once_and_before_language(cls):
    asked = []
    cls().stream_generate(A, type("Flag", (), {"__bool__": lambda self: asked.append(1) or True})())
    assert asked == [1]
    assert outcome(lambda: cls().stream_generate(A, BAD_BOOL, None)) == (Boom, "bool")
    assert outcome(lambda: cls().stream_generate(A, np.zeros(2), None)) == outcome(lambda: bool(np.zeros(2)))


GOOD = {"str": ["zh", "en", "", "sablewick/tiny"], "int": [16000, 8000.9, True, Index()], "any": [A, None, "zh"],
        "float": [0.3, 1, FloatSub(0.5)], "truth": [True, False, [], [1]]}
VALUES = ["zh", StrSub("zh"), "", None, 0, -3, 10**30, True, False, 8000.9, -0.0, NAN, math.inf, FloatSub(2.5),
          IntSub(5), Fraction(7, 2), 2j, b"zh", [], [0], Index(), IntOnly(), FloatOnly(), BAD_BOOL, BAD_INDEX,
          BAD_FLOAT, 10**400, ModelType.SABLEWICK, object()]


def value_for(rule):
    good = st.sampled_from(GOOD[rule])
    return st.one_of(good, good, good, st.sampled_from(VALUES))


@st.composite
def calls(draw, sig):
    """A call of `sig` through the instance or the class, by dict or names tuple, with at most one slip."""
    through, style = draw(st.sampled_from(["instance", "class"])), draw(st.sampled_from(["dict", "fast"]))
    slip = draw(st.sampled_from([None, None, None, "positional", "repeat", "unknown", "not str", "missing"]))
    count = len(sig.names) + 1 if slip == "positional" else draw(st.integers(through == "instance", len(sig.names)))
    pos = [SELF if name == "self" else draw(value_for(sig.rules[name])) for name in sig.names[:count]]
    pos += [draw(st.sampled_from(VALUES)) for _ in range(count - len(pos))]
    required = sig.names[count:sig.required]
    names = (required[1:] if slip == "missing" else required) + draw(
        st.lists(st.sampled_from(sig.names[max(count, sig.required):] or ["-"]), unique=True))
    names += [draw(st.sampled_from(sig.names[:count]))] if slip == "repeat" and count else []
    names += [draw(st.sampled_from(["volume", "Language", "audio_"]))] if slip == "unknown" else []
    kw = [(StrSub(name) if draw(st.booleans()) else name,
           SELF if name == "self" else draw(value_for(sig.rules.get(name, "any"))))
          for name in draw(st.permutations([name for name in names if name != "-"]))]
    if slip == "not str":
        kw.insert(draw(st.integers(0, len(kw))), (draw(st.sampled_from([7, b"audio", None])), 1))
    return through, style, pos, kw


def observe(sig, target, result, normalized):
    """What the method's logic received, as far as it shows."""
    if sig.method == "__init__":
        return {name: getattr(target, name) for name in sig.names[1:]}
    assert result == ([] if sig.method in ("transcribe", "stream_generate") else None)
    if sig.method == "stream_generate":
        return ({"audio": normalized[-1], "is_final": "stop" in target._transcriber} if sig.cls is Stream
                else dict(zip(("audio", "language"), target.echo)))
    return {"audio": normalized[-1]} if sig.method == "transcribe" else {}


def same(name, rule, expected, got):
    if rule in ("int", "float"):
        return type(got) is type(expected) and repr(got) == repr(expected)
    # an exact str or any object is handed on itself; a default may be an equal object of the module's own
    return got is expected or (expected is DEFAULTS.get(name) and type(got) is str and got == expected)


@pytest.mark.parametrize("sig", SIGS, ids=lambda sig: f"{sig.cls.__name__}.{sig.method}")
# The sanitizer run asks for fewer examples: every allocation costs it a stack walk.
@settings(max_examples=int(os.environ.get("SABLEWICK_FUZZ_EXAMPLES", "250")), deadline=None)
@given(data=st.data())
def test_binding_agrees_with_a_python_function(sig, data):
    through, style, pos, kw = data.draw(calls(sig))
    obj, normalized = sig.probe(), []
    fn, args, kw = aim(sig.cls, sig.method, obj, pos, kw, through)
    # a class call hands the keywords on to __init__ as a dict, whatever form the caller used
    expected = sig.expect([obj, *args] if through == "instance" else args, kw, "dict" if fn is sig.probe else style)
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(sablewick_asr, "normalize_audio", lambda audio, **_: normalized.append(audio) or EMPTY)
        patch.setattr(sablewick_asr, "logger", Fake())
        try:
            result = call(fn, args, kw, style)
        except Exception as exc:
            assert isinstance(expected, tuple), f"{exc!r} raised, yet a Python function binds {expected}"
            assert (type(exc), str(exc)) == expected
            return
    assert isinstance(expected, dict), f"bound, yet a Python function raises {expected}"
    for name, got in observe(sig, result if fn is sig.probe else obj, result, normalized).items():
        assert same(name, sig.rules[name], expected[name], got), (name, got, expected[name])
