# SPDX-License-Identifier: MIT
"""The helpers of scripts/windows_check that read the interpreter's headers: which of its names are data and
which functions, and the names the objects import from it, for the running interpreter's version."""

import importlib.util
import sys
import sysconfig
from pathlib import Path

import pytest

from conftest import needs_headers

pytestmark = needs_headers
_PATH = Path(__file__).resolve().parent.parent / "scripts" / "windows" / "pyd_check.py"
_SPEC = importlib.util.spec_from_file_location("pyd_check", _PATH)
pyd_check = sys.modules["pyd_check"] = importlib.util.module_from_spec(_SPEC)
_SPEC.loader.exec_module(pyd_check)


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
