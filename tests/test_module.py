# SPDX-License-Identifier: MIT
"""Module initialisation, the module namespace and the two class objects with their method tables."""

import abc
import enum
import importlib.util
import json
import sys
import textwrap
import threading

import pytest

from conftest import ROOT, needs_testcapi, run_python, sablewick_asr
from models.base_asr import BaseASR

MODULE = "models.sablewick_asr"
NOT_INSTALLED = "sablewick-voice not installed. Install with: pip install sablewick-voice"
PRIVATE = ("_Transcriber", "_get_model_for_language", "_TranscriptEventListener")
CLASSES = {"SablewickStreamASR": ("Sablewick streaming ASR model.", ["__init__", "_load_model", "load",
                                  "_transcribe_internal", "stream_generate", "transcribe", "reset"]),
           "SablewickOfflineASR": ("Sablewick offline ASR model.", ["__init__", "_load_model", "load",
                                   "_transcribe_internal", "transcribe", "stream_generate", "reset"])}
HEAD = ["__module__", "__doc__", "__annotations__", "_model_cache", "_cache_lock"]

# The child interpreter's host logger records every call so that the test can read them back.
RECORDING_LOGGER = """
class _Logger:
    calls = []
    def __getattr__(self, level):
        return lambda message: self.calls.append([level, message])
logger = _Logger()
"""
# attempt() gives (module, None) or (None, [type, message, traceback names the init entry, still registered]).
PRELUDE = f"""
import gc, importlib, json, sys, traceback
from zel_asr_log import logger
def attempt():
    try:
        return importlib.import_module({MODULE!r}), None
    except BaseException as exc:
        entries = [entry.name for entry in traceback.extract_tb(exc.__traceback__)]
        return None, [type(exc).__name__, str(exc), "init {MODULE}" in entries, {MODULE!r} in sys.modules]
"""
HIDE_ENGINE = f"sys.path.remove({str(ROOT / 'engine')!r})\n"


def probe(tmp_path, code, files=None, setup=""):
    """Runs `code`, which sets `result`, in a fresh interpreter with `files` shadowing the stand-ins."""
    for name, source in {"zel_asr_log.py": RECORDING_LOGGER, **(files or {})}.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(textwrap.dedent(source), encoding="utf-8")  # Python reads source as UTF-8
    script = PRELUDE + setup + textwrap.dedent(code) + "\nprint('RESULT ' + json.dumps(result))\n"
    return json.loads(run_python(script, paths=[tmp_path]).stdout.rsplit("RESULT ", 1)[1])


def test_namespace_of_a_successful_import(tmp_path):
    result = probe(tmp_path, """
        import builtins, numpy, threading, time, typing, warnings, zel_asr_config, utils.audio, models.base_asr
        import sablewick_voice
        with warnings.catch_warnings(record=True) as caught:  # the build's own interpreter: no version warning
            warnings.simplefilter("always")
            m, error = attempt()
        ns = vars(m)
        expected = {"__builtins__": builtins, "np": numpy, "threading": threading, "time": time, "logger": logger,
                    "BaseASR": models.base_asr.BaseASR, "normalize_audio": utils.audio.normalize_audio,
                    "ModelType": zel_asr_config.ModelType, "SABLEWICK_AVAILABLE": True}
        expected.update({name: getattr(typing, name) for name in ("Dict", "List", "Any", "Optional")})
        for name in ("Transcriber", "get_model_for_language", "TranscriptEventListener"):
            expected[name] = expected["_" + name] = getattr(sablewick_voice, name)
        result = {"order": list(ns), "identical": {k: ns.get(k) is v for k, v in expected.items()},
                  "attrs": [m.__name__, m.__doc__, m.__package__, m.__file__ == m.__spec__.origin,
                            m.__loader__ is m.__spec__.loader, m.__test__, type(m.__test__) is dict, logger.calls,
                            [str(w.message) for w in caught]]}
    """)
    # A new module's own attributes, then __file__, then what the body binds in the order it runs.
    assert result["order"] == ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
                               "__builtins__", "np", "Dict", "List", "Any", "Optional", "threading", "time", "logger",
                               "BaseASR", "normalize_audio", "ModelType", "SABLEWICK_AVAILABLE",
                               "get_model_for_language", "Transcriber", "TranscriptEventListener", *PRIVATE, *CLASSES,
                               "__test__"]
    assert result["identical"] == dict.fromkeys(result["identical"], True) and len(result["identical"]) == 19
    assert result["attrs"] == [MODULE, "Sablewick ASR implementation.", "models", True, True, {}, True, [], []]


