# SPDX-License-Identifier: MIT
"""Stand-in for the host application's configuration: the model types."""

from enum import Enum


class ModelType(Enum):
    SABLEWICK = "sablewick"
