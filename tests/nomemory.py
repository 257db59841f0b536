# SPDX-License-Identifier: MIT
"""Allocation-failure sweeps: the allocations of a call, or of the first import, fail one index after another.

    python tests/nomemory.py calls [MODE]   # construction, load, lazily loading transcribe and stream_generate
    python tests/nomemory.py import [STRIDE]  # the first import, each attempt in a fresh (forked) process
    python tests/nomemory.py replay K         # attempt K of the import sweep alone, in this process

MODE "one" fails allocation k alone, "rest" allocation k and every one after it; k counts up from 0 until the
call has run untouched (a run of normal results as long as UNTOUCHED). Prints one JSON object: per path, the
outcomes by kind with the indices of the unusual ones. Outcomes: "ok" (the normal result), "MemoryError",
"RuntimeError from MemoryError" (the guard's error, caused by one), "outside: ..." (a fault of the interpreter
or of NumPy that the sweep recognises, below), and anything else by its type and message; for the calls also
"lock held" when a class lock is still held afterwards and "broken" when the class no longer constructs; for
the import "crash" or "hang". The interpreter's free lists are emptied before every attempt, so that the objects
they would hand out are allocated too.

An outcome of the import sweep that none of the patterns below explains is looked at once more: the attempt is
replayed under gdb, which reads the C stack of the allocation that fails, and the patterns are tried again on
that stack. Some interpreters mishandle a failed allocation in their own code, and what follows (a crash, often
much later, or an odd exception) says nothing of where; the failing allocation's stack does.
"""

import faulthandler
import gc
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import uuid

import _testcapi

from standalone import ROOT  # puts the stand-ins and the build under test on sys.path for what follows

import numpy as np  # noqa: E402

UNTOUCHED = 40
NORMAL = {"ok", "MemoryError", "RuntimeError from MemoryError"}


def called_from(*functions):
    """A pattern for a C stack read by failed_allocation() in which each of `functions` calls the next."""
    return "(?m)" + r"\n".join(rf"^#\d+ +(?:0x[0-9a-f]+ in )?{name} \([^\n]*" for name in functions)


