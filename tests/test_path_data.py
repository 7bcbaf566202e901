"""PathData: an immutable record with fresh lists on every read."""

import math
import threading

import pytest

import tamsu
from conftest import compile_model

FIELDS = ["path_weight", "path_weights", "ilabels", "olabels", "uniques"]


@pytest.fixture()
def record(simple_model):
    return simple_model.phoneticize_paths("abc")[0]


def test_fields_in_order():
    names = [name for name in vars(tamsu.PathData)
             if not name.startswith("__")]
    assert names == FIELDS
    for name in FIELDS:
        assert getattr(tamsu.PathData, name).__doc__ is None


@pytest.mark.parametrize("field", FIELDS)
def test_read_only(record, field):
    before = getattr(record, field)
    with pytest.raises(AttributeError):
        setattr(record, field, before)
    with pytest.raises(AttributeError):
        delattr(record, field)
    with pytest.raises(AttributeError):
        record.extra = 1
    assert getattr(record, field) == before


@pytest.mark.parametrize("field", FIELDS[1:])
def test_every_read_is_a_new_list(record, field):
    first = getattr(record, field)
    first.append(0)
    second = getattr(record, field)
    assert second != first
    assert second is not getattr(record, field)


def test_list_lengths(simple_model):
    for path in simple_model.phoneticize_paths("chabc", nbest=6):
        assert len(path.path_weights) == len(path.ilabels) == \
            len(path.olabels)
        assert all(isinstance(label, int) for label in path.uniques)
        assert all(isinstance(w, float) for w in path.path_weights)


def test_identity_equality(simple_model):
    first = simple_model.phoneticize_paths("abc")[0]
    second = simple_model.phoneticize_paths("abc")[0]
    assert first != second
    assert first == first
    assert hash(first) != hash(second)


def _weighted_model(tmp_path, final_weight):
    arcs = f"0 1 a A 0\n1 {final_weight}\n"
    path = compile_model(tmp_path, "w", arcs, ["<eps>", "|", "_", "a"],
                         ["<eps>", "|", "_", "A"])
    return tamsu.Model(path)


@pytest.mark.parametrize("weight, shown", [
    ("3.25", "3.2500"), ("2", "2.0000"), ("-0.5", "-0.5000"),
    ("0.123456", "0.1235"), ("12345.678", "12345.6777"),
    ("Infinity", None), ("-Infinity", "-inf"), ("NaN", "NaN"),
])
def test_repr(tmp_path, weight, shown):
    model = _weighted_model(tmp_path, weight)
    paths = model.phoneticize_paths("a")
    if shown is None:  # an infinite final weight means "not final"
        assert paths == []
        return
    (path,) = paths
    assert repr(path) == f"PathData(path_weight={shown}, uniques=[3])"
    assert str(path) == repr(path)


def test_repr_of_empty_uniques(simple_model):
    # "h" only maps to the skip symbol: weight 0.25 + final 0.25.
    (path,) = simple_model.phoneticize_paths("h")
    assert repr(path) == "PathData(path_weight=0.5000, uniques=[])"


def test_weights_widen_exactly(tmp_path):
    model = _weighted_model(tmp_path, "0.1")
    (path,) = model.phoneticize_paths("a")
    import numpy
    assert path.path_weight == float(numpy.float32(0.1))
    assert not math.isclose(path.path_weight, 0.1, abs_tol=1e-12)


def test_records_outlive_the_model_and_cross_threads(simple_model_path):
    model = tamsu.Model(simple_model_path)
    paths = model.phoneticize_paths("abc", nbest=2)
    del model
    seen = []
    thread = threading.Thread(target=lambda: seen.extend(
        p.uniques for p in paths))
    thread.start()
    thread.join()
    assert seen == [p.uniques for p in paths]
