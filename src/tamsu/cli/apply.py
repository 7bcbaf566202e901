"""`tamsu apply`: pronunciations of word lists, as tables or lexicons.

Words come from arguments, a file or standard input; each goes through
the decoding path of :class:`tamsu.G2P` (dictionary first, normalised
input) and comes out in one of the formats below. Problems never stop the
run: a word that is not UTF-8 text, is too long, or holds a tab or line
break (which no output line can carry) is reported with where it came from
and skipped; words without a pronunciation and words that lost unknown
characters are counted on standard error (one line each kind) and listed
with ``--oov``. In the lexicon formats a word that lost characters is left
out unless ``--keep-partial`` is given: a lexicon line is a promise that
the pronunciation is the whole word's.
"""

from __future__ import annotations

import argparse
import collections
import importlib.util
import json
import os
import stat
import sys
from typing import IO, Iterable, Iterator, TextIO

from tamsu.cli.options import (SHOWN, RunError, UsageError,
                               add_input_options, add_model_options,
                               add_phone_options, model_argument, output,
                               phones_error, probability, say, text_input,
                               threshold, whole)
from tamsu.decoding import Answer, Pronunciation
from tamsu.files import OutputError, check_outputs
from tamsu.g2p import DEFAULT, G2P
from tamsu.normalise import printable, printable_characters
from tamsu.phones import PhoneError
from tamsu.progress import Bar, shown
from tamsu.textfile import Line, TextFileError, count_words, word_lines

__all__ = ["DESCRIPTION", "FORMATS", "SUMMARY", "add_options", "run"]

SUMMARY = "print the pronunciations of words"
DESCRIPTION = (
    "Print the pronunciations of words, one line per pronunciation (see "
    "--format). Words are looked up in the pronunciation dictionary first, "
    "then decoded by the model; each gets up to --nbest pronunciations. "
    "Words come from the arguments, from --file, or from standard input.")

FORMATS = {
    "tsv": "word, rank, weight (the model kind's own -log score; "
           "probability with a probability mass), phonemes",
    "scores": "a header line, then word, rank, confidence (comparable "
              "across models and settings: the share of the model's 5 "
              "best), weight (the model kind's own), source (dictionary or "
              "model), phonemes",
    "json": "one JSON object per line and word: word, pronunciations "
            "(rank, phonemes, probability, confidence, weight, source)",
    "lexicon": "word<TAB>phonemes, one line per pronunciation, each word "
               "once (what aligners and ASR toolkits read)",
    "lexicon-prob": "word<TAB>probability<TAB>phonemes, each word once, "
                    "its best pronunciation 1 and the others as likely "
                    "relative to it (as aligners' and ASR lexicons with "
                    "probabilities have them)",
    "cmudict": "word phonemes, each word once, its variants word(2), "
               "word(3) ... (the CMU Pronouncing Dictionary's layout)",
}
# The formats that carry each answer's confidence, and the tables' header.
_CONFIDENT = ("scores", "json")
_SCORES_HEADER = "word\trank\tconfidence\tweight\tsource\tphonemes\n"

# Model takes nbest and beam as unsigned 64-bit numbers.
_path_count = whole(1, 2**64 - 1)
# What would break the line format of the output and of the reports.
_LINE_BREAKERS = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def add_options(parser: argparse.ArgumentParser) -> None:
    """The arguments and options of `tamsu apply`."""
    add_input_options(
        parser, "words", "WORD", "words to pronounce (default: read them from "
        "--file or standard input)",
        "read words from PATH, one per line ('-' for standard input); "
        "text after a tab is ignored, as are blank lines and lines "
        "starting with '#'")
    add_model_options(parser)
    parser.add_argument(
        "--scheduler", metavar="ADDRESS",
        help="decode on the Dask cluster of this scheduler (tcp://HOST:PORT; "
             "needs python3-distributed): its workers load the model once "
             "each, by the same path")
    _add_search_options(parser)
    _add_output_options(parser)
    _add_layer_options(parser)


def _add_search_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--nbest", type=_path_count, default=1, metavar="N",
        help="pronunciations per word, dictionary variants included "
             "(default: 1)")
    parser.add_argument(
        "--beam", type=_path_count, default=10000, metavar="N",
        help="most paths returned per word (default: 10000)")
    parser.add_argument(
        "--threshold", type=threshold, default=None, metavar="W",
        help="drop paths whose weight exceeds W (default: none)")
    parser.add_argument(
        "--probability-mass", type=probability, default=None, metavar="P",
        help="keep each word's best pronunciations until their "
             "probabilities add up to P (0 < P <= 1); prints probabilities")
    parser.add_argument(
        "--accumulate", action="store_true",
        help="add up the probabilities of paths that spell the same "
             "pronunciation")


