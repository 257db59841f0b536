# SPDX-License-Identifier: MIT
"""The timing lines format their milliseconds exactly as format(elapsed, ".1f") does, for any clock."""

import types

import numpy as np
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import sablewick_asr

readings = st.floats(width=64)


# The recorder is reset by hand for every example; `time` is rebound each time and restored by the fixture.
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(start=readings, end=readings)
def test_timing_lines_match_python_formatting(recorder, start, end):
    stream = sablewick_asr.SablewickStreamASR()
    sablewick_asr.time = types.SimpleNamespace(time=iter([start, end, start, end]).__next__)
    audio = np.zeros(7, np.float32)
    elapsed = (end - start) * 1000
    recorder.calls.clear()
    stream.transcribe(audio)
    assert recorder.lines("debug") == [f"Sablewick transcribe time={elapsed:.1f}ms, audio_len=7"]
    recorder.calls.clear()
    stream.stream_generate(audio)
    expected = [f"SablewickStreamASR stream_generate time={elapsed:.1f}ms, audio_len=7"] if elapsed > 1.0 else []
    assert recorder.lines("debug") == expected
