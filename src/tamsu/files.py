"""The files of a run: outputs that must not be inputs, standard output,
and models at any file-system path.

Commands check every output path against every input of the same run
(through symbolic and hard links) before they open anything for writing,
so that a report file never truncates the word list, model, dictionary or
lexicon it reports on.
"""

from __future__ import annotations

import os
import secrets
import sys
from typing import Callable, Iterable, Mapping, TextIO, TypeVar, Union

from tamsu._tamsu import Model
from tamsu.textfile import unreadable

__all__ = ["OutputError", "check_outputs", "load_model", "load_with",
           "open_output", "same_file", "write_whole"]

Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# What an option names: one path, several (a repeated -m), or none.
Paths = Union[Path, Iterable[Path], None]
_Loaded = TypeVar("_Loaded")


class OutputError(ValueError):
    """An output that would destroy an input, or that cannot be written."""


def _each(paths: Paths) -> list[Path]:
    if paths is None:
        return []
    if isinstance(paths, (str, bytes, os.PathLike)):
        return [paths]
    return list(paths)


def _identity(path: Path) -> tuple[int, int] | None:
    """The file `path` leads to (links followed), or None: no such file or
    standard input/output ("-")."""
    if path in ("-", b"-", "", b""):
        return None
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return status.st_dev, status.st_ino


def check_outputs(outputs: Mapping[str, Paths],
                  inputs: Mapping[str, Paths]) -> None:
    """Refuses outputs that are inputs of the same run, or each other.

    Keys name the options ("--oov", "the lexicon"); values are paths,
    sequences of paths, or None. Files are compared by device and inode,
    so symbolic and hard links count. Raises OutputError naming both.
    """
    seen: dict[tuple[int, int], str] = {}
    for label, paths in inputs.items():
        for path in _each(paths):
            identity = _identity(path)
            if identity is not None:
                seen.setdefault(identity, f"{label} {os.fsdecode(path)}")
    for label, paths in outputs.items():
        for path in _each(paths):
            identity = _identity(path)
            if identity is None:
                continue
            if identity in seen:
                raise OutputError(
                    f"{label} {os.fsdecode(path)} is {seen[identity]}: "
                    f"refusing to overwrite it")
            seen[identity] = f"{label} {os.fsdecode(path)}"


def same_file(a: str, b: str) -> bool:
    """Whether paths `a` and `b` name one file (False when either cannot
    be reached)."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def write_whole(path: str | os.PathLike[str], data: bytes) -> None:
    """Writes `data` to `path` through a new file beside it that replaces
    `path` once complete, so that a reader never sees half a file. The
    file gets the permissions any new file gets (the umask's), not the
    owner-only ones of a temporary file: a model is meant to be shared."""
    directory = os.path.dirname(os.path.abspath(path))
    temporary = os.path.join(directory, f".{os.path.basename(path)}."
                             f"{secrets.token_hex(8)}.tmp")
    handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL
                     | getattr(os, "O_CLOEXEC", 0), 0o666)
    try:
        with os.fdopen(handle, "wb") as f:
            f.write(data)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def open_output(path: Path | None) -> TextIO:
    """A new UTF-8 text stream to write results to: the file at `path`
    (created or truncated), or standard output for None or "-".

    Standard output gets UTF-8 whatever PYTHONIOENCODING says, through a
    stream of its own on the descriptor (closing it leaves the descriptor
    open; sys.stdout is flushed first and left as it is). A stand-in
    sys.stdout without a descriptor (redirect_stdout's) is returned itself.
    Raises OutputError when standard output is closed and OSError, with a
    plain message, when the file cannot be opened.
    """
    if path is None or path in ("-", b"-"):
        stdout = sys.stdout
        if stdout is None or stdout.closed:
            raise OutputError("standard output is closed")
        try:
            descriptor = stdout.fileno()
        except (OSError, ValueError):
            return stdout
        try:
            stdout.flush()
            os.fstat(descriptor)
        except OSError:
            raise OutputError("standard output is closed") from None
        return open(descriptor, "w", encoding="utf-8",
                    errors="backslashreplace", closefd=False,
                    newline="\n", buffering=1 if stdout.isatty() else -1)
    try:
        return open(path, "w", encoding="utf-8", errors="backslashreplace",
                    newline="\n")
    except OSError as error:
        raise unreadable(os.fsdecode(path), error, "write") from None


def load_model(path: Path, delim: str = "") -> Model:
    """A Model from any file-system path; see :func:`load_with`."""
    return load_with(Model, path, delim)


def load_with(kind: Callable[[str, str], _Loaded], path: Path,
              delim: str = "") -> _Loaded:
    """A model of `kind` (Model, BatchDecoder) from any file-system path,
    also one that is not UTF-8.

    BatchDecoder takes any path itself. Model takes a str it can encode as
    UTF-8; a path that is bytes, or a str holding surrogates (os.fsdecode
    of such bytes), is opened here and read through /dev/fd while the
    descriptor is open. Errors name the path as given. Raises what `kind`
    raises, and OSError when the file cannot be opened.
    """
    if kind is not Model:
        return kind(path, delim)  # type: ignore[arg-type]
    name = os.fsdecode(path)
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        pass
    else:
        return kind(name, delim)
    try:
        descriptor = os.open(os.fsencode(path), os.O_RDONLY)
    except OSError as error:
        raise unreadable(_shown(name), error) from None
    alias = f"/dev/fd/{descriptor}"
    try:
        return kind(alias, delim)
    except ValueError as error:
        raise ValueError(str(error).replace(alias, _shown(name))) from None
    finally:
        os.close(descriptor)


def _shown(name: str) -> str:
    """`name` printable: undecodable bytes as \\xNN."""
    return os.fsencode(name).decode("utf-8", "backslashreplace")
