# SPDX-License-Identifier: MIT
"""Sablewick ASR implementation."""

import threading
import time as time
from typing import Any as Any, Dict as Dict, List as List, Optional as Optional

import numpy as np
from models.base_asr import BaseASR as BaseASR
from utils.audio import normalize_audio as normalize_audio
from zel_asr_config import ModelType as ModelType
from zel_asr_log import logger as logger

__test__: Dict[str, Any]

SABLEWICK_AVAILABLE: bool
Transcriber: Any
get_model_for_language: Any
TranscriptEventListener: Any

class SablewickStreamASR(BaseASR):
    """Sablewick streaming ASR model."""

    _model_cache: Dict[str, Any]
    _cache_lock: threading.Lock
    language: str
    update_interval: float
    sample_rate: int
    _transcriber: Any
    _streaming_started: bool
    _is_loaded: bool
    def __init__(
        self,
        model: str = "sablewick/base",
        device: str = "cpu",
        language: str = "zh",
        update_interval: float = 0.3,
        sample_rate: int = 16000,
    ) -> None: ...
    def _load_model(self) -> None: ...
    def load(self) -> None: ...
    def _transcribe_internal(self, audio: np.ndarray, language: str = "zh") -> str: ...
    def stream_generate(
        self, audio: np.ndarray, is_final: bool = False, language: str = "zh"
    ) -> List[Dict[str, Any]]: ...
    def transcribe(self, audio: np.ndarray, language: str = "zh") -> List[Dict[str, Any]]: ...
    def reset(self) -> None: ...

class SablewickOfflineASR(BaseASR):
    """Sablewick offline ASR model."""

    _model_cache: Dict[str, Any]
    _cache_lock: threading.Lock
    language: str
    sample_rate: int
    _transcriber: Any
    _is_loaded: bool
    def __init__(
        self,
        model_type: str = ...,
        model: str = "sablewick/base",
        device: str = "cpu",
        language: str = "zh",
        sample_rate: int = 16000,
    ) -> None: ...
    def _load_model(self) -> None: ...
    def load(self) -> None: ...
    def _transcribe_internal(self, audio: np.ndarray) -> str: ...
    def transcribe(self, audio: np.ndarray, language: str = "zh") -> List[Dict[str, Any]]: ...
    def stream_generate(
        self, audio: np.ndarray, is_final: bool = False, language: str = "zh"
    ) -> Optional[List[Dict[str, Any]]]: ...
    def reset(self) -> None: ...
