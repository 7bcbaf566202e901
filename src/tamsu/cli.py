"""The tamsu command: apply, train and evaluate.

Exit status: 0 on success, 1 when a run fails (unreadable input, a bad
model or lexicon), 2 for usage errors. Messages go to standard error.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Callable, Protocol, Sequence, cast

__all__ = ["main"]

PROG = "tamsu"


class RunError(Exception):
    """A failed run: reported as "tamsu: error: ..." with exit status 1."""


def _int_at_least(minimum: int,
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


_positive_int = _int_at_least(1)
_non_negative_int = _int_at_least(0)
# Model takes nbest and beam as unsigned 64-bit numbers.
_path_count = _int_at_least(1, 2**64 - 1)
# More workers than this would only exhaust memory, one model each.
MAX_JOBS = 1024


def _float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}")
    if value != value:
        raise argparse.ArgumentTypeError("not a number")
    return value


def _share(text: str) -> float:
    value = _float(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1: {value}")
    return value


def _add_model_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-m", "--model", metavar="PATH", action="append",
        help="model file (default: the shipped US English model); give it "
             "two or more times to decode with an ensemble of the models, "
             "their scores summed: more accurate (tamsu train with "
             "--max-graphemes 1, 2 and 1 --reverse gives the best three), "
             "but each word costs one decode per model")
    parser.add_argument(
        "--delim", default="", metavar="TEXT",
        help="split words into graphemes at this character instead of "
             "between characters")
    parser.add_argument(
        "-j", "--jobs", type=_int_at_least(1, MAX_JOBS), default=1,
        metavar="N",
        help="decode in N processes (default: 1)")
    parser.add_argument(
        "--progress", action=argparse.BooleanOptionalAction, default=None,
        help="show a progress bar (default: when standard error is a "
             "terminal)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Grapheme-to-phoneme conversion: decode "
        "words, train models, measure their accuracy.")
    from tamsu import __version__
    parser.add_argument("--version", action="version",
                        version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND",
                                     required=True)

    apply = commands.add_parser(
        "apply", help="print the pronunciations of words",
        description="Print the pronunciations of words, one line per "
        "pronunciation (see --format). Words are looked up in the "
        "pronunciation dictionary first (all their variants are listed), "
        "then decoded by the model (--nbest pronunciations each). Words "
        "come from the arguments, from --file, or from standard input.")
    apply.set_defaults(run=run_apply, parser=apply)
    apply.add_argument("words", nargs="*", metavar="WORD")
    apply.add_argument(
        "-f", "--file", metavar="PATH",
        help="read words from PATH, one per line ('-' for standard input); "
             "text after a tab is ignored, as are blank lines and lines "
             "starting with '#'")
    _add_model_options(apply)
    apply.add_argument("--nbest", type=_path_count, default=1, metavar="N",
                       help="pronunciations per word (default: 1)")
    apply.add_argument("--beam", type=_path_count, default=10000,
                       metavar="N",
                       help="most paths returned per word (default: 10000)")
    apply.add_argument("--threshold", type=_float, default=99.0, metavar="W",
                       help="drop paths whose weight exceeds W "
                            "(default: off)")
    apply.add_argument("--pmass", type=_float, default=99.0, metavar="W",
                       help="normalise weights over the paths found and stop "
                            "once their share exceeds exp(-W); prints "
                            "probabilities (default: off)")
    apply.add_argument("--accumulate", action="store_true",
                       help="add up the probabilities of paths that spell "
                            "the same pronunciation")
    from tamsu.apply import add_options
    add_options(apply)

    train = commands.add_parser(
        "train", help="train a model from a pronunciation dictionary",
        description="Train a model from a pronunciation dictionary: one "
        "entry per line, the word, a tab or spaces, the phonemes separated "
        "by spaces.")
    train.set_defaults(run=run_train, parser=train)
    from tamsu.train_cli import add_options as add_train_options
    add_train_options(train)

    evaluate = commands.add_parser(
        "evaluate", help="measure a model's error rates on a test dictionary",
        description="Decode every word of a test dictionary and report the "
        "word error rate (a word is right when its best pronunciation "
        "equals any of its references) and the phoneme error rate (edit "
        "distance over reference length).")
    evaluate.set_defaults(run=run_evaluate, parser=evaluate)
    evaluate.add_argument("lexicon", metavar="LEXICON")
    _add_model_options(evaluate)
    evaluate.add_argument("--errors", metavar="PATH",
                          help="write the misrecognised words to PATH")
    return parser


def _model_path(args: argparse.Namespace) -> str | list[str]:
    """The model of -m, the ensemble of repeated -m, or the shipped one."""
    from tamsu import apply
    from tamsu.batch import default_model_path
    return apply.default_model(args.model) or default_model_path()


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


def _progress_bar(enabled: bool | None, total: int | None,
                  unit: str) -> ProgressBar:
    show = sys.stderr.isatty() if enabled is None else enabled
    if not show:
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:  # progress is a nicety, never a reason to fail
        return _NoBar()
    return cast(ProgressBar, tqdm(total=total, unit=" " + unit,
                                  unit_scale=True, file=sys.stderr,
                                  leave=False))


def run_apply(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from tamsu import apply
    return apply.run(args, parser, apply.default_model(args.model),
                     _progress_bar)


def run_train(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from tamsu import train_cli
    try:
        report = train_cli.run(
            args, lambda note: print(f"{PROG}: {note}", file=sys.stderr))
    except (OSError, ValueError) as error:  # LexiconError is a ValueError
        raise RunError(str(error))
    print(report.summary(), file=sys.stderr)
    return 0


def run_evaluate(args: argparse.Namespace,
                 parser: argparse.ArgumentParser) -> int:
    from tamsu.evaluation import evaluate
    from tamsu.files import check_outputs
    from tamsu.lexicon import read_lexicon
    from tamsu.pool import WorkerDied
    try:
        check_outputs({"--errors": args.errors}, {
            "the test lexicon": args.lexicon, "the model": args.model})
        lexicon = read_lexicon(args.lexicon, delim=args.delim)
    except (OSError, ValueError) as error:
        raise RunError(str(error))
    for line in lexicon.malformed[:10]:
        print(f"{PROG}: skipped {line}", file=sys.stderr)
    model = _model_path(args)
    total = len(lexicon.references())
    try:
        with _progress_bar(args.progress, total, "words") as bar:
            report = evaluate(model, lexicon, delim=args.delim,
                              jobs=args.jobs,
                              progress=lambda done: bar.update(1))
    except (ValueError, WorkerDied) as error:
        raise RunError(str(error))
    if args.errors:
        try:
            with open(args.errors, "w", encoding="utf-8") as out:
                for word, hypothesis, references in report.errors:
                    refs = " | ".join(" ".join(r) for r in references)
                    out.write(f"{word}\t{' '.join(hypothesis)}\t{refs}\n")
        except OSError as error:
            raise RunError(f"cannot write {args.errors}: {error}")
    what = ("model alone" if isinstance(model, str)
            else f"ensemble of {len(model)} models")
    print(f"{what} (words are decoded, not looked up in a pronunciation "
          f"dictionary)")
    print(report.summary())
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status: int = args.run(args, args.parser)
        return status
    except RunError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # A reader such as head went away: stop quietly, as cat does.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
