"""Argument binding and conversion: the wording shared by every method."""

import pathlib

import pytest


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
    (lambda m: m.phoneticize(5),
     "argument 'word': 'int' object is not an instance of 'str'"),
    (lambda m: m.phoneticize(None),
     "argument 'word': 'None' is not an instance of 'str'"),
    (lambda m: m.phoneticize_paths("a", write_fsts=1),
     "argument 'write_fsts': 'int' object is not an instance of 'bool'"),
    (lambda m: m.phoneticize_paths("a", nbest=2.0),
     "argument 'nbest': 'float' object cannot be interpreted as an integer"),
    (lambda m: m.phoneticize_paths("a", pmass=None),
     "argument 'pmass': must be real number, not NoneType"),
    (lambda m: type(m)(pathlib.PurePosixPath("x")),
     "argument 'path': 'PurePosixPath' object is not an instance of 'str'"),
    # Errors other than TypeError come unprefixed; beam fails before
    # threshold is looked at.
    (lambda m: m.phoneticize_paths("a", nbest=-1), OverflowError),
    (lambda m: m.phoneticize_paths("a", beam=-1, threshold="x"), OverflowError),
    (lambda m: m.phoneticize("a\ud800"), UnicodeEncodeError),
    (lambda m: type(m)("x", "\ud800"), UnicodeEncodeError),
])
def test_argument_errors(simple_model, call, message):
    error = message if isinstance(message, type) else TypeError
    with pytest.raises(error) as info:
        call(simple_model)
    if error is TypeError:
        assert (str(info.value), info.value.__cause__) == (message, None)
    else:
        assert "argument" not in str(info.value)


def test_accepted_conversions(simple_model):
    index = type("Index", (), {"__index__": lambda self: 2})()
    real = type("Real", (), {"__float__": lambda self: 1.5})()

    def uniques(**options):
        return [p.uniques for p in simple_model.phoneticize_paths("abc",
                                                                   **options)]
    assert uniques(nbest=index, threshold=real) == \
        uniques(nbest=2, threshold=1.5)
    assert uniques(nbest=3, threshold=3) == uniques(nbest=3, threshold=3.0)
    assert len(uniques(nbest=True, beam=3)) == 1
    assert len(uniques(nbest=2 ** 64 - 1)) == 8


class NotATypeError(TypeError):
    pass


@pytest.mark.parametrize("error, shown", [
    (NotATypeError("custom"), "custom"),  # a subclass passes unprefixed
    (TypeError("outer"), "argument 'nbest': outer"),
])
def test_index_errors_keep_their_cause(simple_model, error, shown):
    def index(self):
        raise error from KeyError("inner")
    with pytest.raises(TypeError) as info:
        simple_model.phoneticize_paths(
            "a", nbest=type("BadIndex", (), {"__index__": index})())
    assert (type(info.value), str(info.value)) == (type(error), shown)
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize("name, truth", [("bool_", True), ("bool", False),
                                         ("boolean", None)])
def test_numpy_boolean_is_recognised_by_name_and_module(
        simple_model, tmp_path, monkeypatch, name, truth):
    monkeypatch.chdir(tmp_path)
    value = type(name, (), {"__module__": "numpy",
                            "__bool__": lambda self: bool(truth)})()
    if truth is None:
        with pytest.raises(TypeError, match="^argument 'write_fsts': "
                           "'boolean' object is not an instance of 'bool'$"):
            simple_model.phoneticize_paths("ab", write_fsts=value)
    else:  # converted by its __bool__: dumps exactly when it says True
        simple_model.phoneticize_paths("ab", write_fsts=value)
        assert (tmp_path / "ab.fst").exists() == truth
