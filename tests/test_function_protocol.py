# SPDX-License-Identifier: MIT
"""The methods are objects that the host's tools take for functions: weak references, copies and pickles,
attributes of their own, type hints, and introspection attributes that tools may rewrite."""

import builtins
import copy
import functools
import gc
import inspect
import json
import pickle
import sys
import typing
import weakref

import numpy as np
import pytest

from conftest import run_python, sablewick_asr

S, O = sablewick_asr.SablewickStreamASR, sablewick_asr.SablewickOfflineASR
NAMES = ["__init__", "_load_model", "load", "_transcribe_internal", "stream_generate", "transcribe", "reset"]
METHODS = [(cls, name) for cls in (S, O) for name in NAMES]
IDS = [f"{cls.__name__[9:-3]}.{name}" for cls, name in METHODS]
HINTS = {"str": str, "int": int, "float": float, "bool": bool, "np.ndarray": np.ndarray,
         "List[Dict[str, Any]]": typing.List[typing.Dict[str, typing.Any]]}
AUDIO = np.zeros(1600, np.float32)


@pytest.mark.parametrize("form", ["class", "bound"])
@pytest.mark.parametrize("cls, name", METHODS, ids=IDS)
def test_methods_behave_like_functions(recorder, cls, name, form):
    function = vars(cls)[name]
    method = getattr(cls if form == "class" else cls(), name)
    assert (method is function) == (form == "class")

    reference = weakref.ref(method)
    assert reference() is method
    if form == "bound":  # a bound method is made at each lookup, and its weak reference dies with it
        del method
        assert reference() is None
        method = getattr(cls(), name)
    for duplicate in (copy.copy, copy.deepcopy, *(functools.partial(lambda f, p: pickle.loads(pickle.dumps(f, p)),
                                                                    p=p) for p in range(pickle.HIGHEST_PROTOCOL + 1))):
        assert duplicate(function) is function

    function.registered_by = "host"  # set on the function, read through either form
    try:
        assert method.registered_by == "host" and function.__dict__ == {"registered_by": "host"}
    finally:
        del function.registered_by
    assert function.__dict__ == {}
    assert (method.__globals__, method.__builtins__, method.__closure__, method.__type_params__) == (
        vars(sablewick_asr), vars(sablewick_asr.__builtins__), None, ())
    assert typing.get_type_hints(method) == {key: HINTS[text] for key, text in function.__annotations__.items()}


KEPT = []  # references, for good, to what a count check saw fall: a value whose getter loses counts must not be freed
ATTRIBUTES = ["__name__", "__qualname__", "__module__", "__doc__", "__annotations__", "__defaults__", "__kwdefaults__",
              "__globals__", "__builtins__", "__closure__", "__type_params__", "__dict__", "__signature__"]


@pytest.mark.parametrize("cls, name", METHODS, ids=IDS)
def test_reading_attributes_leaves_every_reference_count_as_it_was(recorder, monkeypatch, cls, name):
    function, instance = vars(cls)[name], cls()
    for attribute in ("__name__", "__module__"):  # interned, so immortal on 3.12+: a mortal copy shows a lost count
        text = getattr(function, attribute)
        monkeypatch.setattr(function, attribute, text[:1] + text[1:])
    bound = function.__get__(instance, cls)
    reads = {f"{form}.{attribute}": functools.partial(getattr, target, attribute)
             for form, target in (("function", function), ("bound", bound)) for attribute in ATTRIBUTES}
    reads |= {"repr": functools.partial(repr, function), "bound repr": functools.partial(repr, bound),
              "__reduce__()": function.__reduce__, "__get__(None)": functools.partial(function.__get__, None, cls),
              "__get__(instance)": functools.partial(function.__get__, instance, cls)}
    # What the values are, or hold, or are made of: the counts that a missing or extra reference moves.
    annotations, defaults = function.__annotations__, function.__defaults__ or ()
    held = [function, instance, cls, bound, vars(sablewick_asr), vars(builtins), function.__dict__, annotations,
            *annotations.values(), defaults, *defaults, function.__name__, function.__qualname__, function.__doc__,
            function.__module__]
    changed = []
    gc.collect()  # no collection while counting: garbage of earlier tests holds functions, which hold builtins
    gc.disable()
    try:
        for label, read in reads.items():
            watched = [read(), *held]
            counts = [sys.getrefcount(item) for item in watched]
            for _ in range(10):  # stops at the first change, before a lost count can free anything
                read()
                after = [sys.getrefcount(item) for item in watched]
                if after != counts:
                    KEPT.append(watched * 100)  # more than the reads can lose, so the test fails instead of crashing
                    changed += [f"{label}: {watched[i]!r:.50} {counts[i]} -> {after[i]}"
                                for i in range(len(watched)) if after[i] != counts[i]]
                    break
    finally:
        gc.enable()
    assert not changed, "\n".join(changed)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_a_bound_method_of_a_picklable_recogniser_pickles(recorder, protocol):
    recogniser = S(language="en")
    recogniser._transcriber = None  # the engine's transcriber is not picklable
    twin = pickle.loads(pickle.dumps(recogniser.transcribe, protocol))
    assert twin.__func__ is S.transcribe and vars(twin.__self__) == vars(recogniser)


