"""The two recognisers: construction, reset, one-shot transcription and chunked streaming."""

import gc
import sys
import tracemalloc
import types

import numpy as np
import pytest

from conftest import sablewick_asr

Stream, Offline = sablewick_asr.SablewickStreamASR, sablewick_asr.SablewickOfflineASR
BaseASR, ModelType = sablewick_asr.BaseASR, sablewick_asr.ModelType
CLASSES = pytest.mark.parametrize("cls", [Stream, Offline], ids=["stream", "offline"])
TIMING = {Stream: "Sablewick transcribe time=", Offline: "SablewickOfflineASR transcribe time="}
STUB_LINE = "Sablewick stream_generate is not implemented for offline model"
ONE_SHOT = ["normalize_audio", "time.time", "engine.transcribe_without_streaming", "time.time", "logger.debug"]


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


class Refused(Exception):
    pass


def refuse(*args, **kwargs):
    raise Refused("refused")


@pytest.fixture
def base_calls(monkeypatch):
    """What the base constructor receives; it keeps doing its own work."""
    calls = []
    original = BaseASR.__init__

    def init(self, *args, **kwargs):
        calls.append((args, list(kwargs.items())))
        original(self, *args, **kwargs)

    monkeypatch.setattr(BaseASR, "__init__", init)
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", False)
    return calls


@pytest.mark.parametrize("cls, kwargs, model, device, model_type", [
    (Stream, {}, "sablewick/base", "cpu", ModelType.SABLEWICK),
    (Stream, {"model": "m", "device": "cuda", "language": "en"}, "m", "cuda", ModelType.SABLEWICK),
    (Offline, {}, "sablewick/base", "cpu", ModelType.SABLEWICK.value),
    (Offline, {"model_type": "custom", "model": "m", "device": "cuda"}, "m", "cuda", "custom"),
])
def test_base_constructor_gets_exact_keywords(base_calls, cls, kwargs, model, device, model_type):
    cls(**kwargs)
    assert base_calls == [((), [("model", model), ("revision", ""), ("device", device), ("model_type", model_type)])]


def test_stream_reads_model_type_at_each_construction(base_calls, monkeypatch):
    member = object()
    monkeypatch.setattr(sablewick_asr, "ModelType", types.SimpleNamespace(SABLEWICK=member))
    Stream()
    Offline()  # its default was taken when the class was made
    assert [call[1][-1] for call in base_calls] == [("model_type", member), ("model_type", "sablewick")]


@pytest.mark.parametrize("cls, own", [
    (Stream, ["language", "update_interval", "_transcriber", "_streaming_started", "sample_rate"]),
    (Offline, ["language", "sample_rate", "_transcriber"])], ids=["stream", "offline"])
@pytest.mark.parametrize("available", [True, False, 1, ""])
def test_constructor_assigns_in_order_and_loads_only_when_available(recorder, monkeypatch, model_name, cls, own,
                                                                     available):
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", available)
    instance = cls(model=model_name, language="en", sample_rate=8000.9)
    loaded = ["_is_loaded"] if available else []
    assert list(vars(instance)) == ["model", "revision", "device", "model_type", *own, *loaded]
    assert ("engine.Transcriber" in recorder.names()) is bool(available)
    assert (instance._transcriber is None) is not bool(available)
    assert instance.language == "en" and type(instance.sample_rate) is int and instance.sample_rate == 8000


def test_stream_keeps_a_float_interval_and_starts_unstreamed(monkeypatch):
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", False)
    instance = Stream(update_interval=1)
    assert type(instance.update_interval) is float and instance.update_interval == 1.0
    assert instance._streaming_started is False


class Unanswerable:
    def __bool__(self):
        raise Refused("no truth value")


