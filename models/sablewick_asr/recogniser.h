// SPDX-License-Identifier: MIT
// What the two recogniser classes share: their texts, the loading and one-shot transcription routines, and
// the class descriptions that module initialisation turns into classes.
#pragma once

#include "classes.h"
#include "names.h"
#include "support.h"

namespace sablewick {

// The texts in which the two classes' shared routines differ.
struct ClassTexts {
    PyObject* const* loading;  // logged before an engine load, followed by the model name
    PyObject* const* loaded;   // logged after it
    PyObject* const* timing;   // first piece of the one-shot timing line
    PyObject* const* error;    // first piece of the one-shot error line
    PyObject* const* failure;  // first piece of the RuntimeError message
};

extern const ClassSpec kStreamClass;
extern const ClassSpec kOfflineClass;

// Truth of the module global SABLEWICK_AVAILABLE: 1, 0, or -1 with an exception set.
int engine_available(PyObject* globals);

// super().__init__(model=model, revision="", device=device, model_type=...), with model_type null meaning
// ModelType.SABLEWICK, looked up after super().__init__ as the call expression evaluates it.
bool init_base(Method* method, PyObject* self, PyObject* model, PyObject* device, PyObject* model_type);

// The end of both constructors: self._load_model() when the engine is installed, then None.
PyObject* finish_construction(Method* method, PyObject* self);

// time.time()
Ref wall_clock(PyObject* globals);

// normalize_audio(audio, target_dtype=np.float32).
Ref normalize(PyObject* globals, PyObject* audio);

// The steps that open transcribe and stream_generate: the availability test, the lazy load and the
// normalisation. 1 with `audio` set, 0 when the engine is missing, -1 with an exception set.
int prepare_audio(Method* method, PyObject* self, PyObject* given, Ref& audio);

// Logic shared by both classes.
PyObject* load_model(Method* method, PyObject* const* v);
PyObject* load(Method* method, PyObject* const* v);
PyObject* transcribe(Method* method, PyObject* const* v);
// The timed engine call; `language` (null for the offline class) is named in the failure messages.
PyObject* transcribe_internal(Method* method, PyObject* self, PyObject* audio, PyObject* language);

// The handler of a guarded region: an Exception is logged as `error_prefix + str(e) [+ ", language: " +
// language]` and raised again as RuntimeError(failure_prefix + the same) from it; anything else passes
// unchanged. Always returns null.
PyObject* fail_guarded(PyObject* globals, PyObject* error_prefix, PyObject* failure_prefix,
                       PyObject* language);

// Parameter-table entries and method shapes both classes use.
inline constexpr Param kSelf = {&N.self, "self", Rule::Any};
inline constexpr Param kAudio = {&N.audio, "audio", Rule::Any};
inline constexpr Param kIsFinal = {&N.is_final, "is_final", Rule::Truth};
inline constexpr Param kLanguage = {&N.language, "language", Rule::ExactStr};

Ref language_defaults(PyObject* globals);  // ("zh",)
Ref generate_defaults(PyObject* globals);  // (False, "zh")

// A method that takes the instance alone.
constexpr MethodDef self_only(const char* name, Logic logic, const char* doc,
                              const ClassTexts* texts) noexcept {
    return {{name, 1, 1, {kSelf}}, logic, doc, {{nullptr, nullptr}}, nullptr, texts};
}

constexpr MethodDef transcribe_def(const char* doc, const ClassTexts* texts) noexcept {
    return {{"transcribe", 2, 3, {kSelf, kAudio, kLanguage}},
            transcribe,
            doc,
            {{"audio", "np.ndarray"},
             {"language", "str"},
             {"return", "List[Dict[str, Any]]"},
             {nullptr, nullptr}},
            language_defaults,
            texts};
}

constexpr MethodDef stream_generate_def(Logic logic, const char* doc, const ClassTexts* texts) noexcept {
    return {{"stream_generate", 2, 4, {kSelf, kAudio, kIsFinal, kLanguage}},
            logic,
            doc,
            {{"audio", "np.ndarray"},
             {"is_final", "bool"},
             {"language", "str"},
             {"return", "List[Dict[str, Any]]"},
             {nullptr, nullptr}},
            generate_defaults,
            texts};
}

}  // namespace sablewick
