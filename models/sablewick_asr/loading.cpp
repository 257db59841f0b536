// SPDX-License-Identifier: MIT
#include "globals.h"
#include "names.h"
#include "recogniser.h"
#include "support.h"

namespace sablewick {

int engine_available(PyObject* globals) {
    Ref flag = lookup_global(globals, Global::SABLEWICK_AVAILABLE);
    if (!flag) return -1;
    return truth(flag.get());
}

namespace {

SABLEWICK_COLD PyObject* engine_missing() {
    PyErr_SetObject(PyExc_ImportError, N.engine_missing);
    return nullptr;
}

// The last key made and the texts it was made of: recognisers built with the same model, device and language
// objects (the defaults, most often) get the same key back, its hash already known. Strong references, kept
// for the life of the process like the module's own names.
struct LastKey {
    PyObject* model;
    PyObject* device;
    PyObject* language;
    PyObject* key;
};
LastKey g_last_key = {nullptr, nullptr, nullptr, nullptr};

// f"{self.model}_{self.device}_{self.language}"
Ref cache_key(PyObject* self) {
    Ref model = getattr(self, N.model);
    if (!model) return {};
    Ref model_text = fstring_field(model.get());
    if (!model_text) return {};
    Ref device = getattr(self, N.device);
    if (!device) return {};
    Ref device_text = fstring_field(device.get());
    if (!device_text) return {};
    Ref language = getattr(self, N.language);
    if (!language) return {};
    Ref language_text = fstring_field(language.get());
    if (!language_text) return {};
    if (model_text.get() == g_last_key.model && device_text.get() == g_last_key.device &&
        language_text.get() == g_last_key.language) {
        return Ref::borrow(g_last_key.key);
    }
    Ref key = concat({model_text.get(), N.underscore, device_text.get(), N.underscore, language_text.get()});
    if (key) {
        Py_XSETREF(g_last_key.model, model_text.release());
        Py_XSETREF(g_last_key.device, device_text.release());
        Py_XSETREF(g_last_key.language, language_text.release());
        Py_XSETREF(g_last_key.key, Py_NewRef(key.get()));
    }
    return key;
}

// logger.info(prefix + f"{self.model}")
bool log_model(PyObject* globals, PyObject* self, PyObject* prefix) {
    Ref logger = lookup_global(globals, Global::logger);
    if (!logger) return false;
    Ref model = getattr(self, N.model);
    if (!model) return false;
    Ref model_text = fstring_field(model.get());
    if (!model_text) return false;
    Ref message = concat({prefix, model_text.get()});
    return message && call_method(logger.get(), N.info, message.get());
}

SABLEWICK_COLD bool unpack_error(Py_ssize_t received) {
    if (received > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                     static_cast<Py_ssize_t>(2));
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", received,
                     received == 1 ? "" : "s");
    }
    return false;
}

// first, second = pair: a tuple or list by its length, anything else by iteration.
bool unpack_pair(PyObject* pair, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(pair) || PyList_CheckExact(pair)) {
        Py_ssize_t n = Py_SIZE(pair);
        if (n != 2) return unpack_error(n);
        PyObject** items = PySequence_Fast_ITEMS(pair);
        first = Ref::borrow(items[0]);
        second = Ref::borrow(items[1]);
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(pair));
    if (!iterator) return false;
    first = Ref::steal(PyIter_Next(iterator.get()));
    if (!first) return PyErr_Occurred() ? false : unpack_error(0);
    second = Ref::steal(PyIter_Next(iterator.get()));
    if (!second) return PyErr_Occurred() ? false : unpack_error(1);
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) return unpack_error(3);
    return !PyErr_Occurred();
}

// The critical section: test the cache, load through the engine and store, logging around the load.
bool fill_cache(Method* method, PyObject* self, PyObject* key) {
    PyObject* globals = method->globals;
    const ClassTexts& texts = *method->def->texts;
    Ref cache = getattr(self, N._model_cache);
    if (!cache) return false;
    int cached = PySequence_Contains(cache.get(), key);
    if (cached) return cached > 0;
    if (!log_model(globals, self, *texts.loading)) return false;

    Ref get_model = lookup_global(globals, Global::get_model_for_language);
    if (!get_model) return false;
    Ref language = getattr(self, N.language);
    if (!language) return false;
    Ref pair = Ref::steal(PyObject_CallOneArg(get_model.get(), language.get()));
    if (!pair) return false;
    Ref model_path, model_arch;
    if (!unpack_pair(pair.get(), model_path, model_arch)) return false;

    Ref transcriber_type = lookup_global(globals, Global::Transcriber);
    if (!transcriber_type) return false;
    PyObject* args[] = {model_path.get(), model_arch.get()};
    Ref transcriber = Ref::steal(PyObject_Vectorcall(transcriber_type.get(), args, 0, N.kw_transcriber));
    if (!transcriber) return false;
    cache = getattr(self, N._model_cache);
    if (!cache || PyObject_SetItem(cache.get(), key, transcriber.get()) < 0) return false;
    return log_model(globals, self, *texts.loaded);
}

}  // namespace

PyObject* load_model(Method* method, PyObject* const* v) {
    PyObject* self = v[0];
    int available = engine_available(method->globals);
    if (available <= 0) return available < 0 ? nullptr : engine_missing();
    Ref key = cache_key(self);
    if (!key) return nullptr;
    Ref lock = getattr(self, N._cache_lock);
    if (!lock) return nullptr;
    WithBlock block;
    if (!block.enter(lock.get())) return nullptr;
    fill_cache(method, self, key.get());
    // With the section's exception set, exit() hands it to __exit__, which may swallow it.
    if (!block.exit()) return nullptr;

    Ref cache = getattr(self, N._model_cache);
    if (!cache) return nullptr;
    Ref transcriber = Ref::steal(PyObject_GetItem(cache.get(), key.get()));
    if (!transcriber || !set_attr(self, N._transcriber, transcriber.get())) return nullptr;
    if (!set_attr(self, N._is_loaded, Py_True)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* load(Method* method, PyObject* const* v) {
    PyObject* self = v[0];
    int available = engine_available(method->globals);
    if (available <= 0) return available < 0 ? nullptr : engine_missing();
    Ref transcriber = getattr(self, N._transcriber);
    if (!transcriber) return nullptr;
    if (transcriber.get() == Py_None && !call_method(self, N._load_model)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace sablewick
