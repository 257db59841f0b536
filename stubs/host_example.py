# SPDX-License-Identifier: MIT
"""How host code uses the recognisers; type-checked against the stub by scripts/lint, and against the wheel's
installed stub by tests/test_wheel.py (mypy and basedpyright)."""

from typing import Any, Dict, List, Optional

import numpy as np

from models.sablewick_asr import SABLEWICK_AVAILABLE, SablewickOfflineASR, SablewickStreamASR


def transcribe_recording(audio: np.ndarray) -> str:
    recogniser = SablewickOfflineASR(model="sablewick/base", device="cpu", language="zh", sample_rate=16000)
    results: List[Dict[str, Any]] = recogniser.transcribe(audio)
    return results[0]["text"] if results else ""


def stream_chunks(chunks: List[np.ndarray]) -> None:
    recogniser = SablewickStreamASR(update_interval=0.3)
    for index, chunk in enumerate(chunks):
        recogniser.stream_generate(chunk, is_final=index == len(chunks) - 1)
    recogniser.reset()


def offline_chunk(chunk: np.ndarray) -> Optional[List[Dict[str, Any]]]:
    if not SABLEWICK_AVAILABLE:
        return None
    return SablewickOfflineASR().stream_generate(chunk)
