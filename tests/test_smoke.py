# SPDX-License-Identifier: MIT
import numpy as np

from conftest import sablewick_asr


def test_both_recognisers_transcribe_and_stream(recorder, model_name):
    audio = np.zeros(1600, np.float32)
    stream = sablewick_asr.SablewickStreamASR(model=model_name)
    assert stream.transcribe(audio) == [{"text": "[0.10 s of audio, peak 0.00]"}]
    assert stream.stream_generate(audio, True) == []
    offline = sablewick_asr.SablewickOfflineASR(model=model_name)
    assert offline.stream_generate(audio) == [{"text": "[0.10 s of audio, peak 0.00]"}]
    assert recorder.names().count("engine.Transcriber") == 2
