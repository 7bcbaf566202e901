"""The tamsu command: apply, train and evaluate.

Exit status: 0 on success, 1 when a run fails (unreadable input, a bad
model or lexicon), 2 for usage errors. Messages go to standard error.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Callable, Sequence

from tamsu.command import PROG, RunError, add_model_options, progress_bar

__all__ = ["PROG", "RunError", "build_parser", "main"]

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
    _add_train(commands)
    _add_train_neural(commands)
    _add_evaluate(commands)
    _add_models(commands)
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


def _add_train(commands: _Commands[argparse.ArgumentParser]) -> None:
    from tamsu.train_cli import add_options
    add_options(_subcommand(
        commands, "train", run_train,
        "train a model from a pronunciation dictionary",
        "Train a model from a pronunciation dictionary: one entry per line, "
        "the word, a tab or spaces, the phonemes separated by spaces."))


def _add_train_neural(commands: _Commands[argparse.ArgumentParser]) -> None:
    from tamsu.neural_cli import add_options
    add_options(_subcommand(
        commands, "train-neural", run_train_neural,
        "train a neural model (needs PyTorch), alone or bundled with an "
        "n-gram model",
        "Train a neural model (a small transformer; PyTorch is needed to "
        "train, not to decode) from a pronunciation dictionary, with early "
        "stopping on dev words. With --ngram, also write a bundle that "
        "rescores the n-gram model's best pronunciations with it, tuned "
        "on the dev words."))


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


def _add_models(commands: _Commands[argparse.ArgumentParser]) -> None:
    from tamsu.models_cli import add_options
    add_options(_subcommand(
        commands, "models", run_models,
        "list the catalogued models, build one into the cache",
        "Named models for many languages, trained on demand from public "
        "pronunciation lists (Wiktionary via WikiPron, CC BY-SA) and kept "
        "in the cache ($TAMSU_CACHE, else $XDG_CACHE_HOME/tamsu); -m NAME "
        "then uses one."))


def run_models(args: argparse.Namespace,
               parser: argparse.ArgumentParser) -> int:
    from tamsu import models_cli
    return models_cli.run(args)


def _model_path(args: argparse.Namespace) -> str | list[str]:
    """The model of -m, the ensemble of repeated -m, or the shipped one."""
    from tamsu import apply
    from tamsu.catalogue import shipped_path
    from tamsu.catalogue import DEFAULT_MODEL
    return apply.default_model(args.model) or shipped_path(DEFAULT_MODEL)


def run_apply(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from tamsu import apply
    return apply.run(args, parser, apply.default_model(args.model),
                     progress_bar)


def run_train(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from tamsu import train_cli
    try:
        report = train_cli.run(
            args, lambda note: print(f"{PROG}: {note}", file=sys.stderr))
    except (OSError, ValueError) as error:  # LexiconError is a ValueError
        raise RunError(str(error))
    print(report.summary(), file=sys.stderr)
    return 0


def run_train_neural(args: argparse.Namespace,
                     parser: argparse.ArgumentParser) -> int:
    from tamsu import neural_cli
    try:
        summary = neural_cli.run(
            args, lambda note: print(f"{PROG}: {note}", file=sys.stderr))
    except (ImportError, OSError, ValueError) as error:
        raise RunError(str(error))
    print(summary, file=sys.stderr)
    return 0


def run_evaluate(args: argparse.Namespace,
                 parser: argparse.ArgumentParser) -> int:
    from tamsu.evaluation import evaluate
    from tamsu.files import check_outputs
    from tamsu.lexicon import read_lexicon
    model = _model_path(args)
    try:
        check_outputs({"--errors": args.errors}, {
            "the test lexicon": args.lexicon, "the model": model})
        lexicon = read_lexicon(args.lexicon, delim=args.delim)
    except (OSError, ValueError) as error:
        raise RunError(str(error))
    for line in lexicon.malformed[:10]:
        print(f"{PROG}: skipped {line}", file=sys.stderr)
    total = len(lexicon.references())
    try:
        with progress_bar(args.progress, total, "words") as bar:
            report = evaluate(model, lexicon, delim=args.delim,
                              jobs=args.jobs,
                              progress=lambda done: bar.update(1))
    except ValueError as error:
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
