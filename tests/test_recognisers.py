"""The two recognisers: construction, reset, one-shot transcription and chunked streaming."""

import gc
import sys
import tracemalloc
import types

import numpy as np
import pytest

from conftest import sablewick_asr

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


@pytest.mark.parametrize("cls, kwargs, expected", [
    (Stream, {}, ["sablewick/base", "", "cpu", sablewick_asr.ModelType.SABLEWICK]),
    (Stream, {"model": "m", "device": "cuda", "language": "en"}, ["m", "", "cuda", sablewick_asr.ModelType.SABLEWICK]),
    (Offline, {}, ["sablewick/base", "", "cpu", sablewick_asr.ModelType.SABLEWICK.value]),
    (Offline, {"model_type": "custom", "model": "m", "device": "cuda"}, ["m", "", "cuda", "custom"]),
])
def test_base_constructor_gets_exact_keywords(monkeypatch, cls, kwargs, expected):
    calls, original = [], sablewick_asr.BaseASR.__init__
    # Keywords only: a positional argument would not fit this signature.
    monkeypatch.setattr(sablewick_asr.BaseASR, "__init__", lambda self, **kw: calls.append(kw) or original(self, **kw))
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", False)
    cls(**kwargs)
    assert [list(call.items()) for call in calls] == [list(zip(["model", "revision", "device", "model_type"], expected))]


@pytest.mark.parametrize("cls, own", [
    (Stream, ["language", "update_interval", "_transcriber", "_streaming_started", "sample_rate"]),
    (Offline, ["language", "sample_rate", "_transcriber"])], ids=["stream", "offline"])
@pytest.mark.parametrize("available", [True, False, 1, ""])
def test_constructor_assigns_in_order_and_loads_only_when_available(recorder, monkeypatch, model_name, cls, own,
                                                                     available):
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", available)
    instance = cls(model=model_name, language="en", sample_rate=8000.9)
    assert list(vars(instance)) == ["model", "revision", "device", "model_type", *own] + ["_is_loaded"] * bool(available)
    assert ("engine.Transcriber" in recorder.names()) is bool(available)
    assert (instance._transcriber is None) is not bool(available)
    assert instance.language == "en" and type(instance.sample_rate) is int and instance.sample_rate == 8000
    assert getattr(instance, "_streaming_started", False) is False


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
    class Lazy(cls):
        def load(self):
            recorder.calls.append(("load", (), {}))
            return super().load()

    instance = Lazy(model=model_name)
    instance._transcriber, instance.sample_rate = None, 22050.5  # the rate is handed on unchanged
    recorder.engine.lines = ["hello", "world"]
    audio = np.array([0, 16384, -32768], np.int16)
    recorder.calls.clear()
    assert instance.transcribe(audio) == instance.transcribe(audio) == [{"text": "hello world"}]
    assert recorder.names() == ["load", *ONE_SHOT, *ONE_SHOT]
    (_, (given,), options), (_, (samples,), engine_options) = recorder.calls[1], recorder.calls[3]
    assert given is audio and options == {"target_dtype": np.float32} and options["target_dtype"] is np.float32
    assert samples.dtype == np.float32 and samples.tolist() == [0.0, 0.5, -1.0]
    assert engine_options == {"sample_rate": 22050.5, "flags": 0} and type(engine_options["flags"]) is int


@CLASSES
@pytest.mark.parametrize("lines, expected", [(["a", "", "b"], [{"text": "a  b"}]), (["", ""], [{"text": " "}]),
                                             ([" pad "], [{"text": " pad "}]), ([], []), ([""], [])])
def test_transcribe_joins_line_texts_with_single_blanks(recorder, model_name, cls, lines, expected):
    instance = cls(model=model_name)
    recorder.engine.lines = lines
    first, second = instance.transcribe(CHUNK), instance.transcribe(CHUNK)
    assert first == second == expected and type(first) is list and first is not second
    assert len(recorder.lines("debug")) == 2 and recorder.lines("error") == []


