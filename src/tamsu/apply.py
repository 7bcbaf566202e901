"""`tamsu apply`: pronunciations of word lists, as tables or lexicons.

Words come from arguments, a file or standard input; each goes through
:class:`tamsu.G2P` (dictionary first, normalised input) and comes out in one
of the formats below. Problems never stop the run: a word that is not UTF-8
text or is too long is reported with where it came from and skipped; words
without a pronunciation and words that lost unknown characters are counted
on standard error (one line each kind) and listed with ``--oov``.
"""

from __future__ import annotations

import argparse
import collections
import math
import os
import stat
import sys
from typing import IO, Callable, Iterator, TextIO

from tamsu.cli import PROG, ProgressBar, RunError, _float
from tamsu.files import OutputError, check_outputs, open_output
from tamsu.g2p import DEFAULT, G2P, Pronunciation, _Answer, _Default
from tamsu.normalise import printable
from tamsu.textfile import TextFileError, count_words, word_lines

__all__ = ["FORMATS", "add_options", "run"]

FORMATS = {
    "tsv": "word, rank, weight (probability with a probability mass), "
           "phonemes",
    "lexicon": "word<TAB>phonemes, one line per pronunciation, each word "
               "once (what aligners and ASR toolkits read)",
    "lexicon-prob": "word<TAB>probability<TAB>phonemes, each word once",
}

# At most this many skipped words are named on standard error.
_SHOWN_SKIPS = 10


def _probability(text: str) -> float:
    value = _float(text)
    if not 0.0 < value <= 1.0:
        raise argparse.ArgumentTypeError(
            f"must be a probability above 0 and at most 1: {text}")
    return value


def add_options(parser: argparse.ArgumentParser) -> None:
    """The options of `tamsu apply` that the front end brings."""
    parser.add_argument(
        "--format", choices=list(FORMATS), default="tsv",
        help="output format: " + "; ".join(
            f"{name}: {text}" for name, text in FORMATS.items()) +
        " (default: tsv)")
    parser.add_argument(
        "--probability-mass", type=_probability, default=None, metavar="P",
        help="keep each word's best pronunciations until their "
             "probabilities add up to P (0 < P <= 1); prints probabilities")
    parser.add_argument(
        "--oov", metavar="PATH",
        help="write the words without a pronunciation, or with characters "
             "the model does not know, to PATH as word<TAB>reason")
    parser.add_argument(
        "--dictionary", metavar="PATH",
        help="pronunciation dictionary to look words up in before the "
             "model (default: the shipped CMU dictionary with the shipped "
             "model, none with --model)")
    parser.add_argument(
        "--no-dictionary", action="store_true",
        help="decode every word with the model, looking nothing up")
    parser.add_argument(
        "--no-normalise", action="store_true",
        help="decode words as given: no Unicode normal form, case folding, "
             "punctuation stripping or compound splitting (unknown "
             "characters are still removed and reported)")


class _Source:
    """Where each word came from, for reports ("FILE:LINE", "argument 2")."""

    def __init__(self) -> None:
        self.origins: collections.deque[str] = collections.deque()
        self.total: int | None = None


def _lines(stream: IO[bytes], name: str, source: _Source) -> Iterator[str]:
    """The words of a word list (tamsu.textfile.word_lines)."""
    try:
        for number, word, problem in word_lines(stream, name):
            if problem is not None:
                print(f"{PROG}: {name}:{number}: skipped: {problem}",
                      file=sys.stderr)
                continue
            source.origins.append(f"{name}:{number}")
            yield word
    except TextFileError as error:
        raise RunError(str(error))


def _words(args: argparse.Namespace, parser: argparse.ArgumentParser,
           source: _Source) -> Iterator[str]:
    if args.words and args.file is not None:
        parser.error("give words as arguments or with --file, not both")
    if args.words:
        source.total = len(args.words)
        return _arguments(args.words, source)
    if args.file is None or args.file == "-":
        if sys.stdin is None:
            parser.error("no words: standard input is closed")
        if args.file is None and sys.stdin.isatty():
            parser.error("no words: give them as arguments, with --file, "
                         "or on standard input")
        return _lines(sys.stdin.buffer, "<stdin>", source)
    try:
        stream = open(args.file, "rb")
    except OSError as error:
        raise RunError(f"cannot read {args.file}: {error.strerror or error}")
    try:
        # Counted for the progress bar only when reading twice is harmless
        # (not a pipe such as -f <(command)).
        if stat.S_ISREG(os.fstat(stream.fileno()).st_mode):
            source.total = count_words(args.file)
    except TextFileError as error:
        stream.close()
        raise RunError(str(error))
    except OSError as error:
        stream.close()
        raise RunError(f"cannot read {args.file}: {error.strerror or error}")
    return _file_lines(stream, args.file, source)


def _file_lines(stream: IO[bytes], name: str, source: _Source
                ) -> Iterator[str]:
    with stream:
        yield from _lines(stream, name, source)


def _arguments(words: list[str], source: _Source) -> Iterator[str]:
    for number, word in enumerate(words, start=1):
        source.origins.append(f"argument {number}")
        yield word


def _front_end(args: argparse.Namespace,
               model: str | list[str] | None) -> G2P:
    dictionary: str | None | _Default = DEFAULT
    if args.no_dictionary:
        dictionary = None
    elif args.dictionary is not None:
        dictionary = args.dictionary
    threshold = args.threshold if args.threshold < 99.0 else None
    mass = args.probability_mass
    if mass is None and args.pmass < 99.0:
        # --pmass W is the model's -log form of the mass exp(-W).
        mass = min(1.0, math.exp(-args.pmass))
    try:
        return G2P(model, dictionary,
                   normalise=not args.no_normalise, delim=args.delim,
                   nbest=args.nbest, beam=args.beam, threshold=threshold,
                   probability_mass=mass, accumulate=args.accumulate)
    except (OSError, ValueError) as error:
        raise RunError(str(error))