def _add_output_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--format", choices=list(FORMATS), default="tsv",
        help="output format: " + "; ".join(
            f"{name}: {text}" for name, text in FORMATS.items()) +
        " (default: tsv)")
    parser.add_argument(
        "--only-unknown", action="store_true",
        help="leave out words the dictionary answers (whole, or each "
             "part of a compound): only the model's predictions, for "
             "merging into an existing lexicon")
    parser.add_argument(
        "--keep-partial", action="store_true",
        help="in the lexicon formats, also write words that lost "
             "characters the model does not know, pronounced without them "
             "(tsv always does)")
    parser.add_argument(
        "--oov", metavar="PATH",
        help="write the words without a pronunciation, with characters "
             "the model does not know, or skipped, to PATH as "
             "word<TAB>reason")


def _add_layer_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--dictionary", metavar="PATH",
        help="pronunciation dictionary to look words up in before the "
             "model (default: the shipped CMU dictionary with the shipped "
             "model, none with --model)")
    parser.add_argument(
        "--no-dictionary", action="store_true",
        help="decode every word with the model, looking nothing up")
    parser.add_argument(
        "--all-variants", action="store_true",
        help="give every dictionary variant of a word, even beyond --nbest")
    add_phone_options(parser)
    parser.add_argument(
        "--no-normalise", action="store_true",
        help="decode words as given: no case folding, punctuation "
             "stripping or compound splitting, only the Unicode form the "
             "model records (unknown characters are still removed and "
             "reported)")


class _Source:
    """Where each word came from, for reports ("FILE:LINE", "argument 2")."""

    def __init__(self) -> None:
        self.origins: collections.deque[str] = collections.deque()
        self.total: int | None = None
        # Whether reading the words never waits (arguments, a regular
        # file), unlike a pipe or terminal, whose reader should get each
        # answer soon.
        self.ready = False


def _lines(lines: Iterator[Line], name: str, source: _Source
           ) -> Iterator[str]:
    """The words of a word list's lines (tamsu.textfile.word_lines)."""
    try:
        for number, word, problem in lines:
            if problem is not None:
                say(f"{name}:{number}: skipped: {problem}")
                continue
            source.origins.append(f"{name}:{number}")
            yield word
    except TextFileError as error:  # damaged gzip data
        raise RunError.of(error)


def _stdin_lines(source: _Source) -> Iterator[str]:
    # Read when the first word is wanted: standard input may be a terminal.
    try:
        lines = word_lines(sys.stdin.buffer, "<stdin>")
    except TextFileError as error:
        raise RunError.of(error)
    yield from _lines(lines, "<stdin>", source)


def _words(args: argparse.Namespace, source: _Source) -> Iterator[str]:
    if args.words and args.file is not None:
        raise UsageError("give words as arguments or with --file, not both")
    if args.words:
        source.total = len(args.words)
        source.ready = True
        return _arguments(args.words, source)
    stream = text_input(args.file, "words", "them")
    if stream is None:
        return _stdin_lines(source)
    try:
        lines = word_lines(stream, args.file)  # no encoding reads it: now
        source.ready = stat.S_ISREG(os.fstat(stream.fileno()).st_mode)
        # Counted for the progress bar only when one is shown and reading
        # twice is harmless (not a pipe such as -f <(command)).
        if source.ready and shown(args.progress):
            source.total = count_words(args.file)
    except TextFileError as error:
        stream.close()
        raise RunError.of(error)
    except OSError as error:
        stream.close()
        raise RunError(f"cannot read {args.file}: {error.strerror or error}")
    return _file_lines(stream, lines, args.file, source)


def _file_lines(stream: IO[bytes], lines: Iterator[Line], name: str,
                source: _Source) -> Iterator[str]:
    with stream:
        yield from _lines(lines, name, source)


def _arguments(words: list[str], source: _Source) -> Iterator[str]:
    for number, word in enumerate(words, start=1):
        source.origins.append(f"argument {number}")
        yield word


# Words per thread and decoder call with --jobs above 1. Each call ends
# with the interpreter lock taken back from the helper thread (which may
# hold it for the switch interval, 5 ms) while the decoding threads idle:
# 2,048 words (about 50 ms of decoding) keep that loss small. Words from a
# pipe or terminal go in smaller chunks, so that answers come soon.
_CHUNK = 2048
_CHUNK_FROM_PIPE = 256


