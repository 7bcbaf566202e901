"""Reading text files: lexicons, dictionaries, test sets and word lists.

Every text file tamsu reads goes through this module, so that all of them
accept the same encodings and defend against the same accidents:

- UTF-8, with or without a byte-order mark; UTF-16 and UTF-32 when a
  byte-order mark says so, or, without one, when the NUL bytes of the first
  block leave only one of them that reads it as text (ASCII-range UTF-16
  has every other byte NUL). A file with NUL bytes no encoding explains,
  and a model file given for a text file, are refused (TextFileError,
  naming the file and the reason). Gzip-compressed files are read through
  gzip, whatever their name.
- Lines end at "\\n" (a "\\r" before it is dropped). A file whose lines
  end with "\\r" alone (old Mac OS) is refused, naming the problem, rather
  than read as one long line. A line longer than
  MAX_LINE_BYTES is never held whole: it is reported and reading resumes
  at the next newline, so memory stays bounded whatever the file holds.
- A line that is not valid text, holds a NUL character or is too long
  comes with the reason (`Line.problem`); no NUL ever reaches a word.
"""

from __future__ import annotations

import codecs
import gzip
import io
import os
import re
import unicodedata
import zlib
from typing import IO, Any, Iterator, NamedTuple

__all__ = ["Line", "MAX_LINE_BYTES", "TextFileError", "count_words",
           "lines_of", "read_lines", "unreadable", "word_lines"]

# Longer lines are reported and skipped. Real lexicon and word-list lines
# have well under a kilobyte; the bound keeps one runaway line (a file with
# no newline at all) from costing memory in proportion to its size.
MAX_LINE_BYTES = 1 << 20

