# SPDX-License-Identifier: MIT
"""The two recognisers: construction, reset, one-shot transcription and chunked streaming."""

import gc
from contextlib import nullcontext
import sys
import tracemalloc
import types

import numpy as np
import pytest

from conftest import run_python, sablewick_asr

Stream, Offline = sablewick_asr.SablewickStreamASR, sablewick_asr.SablewickOfflineASR
CLASSES = pytest.mark.parametrize("cls", [Stream, Offline], ids=["stream", "offline"])
EVERY_CALL = pytest.mark.parametrize("cls, method", [(Stream, "transcribe"), (Offline, "transcribe"),
                                                     (Stream, "stream_generate"), (Offline, "stream_generate")])
STUB_LINE = "Sablewick stream_generate is not implemented for offline model"
ONE_SHOT = ["normalize_audio", "time.time", "engine.transcribe_without_streaming", "time.time", "logger.debug"]
CHUNK = np.ones(3, np.float32)


class Refused(Exception):
    pass


def refuse(*args, **kwargs):
    raise Refused("refused")


def unloaded(monkeypatch, cls, **kwargs):
    """An instance built while the engine looked absent, so that it holds no transcriber yet."""
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", False)
    instance = cls(**kwargs)
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", True)
    return instance


def failure_messages(cls, error, language="zh"):
    """The error line and the RuntimeError text of a failed one-shot transcription."""
    if cls is Stream:
        return (f"Error in Sablewick transcribe: {error}, language: {language}",
                f"Sablewick识别失败: {error}, language: {language}")
    return f"Error in Sablewick offline transcribe: {error}", f"Sablewick离线识别失败: {error}"


BASE_KEYWORDS = ["model", "revision", "device", "model_type"]
STREAM_OWN = ["language", "update_interval", "_transcriber", "_streaming_started", "sample_rate"]


@pytest.mark.parametrize("cls, kwargs, model_type, own", [
    (Stream, {"update_interval": 1}, sablewick_asr.ModelType.SABLEWICK, STREAM_OWN),
    (Offline, {}, sablewick_asr.ModelType.SABLEWICK.value, ["language", "sample_rate", "_transcriber"]),
    (Offline, {"model_type": "custom"}, "custom", ["language", "sample_rate", "_transcriber"]),
], ids=["stream", "offline", "offline-custom-type"])
@pytest.mark.parametrize("available", [True, False, 1, ""])
def test_constructor_hands_on_keywords_assigns_in_order_and_loads_only_when_available(
        recorder, monkeypatch, model_name, cls, kwargs, model_type, own, available):
    base, original = [], sablewick_asr.BaseASR.__init__
    monkeypatch.setattr(sablewick_asr.BaseASR, "__init__", lambda self, **kw: base.append(kw) or original(self, **kw))
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", available)
    instance = cls(model=model_name, device="cuda", language="en", sample_rate=8000.9, **kwargs)
    assert [list(kw.items()) for kw in base] == [list(zip(BASE_KEYWORDS, [model_name, "", "cuda", model_type]))]
    assert list(vars(instance)) == [*BASE_KEYWORDS, *own] + ["_is_loaded"] * bool(available)  # the base's come first
    assert ("engine.Transcriber" in recorder.names()) is bool(available)
    assert instance.language == "en" and type(instance.sample_rate) is int and instance.sample_rate == 8000
    assert type(vars(instance).get("update_interval", 0.0)) is float  # the stream's int 1 is kept as 1.0


@CLASSES
@pytest.mark.parametrize("breakage, expected, message", [
    (lambda mp, cls: mp.setattr(sablewick_asr.BaseASR, "__init__", refuse), Refused, "refused"),
    (lambda mp, cls: mp.setattr(cls, "_load_model", refuse), Refused, "refused"),
    (lambda mp, cls: mp.delattr(sablewick_asr, "SABLEWICK_AVAILABLE"), NameError,
     "name 'SABLEWICK_AVAILABLE' is not defined"),
], ids=["base", "load", "flag-missing"])
def test_constructor_failures_propagate(recorder, monkeypatch, cls, breakage, expected, message):
    breakage(monkeypatch, cls)
    with pytest.raises(expected) as info:
        cls()
    assert str(info.value) == message and recorder.calls == []


@pytest.mark.parametrize("started, transcriber, stop_error, stops", [
    (True, "loaded", None, 1), (True, "loaded", ValueError("stuck"), 1), (True, "loaded", KeyboardInterrupt(), 1),
    (True, "loaded", SystemExit(3), 1), (False, "loaded", None, 0), (True, None, None, 0), (True, object(), None, 0)])
