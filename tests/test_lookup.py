"""find_isym and find_osym: text to label and label to text."""

import pytest

from conftest import SIMPLE_ISYMS, SIMPLE_OSYMS


class Text(str):
    pass


class LyingText(str):
    def __str__(self):
        return "b"


class BrokenText(str):
    def __str__(self):
        raise LookupError("broken")


class Label(int):
    pass


@pytest.mark.parametrize("key, expected", [
    ("a", 3), ("c|h", 7), ("", None), ("A", None), ("zz", None),
    (0, "<eps>"), (True, "|"), (False, "<eps>"), (7, "c|h"), (8, None),
    (-1, None), (2 ** 31 - 1, None), (-(2 ** 31), None),
    (Text("b"), 4), (LyingText("a"), 4), (Label(5), "c"),
])
def test_find_isym(simple_model, key, expected):
    assert simple_model.find_isym(key) == expected


@pytest.mark.parametrize("key, expected", [
    ("K|S", 7), ("CH", 8), ("a", None), (2, "_"), (8, "CH"), (9, None),
])
def test_find_osym(simple_model, key, expected):
    assert simple_model.find_osym(key) == expected
    assert simple_model.find_osym(key=key) == expected


@pytest.mark.parametrize("symbols, method", [(SIMPLE_ISYMS, "find_isym"),
                                             (SIMPLE_OSYMS, "find_osym")])
def test_lookups_are_inverse(simple_model, symbols, method):
    find = getattr(simple_model, method)
    for label, text in enumerate(symbols):
        assert find(text) == label
        assert find(label) == text


@pytest.mark.parametrize("key", [1.0, b"a", None, [3], 3 + 0j])
def test_wrong_key_type(simple_model, key):
    with pytest.raises(TypeError) as info:
        simple_model.find_isym(key)
    assert str(info.value) == "expected str or int"


def test_numpy_integers_are_not_int(simple_model):
    numpy = pytest.importorskip("numpy")
    with pytest.raises(TypeError, match="^expected str or int$"):
        simple_model.find_osym(numpy.int32(3))


@pytest.mark.parametrize("key", [2 ** 31, -(2 ** 31) - 1, 2 ** 40, 2 ** 70])
def test_ids_beyond_32_bits_overflow(simple_model, key):
    with pytest.raises(OverflowError):
        simple_model.find_osym(key)


def test_str_subclass_errors_pass_through(simple_model):
    with pytest.raises(LookupError, match="broken"):
        simple_model.find_isym(BrokenText("a"))


def test_lone_surrogate_key_matches_replacement_characters(tmp_path):
    import tamsu
    from conftest import compile_model
    isyms = ["<eps>", "|", "_", "x\ufffd\ufffd\ufffdy"]
    path = compile_model(tmp_path, "sur", "0 0 x\ufffd\ufffd\ufffdy A\n0",
                         isyms, ["<eps>", "|", "_", "A"])
    model = tamsu.Model(path)
    assert model.find_isym("x\ud800y") == 3
    assert model.find_isym("x\ufffdy") is None
