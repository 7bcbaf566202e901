"""find_isym and find_osym: text to label and label to text."""

import pytest

import tamsu
from conftest import SIMPLE_ISYMS, SIMPLE_OSYMS, compile_model


@pytest.mark.parametrize("key, expected", [
    ("", None), ("A", None), (True, "|"), (False, "<eps>"), (-1, None),
    (2 ** 31 - 1, None), (-(2 ** 31), None),
    (type("LyingText", (str,), {"__str__": lambda self: "b"})("a"), 4),
    (type("Label", (int,), {})(5), "c"),
])
def test_find_isym(simple_model, key, expected):
    assert simple_model.find_isym(key) == expected


@pytest.mark.parametrize("symbols, method", [(SIMPLE_ISYMS, "find_isym"),
                                             (SIMPLE_OSYMS, "find_osym")])
def test_lookups_are_inverse_up_to_the_last_label(simple_model, symbols,
                                                  method):
    find = getattr(simple_model, method)
    for label, text in enumerate(symbols):
        assert (find(text), find(key=label)) == (label, text)
    assert find(len(symbols)) is None


@pytest.mark.parametrize("key, error", [
    (1.0, TypeError), (b"a", TypeError), (None, TypeError),
    (2 ** 31, OverflowError), (-(2 ** 31) - 1, OverflowError),
    (2 ** 70, OverflowError),
    (type("BrokenText", (str,), {"__str__": lambda s: {}["broken"]})("a"),
     LookupError),
    # An integer-like type such as numpy.int32 is not an int.
    (type("int32", (), {"__index__": lambda self: 3})(), TypeError),
])
def test_bad_keys(simple_model, key, error):
    with pytest.raises(error) as info:
        simple_model.find_isym(key)
    if error is TypeError:
        assert str(info.value) == "expected str or int"


def test_lone_surrogate_key_matches_replacement_characters(tmp_path):
    text = "x\ufffd\ufffd\ufffdy"
    model = tamsu.Model(compile_model(tmp_path, "sur", f"0 0 {text} A\n0",
                                      ["<eps>", "|", "_", text],
                                      ["<eps>", "|", "_", "A"]))
    assert (model.find_isym("x\ud800y"), model.find_isym("x\ufffdy")) == \
        (3, None)