# Faults outside the module, each found by this sweep with NumPy 2 and confirmed in a debugger, on the CPython
# versions given (3.12.1, 3.13.0, 3.14.8, 3.15.0): an entry counts only on the minor versions where it was found.
RECOGNISED = [
    ({(3, 12), (3, 13)}, r"RuntimeError: can't allocate lock$", "the interpreter reports a failed lock allocation as "
     "RuntimeError (the import system's module lock, or threading.Lock() for a class lock)"),
    ({(3, 12), (3, 13)}, r"SystemError: <function zipimporter\.__init__ .*> returned NULL without setting an "
     r"exception$", "the import system's zipimporter path hook returns NULL without an exception"),
    # On 3.14 and 3.15 (NumPy 2.5) too: a transcribe that loads, at the host's normalize_audio (a Python function);
    # the allocations that fail are NumPy's, in promote_and_get_info_and_ufuncimpl (the list of its dispatch
    # cache's values, then PyArrayIdentityHash_SetItemDefault) under array_subtract, and the TypeError is NumPy's.
    ({(3, 12), (3, 13), (3, 14), (3, 15)}, r"TypeError: A loop/promoter has already been registered", "NumPy's lazy "
     "registration of a ufunc loop stays half done after a failed allocation"),
    ({(3, 12), (3, 13)}, r"crash: .*most recent call first\):\n  File \"<frozen abc>\", line \d+ in __new__",
     "a failed allocation in dict.items() crashes abc's class creation (dictiter_new frees an iterator it never "
     "tracked)"),
    ({(3, 12), (3, 13)}, r"crash: .*in dictiter_new ", "a failed allocation in dict.items() crashes abc's class "
     "creation (dictiter_new frees an iterator it never tracked)"),
    # The rest are read from the failing allocation's C stack.
    ({(3, 13)}, called_from("PyFunction_NewWithQualName", "_PyEval_EvalFrameDefault"), "a failed MAKE_FUNCTION "
     "releases its code object once too often (CPython gh-122752); the import system's code is no longer immortal "
     "in 3.13, so a failed def or generator expression there frees code that the next import runs, and crashes"),
    ({(3, 13)}, called_from("insert_combined_dict", "dict_setdefault_ref_lock_held"), "PyDict_SetDefaultRef reports "
     "an insertion that failed for want of memory as done and counts the entry it never stored: type creation "
     "(PyType_FromSpec) goes on with the MemoryError set, then fails with a KeyError for the missing member "
     "or crashes on the type's dict"),
    ({(3, 13)}, called_from("_PyFrame_GetFrameObject", "take_ownership"), "clearing a frame whose frame object "
     "lives on clears the pending exception when the caller's frame object cannot be allocated: typing's "
     "module __getattr__ (new in 3.13), raising AttributeError for an import's __path__ lookup, returns NULL "
     "without an exception (SystemError)"),
    # abc's class creation of SablewickStreamASR (PyMapping_Items of its namespace, compute_abstract_methods): the
    # result tuple that dictiter_new allocates for dict.items() (PyTuple_Pack on 3.14, _PyTuple_FromPairSteal on
    # 3.15) fails, and dictiter_new's Py_DECREF of the iterator it has not tracked yet crashes in
    # dictiter_dealloc's _PyObject_GC_UNTRACK: the same fault as the crash patterns above, read from the stack.
    ({(3, 14), (3, 15)}, called_from(r"(?:PyTuple_Pack|_PyTuple_FromPairSteal)(?:\.constprop\.\d+)?", "dictiter_new"),
     "a failed allocation in dict.items() crashes abc's class creation (dictiter_new frees an iterator it never "
     "tracked)"),
    # importlib's _HierarchicalLockManager.__enter__ (new in 3.15), `self._locks.append((module_name, lock))`,
    # before the module is even found: the list cannot grow, and the next gc.collect() (the retried import, or
    # finalisation) crashes in _PyObject_ClearFreeLists, or a later weakref creation does. Without the module:
    # `lst.append((a, b))` in a function called often enough to specialise it (CALL_LIST_APPEND), with the
    # list's growth failing, crashes the next gc.collect() on 3.15.0; not on 3.14, and not for a list or a
    # tuple that a local still holds.
    ({(3, 15)}, called_from("list_resize", "_PyList_AppendTakeRefListResize", "_PyList_AppendTakeRef",
                            "_PyEval_EvalFrameDefault"),
     "a specialised list.append of a new tuple that fails for want of memory leaves the tuple free list corrupt "
     "(3.15's CALL_LIST_APPEND): the interpreter crashes at its next collection"),
]


def outcome(exc):
    if exc is None:
        return "ok"
    if isinstance(exc, MemoryError):
        return "MemoryError"
    if type(exc) is RuntimeError and isinstance(exc.__cause__, MemoryError):
        return "RuntimeError from MemoryError"
    return recognised(f"{type(exc).__name__}: {exc}")


def recognised(text):
    for versions, pattern, cause in RECOGNISED:
        if sys.version_info[:2] in versions and re.search(pattern, text, re.S):
            return f"outside: {cause}"
    return text[:300]


def attempt(call, k, mode="one"):
    """Runs call() with allocation k (and in mode "rest" every later one) failing; what it raised, or None."""
    gc.disable()
    gc.collect()  # a full collection also empties the free lists
    _testcapi.set_nomemory(k, 0 if mode == "rest" else k + 1)
    try:
        call()
        exc = None
    except BaseException as e:  # noqa: B036 - every outcome is classified
        exc = e
    finally:
        _testcapi.remove_mem_hooks()
        gc.enable()
    return exc


class Tally:
    """Outcome counts of one path, the indices of the unusual outcomes, and the run of normal results."""

    def __init__(self):
        self.counts, self.where, self.k, self.streak = {}, {}, 0, 0

    def add(self, kinds):
        for kind in kinds:
            self.counts[kind] = self.counts.get(kind, 0) + 1
            if kind not in NORMAL:
                self.where.setdefault(kind, []).append(self.k)
        self.streak = self.streak + 1 if kinds == ["ok"] else 0

    def result(self, attempts):
        return {"attempts": attempts, "outcomes": self.counts, "where": self.where}


# Stand-ins without locks or logging machinery of their own: a Python `with` on a lock, or a handler's release,
# can itself be stopped by a failed allocation and hang the sweep, and that would not be the module's doing.
class Logger:
    def __init__(self):
        self.lines = []

    def info(self, text):
        self.lines.append(text)

    debug = warning = error = info