def test_reset_stops_a_started_stream_and_discards_failures(recorder, model_name, started, transcriber, stop_error,
                                                            stops):
    instance = Stream(model=model_name)
    if transcriber != "loaded":
        instance._transcriber = transcriber
    kept, instance._streaming_started = instance._transcriber, started
    if stop_error is not None:
        recorder.engine.fail("stop", stop_error)
    recorder.calls.clear()
    assert instance.reset() is None and instance.reset() is None
    assert recorder.calls == [("engine.stop", (), {})] * stops
    assert instance._streaming_started is False and instance._transcriber is kept


def test_offline_reset_is_a_no_op(recorder, model_name):
    instance = Offline(model=model_name)
    before = dict(vars(instance))
    recorder.calls.clear()
    assert [instance.reset() for _ in range(3)] == [None] * 3 and recorder.calls == [] and vars(instance) == before
    assert Offline.__new__(Offline).reset() is None  # reads no attribute at all


@CLASSES
def test_transcribe_loads_lazily_then_calls_in_order(recorder, model_name, cls):
    instance = cls(model=model_name)
    instance.load = lambda: recorder.calls.append(("load", (), {})) or cls.load(instance)
    instance._transcriber, instance.sample_rate = None, 22050.5  # the rate is handed on unchanged
    recorder.engine.lines, audio = ["hello", "world"], np.array([0, 16384, -32768], np.int16)
    recorder.calls.clear()
    assert instance.transcribe(audio) == instance.transcribe(audio) == [{"text": "hello world"}]
    assert recorder.names() == ["load", *ONE_SHOT, *ONE_SHOT]
    assert recorder.calls[1] == ("normalize_audio", (audio,), {"target_dtype": np.float32})
    _, (samples,), engine_options = recorder.calls[3]
    assert samples.dtype == np.float32 and samples.tolist() == [0.0, 0.5, -1.0]
    assert engine_options == {"sample_rate": 22050.5, "flags": 0} and type(engine_options["flags"]) is int


@pytest.mark.parametrize("cls, prefix", [(Stream, "Sablewick"), (Offline, "SablewickOfflineASR")])
@pytest.mark.parametrize("lines, expected", [(["a", "", "b"], [{"text": "a  b"}]), (["", ""], [{"text": " "}]),
                                             ([" pad "], [{"text": " pad "}]), ([], []), ([""], [])])
def test_transcribe_joins_line_texts_and_times_the_normalised_samples(recorder, monkeypatch, model_name, cls, prefix,
                                                                      lines, expected):
    instance = cls(model=model_name)
    monkeypatch.setattr(sablewick_asr, "normalize_audio", lambda audio, target_dtype: np.zeros(16000, np.float32))
    recorder.engine.lines, recorder.clock.step, recorder.calls[:] = lines, 0.123456, []
    first, second = instance.transcribe([0.0] * 10), instance.transcribe([0.0] * 10)
    assert first == second == expected and type(first) is list and first is not second
    assert recorder.lines() == [f"{prefix} transcribe time=123.5ms, audio_len=16000"] * 2


@CLASSES
@pytest.mark.parametrize("direct", [False, True], ids=["transcribe", "internal"])
@pytest.mark.parametrize("provoke, expected", [
    (lambda r, mp, i: r.engine.fail("transcribe_without_streaming", ValueError("bad audio")), ValueError),
    (lambda r, mp, i: setattr(r.engine, "lines", ["ok", 5]), TypeError),
    (lambda r, mp, i: mp.setattr(r.logger, "debug", refuse), Refused),
    (lambda r, mp, i: setattr(i, "_transcriber", 0), AttributeError),  # not None: nothing loads
    # The engine takes audio without a length; only counting its samples fails.
    (lambda r, mp, i: mp.setattr(sablewick_asr, "normalize_audio", lambda audio, target_dtype: object()), TypeError),
], ids=["engine", "line-not-str", "debug-line", "unusable-transcriber", "no-len"])
def test_guarded_failures_become_chained_runtime_errors(recorder, monkeypatch, model_name, cls, direct, provoke,
                                                        expected):
    instance, recorder.engine.lines = cls(model=model_name), ["heard"]
    provoke(recorder, monkeypatch, instance)
    audio = sablewick_asr.normalize_audio(CHUNK, target_dtype=np.float32) if direct else CHUNK
    call, recorder.calls[:] = instance._transcribe_internal if direct else instance.transcribe, []
    with pytest.raises(RuntimeError) as info:  # transcribe does not forward its language: the messages name "zh"
        call(audio, *["en"] * (cls is Stream or not direct))  # the offline internal call takes no language
    cause = info.value.__cause__
    assert type(info.value) is RuntimeError and type(cause) is expected and info.value.__context__ is cause
    assert info.value.__suppress_context__
    logged, message = failure_messages(cls, cause, "en" if direct else "zh")
    assert recorder.lines() == [logged] and info.value.args == (message,)


