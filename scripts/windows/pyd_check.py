# SPDX-License-Identifier: MIT
"""Helpers of scripts/windows_check, the Windows x86-64 build check of the module.

    pyd_check.py def VERSION INCLUDE_DIR UNDEFINED_SYMBOLS DEF_FILE
        Writes the module definition file of the import library of CPython VERSION's DLL (3.13: python313.dll),
        holding the names the objects import from the interpreter (their undefined __imp_ references), data
        marked DATA. Which names are data and which functions is read from the interpreter's headers
        (PyAPI_DATA, PyAPI_FUNC).
    pyd_check.py check VERSION PYD DEF_FILE MODULE TOOLCHAIN [SYMBOLS]
        Checks the module linked for CPython VERSION, read with pefile: a stripped x86-64 DLL whose only
        export is PyInit_MODULE and which imports only that version's DLL, the C runtime and kernel32.dll.
        With SYMBOLS, the defined symbols of the image before stripping (nm), it also checks that nothing of
        the C++ unwinder was linked in or imported (a GCC build without exceptions). Prints one summary line,
        or the details of what is wrong and exits 1.
"""

from __future__ import annotations

import os
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
    # Through linked folders too: a debug interpreter's include folder may link cpython/ to the release one's,
    # and Path.rglob follows no links from 3.13 on.
    headers = (Path(folder, name) for folder, _, names in os.walk(include_dir, followlinks=True) for name in names)
    for header in sorted(header for header in headers if header.suffix == ".h"):
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
    size: int = 0
    machine: str = ""
    is_dll: bool = False
    stripped: bool = False
    imports: dict[str, list[str]] = field(default_factory=dict)
    exports: list[str] = field(default_factory=list)


def _text(value: bytes | None, ordinal: int | None = None) -> str:
    return value.decode("ascii", "replace") if value is not None else f"#{ordinal}"


def read_pe(path: Path) -> Pe:
    """Reads what the check needs from the PE file."""
    import pefile  # only here: the tests import this file for its other helpers, without pefile

    image = pefile.PE(str(path), fast_load=True)
    image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
                                              pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    pe = Pe(size=path.stat().st_size, is_dll=image.is_dll())
    if image.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"] and \
            image.OPTIONAL_HEADER.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
        pe.machine = "x86-64"
    else:
        pe.machine = f"machine {image.FILE_HEADER.Machine:#x}, magic {image.OPTIONAL_HEADER.Magic:#x}"
    # Stripped: no COFF symbol table, and no debug sections (GNU ld names them through that table's
    # strings, "/4", as their names are longer than a section header holds).
    names = [section.Name.rstrip(b"\0").decode("ascii", "replace") for section in image.sections]
    pe.stripped = image.FILE_HEADER.PointerToSymbolTable == 0 and image.FILE_HEADER.NumberOfSymbols == 0 and \
        not any(name.startswith(("/", ".debug")) for name in names)
    for entry in getattr(image, "DIRECTORY_ENTRY_IMPORT", []):
        pe.imports[_text(entry.dll)] = [_text(i.name, i.ordinal) for i in entry.imports]
    if hasattr(image, "DIRECTORY_ENTRY_EXPORT"):
        pe.exports = [_text(e.name, e.ordinal) for e in image.DIRECTORY_ENTRY_EXPORT.symbols]
    return pe


# The C++ unwinder: libgcc's (_Unwind_*, and its SEH glue), the personality routines, the C++ ABI's runtime
# support (__cxa_*), and the Windows unwinding calls that libgcc's unwinder imports. Built without
# exceptions and RTTI, the module has none of it. mingw-w64's start-up code gives every DLL a TLS directory:
# expected, and not the unwinder.
_UNWINDER = re.compile(r"_Unwind_|__gxx_personality_|__gcc_personality_|_GCC_specific_handler|__cxa_|"
                       r"RtlUnwind|RtlVirtualUnwind")


def unwinder_parts(pe: Pe, symbols: list[str]) -> list[str]:
    """The unwinder's names that the image imports, or defines (its symbols before stripping)."""
    parts = sorted({name for name in symbols if _UNWINDER.match(name)})
    parts += sorted(f"{name} (imported from {dll})" for dll, names in pe.imports.items() for name in names
                    if _UNWINDER.match(name))
    return parts


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
    if pe.machine != "x86-64":
        errors.append(f"not an x86-64 PE32+ image ({pe.machine})")
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
    if not pe.stripped:
        errors.append("not stripped (a COFF symbol table or debug sections)")
    return errors


def crt_summary(dlls: list[str]) -> str:
    """api-ms-win-crt-{heap,runtime}-l1-1-0.dll for API sets of one version; the names otherwise."""
    sets = [re.fullmatch(r"api-ms-win-crt-([a-z]+)-(l\d+-\d+-\d+)\.dll", dll.lower()) for dll in dlls]
    if len(dlls) > 1 and all(sets) and len({m.group(2) for m in sets}) == 1:
        return "api-ms-win-crt-{" + ",".join(m.group(1) for m in sets) + "}-" + sets[0].group(2) + ".dll"
    return ", ".join(dlls)


def summary(pe: Pe, pyd: str, toolchain: str, data_names: int, version: str, unwinder_checked: bool) -> str:
    groups: dict[str, list[str]] = {"python": [], "crt": [], "system": []}
    for dll in pe.imports:
        groups[dll_kind(dll, interpreter_dll(version))].append(dll)
    python = groups["python"][0]
    imported = [f"{python} ({len(pe.imports[python])} names, {data_names} of them data)"]
    crt = sorted(dll for dll in groups["crt"] if dll.lower().startswith("api-ms-win-crt-"))
    if crt:
        imported.append(crt_summary(crt))
    imported += sorted(dll for dll in groups["crt"] if dll not in crt) + sorted(groups["system"])
    unwinder = ", and has no C++ unwinder" if unwinder_checked else ""
    return (f"windows check ({version}): {pyd} ({pe.size // 1024} KiB, stripped) built with {toolchain}, "
            f"exports {pe.exports[0]} only, imports {', '.join(imported)}{unwinder}")


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
    if len(argv) in (6, 7) and argv[0] == "check":
        version, module, toolchain = argv[1], argv[4], argv[5]
        pyd_file, def_file = Path(argv[2]), Path(argv[3])
        interpreter = interpreter_dll(version)
        try:
            pe = read_pe(pyd_file)
        except Exception as error:  # pefile.PEFormatError, OSError
            print(f"windows check ({version}): cannot read {pyd_file} as a PE file: {error}", file=sys.stderr)
            return 1
        errors = check_pe(pe, module, interpreter)
        if len(argv) == 7:
            symbols = Path(argv[6]).read_text().split()
            if parts := unwinder_parts(pe, symbols):
                errors.append(f"has {len(parts)} names of the C++ unwinder: {', '.join(parts)}")
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
        print(summary(pe, pyd, toolchain, len(data.intersection(pe.imports[python])), version, len(argv) == 7))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
