"""What every command of the tamsu command shares: the program name, the
errors that end a run, the number parsers, the options of models, jobs and
progress, notes on standard error and the model the options name.

Command modules import this; :mod:`tamsu.cli` imports them, never the
other way round.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import sys
from dataclasses import MISSING, Field
from typing import IO, Any, Callable, Iterator, Sequence, TextIO, TypeVar

from tamsu.catalogue import (DEFAULT_MODEL, NGRAM_MODEL, SHIPPED, NotCachedError,
                            UnknownModelError)
from tamsu.decoders import resolve_model
from tamsu.files import OutputError, open_output
from tamsu.lexicon import MalformedLine
from tamsu.phones import OUTPUTS, PhoneError

__all__ = ["MAX_JOBS", "PROG", "SHOWN", "RunError", "UsageError",
           "add_input_options", "add_model_options", "add_phone_options",
           "add_progress_option",
           "add_train_option", "add_training_files", "phones_error",
           "model_argument", "output", "probability", "real", "say",
           "say_skipped", "text_input", "threshold", "whole"]

PROG = "tamsu"
# More workers than this would only exhaust memory, one model each.
MAX_JOBS = 1024
# Notes about skipped lines or entries shown before "... and N more".
SHOWN = 10


class RunError(Exception):
    """A failed run: reported as "tamsu: error: ..." with exit status 1."""

    @classmethod
    def of(cls, error: Exception) -> RunError:
        """The failure `error` reports, said plainly: a file that cannot
        be opened as "NAME: reason", without the errno."""
        if isinstance(error, OSError) and error.filename is not None \
                and error.strerror:
            return cls(f"{os.fsdecode(error.filename)}: {error.strerror}")
        return cls(str(error))


class UsageError(Exception):
    """Arguments that do not go together: reported with the command's usage
    and exit status 2."""


def say(note: str) -> None:
    """Prints `note` on standard error as the command's own."""
    print(f"{PROG}: {note}", file=sys.stderr)


def say_skipped(lines: Sequence[MalformedLine]) -> None:
    """Tells the first malformed lines of a lexicon, and how many more
    there are."""
    for line in lines[:SHOWN]:
        say(f"skipped {line}")
    if len(lines) > SHOWN:
        say(f"... and {len(lines) - SHOWN} more malformed lines")


# The number parsers: argparse types that refuse what is not a number of
# their kind, or lies outside their range, all in the same words.

_N = TypeVar("_N", int, float)


