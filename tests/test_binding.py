"""The binding contract of the extension classes, one table per rule:
BatchDecoder, NeuralModel and the trainer take paths and report file
errors as CPython's own functions do; Model keeps its documented rules
(a str path, ValueError for every load failure), shown beside them."""

import errno
import math
import os
import pathlib
import shutil

import pytest

import tamsu
from conftest import SIMPLE_ISYMS, SIMPLE_OSYMS, compile_model, neural_bytes
from tamsu import _train
from tamsu._batch import BatchDecoder
from tamsu._neural import NeuralModel


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A model file of each kind, and a file that is neither."""
    folder = tmp_path_factory.mktemp("binding")
    (folder / "model.tnn").write_bytes(neural_bytes())
    (folder / "text.fst").write_text("just some text\n" * 8)
    ngram = compile_model(folder, "ngram", "0 0 a A 1.0\n0 0 a B 150.0\n"
                          "0 0 b B 0.5\n0 0.0", SIMPLE_ISYMS, SIMPLE_OSYMS)
    return {"ngram": pathlib.Path(ngram), "neural": folder / "model.tnn",
            "text": folder / "text.fst"}


def train(path):
    return _train.train_model([(["a"], ["A"])], path)


# Each class, the model file it reads (None: the trainer, which writes).
CLASSES = {"BatchDecoder": (BatchDecoder, "ngram"),
           "NeuralModel": (NeuralModel, "neural"),
           "trainer": (train, None),
           "Model": (tamsu.Model, "ngram")}
NEW = ["BatchDecoder", "NeuralModel", "trainer"]


class PathLike:
    """An os.PathLike of bytes (pathlib's are str)."""
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def place(files, tmp_path, name, source):
    """`source`'s file copied to tmp_path/name (bytes: any file name);
    for the trainer only the path where it will write."""
    target = os.path.join(os.fsencode(tmp_path), name)
    if source is not None:
        shutil.copyfile(files[source], target)
    return target


@pytest.mark.parametrize("name, as_given, error", [
    *[(c, kind, None) for c in NEW
      for kind in ("str", "bytes", "PathLike", "bytes not UTF-8",
                   "str of bytes not UTF-8")],
    ("Model", "str", None),
    ("Model", "bytes", TypeError),
    ("Model", "PathLike", TypeError),
    ("Model", "str of bytes not UTF-8", UnicodeEncodeError),
])
def test_paths(files, tmp_path, name, as_given, error):
    load, source = CLASSES[name]
    raw = place(files, tmp_path, b"m\xff" if "UTF-8" in as_given else b"m",
                source)
    path = {"str": os.fsdecode, "bytes": bytes, "PathLike": PathLike,
            "bytes not UTF-8": bytes,
            "str of bytes not UTF-8": os.fsdecode}[as_given](raw)
    if error is not None:
        with pytest.raises(error):
            load(path)
    else:
        load(path)
        assert os.path.isfile(raw)


@pytest.mark.parametrize("name, case, error, detail", [
    *[(c, "missing", FileNotFoundError, errno.ENOENT) for c in NEW],
    *[(c, "a folder", IsADirectoryError, errno.EISDIR)
      for c in ("BatchDecoder", "NeuralModel")],
    *[(c, "a name no file has", FileNotFoundError, errno.ENOENT)
      for c in NEW],
    ("Model", "missing", ValueError, "failed to read FST: Can't open file: "),
    ("Model", "a folder", ValueError, "failed to read FST: Can't open file: "),
    ("Model", "a name no file has", UnicodeEncodeError, None),
])
def test_files_that_cannot_be_opened(tmp_path, name, case, error, detail):
    path = {"missing": str(tmp_path / "none" / "m"), "a folder": str(tmp_path),
            "a name no file has": str(tmp_path / "\ud800")}[case]
    with pytest.raises(error) as info:
        CLASSES[name][0](path)
    if isinstance(detail, int):  # CPython's OSError: errno and filename
        assert (info.value.errno, info.value.filename) == (detail, path)
    elif detail is not None:
        assert str(info.value).startswith(detail)


@pytest.mark.parametrize("name, message", [
    ("BatchDecoder", "failed to read FST: .*Magic number not matched"),
    ("NeuralModel", "failed to read neural model .*: not a tamsu neural"),
    ("Model", "failed to read FST: .*Magic number not matched"),
])
def test_damaged_files_keep_their_errors(files, name, message):
    with pytest.raises(ValueError, match=message):
        CLASSES[name][0](str(files["text"]))


@pytest.fixture()
def fifo(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return str(path)


@pytest.mark.parametrize("device", ["/dev/zero", "/dev/urandom", "fifo"])
@pytest.mark.parametrize("name, error", [
    ("BatchDecoder", ValueError), ("NeuralModel", ValueError),
    ("Model", ValueError),
    ("trainer", OSError),  # it writes: a device is no file to replace
    ("G2P", ValueError),  # told from its first bytes, a pipe would block
])
def test_device_files_are_refused_unread(fifo, name, error, device):
    path = fifo if device == "fifo" else device
    load = (lambda p: tamsu.G2P(p, None)) if name == "G2P" \
        else CLASSES[name][0]
    with pytest.raises(error, match="not a regular file"):
        load(path)


DECODES = {
    "Model": lambda f, **o: tamsu.Model(str(f["ngram"])).phoneticize_paths(
        "a", **o),
    "BatchDecoder": lambda f, **o: BatchDecoder(f["ngram"]).decode(
        ["a"], **o)[0][0],
    "NeuralModel": lambda f, **o: NeuralModel(f["neural"]).phoneticize(
        "a", **o),
}


@pytest.mark.parametrize("name, options, error, message", [
    *[(c, {"nbest": 2.0}, TypeError,
       "argument 'nbest': 'float' object cannot be interpreted as an integer")
      for c in DECODES],
    *[(c, {"beam": -1}, OverflowError, None) for c in DECODES],
    *[(c, {"threshold": "x"}, TypeError,
       "argument 'threshold': must be real number, not str")
      for c in ("Model", "BatchDecoder")],
    # Model's documented reading: None is no number; BatchDecoder: default.
    ("Model", {"pmass": None}, TypeError,
     "argument 'pmass': must be real number, not NoneType"),
    ("BatchDecoder", {"pmass": None, "nbest": None}, None, None),
])
def test_shared_option_conversion(files, name, options, error, message):
    if error is None:
        DECODES[name](files, **options)
        return
    with pytest.raises(error) as info:
        DECODES[name](files, **options)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


# "a" is A (weight 1) or B (150): B's weight relative to the best is 149.
@pytest.mark.parametrize("threshold, model_paths, batch_paths", [
    (98.0, 1, 1),
    (99.0, 2, 1),  # Model reads 99 and above as "no threshold"
    (1e9, 2, 2),
])
def test_threshold_off_values(files, threshold, model_paths, batch_paths):
    assert len(DECODES["Model"](files, nbest=2, threshold=threshold)) == \
        model_paths
    assert len(DECODES["BatchDecoder"](files, nbest=2, threshold=threshold)) \
        == batch_paths


def test_words_that_are_not_text_get_no_answer(files):
    # Model raises UnicodeEncodeError, as documented (test_arguments.py).
    batch = BatchDecoder(files["ngram"])
    answers = batch.decode(["a\ud800", "a"])
    assert answers[0] == ([], "no known graphemes") and answers[1][0]
    assert batch.path_weights(["a\ud800"], [[["A"]]]) == [[None]]
    neural = NeuralModel(files["neural"])
    assert neural.phoneticize("a\ud800") == []
    assert [len(p) for p in neural.phoneticize_batch(["a\ud800", "a"])] == \
        [0, 1]
    assert neural.score("a\ud800", [[]]) == [-math.inf]
    assert neural.unknown_graphemes("a\ud800") == ["\ud800"]
