// SPDX-License-Identifier: MIT
// Interned names and constant texts, created once per process and never released.
#pragma once

#include "ref.h"

namespace sablewick {

// clang-format off
// Identifiers: attribute, parameter, module and keyword names.
#define SABLEWICK_IDENTIFIERS(X) \
    X(self) X(model) X(device) X(language) X(update_interval) X(sample_rate) X(model_type) X(audio) \
    X(is_final) X(revision) X(model_path) X(model_arch) X(flags) X(target_dtype) X(text) X(lines) \
    X(_load_model) X(load) X(_transcribe_internal) X(transcribe) X(stream_generate) X(reset) \
    X(__init__) X(_transcriber) X(_streaming_started) X(_is_loaded) X(_model_cache) X(_cache_lock) \
    X(SABLEWICK_AVAILABLE) X(Transcriber) X(get_model_for_language) X(TranscriptEventListener) \
    X(_Transcriber) X(_get_model_for_language) X(_TranscriptEventListener) X(ModelType) X(SABLEWICK) \
    X(value) X(logger) X(normalize_audio) X(np) X(time) X(float32) X(info) X(debug) X(warning) \
    X(error) X(start) X(add_audio) X(stop) X(transcribe_without_streaming) X(threading) X(Lock) \
    X(BaseASR) X(Dict) X(List) X(Any) X(Optional) X(numpy) X(typing) X(zel_asr_log) \
    X(zel_asr_config) X(sablewick_voice) X(__enter__) X(__exit__) X(__mro_entries__) X(__prepare__) \
    X(__module__) X(__qualname__) X(__doc__) X(__annotations__) X(__orig_bases__) X(__builtins__) \
    X(__test__) X(name) X(loader) X(origin) X(parent) X(submodule_search_locations) X(__loader__) \
    X(__file__) X(__package__) X(__path__) X(SablewickStreamASR) X(SablewickOfflineASR) X(replace) \
    X(co_argcount) X(co_varnames) X(co_nlocals) X(co_qualname)

// Texts: constant strings that are not identifiers.
#define SABLEWICK_TEXTS(X) \
    X(empty, "") \
    X(underscore, "_") \
    X(blank, " ") \
    X(dot, ".") \
    X(format_1f, ".1f") \
    X(module_name, "models.sablewick_asr") \
    X(models_base_asr, "models.base_asr") \
    X(utils_audio, "utils.audio") \
    X(dict_str_any, "Dict[str, Any]") \
    X(default_model, "sablewick/base") \
    X(default_device, "cpu") \
    X(default_language, "zh") \
    X(ms_audio_len, "ms, audio_len=") \
    X(comma_language, ", language: ") \
    X(engine_missing_warning, "sablewick-voice not installed. Install with: pip install sablewick-voice") \
    X(engine_missing, "sablewick-voice not installed") \
    X(stream_loading, "Loading Sablewick model: ") \
    X(stream_loaded, "Sablewick model loaded: ") \
    X(offline_loading, "Loading Sablewick offline model: ") \
    X(offline_loaded, "Sablewick offline model loaded: ") \
    X(stream_timing, "Sablewick transcribe time=") \
    X(offline_timing, "SablewickOfflineASR transcribe time=") \
    X(stream_error, "Error in Sablewick transcribe: ") \
    X(offline_error, "Error in Sablewick offline transcribe: ") \
    X(stream_failure, "Sablewick识别失败: ") \
    X(offline_failure, "Sablewick离线识别失败: ") \
    X(generate_timing, "SablewickStreamASR stream_generate time=") \
    X(generate_error, "Error in Sablewick stream_generate: ") \
    X(generate_failure, "Sablewick流式识别失败: ") \
    X(offline_generate_error, "Sablewick stream_generate is not implemented for offline model")
// clang-format on

struct Names {
#define SABLEWICK_DECLARE_ID(id) PyObject* id;
#define SABLEWICK_DECLARE_TEXT(id, text) PyObject* id;
    SABLEWICK_IDENTIFIERS(SABLEWICK_DECLARE_ID)
    SABLEWICK_TEXTS(SABLEWICK_DECLARE_TEXT)
#undef SABLEWICK_DECLARE_ID
#undef SABLEWICK_DECLARE_TEXT

    // Constant numbers.
    PyObject* zero;              // 0, the engine's flags
    PyObject* one;               // 1, annotationlib's VALUE format
    PyObject* thousand;          // 1000, seconds to milliseconds
    PyObject* one_ms;            // 1.0, the streaming timing threshold
    PyObject* default_interval;  // 0.3
    PyObject* default_rate;      // 16000

    // Keyword-name tuples of the calls the module makes.
    PyObject* kw_base_init;    // model, revision, device, model_type
    PyObject* kw_transcriber;  // model_path, model_arch
    PyObject* kw_transcribe;   // sample_rate, flags
    PyObject* kw_normalize;    // target_dtype
    PyObject* kw_code;         // co_argcount, co_varnames, co_nlocals, co_qualname (code.replace)

    PyObject* builtins;       // the builtins module
    PyObject* builtins_dict;  // its namespace, the fallback of global lookups
};

extern Names N;

// Creates everything above on the first call; later calls do nothing. Returns false with an exception set.
bool init_names();

}  // namespace sablewick