@CLASSES
@pytest.mark.parametrize("breakage, expected, message", [
    (lambda mp, cls: mp.setattr(BaseASR, "__init__", refuse), Refused, "refused"),
    (lambda mp, cls: mp.setattr(cls, "_load_model", refuse), Refused, "refused"),
    (lambda mp, cls: mp.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", Unanswerable()), Refused, "no truth value"),
    (lambda mp, cls: mp.delattr(sablewick_asr, "SABLEWICK_AVAILABLE"), NameError,
     "name 'SABLEWICK_AVAILABLE' is not defined"),
], ids=["base", "load", "flag-truth", "flag-missing"])
def test_constructor_failures_propagate(recorder, monkeypatch, cls, breakage, expected, message):
    breakage(monkeypatch, cls)
    with pytest.raises(expected) as info:
        cls()
    assert str(info.value) == message and recorder.calls == []


@pytest.mark.parametrize("error", [None, ValueError("stuck"), KeyboardInterrupt(), SystemExit(3)])
def test_reset_stops_a_started_stream_and_discards_failures(recorder, model_name, error):
    instance = Stream(model=model_name)
    transcriber = instance._transcriber
    instance._streaming_started = True
    if error is not None:
        recorder.engine.fail("stop", error)
    recorder.calls.clear()
    assert instance.reset() is None and instance.reset() is None
    assert recorder.calls == [("engine.stop", (), {})]
    assert instance._streaming_started is False and instance._transcriber is transcriber


@pytest.mark.parametrize("started, transcriber", [(False, "loaded"), (0, "loaded"), (True, None), (True, object())])
def test_reset_without_a_stream_to_stop(recorder, model_name, started, transcriber):
    instance = Stream(model=model_name)
    if transcriber != "loaded":
        instance._transcriber = transcriber
    instance._streaming_started = started
    recorder.calls.clear()
    assert instance.reset() is None
    assert recorder.calls == [] and instance._streaming_started is False


def test_offline_reset_is_a_no_op(recorder, model_name):
    instance = Offline(model=model_name)
    before = dict(vars(instance))
    recorder.calls.clear()
    assert [instance.reset() for _ in range(3)] == [None] * 3
    assert recorder.calls == [] and vars(instance) == before
    assert Offline.__new__(Offline).reset() is None  # reads no attribute at all


@CLASSES
def test_transcribe_call_order_and_engine_arguments(recorder, model_name, cls):
    instance = cls(model=model_name)
    instance.sample_rate = 22050.5  # handed on unchanged
    recorder.engine.lines = ["hello", "world"]
    audio = np.array([0, 16384, -32768], np.int16)
    recorder.calls.clear()
    assert instance.transcribe(audio) == [{"text": "hello world"}]
    assert recorder.names() == ONE_SHOT
    (_, (given,), options), (_, (samples,), engine_options) = recorder.calls[0], recorder.calls[2]
    assert given is audio and options == {"target_dtype": np.float32} and options["target_dtype"] is np.float32
    assert samples.dtype == np.float32 and samples.tolist() == [0.0, 0.5, -1.0]
    assert engine_options == {"sample_rate": 22050.5, "flags": 0} and type(engine_options["flags"]) is int


@CLASSES
def test_transcribe_loads_lazily_through_the_instance(recorder, model_name, cls):
    class Lazy(cls):
        def load(self):
            recorder.calls.append(("load", (), {}))
            return super().load()

    instance = Lazy(model=model_name)
    instance._transcriber = None
    recorder.calls.clear()
    instance.transcribe(np.zeros(3, np.float32))
    instance.transcribe(np.zeros(3, np.float32))
    assert recorder.names() == ["load", *ONE_SHOT, *ONE_SHOT]


@CLASSES
@pytest.mark.parametrize("lines, expected", [
    (["a", "", "b"], [{"text": "a  b"}]), (["", ""], [{"text": " "}]), ([" pad "], [{"text": " pad "}]),
    ([], []), ([""], []),
])
def test_transcribe_joins_line_texts_with_single_blanks(recorder, model_name, cls, lines, expected):
    instance = cls(model=model_name)
    recorder.engine.lines = lines
    first, second = instance.transcribe(np.zeros(4, np.float32)), instance.transcribe(np.zeros(4, np.float32))
    assert first == second == expected and type(first) is list and first is not second
    assert len(recorder.lines("debug")) == 2 and recorder.lines("error") == []


@CLASSES
@pytest.mark.parametrize("step, shown", [(0.0, "0.0"), (0.123456, "123.5"), (2.5, "2500.0")])
def test_transcribe_timing_line_counts_the_normalised_samples(recorder, monkeypatch, model_name, cls, step, shown):
    instance = cls(model=model_name)
    monkeypatch.setattr(sablewick_asr, "normalize_audio", lambda audio, target_dtype: np.zeros(16000, np.float32))
    recorder.clock.step = step
    recorder.calls.clear()
    instance.transcribe([0.0] * 10)
    assert recorder.lines() == [f"{TIMING[cls]}{shown}ms, audio_len=16000"]


def engine_raises(recorder, monkeypatch, instance):
    recorder.engine.fail("transcribe_without_streaming", ValueError("bad audio"))
    return ValueError


def line_text_not_str(recorder, monkeypatch, instance):
    recorder.engine.lines = ["ok", 5]
    return TypeError


def transcript_without_lines(recorder, monkeypatch, instance):
    instance._transcriber = types.SimpleNamespace(transcribe_without_streaming=lambda *a, **k: object())
    return AttributeError


def transcriber_not_usable(recorder, monkeypatch, instance):
    instance._transcriber = 0  # not None, so nothing loads; the engine call itself fails
    return AttributeError


def debug_line_raises(recorder, monkeypatch, instance):
    monkeypatch.setattr(recorder.logger, "debug", refuse)
    return Refused


def audio_without_length(recorder, monkeypatch, instance):
    recorder.engine.lines = ["heard"]  # the engine accepts it, only len() fails
    monkeypatch.setattr(sablewick_asr, "normalize_audio", lambda audio, target_dtype: object())
    return TypeError


@CLASSES
@pytest.mark.parametrize("provoke", [engine_raises, line_text_not_str, transcript_without_lines,
                                     transcriber_not_usable, debug_line_raises, audio_without_length])
def test_transcribe_failures_become_chained_runtime_errors(recorder, monkeypatch, model_name, cls, provoke):
    instance = cls(model=model_name)
    expected = provoke(recorder, monkeypatch, instance)
    recorder.calls.clear()
    with pytest.raises(RuntimeError) as info:
        instance.transcribe(np.zeros(4, np.float32), "en")  # not forwarded: the messages name "zh"
    cause = info.value.__cause__
    assert type(info.value) is RuntimeError and type(cause) is expected and info.value.__suppress_context__
    logged, message = failure_messages(cls, cause)
    assert recorder.lines() == [logged] and info.value.args == (message,)


@pytest.mark.parametrize("cls, extra, language", [(Stream, ("en",), "en"), (Stream, (), "zh"), (Offline, (), None)])
def test_internal_call_on_an_unloaded_instance(recorder, model_name, cls, extra, language):
    instance = cls(model=model_name)
    instance._transcriber = None
    recorder.calls.clear()
    with pytest.raises(RuntimeError) as info:
        instance._transcribe_internal(np.zeros(2, np.float32), *extra)
    cause = info.value.__cause__
    assert type(cause) is AttributeError and "transcribe_without_streaming" in str(cause)
    logged, message = failure_messages(cls, cause, language)
    assert recorder.lines() == [logged] and info.value.args == (message,)


@CLASSES
def test_failing_error_line_replaces_the_runtime_error(recorder, monkeypatch, model_name, cls):
    instance = cls(model=model_name)
    error = ValueError("bad audio")
    recorder.engine.fail("transcribe_without_streaming", error)
    monkeypatch.setattr(recorder.logger, "error", refuse)
    with pytest.raises(Refused) as info:
        instance.transcribe(np.zeros(4, np.float32))
    assert info.value.__context__ is error


@pytest.mark.parametrize("cls, entry, method", [(Stream, "transcribe_without_streaming", "transcribe"),
                                                (Offline, "transcribe_without_streaming", "transcribe"),
                                                (Stream, "start", "stream_generate"),
                                                (Stream, "add_audio", "stream_generate")])
@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(2)])
def test_base_exceptions_from_the_engine_pass_unlogged(recorder, model_name, cls, entry, method, error):
    instance = cls(model=model_name)
    recorder.engine.fail(entry, error)
    recorder.calls.clear()
    with pytest.raises(BaseException) as info:
        getattr(instance, method)(np.zeros(4, np.float32))
    assert info.value is error and recorder.lines() == []