@pytest.mark.parametrize("cls, prefix", [(Stream, "Sablewick"), (Offline, "SablewickOfflineASR")])
@pytest.mark.parametrize("step, shown", [(0.0, "0.0"), (0.123456, "123.5"), (2.5, "2500.0")])
def test_transcribe_timing_line_counts_the_normalised_samples(recorder, monkeypatch, model_name, cls, prefix, step,
                                                              shown):
    instance = cls(model=model_name)
    monkeypatch.setattr(sablewick_asr, "normalize_audio", lambda audio, target_dtype: np.zeros(16000, np.float32))
    recorder.clock.step, recorder.calls[:] = step, []
    instance.transcribe([0.0] * 10)
    assert recorder.lines() == [f"{prefix} transcribe time={shown}ms, audio_len=16000"]


@CLASSES
@pytest.mark.parametrize("provoke, expected", [
    (lambda r, mp: r.engine.fail("transcribe_without_streaming", ValueError("bad audio")), ValueError),
    (lambda r, mp: setattr(r.engine, "lines", ["ok", 5]), TypeError),
    (lambda r, mp: mp.setattr(r.logger, "debug", refuse), Refused),
    # The engine takes audio without a length; only counting its samples fails.
    (lambda r, mp: mp.setattr(sablewick_asr, "normalize_audio", lambda audio, target_dtype: object()), TypeError),
], ids=["engine", "line-not-str", "debug-line", "no-len"])
def test_transcribe_failures_become_chained_runtime_errors(recorder, monkeypatch, model_name, cls, provoke, expected):
    instance = cls(model=model_name)
    recorder.engine.lines, recorder.calls[:] = ["heard"], []
    provoke(recorder, monkeypatch)
    with pytest.raises(RuntimeError) as info:
        instance.transcribe(CHUNK, "en")  # not forwarded: the messages name "zh"
    cause = info.value.__cause__
    assert type(info.value) is RuntimeError and type(cause) is expected and info.value.__suppress_context__
    logged, message = failure_messages(cls, cause)
    assert recorder.lines() == [logged] and info.value.args == (message,)


@pytest.mark.parametrize("cls, extra, language", [(Stream, ("en",), "en"), (Stream, (), "zh"), (Offline, (), None)])
def test_internal_call_on_an_unloaded_instance(recorder, model_name, cls, extra, language):
    instance = cls(model=model_name)
    instance._transcriber, recorder.calls[:] = None, []
    with pytest.raises(RuntimeError) as info:
        instance._transcribe_internal(CHUNK, *extra)
    cause = info.value.__cause__
    assert type(cause) is AttributeError and "transcribe_without_streaming" in str(cause)
    logged, message = failure_messages(cls, cause, language)
    assert recorder.lines() == [logged] and info.value.args == (message,)


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
        getattr(instance, method)(CHUNK)
    assert info.value is error and recorder.lines() == []


@EVERY_CALL
def test_normalisation_failure_passes_unchanged(recorder, monkeypatch, model_name, cls, method):
    instance, error = cls(model=model_name), ValueError("not audio")

    def normalize_audio(audio, target_dtype):
        raise error

    monkeypatch.setattr(sablewick_asr, "normalize_audio", normalize_audio)
    recorder.calls.clear()
    with pytest.raises(ValueError) as info:
        getattr(instance, method)(object())
    assert info.value is error
    assert recorder.calls == ([("logger.error", (STUB_LINE,), {})] if cls is Offline and method != "transcribe" else [])


@EVERY_CALL
def test_absent_engine_gives_empty_results_without_looking(recorder, monkeypatch, cls, method):
    monkeypatch.setattr(sablewick_asr, "SABLEWICK_AVAILABLE", False)
    result = getattr(cls(), method)(object())
    assert result == [] and type(result) is list
    assert recorder.calls == ([("logger.error", (STUB_LINE,), {})] if cls is Offline and method != "transcribe" else [])


