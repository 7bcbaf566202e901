"""PathData: an immutable record with fresh lists on every read."""

import pytest

import tamsu
from conftest import compile_model
from test_threads import run_in_thread

FIELDS = ["path_weight", "path_weights", "ilabels", "olabels", "uniques"]


def test_read_only_fields_with_fresh_lists(simple_model):
    record = simple_model.phoneticize_paths("abc")[0]
    assert [n for n in vars(tamsu.PathData) if not n.startswith("__")] == FIELDS
    for field in FIELDS:
        before = getattr(record, field)
        for change in (lambda: setattr(record, field, before),
                       lambda: delattr(record, field),
                       lambda: setattr(record, "extra", 1)):
            with pytest.raises(AttributeError):
                change()
        if field != "path_weight":
            before.append(0)
            assert getattr(record, field) != before
    assert record != simple_model.phoneticize_paths("abc")[0]


@pytest.mark.parametrize("weight, shown", [
    ("2", "2.0000"), ("-0.5", "-0.5000"), ("0.123456", "0.1235"),
    ("12345.678", "12345.6777"), ("-Infinity", "-inf"),
])
def test_repr(tmp_path, weight, shown):
    path = compile_model(tmp_path, "w", f"0 1 a A 0\n1 {weight}\n",
                         ["<eps>", "|", "_", "a"], ["<eps>", "|", "_", "A"])
    (record,) = tamsu.Model(path).phoneticize_paths("a")
    assert repr(record) == f"PathData(path_weight={shown}, uniques=[3])"
    assert str(record) == repr(record)


def test_lists_of_a_cluster_path(simple_model):
    # c|h:CH, then the final weight as a closing 0:0 arc; "h" alone maps
    # to the skip symbol only.
    (record,) = simple_model.phoneticize_paths("ch")
    assert (record.ilabels, record.olabels, record.uniques) == \
        ([7, 0], [8, 0], [8])
    assert record.path_weights == [0.125, 0.25]
    assert repr(simple_model.phoneticize_paths("h")[0]) == \
        "PathData(path_weight=0.5000, uniques=[])"


def test_records_outlive_the_model_and_cross_threads(simple_model_path):
    paths = tamsu.Model(simple_model_path).phoneticize_paths("abc", nbest=2)
    assert run_in_thread(lambda: [p.uniques for p in paths]) == \
        {"value": [[3, 4, 5], [4, 4, 5]]}
