/* SPDX-License-Identifier: MIT */
/* pyconfig.h for building an extension module for CPython 3.12 or newer on Windows x86-64 (python3XX.dll)
 * from a Linux host: scripts/windows_check puts it in place of the host's own pyconfig.h in a copy of the
 * interpreter's include directory. It sets what the public headers of 3.12 to 3.15 consult, and the
 * platform macros that extension code tests, with the values of the pyconfig.h that the Windows installer
 * of that version ships: a release build (no Py_DEBUG), not free-threaded. The version is the headers' own
 * (patchlevel.h), so one file serves every version; 3.14's and 3.15's headers ask for nothing that 3.13's
 * did not, and their DLLs are python314.dll and python315.dll.
 */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#include "patchlevel.h"
#if PY_MAJOR_VERSION != 3 || PY_MINOR_VERSION < 12
#  error "this pyconfig.h is for the headers of CPython 3.12 or newer"
#endif

#if !defined(_WIN64) || !(defined(_M_X64) || defined(__x86_64__))
#  error "this pyconfig.h is for Windows x86-64 targets only"
#endif

/* Windows: MS_WIN32 means the Win32 API, which Win64 has too. NT_THREADS makes pythread.h use Windows
 * threads (a TSS key is a DWORD). */
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS

/* The interpreter is a DLL. With these two, pyport.h declares the API (PyAPI_FUNC, PyAPI_DATA)
 * __declspec(dllimport), so data such as PyExc_TypeError is reached through its __imp_ pointer, and
 * PyMODINIT_FUNC __declspec(dllexport). Py_BUILD_CORE stays undefined: this is an extension module. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* The default build, whose DLL is python3XX.dll. The free-threaded one (python3XXt.dll), which 3.13's
 * headers select with Py_GIL_DISABLED, has other object layouts and is not what this check builds for. */
#ifdef Py_GIL_DISABLED
#  error "Py_GIL_DISABLED is for the free-threaded build; this pyconfig.h is for the default one"
#endif

/* MSVC and clang-cl link the import library named here, python3XX.lib of these headers' version (the
 * argument is macro-expanded and its strings joined); other toolchains are given it. */
#define Py_WINDOWS_STRING(x) Py_WINDOWS_STRING_(x)
#define Py_WINDOWS_STRING_(x) #x
#if defined(_MSC_VER) && !defined(Py_BUILD_CORE)
#  pragma comment(lib, "python" Py_WINDOWS_STRING(PY_MAJOR_VERSION) Py_WINDOWS_STRING(PY_MINOR_VERSION) ".lib")
#endif
#undef Py_WINDOWS_STRING
#undef Py_WINDOWS_STRING_

/* The Windows CRT marks the classic C functions deprecated; the installed pyconfig.h silences that for
 * every extension built against it, so this one does too. */
#ifndef _CRT_SECURE_NO_DEPRECATE
#  define _CRT_SECURE_NO_DEPRECATE 1
#endif
#ifndef _CRT_NONSTDC_NO_DEPRECATE
#  define _CRT_NONSTDC_NO_DEPRECATE 1
#endif

/* LLP64: long is 4 bytes, pointers and size_t 8, wchar_t 2 (UTF-16). Py_ssize_t is left to pyport.h,
 * which makes it intptr_t: __int64, as on the installed build. pid_t is an int on Windows. */
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_PID_T 4
#define ALIGNOF_MAX_ALIGN_T 8

/* Headers that Windows has and that Python.h and pyport.h include when told to (3.12's Python.h asks about
 * stddef.h, 3.13's about sys/types.h). */
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_WCHAR_H 1

/* As in the installed build: docstrings kept (PyDoc_STR), the small-object allocator compiled in, and from
 * 3.13 on mimalloc too (cpython/pymem.h names its allocators then). */
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1
#if PY_MINOR_VERSION >= 13
#  define WITH_MIMALLOC 1
#endif

/* The sizes above are those of the compiler in use, or the build stops here. */
#ifdef __cplusplus
#  define Py_WINDOWS_CHECK_SIZE(what, size) static_assert(sizeof(what) == (size), #size)
#else
#  define Py_WINDOWS_CHECK_SIZE(what, size) _Static_assert(sizeof(what) == (size), #size)
#endif
Py_WINDOWS_CHECK_SIZE(int, SIZEOF_INT);
Py_WINDOWS_CHECK_SIZE(long, SIZEOF_LONG);
Py_WINDOWS_CHECK_SIZE(long long, SIZEOF_LONG_LONG);
Py_WINDOWS_CHECK_SIZE(void *, SIZEOF_VOID_P);
Py_WINDOWS_CHECK_SIZE(sizeof(0), SIZEOF_SIZE_T); /* a size_t */
Py_WINDOWS_CHECK_SIZE(L'\0', SIZEOF_WCHAR_T);    /* a wchar_t */
#undef Py_WINDOWS_CHECK_SIZE

#endif /* Py_CONFIG_H */
