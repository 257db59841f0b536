# SPDX-License-Identifier: MIT
"""The helpers of scripts/windows_check: the interpreter DLL's import definitions and the check of the linked
module, for the running interpreter's version (python313.dll for 3.13)."""

import importlib.util
import sys
import sysconfig
from pathlib import Path

import pytest

_PATH = Path(__file__).resolve().parent.parent / "scripts" / "windows" / "pyd_check.py"
_SPEC = importlib.util.spec_from_file_location("pyd_check", _PATH)
pyd_check = sys.modules["pyd_check"] = importlib.util.module_from_spec(_SPEC)
_SPEC.loader.exec_module(pyd_check)

MODULE = "sablewick_asr"
DLL = f"python{sys.version_info.major}{sys.version_info.minor}.dll"

# Trimmed from x86_64-w64-mingw32-objdump -p (binutils 2.40) of a module this check linked for 3.12.
REAL_OBJDUMP = """
/work/main/build/windows/sablewick_asr.cp312-win_amd64.pyd:     file format pei-x86-64

Characteristics 0x2026
\texecutable
\tline numbers stripped
\tlarge address aware
\tDLL

Time/Date\t\tTue Dec  8 07:47:54 2026
Magic\t\t\t020b\t(PE32+)

There is an import table in .idata at 0x306b7b000

The Import Tables (interpreted .idata section contents)
 vma:            Hint    Time      Forward  DLL       First
                 Table   Stamp     Chain    Name      Thunk
 0002b000\t0002b0f0 00000000 00000000 0002c9f0 0002b6c8

\tDLL Name: KERNEL32.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t2bca0\t  141  CloseHandle
\t2bcae\t  246  CreateSemaphoreW

 0002b0b4\t0002b340 00000000 00000000 0002cd88 0002b918

\tDLL Name: api-ms-win-crt-time-l1-1-0.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t2c0a0\t    9  __daylight
\t2c0c8\t   60  _tzset

 0002b0c8\t0002b350 00000000 00000000 0002cda0 0002b928

\tDLL Name: python312.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t2c0d2\t    1  PyCode_NewEmpty
\t2c2fa\t   27  PyExc_TypeError

 000160dc\t00000000 00000000 00000000 00000000 00000000

There is an export table in .edata at 0x306b7a000

The Export Tables (interpreted .edata section contents)

Export Flags \t\t\t0
Name \t\t\t\t000000000002a032 sablewick_asr.cp312-win_amd64.pyd
Ordinal Base \t\t\t1

Export Address Table -- Ordinal Base 1
\t[   0] +base[   1] 67c0 Export RVA

[Ordinal/Name Pointer] Table
\t[   0] PyInit_sablewick_asr

The Function Table (interpreted .pdata section contents)
vma:\t\t\tBeginAddress\t EndAddress\t  UnwindData
"""


def objdump(imports, exports=("PyInit_sablewick_asr",), file_format="pei-x86-64", dll=True):
    """objdump -p's text for a PE file with these imports ({dll: [names]}) and exports, in its layout."""
    lines = ["", f"x.pyd:     file format {file_format}", "", "Characteristics 0x2026", "\texecutable"]
    lines += ["\tDLL"] if dll else []
    lines += ["", "The Import Tables (interpreted .idata section contents)",
              " 0002b000\t0002b0f0 00000000 00000000 0002c9f0 0002b6c8", ""]
    for name, symbols in imports.items():
        lines += [f"\tDLL Name: {name}", "\tvma:  Hint/Ord Member-Name Bound-To"]
        lines += [f"\t2c0d2\t {hint:4d}  {symbol}" for hint, symbol in enumerate(symbols)]
        lines += ["", " 0002b0b4\t0002b340 00000000 00000000 0002cd88 0002b918", ""]
    lines += ["The Export Tables (interpreted .edata section contents)", "", "[Ordinal/Name Pointer] Table"]
    lines += [f"\t[{index:4d}] {name}" for index, name in enumerate(exports)]
    return "\n".join(lines + ["", "The Function Table (interpreted .pdata section contents)", ""])


GOOD_IMPORTS = {DLL: ["PyErr_Clear", "PyExc_TypeError"], "KERNEL32.dll": ["Sleep"],
                "api-ms-win-crt-heap-l1-1-0.dll": ["free", "malloc"],
                "api-ms-win-crt-runtime-l1-1-0.dll": ["_initterm"]}


@pytest.fixture(scope="module")
def declarations():
    return pyd_check.header_declarations(Path(sysconfig.get_paths()["include"]))


@pytest.mark.parametrize("name, kind", [
    ("PyExc_TypeError", "data"), ("_Py_NoneStruct", "data"), ("PyType_Type", "data"), ("Py_Version", "data"),
    ("PyErr_Clear", "function"), ("PyVectorcall_Call", "function"), ("_Py_FatalErrorFunc", "function"),
    ("_PyRuntime", None),   # declared in internal/ only, which an extension cannot include
    ("pthread_create", None),  # a stub of WASI's, declared with PyAPI_FUNC
    ("Py_INCREF", None),    # an inline function: nothing to import
])
def test_headers_tell_data_from_functions(declarations, name, kind):
    data, functions = declarations
    assert (name in data, name in functions) == (kind == "data", kind == "function")


