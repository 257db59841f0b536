# SPDX-License-Identifier: MIT
"""What editors, inspect, help() and pydoc see of the recognisers."""

import inspect
import pydoc
import re

import pytest

from conftest import ROOT, run_python, sablewick_asr

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


def python_twin(cls):
    """The same class written in Python: the methods defined with the signatures above and the module's
    docstrings, everything else in the class namespace taken over as it is."""
    namespace = {key: value for key, value in vars(cls).items() if (cls, key) not in EXPECTED}
    namespace["__qualname__"] = cls.__qualname__
    for (owner, name), signature in EXPECTED.items():
        if owner is cls:
            scope = {}
            exec(f"def {name}{signature}: pass", scope)
            function = namespace[name] = scope[name]
            function.__qualname__, function.__module__ = f"{cls.__qualname__}.{name}", cls.__module__
            function.__doc__ = vars(cls)[name].__doc__
    return type(cls)(cls.__name__, cls.__bases__, namespace)


@pytest.mark.parametrize("cls", [STREAM, OFFLINE])
def test_help_renders_the_class_as_pydoc_renders_it_in_python(cls):
    # The running interpreter's pydoc sets the layout (3.13 wraps long signatures, 3.12 does not).
    assert pydoc.render_doc(cls, renderer=pydoc.plaintext) == pydoc.render_doc(python_twin(cls),
                                                                                 renderer=pydoc.plaintext)


def test_sphinx_autodoc_documents_every_method_with_the_readme_configuration(tmp_path):
    # The lines the README gives for a host's conf.py, in a real Sphinx build of the stand-ins.
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    lines = re.search(r"\*\*Sphinx autodoc\*\*.*?```python\n(.*?)```", readme, re.S)[1]
    # Sphinx reads its sources and writes its output as UTF-8, whatever the platform's encoding.
    (tmp_path / "conf.py").write_text('extensions = ["sphinx.ext.autodoc"]\n' + lines, encoding="utf-8")
    (tmp_path / "index.rst").write_text("API\n===\n\n.. automodule:: models.sablewick_asr\n   :members:\n"
                                        "   :private-members:\n   :special-members: __init__\n", encoding="utf-8")
    run_python(f"""
        from sphinx.cmd.build import main
        raise SystemExit(main(["-q", "-E", "-W", "-b", "text", {str(tmp_path)!r}, {str(tmp_path / "out")!r}]))
    """)
    text = (tmp_path / "out" / "index.txt").read_text(encoding="utf-8")
    documented = re.findall(r"^   (\w+)\((.*)\)", text, re.M)  # each method, its parameters in parentheses
    names = sorted(name for cls in (STREAM, OFFLINE) for name, value in vars(cls).items()
                   if isinstance(value, type(STREAM.reset)))
    assert sorted(name for name, _ in documented) == names and len(names) == 14
    assert all(parameters.startswith("self") for _, parameters in documented)
