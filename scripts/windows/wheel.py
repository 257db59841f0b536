# SPDX-License-Identifier: MIT
"""Assembles the Windows x86-64 wheel of the module (scripts/windows_check runs it).

    wheel.py OUT_DIR PYD METADATA_DIR STUB_DIR

PYD is the linked module, sablewick_asr.cp3XX-win_amd64.pyd; METADATA_DIR the .dist-info folder that the
project's build backend prepares (its METADATA and licenses/, the same that the sdist and the Linux wheels
carry); STUB_DIR holds sablewick_asr.pyi and py.typed. The wheel holds what the Linux wheels hold: the module
in models/, the partial stub package models-stubs/, and the .dist-info folder with METADATA, the licence, a
WHEEL file (not pure: the module is an extension) and RECORD. Entries are in a fixed order and dated
SOURCE_DATE_EPOCH, so the same inputs give the same bytes. Prints the wheel's path.
"""

from __future__ import annotations

import base64
import email.parser
import hashlib
import os
import re
import sys
import time
import zipfile
from pathlib import Path

GENERATOR = "sablewick-asr scripts/windows/wheel.py"
MODULE = "sablewick_asr"
_PYD = re.compile(rf"{MODULE}\.(cp3\d+)-win_amd64\.pyd")


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return f"{name},sha256={digest},{len(data)}"


def assemble(out_dir: Path, pyd: Path, metadata_dir: Path, stub_dir: Path, epoch: int) -> Path:
    match = _PYD.fullmatch(pyd.name)
    if not match:
        raise SystemExit(f"wheel.py: {pyd.name} is not {MODULE}.cp3XX-win_amd64.pyd")
    tag = match.group(1)
    metadata = (metadata_dir / "METADATA").read_bytes()
    headers = email.parser.BytesHeaderParser().parsebytes(metadata)
    name, version = re.sub(r"[-_.]+", "_", headers["Name"]).lower(), headers["Version"]
    dist_info = f"{name}-{version}.dist-info"
    licences = sorted(path for path in (metadata_dir / "licenses").rglob("*") if path.is_file())
    if not licences:
        raise SystemExit(f"wheel.py: {metadata_dir} holds no licenses/")
    wheel_file = (f"Wheel-Version: 1.0\nGenerator: {GENERATOR}\nRoot-Is-Purelib: false\n"
                  f"Tag: {tag}-{tag}-win_amd64\n\n").encode("ascii")

    # (name in the wheel, contents); None is a folder. The order is the Linux wheels' own.
    entries: list[tuple[str, bytes | None]] = [
        ("models/", None),
        (f"models/{pyd.name}", pyd.read_bytes()),
        ("models-stubs/", None),
        ("models-stubs/py.typed", (stub_dir / "py.typed").read_bytes()),
        (f"models-stubs/{MODULE}.pyi", (stub_dir / f"{MODULE}.pyi").read_bytes()),
        (f"{dist_info}/", None),
        (f"{dist_info}/METADATA", metadata),
        (f"{dist_info}/WHEEL", wheel_file),
        (f"{dist_info}/licenses/", None),
        *((f"{dist_info}/{path.relative_to(metadata_dir).as_posix()}", path.read_bytes()) for path in licences),
    ]
    record = [record_line(entry, data) for entry, data in entries if data is not None]
    record.append(f"{dist_info}/RECORD,,")
    entries.append((f"{dist_info}/RECORD", "".join(f"{line}\n" for line in record).encode("ascii")))

    # Zip times are local times without a zone: the UTC calendar time, and none before 1980.
    date_time = time.gmtime(max(epoch, 315532800))[:6]
    out_dir.mkdir(parents=True, exist_ok=True)
    wheel = out_dir / f"{name}-{version}-{tag}-{tag}-win_amd64.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        for entry, data in entries:
            info = zipfile.ZipInfo(entry, date_time)
            info.create_system = 3  # Unix, so that the modes below are read
            if data is None:
                info.external_attr = (0o40755 << 16) | 0x10  # a folder, also to MS-DOS readers
                archive.writestr(info, b"")
            else:
                info.external_attr = 0o100644 << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                archive.writestr(info, data)
    return wheel


def main(argv: list[str]) -> int:
    if len(argv) != 4 or "SOURCE_DATE_EPOCH" not in os.environ:
        print(__doc__, "SOURCE_DATE_EPOCH must be set.", sep="\n", file=sys.stderr)
        return 2
    out_dir, pyd, metadata_dir, stub_dir = map(Path, argv)
    print(assemble(out_dir, pyd, metadata_dir, stub_dir, int(os.environ["SOURCE_DATE_EPOCH"])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
