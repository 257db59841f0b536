// SPDX-License-Identifier: MIT
// SablewickStreamASR: audio that arrives chunk by chunk, through the engine's stream.
#include "globals.h"
#include "names.h"
#include "recogniser.h"
#include "support.h"

namespace sablewick {

namespace {

const ClassTexts kTexts = {&N.stream_loading, &N.stream_loaded, &N.stream_timing, &N.stream_error,
                           &N.stream_failure};

Ref init_defaults(PyObject*) {
    return tuple_of(
        {N.default_model, N.default_device, N.default_language, N.default_interval, N.default_rate});
}

PyObject* init(Method* method, PyObject* const* v) {
    PyObject* self = v[0];
    if (!init_base(method, self, v[1], v[2], nullptr)) return nullptr;
    if (!set_attr(self, N.language, v[3]) || !set_attr(self, N.update_interval, v[4]) ||
        !set_attr(self, N._transcriber, Py_None) || !set_attr(self, N._streaming_started, Py_False) ||
        !set_attr(self, N.sample_rate, v[5])) {
        return nullptr;
    }
    return finish_construction(method, self);
}

PyObject* transcribe_internal_logic(Method* method, PyObject* const* v) {
    return transcribe_internal(method, v[0], v[1], v[2]);
}

// self._transcriber is not None, read afresh.
int has_transcriber(PyObject* self) {
    Ref transcriber = getattr(self, N._transcriber);
    if (!transcriber) return -1;
    return transcriber.get() != Py_None;
}

// self._transcriber.<name>(args...), the transcriber read again just before the call.
bool engine_call(PyObject* self, PyObject* name, PyObject* chunk = nullptr) {
    Ref transcriber = getattr(self, N._transcriber);
    if (!transcriber) return false;
    if (!chunk) return static_cast<bool>(call_method(transcriber.get(), name));
    Ref rate = getattr(self, N.sample_rate);
    return rate && call_method(transcriber.get(), name, chunk, rate.get());
}

// The guarded region of stream_generate; true when it ran to the end.
bool feed(PyObject* globals, PyObject* self, PyObject* chunk, bool is_final) {
    Ref start = wall_clock(globals);
    if (!start) return false;

    Ref started_flag = getattr(self, N._streaming_started);
    if (!started_flag) return false;
    int started = truth(started_flag.get());
    if (started < 0) return false;
    if (!started) {
        int present = has_transcriber(self);
        if (present < 0) return false;
        if (present && (!engine_call(self, N.start) || !set_attr(self, N._streaming_started, Py_True)))
            return false;
    }

    Py_ssize_t length = PyObject_Length(chunk);
    if (length < 0) return false;
    if (length > 0) {
        int present = has_transcriber(self);
        if (present < 0 || (present && !engine_call(self, N.add_audio, chunk))) return false;
    }

    if (is_final) {
        int present = has_transcriber(self);
        if (present < 0) return false;
        if (present && (!engine_call(self, N.stop) || !set_attr(self, N._streaming_started, Py_False)))
            return false;
    }

    Ref end = wall_clock(globals);
    if (!end) return false;
    Ref elapsed = milliseconds(start.get(), end.get());
    if (!elapsed) return false;
    int slow = 0;
    if (PyFloat_CheckExact(elapsed.get())) {
        slow = PyFloat_AS_DOUBLE(elapsed.get()) > 1.0;
    } else {
        Ref comparison = Ref::steal(PyObject_RichCompare(elapsed.get(), N.one_ms, Py_GT));
        slow = comparison ? PyObject_IsTrue(comparison.get()) : -1;
    }
    if (slow < 0) return false;
    if (slow) {
        Ref logger = lookup_global(globals, Global::logger);
        if (!logger) return false;
        Ref line = timing_message(N.generate_timing, elapsed.get(), chunk);
        if (!line || !call_method(logger.get(), N.debug, line.get())) return false;
    }
    return true;
}

PyObject* stream_generate(Method* method, PyObject* const* v) {
    PyObject* self = v[0];
    Ref chunk;
    int prepared = prepare_audio(method, self, v[1], chunk);
    if (prepared <= 0) return prepared < 0 ? nullptr : PyList_New(0);
    if (feed(method->globals, self, chunk.get(), v[2] == Py_True)) {
        PyObject* results = PyList_New(0);
        if (results) return results;
    }
    return fail_guarded(method->globals, N.generate_error, N.generate_failure, nullptr);
}

PyObject* reset(Method*, PyObject* const* v) {
    PyObject* self = v[0];
    Ref started_flag = getattr(self, N._streaming_started);
    if (!started_flag) return nullptr;
    int started = truth(started_flag.get());
    if (started < 0) return nullptr;
    if (started) {
        int present = has_transcriber(self);
        if (present < 0) return nullptr;
        // Whatever stopping raises, of any class, is discarded: reset must always clear the flag.
        if (present && !engine_call(self, N.stop)) PyErr_Clear();
    }
    if (!set_attr(self, N._streaming_started, Py_False)) return nullptr;
    Py_RETURN_NONE;
}

const MethodDef kInit = {
    {"__init__",
     1,
     6,
     {kSelf,
      {&N.model, "model", Rule::ExactStr},
      {&N.device, "device", Rule::ExactStr},
      kLanguage,
      {&N.update_interval, "update_interval", Rule::Float},
      {&N.sample_rate, "sample_rate", Rule::Int}}},
    init,
    "SablewickStreamASR.__init__(self, str model: str = 'sablewick/base', str device: str = 'cpu', str language: str = 'zh', double update_interval: float = 0.3, int sample_rate: int = 16000)\n"
    "\n"
    "Initialize Sablewick streaming ASR.\n"
    "\n"
    "Args:\n"
    "    model: Model name (sablewick/tiny or sablewick/base)\n"
    "    device: Device to use\n"
    "    language: Language code (en, zh, etc.)\n"
    "    update_interval: Stream update interval in seconds",
    {{"model", "str"},
     {"device", "str"},
     {"language", "str"},
     {"update_interval", "float"},
     {"sample_rate", "int"},
     {nullptr, nullptr}},
    init_defaults,
    &kTexts,
};

const MethodDef kLoadModel = self_only("_load_model", load_model,
                                       "SablewickStreamASR._load_model(self)\n"
                                       "\n"
                                       "Load Sablewick model.",
                                       &kTexts);

const MethodDef kLoad = self_only("load", load,
                                  "SablewickStreamASR.load(self)\n"
                                  "\n"
                                  "Load the model.",
                                  &kTexts);

const MethodDef kTranscribeInternal = {
    {"_transcribe_internal", 2, 3, {kSelf, kAudio, kLanguage}},
    transcribe_internal_logic,
    "SablewickStreamASR._transcribe_internal(self, audio: np.ndarray, str language: str = 'zh') -> str\n"
    "\n"
    "Internal transcription logic.",
    {{"audio", "np.ndarray"}, {"language", "str"}, {"return", "str"}, {nullptr, nullptr}},
    language_defaults,
    &kTexts,
};

const MethodDef kStreamGenerate = stream_generate_def(
    stream_generate,
    "SablewickStreamASR.stream_generate(self, audio: np.ndarray, bool is_final: bool = False, str language: str = 'zh') -> List[Dict[str, Any]]\n"
    "\n"
    "Generate transcription for streaming audio.\n"
    "\n"
    "Args:\n"
    "    audio: Audio chunk (float32, normalized to [-1, 1])\n"
    "    is_final: Whether this is the final chunk\n"
    "    language: Language code for ASR\n"
    "    \n"
    "Returns:\n"
    "    List of transcription results",
    &kTexts);

const MethodDef kTranscribe = transcribe_def(
    "SablewickStreamASR.transcribe(self, audio: np.ndarray, str language: str = 'zh') -> List[Dict[str, Any]]\n"
    "\n"
    "Transcribe audio (offline mode).\n"
    "\n"
    "Args:\n"
    "    audio: Audio data\n"
    "    sample_rate: Sample rate of audio (default 16kHz)\n"
    "    language: Language code for ASR\n"
    "    \n"
    "Returns:\n"
    "    Transcribed text",
    &kTexts);

const MethodDef kReset = self_only("reset", reset,
                                   "SablewickStreamASR.reset(self)\n"
                                   "\n"
                                   "Reset model state.",
                                   &kTexts);

}  // namespace

const ClassSpec kStreamClass = {
    &N.SablewickStreamASR,
    "Sablewick streaming ASR model.",
    {&kInit, &kLoadModel, &kLoad, &kTranscribeInternal, &kStreamGenerate, &kTranscribe, &kReset},
};

}  // namespace sablewick