_BLOCK = 1 << 16
_BOMS = [(codecs.BOM_UTF32_LE, "utf-32-le"), (codecs.BOM_UTF32_BE,
                                              "utf-32-be"),
         (codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16-le"),
         (codecs.BOM_UTF16_BE, "utf-16-be")]
_WIDE = [("utf-32-le", 4), ("utf-32-be", 4), ("utf-16-le", 2),
         ("utf-16-be", 2)]
_GZIP_MAGIC = b"\x1f\x8b"
# OpenFst's binary FST header starts with this magic number (little-endian).
_FST_MAGIC = b"\xd6\xfd\xb2\x7e"
# A first block with more NUL bytes than this share is not UTF-8 text with
# a stray NUL but a wide encoding or binary data.
_NUL_SHARE = 0.01
_SURROGATE = re.compile("[\ud800-\udfff]")
_TOO_LONG = f"line longer than {MAX_LINE_BYTES} bytes"
_NUL = "holds a NUL character"


def _escape(error: UnicodeError) -> tuple[str, int]:
    """Undecodable bytes become lone surrogates, as surrogateescape makes
    them, also below 0x80 (which wide encodings can leave undecodable)."""
    assert isinstance(error, UnicodeDecodeError)
    bad = error.object[error.start:error.end]
    return "".join(chr(0xDC00 + b) for b in bad), error.end


codecs.register_error("tamsu.textfile.escape", _escape)


class TextFileError(ValueError):
    """A file that cannot be read as text at all."""


class Line(NamedTuple):
    number: int  # 1-based
    text: str  # without the line break; "" for a line too long to hold
    problem: str | None = None  # why the line is not usable text


def unreadable(name: str, error: OSError, verb: str = "read") -> OSError:
    """`error` (same type and errno) saying "cannot read NAME: reason",
    without Python's "[Errno 2]" prefix."""
    reason = error.strerror or str(error)
    clear = type(error)(f"cannot {verb} {name}: {reason}")
    clear.errno = error.errno
    return clear


def read_lines(path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
               *, escape: bool = False) -> Iterator[Line]:
    """The lines of the file at `path` (see :func:`lines_of`).

    Raises OSError with a plain message when it cannot be opened.
    """
    name = os.fsdecode(path)
    try:
        stream = open(path, "rb")
    except OSError as error:
        raise unreadable(name, error) from None
    with stream:
        yield from lines_of(stream, name, escape=escape)


def lines_of(stream: IO[bytes], name: str, *, escape: bool = False
             ) -> Iterator[Line]:
    """The lines of `stream`, read lazily; the encoding is found now.

    With `escape`, undecodable bytes become lone surrogates
    (surrogateescape) instead of a problem, for a caller that reports such
    text itself. Raises TextFileError for a file no encoding reads.
    """
    # Files, standard input and gzip streams can peek; others get a buffer.
    buffered: Any = stream if hasattr(stream, "peek") else io.BufferedReader(
        stream)  # type: ignore[arg-type]
    head = buffered.peek(_BLOCK)
    if not head.startswith(_GZIP_MAGIC):
        return _decoded(buffered, head, name, escape)
    try:
        unzipped = gzip.GzipFile(fileobj=buffered, mode="rb")
        lines = _decoded(unzipped, unzipped.peek(_BLOCK), name, escape)
    except (OSError, EOFError, zlib.error) as error:
        raise TextFileError(f"{name}: damaged gzip data ({error})") from None
    return _unzipped(lines, name)


def _decoded(stream: Any, head: bytes, name: str, escape: bool
             ) -> Iterator[Line]:
    encoding, skip = _encoding(head, name)
    if _cr_only(head[skip:], encoding):
        raise TextFileError(
            f"{name}: its lines end with a carriage return alone (old Mac "
            f"OS line ends): convert them to \\n, e.g. with tr '\\r' '\\n'")
    stream.read(skip)
    if encoding == "utf-8":
        return _utf8_lines(stream, escape)
    unit = 4 if encoding.startswith("utf-32") else 2
    return _wide_lines(stream, encoding, MAX_LINE_BYTES // unit, escape)


def _unzipped(lines: Iterator[Line], name: str) -> Iterator[Line]:
    try:
        yield from lines
    except (OSError, EOFError, zlib.error) as error:
        raise TextFileError(f"{name}: damaged gzip data ({error})") from None


def _encoding(head: bytes, name: str) -> tuple[str, int]:
    """The encoding of a file starting with `head`, and its BOM's length."""
    if head.startswith(_FST_MAGIC):
        raise TextFileError(f"{name}: this is a model file (an OpenFst "
                            f"binary), not a text file")
    for bom, encoding in _BOMS:
        if head.startswith(bom):
            return encoding, len(bom)
    nuls = head.count(b"\0")
    if not nuls:
        return "utf-8", 0
    fits = [encoding for encoding, unit in _WIDE
            if _reads_as_text(head[:len(head) - len(head) % unit], encoding)]
    if len(fits) == 1:
        return fits[0], 0
    if nuls <= _NUL_SHARE * len(head):
        return "utf-8", 0  # a stray NUL: that line is reported
    raise TextFileError(
        f"{name}: holds NUL bytes, which UTF-8 text never does, and has no "
        f"byte-order mark; it is binary data or UTF-16/UTF-32 text in no "
        f"single readable encoding: save it as UTF-8")


def _cr_only(head: bytes, encoding: str) -> bool:
    """Whether the first block's lines end with "\\r" alone: it holds no
    "\\n" and a "\\r" that does not end it."""
    text = head.decode(encoding, "replace")
    return "\n" not in text and "\r" in text.rstrip("\r")


def _reads_as_text(sample: bytes, encoding: str) -> bool:
    try:
        # Not final: a surrogate pair cut at the end of the sample is held.
        text = codecs.getincrementaldecoder(encoding)().decode(sample)
    except UnicodeDecodeError:
        return False
    # The line breaks must survive: ASCII text with a stray NUL also reads
    # as (CJK) text in UTF-16, but its line breaks vanish into it.
    return (bool(text) and 2 * text.count("\n") >= sample.count(b"\n")
            and all(c in "\t\r\n" or unicodedata.category(c)
                    not in ("Cc", "Cn", "Co", "Cs") for c in text))


def _utf8_lines(stream: IO[bytes], escape: bool) -> Iterator[Line]:
    readline = stream.readline
    number = 0
    while raw := readline(MAX_LINE_BYTES + 1):
        number += 1
        if len(raw) > MAX_LINE_BYTES and not raw.endswith(b"\n"):
            while raw and not raw.endswith(b"\n"):
                raw = readline(_BLOCK)
            yield Line(number, "", _TOO_LONG)
            continue
        raw = raw.rstrip(b"\r\n")
        if b"\0" in raw:
            yield Line(number, "", _NUL)
            continue
        try:
            yield Line(number, raw.decode("utf-8"))
        except UnicodeDecodeError as error:
            text = raw.decode("utf-8", "surrogateescape")
            yield Line(number, text, None if escape else
                       f"not UTF-8 text ({error.reason} at byte "
                       f"{error.start})")


def _wide_lines(stream: Any, encoding: str, limit: int,
                escape: bool) -> Iterator[Line]:
    decoder = codecs.getincrementaldecoder(encoding)("tamsu.textfile.escape")
    number = 0
    held = ""  # the current line so far, while within the limit
    size = 0  # its length in characters, also beyond the limit
    while True:
        block = stream.read1(_BLOCK)  # what a pipe has: no waiting for more
        *complete, rest = decoder.decode(block, final=not block).split("\n")
        for piece in complete:
            number += 1
            yield (Line(number, "", _TOO_LONG) if size + len(piece) > limit
                   else _wide_line(number, held + piece, encoding, escape))
            held, size = "", 0
        size += len(rest)
        held = held + rest if size <= limit else ""
        if not block:
            if size:  # the last line has no line break
                yield (Line(number + 1, "", _TOO_LONG) if size > limit
                       else _wide_line(number + 1, held, encoding, escape))
            return


def _wide_line(number: int, text: str, encoding: str, escape: bool) -> Line:
    text = text.removesuffix("\r")
    if "\0" in text:
        return Line(number, "", _NUL)
    if not escape and _SURROGATE.search(text):
        return Line(number, text, f"not valid {encoding.upper()} text")
    return Line(number, text)


def word_lines(stream: IO[bytes], name: str) -> Iterator[Line]:
    """The words of a word list, one per line, with their line numbers.

    Text after a tab is ignored; blank lines and lines starting with "#"
    are skipped. Undecodable bytes become lone surrogates (see
    :func:`lines_of`), which the front end reports and skips; a line
    holding a NUL or too long to hold comes with its problem and an empty
    word. Raises TextFileError, now, for a file no encoding reads.
    """
    return _words(lines_of(stream, name, escape=True))


def _words(lines: Iterator[Line]) -> Iterator[Line]:
    for line in lines:
        if line.problem is not None:
            yield line
            continue
        word = line.text.split("\t", 1)[0].strip()
        if word and not word.startswith("#"):
            yield Line(line.number, word)


def count_words(path: str) -> int:
    """How many words the word list at `path` gives (for progress)."""
    with open(path, "rb") as stream:
        return sum(1 for line in word_lines(stream, path)
                   if line.problem is None)