def _texts(g2p: G2P, words: Iterable[str], args: argparse.Namespace,
           writer: _Writer) -> Iterator[tuple[str, int]]:
    """The output in input order, as (text, words) pieces: decoded on this
    machine's threads (with more than one, the text is made beside the
    decoding), or on the Dask cluster of --scheduler."""
    if args.scheduler is not None:
        if importlib.util.find_spec("distributed") is None:
            raise RunError("--scheduler needs Dask: install "
                           "python3-distributed")
        from tamsu.dask_support import map_chunks
        return map_chunks(writer.chunk, g2p, words, args.scheduler,
                          jobs=args.jobs)
    if args.jobs > 1:
        return g2p.map_chunks(
            writer.chunk, words, jobs=args.jobs,
            chunk_size=_CHUNK if writer.source.ready else _CHUNK_FROM_PIPE)
    # Word by word: a pipe gets each answer as soon as it is found.
    return ((writer.text(answer), 1) for answer in g2p.answers(words))


def _front_end(args: argparse.Namespace,
               model: str | tuple[str, ...]) -> G2P:
    dictionary = (None if args.no_dictionary else DEFAULT
                  if args.dictionary is None else args.dictionary)
    try:
        return G2P(model, dictionary,
                   normalise=not args.no_normalise, delim=args.delim,
                   nbest=args.nbest, beam=args.beam,
                   threshold=args.threshold,
                   probability_mass=args.probability_mass,
                   accumulate=args.accumulate,
                   partial=_partial(args), all_variants=args.all_variants,
                   stress=not args.no_stress, phones=args.phones,
                   confidence=args.format in _CONFIDENT)
    except (OSError, ValueError) as error:
        raise RunError.of(error)


def _partial(args: argparse.Namespace) -> bool:
    """Whether words that lost characters are written: always in the
    tables and JSON, which say what happened; in a lexicon, only when
    asked."""
    return bool(args.keep_partial) or args.format in ("tsv", "scores",
                                                      "json")


def _shorten(word: str, limit: int = 40) -> str:
    return printable(word[:limit]) + ("..." if len(word) > limit else "")


def _as_given(word: str) -> str:
    """`word` for a line of a report: as given (so that it matches the
    input), with only tabs and line breaks escaped."""
    if any(c in word for c in _LINE_BREAKERS):
        for character, escape in _LINE_BREAKERS.items():
            word = word.replace(character, escape)
    return word


class _Report:
    """Counts and lists what did not go smoothly."""

    def __init__(self, oov: TextIO | None, partial: bool) -> None:
        self.oov = oov
        self.partial = partial
        self.words = 0
        self.skipped = 0
        self.unpronounced = 0
        self.with_unknown = 0
        self.unknown: dict[str, None] = {}

    def add(self, answer: Answer, origin: str) -> bool:
        """Counts `answer`; whether its pronunciations are to be written."""
        self.words += 1
        skipped = answer.skipped
        if skipped is None and any(c in answer.word for c in _LINE_BREAKERS):
            skipped = "holds a tab or line break"  # no line can carry it
        if skipped is not None:
            self._skip(answer.word, skipped, origin)
            return False
        if answer.removed:
            self.with_unknown += 1
            self.unknown.update(dict.fromkeys(answer.removed))
            removed = " ".join(printable(c) for c in answer.removed)
            if not self.partial:
                self._list(answer.word, f"unknown characters: {removed}; "
                           f"left out (--keep-partial writes the rest)")
                return False
            self._list(answer.word, f"unknown characters removed: {removed}")
        if not answer.pronunciations:
            self.unpronounced += 1
            self._list(answer.word, "no pronunciation")
        return True

    def _skip(self, word: str, reason: str, origin: str) -> None:
        self.skipped += 1
        if self.skipped <= SHOWN:
            say(f"{origin}: skipped {_shorten(word)}: {reason}")
        self._list(word, f"skipped: {reason}")

    def _list(self, word: str, reason: str) -> None:
        if self.oov is not None:
            self.oov.write(f"{_as_given(word)}\t{reason}\n")

    def summary(self, oov_path: str | None) -> list[str]:
        lines = []
        listed = f" (listed in {oov_path})" if oov_path else ""
        if self.skipped > SHOWN:
            lines.append(f"... and {self.skipped - SHOWN} more "
                         f"skipped words")
        if self.with_unknown:
            what = ("removed before decoding" if self.partial else
                    "so they were left out (--keep-partial writes the rest)")
            lines.append(f"{self.with_unknown} of {self.words} words had "
                         f"characters the model does not know, {what}: "
                         f"{printable_characters(self.unknown)}{listed}")
        if self.unpronounced:
            lines.append(f"{self.unpronounced} of {self.words} words had no "
                         f"pronunciation{listed}")
        return lines