def test_weak_method_in_a_callback_registry(recorder):
    recogniser = S()
    recogniser._streaming_started = True
    callback = weakref.WeakMethod(recogniser.reset)
    assert callback()() is None and recogniser._streaming_started is False
    del recogniser
    gc.collect()
    assert callback() is None


def test_singledispatchmethod_registers_a_method_by_its_annotation(recorder):
    class Host(S):
        @functools.singledispatchmethod
        def feed(self, audio):
            return "not an array"

        feed.register(S.transcribe)  # its first annotation, np.ndarray, is the type it is registered for

    assert Host().feed(AUDIO) == S().transcribe(AUDIO) != []
    assert Host().feed([0.0]) == "not an array"


def calls():
    """What a set of calls of every kind returns or raises on both classes."""
    outcomes = []
    for cls in (S, O):
        for call in (cls, lambda: cls().transcribe(AUDIO), lambda: cls().stream_generate(AUDIO, True),
                     lambda: cls().reset(), lambda: cls().load(), lambda: cls()._transcribe_internal(AUDIO),
                     lambda: cls().transcribe(), lambda: cls().transcribe(AUDIO, language=None),
                     lambda: cls(model=1), lambda: cls.transcribe(audio=AUDIO), lambda: cls().load(1)):
            try:
                result = call()
                outcomes.append(vars(result) if isinstance(result, cls) else result)
            except Exception as e:  # noqa: BLE001 - the errors are part of the record
                outcomes.append((type(e), str(e)))
    return outcomes


def test_rewritten_attributes_change_no_call(recorder, monkeypatch):
    before = calls(), recorder.lines()
    recorder.calls.clear()
    for cls, name in METHODS:
        function = vars(cls)[name]
        for attribute, value in {"__name__": "renamed", "__qualname__": "Other.renamed", "__module__": "other",
                                 "__doc__": None, "__annotations__": {"audio": "bytes"}, "flag": True}.items():
            monkeypatch.setattr(function, attribute, value, raising=False)
    assert (calls(), recorder.lines()) == before
    assert inspect.signature(S.transcribe).parameters["audio"].annotation == "bytes"
    assert repr(S.transcribe).startswith("<function Other.renamed at ")


DELETE = object()


@pytest.mark.parametrize("attribute, value", [
    ("__name__", 1), ("__name__", DELETE), ("__qualname__", None), ("__qualname__", DELETE),
    ("__annotations__", []), ("__annotations__", DELETE), ("__annotations__", None), ("__doc__", DELETE),
    ("__module__", DELETE), ("__module__", 1), ("__dict__", 1), ("__dict__", DELETE), ("__dict__", {}),
    ("__globals__", {}), ("__builtins__", {}), ("__closure__", None), ("__type_params__", None),
    ("__type_params__", [int]), ("__type_params__", DELETE), ("__type_params__", (int,)),
])
def test_bad_values_raise_what_a_function_raises(monkeypatch, attribute, value):
    def plain():
        pass

    def outcome(function):
        saved = getattr(function, attribute)
        try:
            delattr(function, attribute) if value is DELETE else setattr(function, attribute, value)
        except Exception as e:  # noqa: BLE001
            return type(e)
        else:
            return getattr(function, attribute)
        finally:
            setattr(function, attribute, saved) if attribute not in ("__globals__", "__builtins__", "__closure__") \
                else None

    assert outcome(S.transcribe) == outcome(plain)


@pytest.mark.parametrize("attribute", ["__defaults__", "__kwdefaults__"])
def test_what_binding_uses_is_read_only(attribute):
    with pytest.raises(AttributeError, match="not writable"):
        setattr(S.transcribe, attribute, getattr(S.transcribe, attribute))


