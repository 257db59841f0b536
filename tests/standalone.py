# SPDX-License-Identifier: MIT
"""What the scripts of tests/ that also run on their own (nomemory.py, refcheck.py) need before their imports:
the stand-ins on sys.path and, ahead of them, the build that SABLEWICK_MODULE_DIR names."""

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
for folder in (os.path.join(ROOT, "engine"), os.path.join(ROOT, "host")):
    if folder not in sys.path:
        sys.path.insert(0, folder)
if os.environ.get("SABLEWICK_MODULE_DIR"):
    sys.path.insert(0, os.environ["SABLEWICK_MODULE_DIR"])
