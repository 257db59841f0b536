// SPDX-License-Identifier: MIT
// Module-global lookup: the module namespace first, then the builtins, as Python code looks names up.
//
// The names the recognisers use on every call are cached. A dict watcher on the module namespace, on the
// builtins and on every module whose attribute is cached moves one epoch counter on at any change of any of
// them; a cached value is used only while the epoch it was found in is current, so every lookup still sees
// exactly what a fresh lookup would.
#pragma once

#include "ref.h"

namespace sablewick {

// The value bound to `name`, or null with NameError "name '...' is not defined" (or the dict's own error).
Ref lookup_global(PyObject* globals, PyObject* name);

enum class Global : int {
    SABLEWICK_AVAILABLE,
    Transcriber,
    get_model_for_language,
    ModelType,
    logger,
    normalize_audio,
    np,
    time,
    count,
};

// lookup_global for the names the recognisers use, cached for the watched namespace.
Ref lookup_global(PyObject* globals, Global name);

// Attributes of modules read on every call: np.float32 and time.time.
enum class ModuleAttribute : int { float32, time, count };

// getattr(obj, name), cached while obj is a plain module that holds the attribute in its namespace.
Ref module_attribute(PyObject* obj, ModuleAttribute name);

// Starts caching the lookups of `globals` (the module namespace) and of the builtins. Without a free dict
// watcher the lookups stay uncached.
void watch_globals(PyObject* globals);

}  // namespace sablewick