@pytest.mark.parametrize("engine, bound", [
    (None, ()),
    ("raise ImportError('libsablewick.so not found')\n", ()),
    ("class Transcriber: pass\ndef get_model_for_language(language): pass\n", PRIVATE[:2]),
    ("class Transcriber: pass\nclass TranscriptEventListener: pass\n", PRIVATE[:1]),
], ids=["absent", "import-error", "without-listener", "without-model-function"])
def test_engine_missing_or_incomplete_is_logged_once(tmp_path, engine, bound):
    result = probe(tmp_path, f"""
        m, error = attempt()
        ns, engine = vars(m), sys.modules.get("sablewick_voice")
        result = [ns["SABLEWICK_AVAILABLE"], [ns[k[1:]] for k in {PRIVATE}], logger.calls,
                  {{k: ns[k] is getattr(engine, k[1:]) for k in ns if k in {PRIVATE}}}]
    """, engine and {"sablewick_voice/__init__.py": engine}, setup="" if engine else HIDE_ENGINE)
    assert result == [False, [None, None, None], [["warning", NOT_INSTALLED]], dict.fromkeys(bound, True)]


CONFIG = "from enum import Enum\nclass ModelType(Enum):\n    SABLEWICK = {}\n"
ALIAS = "class Alias:\n    def __mro_entries__(self, bases):\n        return {}\nBaseASR = Alias()\n"
IMPORT_FAILURES = {
    "engine-oserror": ({"sablewick_voice/__init__.py": "raise OSError('libsablewick.so: invalid ELF header')"},
                       "OSError", "libsablewick.so: invalid ELF header"),
    "config-without-modeltype": ({"zel_asr_config.py": "MODEL_TYPES = ()"}, "ImportError",
                                 "cannot import name 'ModelType'"),
    "default-an-int": ({"zel_asr_config.py": CONFIG.format(7)}, "TypeError", "Expected str, got int"),
    "default-a-str-subclass": ({"zel_asr_config.py": "class Name(str): pass\nclass ModelType:\n    class SABLEWICK:\n"
                                "        value = Name('sablewick')\n"}, "TypeError", "Expected str, got Name"),
    "warning-raises": ({"sablewick_voice/__init__.py": "raise ImportError('gone')", "zel_asr_log.py":
                        "logger = type('L', (), {'warning': lambda self, message: 1 / 0})()"}, "ZeroDivisionError",
                       "division by zero"),
    "mro-entries-not-tuple": ({"models/base_asr.py": "class Real: pass\n" + ALIAS.format("[Real]")}, "TypeError",
                              "__mro_entries__ must return a tuple"),
    "metaclass-conflict": ({"models/base_asr.py": "class A(metaclass=type('MA', (type,), {})): pass\nclass B(metaclass"
                            "=type('MB', (type,), {})): pass\n" + ALIAS.format("(A, B)")}, "TypeError",
                           "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass "
                           "of the metaclasses of all its bases"),
}


@pytest.mark.parametrize("files, kind, message", IMPORT_FAILURES.values(), ids=IMPORT_FAILURES.keys())
def test_failing_import_reports_the_error(tmp_path, files, kind, message):
    assert probe(tmp_path, "m, result = attempt()\n", files) == [kind, message, True, False]


def test_reimport_returns_the_same_module_without_running_the_body(tmp_path):
    result = probe(tmp_path, """
        m, error = attempt()
        classes, token = [m.SablewickStreamASR, m.SablewickOfflineASR], object()
        m.SablewickStreamASR._model_cache["key"] = token
        m.np = None  # a second run of the body would bind numpy again
        del sys.modules["models.sablewick_asr"]
        again, error = attempt()
        from models import sablewick_asr as imported
        result = [again is m, imported is m, importlib.reload(m) is m, sys.modules["models.sablewick_asr"] is m,
                  [again.SablewickStreamASR, again.SablewickOfflineASR] == classes,
                  again.SablewickStreamASR._model_cache == {"key": token}, again.np is None, logger.calls]
        def reimport(times):
            for _ in range(times):
                del sys.modules["models.sablewick_asr"]
                importlib.import_module("models.sablewick_asr")
            gc.collect()
        reimport(50)
        blocks = [sys.getallocatedblocks()]
        for _ in range(3):  # each would leave a block behind if an import lost the module's state
            reimport(400)
            blocks.append(sys.getallocatedblocks())
        # The interpreter's own caches move a batch by up to about a hundred blocks now and then, not every time.
        result.append(min(b - a for a, b in zip(blocks, blocks[1:])) < 200)
    """, setup=HIDE_ENGINE)
    assert result == [True] * 7 + [[["warning", NOT_INSTALLED]], True]


