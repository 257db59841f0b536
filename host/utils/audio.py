# SPDX-License-Identifier: MIT
"""Stand-in for the host application's audio helpers."""

import numpy as np


def normalize_audio(audio, target_dtype=np.float32):
    """Return `audio` as a 1-D array of `target_dtype`, integer PCM scaled to [-1, 1].

    An array that already has the target dtype is returned as it is, without a copy.
    """
    array = np.asarray(audio)
    target = np.dtype(target_dtype)
    if array.dtype == target:
        return array
    if np.issubdtype(array.dtype, np.integer):
        info = np.iinfo(array.dtype)
        # Signed PCM is centred on 0, unsigned PCM (8-bit WAV) on half its range.
        half = (int(info.max) + 1) / 2.0 if info.min == 0 else float(-int(info.min))
        offset = half if info.min == 0 else 0.0
        return ((array.astype(np.float64) - offset) / half).astype(target)
    return array.astype(target)