EVERY_CALL = pytest.mark.parametrize("cls, method", [(Stream, "transcribe"), (Offline, "transcribe"),
                                                     (Stream, "stream_generate"), (Offline, "stream_generate")])


@EVERY_CALL
def test_normalisation_failure_passes_unchanged(recorder, monkeypatch, model_name, cls, method):
    instance = cls(model=model_name)
    error = ValueError("not audio")

    def normalize_audio(audio, **kwargs):
        raise error

    monkeypatch.setattr(sablewick_asr, "normalize_audio", normalize_audio)
    recorder.calls.clear()
    with pytest.raises(ValueError) as info:
        getattr(instance, method)(object())
    assert info.value is error
    assert recorder.lines() == ([STUB_LINE] if (cls, method) == (Offline, "stream_generate") else [])
    assert not [name for name in recorder.names() if name.startswith("engine.")]


@EVERY_CALL
def test_absent_engine_gives_empty_results_without_looking(recorder, monkeypatch, cls, method):
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", False)
    instance = cls()
    result = getattr(instance, method)(object())
    assert result == [] and type(result) is list
    assert recorder.lines() == ([STUB_LINE] if (cls, method) == (Offline, "stream_generate") else [])
    assert [name for name in recorder.names() if not name.startswith("logger.")] == []