def test_failed_body_runs_afresh_on_the_next_import(tmp_path):
    config = "import sys\nsys.attempts = getattr(sys, 'attempts', 0) + 1\nif sys.attempts == 1:\n" \
             "    raise RuntimeError('configuration not ready')\n" + CONFIG.format("'sablewick'")
    result = probe(tmp_path, """
        failed, first = attempt()
        m, error = attempt()
        result = [first, error, sys.attempts, m.SABLEWICK_AVAILABLE, m.SablewickOfflineASR.__init__.__defaults__[0],
                  m.__test__, [m.SablewickStreamASR.__name__, m.SablewickOfflineASR.__name__]]
    """, {"zel_asr_config.py": config})
    assert result == [["RuntimeError", "configuration not ready", True, False], None, 2, True, "sablewick", {},
                      list(CLASSES)]


# Two ways into a second interpreter of the legacy configuration (the GIL shared, extension modules let in), where
# the module's own check refuses the import (an isolated interpreter refuses it first: the module does not declare
# support for several interpreters): _testcapi's, and the interpreters module built into CPython, on Windows into
# python3XX.dll, so that the embeddable CPython, without _testcapi, has it: _interpreters from 3.13 on,
# _xxsubinterpreters on 3.12.
INTERPRETERS = "_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters"
RUN_IN_SUBINTERPRETER = {
    "_testcapi": "import _testcapi\nstatus = _testcapi.run_in_subinterp(child)\n",
    INTERPRETERS: textwrap.dedent(f"""\
        import {INTERPRETERS} as interpreters
        if sys.version_info >= (3, 13):
            interpreter = interpreters.create("legacy")
            failure = interpreters.exec(interpreter, child)
        else:
            interpreter = interpreters.create(isolated=False)
            failure = interpreters.run_string(interpreter, child)
        interpreters.destroy(interpreter)
        status = 0 if failure is None else repr(failure)
    """),
}


@pytest.mark.parametrize("way", [pytest.param("_testcapi", marks=needs_testcapi),
                                 pytest.param(INTERPRETERS, marks=pytest.mark.skipif(
                                     importlib.util.find_spec(INTERPRETERS) is None,
                                     reason=f"no {INTERPRETERS} in this CPython"))])
def test_second_interpreter_cannot_import(tmp_path, way):
    report = str(tmp_path / "report.txt")
    child = (f"try:\n    import models.sablewick_asr\n    outcome = 'imported'\nexcept BaseException as exc:\n"
             f"    outcome = type(exc).__name__ + ': ' + str(exc)\nopen({report!r}, 'w').write(outcome)\n")
    result = probe(tmp_path, f"m, error = attempt()\nchild = {child!r}\n" + RUN_IN_SUBINTERPRETER[way] +
                   f"result = [status, open({report!r}).read(), sys.modules['models.sablewick_asr'] is m]\n")
    assert result == [0, "ImportError: Interpreter change detected - this module can only be loaded into one "
                         "interpreter per process.", True]


@pytest.mark.parametrize("name", CLASSES)
def test_class_object(name):
    doc, methods = CLASSES[name]
    cls, other = (vars(getattr(sablewick_asr, each)) for each in sorted(CLASSES, key=lambda each: each != name))
    assert list(cls)[:12] == HEAD + methods  # type() consumes __qualname__ from the namespace
    assert [cls["__module__"], cls["__doc__"]] == [MODULE, doc]
    assert type(cls["__annotations__"]) is dict and cls["__annotations__"] == {"_model_cache": "Dict[str, Any]"}
    assert type(cls["_model_cache"]) is dict and type(cls["_cache_lock"]) is type(threading.Lock())
    assert cls["_model_cache"] is not other["_model_cache"] and cls["_cache_lock"] is not other["_cache_lock"]
    cls = getattr(sablewick_asr, name)
    assert (cls.__name__, cls.__qualname__, cls.__bases__, type(cls)) == (name, name, (BaseASR,), abc.ABCMeta)


