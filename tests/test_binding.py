"""How every recogniser method binds and converts its arguments: the failure messages, the conversions,
and a fuzz that holds binding to a plain Python function with the same parameters."""

import ctypes
import math
import re
import types
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
A = np.zeros(4, np.float32)
EMPTY = np.zeros(0, np.float32)

# The interpreter's own entry points, so that calls can carry a keyword-names tuple (the fast path)
# and the float conversion can be compared with the one the interpreter applies.
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
    try:
        fn()
    except Exception as exc:
        return type(exc), str(exc)
    return "returned"


class Boom(Exception):
    pass


def raising(text):
    def hook(self):
        raise Boom(text)
    return hook


StrSub, FloatSub, IntSub = (type(name, (base,), {}) for name, base in
                            (("StrSub", str), ("FloatSub", float), ("IntSub", int)))
Index = type("Index", (), {"__index__": lambda self: 7})
IntOnly = type("IntOnly", (), {"__int__": lambda self: 9})
FloatOnly = type("FloatOnly", (), {"__float__": lambda self: 1.5})
BadBool = type("BadBool", (), {"__bool__": raising("bool")})
BadIndex = type("BadIndex", (), {"__index__": raising("index")})
BadFloat = type("BadFloat", (), {"__float__": raising("float")})
Sized = type("Sized", (), {"__init__": lambda self, size: setattr(self, "size", size), "__len__": lambda self: self.size})


class Fake:
    """Transcriber stand-in that records the names of the stream calls made on it."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        return lambda *args: self.calls.append(name)


class StreamProbe(Stream):
    def _load_model(self):  # no engine: only what binding hands over is of interest
        self._transcriber = Fake()

    def _transcribe_internal(self, audio, language="zh"):
        return ""


class OfflineProbe(Offline):
    _load_model = StreamProbe._load_model

    def _transcribe_internal(self, audio):
        return ""


class OfflineEcho(OfflineProbe):
    def transcribe(self, audio, language="zh"):  # reports what stream_generate passed on
        self.echo = (audio, language)
        return []


def type_message(name, expected, value):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})"


def as_str(name, value):
    if type(value) is not str:
        raise TypeError(type_message(name, "str", value))
    return value


def as_int(name, value):
    if type(value) is int:
        return value
    if not isinstance(value, complex) and not any(hasattr(type(value), m) for m in ("__index__", "__int__", "__float__")):
        raise TypeError(type_message(name, "int", value))
    return int(value)


def as_float(name, value):
    return value if type(value) is float else AS_DOUBLE(value)


CONVERT = {"str": as_str, "int": as_int, "float": as_float, "truth": lambda name, value: bool(value)}
DEFAULTS = {"model_type": ModelType.SABLEWICK.value, "model": "sablewick/base", "device": "cpu", "language": "zh",
            "update_interval": 0.3, "sample_rate": 16000, "is_final": False}


class Default:
    def __init__(self, value):
        self.value = value


class Sig:
    """One method's parameters with a plain Python function that has the same ones."""

    def __init__(self, cls, method, params, required, order, probe):
        self.cls, self.method, self.required, self.order, self.probe = cls, method, required, order, probe
        self.names = [name for name, _ in params]
        self.rules = dict(params)
        head = ", ".join(self.names[:required] + [f"{name}=UNSET" for name in self.names[required:]])
        scope = {"UNSET": UNSET, "seen": []}
        exec(f"def oracle({head}):\n    seen.append(dict(locals()))", scope)
        self.oracle, self.seen = scope["oracle"], scope["seen"]

    def count_message(self, given):
        low, high = self.required, len(self.names)
        word, expected = ("exactly", low) if low == high else ("at least", low) if given < low else ("at most", high)
        return (f"{self.method}() takes {word} {expected} positional argument{'' if expected == 1 else 's'}"
                f" ({given} given)")

    def translate(self, text):
        """The message of this module for the failure that the Python function reported."""
        if text == "keywords must be strings":
            return text
        if text.endswith(" keywords must be strings"):
            return f"{self.method}() keywords must be strings"
        if found := re.search(r"unexpected keyword argument '(.*)'$", text):
            return f"{self.method}() got an unexpected keyword argument '{found[1]}'"
        if found := re.search(r"multiple values for argument '(.*)'$", text):
            return f"{self.method}() got multiple values for keyword argument '{found[1]}'"
        found = re.search(r"missing \d+ required positional arguments?: '(\w+)'", text)
        assert found, text
        return self.count_message(self.names.index(found[1]))

    def expect(self, pos, kw, style):
        """The bound values, or (exception type, message)."""
        if style == "dict" and not all(isinstance(key, str) for key, _ in kw):
            return TypeError, "keywords must be strings"
        if len(pos) > len(self.names):  # counted before any keyword is looked at
            return TypeError, self.count_message(len(pos))
        self.seen.clear()
        try:
            call(self.oracle, pos, kw, style)
        except TypeError as exc:
            return TypeError, self.translate(str(exc))
        bound = self.seen.pop()
        for name in self.order:
            if bound[name] is not UNSET:
                try:
                    bound[name] = CONVERT[self.rules[name]](name, bound[name])
                except Exception as exc:
                    return type(exc), str(exc)
        return {name: Default(DEFAULTS[name]) if value is UNSET else value for name, value in bound.items()}


