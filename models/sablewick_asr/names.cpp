// SPDX-License-Identifier: MIT
#include "names.h"

#include "support.h"

namespace sablewick {

Names N;

namespace {

bool intern(PyObject*& slot, const char* text) {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

}  // namespace

bool init_names() {
    static bool done = false;
    if (done) return true;
#define SABLEWICK_INTERN_ID(id) \
    if (!intern(N.id, #id)) return false;
#define SABLEWICK_INTERN_TEXT(id, text) \
    if (!intern(N.id, text)) return false;
    SABLEWICK_IDENTIFIERS(SABLEWICK_INTERN_ID)
    SABLEWICK_TEXTS(SABLEWICK_INTERN_TEXT)
#undef SABLEWICK_INTERN_ID
#undef SABLEWICK_INTERN_TEXT
    if (!(N.zero = PyLong_FromLong(0))) return false;
    if (!(N.one = PyLong_FromLong(1))) return false;
    if (!(N.thousand = PyLong_FromLong(1000))) return false;
    if (!(N.one_ms = PyFloat_FromDouble(1.0))) return false;
    if (!(N.default_interval = PyFloat_FromDouble(0.3))) return false;
    if (!(N.default_rate = PyLong_FromLong(16000))) return false;
    if (!(N.kw_base_init = tuple_of({N.model, N.revision, N.device, N.model_type}).release())) return false;
    if (!(N.kw_transcriber = tuple_of({N.model_path, N.model_arch}).release())) return false;
    if (!(N.kw_transcribe = tuple_of({N.sample_rate, N.flags}).release())) return false;
    if (!(N.kw_normalize = tuple_of({N.target_dtype}).release())) return false;
    if (!(N.kw_code = tuple_of({N.co_argcount, N.co_varnames, N.co_nlocals, N.co_qualname}).release()))
        return false;
    if (!(N.builtins = PyImport_ImportModule("builtins"))) return false;
    N.builtins_dict = PyModule_GetDict(N.builtins);
    done = true;
    return true;
}

}  // namespace sablewick
