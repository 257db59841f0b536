# SPDX-License-Identifier: MIT
"""Helpers of scripts/windows_check, the Windows x86-64 build check of the module.

    pyd_check.py def VERSION INCLUDE_DIR UNDEFINED_SYMBOLS DEF_FILE
        Writes the module definition file of the import library of CPython VERSION's DLL (3.13: python313.dll),
        holding the names the objects import from the interpreter (their undefined __imp_ references), data
        marked DATA. Which names are data and which functions is read from the interpreter's headers
        (PyAPI_DATA, PyAPI_FUNC).
    pyd_check.py check VERSION OBJDUMP_OUTPUT DEF_FILE MODULE TOOLCHAIN
        Checks `objdump -p` of the module linked for CPython VERSION: an x86-64 DLL whose only export is
        PyInit_MODULE and which imports only that version's DLL, the C runtime and kernel32.dll. Prints one
        summary line, or the details of what is wrong and exits 1.
"""

from __future__ import annotations

import re
import sys
from dataclasses import dataclass, field
from pathlib import Path

IMPORT_PREFIX = "__imp_"

# A macro's argument, allowing one level of nested parentheses: PyAPI_FUNC(void (*)(int)).
_ARGUMENT = r"\((?:[^()]|\([^()]*\))*\)"
_DATA = re.compile(r"\bPyAPI_DATA" + _ARGUMENT + r"([^;]*);")
_FUNC = re.compile(r"\bPyAPI_FUNC" + _ARGUMENT + r"[^;(]*?\b([A-Za-z_]\w*)\s*\(")
_IDENTIFIER = re.compile(r"[A-Za-z_]\w*")
# The C API's names: Py..., _Py... (and _py_stats).
_PYTHON_NAME = re.compile(r"_?[Pp]y")


def header_declarations(include_dir: Path) -> tuple[set[str], set[str]]:
    """The data and the function names that the public headers declare (internal/ is for the core only)."""
    data: set[str] = set()
    functions: set[str] = set()
    for header in sorted(include_dir.rglob("*.h")):
        if "internal" in header.relative_to(include_dir).parts:
            continue
        text = header.read_text(encoding="utf-8", errors="replace")
        text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
        for declarator in _DATA.findall(text):
            # The first identifier is the name: `_Py_NoneStruct`, `*(*PyOS_ReadlineFunctionPointer)(...)`.
            match = _IDENTIFIER.search(declarator)
            if match:
                data.add(match.group())
        functions.update(_FUNC.findall(text))
    # Leaves out what is not the interpreter's: the macros' own definitions, WASI's pthread stubs.
    return ({name for name in data if _PYTHON_NAME.match(name)},
            {name for name in functions if _PYTHON_NAME.match(name)})


@dataclass
class Imports:
    data: list[str] = field(default_factory=list)
    functions: list[str] = field(default_factory=list)
    errors: list[str] = field(default_factory=list)


def interpreter_imports(undefined: list[str], data: set[str], functions: set[str]) -> Imports:
    """Sorts the objects' undefined symbols into the interpreter's data and functions.

    Data is reached only through its __imp_ pointer: a plain reference means the headers did not declare
    it __declspec(dllimport), and MSVC's linker would not resolve it. A function may also be referenced by
    its plain name (its address in a static initializer), which the import library's thunk resolves.
    Anything else imported (__imp_strnlen and the like) is left to the C runtime's libraries."""
    result = Imports()
    data_names: set[str] = set()
    function_names: set[str] = set()
    for symbol in set(undefined):
        imported = symbol.startswith(IMPORT_PREFIX)
        name = symbol[len(IMPORT_PREFIX):] if imported else symbol
        if name in data:
            data_names.add(name)
            if not imported:
                result.errors.append(f"{name} is referenced without __declspec(dllimport): the objects were "
                                     "not compiled for the interpreter's DLL (Py_ENABLE_SHARED)")
        elif name in functions:
            function_names.add(name)
        elif imported and _PYTHON_NAME.match(name):
            result.errors.append(f"{name} is imported but not declared by the interpreter's headers")
    result.data = sorted(data_names)
    result.functions = sorted(function_names)
    result.errors.sort()
    return result


