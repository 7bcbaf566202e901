"""What every subcommand of the tamsu command shares: the program name, the
error that fails a run, argument types and the progress bar.

Subcommand modules import this; :mod:`tamsu.cli` imports them, never the
other way round.
"""

from __future__ import annotations

import argparse
import sys
from typing import Callable, Protocol, cast

__all__ = ["MAX_JOBS", "PROG", "ProgressBar", "RunError",
           "add_model_options", "int_at_least", "number", "progress_bar"]

PROG = "tamsu"
# More workers than this would only exhaust memory, one model each.
MAX_JOBS = 1024


class RunError(Exception):
    """A failed run: reported as "tamsu: error: ..." with exit status 1."""


def int_at_least(minimum: int,
                 maximum: int | None = None) -> Callable[[str], int]:
    """An argparse type for whole numbers of at least `minimum` and, when
    given, at most `maximum`."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid integer: {text!r}")
        if maximum is not None and not minimum <= value <= maximum:
            raise argparse.ArgumentTypeError(
                f"must be between {minimum} and {maximum}: {value}")
        if value < minimum:
            raise argparse.ArgumentTypeError(
                f"must be at least {minimum}: {value}")
        return value
    return parse


def number(text: str) -> float:
    """An argparse type for a real number (NaN refused)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}")
    if value != value:
        raise argparse.ArgumentTypeError("not a number")
    return value


def add_model_options(parser: argparse.ArgumentParser) -> None:
    """The options of the commands that decode: model, delimiter, jobs,
    progress bar."""
    parser.add_argument(
        "-m", "--model", metavar="PATH", action="append",
        help="model file, or the name of a catalogued model built with "
             "tamsu models get (default: the shipped US English model); "
             "give it "
             "two or more times to decode with an ensemble of the models, "
             "their scores summed: more accurate (tamsu train with "
             "--max-graphemes 1, 2 and 1 --reverse gives the best three), "
             "but each word costs one decode per model")
    parser.add_argument(
        "--delim", default="", metavar="TEXT",
        help="split words into graphemes at this character instead of "
             "between characters")
    parser.add_argument(
        "-j", "--jobs", type=int_at_least(1, MAX_JOBS), default=1,
        metavar="N",
        help="decode on N threads sharing one model (default: 1)")
    parser.add_argument(
        "--progress", action=argparse.BooleanOptionalAction, default=None,
        help="show a progress bar (default: when standard error is a "
             "terminal)")


class ProgressBar(Protocol):
    """What the commands need of a progress bar (tqdm or _NoBar)."""

    def __enter__(self) -> ProgressBar: ...
    def __exit__(self, *exc_info: object) -> None: ...
    def update(self, n: int = 1) -> None: ...


class _NoBar:
    """Stands in for a tqdm bar when none is shown."""

    def __enter__(self) -> "_NoBar":
        return self

    def __exit__(self, *exc_info: object) -> None:
        return None

    def update(self, n: int = 1) -> None:
        return None


def shows_progress(enabled: bool | None) -> bool:
    """Whether a command's progress bar is shown: as --progress says, by
    default when standard error is a terminal."""
    return sys.stderr.isatty() if enabled is None else enabled


def progress_bar(enabled: bool | None, total: int | None,
                 unit: str) -> ProgressBar:
    """A tqdm bar on standard error (see :func:`shows_progress`), or one
    that shows nothing."""
    if not shows_progress(enabled):
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:  # progress is a nicety, never a reason to fail
        return _NoBar()
    return cast(ProgressBar, tqdm(total=total, unit=" " + unit,
                                  unit_scale=True, file=sys.stderr,
                                  leave=False))
