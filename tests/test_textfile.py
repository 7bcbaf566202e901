"""Reading text files (tamsu.textfile); a run's files (tamsu.files)."""

import codecs
import gzip
import io
import os

import pytest

import tamsu
from tamsu.files import OutputError, check_outputs, load_model
from tamsu.textfile import (MAX_LINE_BYTES, TextFileError, lines_of,
                            read_lines)

TEXT = "# words\ncafé\tK AE F EY\r\nпривет\n\nlast"


def texts(data, **options):
    return [tuple(line) for line in lines_of(io.BytesIO(data), "f", **options)]


@pytest.mark.parametrize("encoding, bom", [
    ("utf-8", codecs.BOM_UTF8), ("utf-16-le", codecs.BOM_UTF16_LE),
    ("utf-32-be", codecs.BOM_UTF32_BE),
    ("utf-16-le", b""), ("utf-16-be", b""), ("utf-32-le", b"")])
def test_encodings_are_found_and_decoded(encoding, bom):
    # Without a byte-order mark only text whose NULs leave one reading is
    # certain (every other byte NUL in Latin-1 text); with one, any text.
    text = TEXT if bom else TEXT.replace("привет", "olé")
    data = bom + text.encode(encoding)
    expected = [(n, t, None) for n, t in enumerate(text.replace(
        "\r", "").split("\n"), start=1)]
    assert texts(data) == expected
    assert texts(gzip.compress(data)) == expected


@pytest.mark.parametrize("data, message", [
    (b"\xd6\xfd\xb2\x7e" + bytes(40), "this is a model file"),
    ("привет\n".encode("utf-16-le") * 3 + bytes(8), "NUL bytes"),
    (b"\0\0\0\0data" * 32, "NUL bytes"),
    # Latin letters in UTF-16-LE, CJK ideographs in UTF-16-BE: no guess.
    ("Nothing".encode("utf-16-le") * 8, "no single readable encoding"),
    # Old Mac OS line ends would make one long line of the whole file.
    (b"a\tA\rb\tB\r", "carriage return alone"),
    (codecs.BOM_UTF16_BE + "a\rb".encode("utf-16-be"),
     "carriage return alone")],
    ids=["model", "utf-16", "nul", "both-orders", "cr", "cr-utf-16"])
@pytest.mark.parametrize("pack", [bytes, gzip.compress])
def test_files_no_encoding_reads_are_refused(data, message, pack):
    with pytest.raises(TextFileError, match=f"^f: .*{message}"):
        lines_of(io.BytesIO(pack(data)), "f")


@pytest.mark.parametrize("encoding", ["utf-8", "utf-16"])
def test_bad_lines_are_reported_and_reading_resumes(encoding):
    long = "x" * (MAX_LINE_BYTES + 1)
    data = f"a\nb\0c\n{long}\nd\n{long}".encode(encoding)
    if encoding == "utf-8":
        data += b"\ne\xff\n"
    lines = texts(data)
    assert [(n, t) for n, t, problem in lines if problem is None] == [
        (1, "a"), (4, "d")]
    problems = [p for _, _, p in lines if p]
    assert problems[:3] == ["holds a NUL character"] + [
        f"line longer than {MAX_LINE_BYTES} bytes"] * 2
    assert problems[3:] == (["not UTF-8 text (invalid start byte at byte 1)"]
                            if encoding == "utf-8" else [])
    # Escaped for a caller that reports undecodable text itself.
    assert texts(b"e\xff", escape=True) == [(1, "e\udcff", None)]


def test_a_missing_file_is_named_plainly(tmp_path):
    with pytest.raises(FileNotFoundError,
                       match="^cannot read .*/no.txt: No such file"):
        list(read_lines(tmp_path / "no.txt"))


@pytest.mark.parametrize("alias", [None, os.symlink, os.link])
def test_outputs_that_are_inputs_are_refused(tmp_path, alias):
    words = tmp_path / "words.txt"
    words.write_text("cat\n")
    output = words if alias is None else tmp_path / "out"
    if alias is not None:
        alias(words, output)
    with pytest.raises(OutputError, match=(
            f"^--oov {output} is the word list {words}: refusing")):
        check_outputs({"--oov": output},
                      {"the model": ["m1", tmp_path], "the word list": words})
    check_outputs({"--oov": tmp_path / "new", "-o": "-"},
                  {"the word list": words, "the dictionary": None})


def test_a_model_at_a_path_that_is_not_utf8(tmp_path, simple_model_path):
    path = os.path.join(os.fsencode(tmp_path), b"m\xff.fst")
    os.symlink(simple_model_path, path)
    for given in (path, os.fsdecode(path)):
        assert load_model(given).phoneticize("ab") == ["A", "B"]
    # The front end loads through it (an ensemble too).
    name = os.fsdecode(path)
    for model in (name, [name, name]):
        assert str(tamsu.G2P(model, None)("ab")[0]) == "A B"
    os.unlink(path)
    with pytest.raises(FileNotFoundError, match=r"m\\xff.fst"):
        load_model(path)
