"""`tamsu evaluate`: a model's word and phoneme error rates on a test
dictionary (tamsu.evaluation.evaluate)."""

from __future__ import annotations

import argparse

from tamsu.cli.options import (RunError, add_model_options, model_argument,
                               say_skipped)
from tamsu.evaluation import EvaluationReport, evaluate
from tamsu.files import check_outputs
from tamsu.lexicon import read_lexicon
from tamsu.progress import Bar

__all__ = ["DESCRIPTION", "SUMMARY", "add_options", "run"]

SUMMARY = "measure a model's error rates on a test dictionary"
DESCRIPTION = (
    "Decode every word of a test dictionary and report the word error rate "
    "(a word is right when its best pronunciation equals any of its "
    "references) and the phoneme error rate (edit distance over reference "
    "length).")


def add_options(parser: argparse.ArgumentParser) -> None:
    """The arguments and options of `tamsu evaluate`."""
    parser.add_argument("lexicon", metavar="LEXICON",
                        help="the test dictionary: word, a tab or spaces, "
                             "the phonemes separated by spaces; a word may "
                             "have several lines")
    add_model_options(parser)
    parser.add_argument(
        "--errors", metavar="PATH",
        help="write the misrecognised words to PATH: a header line, then "
             "word, hypothesis (the model's best) and reference (its "
             "variants separated by ' | '), tab-separated")


def run(args: argparse.Namespace) -> int:
    """Runs `tamsu evaluate` with parsed `args`; returns the exit status."""
    model = model_argument(args)
    try:
        check_outputs({"--errors": args.errors}, {
            "the test lexicon": args.lexicon, "the model": model})
        lexicon = read_lexicon(args.lexicon, delim=args.delim)
    except (OSError, ValueError) as error:
        raise RunError.of(error)
    say_skipped(lexicon.malformed)
    try:
        with Bar(args.progress, len(lexicon.references()), "words") as bar:
            report = evaluate(model, lexicon, delim=args.delim,
                              jobs=args.jobs,
                              progress=lambda done: bar.update(1))
    except ValueError as error:
        raise RunError.of(error)
    if args.errors:
        _write_errors(args.errors, report)
    what = ("model alone" if isinstance(model, str)
            else f"ensemble of {len(model)} models")
    print(f"{what} (words are decoded, not looked up in a pronunciation "
          f"dictionary)")
    print(report.summary())
    return 0


def _write_errors(path: str, report: EvaluationReport) -> None:
    """Writes the misrecognised words under a header line naming the
    columns: word, hypothesis (the model's best), reference (every
    variant, " | " between them)."""
    try:
        with open(path, "w", encoding="utf-8") as out:
            out.write("word\thypothesis\treference\n")
            for word, hypothesis, references in report.errors:
                refs = " | ".join(" ".join(r) for r in references)
                out.write(f"{word}\t{' '.join(hypothesis)}\t{refs}\n")
    except OSError as error:
        raise RunError(f"cannot write {path}: {error}")
