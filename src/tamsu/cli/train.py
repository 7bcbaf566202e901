"""`tamsu train`: an n-gram model from a pronunciation dictionary.

Its options are tamsu.training.TrainOptions' fields, each made by
:func:`tamsu.cli.options.add_train_option`.
"""

from __future__ import annotations

import argparse
import sys
from dataclasses import fields

from tamsu.cli.options import (SHOWN, RunError, add_progress_option,
                               add_train_option, add_training_files, say,
                               say_skipped)
from tamsu.lexicon import Lexicon
from tamsu.training import TrainOptions, TrainReport, train

__all__ = ["DESCRIPTION", "SUMMARY", "add_options", "run"]

SUMMARY = "train a model from a pronunciation dictionary"
DESCRIPTION = (
    "Train a model from a pronunciation dictionary: one entry per line, the "
    "word, a tab or spaces, the phonemes separated by spaces.")


def add_options(parser: argparse.ArgumentParser) -> None:
    """The arguments and options of `tamsu train`."""
    add_training_files(parser, "the model")
    for option in fields(TrainOptions):
        add_train_option(parser, option)
    add_progress_option(parser, "progress bars")


def run(args: argparse.Namespace) -> int:
    """Trains as `args` ask, telling what was read and skipped; returns the
    exit status."""
    def read(lexicon: Lexicon) -> None:
        say(lexicon.summary())

    try:
        options = TrainOptions(**{option.name: getattr(args, option.name)
                                  for option in fields(TrainOptions)})
        report = train(args.lexicon, args.output, options,
                       progress=args.progress, on_read=read)
    except (OSError, ValueError) as error:  # LexiconError is a ValueError
        raise RunError.of(error)
    say_skipped(report.malformed)
    _say_unaligned(report, args.lexicon)
    print(report.summary(), file=sys.stderr)
    return 0


def _say_unaligned(report: TrainReport, lexicon: str) -> None:
    for entry in report.unaligned[:SHOWN]:
        say(f"cannot align {lexicon}:{entry.line}: {entry.word} "
            f"{' '.join(entry.phonemes)}")
    if len(report.unaligned) > SHOWN:
        say(f"... and {len(report.unaligned) - SHOWN} more entries that "
            f"cannot be aligned")