@pytest.mark.parametrize("cls, entry, method", [
    (Stream, "transcribe_without_streaming", "transcribe"), (Offline, "transcribe_without_streaming", "transcribe"),
    (Stream, "start", "stream_generate"), (Stream, "add_audio", "stream_generate")])
@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(2)])
def test_base_exceptions_from_the_engine_pass_unlogged(recorder, model_name, cls, entry, method, error):
    instance = cls(model=model_name)
    recorder.engine.fail(entry, error)
    recorder.calls.clear()
    with pytest.raises(BaseException) as info:
        getattr(instance, method)(CHUNK)
    assert info.value is error and recorder.lines() == []


@EVERY_CALL
@pytest.mark.parametrize("available", [True, False])
def test_before_the_guard_absent_engine_returns_empty_and_normalisation_failure_passes(recorder, monkeypatch, cls,
                                                                                       method, available):
    instance = cls()
    monkeypatch.setattr(sablewick_asr, "normalize_audio", refuse)
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", available)
    recorder.calls.clear()
    with pytest.raises(Refused, match="^refused$") if available else nullcontext():
        assert getattr(instance, method)(object()) == []  # any audio: without the engine it is never looked at
    assert recorder.calls == ([("logger.error", (STUB_LINE,), {})] if cls is Offline and method != "transcribe" else [])


class Undecided(Exception):
    pass


FLAG_TESTS = [(cls, method) for cls in (Stream, Offline)
              for method in ("__init__", "load", "_load_model", "transcribe", "stream_generate")]
FLAG_IDS = [f"{cls.__name__[9:-3]}.{method}" for cls, method in FLAG_TESTS]


@pytest.mark.parametrize("cls, method", FLAG_TESTS, ids=FLAG_IDS)
def test_a_flag_whose_truth_test_raises_fails_the_call_with_its_exception(recorder, monkeypatch, model_name, cls,
                                                                           method):
    raised, instance = [], unloaded(monkeypatch, cls, model=model_name)  # a load would show in the record

    def undecided(flag):
        raised.append(Undecided("cannot tell"))
        raise raised[-1]

    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", type("Flag", (), {"__bool__": undecided})())
    recorder.calls.clear()
    with pytest.raises(Undecided) as info:
        getattr(instance, method)(*[CHUNK] * (method in ("transcribe", "stream_generate")))
    assert raised == [info.value] and info.value.__context__ is None
    assert recorder.calls == ([("logger.error", (STUB_LINE,), {})] if (cls, method) == (Offline, "stream_generate")
                              else [])


@pytest.mark.parametrize("started, length, is_final, engine, after", [
    (False, 0, False, ["start"], True), (False, 3, False, ["start", "add_audio"], True),
    (False, 0, True, ["start", "stop"], False), (False, 3, True, ["start", "add_audio", "stop"], False),
    (True, 0, False, [], True), (True, 3, False, ["add_audio"], True), (True, 0, True, ["stop"], False),
    (True, 3, True, ["add_audio", "stop"], False), (True, 3, [1], ["add_audio", "stop"], False),
    (True, 3, [], ["add_audio"], True), (False, 3, True, None, False), (True, 3, True, None, True)])
def test_stream_generate_moves_the_stream_flag(recorder, model_name, started, length, is_final, engine, after):
    instance = Stream(model=model_name)
    if engine is None:  # still no transcriber after loading: no engine call at all
        instance._transcriber, instance.load = None, lambda: recorder.calls.append(("load", (), {}))
    instance._streaming_started, recorder.calls[:] = started, []
    result = instance.stream_generate(np.ones(length, np.float32), is_final)
    assert result == [] and type(result) is list and instance._streaming_started is after
    assert recorder.names() == ["load"] * (engine is None) + ["normalize_audio", "time.time",
                                                              *(f"engine.{name}" for name in engine or []), "time.time"]