def _nodot(version: str) -> str:
    major, minor = map(int, version.split("."))
    return f"{major}{minor}"


def interpreter_dll(version: str) -> str:
    """The DLL of the default (not free-threaded) build of CPython VERSION: 3.13's is python313.dll."""
    return f"python{_nodot(version)}.dll"


def pyd_name(module: str, version: str) -> str:
    """MODULE's file for CPython VERSION on Windows x86-64: sablewick_asr.cp313-win_amd64.pyd for 3.13."""
    return f"{module}.cp{_nodot(version)}-win_amd64.pyd"


def def_file_text(imports: Imports, dll: str) -> str:
    entries = [f"{name} DATA" for name in imports.data] + imports.functions
    return "".join(f"{line}\n" for line in [f"LIBRARY {dll}", "EXPORTS",
                                             *(f"    {entry}" for entry in sorted(entries))])


@dataclass
class Pe:
    file_format: str = ""
    is_dll: bool = False
    imports: dict[str, list[str]] = field(default_factory=dict)
    exports: list[str] = field(default_factory=list)


def parse_objdump(text: str) -> Pe:
    """Reads what the check needs from GNU objdump's `-p` output for a PE file."""
    pe = Pe()
    section = None
    dll = None
    for line in text.splitlines():
        stripped = line.strip()
        if match := re.search(r"file format (\S+)", line):
            pe.file_format = match.group(1)
        elif line.startswith("Characteristics"):
            section = "characteristics"
        elif line.startswith("The Import Tables"):
            section = "imports"
        elif line.startswith("The Export Tables"):
            section = "exports"
        elif line.startswith("[Ordinal/Name Pointer] Table"):
            section = "export names"
        elif section == "characteristics":
            if stripped == "DLL":
                pe.is_dll = True
            elif not line.startswith("\t"):
                section = None
        elif section == "imports":
            if match := re.match(r"DLL Name: (\S+)", stripped):
                dll = match.group(1)
                pe.imports[dll] = []
            elif dll and (match := re.fullmatch(r"[0-9a-f]+\s+\d+\s+(\S+)", stripped)):
                pe.imports[dll].append(match.group(1))
        elif section == "export names":
            if match := re.match(r"\[\s*\d+\]\s+(\S+)$", stripped):
                pe.exports.append(match.group(1))
            elif stripped:
                section = None
    return pe


def dll_kind(dll: str, interpreter: str) -> str:
    """'python', 'crt', 'system', or why the DLL must not be imported by a module for the interpreter's DLL."""
    name = dll.lower()
    if name == interpreter:
        return "python"
    if name in ("ucrtbase.dll", "vcruntime140.dll", "vcruntime140_1.dll") or \
            re.fullmatch(r"api-ms-win-crt-[a-z]+-l\d+-\d+-\d+\.dll", name):
        return "crt"
    if name == "kernel32.dll":
        return "system"
    if name == "msvcrt.dll":
        return "the old Visual C++ 6 runtime; link the Universal CRT (api-ms-win-crt-*.dll) instead"
    if re.fullmatch(r"lib(stdc\+\+|gcc_s|winpthread|ssp|atomic|gomp)[-\w]*\.dll", name):
        return "a MinGW runtime DLL that no Python install has; link it statically"
    if re.fullmatch(r"msvcp\d+(_\w+)?\.dll|concrt\d+\.dll|vcomp\d+\.dll", name):
        return "a Visual C++ redistributable DLL that Python does not ship (only vcruntime140*.dll)"
    if re.fullmatch(r"(ucrtbased|vcruntime\d+d(_\d+)?|msvcp\d+d)\.dll", name):
        return "a debug runtime, which only a Visual Studio install has"
    if re.fullmatch(r"python\d*(_d)?\.dll", name):
        return f"not the interpreter this module is built for ({interpreter})"
    return f"neither {interpreter}, the C runtime nor kernel32.dll"


