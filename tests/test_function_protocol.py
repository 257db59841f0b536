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
from test_help import python_twin

S, O = sablewick_asr.SablewickStreamASR, sablewick_asr.SablewickOfflineASR
NAMES = ["__init__", "_load_model", "load", "_transcribe_internal", "stream_generate", "transcribe", "reset"]
METHODS = [(cls, name) for cls in (S, O) for name in NAMES]
IDS = [f"{cls.__name__[9:-3]}.{name}" for cls, name in METHODS]
HINTS = {"str": str, "int": int, "float": float, "bool": bool, "np.ndarray": np.ndarray,
         "List[Dict[str, Any]]": typing.List[typing.Dict[str, typing.Any]]}
AUDIO = np.zeros(1600, np.float32)


@pytest.fixture(autouse=True)
def own_annotate():
    """From 3.14 on, setting __annotations__ replaces __annotate__ with None, as on a function, and putting the
    old dict back does not bring __annotate__ back: each test gets every method back with its own."""
    saved = [(vars(cls)[name], vars(cls)[name].__annotate__) for cls, name in METHODS if sys.version_info >= (3, 14)]
    yield
    for method, annotate in saved:
        method.__annotate__ = annotate


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
    hints = {key: HINTS[text] for key, text in function.__annotations__.items()}
    assert typing.get_type_hints(method) == hints
    evaluated = inspect.signature(function, eval_str=True)  # in __globals__, as for a function
    assert {name: p.annotation for name, p in evaluated.parameters.items() if p.annotation is not p.empty} | (
        {} if evaluated.return_annotation is evaluated.empty else {"return": evaluated.return_annotation}) == hints


KEPT = []  # references, for good, to what a count check saw fall: a value whose getter loses counts must not be freed
ATTRIBUTES = ["__name__", "__qualname__", "__module__", "__doc__", "__annotations__", "__defaults__", "__kwdefaults__",
              "__globals__", "__builtins__", "__closure__", "__type_params__", "__dict__", "__code__",
              *["__annotate__"] * (sys.version_info >= (3, 14))]


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
              "__get__(instance)": functools.partial(function.__get__, instance, cls),
              "signature": functools.partial(inspect.signature, function)}
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
    # In a fresh interpreter, each method taken out of its class, with the specified values first. Then every
    # attribute that takes a value gets one that refers back to the method: what the method reports of them, and
    # whatever else freeing it releases, the collector must see among its referents, and the cycles must go.
    out = run_python("""
        import gc, json, sys, weakref
        from models.sablewick_asr import SablewickStreamASR as S, SablewickOfflineASR as O
        kind, dead, found = type(S.reset), [], {}
        # The type's data descriptors, __dict__ first (what is assigned after it goes into the dict it is given),
        # and entries of that dict.
        names = sorted({name for klass in kind.__mro__ for name, value in vars(klass).items()
                        if hasattr(type(value), "__set__")} | {"__signature__", "payload"}, key="__dict__".__ne__)
        # Values of each kind an attribute may demand, holding the method and nothing that it might hold.
        Held = type("Held", (), {"__call__": lambda self, *args: {}})
        Text, Table, Row = (type(base.__name__, (base,), {}) for base in (str, dict, tuple))

        def cycles(cls, name):
            method = vars(cls)[name]
            assert (method.__name__, method.__qualname__, method.__module__, method.__dict__) == (
                name, f"{cls.__name__}.{name}", "models.sablewick_asr", {})
            delattr(cls, name)
            assigned = {}
            for attribute in names:
                for value in (Held(), Text(name), Table(), Row((method,))):
                    vars(value)["back"] = method
                    try:
                        setattr(method, attribute, value)
                    except (AttributeError, TypeError):
                        continue
                    assigned[attribute] = value
                    break
            reported = {attribute: getattr(method, attribute) for attribute in names if hasattr(method, attribute)}
            seen = gc.get_referents(method)
            seen = {id(item) for item in seen + [item for d in seen if d is method.__dict__ for item in gc.get_referents(d)]}
            record = {"assigned": sorted(assigned), "unseen": [a for a, value in reported.items()
                                                               if value is assigned.get(a, ()) and id(value) not in seen]}
            kept = {"class": cls} | {a: value for a, value in reported.items() if a not in assigned}
            return weakref.ref(method, lambda ref: dead.append(name)), record, kept, seen

        gc.disable()  # collections only where they are asked for
        for cls in (S, O):
            for name in [name for name, value in vars(cls).items() if isinstance(value, kind)]:
                gc.collect()
                reference, record, kept, seen = cycles(cls, name)
                before = list(map(sys.getrefcount, kept.values()))
                gc.collect()
                record["held"] = [a for a, was, now in zip(kept, before, map(sys.getrefcount, kept.values())) if now < was]
                record["unseen"] += [a for a in record["held"] if id(kept[a]) not in seen]
                found[f"{cls.__name__}.{name}"] = record | {"collected": reference() is None}
        print(json.dumps([len(dead), found]))
    """).stdout
    count, found = json.loads(out)
    for method, outcome in found.items():
        assert not outcome["unseen"] and outcome["collected"], (method, outcome)
        assert {"__name__", "__qualname__", "__module__", "__doc__", "__annotations__", "__type_params__", "__dict__",
                "__signature__", "payload"} <= set(outcome["assigned"]), (method, outcome)
        assert {"__class__", "__globals__"} <= set(outcome["held"]), (method, outcome)
        assert "class" in outcome["held"] or not method.endswith(".__init__"), (method, outcome)  # for super()
    assert count == len(found) == 14


