"""The module frame: attributes, classes and signatures."""

import importlib
import inspect
import sys

import pytest

import tamsu
from tamsu import _tamsu


def test_module_holds_exactly_its_two_classes():
    assert _tamsu.__all__ == ["Model", "PathData"]
    assert {n for n in vars(_tamsu) if not n.startswith("_")} == \
        {"Model", "PathData"}
    assert tamsu.Model is _tamsu.Model
    for cls in (_tamsu.Model, _tamsu.PathData):
        assert cls.__module__ == "tamsu._tamsu"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        _tamsu.PathData()


def test_signatures_in_method_order(simple_model):
    assert str(inspect.signature(_tamsu.Model)) == "(path, delim='')"
    options = "nbest=1, beam=10000, threshold=99.0"
    assert [(name, str(inspect.signature(getattr(simple_model, name))))
            for name in vars(_tamsu.Model) if not name.startswith("_")] == [
        ("phoneticize", "(word)"),
        ("phoneticize_paths", f"(word, {options}, write_fsts=False, "
                              "accumulate=False, pmass=99.0)"),
        ("phoneticize_sampling", f"(word, {options}, pmass=99.0)"),
        ("find_isym", "(key)"), ("find_osym", "(key)")]


def test_fresh_reimport_works(simple_model_path):
    saved = {name: sys.modules.pop(name) for name in list(sys.modules)
             if name == "tamsu" or name.startswith("tamsu.")}
    try:
        fresh = importlib.import_module("tamsu")
        assert fresh.Model(simple_model_path).find_isym("a") == 3
    finally:
        sys.modules.update(saved)