def check_pe(pe: Pe, module: str, interpreter: str) -> list[str]:
    """What is wrong with the module MODULE linked for the interpreter's DLL (python313.dll)."""
    errors = []
    if pe.file_format != "pei-x86-64":
        errors.append(f"file format is {pe.file_format or 'unknown'}, not pei-x86-64")
    if not pe.is_dll:
        errors.append("not a DLL (no DLL flag in the characteristics)")
    expected = f"PyInit_{module}"
    if pe.exports != [expected]:
        errors.append(f"exports {', '.join(pe.exports) or 'nothing'}; expected {expected} alone")
    if interpreter not in (dll.lower() for dll in pe.imports):
        errors.append(f"does not import {interpreter}")
    for dll in pe.imports:
        kind = dll_kind(dll, interpreter)
        if kind not in ("python", "crt", "system"):
            errors.append(f"imports {dll}: {kind}")
    return errors


def crt_summary(dlls: list[str]) -> str:
    """api-ms-win-crt-{heap,runtime}-l1-1-0.dll for API sets of one version; the names otherwise."""
    sets = [re.fullmatch(r"api-ms-win-crt-([a-z]+)-(l\d+-\d+-\d+)\.dll", dll.lower()) for dll in dlls]
    if len(dlls) > 1 and all(sets) and len({m.group(2) for m in sets}) == 1:
        return "api-ms-win-crt-{" + ",".join(m.group(1) for m in sets) + "}-" + sets[0].group(2) + ".dll"
    return ", ".join(dlls)


def summary(pe: Pe, pyd: str, toolchain: str, data_names: int, version: str) -> str:
    groups: dict[str, list[str]] = {"python": [], "crt": [], "system": []}
    for dll in pe.imports:
        groups[dll_kind(dll, interpreter_dll(version))].append(dll)
    python = groups["python"][0]
    imported = [f"{python} ({len(pe.imports[python])} names, {data_names} of them data)"]
    crt = sorted(dll for dll in groups["crt"] if dll.lower().startswith("api-ms-win-crt-"))
    if crt:
        imported.append(crt_summary(crt))
    imported += sorted(dll for dll in groups["crt"] if dll not in crt) + sorted(groups["system"])
    return (f"windows check ({version}): {pyd} built with {toolchain}, exports {pe.exports[0]} only, "
            f"imports {', '.join(imported)}")


def main(argv: list[str]) -> int:
    if len(argv) == 5 and argv[0] == "def":
        version = argv[1]
        include_dir, undefined_file, def_file = map(Path, argv[2:])
        data, functions = header_declarations(include_dir)
        imports = interpreter_imports(undefined_file.read_text().split(), data, functions)
        if imports.errors:
            print(f"windows check ({version}): the objects' references to the interpreter are wrong:",
                  *imports.errors, sep="\n  ", file=sys.stderr)
            return 1
        if not imports.data and not imports.functions:
            print(f"windows check ({version}): the objects import nothing from the interpreter", file=sys.stderr)
            return 1
        def_file.write_text(def_file_text(imports, interpreter_dll(version)))
        return 0
    if len(argv) == 6 and argv[0] == "check":
        version, module, toolchain = argv[1], argv[4], argv[5]
        objdump_file, def_file = Path(argv[2]), Path(argv[3])
        interpreter = interpreter_dll(version)
        pe = parse_objdump(objdump_file.read_text())
        errors = check_pe(pe, module, interpreter)
        pyd = pyd_name(module, version)
        if errors:
            print(f"windows check ({version}): {pyd} built with {toolchain} is wrong:", *errors, sep="\n  ",
                  file=sys.stderr)
            print("\nexports: " + (", ".join(pe.exports) or "none"), file=sys.stderr)
            for dll, names in pe.imports.items():
                listed = f"{len(names)} names" if dll.lower() == interpreter else " ".join(names)
                print(f"imports from {dll}: {listed}", file=sys.stderr)
            return 1
        data = {line.split()[0] for line in def_file.read_text().splitlines() if line.endswith(" DATA")}
        python = next(dll for dll in pe.imports if dll.lower() == interpreter)
        print(summary(pe, pyd, toolchain, len(data.intersection(pe.imports[python])), version))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
