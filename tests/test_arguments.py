"""Argument binding and conversion: the wording shared by every method."""

import pytest

import tamsu


@pytest.mark.parametrize("call, message", [
    (lambda m: m.phoneticize(),
     "Model.phoneticize() missing 1 required positional argument: 'word'"),
    (lambda m: m.phoneticize("a", "b"),
     "Model.phoneticize() takes 1 positional arguments but 2 were given"),
    (lambda m: m.phoneticize("a", word="b"),
     "Model.phoneticize() got multiple values for argument 'word'"),
    (lambda m: m.find_isym(name="a"),
     "Model.find_isym() got an unexpected keyword argument 'name'"),
    (lambda m: m.phoneticize_paths("a", 1, 2, 3.0, False, False, 9.0, 8),
     "Model.phoneticize_paths() takes from 1 to 7 positional arguments but 8 "
     "were given"),
    (lambda m: m.phoneticize_sampling("a", write_fsts=False),
     "Model.phoneticize_sampling() got an unexpected keyword argument "
     "'write_fsts'"),
    (lambda m: m.phoneticize_sampling("a", accumulate=True),
     "Model.phoneticize_sampling() got an unexpected keyword argument "
     "'accumulate'"),
    (lambda m: m.phoneticize(5),
     "argument 'word': 'int' object is not an instance of 'str'"),
    (lambda m: m.phoneticize(None),
     "argument 'word': 'None' is not an instance of 'str'"),
    (lambda m: m.phoneticize_paths("a", write_fsts=1),
     "argument 'write_fsts': 'int' object is not an instance of 'bool'"),
    (lambda m: m.phoneticize_paths("a", accumulate="yes"),
     "argument 'accumulate': 'str' object is not an instance of 'bool'"),
    (lambda m: m.phoneticize_paths("a", write_fsts=None),
     "argument 'write_fsts': 'None' is not an instance of 'bool'"),
])
def test_binding_and_type_errors(simple_model, call, message):
    with pytest.raises(TypeError) as info:
        call(simple_model)
    assert str(info.value) == message
    assert info.value.__cause__ is None


def test_constructor_binding(simple_model_path):
    with pytest.raises(TypeError) as info:
        tamsu.Model()
    assert str(info.value) == \
        "Model.__new__() missing 1 required positional argument: 'path'"
    with pytest.raises(TypeError) as info:
        tamsu.Model(simple_model_path, "", "x")
    assert str(info.value) == \
        "Model.__new__() takes from 1 to 2 positional arguments but 3 were given"
    with pytest.raises(TypeError) as info:
        tamsu.Model(simple_model_path, path=simple_model_path)
    assert str(info.value) == \
        "Model.__new__() got multiple values for argument 'path'"


def test_path_must_be_str(simple_model_path):
    import pathlib
    with pytest.raises(TypeError) as info:
        tamsu.Model(pathlib.Path(simple_model_path))
    assert str(info.value).startswith("argument 'path': '")
    assert str(info.value).endswith("Path' object is not an instance of 'str'")


@pytest.mark.parametrize("kwargs, prefix", [
    ({"nbest": 2.0}, "argument 'nbest': "),
    ({"beam": "3"}, "argument 'beam': "),
    ({"threshold": "1"}, "argument 'threshold': "),
    ({"pmass": None}, "argument 'pmass': "),
])
def test_numeric_type_errors_are_prefixed(simple_model, kwargs, prefix):
    with pytest.raises(TypeError) as info:
        simple_model.phoneticize_paths("a", **kwargs)
    assert str(info.value).startswith(prefix)
    assert len(str(info.value)) > len(prefix)


@pytest.mark.parametrize("kwargs", [{"nbest": -1}, {"beam": 2 ** 64},
                                    {"nbest": -(2 ** 70)}])
def test_out_of_range_counts_raise_overflow_without_name(simple_model, kwargs):
    with pytest.raises(OverflowError) as info:
        simple_model.phoneticize_paths("a", **kwargs)
    assert "argument" not in str(info.value)


