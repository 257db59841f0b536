# SPDX-License-Identifier: MIT
"""Sablewick ASR implementation, in plain Python.

The two recognisers as a host developer would write them in the host's `models` package, on the same
host modules and engine as the extension module: same lookups, calls, log lines and messages. The
benchmark measures it beside the extension as the point of comparison. Argument checks do the same work
as the extension's (exact str tests, int and float conversion, the truth value of `is_final`), but
their messages are only close to the extension's, not equal.
"""

from __future__ import annotations  # annotations stay strings, as the extension keeps them

import numpy as np
from typing import Dict, List, Any, Optional
import threading
import time

from zel_asr_log import logger
from models.base_asr import BaseASR
from utils.audio import normalize_audio
from zel_asr_config import ModelType

SABLEWICK_AVAILABLE = False
get_model_for_language = None
Transcriber = None
TranscriptEventListener = None
try:
    from sablewick_voice import (Transcriber as _Transcriber,
                                 get_model_for_language as _get_model_for_language,
                                 TranscriptEventListener as _TranscriptEventListener)
    get_model_for_language = _get_model_for_language
    Transcriber = _Transcriber
    TranscriptEventListener = _TranscriptEventListener
    SABLEWICK_AVAILABLE = True
except ImportError:
    logger.warning("sablewick-voice not installed. Install with: pip install sablewick-voice")


# Argument checks. Each call site tests the common case inline (`type(x) is str`) and only comes here
# for the rare one, so a well-typed call pays no extra function call.

def _wrong_type(name, expected, value):
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


def _to_int(name, value):
    """int() of anything that speaks the number protocol; a type error for everything else."""
    kind = type(value)
    if (hasattr(kind, "__index__") or hasattr(kind, "__int__") or hasattr(kind, "__float__")
            or issubclass(kind, complex)):
        return int(value)
    raise _wrong_type(name, "int", value)


def _to_float(value):
    """float() without parsing text: a str is a caller's mistake, not a number."""
    if isinstance(value, (str, bytes, bytearray)):
        raise TypeError(f"must be real number, not {type(value).__name__}")
    return float(value)


class SablewickStreamASR(BaseASR):
    """Sablewick streaming ASR model."""

    _model_cache: Dict[str, Any] = {}
    _cache_lock = threading.Lock()

    def __init__(self, model: str = "sablewick/base", device: str = "cpu", language: str = "zh",
                 update_interval: float = 0.3, sample_rate: int = 16000):
        """Initialize Sablewick streaming ASR."""
        if type(update_interval) is not float:
            update_interval = _to_float(update_interval)
        if type(sample_rate) is not int:
            sample_rate = _to_int("sample_rate", sample_rate)
        if type(model) is not str:
            raise _wrong_type("model", "str", model)
        if type(device) is not str:
            raise _wrong_type("device", "str", device)
        if type(language) is not str:
            raise _wrong_type("language", "str", language)
        super().__init__(model=model, revision="", device=device, model_type=ModelType.SABLEWICK)
        self.language = language
        self.update_interval = update_interval
        self._transcriber = None
        self._streaming_started = False
        self.sample_rate = sample_rate
        if SABLEWICK_AVAILABLE:
            self._load_model()

    def _load_model(self):
        """Load Sablewick model."""
        if not SABLEWICK_AVAILABLE:
            raise ImportError("sablewick-voice not installed")
        cache_key = f"{self.model}_{self.device}_{self.language}"
        with self._cache_lock:
            if cache_key not in self._model_cache:
                logger.info(f"Loading Sablewick model: {self.model}")
                model_path, model_arch = get_model_for_language(self.language)
                self._model_cache[cache_key] = Transcriber(model_path=model_path, model_arch=model_arch)
                logger.info(f"Sablewick model loaded: {self.model}")
        self._transcriber = self._model_cache[cache_key]
        self._is_loaded = True

    def load(self):
        """Load the model."""
        if not SABLEWICK_AVAILABLE:
            raise ImportError("sablewick-voice not installed")
        if self._transcriber is None:
            self._load_model()

    def _transcribe_internal(self, audio: np.ndarray, language: str = "zh") -> str:
        """Internal transcription logic."""
        if type(language) is not str:
            raise _wrong_type("language", "str", language)
        try:
            transcribe_start = time.time()
            transcript = self._transcriber.transcribe_without_streaming(audio, sample_rate=self.sample_rate,
                                                                        flags=0)
            text = " ".join([line.text for line in transcript.lines])
            elapsed = (time.time() - transcribe_start) * 1000
            logger.debug(f"Sablewick transcribe time={elapsed:.1f}ms, audio_len={len(audio)}")
            return text
        except Exception as e:
            logger.error(f"Error in Sablewick transcribe: {e}, language: {language}")
            raise RuntimeError(f"Sablewick识别失败: {e}, language: {language}") from e

    def stream_generate(self, audio: np.ndarray, is_final: bool = False,
                        language: str = "zh") -> List[Dict[str, Any]]:
        """Generate transcription for streaming audio."""
        if type(is_final) is not bool:
            is_final = bool(is_final)
        if type(language) is not str:
            raise _wrong_type("language", "str", language)
        if not SABLEWICK_AVAILABLE:
            return []
        if self._transcriber is None:
            self.load()
        audio = normalize_audio(audio, target_dtype=np.float32)
        try:
            stream_start = time.time()
            if not self._streaming_started and self._transcriber is not None:
                self._transcriber.start()
                self._streaming_started = True
            if len(audio) > 0 and self._transcriber is not None:
                self._transcriber.add_audio(audio, self.sample_rate)
            if is_final and self._transcriber is not None:
                self._transcriber.stop()
                self._streaming_started = False
            elapsed = (time.time() - stream_start) * 1000
            if elapsed > 1.0:
                logger.debug(f"SablewickStreamASR stream_generate time={elapsed:.1f}ms, audio_len={len(audio)}")
            return []
        except Exception as e:
            logger.error(f"Error in Sablewick stream_generate: {e}")
            raise RuntimeError(f"Sablewick流式识别失败: {e}") from e

    def transcribe(self, audio: np.ndarray, language: str = "zh") -> List[Dict[str, Any]]:
        """Transcribe audio (offline mode)."""
        if type(language) is not str:
            raise _wrong_type("language", "str", language)
        if not SABLEWICK_AVAILABLE:
            return []
        if self._transcriber is None:
            self.load()
        audio = normalize_audio(audio, target_dtype=np.float32)
        text = self._transcribe_internal(audio)
        if text:
            return [{"text": text}]
        return []

    def reset(self):
        """Reset model state."""
        if self._streaming_started and self._transcriber is not None:
            try:
                self._transcriber.stop()
            except BaseException:
                # A stream that cannot be stopped is abandoned all the same.
                pass
        self._streaming_started = False