def test_class_creation_goes_through_the_metaclass(tmp_path):
    base = """
        import abc
        class Meta(abc.ABCMeta):
            prepared, created = {}, {}
            @classmethod
            def __prepare__(mcls, name, bases, **kwargs):
                mcls.prepared[name] = (bases, type("Namespace", (dict,), {})())
                return mcls.prepared[name][1]
            def __new__(mcls, name, bases, namespace, **kwargs):
                cache, (prepared_bases, prepared) = namespace.get("_model_cache"), mcls.prepared[name]
                mcls.created[name] = [bases == prepared_bases, namespace is prepared, list(namespace),
                                      [namespace.get(k) for k in ("__module__", "__qualname__", "__doc__")],
                                      type(cache) is dict and not cache]
                return super().__new__(mcls, name, bases, dict(namespace))
        class BaseASR(metaclass=Meta):
            def __init__(self, model, revision, device, model_type):
                self.model, self.device = model, device
    """
    result = probe(tmp_path, """
        from models.base_asr import BaseASR, Meta
        m, error = attempt()
        result = {name: Meta.created[name] + [type(getattr(m, name)) is Meta, Meta.prepared[name][0] == (BaseASR,)]
                  for name in ("SablewickStreamASR", "SablewickOfflineASR")}
        stream = m.SablewickStreamASR
        m.SablewickStreamASR = None  # super() must still find the class object itself
        result["constructed"] = stream(model="sablewick/tiny").model
    """, {"models/base_asr.py": base})
    assert result == {"constructed": "sablewick/tiny", **{
        name: [True, True, ["__module__", "__qualname__", *HEAD[1:], *methods], [MODULE, name, doc], True, True, True]
        for name, (doc, methods) in CLASSES.items()}}


def test_pep560_base_is_resolved_and_recorded(tmp_path):
    base = "class Real: pass\n" + ALIAS.replace("return", "Alias.seen = bases\n        return").format("(Real,)")
    result = probe(tmp_path, """
        from models.base_asr import Alias, BaseASR, Real
        m, error = attempt()
        cls = getattr(m, "SablewickOfflineASR", None)
        result = error or [cls.__bases__ == (Real,), type(cls) is type, Alias.seen == (BaseASR,),
                           Alias.seen[0] is BaseASR, vars(cls)["__orig_bases__"] == (BaseASR,),
                           vars(cls)["__orig_bases__"][0] is BaseASR, list(vars(cls))[:4]]
    """, {"models/base_asr.py": base})
    assert result == [True] * 6 + [["__module__", "__doc__", "__orig_bases__", "__annotations__"]]


A, R, S, NONE = "np.ndarray", "List[Dict[str, Any]]", "str", {}
STREAM, OFFLINE = "SablewickStreamASR", "SablewickOfflineASR"
GENERATE = ({"audio": A, "is_final": "bool", "language": S, "return": R}, "(self, audio: np.ndarray, bool is_final: "
            "bool = False, str language: str = 'zh') -> List[Dict[str, Any]]\n\n")
TRANSCRIBE = ({"audio": A, "language": S, "return": R}, "(self, audio: np.ndarray, str language: str = 'zh') -> "
              "List[Dict[str, Any]]\n\nTranscribe audio (offline mode).\n\nArgs:\n    audio: Audio data\n"
              "    sample_rate: Sample rate of audio (default 16kHz)\n")