@pytest.mark.parametrize("step, lines", [(0.0005, []), (0.002, ["time=2.0ms, audio_len=5"] * 2),
                                         (0.01234, ["time=12.3ms, audio_len=5"] * 2)])
def test_stream_generate_times_itself_and_feeds_the_current_rate(recorder, monkeypatch, model_name, step, lines):
    instance, normalised = Stream(model=model_name, sample_rate=16000), np.ones(5, np.float32)
    monkeypatch.setattr(sablewick_asr, "normalize_audio", lambda audio, target_dtype: normalised)
    recorder.clock.step, recorder.calls[:] = step, []
    instance.stream_generate([0.0, 0.0])
    instance.sample_rate = 8000
    instance.stream_generate([0.0, 0.0], True)
    assert recorder.lines() == ["SablewickStreamASR stream_generate " + line for line in lines]
    feeds = [call[1] for call in recorder.calls if call[0] == "engine.add_audio"]
    assert [(chunk is normalised, rate) for chunk, rate in feeds] == [(True, 16000), (True, 8000)]


@pytest.mark.parametrize("entry, started, after", [
    ("start", False, False), ("add_audio", False, True), ("add_audio", True, True), ("stop", True, True)])
def test_stream_generate_failure_keeps_the_flag_where_it_stood(recorder, model_name, entry, started, after):
    instance, error = Stream(model=model_name), ValueError(f"{entry} refused")
    instance._streaming_started, recorder.calls[:] = started, []
    recorder.engine.fail(entry, error, times=1)
    with pytest.raises(RuntimeError) as info:
        instance.stream_generate(CHUNK, True)
    assert info.value.__cause__ is info.value.__context__ is error and info.value.__suppress_context__
    assert info.value.args == (f"Sablewick流式识别失败: {entry} refused",)
    assert recorder.lines() == [f"Error in Sablewick stream_generate: {entry} refused"]
    assert instance._streaming_started is after


GUARDED = [(Stream, "transcribe"), (Stream, "_transcribe_internal"), (Offline, "transcribe"),
           (Offline, "_transcribe_internal"), (Stream, "stream_generate")]


@pytest.mark.parametrize("cls, method", GUARDED, ids=[f"{cls.__name__[9:-3]}.{method}" for cls, method in GUARDED])
@pytest.mark.parametrize("logger_fails", [False, True], ids=["logged", "logger-fails"])
def test_guarded_failures_keep_the_engine_exception_chain_and_release_it(recorder, monkeypatch, model_name, cls,
                                                                         method, logger_fails):
    try:  # raised while the engine handled another exception: a context of its own, which must survive
        raise LookupError("model file unreadable")
    except LookupError:
        try:
            raise ValueError("engine failed")
        except ValueError as engine_error:
            error = engine_error
    context, instance = error.__context__, cls(model=model_name)
    recorder.engine.fail("add_audio" if method == "stream_generate" else "transcribe_without_streaming", error)
    if logger_fails:
        monkeypatch.setattr(recorder.logger, "error", refuse)

    def failure():
        try:
            getattr(instance, method)(CHUNK)
        except Exception as e:  # noqa: BLE001 - the outcome is under test
            return e
        finally:
            error.__traceback__ = None  # its frames hold it: a cycle that would keep its count up

    raised = failure()
    if logger_fails:  # the logger's exception, raised while handling the engine's
        assert type(raised) is Refused and raised.__context__ is error and not raised.__suppress_context__
    else:
        assert type(raised) is RuntimeError and raised.__cause__ is raised.__context__ is error
        assert raised.__suppress_context__
    assert error.__context__ is context and context.__context__ is None  # the engine's chain, whole, no cycle
    del raised
    gc.collect()  # counted with no garbage about: only a reference the module kept can move them
    counts = [sys.getrefcount(item) for item in (error, context)]
    for _ in range(10):
        failure()
    gc.collect()
    assert [sys.getrefcount(item) for item in (error, context)] == counts


def test_a_failing_logger_ends_even_where_the_engine_chain_loops_already():
    # Such a chain is walked once around, as the interpreter walks it, and left as it was; in a process of its
    # own, so that a walk that never ends fails the test by its time limit.
    process = run_python("""
        import types, sablewick_voice
        from models import sablewick_asr as asr
        error, context = ValueError("engine"), LookupError("context")
        error.__context__, context.__context__ = context, error
        def refuse(message):
            raise OSError("log sink gone")
        asr.logger = types.SimpleNamespace(error=refuse, info=len, debug=len)
        sablewick_voice.script.fail("transcribe_without_streaming", error)
        try:
            asr.SablewickOfflineASR().transcribe([0.0])
        except OSError as raised:
            print(raised.__context__ is error and error.__context__ is context and context.__context__ is error)
    """)
    assert process.stdout.split() == ["True"]