def test_wrapping_rewrites_introspection_and_can_be_undone():
    def wrapped(audio: bytes, language: str = "en") -> list:
        "What the wrapper reports."

    def story(function):
        """What introspection reports of `function` while it is made a wrapper of `wrapped` and undone again."""
        before = {name: getattr(function, name) for name in functools.WRAPPER_ASSIGNMENTS}
        seen = [hasattr(function, "__signature__"), str(inspect.signature(function))]
        assert functools.update_wrapper(function, wrapped) is function
        try:
            seen += [{name: getattr(function, name) == getattr(wrapped, name) for name in functools.WRAPPER_ASSIGNMENTS},
                     function.__annotations__, str(inspect.signature(function))]
            assigned = inspect.Signature([inspect.Parameter(name, inspect.Parameter.POSITIONAL_ONLY)
                                          for name in ("self", "samples")])
            function.__signature__ = assigned  # as frameworks set it: reported as it stands
            seen += [inspect.signature(function) is assigned, str(inspect.signature(functools.partial(function, 1)))]
            del function.__signature__
            seen += [hasattr(function, "__signature__"), str(inspect.signature(function, follow_wrapped=False))]
            function.__annotations__ = {"audio": "bytes"}  # followed, as on a function
            seen.append(str(inspect.signature(function, follow_wrapped=False)))
        finally:
            for name, value in before.items():
                setattr(function, name, value)
            del function.__wrapped__
        return seen + [str(inspect.signature(function)), function.__dict__]

    method = S.transcribe
    twin = python_twin(S).transcribe
    assert story(method) == story(twin)
    assert story(method)[-2:] == [str(inspect.signature(twin)), {}]
    assert method(S(), AUDIO) == S().transcribe(AUDIO)  # calls never saw any of it


@pytest.mark.skipif(sys.version_info < (3, 14), reason="__annotate__ came with 3.14 (PEP 649)")
@pytest.mark.parametrize("cls, name", METHODS, ids=IDS)
def test_annotations_come_from_annotate_as_on_a_function(cls, name):
    import annotationlib

    def attempt(action):
        try:
            return action()
        except Exception as e:  # noqa: BLE001 - the errors are part of the record
            return type(e).__name__, str(e)

    def story(function):
        saved, formats = function.__annotate__, ("VALUE", "FORWARDREF", "STRING")
        seen = [saved is None, [annotationlib.get_annotations(function, format=getattr(annotationlib.Format, f))
                                for f in formats]]
        steps = [lambda: setattr(function, "__annotate__", lambda format: {"x": "int"}), lambda: function.__annotations__,
                 lambda: setattr(function, "__annotate__", None), lambda: function.__annotations__,
                 lambda: setattr(function, "__annotations__", {"y": "str"}), lambda: function.__annotate__,
                 lambda: delattr(function, "__annotations__"), lambda: function.__annotations__,
                 lambda: setattr(function, "__annotate__", lambda format: NotADict()), lambda: function.__annotations__,
                 lambda: delattr(function, "__annotate__"), lambda: setattr(function, "__annotate__", 1)]
        try:
            seen += [attempt(step) for step in steps]
        finally:
            function.__annotate__ = saved
        return seen + [function.__annotations__]

    class NotADict:  # named in the error by its qualified name on 3.15, its name on 3.14
        pass

    assert story(vars(cls)[name]) == story(vars(python_twin(cls))[name])


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
