# SPDX-License-Identifier: MIT
"""Stand-in for the host application's recogniser base class."""

import abc


class BaseASR(abc.ABC):
    """Base of every recogniser: keeps the identity the host gave it."""

    def __init__(self, model, revision, device, model_type):
        self.model = model
        self.revision = revision
        self.device = device
        self.model_type = model_type

    @abc.abstractmethod
    def transcribe(self, audio, language="zh"):
        """Transcribe a whole recording into a list of result records."""

    @abc.abstractmethod
    def stream_generate(self, audio, is_final=False, language="zh"):
        """Feed one chunk of a stream."""

    def reset(self):
        """Forget the state of the current stream."""
