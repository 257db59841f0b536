"""Model loading: the per-class transcriber cache, its lock, and the log lines around an engine load."""

import sys
import threading
import time
import types

import pytest
from hypothesis import given, settings, strategies as st

import sablewick_voice
from conftest import sablewick_asr

Stream, Offline = sablewick_asr.SablewickStreamASR, sablewick_asr.SablewickOfflineASR
CLASSES = pytest.mark.parametrize("cls", [Stream, Offline], ids=["stream", "offline"])
PREFIXES = {Stream: ("Loading Sablewick model: ", "Sablewick model loaded: "),
            Offline: ("Loading Sablewick offline model: ", "Sablewick offline model loaded: ")}


def unloaded(monkeypatch, cls, count=None, **kwargs):
    """Instances built while the engine looked absent, so that they hold no transcriber yet."""
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", False)
    instances = [cls(**kwargs) for _ in range(count or 1)]
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", True)
    return instances if count else instances[0]


def load_record(cls, model, language="zh"):
    """What one load through the stand-in engine leaves in the record."""
    loading, loaded = PREFIXES[cls]
    return [("logger.info", (loading + model,), {}),
            ("engine.get_model_for_language", (language,), {}),
            ("engine.Transcriber", (), {"model_path": f"sablewick_voice/models/{language}",
                                        "model_arch": "sablewick-ctc"}),
            ("logger.info", (loaded + model,), {})]


@CLASSES
@pytest.mark.parametrize("device, language", [("cpu", "zh"), ("cuda:1", "en")])
def test_first_load_creates_caches_and_binds(recorder, model_name, cls, device, language):
    instance = cls(model=model_name, device=device, language=language)
    assert recorder.calls == load_record(cls, model_name, language)
    transcriber = cls._model_cache[f"{model_name}_{device}_{language}"]
    assert isinstance(transcriber, sablewick_voice.Transcriber)
    assert instance._transcriber is transcriber and instance._is_loaded is True


@CLASSES
def test_equal_keys_share_one_transcriber(recorder, model_name, cls):
    first, second = cls(model=model_name), cls(model=model_name)
    assert recorder.calls == load_record(cls, model_name)
    assert second._transcriber is first._transcriber


def test_the_two_classes_never_share(recorder, model_name):
    stream, offline = Stream(model=model_name), Offline(model=model_name)
    assert recorder.calls == load_record(Stream, model_name) + load_record(Offline, model_name)
    assert stream._transcriber is not offline._transcriber
    assert Stream._model_cache is not Offline._model_cache and Stream._cache_lock is not Offline._cache_lock


@CLASSES
def test_model_names_get_entries_of_their_own(recorder, model_name, cls):
    first, second = cls(model=model_name + "-a"), cls(model=model_name + "-b")
    asked = [call for call in recorder.calls if call[0] == "engine.get_model_for_language"]
    assert asked == [("engine.get_model_for_language", ("zh",), {})] * 2
    assert first._transcriber is not second._transcriber
    assert {f"{model_name}-a_cpu_zh", f"{model_name}-b_cpu_zh"} <= cls._model_cache.keys()


class Formatted:
    """Formats differently from its str(), which tells format() apart from str()."""

    def __format__(self, spec):
        return f"fmt{spec}"

    def __str__(self):
        return "str"


@CLASSES
@pytest.mark.parametrize("model, key, shown", [(None, "None_cpu_zh", "None"), (Formatted(), "fmt_cpu_zh", "fmt"),
                                               ("a_b", "a_b_cpu_zh", "a_b")])
def test_key_and_log_text_format_the_attributes(recorder, monkeypatch, cls, model, key, shown):
    monkeypatch.setattr(cls, "_model_cache", {})  # reached through the instance, so this one is used
    instance = unloaded(monkeypatch, cls)
    instance.model = model
    instance._load_model()
    assert list(cls._model_cache) == [key]
    assert recorder.lines() == [PREFIXES[cls][0] + shown, PREFIXES[cls][1] + shown]


@settings(max_examples=40, deadline=None)
@given(st.text(max_size=6), st.text(max_size=6), st.text(max_size=6))
def test_key_joins_model_device_language_without_escaping(model, device, language):
    asked = []
    saved = Stream._model_cache, sablewick_asr.get_model_for_language
    Stream._model_cache = {}
    sablewick_asr.get_model_for_language = lambda lang: asked.append(lang) or ("path", "arch")
    try:
        Stream(model, device, language)
        assert list(Stream._model_cache) == [f"{model}_{device}_{language}"]
        assert asked == [language]
    finally:
        Stream._model_cache, sablewick_asr.get_model_for_language = saved


