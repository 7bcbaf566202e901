"""`tamsu phonemize`: running text in, pronunciations out.

Text comes from the arguments (joined by spaces: one paragraph), from
``--file`` or from standard input (one paragraph per line, read as every
text file is: :mod:`tamsu.textfile`). Each line is cut into tokens and
pronounced by :meth:`tamsu.G2P.phonemize_many`; the output is one line of
pronunciations per input line (``text``), one line per token (``tsv``:
line, start, end, token, phonemes), one JSON object per line (``json``),
or the text as it is read (``words``: numbers and abbreviations written
out). Problems never stop the run: a line that cannot be read and a token
that cannot be pronounced are named on standard error.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import signal
import stat
import sys
from collections import deque
from typing import IO, Any, Iterator

from tamsu.cli.options import (SHOWN, RunError, UsageError,
                               add_input_options, add_model_options,
                               add_phone_options, model_argument, output,
                               phones_error, say, text_input)
from tamsu.files import OutputError, check_outputs
from tamsu.g2p import DEFAULT, G2P
from tamsu.phones import PhoneError
from tamsu.progress import Bar
from tamsu.text import Token
from tamsu.text.phonemize import phonemize_texts, spoken
from tamsu.textfile import TextFileError, lines_of

__all__ = ["DESCRIPTION", "FORMATS", "SUMMARY", "add_options", "run"]

SUMMARY = "print the pronunciations of running text"
DESCRIPTION = (
    "Print the pronunciations of running text: sentences are cut into "
    "words, numbers, abbreviations and punctuation, numbers are read as "
    "words in the model's language, and every word is pronounced "
    "(dictionary first, then the model). Text comes from the arguments "
    "(one paragraph), from --file, or from standard input (one paragraph "
    "per line).")

FORMATS = {
    "text": "one line per input line: each word's phonemes, words "
            "separated by --separator, punctuation kept",
    "tsv": "line<TAB>start<TAB>end<TAB>token<TAB>phonemes, one line per "
           "token (offsets in characters of the line, counted from 0; "
           "lines from 1)",
    "json": "one JSON object per input line, with every token's offsets, "
            "kind, words, phonemes and their source",
    "words": "the text as it is read: numbers, abbreviations and "
             "initialisms written out, punctuation kept",
}


def add_options(parser: argparse.ArgumentParser) -> None:
    """The arguments and options of `tamsu phonemize`."""
    add_input_options(
        parser, "text", "TEXT", "text to pronounce, joined by spaces into one "
        "paragraph (default: read lines from --file or standard input)",
        "read text from PATH, one paragraph per line ('-' for standard "
        "input)")
    add_model_options(parser, jobs=(
        "work in N processes forked from this one, which share its model "
        "(text from a pipe: decode on N threads, as apply does)"))
    parser.add_argument(
        "--format", choices=list(FORMATS), default="text",
        help="output format: " + "; ".join(
            f"{name}: {text}" for name, text in FORMATS.items()) +
        " (default: text)")
    parser.add_argument("--separator", metavar="TEXT", help=(
        "what separates words in the text format (default: ' | '), "
        "tokens in the words format (default: ' ')"))
    add_phone_options(parser)
    parser.add_argument("--language", metavar="CODE", help=(
        "the text's language, ISO 639-1 or 639-3 (en, fra): how numbers "
        "are read (default: the model's; a model that is not shipped or "
        "catalogued has none, and its numbers stay as written)"))


class _Lines:
    """The input lines, and each one's number and problem in order of
    reading, for the output and reports."""

    def __init__(self) -> None:
        self.numbers: deque[tuple[int, str | None]] = deque()


def _texts(args: argparse.Namespace, lines: _Lines) -> Iterator[str]:
    if args.text and args.file is not None:
        raise UsageError("give text as arguments or with --file, not both")
    if args.text:
        lines.numbers.append((1, None))
        return iter((" ".join(args.text),))
    stream = text_input(args.file, "text", "it")
    if stream is None:
        return _read(sys.stdin.buffer, "<stdin>", lines, close=False)
    return _read(stream, args.file, lines, close=True)


def _read(stream: IO[bytes], name: str, lines: _Lines,
          close: bool) -> Iterator[str]:
    try:
        for number, text, problem in lines_of(stream, name, escape=True):
            if problem is not None:
                say(f"{name}:{number}: skipped: {problem}")
            lines.numbers.append((number, problem))
            yield "" if problem is not None else text
    except TextFileError as error:
        raise RunError.of(error)
    finally:
        if close:
            stream.close()


class _Formatter:
    """Turns a line's tokens into output (in this process or a worker)."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.style: str = args.format
        self.separator: str = (args.separator if args.separator is not None
                               else " " if args.format == "words" else " | ")

    def phonemes(self, token: Token, index: int) -> str:
        return " ".join(token.readings[index].phonemes)

    def each_word(self, token: Token) -> list[str]:
        """The phonemes of each of `token`'s words that has some."""
        return [self.phonemes(token, i) for i in range(len(token.readings))
                if token.readings[i].phonemes]

    def text(self, number: int, problem: str | None,
             tokens: list[Token]) -> str:
        """The output of line `number` (`problem`: why it was skipped)."""
        if self.style == "tsv":
            return "".join(f"{number}\t{t.start}\t{t.end}\t{t.written}\t"
                           f"{' '.join(self.each_word(t))}\n" for t in tokens)
        if self.style == "json":
            record: dict[str, object] = {"line": number}
            if problem is not None:
                record["skipped"] = problem
            record["tokens"] = [self._json(t) for t in tokens]
            return json.dumps(record, ensure_ascii=False) + "\n"
        if self.style == "text":
            return spoken(tokens, self.separator) + "\n"
        return self.separator.join(
            token.written if not token.readings else " ".join(token.words)
            for token in tokens) + "\n"

    def _json(self, token: Token) -> dict[str, object]:
        record: dict[str, object] = {
            "token": token.written, "start": token.start, "end": token.end,
            "kind": token.kind}
        if token.readings:
            record["words"] = [r.word for r in token.readings]
            record["phonemes"] = [self.phonemes(token, i)
                                  for i in range(len(token.readings))]
            record["sources"] = [r.source for r in token.readings]
        if token.problem is not None:
            record["problem"] = token.problem
        return record


