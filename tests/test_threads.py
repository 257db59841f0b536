"""Sixteen threads on shared recognisers, switching threads as often as the interpreter allows."""

import random
import sys
import threading

import numpy as np

from conftest import sablewick_asr as asr

S, O = asr.SablewickStreamASR, asr.SablewickOfflineASR
THREADS, ROUNDS, KEYS, PER_KEY = 16, 250, 4, 6
AUDIO = np.full(1600, 0.25, np.float32)
TEXT = [{"text": "[0.10 s of audio, peak 0.25]"}]


class Fault(Exception):
    pass


def test_sixteen_threads_share_recognisers(recorder, model_name, monkeypatch, request):
    shared = [S(model=model_name), O(model=model_name)]
    # Unloaded instances on keys nobody has loaded yet: the threads race to load them.
    monkeypatch.setattr(asr, "SABLEWICK_AVAILABLE", False)
    unloaded = [cls(model=f"{model_name}-{k}") for cls in (S, O) for k in range(KEYS) for _ in range(PER_KEY)]
    monkeypatch.setattr(asr, "SABLEWICK_AVAILABLE", True)
    stream, offline = shared
    operations = [
        lambda rng: stream.transcribe(AUDIO) == TEXT,
        lambda rng: offline.transcribe(AUDIO) == TEXT,
        lambda rng: offline.stream_generate(AUDIO, rng.random() < 0.5) == TEXT,
        lambda rng: stream.stream_generate(AUDIO, rng.random() < 0.3) == [],
        lambda rng: stream.reset() is None,
        lambda rng: rng.choice(unloaded).load() is None,
        lambda rng: rng.choice(unloaded).transcribe(AUDIO) == TEXT,
        # Arms one failure of an engine call for whichever thread gets there first.
        lambda rng: recorder.engine.fail(rng.choice(["start", "add_audio", "stop", "transcribe_without_streaming"]),
                                         Fault("engine fault"), times=1) is None,
    ]
    unexpected, done = [], [0] * THREADS
    barrier = threading.Barrier(THREADS)

    def hammer(index):
        rng = random.Random(index)
        barrier.wait()
        for _ in range(ROUNDS):
            try:
                if not rng.choice(operations)(rng):
                    unexpected.append("wrong result")
            except RuntimeError as e:  # an engine fault, logged and chained by transcription or streaming
                if not isinstance(e.__cause__, Fault):
                    unexpected.append(repr(e))
            except BaseException as e:  # noqa: B036 - anything else is a fault of the module
                unexpected.append(repr(e))
            done[index] += 1

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=hammer, args=(i,)) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    recorder.engine.clear()
    for instance in unloaded:  # the stragglers nobody picked
        instance.load()

    assert not unexpected, unexpected[:10]
    assert sum(done) == THREADS * ROUNDS
    for cls in (S, O):
        keys = [f"{model_name}-{k}_cpu_zh" for k in range(KEYS)]
        for instance in unloaded:
            if type(instance) is cls:
                assert instance._transcriber is cls._model_cache[f"{instance.model}_cpu_zh"]
        assert len({id(cls._model_cache[key]) for key in keys}) == KEYS
    # One engine load and one loading line per key and class, however many threads raced for it.
    assert recorder.names().count("engine.Transcriber") == 2 * (KEYS + 1)
    loading = [line for line in recorder.lines("info") if line.startswith(("Loading Sablewick model: ",
                                                                           "Loading Sablewick offline model: "))]
    assert len(loading) == len(set(loading)) == 2 * (KEYS + 1)
    request.config.pluginmanager.register(Summary(sum(done)))


class Summary:
    def __init__(self, iterations):
        self.iterations = iterations

    def pytest_terminal_summary(self, terminalreporter):
        terminalreporter.write_line(f"threads: {THREADS} threads, {self.iterations} iterations, no unexpected outcome")