class Line:
    def __init__(self, text):
        self.text = text


class Transcriber:
    def __init__(self, model_path, model_arch):
        self.model_path, self.model_arch = model_path, model_arch

    def transcribe_without_streaming(self, audio, sample_rate, flags):
        return type("Transcript", (), {"lines": [Line("one"), Line("two")]})

    def start(self):
        pass

    def add_audio(self, audio, sample_rate):
        pass

    def stop(self):
        pass


def call_sweeps(mode):
    from models import sablewick_asr as asr

    asr.logger, asr.Transcriber = Logger(), Transcriber
    asr.get_model_for_language = lambda language: (f"models/{language}", "ctc")
    classes = {"stream": asr.SablewickStreamASR, "offline": asr.SablewickOfflineASR}
    audio = (np.arange(1600) % 200 - 100).astype(np.int16)  # int16, so that normalisation converts it

    def check():
        problems = []
        for cls in classes.values():
            if cls._cache_lock.locked():
                problems.append("lock held")
                cls._cache_lock.release()
            try:
                cls(model=cls.__name__)
            except BaseException as e:  # noqa: B036
                problems.append(f"broken: {e!r}")
        return problems

    def sweep(prepare, call):
        tally = Tally()
        while tally.streak < UNTOUCHED:
            state = prepare()
            tally.add([outcome(attempt(lambda: call(state), tally.k, mode))] + check())
            tally.k += 1
        return tally.result(tally.k)

    def unloaded(cls):
        obj = cls(model=cls.__name__)
        obj._transcriber, obj.model = None, f"sablewick/{uuid.uuid4().hex}"
        return obj

    def method(name, expected):
        def call(obj):
            result = obj.load() if name == "load" else getattr(obj, name)(audio)
            if result != expected or obj._transcriber is None:
                raise AssertionError(f"{name} gave {result!r}")
        return call

    for cls in classes.values():
        cls(model=cls.__name__)  # the key that stays cached
    gc.freeze()  # what exists now is left out of the collection before each attempt, which stays short
    results = {}
    for label, cls in classes.items():
        texts = [{"text": "one two"}]
        results[f"{label}: construction, cached key"] = sweep(lambda: None, lambda _, cls=cls: cls(model=cls.__name__))
        results[f"{label}: construction, new key"] = sweep(lambda: f"sablewick/{uuid.uuid4().hex}",
                                                           lambda key, cls=cls: cls(model=key))
        for name, expected in [("load", None), ("transcribe", texts),
                               ("stream_generate", [] if label == "stream" else texts)]:
            results[f"{label}: {name}, loading"] = sweep(lambda cls=cls: unloaded(cls), method(name, expected))
    return results


def import_child(k, report, crash_log):
    """In a forked child: the attempt at k, then (after a failure) an import that must succeed."""
    faulthandler.enable(crash_log)
    exc = attempt(lambda: __import__("models.sablewick_asr"), k)
    kinds = [outcome(exc)]
    if exc is not None:
        sys.modules.pop("models.sablewick_asr", None)
        try:
            __import__("models.sablewick_asr").sablewick_asr.SablewickStreamASR()
        except BaseException as e:  # noqa: B036
            kinds.append(f"import after failure: {e!r}")
    os.write(report, json.dumps(kinds).encode())


def prepare_import():
    """Imports what the module's body imports, and leaves it out of the collections before each attempt."""
    import threading, time, typing  # noqa: E401, F401
    import models.base_asr, sablewick_voice, utils.audio, zel_asr_config, zel_asr_log  # noqa: E401, F401

    gc.freeze()