@CLASSES
@pytest.mark.parametrize("pair", [("path", "arch"), ["path", "arch"], "generator"])
def test_pair_reaches_the_transcriber_by_keyword_untouched(recorder, monkeypatch, model_name, cls, pair):
    path, arch = object(), object()
    made = []
    values = (x for x in (path, arch)) if pair == "generator" else type(pair)((path, arch))
    monkeypatch.setattr(sablewick_asr, "get_model_for_language", lambda *a, **k: made.append((a, k)) or values)
    monkeypatch.setattr(sablewick_asr, "Transcriber", lambda *a, **k: made.append((a, k)) or "made")
    instance = cls(model=model_name, language="fr")
    assert made == [(("fr",), {}), ((), {"model_path": path, "model_arch": arch})]
    assert list(made[1][1]) == ["model_path", "model_arch"]
    assert instance._transcriber == "made"


@CLASSES
@pytest.mark.parametrize("bound", ["loaded", 0, ""])
def test_load_on_a_bound_instance_is_silent(recorder, model_name, cls, bound):
    instance = cls(model=model_name)
    if bound != "loaded":
        instance._transcriber = bound  # falsy but not None: still counts as bound
    recorder.calls.clear()
    assert instance.load() is None
    assert recorder.calls == []
    assert bound == "loaded" or instance._transcriber == bound


@CLASSES
def test_load_binds_a_cached_transcriber_without_the_engine(recorder, monkeypatch, model_name, cls):
    cached = cls(model=model_name)._transcriber
    instance = unloaded(monkeypatch, cls, model=model_name)
    recorder.calls.clear()
    instance.load()
    assert recorder.calls == []
    assert instance._transcriber is cached and instance._is_loaded is True


@CLASSES
def test_load_goes_through_the_instance(recorder, cls):
    seen = []

    class Custom(cls):
        def _load_model(self):
            seen.append(self)

    instance = Custom()
    instance.load()
    instance._transcriber = object()
    instance.load()
    assert seen == [instance, instance]


@CLASSES
@pytest.mark.parametrize("method", ["load", "_load_model"])
@pytest.mark.parametrize("bound", [None, "transcriber"])
def test_missing_engine_raises_import_error(recorder, monkeypatch, model_name, cls, method, bound):
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", False)
    instance = cls(model=model_name)
    instance._transcriber = bound
    with pytest.raises(ImportError) as info:
        getattr(instance, method)()
    assert type(info.value) is ImportError and info.value.args == ("sablewick-voice not installed",)
    assert recorder.calls == [] and instance._transcriber == bound and "_is_loaded" not in vars(instance)
    assert f"{model_name}_cpu_zh" not in cls._model_cache


@CLASSES
@pytest.mark.parametrize("entry", ["get_model_for_language", "Transcriber"])
def test_engine_failure_is_not_remembered(recorder, monkeypatch, model_name, cls, entry):
    instance = unloaded(monkeypatch, cls, model=model_name)
    error = OSError("model file unreadable")
    recorder.engine.fail(entry, error, times=1)
    with pytest.raises(OSError) as info:
        instance.load()
    assert info.value is error
    assert recorder.lines() == [PREFIXES[cls][0] + model_name]
    assert f"{model_name}_cpu_zh" not in cls._model_cache
    assert instance._transcriber is None and "_is_loaded" not in vars(instance)
    recorder.calls.clear()
    instance.load()  # the lock was released and the failure not remembered
    assert recorder.calls == load_record(cls, model_name)
    assert instance._transcriber is cls._model_cache[f"{model_name}_cpu_zh"]


@CLASSES
@pytest.mark.parametrize("make, message", [
    (lambda: ("path", "arch", "extra"), "too many values to unpack (expected 2)"),
    (lambda: iter(["path", "arch", "extra"]), "too many values to unpack (expected 2)"),
    (lambda: ["path"], "need more than 1 value to unpack"),
    (lambda: (x for x in ["path"]), "need more than 1 value to unpack"),
    (lambda: (), "need more than 0 values to unpack"),
    (lambda: iter(()), "need more than 0 values to unpack"),
], ids=["tuple3", "iter3", "list1", "gen1", "tuple0", "iter0"])
def test_engine_result_must_unpack_into_two(recorder, monkeypatch, model_name, cls, make, message):
    instance = unloaded(monkeypatch, cls, model=model_name)
    recorder.engine.model_pair = make()
    with pytest.raises(ValueError) as info:
        instance.load()
    assert info.value.args == (message,)
    assert "engine.Transcriber" not in recorder.names()
    assert recorder.lines() == [PREFIXES[cls][0] + model_name]
    assert f"{model_name}_cpu_zh" not in cls._model_cache and not cls._cache_lock.locked()
    assert instance._transcriber is None