@pytest.mark.parametrize("started, length, is_final, engine, after", [
    (False, 0, False, ["start"], True),
    (False, 3, False, ["start", "add_audio"], True),
    (False, 0, True, ["start", "stop"], False),
    (False, 3, True, ["start", "add_audio", "stop"], False),
    (True, 0, False, [], True),
    (True, 3, False, ["add_audio"], True),
    (True, 0, True, ["stop"], False),
    (True, 3, True, ["add_audio", "stop"], False),
    (True, 3, [1], ["add_audio", "stop"], False),
    (True, 3, [], ["add_audio"], True),
])
def test_stream_generate_moves_the_stream_flag(recorder, model_name, started, length, is_final, engine, after):
    instance = Stream(model=model_name)
    instance._streaming_started = started
    recorder.calls.clear()
    result = instance.stream_generate(np.ones(length, np.float32), is_final)
    assert result == [] and type(result) is list
    assert recorder.names() == ["normalize_audio", "time.time", *(f"engine.{name}" for name in engine), "time.time"]
    assert instance._streaming_started is after


@pytest.mark.parametrize("started", [False, True])
@pytest.mark.parametrize("is_final", [False, True])
def test_stream_generate_without_a_transcriber_calls_no_engine(recorder, monkeypatch, started, is_final):
    class NoModel(Stream):
        def load(self):
            recorder.calls.append(("load", (), {}))

    instance = unloaded(monkeypatch, NoModel)
    instance._streaming_started = started
    assert instance.stream_generate(np.ones(3, np.float32), is_final) == []
    assert recorder.names() == ["load", "normalize_audio", "time.time", "time.time"]
    assert instance._streaming_started is started


def test_add_audio_gets_the_normalised_chunk_and_current_sample_rate(recorder, monkeypatch, model_name):
    instance = Stream(model=model_name, sample_rate=16000)
    normalised = np.ones(3, np.float32)
    monkeypatch.setattr(sablewick_asr, "normalize_audio", lambda audio, target_dtype: normalised)
    instance.stream_generate([1, 2, 3])
    instance.sample_rate = 8000
    instance.stream_generate([1, 2, 3])
    feeds = [call[1] for call in recorder.calls if call[0] == "engine.add_audio"]
    assert [(chunk is normalised, rate) for chunk, rate in feeds] == [(True, 16000), (True, 8000)]


@pytest.mark.parametrize("step, lines", [
    (0.0005, []),
    (0.002, ["SablewickStreamASR stream_generate time=2.0ms, audio_len=5"]),
    (0.01234, ["SablewickStreamASR stream_generate time=12.3ms, audio_len=5"]),
])
def test_stream_generate_logs_its_time_above_one_millisecond(recorder, monkeypatch, model_name, step, lines):
    instance = Stream(model=model_name)
    monkeypatch.setattr(sablewick_asr, "normalize_audio", lambda audio, target_dtype: np.ones(5, np.float32))
    recorder.clock.step = step
    recorder.calls.clear()
    instance.stream_generate([0.0, 0.0], True)
    assert recorder.lines() == lines


@pytest.mark.parametrize("entry, started, after", [
    ("start", False, False), ("add_audio", False, True), ("add_audio", True, True), ("stop", True, True)])