def failed_allocation(k):
    """The C stack of allocation k of the first import when it fails, as gdb reads it in a replay of the attempt
    (python nomemory.py replay K); empty without gdb, or when the replay does not stop in _testcapi's hook."""
    gdb = shutil.which("gdb")
    if not gdb:
        return ""
    env = dict(os.environ)
    preload = env.pop("LD_PRELOAD", None)  # the sanitizer's runtime goes into the interpreter, not into gdb
    commands = ["set breakpoint pending on", *([f"set environment LD_PRELOAD={preload}"] if preload else []),
                # _testcapi's hooks, each at the call that counts allocation k and fails it
                *(f"break {hook} if FmData.count == FmData.start && FmData.stop > 0"
                  for hook in ("hook_fmalloc", "hook_fcalloc", "hook_frealloc")), "run", "bt 24", "kill"]
    try:
        process = subprocess.run([gdb, "-q", "-batch", "-nx", *(arg for c in commands for arg in ("-ex", c)), "--args",
                                  sys.executable, os.path.abspath(__file__), "replay", str(k)],
                                 env=env, capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired:
        return ""
    stack = "\n".join(line for line in process.stdout.splitlines() if line.startswith("#"))
    return stack if re.match(r"#0 +hook_f(?:malloc|calloc|realloc) ", stack) else ""


# Now and then (about one run in twenty on 3.14) a forked child's import makes two or three allocations more
# before the class creation than the replay's does, so the replay's allocation k is another one than the
# child's. For a crash, which says nothing of where it began, the allocations just around k are read too.
NEIGHBOURS = (1, -1, 2, -2, 3, -3)


def replayed_cause(k, crashed):
    """The C stack of the failing allocation in a replay of attempt k, and what recognised() makes of it."""
    stack = failed_allocation(k)
    cause = recognised(f"failed allocation:\n{stack}")
    for offset in NEIGHBOURS if crashed and not cause.startswith("outside: ") else ():
        near = failed_allocation(k + offset)
        near_cause = recognised(f"failed allocation:\n{near}")
        if near_cause.startswith("outside: "):
            return near, f"{near_cause} [replayed {offset:+d} allocation(s) from where the child failed]"
    return stack, cause


def import_sweep(stride):
    """The first import: attempt k in a child forked from a process that has imported everything else."""
    prepare_import()
    tally, attempts, scratch = Tally(), 0, tempfile.mkdtemp()
    while tally.streak < UNTOUCHED:
        reader, writer = os.pipe()
        crash_path = os.path.join(scratch, f"crash.{tally.k}")
        with open(crash_path, "w") as crash_log:
            pid = os.fork()
            if pid == 0:
                try:
                    os.close(reader)
                    import_child(tally.k, writer, crash_log)
                finally:
                    os._exit(0)
        os.close(writer)
        ready, _, _ = select.select([reader], [], [], 60)
        if not ready:
            os.kill(pid, signal.SIGKILL)
        with os.fdopen(reader) as pipe:
            text = pipe.read() if ready else ""
        _, status = os.waitpid(pid, 0)
        if text:
            kinds = json.loads(text)
        elif not ready:
            kinds = ["hang"]
        else:
            kinds = [recognised(f"crash: signal {os.WTERMSIG(status) if os.WIFSIGNALED(status) else '?'}\n"
                                f"{open(crash_path).read()}{sanitizer_report(pid)}")]
        os.unlink(crash_path)
        if any(kind not in NORMAL and not kind.startswith("outside: ") for kind in kinds):
            stack, cause = replayed_cause(tally.k, any(kind.startswith("crash") for kind in kinds))
            if cause.startswith("outside: "):  # what followed the interpreter's fault is none of the module's doing
                kinds = [kind if kind in NORMAL or kind.startswith("outside: ") else cause for kind in kinds]
            elif not stack:  # the outcome stays unexplained; say why the stack could not help
                kinds = [kind if kind in NORMAL or kind.startswith("outside: ") else
                         f"{kind} [no C stack of the failing allocation: gdb, or the interpreter's debug symbols "
                         f"(Debian's python{sys.version_info[0]}.{sys.version_info[1]}-dbg), missing]"
                         for kind in kinds]
        tally.add(kinds)
        tally.k += stride
        attempts += 1
    return {"first import": tally.result(attempts)}


def sanitizer_report(pid):
    """AddressSanitizer's report of a child that crashed, when the run is under the sanitizer."""
    path = re.search(r"log_path=([^:]+)", os.environ.get("ASAN_OPTIONS", ""))
    try:
        return open(f"{path.group(1)}.{pid}").read() if path else ""
    except OSError:
        return ""


if __name__ == "__main__":
    if sys.argv[1] == "calls":
        print(json.dumps(call_sweeps(sys.argv[2] if len(sys.argv) > 2 else "one"), indent=1))
    elif sys.argv[1] == "replay":
        prepare_import()
        attempt(lambda: __import__("models.sablewick_asr"), int(sys.argv[2]))
    else:
        print(json.dumps(import_sweep(int(sys.argv[2]) if len(sys.argv) > 2 else 1), indent=1))