class _Writer:
    """Turns answers into output lines, through the report."""

    def __init__(self, args: argparse.Namespace, report: _Report,
                 source: _Source) -> None:
        self.style = args.format
        self.probabilities = args.probability_mass is not None
        self.only_unknown = args.only_unknown
        self.report = report
        self.source = source
        # In the lexicon formats a word repeated in the input is written
        # once.
        self.written: set[str] | None = (
            set() if args.format.startswith(("lexicon", "cmudict")) else None)

    def text(self, answer: Answer) -> str:
        """The lines of one answer ("" when it is left out or repeated)."""
        if not self.report.add(answer, self.source.origins.popleft()):
            return ""
        pronunciations = answer.pronunciations
        if self.only_unknown and pronunciations and \
                pronunciations[0].source == "dictionary":
            return ""
        written = self.written
        if written is not None:
            if answer.word in written:
                return ""
            written.add(answer.word)
        if self.style == "json":
            return json.dumps({"word": answer.word, "pronunciations": [
                _record(p) for p in pronunciations]},
                ensure_ascii=False) + "\n"
        best = max((p.probability for p in pronunciations), default=1.0)
        lines = []
        for p in pronunciations:
            phonemes = " ".join(p.phonemes)
            if self.style == "lexicon":
                lines.append(f"{p.word}\t{phonemes}\n")
            elif self.style == "lexicon-prob":
                # Relative to the best, as aligners read them: a word's
                # variants are not a share of one another.
                relative = p.probability / best if best > 0 else 1.0
                lines.append(f"{p.word}\t{relative:.6g}\t{phonemes}\n")
            elif self.style == "cmudict":
                variant = f"({p.rank})" if p.rank > 1 else ""
                lines.append(f"{p.word}{variant} {phonemes}\n")
            elif self.style == "scores":
                lines.append(f"{p.word}\t{p.rank}\t{p.confidence:.4f}\t"
                             f"{p.weight:.4f}\t{p.source}\t{phonemes}\n")
            else:
                score = (f"{p.probability:.6g}" if self.probabilities
                         else f"{p.weight:.4f}")
                lines.append(f"{p.word}\t{p.rank}\t{score}\t{phonemes}\n")
        return "".join(lines)

    def chunk(self, answers: list[Answer]) -> tuple[str, int]:
        """The lines of a chunk of answers, and how many words it held."""
        return "".join(map(self.text, answers)), len(answers)


def _record(p: Pronunciation) -> dict[str, object]:
    return {"rank": p.rank, "phonemes": " ".join(p.phonemes),
            "probability": p.probability, "confidence": p.confidence,
            "weight": p.weight, "source": p.source}


def run(args: argparse.Namespace) -> int:
    """Runs `tamsu apply` with parsed `args`; returns the exit status."""
    model = model_argument(args)
    if args.no_dictionary and args.dictionary is not None:
        raise UsageError("give --dictionary or --no-dictionary, not both")
    try:  # before anything is opened for writing
        check_outputs({"--oov": args.oov, "--output": args.output}, {
            "the word list": args.file, "the model": model,
            "the dictionary": args.dictionary})
    except OutputError as error:
        raise RunError.of(error)
    source = _Source()
    words = _words(args, source)
    g2p = _front_end(args, model)
    oov: TextIO | None = None
    if args.oov is not None:
        try:
            oov = open(args.oov, "w", encoding="utf-8",
                       errors="surrogateescape")
        except OSError as error:
            raise RunError(f"cannot write {args.oov}: "
                           f"{error.strerror or error}")
    report = _Report(oov, _partial(args))
    try:
        with output(args.output) as out, \
                Bar(args.progress, source.total, "words") as bar:
            if args.format == "scores":
                out.write(_SCORES_HEADER)
            _write_answers(_texts(g2p, words, args,
                                  _Writer(args, report, source)), out, bar)
    except PhoneError as error:
        raise phones_error(args, error)
    except OSError as error:
        if isinstance(error, BrokenPipeError):
            raise  # the reader went away: main stops quietly
        raise RunError(f"{error.filename or 'output'}: "
                       f"{error.strerror or error}")
    finally:
        if oov is not None:
            oov.close()
    for line in report.summary(args.oov):
        say(line)
    return 0


def _write_answers(texts: Iterator[tuple[str, int]], out: TextIO,
                   bar: Bar) -> None:
    for text, words in texts:
        out.write(text)
        bar.update(words)
