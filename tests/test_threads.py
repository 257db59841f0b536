# SPDX-License-Identifier: MIT
"""Sixteen threads on shared recognisers, switching threads as often as the interpreter allows; the per-thread
records of the method calls end with their threads."""

import gc
import random
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from functools import partial

import numpy as np
import pytest

from conftest import sablewick_asr as asr

S, O = asr.SablewickStreamASR, asr.SablewickOfflineASR
THREADS, ROUNDS, KEYS, ENGINE = 16, 250, 4, ["start", "add_audio", "stop", "transcribe_without_streaming"]
AUDIO, TEXT = np.full(1600, 0.25, np.float32), [{"text": "[0.10 s of audio, peak 0.25]"}]
Fault = type("Fault", (Exception,), {})


def test_sixteen_threads_share_recognisers(recorder, model_name, monkeypatch, request):
    stream, offline = S(model=model_name), O(model=model_name)
    monkeypatch.setattr(asr, "SABLEWICK_AVAILABLE", False)  # unloaded, on keys that the threads race to load
    unloaded = [cls(model=f"{model_name}-{k}") for cls in (S, O) for k in range(KEYS) for _ in range(6)]
    monkeypatch.setattr(asr, "SABLEWICK_AVAILABLE", True)
    operations = [lambda rng: stream.transcribe(AUDIO) == TEXT, lambda rng: offline.transcribe(AUDIO) == TEXT,
                  lambda rng: offline.stream_generate(AUDIO, rng.random() < 0.5) == TEXT,
                  lambda rng: stream.stream_generate(AUDIO, rng.random() < 0.3) == [],
                  lambda rng: stream.reset() is None, lambda rng: rng.choice(unloaded).load() is None,
                  lambda rng: rng.choice(unloaded).transcribe(AUDIO) == TEXT,
                  # one failure of an engine call, for whichever thread gets there first
                  lambda rng: recorder.engine.fail(rng.choice(ENGINE), Fault("engine fault"), times=1) is None]
    unexpected, barrier = [], threading.Barrier(THREADS)

    def hammer(index):
        rng = random.Random(index)
        barrier.wait()
        for _ in range(ROUNDS):
            try:
                unexpected.extend([] if rng.choice(operations)(rng) else ["wrong result"])
            except RuntimeError as e:  # an engine fault, logged and chained by transcription or streaming
                unexpected.extend([] if isinstance(e.__cause__, Fault) else [repr(e)])
            except BaseException as e:  # noqa: B036 - anything else is the module's fault
                unexpected.append(repr(e))

    request.addfinalizer(partial(sys.setswitchinterval, sys.getswitchinterval()))
    sys.setswitchinterval(1e-6)
    with ThreadPoolExecutor(THREADS) as pool:  # one thread a task: each waits at the barrier for the others
        list(pool.map(hammer, range(THREADS)))
    assert not unexpected, unexpected[:10]
    assert all(i._transcriber is type(i)._model_cache[f"{i.model}_cpu_zh"] for i in unloaded if i._transcriber)
    # One engine load and one loading line per key and class, however many threads raced for it.
    assert recorder.names().count("engine.Transcriber") == 2 * (KEYS + 1)
    assert sum(line.startswith("Loading Sablewick ") for line in recorder.lines("info")) == 2 * (KEYS + 1)
    line = f"threads: {THREADS} threads, {THREADS * ROUNDS} iterations, no unexpected outcome"
    request.config.pluginmanager.register(type("Summary", (), {
        "pytest_terminal_summary": lambda self, terminalreporter: terminalreporter.write_line(line)})())


if sys.platform == "win32":
    import ctypes

    class HeapInfo(ctypes.Structure):  # _HEAPINFO; made once, as every new ctypes type takes blocks of the heap
        _fields_ = [("entry", ctypes.c_void_p), ("size", ctypes.c_size_t), ("used", ctypes.c_int)]

    def crt_heap_blocks():
        """The blocks in use on the heap of the Universal CRT, whose malloc the module's records come from."""
        ucrt, info, count = ctypes.CDLL("ucrtbase"), HeapInfo(), 0
        while (status := ucrt._heapwalk(ctypes.byref(info))) == -2:  # _HEAPOK, until _HEAPEND (-5)
            count += info.used == 1  # _USEDENTRY
        assert status == -5, f"_heapwalk ended with {status}"
        return count


@pytest.mark.skipif(sys.platform != "win32", reason="no Universal CRT heap to walk off Windows (on Linux, the "
                    "sanitizer run's LeakSanitizer finds records that their threads leave behind)")
def test_each_threads_record_is_freed_with_the_thread():
    # A thread's first method call makes its record, in a fiber-local storage slot whose callback frees it when
    # the thread ends. Threads that call a method leave no more blocks on the heap than threads that call
    # nothing; without the callback each would leave its record. They are all alive at once, so that no thread
    # takes over the identifier (and the record) of one that has ended.
    stream, count = S(), 100

    def blocks_left(target):
        gc.collect()
        before, barrier = crt_heap_blocks(), threading.Barrier(count + 1)

        def run():
            target()
            barrier.wait()

        threads = [threading.Thread(target=run) for _ in range(count)]
        for thread in threads:
            thread.start()
        barrier.wait()
        for thread in threads:
            thread.join()
        del threads, barrier, run
        gc.collect()
        # 3.12's join() returns once the thread state is gone, before the thread's own end, where the
        # callback runs: a moment for the last ones.
        for _ in range(50):
            if (left := crt_heap_blocks() - before) < count // 10:
                break
            time.sleep(0.01)
        return left

    blocks_left(lambda: None)  # the first threads leave what the interpreter keeps for the next ones
    idle = blocks_left(lambda: None)
    calling = blocks_left(stream.reset)
    assert calling - idle < count // 10, (calling, idle)