def test_methods_die_with_their_references_and_attributes():
    # In a fresh interpreter: the specified values first, then each method, with an attribute and a weak
    # reference, taken out of its class.
    out = run_python("""
        import gc, weakref
        from models.sablewick_asr import SablewickStreamASR as S, SablewickOfflineASR as O
        dead, kind = [], type(S.reset)
        for cls in (S, O):
            for name in [name for name, value in vars(cls).items() if isinstance(value, kind)]:
                function = vars(cls)[name]
                assert (function.__name__, function.__qualname__, function.__module__, function.__dict__) == (
                    name, f"{cls.__name__}.{name}", "models.sablewick_asr", {})
                function.payload = [function]  # a cycle through its own dict
                reference = weakref.ref(function, lambda ref, name=name: dead.append(name))
                del function
                delattr(cls, name)
                gc.collect()
                assert reference() is None
        print(len(dead))
    """).stdout
    assert out.split() == ["14"]


def test_wrapping_rewrites_introspection_and_can_be_undone(monkeypatch):
    def wrapped(audio: bytes, language: str = "en") -> list:
        "What the wrapper reports."

    method = S.transcribe
    before = {name: getattr(method, name) for name in functools.WRAPPER_ASSIGNMENTS}
    signature = inspect.signature(method)
    assert functools.update_wrapper(method, wrapped) is method  # as far as a plain function gets: all of it
    try:
        assert {name: getattr(method, name) for name in functools.WRAPPER_ASSIGNMENTS} == {
            name: getattr(wrapped, name) for name in functools.WRAPPER_ASSIGNMENTS}
        assert method.__wrapped__ is wrapped
        assigned = inspect.Signature([inspect.Parameter(name, inspect.Parameter.POSITIONAL_ONLY)
                                      for name in ("self", "samples")])
        method.__signature__ = assigned  # as frameworks set it on a function: reported as it stands
        assert inspect.signature(method) is assigned
        assert str(inspect.signature(S().transcribe)) == "(samples, /)"
        del method.__signature__
        assert str(inspect.signature(method)) == "(self, audio: bytes, language: str = 'zh') -> list"
    finally:
        for name, value in before.items():
            setattr(method, name, value)
        del method.__wrapped__
    assert inspect.signature(method) == signature and method.__dict__ == {}
    assert method(S(), AUDIO) == S().transcribe(AUDIO)  # calls never saw any of it


def test_a_method_the_collector_cleared_raises_like_a_cleared_function():
    # The situation CPython's own tests build for gh-91636: a method, out of its class, in a cycle whose
    # finaliser hands it back after the collector has cleared it (through a weak reference it makes). A plain
    # function in the same state is the reference; a crash shows as a signal.
    process = run_python("""
        import gc, inspect, json, pickle, weakref
        import numpy as np
        from models.sablewick_asr import SablewickStreamASR as S, SablewickOfflineASR as O

        def cleared(function, detach):
            revived, keep = [], []
            class Late:
                def __del__(self):
                    revived.append(self.ref())
            class Cycle(tuple):  # no tp_clear of its own: the collector clears the function
                def __del__(self):
                    self[1].ref = weakref.ref(self[0])
                    keep.clear()  # now only the cycle holds Late, which the function's clearing frees
            keep.append(Late())
            function.__module__ = Cycle((function, keep[0]))
            detach()
            del function
            gc.collect()
            return revived[0]

        def outcomes(function, *args):
            if function is None:  # the finaliser's weak reference was dead when it ran
                return "never handed back"
            found = []
            for attempt in (lambda: function(*args), lambda: inspect.signature(function), lambda: repr(function),
                            lambda: pickle.dumps(function), lambda: function.__name__):
                try:
                    attempt()
                    found.append(None)
                except Exception as e:
                    found.append(type(e).__name__)
            return found

        def plain():
            def transcribe(self, audio, language="zh"):
                pass
            return transcribe
        reference = outcomes(cleared(plain(), lambda: None), S(), np.zeros(4, np.float32))
        results, kind = {}, type(S.reset)
        for cls, instance in ((S, S()), (O, O())):
            for name in [name for name, value in vars(cls).items() if isinstance(value, kind)]:
                method = cleared(vars(cls)[name], lambda: delattr(cls, name))
                results[f"{cls.__name__}.{name}"] = outcomes(method, instance, np.zeros(4, np.float32))
        print(json.dumps([reference, results]))
    """)
    reference, results = json.loads(process.stdout)
    if sys.version_info >= (3, 14):
        # 3.14 clears the weak references to unreachable objects before their finalisers run, and those that a
        # finaliser makes to them: the finaliser gets None, and nothing reaches the cleared function again.
        assert reference == "never handed back"
    else:
        assert reference == ["TypeError", None, None, "PicklingError", None]
    # Called with the instance and audio: whatever the method takes, its defaults are gone, or it was cleared.
    assert results == dict.fromkeys(results, reference) and len(results) == 14
