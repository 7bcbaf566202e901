"""Where training writes its model, and what it refuses to overwrite."""

import os

import pytest

from tamsu import Model, _train, train
from tamsu.cli import main

LEXICON = [("cat", "K AE T"), ("tack", "T AE K"), ("act", "AE K T")]


def fit(lexicon, output):
    return train(lexicon, output, order=2, iterations=2, progress=False)


@pytest.mark.parametrize("exists", [True, False])
def test_a_link_is_followed_and_kept(tmp_path, exists):
    (tmp_path / "real").mkdir()
    target = tmp_path / "real" / "model.fst"
    if exists:
        target.write_bytes(b"old model")
    (tmp_path / "link.fst").symlink_to("real/model.fst")
    fit(LEXICON, tmp_path / "link.fst")
    assert Model(str(target)).phoneticize("cat")
    assert (tmp_path / "link.fst").is_symlink()
    assert os.listdir(tmp_path / "real") == ["model.fst"]


@pytest.mark.parametrize("make, kind", [
    (os.mkfifo, "a FIFO"), (os.mkdir, "a directory"),
    (lambda path: os.symlink("/dev/null", path), "a character device")])
def test_a_special_file_is_refused_before_training(tmp_path, make, kind):
    make(tmp_path / "model.fst")
    with pytest.raises(OSError, match=f"it is {kind}, not a regular file"):
        fit(tmp_path / "unread.txt", tmp_path / "model.fst")
    # The writer refuses it too, for callers of the binding.
    with pytest.raises(OSError, match="not a regular file"):
        _train.train_model([(["a"], ["A"])], str(tmp_path / "model.fst"))


def test_an_existing_tmp_file_is_left_alone(tmp_path):
    (tmp_path / "model.fst.tmp").write_bytes(b"someone else's")
    fit(LEXICON, tmp_path / "model.fst")
    assert (tmp_path / "model.fst.tmp").read_bytes() == b"someone else's"
    assert sorted(os.listdir(tmp_path)) == ["model.fst", "model.fst.tmp"]
    # A new file's permissions, as open() gives them, not mkstemp's 0600.
    umask = os.umask(0o22)
    os.umask(umask)
    assert (tmp_path / "model.fst").stat().st_mode & 0o777 == 0o666 & ~umask


@pytest.mark.parametrize("alias", [None, os.symlink, os.link])
def test_the_lexicon_is_never_the_output(tmp_path, alias):
    lexicon = tmp_path / "lex.txt"
    lexicon.write_text("cat\tK AE T\n")
    output = lexicon
    if alias is not None:
        output = tmp_path / "out.fst"
        alias(lexicon, output)
    with pytest.raises(ValueError, match="is the lexicon"):
        fit(lexicon, output)
    assert lexicon.read_text() == "cat\tK AE T\n"
    assert main(["train", str(lexicon), "-o", str(output)]) == 1


def test_a_missing_directory_fails_before_training(tmp_path):
    with pytest.raises(FileNotFoundError, match="no directory"):
        fit(tmp_path / "unread.txt", tmp_path / "no" / "model.fst")