def test_no_name_is_both_data_and_function(declarations):
    data, functions = declarations
    assert len(data) > 150 and len(functions) > 1000
    assert not data & functions


@pytest.mark.parametrize("undefined, data, functions, error", [
    (["__imp_PyExc_TypeError", "__imp__Py_NoneStruct"], ["PyExc_TypeError", "_Py_NoneStruct"], [], None),
    (["__imp_PyErr_Clear"], [], ["PyErr_Clear"], None),
    # A function's address in a static initializer: the import library's thunk resolves the plain name.
    (["PyVectorcall_Call", "__imp_PyVectorcall_Call"], [], ["PyVectorcall_Call"], None),
    # The C runtime's imports, the module's own symbols: not the interpreter's.
    (["__imp_strnlen", "memcpy", "?init_names@sablewick@@YA_NXZ", "_ZN9sablewick4initEv"], [], [], None),
    (["PyExc_TypeError"], ["PyExc_TypeError"], [], "PyExc_TypeError is referenced without __declspec(dllimport)"),
    (["__imp_PyErr_Clear", "__imp_PyErr_Frobnicate"], [], ["PyErr_Clear"],
     "PyErr_Frobnicate is imported but not declared"),
    (["__imp__PyNotThere"], [], [], "_PyNotThere is imported but not declared"),
])
def test_interpreter_imports(declarations, undefined, data, functions, error):
    imports = pyd_check.interpreter_imports(undefined, *declarations)
    assert (imports.data, imports.functions) == (data, functions)
    if error:
        assert len(imports.errors) == 1 and error in imports.errors[0]
    else:
        assert imports.errors == []


def test_reads_objdump_output():
    pe = pyd_check.parse_objdump(REAL_OBJDUMP)
    assert (pe.file_format, pe.is_dll, pe.exports) == ("pei-x86-64", True, ["PyInit_sablewick_asr"])
    assert pe.imports == {"KERNEL32.dll": ["CloseHandle", "CreateSemaphoreW"],
                          "api-ms-win-crt-time-l1-1-0.dll": ["__daylight", "_tzset"],
                          "python312.dll": ["PyCode_NewEmpty", "PyExc_TypeError"]}
    assert pyd_check.check_pe(pe, MODULE, "python312.dll") == []


@pytest.mark.parametrize("extra", [
    {}, {"ucrtbase.dll": ["free"]}, {"VCRUNTIME140.dll": ["memcpy"]}, {"vcruntime140_1.dll": ["__CxxFrameHandler4"]},
    {"api-ms-win-crt-string-l1-1-0.dll": ["strlen"]},
])
def test_accepts_the_interpreter_the_crt_and_kernel32(extra):
    assert pyd_check.check_pe(pyd_check.parse_objdump(objdump({**GOOD_IMPORTS, **extra})), MODULE, DLL) == []


@pytest.mark.parametrize("dll, why", [
    ("msvcrt.dll", "Universal CRT"),
    ("libwinpthread-1.dll", "MinGW runtime"), ("libstdc++-6.dll", "MinGW runtime"),
    ("libgcc_s_seh-1.dll", "MinGW runtime"),
    ("MSVCP140.dll", "redistributable"), ("ucrtbased.dll", "debug runtime"), ("VCRUNTIME140D.dll", "debug runtime"),
    ("python3.dll", "not the interpreter"), ("python311.dll", "not the interpreter"),
    ("USER32.dll", "neither"), ("zlib1.dll", "neither"),
])
def test_rejects_other_dlls(dll, why):
    errors = pyd_check.check_pe(pyd_check.parse_objdump(objdump({**GOOD_IMPORTS, dll: ["f"]})), MODULE, DLL)
    assert len(errors) == 1 and errors[0].startswith(f"imports {dll}: ") and why in errors[0]


@pytest.mark.parametrize("text, error", [
    (objdump(GOOD_IMPORTS, exports=("PyInit_sablewick_asr", "helper")), "exports PyInit_sablewick_asr, helper"),
    (objdump(GOOD_IMPORTS, exports=()), "exports nothing"),
    (objdump(GOOD_IMPORTS, exports=("PyInit_other",)), "expected PyInit_sablewick_asr alone"),
    (objdump(GOOD_IMPORTS, file_format="pei-i386"), "file format is pei-i386"),
    (objdump(GOOD_IMPORTS, dll=False), "not a DLL"),
    (objdump({"KERNEL32.dll": ["Sleep"]}), f"does not import {DLL}"),
])
def test_rejects_wrong_modules(text, error):
    errors = pyd_check.check_pe(pyd_check.parse_objdump(text), MODULE, DLL)
    assert len(errors) == 1 and error in errors[0]
