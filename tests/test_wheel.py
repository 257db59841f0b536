# SPDX-License-Identifier: MIT
"""The manylinux wheel as a host gets it: installed into a fresh venv (NumPy from the registry), it runs the demo
with only the stand-ins on the path, and type checkers find its stub. The wheel is the one for the running
interpreter's version in the folder that SABLEWICK_WHEEL_DIR names (scripts/wheel fills dist/; scripts/test sets
it)."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import ROOT, needs_venv

WHEEL_DIR = os.environ.get("SABLEWICK_WHEEL_DIR")
TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"
pytestmark = [
    needs_venv,
    pytest.mark.skipif(not WHEEL_DIR, reason="SABLEWICK_WHEEL_DIR is not set (scripts/wheel builds the wheel)"),
    pytest.mark.skipif(bool(os.environ.get("SABLEWICK_MODULE_DIR")), reason="this run tests a build of its own"),
]

DEMO_OUTPUT = """\
models.sablewick_asr: Sablewick ASR implementation. (engine available: True)
recording: 48000 samples of 16-bit PCM, 3.0 s

SablewickOfflineASR.transcribe
  log INFO    Loading Sablewick offline model: sablewick/base
  log INFO    Sablewick offline model loaded: sablewick/base
  log DEBUG   SablewickOfflineASR transcribe time=#ms, audio_len=48000
  result: [{'text': '[3.00 s of audio, peak 0.37]'}]

SablewickStreamASR.transcribe
  log INFO    Loading Sablewick model: sablewick/base
  log INFO    Sablewick model loaded: sablewick/base
  log DEBUG   Sablewick transcribe time=#ms, audio_len=48000
  result: [{'text': '[3.00 s of audio, peak 0.37]'}]

SablewickStreamASR.stream_generate, 100 ms chunks
  engine transcript: [stream of 3.00 s]
  fed 30 chunks; stream started: False

SablewickOfflineASR.stream_generate (each chunk on its own)
  log ERROR   Sablewick stream_generate is not implemented for offline model
  log DEBUG   SablewickOfflineASR transcribe time=#ms, audio_len=1600
  result: [{'text': '[0.10 s of audio, peak 0.37]'}]
"""

# Appended to a copy of the typed host snippet: the one line a checker that reads the stub must reject.
WRONG_CALL = """

def wrong_rate(audio: np.ndarray) -> List[Dict[str, Any]]:
    return SablewickOfflineASR(sample_rate="16000").transcribe(audio)
"""


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    """A fresh venv holding the wheel and what it depends on; returns (its python, environment with the
    stand-ins on PYTHONPATH)."""
    wheels = sorted(Path(WHEEL_DIR).glob(f"sablewick_asr-*-{TAG}-{TAG}-*manylinux2014_x86_64*.whl"))
    assert len(wheels) == 1, f"expected one {TAG} manylinux2014 wheel in {WHEEL_DIR}, found {wheels}"
    folder = tmp_path_factory.mktemp("fresh") / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(folder)], check=True)
    python = folder / "bin" / "python"
    subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "-q",
                    "--disable-pip-version-check", str(wheels[0])], check=True, capture_output=True)
    env = {key: value for key, value in os.environ.items()
           if not key.startswith(("PYTHON", "SABLEWICK_", "MYPY", "VIRTUAL_ENV"))}
    env["PYTHONPATH"] = os.pathsep.join([str(ROOT / "host"), str(ROOT / "engine")])
    return python, env


def test_demo_runs_on_the_installed_wheel(venv, tmp_path):
    python, env = venv
    where = subprocess.run([str(python), "-c", "import models.sablewick_asr as m; print(m.__file__)"], env=env,
                           cwd=tmp_path, capture_output=True, text=True, check=True).stdout.strip()
    lib = f"python{sys.version_info.major}.{sys.version_info.minor}"
    assert Path(where).parent == python.parent.parent / "lib" / lib / "site-packages" / "models"
    demo = subprocess.run([str(python), str(ROOT / "demo" / "demo.py")], env=env, cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    assert demo.returncode == 0, demo.stderr
    # Timings vary, and so does whether a chunk took long enough (over 1 ms) to be logged.
    lines = [re.sub(r"time=\d+\.\dms", "time=#ms", line) for line in demo.stdout.splitlines()
             if "SablewickStreamASR stream_generate time=" not in line]
    assert lines == DEMO_OUTPUT.splitlines()


@pytest.mark.parametrize("checker", ["mypy", "basedpyright"])
def test_type_checkers_find_the_installed_stub(venv, tmp_path, checker):
    """The typed host snippet passes; a copy with a wrong argument type fails on that line alone (which needs the
    stub: without it the classes are unknown and nothing is wrong)."""
    python, env = venv
    snippet = (ROOT / "stubs" / "host_example.py").read_text()
    (tmp_path / "good.py").write_text(snippet)
    (tmp_path / "bad.py").write_text(snippet + WRONG_CALL)
    wrong_line = len((snippet + WRONG_CALL).splitlines())
    if checker == "mypy":
        # The stand-ins are the host's own source (MYPYPATH); the wheel is an installed package.
        command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "-O", "json",
                   "--python-executable", str(python), "good.py", "bad.py"]
        process = subprocess.run(command, env={**env, "MYPYPATH": str(ROOT / "host")}, cwd=tmp_path,
                                 capture_output=True, text=True)
        errors = [(Path(e["file"]).name, e["line"], e["message"]) for e in map(json.loads, process.stdout.splitlines())
                  if e["severity"] == "error"]
    else:
        command = [sys.executable, "-m", "basedpyright", "--outputjson", "--pythonpath", str(python), "good.py",
                   "bad.py"]
        process = subprocess.run(command, env=env, cwd=tmp_path, capture_output=True, text=True)
        errors = [(Path(e["file"]).name, e["range"]["start"]["line"] + 1, e["message"])
                  for e in json.loads(process.stdout)["generalDiagnostics"] if e["severity"] == "error"]
    assert process.returncode == 1, process.stdout + process.stderr
    assert len(errors) == 1, errors
    file, line, message = errors[0]
    assert (file, line) == ("bad.py", wrong_line)
    assert "sample_rate" in message and '"int"' in message
