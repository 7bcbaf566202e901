"""Training pronunciation models from lexicons.

The heavy lifting (alignment, counting, smoothing, building the FST) runs in
the C++ extension tamsu._train; this module reads the lexicon, shows
progress and shapes the report.
"""

from __future__ import annotations

import operator
import os
import stat
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Iterable, Sequence

from tamsu import _train
from tamsu.lexicon import (DEFAULT_MAX_MALFORMED, Lexicon, LexiconEntry,
                           MalformedLine, graphemes_of, parse_entries,
                           read_lexicon)

__all__ = ["TrainReport", "train", "DEFAULT_ORDER"]

# Chosen by measurement on a development split of the CMU dictionary.
DEFAULT_ORDER = 7
DEFAULT_ITERATIONS = 40
# Chunks of up to two graphemes (p|h:F) by default. On English, one
# grapheme per chunk measured 0.4 points of word error rate better, so the
# shipped model is trained with max_graphemes=1 (data/build_model.py).
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
            f"lines), {self.chunk_types} chunk types, {self.em_iterations} "
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
                delim: str, max_malformed: float) -> Lexicon:
    if isinstance(source, Lexicon):
        return source
    if isinstance(source, (str, os.PathLike)):
        return read_lexicon(source, delim=delim, max_malformed=max_malformed)
    return parse_entries(source, delim=delim)


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
        if isinstance(lexicon, (str, os.PathLike)) and lexicon:
            try:
                same = os.path.samefile(output, lexicon)
            except OSError:
                same = False
            if same:
                raise ValueError(
                    f"the output {name} is the lexicon "
                    f"{os.fsdecode(lexicon)}: refusing to overwrite it")
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
          progress: bool | None = None) -> TrainReport:
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

    The model replaces `output` once it is complete, through a temporary
    file next to it; a symbolic link there is followed and kept.

    Raises LexiconError (a ValueError) for an unusable lexicon, ValueError
    for bad options (an integer out of OPTION_RANGES, an output that is the
    lexicon itself), OSError when the output cannot be written (also when
    it is a FIFO, a device or a directory). Options and output are checked
    before the lexicon is read.
    """
    started = time.monotonic()
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
    source = _lexicon_of(lexicon, delim, max_malformed)
    entries = [(graphemes_of(e.word, delim), e.phonemes)
               for e in source.entries]
    show = sys.stderr.isatty() if progress is None else progress
    bars = None
    if show:
        try:
            bars = _ProgressBars()
        except ImportError:  # without tqdm, train silently
            bars = None
    try:
        result = _train.train_model(entries, os.fspath(output), progress=bars,
                                    **options)
    finally:
        if bars is not None:
            bars.close()
    return TrainReport(
        path=os.fspath(output),
        entries=result["entries"],
        aligned=result["aligned"],
        unaligned=[source.entries[i] for i in result["unaligned"]],
        malformed=list(source.malformed),
        chunk_types=result["chunk_types"],
        em_iterations=result["em_iterations"],
        ngrams=list(result["ngrams"]),
        states=result["states"],
        arcs=result["arcs"],
        file_size=result["file_size"],
        seconds=time.monotonic() - started,
        options=options)