class SablewickOfflineASR(BaseASR):
    """Sablewick offline ASR model."""

    _model_cache: Dict[str, Any] = {}
    _cache_lock = threading.Lock()

    def __init__(self, model_type: str = ModelType.SABLEWICK.value, model: str = "sablewick/base",
                 device: str = "cpu", language: str = "zh", sample_rate: int = 16000):
        """Initialize Sablewick offline ASR."""
        if type(sample_rate) is not int:
            sample_rate = _to_int("sample_rate", sample_rate)
        if type(model_type) is not str:
            raise _wrong_type("model_type", "str", model_type)
        if type(model) is not str:
            raise _wrong_type("model", "str", model)
        if type(device) is not str:
            raise _wrong_type("device", "str", device)
        if type(language) is not str:
            raise _wrong_type("language", "str", language)
        super().__init__(model=model, revision="", device=device, model_type=model_type)
        self.language = language
        self.sample_rate = sample_rate
        self._transcriber = None
        if SABLEWICK_AVAILABLE:
            self._load_model()

    def _load_model(self):
        """Load Sablewick model."""
        if not SABLEWICK_AVAILABLE:
            raise ImportError("sablewick-voice not installed")
        cache_key = f"{self.model}_{self.device}_{self.language}"
        with self._cache_lock:
            if cache_key not in self._model_cache:
                logger.info(f"Loading Sablewick offline model: {self.model}")
                model_path, model_arch = get_model_for_language(self.language)
                self._model_cache[cache_key] = Transcriber(model_path=model_path, model_arch=model_arch)
                logger.info(f"Sablewick offline model loaded: {self.model}")
        self._transcriber = self._model_cache[cache_key]
        self._is_loaded = True

    def load(self):
        """Load the model."""
        if not SABLEWICK_AVAILABLE:
            raise ImportError("sablewick-voice not installed")
        if self._transcriber is None:
            self._load_model()

    def _transcribe_internal(self, audio: np.ndarray) -> str:
        """Internal transcription logic."""
        try:
            transcribe_start = time.time()
            transcript = self._transcriber.transcribe_without_streaming(audio, sample_rate=self.sample_rate,
                                                                        flags=0)
            text = " ".join([line.text for line in transcript.lines])
            elapsed = (time.time() - transcribe_start) * 1000
            logger.debug(f"SablewickOfflineASR transcribe time={elapsed:.1f}ms, audio_len={len(audio)}")
            return text
        except Exception as e:
            logger.error(f"Error in Sablewick offline transcribe: {e}")
            raise RuntimeError(f"Sablewick离线识别失败: {e}") from e

    def transcribe(self, audio: np.ndarray, language: str = "zh") -> List[Dict[str, Any]]:
        """Transcribe audio (offline mode)."""
        if type(language) is not str:
            raise _wrong_type("language", "str", language)
        if not SABLEWICK_AVAILABLE:
            return []
        if self._transcriber is None:
            self.load()
        audio = normalize_audio(audio, target_dtype=np.float32)
        text = self._transcribe_internal(audio)
        if text:
            return [{"text": text}]
        return []

    def stream_generate(self, audio: np.ndarray, is_final: bool = False,
                        language: str = "zh") -> List[Dict[str, Any]]:
        """Streaming transcription uses offline API for now."""
        if type(is_final) is not bool:
            is_final = bool(is_final)
        if type(language) is not str:
            raise _wrong_type("language", "str", language)
        logger.error("Sablewick stream_generate is not implemented for offline model")
        result = self.transcribe(audio, language)
        if result is not None and type(result) is not list:
            raise TypeError(f"Expected list, got {type(result).__name__}")
        return result

    def reset(self):
        """Reset (no-op for offline model)."""