S, AUDIO, LANG = ("self", "any"), ("audio", "any"), ("language", "str")
STR_INIT = [("model", "str"), ("device", "str"), ("language", "str")]
SIGS = [
    Sig(Stream, "__init__", [S, *STR_INIT, ("update_interval", "float"), ("sample_rate", "int")], 1,
        ["update_interval", "sample_rate", "model", "device", "language"], StreamProbe),
    Sig(Offline, "__init__", [S, ("model_type", "str"), *STR_INIT, ("sample_rate", "int")], 1,
        ["sample_rate", "model_type", "model", "device", "language"], OfflineProbe),
    Sig(Stream, "transcribe", [S, AUDIO, LANG], 2, ["language"], StreamProbe),
    Sig(Offline, "transcribe", [S, AUDIO, LANG], 2, ["language"], OfflineProbe),
    Sig(Stream, "stream_generate", [S, AUDIO, ("is_final", "truth"), LANG], 2, ["is_final", "language"], StreamProbe),
    Sig(Offline, "stream_generate", [S, AUDIO, ("is_final", "truth"), LANG], 2, ["is_final", "language"], OfflineEcho),
    Sig(Stream, "load", [S], 1, [], StreamProbe),
    Sig(Offline, "reset", [S], 1, [], OfflineProbe),
]

