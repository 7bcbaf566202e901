"""Training pronunciation models from lexicons.

The heavy lifting (alignment, counting, smoothing, building the FST) runs in
the C++ extension tamsu._train; this module reads the lexicon, shows
progress and shapes the report.
"""

from __future__ import annotations

import operator
import os
import re
import stat
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Sequence

from tamsu import _train
from tamsu.files import check_outputs
from tamsu.graphemes import (FORMS, REVERSED_MARKER, choose_form, marker_of,
                             normalise_word)
from tamsu.lexicon import (DEFAULT_MAX_MALFORMED, DEFAULT_MAX_UNALIGNED,
                           Lexicon, LexiconEntry,
                           MalformedLine, graphemes_of, parse_entries,
                           read_lexicon)

__all__ = ["TrainReport", "train", "DEFAULT_ORDER"]

# Chosen by measurement on a development split of the CMU dictionary.
DEFAULT_ORDER = 7
DEFAULT_ITERATIONS = 40
# Chunks of up to two graphemes (p|h:F) by default. Across the 15
# SIGMORPHON 2020 languages neither one nor two wins everywhere (one is 2
# to 5 points of word error rate better on French and Hindi, two as much
# better on Bulgarian and Icelandic; bench/multilingual.py), and choosing
# on a held-out tenth picked wrongly too often to pay for its three
# trainings. English does better with one: the shipped model uses it.
DEFAULT_MAX_GRAPHEMES = 2

# The values each integer option may take: what the trainer accepts, all
# within what its C++ fields hold (32-bit counts, a 64-bit n-gram limit).
OPTION_RANGES = {
    "order": (1, 32),
    "max_graphemes": (1, 8),
    "max_phonemes": (1, 8),
    "max_deleted": (0, 8),
    "iterations": (1, 2**32 - 1),
    "threads": (1, 64),
    "max_ngrams": (0, 2**64 - 1),
}

_STAGE_UNITS = {
    "aligning": "entries",
    "counting": "entries",
    "estimating": "orders",
    "pruning": "passes",
    "writing": "steps",
}


@dataclass
class TrainReport:
    path: str
    entries: int
    aligned: int
    # Entries no alignment within the chunk limits covers (abbreviations
    # such as a one-letter word with many phonemes); not in the model.
    unaligned: list[LexiconEntry]
    malformed: list[MalformedLine]
    graphemes: str  # the grapheme form the model records: "nfc" or "nfd"
    floor_tokens: int  # graphemes given a one-grapheme chunk of their own
    chunk_types: int
    em_iterations: int
    ngrams: list[int]  # kept n-grams per order, unigrams first
    states: int
    arcs: int
    file_size: int
    seconds: float
    options: dict[str, Any] = field(default_factory=dict)

    def summary(self) -> str:
        ngrams = " ".join(str(n) for n in self.ngrams)
        return (
            f"trained {self.path} in {self.seconds:.1f} s: "
            f"{self.aligned} of {self.entries} entries aligned "
            f"({len(self.unaligned)} skipped, {len(self.malformed)} malformed "
            f"lines), {self.graphemes.upper()} graphemes, "
            f"{self.chunk_types} chunk types, {self.em_iterations} "
            f"EM iterations\n"
            f"n-grams per order: {ngrams}\n"
            f"{self.states} states, {self.arcs} arcs, "
            f"{self.file_size / 1e6:.1f} MB")


