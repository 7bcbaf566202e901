"""`tamsu train-neural`: a neural model, and optionally its bundle with an
n-gram model, from a pronunciation dictionary.

The lexicon is read and checked as `tamsu train` reads it (the same
options, from tamsu.training.TrainOptions); training is
tamsu.neural.train_neural, the bundle's tuning tamsu.bundle.tune_bundle.
"""

from __future__ import annotations

import argparse
import math
import sys
from dataclasses import fields
from typing import Any, Callable

from tamsu.train_cli import add_option, number_in, say_skipped
from tamsu.training import TrainOptions, check_output, lexicon_of

__all__ = ["add_options", "run"]

# The n-gram training options that also decide how a neural model reads
# its lexicon.
_SHARED = ("graphemes", "strip_stress", "reverse", "max_malformed",
           "inventory_check")


def add_options(parser: argparse.ArgumentParser) -> None:
    """The arguments and options of `tamsu train-neural`."""
    parser.add_argument("lexicon", metavar="LEXICON",
                        help="the pronunciation dictionary to train on")
    parser.add_argument("-o", "--output", required=True, metavar="MODEL",
                        help="where to write the neural model")
    parser.add_argument(
        "--ngram", metavar="MODEL",
        help="an n-gram model of the same lexicon: also write a bundle of "
             "both (see --bundle) whose combination is tuned on the dev "
             "words")
    parser.add_argument(
        "--bundle", metavar="PATH",
        help="where to write the bundle (default: MODEL.bundle); decode "
             "with it like with any model file")
    parser.add_argument(
        "--dev", metavar="LEXICON",
        help="dev words for early stopping and tuning (default: a share "
             "of the lexicon's words, set aside)")
    parser.add_argument("--dev-share", type=number_in(0.0, 0.5),
                        default=0.05, metavar="SHARE",
                        help="the share set aside without --dev (default: "
                             "0.05)")
    parser.add_argument("--epochs", type=number_in(1, 100000), default=200,
                        metavar="N", help="most epochs (default: 200)")
    parser.add_argument("--patience", type=number_in(1, 100000), default=15,
                        metavar="N",
                        help="stop after N epochs without a better dev word "
                             "error rate (default: 15)")
    parser.add_argument("--time-budget", type=number_in(1.0, math.inf),
                        default=None, metavar="SECONDS",
                        help="stop before an epoch that would end later "
                             "(default: none)")
    parser.add_argument("--threads", type=number_in(1, 64), default=1,
                        metavar="N",
                        help="PyTorch threads (default: 1; more are "
                             "slower on a busy machine)")
    parser.add_argument("--seed", type=number_in(0, 2**32 - 1), default=0,
                        metavar="N", help="random seed (default: 0)")
    shared = {option.name: option for option in fields(TrainOptions)}
    for name in _SHARED:
        if name != "reverse":
            add_option(parser, shared[name])
    parser.add_argument(
        "--reverse", action="store_true",
        help="train right to left (the model records it; decoding still "
             "gives phonemes in reading order)")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction,
                        default=None,
                        help="show a progress bar of the epochs (default: "
                             "when standard error is a terminal)")


def run(args: argparse.Namespace, say: Callable[[str], object]) -> str:
    """Trains as `args` ask; returns the summary to print. Raises
    ImportError without PyTorch, OSError and ValueError (LexiconError) for
    unusable files."""
    from tamsu.bundle import tune_bundle
    from tamsu.neural import train_neural
    if args.bundle and not args.ngram:
        raise ValueError("--bundle needs --ngram: the n-gram model to "
                         "combine with")
    bundle = args.bundle or f"{args.output}.bundle"
    options = TrainOptions(**{name: getattr(args, name) for name in _SHARED})
    check_output(args.output, args.lexicon)
    if args.ngram:
        check_output(bundle, args.lexicon)
    lexicon = lexicon_of(args.lexicon, options)
    say(lexicon.summary())
    say_skipped(lexicon.malformed, say)
    dev = None if args.dev is None else lexicon_of(args.dev, options)
    with _EpochBar(args.progress, args.epochs) as bar:
        report = train_neural(
            lexicon, args.output, dev=dev, dev_share=args.dev_share,
            epochs=args.epochs, time_budget=args.time_budget,
            patience=args.patience, seed=args.seed, threads=args.threads,
            graphemes=options.graphemes, reverse=options.reverse,
            progress=bar)
    summary = (f"trained {report.path} in {report.seconds:.0f} s "
               f"({report.cpu_seconds:.0f} CPU s): {report.entries} entries,"
               f" {report.parameters} parameters, epoch {report.best_epoch} "
               f"of {report.epochs} kept (stopped by {report.stopped}), dev "
               f"WER {report.dev_wer:.2f}% greedy on {report.dev_words} words")
    if args.ngram:
        combined = tune_bundle(args.ngram, args.output, report.dev, bundle)
        wer = combined.dev_wer
        summary += (f"\nbundle {bundle}: {combined.mode}, weight "
                    f"{combined.weight:g}; dev WER n-gram {wer['ngram']:.2f}%"
                    f", neural {wer['neural']:.2f}%, rescoring "
                    f"{wer['rescore']:.2f}%")
    return summary


class _EpochBar:
    """A tqdm bar over the epochs showing the dev word error rate; nothing
    when not shown or tqdm is missing."""

    def __init__(self, show: bool | None, epochs: int) -> None:
        self._bar: Any = None
        if sys.stderr.isatty() if show is None else show:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self._bar = tqdm(total=epochs, desc="epochs", file=sys.stderr,
                             unit=" epochs", leave=False)

    def __enter__(self) -> _EpochBar:
        return self

    def __exit__(self, *exc: object) -> None:
        if self._bar is not None:
            self._bar.close()

    def __call__(self, epoch: Any) -> None:
        if self._bar is not None:
            self._bar.set_postfix_str(f"dev WER {epoch.dev_wer:.1f}% "
                                      f"(best {epoch.best_dev_wer:.1f}%)")
            self._bar.update(1)

