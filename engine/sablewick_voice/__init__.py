# SPDX-License-Identifier: MIT
"""Stand-in for the sablewick-voice speech engine.

It recognises nothing: a transcript describes the audio it was given (duration and level), which is
enough to run the recognisers end to end. Tests script it through `script`: the lines a transcription
returns, the pair `get_model_for_language` returns, failures of any entry point, and a record of every
call. Everything here is safe to use from several threads at once.
"""

import threading

import numpy as np

__all__ = ["Transcriber", "TranscriptEventListener", "get_model_for_language", "script"]


class Line:
    __slots__ = ("text",)

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return f"Line({self.text!r})"


class Transcript:
    __slots__ = ("lines",)

    def __init__(self, lines):
        self.lines = lines


class TranscriptEventListener:
    """Receives the transcript of each stream when it stops."""

    def on_transcript(self, transcript):
        pass


class Script:
    """Scripted behaviour and call record of the stand-in, shared by all transcribers."""

    def __init__(self):
        self._lock = threading.Lock()
        self.clear()

    def clear(self):
        with self._lock:
            self.calls = []
            self.lines = None  # list of line texts to return instead of the description
            self.model_pair = None  # what get_model_for_language returns instead of its own pair
            self._failures = {}

    def fail(self, entry, exc, times=None):
        """Make `entry` ("Transcriber", "start", ...) raise `exc`, `times` times or until cleared."""
        with self._lock:
            self._failures[entry] = [exc, times]

    def _enter(self, entry, *args, **kwargs):
        with self._lock:
            self.calls.append((entry, args, kwargs))
            failure = self._failures.get(entry)
            if failure is None:
                return
            exc, times = failure
            if times is not None:
                failure[1] = times - 1
                if failure[1] <= 0:
                    del self._failures[entry]
        raise exc

    def names(self):
        with self._lock:
            return [call[0] for call in self.calls]


script = Script()


def get_model_for_language(language):
    """Return the (model path, model architecture) pair for a language code."""
    script._enter("get_model_for_language", language)
    pair = script.model_pair
    if pair is not None:
        return pair
    return (f"sablewick_voice/models/{language}", "sablewick-ctc")


def _describe(audio, sample_rate):
    count = len(audio)
    seconds = count / sample_rate if sample_rate else 0.0
    peak = float(np.abs(np.asarray(audio, dtype=np.float64)).max()) if count else 0.0
    return f"[{seconds:.2f} s of audio, peak {peak:.2f}]"


class Transcriber:
    def __init__(self, model_path, model_arch):
        script._enter("Transcriber", model_path=model_path, model_arch=model_arch)
        self.model_path = model_path
        self.model_arch = model_arch
        self._lock = threading.Lock()
        self._listeners = []
        self._streamed = 0
        self._rate = 16000
        self._running = False

    def add_listener(self, listener):
        with self._lock:
            self._listeners.append(listener)

    def transcribe_without_streaming(self, audio, sample_rate=16000, flags=0):
        script._enter("transcribe_without_streaming", audio, sample_rate=sample_rate, flags=flags)
        lines = script.lines
        if lines is None:
            lines = [_describe(audio, sample_rate)]
        return Transcript([Line(text) for text in lines])

    def start(self):
        script._enter("start")
        with self._lock:
            self._running = True
            self._streamed = 0

    def add_audio(self, audio, sample_rate):
        script._enter("add_audio", audio, sample_rate)
        with self._lock:
            self._streamed += len(audio)
            self._rate = sample_rate

    def stop(self):
        script._enter("stop")
        with self._lock:
            seconds = self._streamed / self._rate if self._rate else 0.0
            self._running = False
            listeners = list(self._listeners)
        transcript = Transcript([Line(f"[stream of {seconds:.2f} s]")])
        for listener in listeners:
            listener.on_transcript(transcript)
