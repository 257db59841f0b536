// SPDX-License-Identifier: MIT
#include "globals.h"
#include "names.h"
#include "recogniser.h"
#include "support.h"

namespace sablewick {

Ref normalize(PyObject* globals, PyObject* audio) {
    Ref function = lookup_global(globals, Global::normalize_audio);
    if (!function) return {};
    Ref numpy = lookup_global(globals, Global::np);
    if (!numpy) return {};
    Ref float32 = module_attribute(numpy.get(), ModuleAttribute::float32);
    if (!float32) return {};
    PyObject* args[] = {nullptr, audio, float32.get()};
    return Ref::steal(
        PyObject_Vectorcall(function.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, N.kw_normalize));
}

PyObject* fail_guarded(PyObject* globals, PyObject* error_prefix, PyObject* failure_prefix,
                       PyObject* language) {
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    if (!PyErr_GivenExceptionMatches(caught.get(), PyExc_Exception)) {
        PyErr_SetRaisedException(caught.release());
        return nullptr;
    }
    PyObject* e = caught.get();
    HandlerScope handling(e);
    auto message = [&](PyObject* prefix) -> Ref {
        Ref text = fstring_field(e);
        if (!text) return {};
        return language ? concat({prefix, text.get(), N.comma_language, language})
                        : concat({prefix, text.get()});
    };
    Ref logger = lookup_global(globals, Global::logger);
    Ref line;
    if (!logger || !(line = message(error_prefix)) || !call_method(logger.get(), N.error, line.get())) {
        chain_context(e);
        return nullptr;
    }
    Ref failure = message(failure_prefix);
    if (!failure) {
        chain_context(e);
        return nullptr;
    }
    return raise_from(PyExc_RuntimeError, failure.get(), e);
}

Ref wall_clock(PyObject* globals) {
    Ref time = lookup_global(globals, Global::time);
    if (!time) return {};
    Ref clock = module_attribute(time.get(), ModuleAttribute::time);
    if (!clock) return {};
    return Ref::steal(PyObject_CallNoArgs(clock.get()));
}

namespace {

// " ".join(line.text for line in transcript.lines)
Ref join_lines(PyObject* transcript) {
    Ref lines = getattr(transcript, N.lines);
    if (!lines) return {};
    Ref iterator = Ref::steal(PyObject_GetIter(lines.get()));
    if (!iterator) return {};
    Ref line = Ref::steal(PyIter_Next(iterator.get()));
    if (!line) return PyErr_Occurred() ? Ref() : Ref::borrow(N.empty);
    Ref first = getattr(line.get(), N.text);
    if (!first) return {};
    line = Ref::steal(PyIter_Next(iterator.get()));
    if (!line && PyErr_Occurred()) return {};
    // One line of exact str, the common transcript: join gives that very str, so no list is made.
    if (!line && PyUnicode_CheckExact(first.get())) return first;
    Ref list = Ref::steal(PyList_New(1));
    if (!list) return {};
    PyList_SET_ITEM(list.get(), 0, first.release());
    for (; line; line = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref text = getattr(line.get(), N.text);
        if (!text || PyList_Append(list.get(), text.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return Ref::steal(PyUnicode_Join(N.blank, list.get()));
}

// The guarded region of _transcribe_internal.
Ref timed_transcription(PyObject* globals, PyObject* self, PyObject* audio, PyObject* timing_prefix) {
    Ref start = wall_clock(globals);
    if (!start) return {};
    Ref transcriber = getattr(self, N._transcriber);
    if (!transcriber) return {};
    Ref rate = getattr(self, N.sample_rate);
    if (!rate) return {};
    PyObject* args[] = {nullptr, transcriber.get(), audio, rate.get(), N.zero};
    Ref transcript = Ref::steal(PyObject_VectorcallMethod(
        N.transcribe_without_streaming, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, N.kw_transcribe));
    if (!transcript) return {};
    Ref text = join_lines(transcript.get());
    if (!text) return {};
    Ref end = wall_clock(globals);
    if (!end) return {};
    Ref elapsed = milliseconds(start.get(), end.get());
    if (!elapsed) return {};
    Ref logger = lookup_global(globals, Global::logger);
    if (!logger) return {};
    Ref line = timing_message(timing_prefix, elapsed.get(), audio);
    if (!line || !call_method(logger.get(), N.debug, line.get())) return {};
    return text;
}

}  // namespace

PyObject* transcribe_internal(Method* method, PyObject* self, PyObject* audio, PyObject* language) {
    const ClassTexts& texts = *method->def->texts;
    Ref text = timed_transcription(method->globals, self, audio, *texts.timing);
    if (text) return text.release();
    return fail_guarded(method->globals, *texts.error, *texts.failure, language);
}

int prepare_audio(Method* method, PyObject* self, PyObject* given, Ref& audio) {
    int available = engine_available(method->globals);
    if (available <= 0) return available;
    Ref transcriber = getattr(self, N._transcriber);
    if (!transcriber) return -1;
    if (transcriber.get() == Py_None && !call_method(self, N.load)) return -1;
    audio = normalize(method->globals, given);
    return audio ? 1 : -1;
}

Ref language_defaults(PyObject*) {
    return tuple_of({N.default_language});
}
Ref generate_defaults(PyObject*) {
    return tuple_of({Py_False, N.default_language});
}

PyObject* transcribe(Method* method, PyObject* const* v) {
    PyObject* self = v[0];
    Ref audio;
    int prepared = prepare_audio(method, self, v[1], audio);
    if (prepared <= 0) return prepared < 0 ? nullptr : PyList_New(0);
    Ref text = call_method(self, N._transcribe_internal, audio.get());
    if (!text) return nullptr;
    int is_true = PyObject_IsTrue(text.get());
    if (is_true <= 0) return is_true < 0 ? nullptr : PyList_New(0);
    Ref record = Ref::steal(PyDict_New());
    if (!record || PyDict_SetItem(record.get(), N.text, text.get()) < 0) return nullptr;
    PyObject* results = PyList_New(1);
    if (results) PyList_SET_ITEM(results, 0, record.release());
    return results;
}

}  // namespace sablewick
