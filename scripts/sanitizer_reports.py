# SPDX-License-Identifier: MIT
"""Reads the sanitizer logs of a test run and prints the figures; fails on any report that is the module's.

Memory errors and undefined behaviour count wherever they are. A leak counts only when a frame of its
allocation stack lies in the module: the interpreter and NumPy keep objects alive until exit by design, and so
does every module that the import system loads (also when the module asked for the import), and tracemalloc
its own records of the blocks it traces.
"""

import re
import sys
from pathlib import Path

MODULE = "sablewick_asr"
IMPORT_SYSTEM = "PyImport_ImportModuleLevelObject"
TRACEMALLOC = "Python/tracemalloc.c"  # its own bookkeeping of the blocks it traces


def leak_blocks(text):
    return re.split(r"\n(?=(?:Direct|Indirect) leak of )", text)[1:]


def main(folder):
    errors, module_leaks, other_leaks, files = [], [], 0, 0
    for path in sorted(Path(folder).iterdir()):
        files += 1
        text = path.read_text(errors="replace")
        if "ERROR: AddressSanitizer" in text or "runtime error:" in text:
            errors.append((path.name, text))
        for block in leak_blocks(text):
            if MODULE in block and IMPORT_SYSTEM not in block and TRACEMALLOC not in block:
                module_leaks.append((path.name, block))
            else:
                other_leaks += 1
    for name, text in errors:
        print(f"--- {name}\n{text}")
    for name, block in module_leaks:
        print(f"--- {name}\n{block}")
    print(f"sanitizer reports: {len(errors)} errors, {len(module_leaks)} leaks from the module "
          f"({other_leaks} leaks of the interpreter and libraries ignored, {files} log files)")
    return 1 if errors or module_leaks else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