@pytest.mark.parametrize("started, length, is_final, engine, after", [
    (False, 0, False, ["start"], True), (False, 3, False, ["start", "add_audio"], True),
    (False, 0, True, ["start", "stop"], False), (False, 3, True, ["start", "add_audio", "stop"], False),
    (True, 0, False, [], True), (True, 3, False, ["add_audio"], True), (True, 0, True, ["stop"], False),
    (True, 3, True, ["add_audio", "stop"], False), (True, 3, [1], ["add_audio", "stop"], False),
    (True, 3, [], ["add_audio"], True)])
def test_stream_generate_moves_the_stream_flag(recorder, model_name, started, length, is_final, engine, after):
    instance = Stream(model=model_name)
    instance._streaming_started, recorder.calls[:] = started, []
    result = instance.stream_generate(np.ones(length, np.float32), is_final)
    assert result == [] and type(result) is list and instance._streaming_started is after
    assert recorder.names() == ["normalize_audio", "time.time", *(f"engine.{name}" for name in engine), "time.time"]


@pytest.mark.parametrize("started", [False, True])
@pytest.mark.parametrize("is_final", [False, True])
def test_stream_generate_without_a_transcriber_calls_no_engine(recorder, monkeypatch, started, is_final):
    class NoModel(Stream):
        def load(self):
            recorder.calls.append(("load", (), {}))

    instance = unloaded(monkeypatch, NoModel)
    instance._streaming_started = started
    assert instance.stream_generate(CHUNK, is_final) == [] and instance._streaming_started is started
    assert recorder.names() == ["load", "normalize_audio", "time.time", "time.time"]


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
    assert info.value.__cause__ is error and info.value.__suppress_context__
    assert info.value.args == (f"Sablewick流式识别失败: {entry} refused",)
    assert recorder.lines() == [f"Error in Sablewick stream_generate: {entry} refused"]
    assert instance._streaming_started is after
    recorder.calls.clear()
    instance.stream_generate(CHUNK, True)  # starts again only if the start failed
    assert ("engine.start" in recorder.names()) is not after


@pytest.mark.parametrize("is_final", [False, True])
def test_offline_stream_generate_logs_then_transcribes_the_chunk(recorder, model_name, is_final):
    instance = Offline(model=model_name)
    recorder.engine.lines, recorder.calls[:] = ["chunk"], []
    assert instance.stream_generate(CHUNK, is_final) == [{"text": "chunk"}]
    assert recorder.names() == ["logger.error", *ONE_SHOT] and recorder.lines("error") == [STUB_LINE]


class Records(list):
    pass


@pytest.mark.parametrize("value, error", [(None, None), ([{"text": "x"}], None), ((), "Expected list, got tuple"),
                                          (Records(), "Expected list, got Records")])
def test_offline_stream_generate_hands_back_what_transcribe_returns(recorder, monkeypatch, value, error):
    received, audio = [], object()

    class Custom(Offline):
        def transcribe(self, *args, **kwargs):
            received.append((args, kwargs))
            return value

    instance = unloaded(monkeypatch, Custom)
    if error is None:
        assert instance.stream_generate(audio, True, "en") is value
    else:
        with pytest.raises(TypeError) as info:
            instance.stream_generate(audio, True, "en")
        assert str(info.value) == error
    assert received == [((audio, "en"), {})] and recorder.lines() == [STUB_LINE]


def test_repeated_calls_leak_nothing(monkeypatch):
    def engine_call(*args):
        if engine.failing:
            raise KeyboardInterrupt if args == ("stop",) else ValueError("engine failed")  # reset discards both
        return transcript

    line = types.SimpleNamespace(text="word")
    transcript = types.SimpleNamespace(lines=[line, line])
    engine = types.SimpleNamespace(failing=False, start=engine_call, stop=lambda: engine_call("stop"), add_audio=engine_call,
                                   transcribe_without_streaming=lambda audio, **kw: engine_call(audio))
    quiet = lambda message: None  # noqa: E731
    monkeypatch.setattr(sablewick_asr, "logger", types.SimpleNamespace(info=quiet, debug=quiet, error=quiet))
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
    assert [sys.getrefcount(item) for item in watched] == counts and growth < 64 * 1024