class RecordingLock:
    """Stands in for a class lock: writes the with-protocol into the shared record."""

    def __init__(self, recorder, swallow=False):
        self.recorder, self.swallow = recorder, swallow

    def __enter__(self):
        self.recorder.calls.append(("lock.enter", (), {}))
        return "ignored"

    def __exit__(self, *exc_info):
        self.recorder.calls.append(("lock.exit", exc_info, {}))
        return self.swallow


@CLASSES
def test_lock_spans_membership_test_load_and_store(recorder, monkeypatch, model_name, cls):
    monkeypatch.setattr(cls, "_cache_lock", RecordingLock(recorder))
    cls(model=model_name)
    assert recorder.names() == ["lock.enter", "logger.info", "engine.get_model_for_language",
                                "engine.Transcriber", "logger.info", "lock.exit"]
    assert recorder.calls[-1][1] == (None, None, None)
    recorder.calls.clear()
    cls(model=model_name)
    assert recorder.calls == [("lock.enter", (), {}), ("lock.exit", (None, None, None), {})]


@CLASSES
@pytest.mark.parametrize("swallow", [False, True])
def test_lock_exit_receives_the_failure(recorder, monkeypatch, model_name, cls, swallow):
    monkeypatch.setattr(cls, "_cache_lock", RecordingLock(recorder, swallow))
    instance = unloaded(monkeypatch, cls, model=model_name)
    error = OSError("no model")
    recorder.engine.fail("Transcriber", error)
    # A swallowed failure leaves no entry behind, so reading it back fails.
    with pytest.raises(KeyError if swallow else OSError) as info:
        instance.load()
    assert info.value.args == ((f"{model_name}_cpu_zh",) if swallow else error.args)
    name, (exc_type, exc_value, traceback), _ = recorder.calls[-1]
    assert name == "lock.exit" and exc_type is OSError and exc_value is error
    assert isinstance(traceback, types.TracebackType)
    assert instance._transcriber is None


@CLASSES
def test_failing_loaded_line_leaves_the_transcriber_cached_but_unbound(recorder, monkeypatch, model_name, cls):
    instance = unloaded(monkeypatch, cls, model=model_name)
    error = RuntimeError("log sink gone")

    def info(message):
        recorder.calls.append(("logger.info", (message,), {}))
        if message.startswith(PREFIXES[cls][1]):
            raise error

    monkeypatch.setattr(recorder.logger, "info", info)
    with pytest.raises(RuntimeError) as raised:
        instance.load()
    assert raised.value is error
    cached = cls._model_cache[f"{model_name}_cpu_zh"]
    assert instance._transcriber is None and "_is_loaded" not in vars(instance)
    assert not cls._cache_lock.locked()
    recorder.calls.clear()
    instance.load()
    assert recorder.calls == []
    assert instance._transcriber is cached and instance._is_loaded is True


@CLASSES
def test_concurrent_first_loads_create_one_transcriber(recorder, monkeypatch, model_name, cls):
    created = []

    class SlowTranscriber:
        def __init__(self, model_path, model_arch):
            time.sleep(0.005)  # a slow load, so that the other threads arrive while it runs
            created.append(self)

    monkeypatch.setattr(sablewick_asr, "Transcriber", SlowTranscriber)
    instances = unloaded(monkeypatch, cls, count=16, model=model_name)
    barrier = threading.Barrier(len(instances))
    errors = []

    def first_load(instance):
        barrier.wait()
        try:
            instance.load()
        except BaseException as exc:  # reported below, a thread cannot fail the test itself
            errors.append(exc)

    threads = [threading.Thread(target=first_load, args=(instance,)) for instance in instances]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == [] and len(created) == 1
    assert recorder.lines() == [PREFIXES[cls][0] + model_name, PREFIXES[cls][1] + model_name]
    assert all(instance._transcriber is created[0] for instance in instances)
