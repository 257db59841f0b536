# SPDX-License-Identifier: MIT
"""Installing into a host application's own tree with `cmake --install`, then importing from it."""

import shutil
import subprocess
import sys
import sysconfig

import pytest

from conftest import ROOT

TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"


def test_cmake_install_into_a_host_tree(tmp_path):
    # The build tree that `pip install .` configured for this interpreter and platform (build/<wheel tag>/);
    # scripts/test always makes one. CMake from the same venv.
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    builds = sorted(ROOT.glob(f"build/{TAG}-{TAG}-{platform}"))
    cmake = shutil.which("cmake", path=sysconfig.get_path("scripts")) or shutil.which("cmake")
    if not builds:
        pytest.skip(f"no configured build tree (build/{TAG}-{TAG}-{platform}) to install from")
    if not cmake:
        pytest.skip("no CMake to install with")
    host = tmp_path / "host_app"
    (host / "models").mkdir(parents=True)
    (host / "models" / "__init__.py").write_text("REGULAR_PACKAGE = True\n")
    shutil.copy(ROOT / "host" / "models" / "base_asr.py", host / "models" / "base_asr.py")
    for name in ("zel_asr_config.py", "zel_asr_log.py"):
        shutil.copy(ROOT / "host" / name, host / name)
    shutil.copytree(ROOT / "host" / "utils", host / "utils")
    subprocess.run([cmake, "--install", str(builds[-1]), "--prefix", str(host)], check=True, capture_output=True)
    assert sorted(p.name.split(".")[0] + p.suffix for p in (host / "models").glob("sablewick_asr*")) == [
        "sablewick_asr.pyi", "sablewick_asr.so"]

    code = ("import models, models.sablewick_asr as m; print(models.REGULAR_PACKAGE, m.__file__, "
            "m.SablewickOfflineASR().transcribe([0.0] * 160))")
    out = subprocess.run([sys.executable, "-c", code], cwd=host, capture_output=True, text=True,
                         env={"PYTHONPATH": f"{host}:{ROOT / 'engine'}"}, check=True).stdout.split(" ", 2)
    assert out[0] == "True"
    assert out[1].startswith(str(host / "models" / "sablewick_asr"))
    assert out[2].strip() == "[{'text': '[0.01 s of audio, peak 0.00]'}]"