# Docstrings start with the method's qualified name, which the test puts in front of the text given here.
METHODS = [
    (STREAM, "__init__", ("sablewick/base", "cpu", "zh", 0.3, 16000),
     {"model": S, "device": S, "language": S, "update_interval": "float", "sample_rate": "int"},
     "(self, str model: str = 'sablewick/base', str device: str = 'cpu', str language: str = 'zh', double "
     "update_interval: float = 0.3, int sample_rate: int = 16000)\n\nInitialize Sablewick streaming ASR.\n\nArgs:\n"
     "    model: Model name (sablewick/tiny or sablewick/base)\n    device: Device to use\n    language: Language "
     "code (en, zh, etc.)\n    update_interval: Stream update interval in seconds"),
    (STREAM, "_load_model", None, NONE, "(self)\n\nLoad Sablewick model."),
    (STREAM, "load", None, NONE, "(self)\n\nLoad the model."),
    (STREAM, "_transcribe_internal", ("zh",), {"audio": A, "language": S, "return": S},
     "(self, audio: np.ndarray, str language: str = 'zh') -> str\n\nInternal transcription logic."),
    (STREAM, "stream_generate", (False, "zh"), GENERATE[0], GENERATE[1] + "Generate transcription for streaming "
     "audio.\n\nArgs:\n    audio: Audio chunk (float32, normalized to [-1, 1])\n    is_final: Whether this is the "
     "final chunk\n    language: Language code for ASR\n    \nReturns:\n    List of transcription results"),
    (STREAM, "transcribe", ("zh",), TRANSCRIBE[0],
     TRANSCRIBE[1] + "    language: Language code for ASR\n    \nReturns:\n    Transcribed text"),
    (STREAM, "reset", None, NONE, "(self)\n\nReset model state."),
    (OFFLINE, "__init__", ("sablewick", "sablewick/base", "cpu", "zh", 16000),
     {"model_type": S, "model": S, "device": S, "language": S, "sample_rate": "int"},
     "(self, str model_type: str = ModelType.SABLEWICK.value, str model: str = 'sablewick/base', str device: str = "
     "'cpu', str language: str = 'zh', int sample_rate: int = 16000)\n\nInitialize Sablewick offline ASR."),
    (OFFLINE, "_load_model", None, NONE, "(self)\n\nLoad Sablewick model."),
    (OFFLINE, "load", None, NONE, "(self)\n\nLoad the model."),
    (OFFLINE, "_transcribe_internal", None, {"audio": A, "return": S},
     "(self, audio: np.ndarray) -> str\n\nInternal transcription logic."),
    (OFFLINE, "transcribe", ("zh",), TRANSCRIBE[0], TRANSCRIBE[1] + "    \nReturns:\n    Transcribed text"),
    (OFFLINE, "stream_generate", (False, "zh"), GENERATE[0], GENERATE[1] + "Streaming transcription uses offline API "
     "for now."),
    (OFFLINE, "reset", None, NONE, "(self)\n\nReset (no-op for offline model)."),
]


@pytest.mark.parametrize("owner, name, defaults, annotations, doc", METHODS,
                         ids=[f"{owner[9:-3]}.{name}" for owner, name, *_ in METHODS])
def test_method_object(owner, name, defaults, annotations, doc):
    cls = getattr(sablewick_asr, owner)
    func = vars(cls)[name]
    assert (func.__name__, func.__qualname__, func.__module__) == (name, f"{owner}.{name}", MODULE)
    assert func.__kwdefaults__ is None and func.__defaults__ == defaults
    assert defaults is None or [type(value) for value in func.__defaults__] == [type(value) for value in defaults]
    assert type(func.__annotations__) is dict and list(func.__annotations__.items()) == list(annotations.items())
    assert getattr(cls, name) is func and func.__get__(None, cls) is func
    instance = cls.__new__(cls)  # the methods' own behaviour is not needed here
    assert getattr(instance, name).__self__ is instance and getattr(instance, name).__func__ is func
    assert func.__doc__ == f"{owner}.{name}{doc}"


def test_offline_default_model_type_is_fixed_at_class_creation(recorder, model_name, monkeypatch):
    monkeypatch.setattr(sablewick_asr, "ModelType", enum.Enum("ModelType", {"SABLEWICK": "rebound"}))
    assert sablewick_asr.SablewickOfflineASR.__init__.__defaults__[0] == "sablewick"
    assert sablewick_asr.SablewickOfflineASR(model=model_name).model_type == "sablewick"


def test_offline_default_model_type_none_rejects_construction_without_it(tmp_path):
    result = probe(tmp_path, """
        m, error = attempt()
        try:
            outcome = m.SablewickOfflineASR()
        except TypeError as exc:
            outcome = str(exc)
        result = [error, m.SablewickOfflineASR.__init__.__defaults__[0], outcome,
                  m.SablewickOfflineASR(model_type="sablewick", model="sablewick/tiny").model_type]
    """, {"zel_asr_config.py": CONFIG.format(None)})
    assert result == [None, None, "Argument 'model_type' has incorrect type (expected str, got NoneType)", "sablewick"]
