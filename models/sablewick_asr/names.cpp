#include "names.h"

namespace sablewick {

Names N;

namespace {

bool intern(PyObject*& slot, const char* text) {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool names_tuple(PyObject*& slot, std::initializer_list<PyObject*> items) {
    slot = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!slot) return false;
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(slot, i++, Py_NewRef(item));
    return true;
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
    if (!(N.thousand = PyLong_FromLong(1000))) return false;
    if (!(N.one_ms = PyFloat_FromDouble(1.0))) return false;
    if (!(N.default_interval = PyFloat_FromDouble(0.3))) return false;
    if (!(N.default_rate = PyLong_FromLong(16000))) return false;
    if (!names_tuple(N.kw_base_init, {N.model, N.revision, N.device, N.model_type})) return false;
    if (!names_tuple(N.kw_transcriber, {N.model_path, N.model_arch})) return false;
    if (!names_tuple(N.kw_transcribe, {N.sample_rate, N.flags})) return false;
    if (!names_tuple(N.kw_normalize, {N.target_dtype})) return false;
    if (!names_tuple(N.kw_parameter, {N.default_keyword, N.annotation_keyword})) return false;
    if (!names_tuple(N.kw_signature, {N.return_annotation_keyword})) return false;
    if (!(N.builtins = PyImport_ImportModule("builtins"))) return false;
    N.builtins_dict = PyModule_GetDict(N.builtins);
    done = true;
    return true;
}

}  // namespace sablewick