def test_stream_generate_failure_keeps_the_flag_where_it_stood(recorder, model_name, entry, started, after):
    instance = Stream(model=model_name)
    instance._streaming_started = started
    error = ValueError(f"{entry} refused")
    recorder.engine.fail(entry, error, times=1)
    recorder.calls.clear()
    with pytest.raises(RuntimeError) as info:
        instance.stream_generate(np.ones(3, np.float32), True)
    assert info.value.__cause__ is error and info.value.__suppress_context__
    assert info.value.args == (f"Sablewick流式识别失败: {entry} refused",)
    assert recorder.lines() == [f"Error in Sablewick stream_generate: {entry} refused"]
    assert instance._streaming_started is after
    recorder.calls.clear()
    instance.stream_generate(np.ones(3, np.float32), True)  # starts again only if the start failed
    assert ("engine.start" in recorder.names()) is not after


@pytest.mark.parametrize("is_final", [False, True])
def test_offline_stream_generate_logs_then_transcribes_the_chunk(recorder, model_name, is_final):
    instance = Offline(model=model_name)
    recorder.engine.lines = ["chunk"]
    recorder.calls.clear()
    assert instance.stream_generate(np.zeros(4, np.float32), is_final) == [{"text": "chunk"}]
    assert recorder.names() == ["logger.error", *ONE_SHOT] and recorder.lines("error") == [STUB_LINE]


class Records(list):
    pass


def returning(monkeypatch, value):
    """An offline recogniser whose transcribe returns `value` and records its arguments."""
    received = []

    class Custom(Offline):
        def transcribe(self, *args, **kwargs):
            received.append((args, kwargs))
            return value

    return unloaded(monkeypatch, Custom), received


@pytest.mark.parametrize("value", [None, [{"text": "x"}]])
def test_offline_stream_generate_hands_back_what_transcribe_returns(recorder, monkeypatch, value):
    (instance, received), audio = returning(monkeypatch, value), object()
    assert instance.stream_generate(audio, True, "en") is value
    assert received == [((audio, "en"), {})] and recorder.lines() == [STUB_LINE]


@pytest.mark.parametrize("value, name", [((), "tuple"), (Records(), "Records"), ({}, "dict")])
def test_offline_stream_generate_rejects_other_results(recorder, monkeypatch, value, name):
    instance, _ = returning(monkeypatch, value)
    with pytest.raises(TypeError) as info:
        instance.stream_generate(object())
    assert str(info.value) == f"Expected list, got {name}"


def test_repeated_calls_leak_nothing(monkeypatch):
    class Quiet:
        def info(self, message):
            pass

        debug = warning = error = info

    class Engine:
        failing = False

        def transcribe_without_streaming(self, audio, sample_rate, flags):
            if self.failing:
                raise ValueError("engine failed")
            return transcript

        def start(self):
            pass

        def add_audio(self, audio, sample_rate):
            if self.failing:
                raise ValueError("engine failed")

        def stop(self):
            if self.failing:
                raise KeyboardInterrupt  # reset discards even this

    monkeypatch.setattr(sablewick_asr, "logger", Quiet())
    line = types.SimpleNamespace(text="word")
    transcript = types.SimpleNamespace(lines=[line, line])
    engine, audio = Engine(), np.zeros(160, np.float32)
    stream, offline = Stream(), Offline()
    stream._transcriber = offline._transcriber = engine

    def run(rounds):
        for index in range(rounds):
            engine.failing = False
            stream.transcribe(audio), offline.transcribe(audio), offline.stream_generate(audio, True)
            stream.stream_generate(audio, index % 2 == 0), stream.load(), offline.load()
            Stream(), Offline()
            engine.failing = True
            for call in (stream.transcribe, offline.transcribe, stream.stream_generate, offline.stream_generate):
                try:
                    call(audio)
                except RuntimeError:
                    pass
            stream._streaming_started = True
            stream.reset()

    # The numeric defaults: the str ones are interned, hence immortal, and their counts never move.
    watched = [engine, audio, transcript, line, stream, offline, *Stream.__init__.__defaults__[3:],
               Offline.__init__.__defaults__[-1]]
    run(20)
    gc.collect()
    counts = [sys.getrefcount(item) for item in watched]
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run(1500)  # about 21,000 calls
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(item) for item in watched] == counts
    assert growth < 64 * 1024
