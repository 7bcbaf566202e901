"""Where training writes its model: links followed, special files and the
lexicon itself refused before any training, a temporary file of its own."""

import os

import pytest

import tamsu
from tamsu import _train
from tamsu.cli import main
from tamsu.training import train

LEXICON = [("cat", "K AE T"), ("tack", "T AE K"), ("act", "AE K T"),
           ("tat", "T AE T")]


def write_lexicon(path):
    path.write_text("".join(f"{w}\t{p}\n" for w, p in LEXICON))


def fit(lexicon, output):
    return train(lexicon, output, order=2, iterations=2, progress=False)


@pytest.mark.parametrize("exists", [True, False])
def test_a_link_is_followed_and_kept(tmp_path, exists):
    target = tmp_path / "real" / "model.fst"
    target.parent.mkdir()
    if exists:
        target.write_bytes(b"old model")
    link = tmp_path / "link.fst"
    link.symlink_to(os.path.join("real", "model.fst"))  # relative link
    fit(LEXICON, link)
    assert link.is_symlink()
    assert tamsu.Model(str(target)).phoneticize("cat")
    assert sorted(os.listdir(tmp_path)) == ["link.fst", "real"]
    assert os.listdir(target.parent) == ["model.fst"]


@pytest.mark.parametrize("make, kind", [
    (os.mkfifo, "a FIFO"),
    (os.mkdir, "a directory"),
    (lambda path: os.symlink("/dev/null", path), "a character device"),
])
def test_a_special_file_is_refused_before_training(tmp_path, make, kind):
    output = tmp_path / "model.fst"
    make(output)
    lexicon = tmp_path / "missing.txt"  # never read: the output fails first
    with pytest.raises(OSError, match=f"it is {kind}, not a regular file"):
        fit(lexicon, output)


def test_the_writer_itself_refuses_a_fifo(tmp_path):
    output = tmp_path / "model.fst"
    os.mkfifo(output)
    entries = [(list(word), phonemes.split()) for word, phonemes in LEXICON]
    with pytest.raises(OSError, match="not a regular file"):
        _train.train_model(entries, str(output), order=2, iterations=2)
    assert sorted(os.listdir(tmp_path)) == ["model.fst"]


def test_an_existing_tmp_file_is_left_alone(tmp_path):
    output = tmp_path / "model.fst"
    decoy = tmp_path / "model.fst.tmp"
    decoy.write_bytes(b"someone else's")
    fit(LEXICON, output)
    # A new file's permissions, as open() gives them, not mkstemp's 0600.
    umask = os.umask(0o22)
    os.umask(umask)
    assert output.stat().st_mode & 0o777 == 0o666 & ~umask
    assert decoy.read_bytes() == b"someone else's"
    assert sorted(os.listdir(tmp_path)) == ["model.fst", "model.fst.tmp"]


@pytest.mark.parametrize("alias", [None, os.symlink, os.link])
def test_the_lexicon_is_never_the_output(tmp_path, alias):
    lexicon = tmp_path / "lex.txt"
    write_lexicon(lexicon)
    before = lexicon.read_bytes()
    output = lexicon
    if alias is not None:
        output = tmp_path / "out.fst"
        alias(lexicon, output)
    with pytest.raises(ValueError, match="is the lexicon"):
        fit(lexicon, output)
    assert lexicon.read_bytes() == before


def test_a_missing_directory_fails_before_training(tmp_path):
    with pytest.raises(FileNotFoundError, match="no directory"):
        fit(tmp_path / "missing.txt", tmp_path / "no" / "model.fst")


def test_the_command_refuses_to_overwrite_its_lexicon(tmp_path, capsys):
    lexicon = str(tmp_path / "lex.txt")
    write_lexicon(tmp_path / "lex.txt")
    assert main(["train", lexicon, "-o", lexicon]) == 1
    assert capsys.readouterr().err.startswith(
        f"tamsu: error: the output {lexicon} is the lexicon")
