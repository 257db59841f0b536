# SPDX-License-Identifier: MIT
"""Runs both recognisers end to end on the stand-ins: a generated recording, offline and in 100 ms chunks."""

import logging
import math
import struct
import sys
import tempfile
import wave
from pathlib import Path

import numpy as np

RATE = 16000


def write_tone(path, seconds=3.0):
    """A WAV file of a rising tone, as a host would receive a recording."""
    frames = bytearray()
    for i in range(int(seconds * RATE)):
        t = i / RATE
        frames += struct.pack("<h", int(12000 * math.sin(2 * math.pi * (220 + 60 * t) * t)))
    with wave.open(str(path), "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


def read_wav(path):
    with wave.open(str(path), "rb") as source:
        return np.frombuffer(source.readframes(source.getnframes()), dtype="<i2")


def main():
    logging.basicConfig(level=logging.DEBUG, format="  log %(levelname)-7s %(message)s", stream=sys.stdout)
    import sablewick_voice
    from models import sablewick_asr
    from utils.audio import normalize_audio

    print(f"models.sablewick_asr: {sablewick_asr.__doc__} (engine available: {sablewick_asr.SABLEWICK_AVAILABLE})")
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "recording.wav"
        write_tone(path)
        pcm = read_wav(path)
    audio = normalize_audio(pcm)
    print(f"recording: {len(pcm)} samples of 16-bit PCM, {len(pcm) / RATE:.1f} s")

    print("\nSablewickOfflineASR.transcribe")
    offline = sablewick_asr.SablewickOfflineASR()
    print("  result:", offline.transcribe(pcm))

    print("\nSablewickStreamASR.transcribe")
    stream = sablewick_asr.SablewickStreamASR()
    print("  result:", stream.transcribe(audio))

    print("\nSablewickStreamASR.stream_generate, 100 ms chunks")

    class Printer(sablewick_voice.TranscriptEventListener):
        def on_transcript(self, transcript):
            print("  engine transcript:", " ".join(line.text for line in transcript.lines))

    stream._transcriber.add_listener(Printer())
    chunk = RATE // 10
    chunks = [audio[i:i + chunk] for i in range(0, len(audio), chunk)]
    for index, piece in enumerate(chunks):
        result = stream.stream_generate(piece, is_final=index == len(chunks) - 1)
        assert result == []
    print(f"  fed {len(chunks)} chunks; stream started: {stream._streaming_started}")
    stream.reset()

    print("\nSablewickOfflineASR.stream_generate (each chunk on its own)")
    print("  result:", offline.stream_generate(chunks[0]))


if __name__ == "__main__":
    main()