def _ranged(convert: Callable[[str], _N], kind: str, low: float,
            high: float, above: bool) -> Callable[[str], _N]:
    """A parser of `convert`'s numbers from `low` (excluded when `above`)
    to `high`, either end infinite for none."""
    if above:
        wording = f"must be above {low} and at most {high}"
    elif high == math.inf:
        wording = f"must be at least {low}"
    elif low == -math.inf:
        wording = f"must be at most {high}"
    else:
        wording = f"must be between {low} and {high}"

    def parse(text: str) -> _N:
        try:
            value = convert(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid {kind}: {text!r}")
        if value != value:
            raise argparse.ArgumentTypeError(f"invalid {kind}: {text!r}")
        if not ((low < value) if above else (low <= value)) or value > high:
            raise argparse.ArgumentTypeError(f"{wording}: {value}")
        return value
    return parse


def whole(low: int, high: int | None = None) -> Callable[[str], int]:
    """Whole numbers from `low` to `high` (None: no limit)."""
    return _ranged(int, "integer", low,
                   math.inf if high is None else high, False)


def real(low: float = -math.inf, high: float = math.inf, *,
         above: bool = False) -> Callable[[str], float]:
    """Real numbers from `low` (excluded when `above`) to `high`; never
    NaN."""
    return _ranged(float, "number", low, high, above)


probability = real(0, 1, above=True)
"""A probability that leaves something: above 0, at most 1."""
threshold = real()
"""A path weight threshold: any number."""


def _help_text(text: str) -> str:
    """`text` as argparse help, which formats it with %."""
    return text.replace("%", "%%")


def add_model_options(parser: argparse.ArgumentParser,
                      jobs: str = "decode on N threads sharing one model"
                      ) -> None:
    """The options of the commands that decode: model, delimiter, jobs
    (`jobs` says what N does), progress bar."""
    parser.add_argument(
        "-m", "--model", metavar="PATH", action="append",
        help="model file, or the name of a catalogued model built with "
             "tamsu models get, or a language tag or name that means one "
             f"(fr, pt-BR, French; default: the shipped US English model "
             f"{DEFAULT_MODEL}, {_help_text(SHIPPED[DEFAULT_MODEL].cost())}; "
             f"{NGRAM_MODEL}, its n-gram model alone: "
             f"{_help_text(SHIPPED[NGRAM_MODEL].cost())}); give it "
             "two or more times to decode with an ensemble of the models, "
             "their scores summed: more accurate (tamsu train with "
             "--max-graphemes 1, 2 and 1 --reverse gives the best three), "
             "but each word costs one decode per model")
    parser.add_argument(
        "--delim", default="", metavar="TEXT",
        help="split words into graphemes at this character instead of "
             "between characters")
    parser.add_argument(
        "-j", "--jobs", type=whole(1, MAX_JOBS), default=1,
        metavar="N",
        help=f"{jobs} (default: 1)")
    add_progress_option(parser, "a progress bar")


def add_input_options(parser: argparse.ArgumentParser, dest: str,
                      metavar: str, what: str, file_help: str) -> None:
    """The input and output of a command that pronounces: arguments
    (`dest`, help `what`), -f/--file, -o/--output."""
    parser.add_argument(dest, nargs="*", metavar=metavar, help=what)
    parser.add_argument("-f", "--file", metavar="PATH", help=file_help)
    parser.add_argument(
        "-o", "--output", metavar="PATH",
        help="write the pronunciations to PATH (default: standard output)")


def text_input(file: str | None, what: str, them: str) -> IO[bytes] | None:
    """Where a command reads `what` ("words") from with --file `file`: the
    file opened (RunError when it cannot be), or None for standard input,
    once it is known to be there and not a terminal when no --file was
    given (UsageError; `them` names `what` in the message)."""
    if file is None or file == "-":
        if sys.stdin is None:
            raise UsageError(f"no {what}: standard input is closed")
        if file is None and sys.stdin.isatty():
            raise UsageError(f"no {what}: give {them} as arguments, with "
                             f"--file, or on standard input")
        return None
    try:
        return open(file, "rb")
    except OSError as error:
        raise RunError(f"cannot read {file}: {error.strerror or error}")


def add_phone_options(parser: argparse.ArgumentParser) -> None:
    """--phones and --no-stress: how the phonemes are written."""
    parser.add_argument(
        "--phones", choices=OUTPUTS, default="model",
        help="write the model's phonemes as they are (the default), in "
             "IPA or in X-SAMPA: ARPAbet as the table in docs/formats.md says, a "
             "stress mark on its vowel (ˈeɪ, X-SAMPA \"eI), AH0 and ER0 as "
             "ə and ɚ (@ and @`); a model in IPA with its marks moved onto "
             "their vowels")
    parser.add_argument(
        "--no-stress", action="store_true",
        help="remove stress digits and marks (AH0 -> AH; with --phones, "
             "only the marks: AH0 stays ə); pronunciations that differed "
             "only in stress become one")


def phones_error(args: argparse.Namespace, error: PhoneError) -> RunError:
    """The failure of writing answers in --phones (a phoneme the table
    does not have)."""
    return RunError(f"--phones {args.phones}: {error}")


@contextlib.contextmanager
def output(path: str | None) -> Iterator[TextIO]:
    """Standard output (UTF-8 whatever the locale says), or the file
    `path` (-o); flushed at the end even on failure, so that the lines
    written so far stay."""
    try:
        out = open_output(path)
    except (OutputError, OSError) as error:
        raise RunError.of(error)
    try:
        yield out
    finally:
        if out is sys.stdout:
            out.flush()
        else:
            out.close()  # a stream of standard output's leaves it open


def add_progress_option(parser: argparse.ArgumentParser, what: str) -> None:
    """--progress and --no-progress, showing `what` ("a progress bar")."""
    parser.add_argument(
        "--progress", action=argparse.BooleanOptionalAction, default=None,
        help=f"show {what} (default: when standard error is a terminal)")


def add_training_files(parser: argparse.ArgumentParser, model: str) -> None:
    """The lexicon to train on and -o, where to write `model` ("the
    model")."""
    parser.add_argument("lexicon", metavar="LEXICON",
                        help="the pronunciation dictionary to train on")
    parser.add_argument("-o", "--output", required=True, metavar="MODEL",
                        help=f"where to write {model}")


def add_train_option(parser: argparse.ArgumentParser,
                     option: Field[Any]) -> None:
    """The option of a tamsu.training.TrainOptions field: its flag,
    default, values and help text come from the field, so that the command
    line and train() cannot drift apart."""
    meta = option.metadata
    flag = "--" + option.name.replace("_", "-")
    if option.type in (bool, "bool"):
        # A check on by default is turned off with --no-NAME.
        action: str | type[argparse.Action] = (
            argparse.BooleanOptionalAction if option.default
            else "store_true")
        parser.add_argument(flag, action=action, default=option.default,
                            help=meta["help"])
        return
    kind: dict[str, Any] = dict(metavar=meta["metavar"])
    if meta["choices"]:
        kind = dict(choices=meta["choices"])
    elif meta["range"]:
        low, high = meta["range"]
        kind["type"] = (whole(low, high) if isinstance(low, int)
                        else real(low, high))
    assert option.default is not MISSING
    parser.add_argument(flag, default=option.default,
                        help=f"{meta['help']} (default: {meta['shown']})",
                        **kind)


def model_argument(args: argparse.Namespace) -> str | tuple[str, ...]:
    """The model of the -m options (a tuple of two or more for an
    ensemble; see :func:`tamsu.decoders.resolve_model`), without -m the
    shipped default. RunError when a name is not built yet or means no
    model, or the shipped model is not installed."""
    try:
        model = resolve_model(args.model)
    except (NotCachedError, UnknownModelError) as error:
        raise RunError.of(error)
    if not args.model and isinstance(model, str) and not os.path.exists(
            model):
        raise RunError(f"the shipped model is missing ({model}); "
                       "give one with --model")
    return model