# (class, method, positional arguments with SELF for the instance, keywords, TypeError message or reference)
NAN = float("nan")
BINDING_ERRORS = [
    (Stream, "transcribe", [SELF], {}, "transcribe() takes at least 2 positional arguments (1 given)"),
    (Offline, "transcribe", [SELF, A, "zh", 3], {}, "transcribe() takes at most 3 positional arguments (4 given)"),
    (Stream, "load", [SELF, 1], {}, "load() takes exactly 1 positional argument (2 given)"),
    (Stream, "load", [], {}, "load() takes exactly 1 positional argument (0 given)"),
    (Offline, "reset", [SELF, None], {}, "reset() takes exactly 1 positional argument (2 given)"),
    (Offline, "_load_model", [], {"self": SELF, "x": 1}, "_load_model() got an unexpected keyword argument 'x'"),
    (Offline, "_transcribe_internal", [SELF], {}, "_transcribe_internal() takes exactly 2 positional arguments (1 given)"),
    (Offline, "_transcribe_internal", [SELF, A], {"language": "zh"},
     "_transcribe_internal() got an unexpected keyword argument 'language'"),
    (Stream, "_transcribe_internal", [SELF, A, "zh", 1], {},
     "_transcribe_internal() takes at most 3 positional arguments (4 given)"),
    (Stream, "__init__", [SELF, "m", "cpu", "zh", 0.3, 16000, 7], {}, "__init__() takes at most 6 positional arguments (7 given)"),
    (Offline, "__init__", [SELF, "t", "m", "cpu", "zh", 16000, 7], {}, "__init__() takes at most 6 positional arguments (7 given)"),
    (Stream, "__init__", [], {"model": "m"}, "__init__() takes at least 1 positional argument (0 given)"),
    (Stream, "transcribe", [SELF], {"language": "en"}, "transcribe() takes at least 2 positional arguments (1 given)"),
    (Stream, "transcribe", [], {"audio": A}, "transcribe() takes at least 2 positional arguments (0 given)"),
    (Stream, "stream_generate", [], {"self": SELF, "is_final": True},
     "stream_generate() takes at least 2 positional arguments (1 given)"),
    (Stream, "stream_generate", [SELF, A, True, "zh", 0], {}, "stream_generate() takes at most 4 positional arguments (5 given)"),
    (Stream, "transcribe", [SELF, A], {"audio": A}, "transcribe() got multiple values for keyword argument 'audio'"),
    (Offline, "transcribe", [SELF, A], {"volume": 1}, "transcribe() got an unexpected keyword argument 'volume'"),
    (Stream, "transcribe", [SELF, A], {"self": SELF}, "transcribe() got multiple values for keyword argument 'self'"),
    (Offline, "__init__", [SELF, "t"], {"model_type": "t"}, "__init__() got multiple values for keyword argument 'model_type'"),
    # the count comes before the keywords, the keywords in call order before the missing parameters
    (Stream, "transcribe", [SELF, A, "zh", 3], {"volume": 1}, "transcribe() takes at most 3 positional arguments (4 given)"),
    (Stream, "transcribe", [SELF], {"volume": 1}, "transcribe() got an unexpected keyword argument 'volume'"),
    (Stream, "transcribe", [SELF, A], {"audio": A, "volume": 1}, "transcribe() got multiple values for keyword argument 'audio'"),
    (Stream, "transcribe", [SELF, A], {"volume": 1, "audio": A}, "transcribe() got an unexpected keyword argument 'volume'"),
    (Stream, "__init__", [SELF], {"model": None}, type_message("model", "str", None)),
    (Stream, "__init__", [SELF], {"language": StrSub("zh")}, type_message("language", "str", StrSub())),
    (Offline, "__init__", [SELF, ModelType.SABLEWICK], {}, type_message("model_type", "str", ModelType.SABLEWICK)),
    (Stream, "__init__", [SELF], {"sample_rate": "16000"}, type_message("sample_rate", "int", "")),
    (Offline, "__init__", [SELF], {"sample_rate": None}, type_message("sample_rate", "int", None)),
    (Stream, "__init__", [SELF], {"sample_rate": NAN}, lambda: int(NAN)),
    (Stream, "__init__", [SELF], {"update_interval": "0.3"}, lambda: AS_DOUBLE("0.3")),
    (Offline, "stream_generate", [SELF, A, BadBool(), None], {}, BadBool().__bool__),
]
FORMS = [(*case, through, style) for case in BINDING_ERRORS for through in ("instance", "class")
         for style in ("dict", "fast") if through == "class" or case[2][:1] == [SELF]]


