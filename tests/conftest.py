# SPDX-License-Identifier: MIT
"""Shared fixtures: the stand-ins on the path, recording stand-ins for the module's globals, subprocesses, and the
skip conditions of tests that need what a CPython or a platform may lack."""

import importlib.util
import os
import subprocess
import sys
import sysconfig
import textwrap
import types
import uuid
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
STAND_INS = [str(ROOT / "host"), str(ROOT / "engine")]
# A build to test instead of the installed one (a folder holding models/sablewick_asr*): the sanitizer run.
if os.environ.get("SABLEWICK_MODULE_DIR"):
    STAND_INS.insert(0, os.environ["SABLEWICK_MODULE_DIR"])
for folder in reversed(STAND_INS):
    if folder not in sys.path:
        sys.path.insert(0, folder)

import sablewick_voice  # noqa: E402
from models import sablewick_asr  # noqa: E402


# What some tests need beyond the module. The Windows tests run in python.org's embeddable CPython under Wine
# (scripts/windows_test), which ships no _testcapi, no headers and no venv; Windows has no fork.
EMBEDDABLE = " (python.org's embeddable Windows CPython ships none)" if sys.platform == "win32" else ""
needs_testcapi = pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None,
                                    reason="no _testcapi in this CPython" + EMBEDDABLE)
needs_headers = pytest.mark.skipif(not (Path(sysconfig.get_paths()["include"]) / "Python.h").is_file(),
                                   reason="no Python headers (Python.h) with this CPython" + EMBEDDABLE)
needs_venv = pytest.mark.skipif(importlib.util.find_spec("venv") is None,
                                reason="no venv module in this CPython" + EMBEDDABLE)
needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason=f"no os.fork on {sys.platform}")


def run_python(code, *, paths=(), check=True):
    """Runs `code` in a fresh interpreter with `paths` ahead of the stand-ins; returns the finished process."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([*map(str, paths), *STAND_INS])
    process = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                             text=True, timeout=120)
    if check and process.returncode != 0:
        raise AssertionError(f"subprocess failed ({process.returncode}):\n{process.stdout}\n{process.stderr}")
    return process


def report_at_end(request, lines):
    """Has pytest print lines() (an iterable of str) in its terminal summary."""
    def pytest_terminal_summary(terminalreporter):
        for line in lines():
            terminalreporter.write_line(line)
    request.config.pluginmanager.register(types.SimpleNamespace(pytest_terminal_summary=pytest_terminal_summary))


class Recorder:
    """One ordered record of the calls made to every recording stand-in."""

    def __init__(self):
        self.calls = []

    def names(self):
        return [call[0] for call in self.calls]

    def lines(self, level=None):
        return [call[1][0] for call in self.calls if call[0].startswith("logger.") and
                (level is None or call[0] == f"logger.{level}")]


class RecordingLogger:
    def __init__(self, recorder):
        self._recorder = recorder

    def _log(self, level, message):
        self._recorder.calls.append((f"logger.{level}", (message,), {}))

    def info(self, message):
        self._log("info", message)

    def debug(self, message):
        self._log("debug", message)

    def warning(self, message):
        self._log("warning", message)

    def error(self, message):
        self._log("error", message)


class FakeTime:
    """A `time` module whose clock advances by `step` seconds at every reading."""

    def __init__(self, recorder, start=1000.0, step=0.0):
        self._recorder = recorder
        self.now = start
        self.step = step

    def time(self):
        self._recorder.calls.append(("time.time", (), {}))
        value = self.now
        self.now += self.step
        return value


@pytest.fixture
def recorder(monkeypatch):
    """Rebinds the module's logger, normalize_audio and time to recording stand-ins; engine calls are
    recorded by the stand-in engine and merged into the same record."""
    record = Recorder()
    logger = RecordingLogger(record)
    clock = FakeTime(record)
    real_normalize = sablewick_asr.normalize_audio

    def normalize_audio(audio, **kwargs):
        record.calls.append(("normalize_audio", (audio,), kwargs))
        return real_normalize(audio, **kwargs)

    class Engine(sablewick_voice.Script):
        def _enter(self, entry, *args, **kwargs):
            record.calls.append((f"engine.{entry}", args, kwargs))
            return sablewick_voice.Script._enter(self, entry, *args, **kwargs)

    engine = Engine()
    monkeypatch.setattr(sablewick_voice, "script", engine)
    monkeypatch.setattr(sablewick_asr, "logger", logger)
    monkeypatch.setattr(sablewick_asr, "normalize_audio", normalize_audio)
    monkeypatch.setattr(sablewick_asr, "time", clock)
    record.logger = logger
    record.clock = clock
    record.engine = engine
    return record


@pytest.fixture
def model_name():
    """A model name no other test uses, so that every class cache starts without its key."""
    return f"sablewick/test-{uuid.uuid4().hex[:12]}"
