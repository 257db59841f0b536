"""What editors, inspect, help() and pydoc see of the recognisers."""

import inspect
import pydoc

import pytest

from conftest import sablewick_asr

STREAM, OFFLINE = sablewick_asr.SablewickStreamASR, sablewick_asr.SablewickOfflineASR
D = sablewick_asr.SablewickOfflineASR.__init__.__defaults__[0]

# The signatures a Python class with these methods would have, annotations kept as the strings they are.
EXPECTED = {
    (STREAM, "__init__"): "(self, model: 'str' = 'sablewick/base', device: 'str' = 'cpu', language: 'str' = 'zh', "
                          "update_interval: 'float' = 0.3, sample_rate: 'int' = 16000)",
    (STREAM, "_transcribe_internal"): "(self, audio: 'np.ndarray', language: 'str' = 'zh') -> 'str'",
    (STREAM, "stream_generate"): "(self, audio: 'np.ndarray', is_final: 'bool' = False, language: 'str' = 'zh') "
                                 "-> 'List[Dict[str, Any]]'",
    (OFFLINE, "__init__"): f"(self, model_type: 'str' = {D!r}, model: 'str' = 'sablewick/base', device: 'str' = "
                           "'cpu', language: 'str' = 'zh', sample_rate: 'int' = 16000)",
    (OFFLINE, "_transcribe_internal"): "(self, audio: 'np.ndarray') -> 'str'",
}
for cls in (STREAM, OFFLINE):
    EXPECTED[cls, "transcribe"] = "(self, audio: 'np.ndarray', language: 'str' = 'zh') -> 'List[Dict[str, Any]]'"
    for name in ("_load_model", "load", "reset"):
        EXPECTED[cls, name] = "(self)"
EXPECTED[OFFLINE, "stream_generate"] = EXPECTED[STREAM, "stream_generate"]


@pytest.mark.parametrize("cls, name", EXPECTED, ids=[f"{c.__name__}.{n}" for c, n in EXPECTED])
def test_signature_matches_a_python_definition(cls, name):
    method = cls.__dict__[name]
    attributes = (method.__doc__, method.__defaults__, dict(method.__annotations__))
    assert str(inspect.signature(method)) == EXPECTED[cls, name]
    bound = inspect.signature(getattr(cls.__new__(cls), name))
    assert str(bound) == EXPECTED[cls, name].replace("(self, ", "(").replace("(self)", "()")
    assert (method.__doc__, method.__defaults__, dict(method.__annotations__)) == attributes


@pytest.mark.parametrize("cls", [STREAM, OFFLINE])
def test_help_shows_every_method_with_its_signature(cls):
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    for (owner, name), signature in EXPECTED.items():
        if owner is cls and (name == "__init__" or not name.startswith("_")):  # pydoc lists public names
            assert f"{name}{signature}" in text
    assert cls.__doc__ in text