@pytest.mark.parametrize("cls, method, pos, kw, expected, through, style", FORMS)
def test_rejected_call_raises_and_touches_nothing(recorder, model_name, cls, method, pos, kw, expected, through, style):
    obj = cls(model=model_name)
    obj._transcriber = None  # a logic that ran would load here, or stop a started stream
    obj._streaming_started = True
    before, cache = dict(vars(obj)), dict(cls._model_cache)
    recorder.calls.clear()
    pos = [obj if value is SELF else value for value in pos]
    kw = [(key, obj if value is SELF else value) for key, value in kw.items()]
    fn = getattr(cls, method)
    if through == "instance":
        fn, pos = (cls if method == "__init__" else getattr(obj, method)), pos[1:]
    assert outcome(lambda: call(fn, pos, kw, style)) == (
        (TypeError, expected) if isinstance(expected, str) else outcome(expected))
    assert recorder.calls == [] and vars(obj) == before and cls._model_cache == cache


@pytest.mark.parametrize("style, message", [("dict", "keywords must be strings"), ("fast", "{}() keywords must be strings")])
@pytest.mark.parametrize("fn, pos", [(lambda o: o.transcribe, [A]), (lambda o: type(o).load, []),
                                     (lambda o: type(o).__init__, [])])
def test_keyword_that_is_not_a_str(fn, pos, style, message):
    obj = StreamProbe()
    method = fn(obj)
    with pytest.raises(TypeError) as info:
        call(method, pos, [("self", obj), (3, "en")] if not pos else [(3, "en")], style)
    assert str(info.value) == message.format(method.__name__)


def test_self_by_keyword_and_str_subclass_keywords_bind(monkeypatch):
    seen = []
    monkeypatch.setattr(sablewick_asr, "normalize_audio", lambda audio, **kw: seen.append(audio) or EMPTY)
    obj, model, language = StreamProbe(), "sablewick/tiny", "en"
    assert Stream.__init__(self=obj, model=model, **{StrSub("language"): language}) is None
    assert obj.model is model and obj.language is language and obj.sample_rate == 16000
    assert call(Stream.transcribe, [], [("self", obj), (StrSub("audio"), A)], "fast") == []
    assert obj.transcribe(**{StrSub("audio"): EMPTY}) == [] and seen == [A, EMPTY]
    assert Offline.load(self=OfflineProbe()) is None


@pytest.mark.parametrize("cls", [StreamProbe, OfflineProbe])
@pytest.mark.parametrize("by_position", [False, True])
@pytest.mark.parametrize("value, expected", [(8000.9, 8000), (-2.7, -2), (True, 1), (False, 0), (Index(), 7),
                                             (IntOnly(), 9), (IntSub(5), 5), (Decimal("2.5"), 2), (Fraction(7, 2), 3),
                                             (np.int16(400), 400), (np.float64(8000.9), 8000), (10**30, 10**30)])
def test_sample_rate_is_converted_with_int(cls, by_position, value, expected):
    prefix = ("t", "m", "cpu", "zh") if cls is OfflineProbe else ("m", "cpu", "zh", 0.3)
    obj = cls(*prefix, value) if by_position else cls(sample_rate=value)
    assert type(obj.sample_rate) is int and obj.sample_rate == expected


@pytest.mark.parametrize("cls", [StreamProbe, OfflineProbe])
@pytest.mark.parametrize("value", ["8000", b"8000", None, [16000], StrSub("1"), ModelType.SABLEWICK, NAN,
                                   math.inf, -math.inf, 2j, FloatOnly(), BadIndex(), BadFloat()])
def test_sample_rate_rejections(cls, value):
    assert outcome(lambda: cls(sample_rate=value)) == outcome(lambda: as_int("sample_rate", value))
    assert outcome(lambda: cls(sample_rate=value))[0] in (TypeError, ValueError, OverflowError, Boom)


@pytest.mark.parametrize("value, expected", [(1, 1.0), (True, 1.0), (0.25, 0.25), (FloatSub(2.5), 2.5), (Index(), 7.0),
                                             (FloatOnly(), 1.5), (Decimal("0.5"), 0.5), (np.float32(0.25), 0.25)])
def test_update_interval_is_stored_as_float(value, expected):
    obj = StreamProbe(update_interval=value)
    assert type(obj.update_interval) is float and obj.update_interval == expected


