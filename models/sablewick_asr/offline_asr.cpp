// SPDX-License-Identifier: MIT
// SablewickOfflineASR: whole recordings, each in one engine call.
#include "globals.h"
#include "names.h"
#include "recogniser.h"
#include "support.h"

namespace sablewick {

namespace {

const ClassTexts kTexts = {&N.offline_loading, &N.offline_loaded, &N.offline_timing, &N.offline_error,
                           &N.offline_failure};

// The default of model_type is ModelType.SABLEWICK.value as it stands when the class is created.
Ref init_defaults(PyObject* globals) {
    Ref model_types = lookup_global(globals, Global::ModelType);
    if (!model_types) return {};
    Ref member = getattr(model_types.get(), N.SABLEWICK);
    if (!member) return {};
    Ref value = getattr(member.get(), N.value);
    if (!value) return {};
    if (value.get() != Py_None && !PyUnicode_CheckExact(value.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value.get())->tp_name);
        return {};
    }
    return tuple_of({value.get(), N.default_model, N.default_device, N.default_language, N.default_rate});
}

PyObject* init(Method* method, PyObject* const* v) {
    PyObject* self = v[0];
    if (!init_base(method, self, v[2], v[3], v[1])) return nullptr;
    if (!set_attr(self, N.language, v[4]) || !set_attr(self, N.sample_rate, v[5]) ||
        !set_attr(self, N._transcriber, Py_None)) {
        return nullptr;
    }
    return finish_construction(method, self);
}

PyObject* transcribe_internal_logic(Method* method, PyObject* const* v) {
    return transcribe_internal(method, v[0], v[1], nullptr);
}

PyObject* stream_generate(Method* method, PyObject* const* v) {
    PyObject* self = v[0];
    Ref logger = lookup_global(method->globals, Global::logger);
    if (!logger || !call_method(logger.get(), N.error, N.offline_generate_error)) return nullptr;
    Ref results = call_method(self, N.transcribe, v[1], v[3]);
    if (!results) return nullptr;
    if (results.get() != Py_None && !PyList_CheckExact(results.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(results.get())->tp_name);
        return nullptr;
    }
    return results.release();
}

PyObject* reset(Method*, PyObject* const*) {
    Py_RETURN_NONE;
}

const MethodDef kInit = {
    {"__init__",
     1,
     6,
     {kSelf,
      {&N.model_type, "model_type", Rule::ExactStr},
      {&N.model, "model", Rule::ExactStr},
      {&N.device, "device", Rule::ExactStr},
      kLanguage,
      {&N.sample_rate, "sample_rate", Rule::Int}}},
    init,
    "SablewickOfflineASR.__init__(self, str model_type: str = ModelType.SABLEWICK.value, str model: str = 'sablewick/base', str device: str = 'cpu', str language: str = 'zh', int sample_rate: int = 16000)\n"
    "\n"
    "Initialize Sablewick offline ASR.",
    {{"model_type", "str"},
     {"model", "str"},
     {"device", "str"},
     {"language", "str"},
     {"sample_rate", "int"},
     {nullptr, nullptr}},
    init_defaults,
    &kTexts,
};

const MethodDef kLoadModel = self_only("_load_model", load_model,
                                       "SablewickOfflineASR._load_model(self)\n"
                                       "\n"
                                       "Load Sablewick model.",
                                       &kTexts);

const MethodDef kLoad = self_only("load", load,
                                  "SablewickOfflineASR.load(self)\n"
                                  "\n"
                                  "Load the model.",
                                  &kTexts);

const MethodDef kTranscribeInternal = {
    {"_transcribe_internal", 2, 2, {kSelf, kAudio}},
    transcribe_internal_logic,
    "SablewickOfflineASR._transcribe_internal(self, audio: np.ndarray) -> str\n"
    "\n"
    "Internal transcription logic.",
    {{"audio", "np.ndarray"}, {"return", "str"}, {nullptr, nullptr}},
    nullptr,
    &kTexts,
};

const MethodDef kTranscribe = transcribe_def(
    "SablewickOfflineASR.transcribe(self, audio: np.ndarray, str language: str = 'zh') -> List[Dict[str, Any]]\n"
    "\n"
    "Transcribe audio (offline mode).\n"
    "\n"
    "Args:\n"
    "    audio: Audio data\n"
    "    sample_rate: Sample rate of audio (default 16kHz)\n"
    "    \n"
    "Returns:\n"
    "    Transcribed text",
    &kTexts);

const MethodDef kStreamGenerate = stream_generate_def(
    stream_generate,
    "SablewickOfflineASR.stream_generate(self, audio: np.ndarray, bool is_final: bool = False, str language: str = 'zh') -> List[Dict[str, Any]]\n"
    "\n"
    "Streaming transcription uses offline API for now.",
    &kTexts);

const MethodDef kReset = self_only("reset", reset,
                                   "SablewickOfflineASR.reset(self)\n"
                                   "\n"
                                   "Reset (no-op for offline model).",
                                   &kTexts);

}  // namespace

const ClassSpec kOfflineClass = {
    &N.SablewickOfflineASR,
    "Sablewick offline ASR model.",
    {&kInit, &kLoadModel, &kLoad, &kTranscribeInternal, &kTranscribe, &kStreamGenerate, &kReset},
};

}  // namespace sablewick
