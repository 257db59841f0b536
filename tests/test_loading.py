# SPDX-License-Identifier: MIT
"""Model loading: the per-class transcriber cache, its lock, and the log lines around an engine load."""

import sys
import threading
import time
import types

import pytest

from conftest import sablewick_asr

Stream, Offline = sablewick_asr.SablewickStreamASR, sablewick_asr.SablewickOfflineASR
CLASSES = pytest.mark.parametrize("cls", [Stream, Offline], ids=["stream", "offline"])
PREFIXES = {Stream: ("Loading Sablewick model: ", "Sablewick model loaded: "),
            Offline: ("Loading Sablewick offline model: ", "Sablewick offline model loaded: ")}


def unloaded(monkeypatch, cls, count=1, **kwargs):
    """Instances built while the engine looked absent, so that they hold no transcriber yet."""
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", False)
    instances = [cls(**kwargs) for _ in range(count)]
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", True)
    return instances if count > 1 else instances[0]


def load_record(cls, model, language="zh"):
    """What one load through the stand-in engine leaves in the record."""
    pair = {"model_path": f"sablewick_voice/models/{language}", "model_arch": "sablewick-ctc"}
    return [("logger.info", (PREFIXES[cls][0] + model,), {}), ("engine.get_model_for_language", (language,), {}),
            ("engine.Transcriber", (), pair), ("logger.info", (PREFIXES[cls][1] + model,), {})]


@pytest.mark.parametrize("device, language", [("cpu", "zh"), ("cuda:1", "en")])
def test_one_engine_load_per_class_and_key(recorder, model_name, device, language):
    other = model_name + "-b"
    made = [cls(model=model, device=device, language=language)
            for cls, model in [(Stream, model_name), (Stream, model_name), (Stream, other), (Offline, model_name),
                               (Offline, model_name)]]
    assert recorder.calls == (load_record(Stream, model_name, language) + load_record(Stream, other, language)
                              + load_record(Offline, model_name, language))
    assert made[0]._transcriber is made[1]._transcriber is Stream._model_cache[f"{model_name}_{device}_{language}"]
    assert made[3]._transcriber is made[4]._transcriber is Offline._model_cache[f"{model_name}_{device}_{language}"]
    assert len({id(instance._transcriber) for instance in made}) == 3 and made[1]._is_loaded is True
    assert Stream._model_cache is not Offline._model_cache and Stream._cache_lock is not Offline._cache_lock


@CLASSES
@pytest.mark.parametrize("field, other", [("model", "-b"), ("device", "cuda"), ("language", "en")])
def test_the_key_follows_one_value_while_the_other_two_stay_the_same_objects(recorder, model_name, cls, field,
                                                                            other):
    same = {"model": model_name, "device": "cpu", "language": "zh"}
    other = model_name + other if field == "model" else other
    made = []
    for value in (same[field], other, same[field]):  # and back again
        made.append(cls(**(values := same | {field: value})))
        key = "{model}_{device}_{language}".format(**values)
        assert made[-1]._transcriber is cls._model_cache.get(key), f"not filed under {key}"
    assert made[0]._transcriber is made[2]._transcriber is not made[1]._transcriber


@CLASSES
def test_key_and_log_text_format_a_none_model(recorder, monkeypatch, cls):
    monkeypatch.setattr(cls, "_model_cache", {})  # reached through the instance, so this one fills
    instance = unloaded(monkeypatch, cls)
    instance.model = None
    instance._load_model()
    assert list(cls._model_cache) == ["None_cpu_zh"]
    assert recorder.lines() == [PREFIXES[cls][0] + "None", PREFIXES[cls][1] + "None"]


@CLASSES
@pytest.mark.parametrize("kind", [tuple, list, "generator"])
def test_pair_reaches_the_transcriber_by_keyword_untouched(recorder, monkeypatch, model_name, cls, kind):
    path, arch, made = object(), object(), []
    pair = (x for x in (path, arch)) if kind == "generator" else kind((path, arch))
    monkeypatch.setattr(sablewick_asr, "get_model_for_language", lambda *a, **k: made.append((a, k)) or pair)
    monkeypatch.setattr(sablewick_asr, "Transcriber", lambda *a, **k: made.append((a, list(k.items()))) or "new")
    assert cls(model=model_name, language="fr")._transcriber == "new"
    assert made == [(("fr",), {}), ((), [("model_path", path), ("model_arch", arch)])]


@CLASSES
@pytest.mark.parametrize("rebind", [lambda t: t, lambda t: 0, lambda t: "", lambda t: None],
                         ids=["loaded", "zero", "empty", "cached-but-unbound"])
def test_load_calls_no_engine_when_bound_or_cached(recorder, model_name, cls, rebind):
    instance = cls(model=model_name)
    cached = instance._transcriber
    bound = instance._transcriber = rebind(cached)  # falsy but not None still counts as bound
    instance._is_loaded = False
    recorder.calls.clear()
    assert instance.load() is None and recorder.calls == []
    assert instance._transcriber is (cached if bound is None else bound) and instance._is_loaded is (bound is None)


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