@pytest.mark.parametrize("value", ["0.3", StrSub("1"), None, 2j, BadFloat(), BadIndex(), 10**400, [0.3]])
def test_update_interval_rejections_are_the_float_conversions(value):
    result = outcome(lambda: StreamProbe(update_interval=value))
    assert result == outcome(lambda: AS_DOUBLE(value)) and result[0] is not str and "Argument" not in result[1]


@pytest.mark.parametrize("value, final", [([], False), ([0], True), (None, False), ("", False), ("no", True),
                                          (0.0, False), (2, True), (Sized(0), False), (Sized(3), True)])
def test_is_final_is_a_truth_value(value, final):
    obj = StreamProbe()
    assert obj.stream_generate(A, value) == []
    assert obj._transcriber.calls == ["start", "add_audio"] + ["stop"] * final


class Counting:
    def __init__(self):
        self.asked = 0

    def __bool__(self):
        self.asked += 1
        return True


@pytest.mark.parametrize("cls", [StreamProbe, OfflineEcho])
def test_is_final_is_asked_once_and_before_language(cls):
    flag = Counting()
    cls().stream_generate(A, flag)
    assert flag.asked == 1
    assert outcome(lambda: cls().stream_generate(A, BadBool(), None)) == (Boom, "bool")
    assert outcome(lambda: cls().stream_generate(A, np.zeros(2), None)) == outcome(lambda: bool(np.zeros(2)))


STR_PARAMS = [(Stream, "__init__", name) for name in ("model", "device", "language")] + \
    [(Offline, "__init__", name) for name in ("model_type", "model", "device", "language")] + \
    [(cls, method, "language") for cls in (Stream, Offline) for method in ("transcribe", "stream_generate")] + \
    [(Stream, "_transcribe_internal", "language")]


@pytest.mark.parametrize("cls, method, name", STR_PARAMS)
@pytest.mark.parametrize("value", [None, StrSub("zh"), 5, b"zh", ModelType.SABLEWICK, ["zh"]])
def test_str_parameters_want_exact_str(recorder, model_name, cls, method, name, value):
    obj = cls(model=model_name)
    recorder.calls.clear()
    args = (obj,) if method == "__init__" else (obj, A)
    assert outcome(lambda: getattr(cls, method)(*args, **{name: value})) == (TypeError, type_message(name, "str", value))
    assert outcome(lambda: cls(**{name: value})) != "returned" if method == "__init__" else True
    assert recorder.calls == [] and obj.model == model_name


@pytest.mark.parametrize("cls, kw, reference", [
    (StreamProbe, {"model": None, "sample_rate": None, "update_interval": "x"}, lambda: AS_DOUBLE("x")),
    (StreamProbe, {"language": 1, "model": None, "sample_rate": None}, lambda: as_int("sample_rate", None)),
    (StreamProbe, {"language": 1, "device": 1, "model": None}, lambda: as_str("model", None)),
    (StreamProbe, {"language": 1, "device": None}, lambda: as_str("device", None)),
    (OfflineProbe, {"model_type": None, "sample_rate": NAN}, lambda: int(NAN)),
    (OfflineProbe, {"language": 1, "model": 1, "model_type": 1}, lambda: as_str("model_type", 1)),
    (OfflineProbe, {"language": 1, "device": 1, "model": None}, lambda: as_str("model", None)),
])
def test_conversion_order(cls, kw, reference):
    assert outcome(lambda: cls(**kw)) == outcome(reference) != "returned"


GOOD = {"str": ["zh", "en", "", "sablewick/tiny"], "int": [16000, 8000.9, True, Index()], "any": [A, None, "zh"],
        "float": [0.3, 1, FloatSub(0.5)], "truth": [True, False, [], [1]]}
