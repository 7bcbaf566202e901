"""The tamsu command: apply, train and evaluate.

Exit status: 0 on success, 1 when a run fails (unreadable input, a bad
model or lexicon), 2 for usage errors. Messages go to standard error.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Callable, Sequence

from tamsu.command import (PROG, RunError, add_model_options, int_at_least,
                           number, progress_bar)

__all__ = ["PROG", "RunError", "build_parser", "main"]

_int_at_least = int_at_least
_float = number


def _share(text: str) -> float:
    value = _float(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1: {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Grapheme-to-phoneme conversion: decode "
        "words, train models, measure their accuracy.")
    from tamsu import __version__
    parser.add_argument("--version", action="version",
                        version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND",
                                     required=True)
    _add_apply(commands)

    train = commands.add_parser(
        "train", help="train a model from a pronunciation dictionary",
        description="Train a model from a pronunciation dictionary: one "
        "entry per line, the word, a tab or spaces, the phonemes separated "
        "by spaces.")
    train.set_defaults(run=run_train, parser=train)
    train.add_argument("lexicon", metavar="LEXICON")
    train.add_argument("-o", "--output", required=True, metavar="MODEL",
                       help="where to write the model")
    from tamsu.training import (DEFAULT_ITERATIONS, DEFAULT_MAX_GRAPHEMES,
                                DEFAULT_ORDER, OPTION_RANGES)

    def option(name: str) -> Callable[[str], int]:  # the trainer's range
        return _int_at_least(*OPTION_RANGES[name])
    train.add_argument("--order", type=option("order"), default=DEFAULT_ORDER,
                       metavar="N",
                       help=f"n-gram order (default: {DEFAULT_ORDER})")
    train.add_argument("--max-graphemes", type=option("max_graphemes"),
                       default=DEFAULT_MAX_GRAPHEMES, metavar="N",
                       help=f"most graphemes in one chunk (default: "
                            f"{DEFAULT_MAX_GRAPHEMES})")
    train.add_argument("--max-phonemes", type=option("max_phonemes"),
                       default=2, metavar="N",
                       help="most phonemes in one chunk (default: 2)")
    train.add_argument("--max-deleted", type=option("max_deleted"), default=1,
                       metavar="N",
                       help="most graphemes in a chunk without phonemes; 0 "
                            "forbids such chunks (default: 1)")
    train.add_argument("--many-to-many", action="store_true",
                       help="allow chunks with several graphemes and several "
                            "phonemes")
    train.add_argument("--iterations", type=option("iterations"),
                       default=DEFAULT_ITERATIONS, metavar="N",
                       help=f"most EM iterations (default: "
                            f"{DEFAULT_ITERATIONS})")
    train.add_argument("--max-ngrams", type=option("max_ngrams"), default=0,
                       metavar="N",
                       help="prune to at most N n-grams (default: no limit)")
    train.add_argument("--prune-threshold", type=_float, default=0.0,
                       metavar="X",
                       help="prune n-grams that cost less than X nats of "
                            "weighted relative entropy (default: 0, off)")
    train.add_argument("--threads", type=option("threads"), default=None,
                       metavar="N", help="alignment threads (default: CPUs)")
    train.add_argument("--delim", default="", metavar="TEXT",
                       help="split words into graphemes at this character")
    train.add_argument("--max-malformed", type=_share, default=0.05,
                       metavar="SHARE",
                       help="fail when more than this share of lines is "
                            "malformed (default: 0.05)")
    train.add_argument("--max-unaligned", type=_share, default=0.05,
                       metavar="SHARE",
                       help="fail when more than this share of entries "
                            "cannot be aligned (default: 0.05)")
    train.add_argument("--reverse", action="store_true",
                       help="train right to left, a partner for an ensemble "
                            "(tamsu.ensemble.Ensemble)")
    train.add_argument("--graphemes", choices=("auto", "nfc", "nfd"),
                       default="auto",
                       help="Unicode form of the graphemes: decomposed "
                            "(nfd: Hangul jamo, letters and accents apart), "
                            "composed (nfc), or chosen from the data "
                            "(default: auto); the model records it")
    train.add_argument("--strip-stress", action="store_true",
                       help="remove stress digits and marks from the "
                            "phonemes (AH0 -> AH)")
    train.add_argument("--progress", action=argparse.BooleanOptionalAction,
                       default=None,
                       help="show progress bars (default: when standard "
                            "error is a terminal)")

    _add_evaluate(commands)
    return parser


_Commands = argparse._SubParsersAction  # the parsers' collection
_Run = Callable[[argparse.Namespace, argparse.ArgumentParser], int]


def _subcommand(commands: _Commands[argparse.ArgumentParser], name: str,
                run: _Run, summary: str, description: str
                ) -> argparse.ArgumentParser:
    parser = commands.add_parser(name, help=summary, description=description)
    parser.set_defaults(run=run, parser=parser)
    return parser


def _add_apply(commands: _Commands[argparse.ArgumentParser]) -> None:
    from tamsu.apply import add_options
    add_options(_subcommand(
        commands, "apply", run_apply, "print the pronunciations of words",
        "Print the pronunciations of words, one line per pronunciation (see "
        "--format). Words are looked up in the pronunciation dictionary "
        "first, then decoded by the model; each gets up to --nbest "
        "pronunciations. Words come from the arguments, from --file, or "
        "from standard input."))


def _add_evaluate(commands: _Commands[argparse.ArgumentParser]) -> None:
    evaluate = _subcommand(
        commands, "evaluate", run_evaluate,
        "measure a model's error rates on a test dictionary",
        "Decode every word of a test dictionary and report the word error "
        "rate (a word is right when its best pronunciation equals any of "
        "its references) and the phoneme error rate (edit distance over "
        "reference length).")
    evaluate.add_argument(
        "lexicon", metavar="LEXICON",
        help="the test dictionary: word, a tab or spaces, the phonemes "
             "separated by spaces; a word may have several lines")
    add_model_options(evaluate)
    evaluate.add_argument("--errors", metavar="PATH",
                          help="write the misrecognised words to PATH")


def _model_path(args: argparse.Namespace) -> str | list[str]:
    """The model of -m, the ensemble of repeated -m, or the shipped one."""
    from tamsu import apply
    from tamsu.decoding import default_model_path
    return apply.default_model(args.model) or default_model_path()


def run_apply(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from tamsu import apply
    return apply.run(args, parser, apply.default_model(args.model),
                     progress_bar)


def run_train(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from tamsu.lexicon import LexiconError
    from tamsu.training import train
    try:
        report = train(
            args.lexicon, args.output, delim=args.delim, order=args.order,
            max_graphemes=args.max_graphemes, max_phonemes=args.max_phonemes,
            max_deleted=args.max_deleted, many_to_many=args.many_to_many,
            iterations=args.iterations, max_ngrams=args.max_ngrams,
            prune_threshold=args.prune_threshold, threads=args.threads,
            max_malformed=args.max_malformed,
            max_unaligned=args.max_unaligned, graphemes=args.graphemes,
            strip_stress=args.strip_stress, reverse=args.reverse,
            progress=args.progress,
            on_read=lambda lexicon: print(f"{PROG}: {lexicon.summary()}",
                                          file=sys.stderr))
    except LexiconError as error:
        raise RunError(str(error))
    except (OSError, ValueError) as error:
        raise RunError(str(error))
    for line in report.malformed[:10]:
        print(f"{PROG}: skipped {line}", file=sys.stderr)
    if len(report.malformed) > 10:
        print(f"{PROG}: ... and {len(report.malformed) - 10} more malformed "
              f"lines", file=sys.stderr)
    for entry in report.unaligned[:10]:
        print(f"{PROG}: cannot align {args.lexicon}:{entry.line}: "
              f"{entry.word} {' '.join(entry.phonemes)}", file=sys.stderr)
    if len(report.unaligned) > 10:
        print(f"{PROG}: ... and {len(report.unaligned) - 10} more entries "
              f"that cannot be aligned", file=sys.stderr)
    print(report.summary(), file=sys.stderr)
    return 0


def run_evaluate(args: argparse.Namespace,
                 parser: argparse.ArgumentParser) -> int:
    from tamsu.evaluation import evaluate
    from tamsu.lexicon import LexiconError, read_lexicon
    from tamsu.pool import WorkerDied
    try:
        lexicon = read_lexicon(args.lexicon, delim=args.delim)
    except (OSError, LexiconError) as error:
        raise RunError(str(error))
    for line in lexicon.malformed[:10]:
        print(f"{PROG}: skipped {line}", file=sys.stderr)
    model = _model_path(args)
    total = len(lexicon.references())
    try:
        with progress_bar(args.progress, total, "words") as bar:
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
        # A reader such as head went away: a normal end. Stop quietly, and
        # keep the interpreter's last flush from failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