@pytest.mark.parametrize("call", [
    lambda m: m.phoneticize("a\ud800"),
    lambda m: m.phoneticize_paths(word="\udfff"),
])
def test_lone_surrogates_raise_unicode_encode_error(simple_model, call):
    with pytest.raises(UnicodeEncodeError) as info:
        call(simple_model)
    assert "argument" not in str(info.value)


def test_lone_surrogate_in_constructor(simple_model_path):
    with pytest.raises(UnicodeEncodeError):
        tamsu.Model(simple_model_path, "\ud800")


class Index:
    def __index__(self):
        return 2


class Real:
    def __float__(self):
        return 1.5


def test_accepted_conversions(simple_model):
    base = simple_model.phoneticize_paths("abc", nbest=2, threshold=1.5)
    assert [p.uniques for p in simple_model.phoneticize_paths(
        "abc", nbest=Index(), threshold=Real())] == [p.uniques for p in base]
    # bool is an int; an int threshold is a float.
    assert len(simple_model.phoneticize_paths("abc", nbest=True)) == 1
    as_int = simple_model.phoneticize_paths("abc", nbest=3, threshold=3)
    as_float = simple_model.phoneticize_paths("abc", nbest=3, threshold=3.0)
    assert [p.uniques for p in as_int] == [p.uniques for p in as_float]
    assert len(as_int) == 1


class NotATypeError(TypeError):
    pass


class BadIndex:
    def __index__(self):
        raise NotATypeError("custom")


class CausedIndex:
    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("outer") from inner


def test_type_error_subclass_is_not_wrapped(simple_model):
    with pytest.raises(NotATypeError) as info:
        simple_model.phoneticize_paths("a", nbest=BadIndex())
    assert str(info.value) == "custom"


def test_wrapped_error_keeps_the_original_cause(simple_model):
    with pytest.raises(TypeError) as info:
        simple_model.phoneticize_paths("a", nbest=CausedIndex())
    assert str(info.value) == "argument 'nbest': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_numpy_booleans_are_accepted(simple_model):
    numpy = pytest.importorskip("numpy")
    with_numpy = simple_model.phoneticize_paths(
        "abc", nbest=3, accumulate=numpy.bool_(True))
    plain = simple_model.phoneticize_paths("abc", nbest=3, accumulate=True)
    assert [p.path_weight for p in with_numpy] == \
           [p.path_weight for p in plain]
    with pytest.raises(TypeError):
        simple_model.phoneticize_paths("abc", accumulate=numpy.int64(1))


def test_conversion_stops_at_first_failure(simple_model):
    # beam fails before threshold is looked at.
    with pytest.raises(OverflowError):
        simple_model.phoneticize_paths("a", beam=-1, threshold="x")


@pytest.mark.parametrize("name, truth, outcome", [
    ("bool_", True, None),
    ("bool", False, None),
    ("bool", None, "argument 'write_fsts': object of type 'bool' does not "
                   "define a '__bool__' conversion"),
    ("boolean", True, "argument 'write_fsts': 'boolean' object is not an "
                      "instance of 'bool'"),
])
def test_numpy_boolean_is_recognised_by_name_and_module(
        simple_model, tmp_path, monkeypatch, name, truth, outcome):
    monkeypatch.chdir(tmp_path)
    namespace = {"__module__": "numpy"}
    if truth is not None:
        namespace["__bool__"] = lambda self: truth
    value = type(name, (), namespace)()
    if outcome is None:
        simple_model.phoneticize_paths("ab", write_fsts=value)
        # Converted by its __bool__: dumps exactly when it says True.
        assert (tmp_path / "ab.fst").exists() == truth
        return
    with pytest.raises(TypeError) as info:
        simple_model.phoneticize_paths("ab", write_fsts=value)
    assert str(info.value) == outcome
