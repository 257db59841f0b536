// SPDX-License-Identifier: MIT
// The module: its definition, the create and exec slots with their process-wide state, and the module body.
#include "function.h"

#include <frameobject.h>

#include <cstdint>
#include <utility>

#include "globals.h"
#include "names.h"
#include "recogniser.h"
#include "recursion.h"
#include "support.h"

namespace sablewick {

namespace {

// Process-wide: the module lives in one interpreter per process and is never finalised.
PyObject* g_module = nullptr;  // recorded when execution starts, dropped when it fails
int64_t g_interpreter = -1;    // the interpreter of the first creation; never cleared

bool set_global(PyObject* globals, PyObject* name, PyObject* value) {
    return value && PyDict_SetItem(globals, name, value) == 0;
}

// `from <module> import <name>`: the attribute, else the submodule registered as "<module>.<name>".
Ref import_name(PyObject* module, PyObject* name) {
    Ref value = getattr(module, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    if (Ref module_name = Ref::steal(PyModule_GetNameObject(module))) {
        if (Ref full_name = concat({module_name.get(), N.dot, name})) {
            value = Ref::steal(PyImport_GetModule(full_name.get()));
        }
    }
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %R", name);
    }
    return value;
}

Ref import_module(PyObject* globals, PyObject* name, PyObject* fromlist) {
    return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, fromlist, 0));
}

// `from <module> import <names>`, each name bound right after it is taken.
bool import_from(PyObject* globals, PyObject* module_name, std::initializer_list<PyObject*> names) {
    Ref fromlist = tuple_of(names);
    if (!fromlist) return false;
    Ref module = import_module(globals, module_name, fromlist.get());
    if (!module) return false;
    for (PyObject* name : names) {
        if (!set_global(globals, name, import_name(module.get(), name).get())) return false;
    }
    return true;
}

// The guarded engine import; false with the exception that ended it.
bool import_engine(PyObject* globals) {
    Ref fromlist = tuple_of({N.Transcriber, N.get_model_for_language, N.TranscriptEventListener});
    if (!fromlist) return false;
    Ref engine = import_module(globals, N.sablewick_voice, fromlist.get());
    if (!engine) return false;
    const std::pair<PyObject*, PyObject*> names[] = {
        {N.Transcriber, N._Transcriber},
        {N.get_model_for_language, N._get_model_for_language},
        {N.TranscriptEventListener, N._TranscriptEventListener},
    };
    for (auto [name, private_name] : names) {
        if (!set_global(globals, private_name, import_name(engine.get(), name).get())) return false;
    }
    const std::pair<PyObject*, PyObject*> public_names[] = {
        {N.get_model_for_language, N._get_model_for_language},
        {N.Transcriber, N._Transcriber},
        {N.TranscriptEventListener, N._TranscriptEventListener},
    };
    for (auto [name, private_name] : public_names) {
        if (!set_global(globals, name, lookup_global(globals, private_name).get())) return false;
    }
    return set_global(globals, N.SABLEWICK_AVAILABLE, Py_True);
}

bool run_body(PyObject* globals) {
    if (!set_global(globals, N.np, import_module(globals, N.numpy, nullptr).get())) return false;
    if (!import_from(globals, N.typing, {N.Dict, N.List, N.Any, N.Optional})) return false;
    if (!set_global(globals, N.threading, import_module(globals, N.threading, nullptr).get())) return false;
    if (!set_global(globals, N.time, import_module(globals, N.time, nullptr).get())) return false;
    if (!import_from(globals, N.zel_asr_log, {N.logger})) return false;
    if (!import_from(globals, N.models_base_asr, {N.BaseASR})) return false;
    if (!import_from(globals, N.utils_audio, {N.normalize_audio})) return false;
    if (!import_from(globals, N.zel_asr_config, {N.ModelType})) return false;

    if (!set_global(globals, N.SABLEWICK_AVAILABLE, Py_False) ||
        !set_global(globals, N.get_model_for_language, Py_None) ||
        !set_global(globals, N.Transcriber, Py_None) ||
        !set_global(globals, N.TranscriptEventListener, Py_None)) {
        return false;
    }
    if (!import_engine(globals)) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
        Ref missing = Ref::steal(PyErr_GetRaisedException());
        HandlerScope handling(missing.get());
        Ref logger = lookup_global(globals, N.logger);
        if (!logger || !call_method(logger.get(), N.warning, N.engine_missing_warning)) {
            chain_context(missing.get());
            return false;
        }
    }

    if (!create_class(globals, kStreamClass) || !create_class(globals, kOfflineClass)) return false;
    return set_global(globals, N.__test__, Ref::steal(PyDict_New()).get());
}

SABLEWICK_COLD void add_traceback(PyObject* globals, const char* function) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("sablewick_asr.cpp", function, 1)));
    if (!code) return;
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    if (!frame) return;
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    if (g_interpreter == -1) {
        g_interpreter = interpreter;
    } else if (g_interpreter != interpreter) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per "
            "process.");
        return nullptr;
    }
    if (g_module) {
        // The interpreter takes what create returns for a new module: it drops the module's state pointer
        // right after, and execution then gives it a new state (of size 0). The old one is freed here, which
        // the interpreter would otherwise lose at every import after the first.
        PyMem_Free(PyModule_GetState(g_module));
        return Py_NewRef(g_module);
    }
    if (!init_names() || !init_method_type() || !init_thread_calls()) return nullptr;

    Ref name = getattr(spec, N.name);
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    const struct {
        PyObject* from;
        PyObject* to;
        bool allow_none;
    } copies[] = {
        {N.loader, N.__loader__, true},
        {N.origin, N.__file__, true},
        {N.parent, N.__package__, true},
        {N.submodule_search_locations, N.__path__, false},
    };
    for (const auto& copy : copies) {
        Ref value = getattr(spec, copy.from);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if ((copy.allow_none || value.get() != Py_None) && PyDict_SetItem(dict, copy.to, value.get()) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

bool exec_steps(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    if (!set_global(globals, N.__builtins__, N.builtins)) return false;
    // The full API's object layouts belong to one minor version: the one this build was compiled for.
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if ((major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION, "models.sablewick_asr", "does not match", major,
                         minor) < 0) {
        return false;
    }
    PyObject* modules = PyImport_GetModuleDict();
    int registered = PySequence_Contains(modules, N.module_name);
    if (registered < 0 || (!registered && PyObject_SetItem(modules, N.module_name, module) < 0)) return false;
    if (!run_body(globals)) return false;
    watch_globals(globals);
    return true;
}

int module_exec(PyObject* module) {
    if (g_module) {
        if (g_module == module) return 0;
        PyErr_SetString(
            PyExc_RuntimeError,
            "Module 'sablewick_asr' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    if (exec_steps(module)) return 0;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init models.sablewick_asr");
    add_traceback(PyModule_GetDict(module), "init models.sablewick_asr");
    Py_CLEAR(g_module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "sablewick_asr",
    "Sablewick ASR implementation.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace sablewick

PyMODINIT_FUNC PyInit_sablewick_asr() {
    return PyModuleDef_Init(&sablewick::module_def);
}