# A token's problem as it is reported: line, start, end, what.
_Problem = tuple[int, int, int, str]


def _problems(number: int, tokens: list[Token]) -> list[_Problem]:
    return [(number, t.start, t.end, t.problem) for t in tokens
            if t.problem is not None]


class _Report:
    """Names the first tokens that could not be pronounced, counts the
    rest."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.where = "argument" if args.text else (
            "<stdin>" if args.file in (None, "-") else args.file)
        self.problems = 0

    def add(self, problems: list[_Problem]) -> None:
        for number, start, end, problem in problems:
            self.problems += 1
            if self.problems <= SHOWN:
                place = (f"{self.where} {number}" if self.where == "argument"
                         else f"{self.where}:{number}")
                say(f"{place}:{start}-{end}: {problem}")

    def summary(self) -> list[str]:
        if self.problems > SHOWN:
            return [f"... and {self.problems - SHOWN} more tokens not "
                    f"(wholly) pronounced"]
        return []


def run(args: argparse.Namespace) -> int:
    """Runs `tamsu phonemize` with parsed `args`; returns the exit
    status."""
    model = model_argument(args)
    try:  # before anything is opened for writing
        check_outputs({"--output": args.output}, {
            "the text": args.file, "the model": model})
    except OutputError as error:
        raise RunError.of(error)
    lines = _Lines()
    texts = _texts(args, lines)
    try:
        g2p = G2P(model, DEFAULT, delim=args.delim,
                  stress=not args.no_stress, phones=args.phones)
    except (OSError, ValueError) as error:
        raise RunError.of(error)
    language = args.language
    if language is None and _unknown_language(g2p):
        say("the model's language is unknown (not a shipped or catalogued "
            "model): numbers stay as written; give --language to read them")
    formatter = _Formatter(args)
    report = _Report(args)
    pipe = _from_pipe(args)
    try:
        with output(args.output) as out, \
                Bar(args.progress, None, "lines") as bar:
            if args.jobs > 1 and not pipe:
                pieces = _in_processes(g2p, _numbered(texts, lines),
                                       formatter, language, args.jobs)
            else:
                pieces = _here(g2p, texts, lines, formatter, language,
                               args.jobs, _CHUNK_FROM_PIPE if pipe
                               else _CHUNK)
            for text, problems, count in pieces:
                report.add(problems)
                out.write(text)
                bar.update(count)
    except ImportError as error:  # ICU is missing
        raise RunError.of(error)
    except PhoneError as error:
        raise phones_error(args, error)
    except OSError as error:
        if isinstance(error, BrokenPipeError):
            raise  # the reader went away: main stops quietly
        raise RunError(f"{error.filename or 'output'}: "
                       f"{error.strerror or error}")
    for line in report.summary():
        say(line)
    return 0


# What a run writes, a piece at a time: the text, the problems of its
# tokens, how many lines it holds.
_Piece = tuple[str, list[_Problem], int]


def _here(g2p: G2P, texts: Iterator[str], lines: _Lines,
          formatter: _Formatter, language: str | None, jobs: int,
          chunk_size: int) -> Iterator[_Piece]:
    """The output line by line, made in this process (decoded on `jobs`
    threads)."""
    for tokens in phonemize_texts(g2p, texts, jobs=jobs, language=language,
                                  warn=False, chunk_size=chunk_size):
        number, problem = lines.numbers.popleft()
        yield (formatter.text(number, problem, tokens),
               _problems(number, tokens), 1)


def _numbered(texts: Iterator[str], lines: _Lines
              ) -> Iterator[tuple[int, str | None, str]]:
    for text in texts:
        number, problem = lines.numbers.popleft()
        yield number, problem, text


# Words per thread and decoder call, as in apply: a file's in large
# chunks (fewer hand-overs between the decoding and the helper thread),
# a pipe's in small ones, so that each line's answer comes soon.
_CHUNK = 2048
_CHUNK_FROM_PIPE = 256


def _from_pipe(args: argparse.Namespace) -> bool:
    if args.text:
        return False
    if args.file is None or args.file == "-":
        return True
    try:
        return not stat.S_ISREG(os.stat(args.file).st_mode)
    except OSError:
        return True


def _unknown_language(g2p: G2P) -> bool:
    from tamsu.text.phonemize import language_of
    return language_of(g2p) is None


# Lines per task of a worker process: enough to keep the hand-over cheap,
# few enough that output comes steadily and memory stays small.
_LINES_PER_TASK = 256
# The worker process's front end, formatter and language, set by
# _start_worker in the worker (inherited from the parent at fork).
_worker: tuple[G2P, _Formatter, str | None] | None = None


def _in_processes(g2p: G2P, numbered: Iterator[tuple[int, str | None, str]],
                  formatter: _Formatter, language: str | None,
                  jobs: int) -> Iterator[_Piece]:
    """The output, made by `jobs` worker processes forked from this one
    (the loaded model and dictionary shared, not copied): cutting and
    formatting text is Python's work, which threads cannot share. Tasks
    of _LINES_PER_TASK lines, their output in input order, at most two per
    worker in flight, so memory stays bounded."""
    import multiprocessing
    context = multiprocessing.get_context("fork")
    with context.Pool(jobs, initializer=_start_worker,
                      initargs=(g2p, formatter, language)) as pool:
        pending: deque[Any] = deque()
        while True:
            chunk = list(itertools.islice(numbered, _LINES_PER_TASK))
            if chunk:
                pending.append(pool.apply_async(_task, (chunk,)))
            while pending and (len(pending) > 2 * jobs or not chunk):
                piece: _Piece = pending.popleft().get()
                yield piece
            if not chunk:
                return


def _start_worker(g2p: G2P, formatter: _Formatter,
                  language: str | None) -> None:
    global _worker
    # Ctrl-C reaches the whole process group: the parent alone reports it
    # and ends the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _worker = g2p, formatter, language


def _task(chunk: list[tuple[int, str | None, str]]) -> _Piece:
    assert _worker is not None
    g2p, formatter, language = _worker
    texts = (text for _, _, text in chunk)
    out: list[str] = []
    problems: list[_Problem] = []
    for (number, problem, _), tokens in zip(chunk, phonemize_texts(
            g2p, texts, language=language, warn=False,
            chunk_size=_CHUNK)):
        out.append(formatter.text(number, problem, tokens))
        problems.extend(_problems(number, tokens))
    return "".join(out), problems, len(chunk)
