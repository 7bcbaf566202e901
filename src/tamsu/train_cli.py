"""The options of `tamsu train`, made from tamsu.training.TrainOptions.

Each option's flag, default, values and help text come from the record's
fields, so the command line and train() cannot drift apart.
"""

from __future__ import annotations

import argparse
import math
from dataclasses import MISSING, Field, fields
from typing import Any, Callable, Sequence

from tamsu.lexicon import Lexicon, MalformedLine
from tamsu.training import TrainOptions, TrainReport, train

__all__ = ["add_option", "add_options", "number_in", "run", "say_skipped"]

# Notes about skipped lines or entries shown before "... and N more".
SHOWN = 10


def number_in(low: float, high: float) -> Callable[[str], float]:
    """An argparse type for a number between `low` and `high`: an integer
    when `low` is one."""
    def parse(text: str) -> float:
        try:
            value = int(text) if isinstance(low, int) else float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid number: {text!r}")
        if not low <= value <= high:  # also refuses NaN
            raise argparse.ArgumentTypeError(
                f"must be at least {low}: {value}" if high == math.inf
                else f"must be between {low} and {high}: {value}")
        return value
    return parse


def add_option(parser: argparse.ArgumentParser, option: Field[Any]) -> None:
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
        kind["type"] = number_in(*meta["range"])
    assert option.default is not MISSING
    parser.add_argument(flag, default=option.default,
                        help=f"{meta['help']} (default: {meta['shown']})",
                        **kind)


def add_options(parser: argparse.ArgumentParser) -> None:
    """Adds the arguments of `tamsu train` to `parser`."""
    parser.add_argument("lexicon", metavar="LEXICON",
                        help="the pronunciation dictionary to train on")
    parser.add_argument("-o", "--output", required=True, metavar="MODEL",
                        help="where to write the model")
    for option in fields(TrainOptions):
        add_option(parser, option)
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction,
                        default=None,
                        help="show progress bars (default: when standard "
                             "error is a terminal)")


def say_skipped(lines: Sequence[MalformedLine],
                say: Callable[[str], object]) -> None:
    """Tells `say` the first malformed lines of a lexicon, and how many
    more there are."""
    for line in lines[:SHOWN]:
        say(f"skipped {line}")
    if len(lines) > SHOWN:
        say(f"... and {len(lines) - SHOWN} more malformed lines")


def run(args: argparse.Namespace, say: Callable[[str], object]) -> TrainReport:
    """Trains as `args` ask, telling `say` what was read and skipped.

    Raises what tamsu.training.train raises.
    """
    options = TrainOptions(**{option.name: getattr(args, option.name)
                              for option in fields(TrainOptions)})

    def read(lexicon: Lexicon) -> None:
        say(lexicon.summary())

    report = train(args.lexicon, args.output, options, progress=args.progress,
                   on_read=read)
    say_skipped(report.malformed, say)
    for entry in report.unaligned[:SHOWN]:
        say(f"cannot align {args.lexicon}:{entry.line}: {entry.word} "
            f"{' '.join(entry.phonemes)}")
    if len(report.unaligned) > SHOWN:
        say(f"... and {len(report.unaligned) - SHOWN} more entries that "
            f"cannot be aligned")
    return report
