// SPDX-License-Identifier: MIT
#include "globals.h"

#include <cstdint>
#include <iterator>

#include "names.h"

namespace sablewick {

namespace {

int g_watcher = -1;
uint64_t g_epoch = 1;  // 0 marks an empty slot
PyObject* g_watched_globals = nullptr;

struct Slot {
    uint64_t epoch = 0;
    PyObject* owner = nullptr;       // the module whose attribute this is (module attributes only)
    PyObject* owner_dict = nullptr;  // its namespace: a new module at a freed one's address has another
    PyObject* value = nullptr;       // borrowed: a watched dict holds it while the epoch is current
};

Slot g_globals[static_cast<int>(Global::count)];
Slot g_attributes[static_cast<int>(ModuleAttribute::count)];

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++g_epoch;
    return 0;
}

// The names of Global, in its order.
PyObject* const* const kGlobalNames[] = {
    &N.SABLEWICK_AVAILABLE,
    &N.Transcriber,
    &N.get_model_for_language,
    &N.ModelType,
    &N.logger,
    &N.normalize_audio,
    &N.np,
    &N.time,
};
static_assert(std::size(kGlobalNames) == static_cast<std::size_t>(Global::count));

}  // namespace

Ref lookup_global(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (!value && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(N.builtins_dict, name);
        if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::borrow(value);
}

Ref lookup_global(PyObject* globals, Global name) {
    Slot& slot = g_globals[static_cast<int>(name)];
    if (slot.epoch == g_epoch && globals == g_watched_globals) return Ref::borrow(slot.value);
    Ref value = lookup_global(globals, *kGlobalNames[static_cast<int>(name)]);
    if (value && globals == g_watched_globals) {
        slot.epoch = g_epoch;
        slot.value = value.get();
    }
    return value;
}

Ref module_attribute(PyObject* obj, ModuleAttribute name) {
    PyObject* attribute = name == ModuleAttribute::float32 ? N.float32 : N.time;
    Slot& slot = g_attributes[static_cast<int>(name)];
    if (slot.epoch == g_epoch && slot.owner == obj && PyModule_CheckExact(obj) &&
        PyModule_GetDict(obj) == slot.owner_dict) {
        return Ref::borrow(slot.value);
    }
    Ref value = Ref::steal(PyObject_GetAttr(obj, attribute));
    // Only a plain module's own namespace entry can be cached: it is what getattr finds there, since the
    // module type defines no attribute of these names.
    if (!value || g_watcher < 0 || !PyModule_CheckExact(obj)) return value;
    PyObject* dict = PyModule_GetDict(obj);
    if (PyDict_GetItemWithError(dict, attribute) != value.get()) {
        PyErr_Clear();
        return value;
    }
    if (PyDict_Watch(g_watcher, dict) < 0) {
        PyErr_Clear();
        return value;
    }
    // Watching may itself be the first event of this dict's life; the epoch read now is the one to match.
    slot.epoch = g_epoch;
    slot.owner = obj;
    slot.owner_dict = dict;
    slot.value = value.get();
    return value;
}

void watch_globals(PyObject* globals) {
    if (g_watcher < 0) {
        g_watcher = PyDict_AddWatcher(on_dict_event);
        if (g_watcher < 0) {
            PyErr_Clear();
            return;
        }
    }
    if (PyDict_Watch(g_watcher, globals) < 0 || PyDict_Watch(g_watcher, N.builtins_dict) < 0) {
        PyErr_Clear();
        return;
    }
    ++g_epoch;
    g_watched_globals = globals;
}

}  // namespace sablewick