class _ProgressBars:
    """One tqdm bar per training stage, on standard error."""

    def __init__(self) -> None:
        from tqdm import tqdm
        self._tqdm = tqdm
        self._stage: str | None = None
        self._bar: Any = None

    def __call__(self, stage: str, done: int, total: int) -> None:
        if stage != self._stage:
            self.close()
            self._stage = stage
            self._bar = self._tqdm(total=total, desc=stage, file=sys.stderr,
                                   unit=" " + _STAGE_UNITS.get(stage, "steps"),
                                   unit_scale=True, leave=False)
        bar = self._bar
        if bar.total != total:
            bar.total = total
        bar.update(done - bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def _lexicon_of(source: str | os.PathLike[str] | Lexicon
                | Iterable[tuple[str, str | Sequence[str]]],
                delim: str, max_malformed: float,
                strip_stress: bool) -> Lexicon:
    if isinstance(source, Lexicon):
        return source
    if isinstance(source, (str, os.PathLike)):
        return read_lexicon(source, delim=delim, max_malformed=max_malformed,
                            strip_stress=strip_stress)
    return parse_entries(source, delim=delim)


def _with_lines(error: ValueError, source: Lexicon) -> ValueError:
    """`error` with "entry N" turned into the file and line, if known."""
    if not source.path:
        return error

    def where(match: re.Match[str]) -> str:
        index = int(match.group(1)) - 1
        if 0 <= index < len(source.entries):
            return f"{source.path}:{source.entries[index].line}"
        return str(match.group(0))

    return type(error)(re.sub(r"\bentry (\d+)", where, str(error)))


_FILE_KINDS = [(stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
               (stat.S_ISCHR, "a character device"),
               (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")]


def _check_output(output: str | os.PathLike[str], lexicon: object) -> None:
    """Refuses, before any training, an output the model must not replace.

    The writer follows symbolic links and replaces the file they lead to;
    that file must be a regular one (or not exist yet) in a writable
    directory, and must not be the lexicon being read.
    """
    name = os.fsdecode(output)
    if not name:
        raise ValueError("the output path is empty")
    try:
        status: os.stat_result | None = os.stat(output)
    except FileNotFoundError:
        status = None  # created by the writer (also through a link)
    except OSError as error:
        raise OSError(f"cannot write the model to {name}: "
                      f"{error.strerror}") from None
    if status is not None:
        for is_kind, kind in _FILE_KINDS:
            if is_kind(status.st_mode):
                raise OSError(f"cannot write the model to {name}: it is "
                              f"{kind}, not a regular file")
        if isinstance(lexicon, (str, os.PathLike)):
            check_outputs({"the output": output}, {"the lexicon": lexicon})
    directory = os.path.dirname(os.path.realpath(output))
    if not os.path.isdir(directory):
        raise FileNotFoundError(f"cannot write the model to {name}: no "
                                f"directory {directory}")
    if not os.access(directory, os.W_OK | os.X_OK):
        raise PermissionError(f"cannot write the model to {name}: the "
                              f"directory {directory} is not writable")


def train(lexicon: str | os.PathLike[str] | Lexicon
          | Iterable[tuple[str, str | Sequence[str]]],
          output: str | os.PathLike[str], *,
          delim: str = "",
          order: int = DEFAULT_ORDER,
          max_graphemes: int = DEFAULT_MAX_GRAPHEMES,
          max_phonemes: int = 2,
          max_deleted: int = 1,
          many_to_many: bool = False,
          iterations: int = DEFAULT_ITERATIONS,
          max_ngrams: int = 0,
          prune_threshold: float = 0.0,
          threads: int | None = None,
          max_malformed: float = DEFAULT_MAX_MALFORMED,
          max_unaligned: float = DEFAULT_MAX_UNALIGNED,
          graphemes: str = "auto",
          strip_stress: bool = False,
          reverse: bool = False,
          progress: bool | None = None,
          on_read: Callable[[Lexicon], object] | None = None) -> TrainReport:
    """Trains a model on `lexicon` and writes it to `output`.

    `lexicon` is a lexicon file, a Lexicon, or (word, phonemes) pairs with
    phonemes a space-separated str or a sequence. Words are split into
    graphemes as a model with this `delim` splits them when decoding.

    Alignment chunks have 1..max_graphemes graphemes and 0..max_phonemes
    phonemes; chunks without phonemes have at most max_deleted graphemes,
    and many_to_many allows chunks with two or more symbols on both sides.
    The joint n-gram model has the given `order` and is pruned to at most
    `max_ngrams` n-grams and/or by `prune_threshold` when those are set.
    `threads` defaults to the number of CPUs. `progress` shows bars on
    standard error: True always, False never, None when it is a terminal.

    `graphemes` is the Unicode form words are trained in: "nfc", "nfd", or
    "auto" to choose from the data (tamsu.graphemes.choose_form); the model
    records it and the front end writes input the same way. A lexicon of
    which more than `max_unaligned` (a share) of entries cannot be aligned
    is refused. `strip_stress` removes stress digits and marks from the
    phonemes of a lexicon file (AH0 -> AH). `on_read`, if given, is called
    with the Lexicon once it is read, before training starts (the command
    line prints its summary). `reverse` trains right to left (graphemes and
    phonemes last to first), a partner for a left-to-right model in a
    tamsu.ensemble.Ensemble, which reads the model's marker and turns words
    and pronunciations around; decoded with a plain Model it gives the
    phonemes of the reversed word in reverse.

    The model replaces `output` once it is complete, through a temporary
    file next to it; a symbolic link there is followed and kept.

    Raises LexiconError (a ValueError) for an unusable lexicon, ValueError
    for bad options (an integer out of OPTION_RANGES, an output that is the
    lexicon itself), OSError when the output cannot be written (also when
    it is a FIFO, a device or a directory). Options and output are checked
    before the lexicon is read.
    """
    started = time.monotonic()
    if graphemes != "auto" and graphemes not in FORMS:
        raise ValueError(f"graphemes must be 'auto', 'nfc' or 'nfd', not "
                         f"{graphemes!r}")
    if not 0.0 <= max_unaligned <= 1.0:
        raise ValueError("max_unaligned must be between 0 and 1")
    if threads is None:
        threads = max(1, min(os.cpu_count() or 1, 64))
    options: dict[str, Any] = dict(max_graphemes=max_graphemes, max_phonemes=max_phonemes,
                   max_deleted=max_deleted, many_to_many=many_to_many,
                   iterations=iterations, threads=threads, order=order,
                   max_ngrams=max_ngrams, prune_threshold=prune_threshold)
    for name, (low, high) in OPTION_RANGES.items():
        if isinstance(options[name], bool):
            raise TypeError(f"{name} must be an int")
        value = operator.index(options[name])
        if not low <= value <= high:
            raise ValueError(
                f"{name} must be between {low} and {high}, not {value}")
        options[name] = value
    _check_output(output, lexicon.path if isinstance(lexicon, Lexicon)
                  else lexicon)
    source = _lexicon_of(lexicon, delim, max_malformed, strip_stress)
    if on_read is not None:
        on_read(source)
    form = (choose_form(e.word for e in source.entries)
            if graphemes == "auto" else graphemes)
    entries = [(graphemes_of(normalise_word(e.word, form), delim),
                e.phonemes) for e in source.entries]
    markers = [marker_of(form)]
    if reverse:
        entries = [(g[::-1], p[::-1]) for g, p in entries]
        markers.append(REVERSED_MARKER)
    show = sys.stderr.isatty() if progress is None else progress
    bars = None
    if show:
        try:
            bars = _ProgressBars()
        except ImportError:  # without tqdm, train silently
            bars = None
    try:
        result = _train.train_model(entries, os.fspath(output), progress=bars,
                                    max_unaligned=max_unaligned,
                                    input_markers=markers,
                                    **options)
    except ValueError as error:
        raise _with_lines(error, source) from None
    finally:
        if bars is not None:
            bars.close()
    return TrainReport(
        path=os.fspath(output),
        entries=result["entries"],
        aligned=result["aligned"],
        unaligned=[source.entries[i] for i in result["unaligned"]],
        malformed=list(source.malformed),
        graphemes=form,
        floor_tokens=result["floor_tokens"],
        chunk_types=result["chunk_types"],
        em_iterations=result["em_iterations"],
        ngrams=list(result["ngrams"]),
        states=result["states"],
        arcs=result["arcs"],
        file_size=result["file_size"],
        seconds=time.monotonic() - started,
        options=dict(options, reverse=reverse))