def pair(items, lazy=False):
    """Makes the engine answer with `items`, or with a fresh iterator over them."""
    return lambda engine: setattr(engine, "model_pair", iter(items) if lazy else items)


@CLASSES
@pytest.mark.parametrize("provoke, expected, message", [
    (lambda engine: engine.fail("get_model_for_language", OSError("unreadable"), times=1), OSError, "unreadable"),
    (lambda engine: engine.fail("Transcriber", OSError("unreadable"), times=1), OSError, "unreadable"),
    (pair(("path", "arch", "extra")), ValueError, "too many values to unpack (expected 2)"),
    (pair(["path", "arch", "extra"], lazy=True), ValueError, "too many values to unpack (expected 2)"),
    (pair(["path"]), ValueError, "need more than 1 value to unpack"),
    (pair(["path"], lazy=True), ValueError, "need more than 1 value to unpack"),
    (pair(()), ValueError, "need more than 0 values to unpack"),
    (pair([], lazy=True), ValueError, "need more than 0 values to unpack"),
], ids=["get_model", "Transcriber", "tuple3", "iter3", "list1", "iter1", "tuple0", "iter0"])
def test_failed_load_is_not_remembered(recorder, monkeypatch, model_name, cls, provoke, expected, message):
    instance = unloaded(monkeypatch, cls, model=model_name)
    provoke(recorder.engine)
    with pytest.raises(expected) as info:
        instance.load()
    assert info.value.args == (message,) and recorder.lines() == [PREFIXES[cls][0] + model_name]
    assert f"{model_name}_cpu_zh" not in cls._model_cache and not cls._cache_lock.locked()
    assert instance._transcriber is None and "_is_loaded" not in vars(instance)
    recorder.engine.model_pair, recorder.calls[:] = None, []
    instance.load()  # the lock was released and the failure forgotten
    assert recorder.calls == load_record(cls, model_name) and instance._transcriber is not None


class RecordingLock:
    """Stands in for a class lock: writes the with-protocol into the shared record."""

    def __init__(self, recorder, swallow=False):
        self.recorder, self.swallow = recorder, swallow

    def __enter__(self):
        self.recorder.calls.append(("lock.enter", (), {}))

    def __exit__(self, *exc_info):
        self.recorder.calls.append(("lock.exit", exc_info, {}))
        return self.swallow


@CLASSES
@pytest.mark.parametrize("swallow", [False, True])
def test_load_runs_in_a_with_block_on_the_lock(recorder, monkeypatch, model_name, cls, swallow):
    monkeypatch.setattr(cls, "_cache_lock", RecordingLock(recorder, swallow))
    instance, error = unloaded(monkeypatch, cls, model=model_name), OSError("no model")
    recorder.engine.fail("Transcriber", error, times=1)
    with pytest.raises(KeyError if swallow else OSError) as info:  # swallowed: no entry to read back
        instance.load()
    assert info.value.args == ((f"{model_name}_cpu_zh",) if swallow else error.args)
    name, (exc_type, exc_value, traceback), _ = recorder.calls[-1]
    assert (name, exc_type, exc_value) == ("lock.exit", OSError, error) and isinstance(traceback, types.TracebackType)
    recorder.calls.clear()
    instance.load()
    cls(model=model_name)  # cached: the lock is still taken around the membership test
    assert recorder.names() == ["lock.enter", "logger.info", "engine.get_model_for_language", "engine.Transcriber",
                                "logger.info", "lock.exit", "lock.enter", "lock.exit"]
    assert [call[1] for call in recorder.calls if call[0] == "lock.exit"] == [(None, None, None)] * 2


@CLASSES
def test_failing_loaded_line_leaves_the_transcriber_cached_but_unbound(recorder, monkeypatch, model_name, cls):
    instance = unloaded(monkeypatch, cls, model=model_name)
    error, log = RuntimeError("log sink gone"), recorder.logger.info

    def info(message):
        log(message)
        if message.startswith(PREFIXES[cls][1]):
            raise error

    monkeypatch.setattr(recorder.logger, "info", info)
    with pytest.raises(RuntimeError) as raised:
        instance.load()
    cached = cls._model_cache[f"{model_name}_cpu_zh"]
    assert raised.value is error and instance._transcriber is None and not cls._cache_lock.locked()
    recorder.calls.clear()
    instance.load()
    assert recorder.calls == [] and instance._transcriber is cached and instance._is_loaded is True


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

    def first_load(instance):
        barrier.wait()
        instance.load()  # a thread that fails leaves its instance unbound, which the last check catches

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
    assert len(created) == 1 and recorder.lines() == [PREFIXES[cls][0] + model_name, PREFIXES[cls][1] + model_name]
    assert all(instance._transcriber is created[0] for instance in instances)
