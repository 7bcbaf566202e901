"""The module frame: attributes, classes, docstrings and signatures."""

import importlib
import inspect
import sys

import pytest

import tamsu
from tamsu import _tamsu


def test_module_holds_exactly_its_two_classes():
    assert _tamsu.__all__ == ["Model", "PathData"]
    public = {name for name in vars(_tamsu) if not name.startswith("_")}
    assert public == {"Model", "PathData"}
    assert _tamsu.__doc__ == ""
    assert tamsu.Model is _tamsu.Model


@pytest.mark.parametrize("cls, name", [(_tamsu.Model, "Model"),
                                       (_tamsu.PathData, "PathData")])
def test_class_names(cls, name):
    assert cls.__module__ == "tamsu._tamsu"
    assert cls.__qualname__ == name


def test_model_docstring_is_its_signature():
    assert _tamsu.Model.__doc__ is None or _tamsu.Model.__doc__ == ""
    assert _tamsu.Model.__text_signature__ == '(path, delim="")'


@pytest.mark.parametrize("method, signature", [
    ("phoneticize", "(word)"),
    ("phoneticize_paths", "(word, nbest=1, beam=10000, threshold=99.0, "
                          "write_fsts=False, accumulate=False, pmass=99.0)"),
    ("phoneticize_sampling",
     "(word, nbest=1, beam=10000, threshold=99.0, pmass=99.0)"),
    ("find_isym", "(key)"),
    ("find_osym", "(key)"),
])
def test_method_signatures(simple_model, method, signature):
    assert str(inspect.signature(getattr(simple_model, method))) == signature
    assert getattr(_tamsu.Model, method).__doc__.strip()


def test_method_order():
    methods = [name for name in vars(_tamsu.Model) if not name.startswith("_")]
    assert methods == ["phoneticize", "phoneticize_paths",
                       "phoneticize_sampling", "find_isym", "find_osym"]


@pytest.mark.parametrize("cls", [_tamsu.Model, _tamsu.PathData])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_path_data_cannot_be_instantiated():
    with pytest.raises(TypeError):
        _tamsu.PathData()


def test_fresh_reimport_works(simple_model_path):
    saved = {name: sys.modules.pop(name) for name in list(sys.modules)
             if name == "tamsu" or name.startswith("tamsu.")}
    try:
        fresh = importlib.import_module("tamsu")
        model = fresh.Model(simple_model_path)
        assert model.find_isym("a") == 3
    finally:
        sys.modules.update(saved)
