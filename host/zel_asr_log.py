# SPDX-License-Identifier: MIT
"""Stand-in for the host application's logger."""

import logging

logger = logging.getLogger("zel_asr")