@pytest.mark.parametrize("cls, method", GUARDED, ids=[f"{cls.__name__[9:-3]}.{method}" for cls, method in GUARDED])
@pytest.mark.parametrize("depth", range(1, 6))
def test_a_logger_exception_deep_in_the_engine_chain_is_cut_out_of_it(recorder, monkeypatch, model_name, cls,
                                                                      method, depth):
    # Re-raised by a generator suspended in an except block of its own, so that the interpreter chains
    # nothing: the module finds it `depth` links down the engine's chain, cuts it out there and chains it on.
    chain = [ValueError("engine failed"), *map(LookupError, range(1, depth)), OSError("log sink gone")]

    def sink():
        try:
            raise chain[-1]
        except OSError:
            yield
            raise

    next(reraise := sink())
    for exc, context in zip(chain, chain[1:]):
        exc.__context__ = context
    instance = cls(model=model_name)
    recorder.engine.fail("add_audio" if method == "stream_generate" else "transcribe_without_streaming", chain[0])
    monkeypatch.setattr(recorder.logger, "error", lambda line: next(reraise))
    with pytest.raises(OSError) as info:
        getattr(instance, method)(CHUNK)
    found = [info.value]
    while found[-1].__context__ is not None and len(found) <= depth + 1:  # a loop shows as one link too many
        found.append(found[-1].__context__)
    assert found == [chain[-1], *chain[:-1]], " -> ".join(map(repr, found))


@pytest.mark.parametrize("value, error", [(None, None), ([{"text": "x"}], None), ((), "Expected list, got tuple"),
                                          (type("Records", (list,), {})(), "Expected list, got Records")])
def test_offline_stream_generate_hands_back_what_transcribe_returns(recorder, monkeypatch, value, error):
    audio, instance = object(), unloaded(monkeypatch, Offline)
    instance.transcribe = lambda *args, **kwargs: recorder.calls.append(("transcribe", args, kwargs)) or value
    with pytest.raises(TypeError, match=f"^{error}$") if error else nullcontext():
        assert instance.stream_generate(audio, True, "en") is value
    assert recorder.calls == [("logger.error", (STUB_LINE,), {}), ("transcribe", (audio, "en"), {})]


def test_repeated_calls_leak_nothing(monkeypatch):
    def engine_call(*args):
        if engine.failing:
            raise KeyboardInterrupt if args == ("stop",) else ValueError("engine failed")  # reset discards both
        return transcript

    transcript = types.SimpleNamespace(lines=[types.SimpleNamespace(text="word")] * 2)
    engine = types.SimpleNamespace(failing=False, start=engine_call, stop=lambda: engine_call("stop"),
                                   add_audio=engine_call, transcribe_without_streaming=lambda *a, **k: engine_call(*a))
    # len takes the one str a logger method gets, and does nothing with it.
    monkeypatch.setattr(sablewick_asr, "logger", types.SimpleNamespace(info=len, debug=len, error=len))
    audio, stream, offline = np.zeros(160, np.float32), Stream(), Offline()
    stream._transcriber = offline._transcriber = engine

    def run(rounds):
        for index in range(rounds):
            engine.failing = False
            stream.transcribe(audio), offline.transcribe(audio), offline.stream_generate(audio, True)
            stream.stream_generate(audio, index % 2 == 0), stream.load(), offline.load(), Stream(), Offline()
            engine.failing = True
            for call in (stream.transcribe, offline.transcribe, stream.stream_generate, offline.stream_generate):
                with pytest.raises(RuntimeError):
                    call(audio)
            stream._streaming_started = True
            stream.reset()

    # The numeric defaults: the str ones are interned, hence immortal, and their counts never move.
    watched = [engine, audio, transcript, transcript.lines[0], stream, offline, *Stream.__init__.__defaults__[3:],
               Offline.__init__.__defaults__[-1]]
    run(20)
    gc.collect()
    counts = [sys.getrefcount(item) for item in watched]
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    run(1500)  # about 21,000 calls
    gc.collect()
    growth = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert [sys.getrefcount(item) for item in watched] == counts and growth < 64 * 1024