VALUES = ["zh", StrSub("zh"), "", None, 0, -3, 10**30, True, False, 8000.9, -0.0, NAN, math.inf, FloatSub(2.5),
          IntSub(5), Fraction(7, 2), 2j, b"zh", [], [0], Index(), IntOnly(), FloatOnly(), BadBool(), BadIndex(),
          BadFloat(), 10**400, ModelType.SABLEWICK, object()]


def value_for(rule):
    good = st.sampled_from(GOOD[rule])
    return st.one_of(good, good, st.sampled_from(VALUES))


@st.composite
def calls(draw, sig):
    """A call of `sig`: through the instance or the class, by dict or names tuple, right or wrong."""
    through, style = draw(st.sampled_from(["instance", "class"])), draw(st.sampled_from(["dict", "fast"]))
    count = draw(st.integers(1 if through == "instance" else 0, len(sig.names) + 1))
    pos = [SELF if name == "self" else draw(value_for(sig.rules[name])) for name in sig.names[:count]]
    pos += [draw(st.sampled_from(VALUES)) for _ in range(count - len(pos))]
    kw = []
    for name in draw(st.lists(st.sampled_from(sig.names + ["volume", "Language"]), unique=True, max_size=4)):
        key = StrSub(name) if draw(st.integers(0, 3)) == 0 else name
        kw.append((key, SELF if name == "self" else draw(value_for(sig.rules.get(name, "any")))))
    if draw(st.integers(0, 9)) == 0:
        kw.insert(draw(st.integers(0, len(kw))), (draw(st.sampled_from([7, b"audio", None])), 1))
    return through, style, pos, kw


def observe(sig, target, result, normalized):
    """What the method's logic received, as far as it shows."""
    if sig.method == "__init__":
        return {name: getattr(target, name) for name in sig.names[1:]}
    if sig.method in ("load", "reset"):
        assert result is None
        return {}
    assert result == []
    if sig.method == "transcribe":
        return {"audio": normalized[-1]}
    if sig.cls is Stream:
        return {"audio": normalized[-1], "is_final": "stop" in target._transcriber.calls}
    return dict(zip(("audio", "language"), target.echo))


def same(rule, expected, got):
    if isinstance(expected, Default):  # a default is an equal value, not necessarily this very object
        return type(got) is type(expected.value) and got == expected.value
    if rule == "int":
        return type(got) is int and got == expected
    if rule == "float":
        return type(got) is float and repr(got) == repr(expected)
    return got is expected


@pytest.mark.parametrize("sig", SIGS, ids=lambda sig: f"{sig.cls.__name__}.{sig.method}")
@settings(max_examples=250, deadline=None)
@given(data=st.data())
def test_binding_agrees_with_a_python_function(sig, data):
    through, style, pos, kw = data.draw(calls(sig))
    obj, normalized = sig.probe(), []
    pos = [obj if value is SELF else value for value in pos]
    kw = [(key, obj if value is SELF else value) for key, value in kw]
    fn, args = getattr(sig.cls, sig.method), pos
    if through == "instance":
        fn, args = (sig.probe if sig.method == "__init__" else getattr(obj, sig.method)), pos[1:]
    # a class call hands the keywords on to __init__ as a dict, whatever form the caller used
    expected = sig.expect(pos, kw, "dict" if fn is sig.probe else style)
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(sablewick_asr, "normalize_audio", lambda audio, **_: normalized.append(audio) or EMPTY)
        patch.setattr(sablewick_asr, "logger", types.SimpleNamespace(debug=len, error=len, info=len))
        try:
            result = call(fn, args, kw, style)
        except Exception as exc:
            assert isinstance(expected, tuple), f"{exc!r} raised, yet a Python function binds {expected}"
            assert (type(exc), str(exc)) == expected
            return
    assert isinstance(expected, dict), f"bound, yet a Python function raises {expected}"
    for name, got in observe(sig, result if fn is sig.probe else obj, result, normalized).items():
        assert same(sig.rules[name], expected[name], got), (name, got, expected[name])