def _shorten(word: str, limit: int = 40) -> str:
    return printable(word[:limit]) + ("..." if len(word) > limit else "")


class _Report:
    """Counts and lists what did not go smoothly."""

    def __init__(self, oov: TextIO | None) -> None:
        self.oov = oov
        self.words = 0
        self.skipped = 0
        self.unpronounced = 0
        self.with_unknown = 0
        self.unknown: dict[str, None] = {}

    def add(self, answer: _Answer, origin: str) -> None:
        self.words += 1
        if answer.skipped is not None:
            self.skipped += 1
            if self.skipped <= _SHOWN_SKIPS:
                print(f"{PROG}: {origin}: skipped {_shorten(answer.word)}: "
                      f"{answer.skipped}", file=sys.stderr)
            self._list(answer.word, f"skipped: {answer.skipped}")
            return
        if answer.removed:
            self.with_unknown += 1
            self.unknown.update(dict.fromkeys(answer.removed))
            self._list(answer.word, "unknown characters removed: " +
                       " ".join(printable(c) for c in answer.removed))
        if not answer.pronunciations:
            self.unpronounced += 1
            self._list(answer.word, "no pronunciation")

    def _list(self, word: str, reason: str) -> None:
        if self.oov is not None:
            self.oov.write(f"{printable(word)}\t{reason}\n")

    def summary(self, oov_path: str | None) -> list[str]:
        lines = []
        listed = f" (listed in {oov_path})" if oov_path else ""
        if self.skipped > _SHOWN_SKIPS:
            lines.append(f"... and {self.skipped - _SHOWN_SKIPS} more "
                         f"skipped words")
        if self.with_unknown:
            shown = " ".join(printable(c) for c in list(self.unknown)[:20])
            more = " ..." if len(self.unknown) > 20 else ""
            lines.append(f"{self.with_unknown} of {self.words} words had "
                         f"characters the model does not know, removed "
                         f"before decoding: {shown}{more}{listed}")
        if self.unpronounced:
            lines.append(f"{self.unpronounced} of {self.words} words had no "
                         f"pronunciation{listed}")
        return [f"{PROG}: {line}" for line in lines]


def _write(out: TextIO, style: str, pronunciations: list[Pronunciation],
           probabilities: bool) -> None:
    for p in pronunciations:
        phonemes = " ".join(p.phonemes)
        if style == "lexicon":
            out.write(f"{p.word}\t{phonemes}\n")
        elif style == "lexicon-prob":
            out.write(f"{p.word}\t{p.probability:.6g}\t{phonemes}\n")
        else:
            score = (f"{p.probability:.6g}" if probabilities
                     else f"{p.weight:.4f}")
            out.write(f"{p.word}\t{p.rank}\t{score}\t{phonemes}\n")


def run(args: argparse.Namespace, parser: argparse.ArgumentParser,
        model: str | list[str] | None,
        progress_bar: Callable[[bool | None, int | None, str], ProgressBar]
        ) -> int:
    """Runs `tamsu apply` with parsed `args`; returns the exit status.

    `model` is the model path (a list of paths for an ensemble, None for
    the shipped one); `progress_bar`
    makes a bar from (enabled, total, unit).
    """
    if args.no_dictionary and args.dictionary is not None:
        parser.error("give --dictionary or --no-dictionary, not both")
    if args.pmass < 99.0 and args.probability_mass is not None:
        parser.error("give --probability-mass or --pmass, not both")
    try:  # before anything is opened for writing
        check_outputs({"--oov": args.oov}, {
            "the word list": args.file, "the model": args.model,
            "the dictionary": args.dictionary})
        out = open_output(None)
    except OutputError as error:
        raise RunError(str(error))
    source = _Source()
    words = _words(args, parser, source)
    g2p = _front_end(args, model)
    oov: TextIO | None = None
    if args.oov is not None:
        try:
            oov = open(args.oov, "w", encoding="utf-8")
        except OSError as error:
            raise RunError(f"cannot write {args.oov}: "
                           f"{error.strerror or error}")
    report = _Report(oov)
    probabilities = args.probability_mass is not None or args.pmass < 99.0
    lexicon = args.format != "tsv"
    written: set[str] = set()
    from tamsu.pool import WorkerDied
    try:
        with progress_bar(args.progress, source.total, "words") as bar:
            for answer in g2p._answers(words, jobs=args.jobs):
                report.add(answer, source.origins.popleft())
                if lexicon:
                    if answer.word in written:
                        bar.update(1)
                        continue
                    written.add(answer.word)
                _write(out, args.format, answer.pronunciations,
                       probabilities)
                bar.update(1)
    except WorkerDied as error:
        raise RunError(str(error))
    except OSError as error:
        if isinstance(error, BrokenPipeError):
            raise  # the reader went away: main stops quietly
        raise RunError(f"{error.filename or 'output'}: "
                       f"{error.strerror or error}")
    finally:
        if oov is not None:
            oov.close()
        out.flush()  # the lines written so far stay, even on failure
    for line in report.summary(args.oov):
        print(line, file=sys.stderr)
    return 0


def default_model(paths: list[str] | None) -> str | list[str] | None:
    """The model of the -m options (a list of two or more for an
    ensemble), or None for the shipped model when it is installed."""
    if paths:
        return paths if len(paths) > 1 else paths[0]
    from tamsu.batch import default_model_path
    shipped = default_model_path()
    if not os.path.exists(shipped):
        raise RunError(f"the shipped model is missing ({shipped}); "
                       "give one with --model")
    return None
