"""Training pronunciation models from lexicons.

The heavy lifting (alignment, counting, smoothing, building the FST) runs in
the C++ extension tamsu._train; this module reads the lexicon, shows
progress and shapes the report.
"""

from __future__ import annotations

import json
import math
import operator
import os
import re
import stat
import time
from dataclasses import dataclass, field, fields, replace
from typing import Any, Callable, Iterable, Sequence

from tamsu import _train
from tamsu.files import check_outputs
from tamsu.graphemes import (FORMS, REVERSED_MARKER, choose_form, marker_of,
                             normalise_word)
from tamsu.lexicon import (DEFAULT_MAX_MALFORMED, TRAINED_MARKER, Lexicon,
                           LexiconEntry, MalformedLine, graphemes_of,
                           parse_entries, read_lexicon, split_words,
                           words_digest)
from tamsu.phones import (PHONE_SET_MARKERS, PHONE_SET_NAMES, PHONE_SETS,
                          phone_set_of)
from tamsu.normalise import SymbolSource, input_symbols
from tamsu.progress import StageBars, shown

__all__ = ["OPTIONS_MARKER", "TrainOptions", "TrainReport", "check_output",
           "lexicon_of", "recorded_form", "recorded_options", "train"]

# The core's defaults (measured; see src/train): set once, in C++.
_CORE = _train.defaults()
# Integer fields of the C++ options hold 32-bit counts and a 64-bit limit.
_UINT32, _UINT64 = 2**32 - 1, 2**64 - 1


def _option(default: Any, text: str,
            limits: tuple[float, float] | None = None, *, metavar: str = "N",
            shown: str | None = None,
            choices: tuple[str, ...] | None = None) -> Any:
    """A TrainOptions field: its default, the values it may take (`limits`,
    inclusive, or `choices`) and its help text, which the command line
    shows with `shown` (or the default) as the default."""
    return field(default=default, metadata=dict(
        help=text, range=limits, metavar=metavar, choices=choices,
        shown=str(default) if shown is None else shown))


@dataclass(frozen=True)
class TrainOptions:
    """Everything that decides the model a lexicon trains into.

    Alignment chunks have 1..max_graphemes graphemes and 0..max_phonemes
    phonemes; chunks without phonemes have at most max_deleted graphemes,
    and many_to_many allows chunks with two or more symbols on both sides.
    The joint n-gram model has the given `order` and is pruned to at most
    `max_ngrams` n-grams and/or by `prune_threshold` when those are set.
    Words are split into graphemes as a model with this `delim` splits them
    when decoding. Each field's metadata holds the values it may take and
    its help text. Raises TypeError or ValueError for a value out of range.
    """

    order: int = _option(_CORE["order"], "n-gram order", (1, 32))
    max_graphemes: int = _option(_CORE["max_graphemes"],
                                 "most graphemes in one chunk", (1, 8))
    max_phonemes: int = _option(_CORE["max_phonemes"],
                                "most phonemes in one chunk", (1, 8))
    max_deleted: int = _option(
        _CORE["max_deleted"], "most graphemes in a chunk without phonemes; "
        "0 forbids such chunks", (0, 8))
    many_to_many: bool = _option(
        _CORE["many_to_many"],
        "allow chunks with several graphemes and several phonemes")
    iterations: int = _option(_CORE["iterations"], "most EM iterations",
                              (1, _UINT32))
    max_ngrams: int = _option(_CORE["max_ngrams"],
                              "prune to at most N n-grams", (0, _UINT64),
                              shown="no limit")
    prune_threshold: float = _option(
        _CORE["prune_threshold"], "prune n-grams that cost less than X nats "
        "of weighted relative entropy", (0.0, math.inf), metavar="X",
        shown="0, off")
    # None: one per CPU. The model does not depend on it.
    threads: int | None = _option(None, "alignment threads", (1, 64),
                                  shown="CPUs")
    delim: str = _option("", "split words into graphemes at this character",
                         metavar="TEXT", shown="between characters")
    max_malformed: float = _option(
        DEFAULT_MAX_MALFORMED, "fail when more than this share of lines is "
        "malformed", (0.0, 1.0), metavar="SHARE")
    max_unaligned: float = _option(
        _CORE["max_unaligned"], "fail when more than this share of entries "
        "cannot be aligned", (0.0, 1.0), metavar="SHARE")
    graphemes: str = _option(
        "auto", "Unicode form of the graphemes: decomposed (nfd: Hangul "
        "jamo, letters and accents apart), composed (nfc), or chosen from "
        "the data (auto); the model records it and the front end writes "
        "input the same way",
        choices=("auto", *FORMS))
    phones: str = _option(
        "auto", "the phone set of the phonemes, recorded in the model: "
        "arpabet, ipa, or chosen from the data (auto: the set all but a "
        "stray few phonemes belong to; none recorded when neither)",
        choices=("auto", *PHONE_SETS))
    strip_stress: bool = _option(
        False, "remove stress digits and marks from the phonemes of a "
        "lexicon file (AH0 -> AH)")
    inventory_check: bool = _option(
        True, "refuse a lexicon whose phonemes look implausible for its "
        "entries (phonemes written without spaces, swapped columns; see "
        "tamsu.lexicon)")
    hold_out: float | None = _option(
        None, "set aside this share of the lexicon's words and train on the "
        "rest, recording which words were trained on: train-neural --ngram "
        "with the same --dev-share and --seed then tunes its bundle on words "
        "neither model saw (0: set none aside, but record)", (0.0, 0.5),
        metavar="SHARE", shown="none, nothing recorded")
    seed: int = _option(0, "the random seed of --hold-out's choice",
                        (0, 2**32 - 1))
    reverse: bool = _option(
        False, "train right to left (graphemes and phonemes last to "
        "first), a partner for a left-to-right model in an ensemble "
        "(tamsu.ensemble.Ensemble); decoded with a plain Model it gives the "
        "phonemes of the reversed word in reverse")

    def __post_init__(self) -> None:
        for option in fields(self):
            value = getattr(self, option.name)
            choices = option.metadata["choices"]
            limits = option.metadata["range"]
            if choices and value not in choices:
                raise ValueError(f"{option.name} must be one of "
                                 f"{', '.join(choices)}, not {value!r}")
            if limits is None or value is None:
                continue
            low, high = limits
            if isinstance(value, bool):
                raise TypeError(f"{option.name} must be a number, not a bool")
            if isinstance(low, int) or not isinstance(value, (int, float)):
                value = operator.index(value)  # TypeError unless an integer
            if not low <= value <= high:  # also refuses NaN
                raise ValueError(
                    f"{option.name} must be at least {low}, not {value}"
                    if high == math.inf else f"{option.name} must be "
                    f"between {low} and {high}, not {value}")
            object.__setattr__(self, option.name, value)

    def core(self) -> dict[str, Any]:
        """The options this record shares with the C++ trainer, as its
        keywords, threads resolved."""
        threads = (max(1, min(os.cpu_count() or 1, 64))
                   if self.threads is None else self.threads)
        return dict({name: getattr(self, name) for name in _CORE
                     if hasattr(self, name)}, threads=threads)


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
    phones: str | None  # the phone set the model records, if any
    floor_tokens: int  # graphemes given a one-grapheme chunk of their own
    chunk_types: int
    em_iterations: int
    ngrams: list[int]  # kept n-grams per order, unigrams first
    states: int
    arcs: int
    file_size: int
    seconds: float
    options: TrainOptions  # as trained, threads resolved

    def summary(self) -> str:
        ngrams = " ".join(str(n) for n in self.ngrams)
        return (
            f"trained {self.path} in {self.seconds:.1f} s: "
            f"{self.aligned} of {self.entries} entries aligned "
            f"({len(self.unaligned)} skipped, {len(self.malformed)} malformed "
            f"lines), {self.graphemes.upper()} graphemes, "
            f"{PHONE_SET_NAMES[self.phones] if self.phones else 'no known'} phone set, "
            f"{self.chunk_types} chunk types, {self.em_iterations} "
            f"EM iterations\n"
            f"n-grams per order: {ngrams}\n"
            f"{self.states} states, {self.arcs} arcs, "
            f"{self.file_size / 1e6:.1f} MB")


LexiconSource = (str | os.PathLike[str] | Lexicon
                 | Iterable[tuple[str, str | Sequence[str]]])


def lexicon_of(source: LexiconSource, options: TrainOptions) -> Lexicon:
    """`source` as a Lexicon, a file read and checked as `options` say."""
    if isinstance(source, Lexicon):
        return source
    if isinstance(source, (str, os.PathLike)):
        return read_lexicon(source, delim=options.delim,
                            max_malformed=options.max_malformed,
                            strip_stress=options.strip_stress,
                            check_inventory=options.inventory_check)
    return parse_entries(source, delim=options.delim)


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


def check_output(output: str | os.PathLike[str], lexicon: object) -> None:
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


def train(lexicon: LexiconSource, output: str | os.PathLike[str],
          options: TrainOptions | None = None, *,
          progress: bool | None = None,
          on_read: Callable[[Lexicon], object] | None = None,
          **changes: Any) -> TrainReport:
    """Trains a model on `lexicon` and writes it to `output`.

    `lexicon` is a lexicon file, a Lexicon, or (word, phonemes) pairs with
    phonemes a space-separated str or a sequence. `options` (a TrainOptions,
    by default its defaults) say how; keyword `changes` replace single
    options (`train(lexicon, output, order=3)`). `progress` shows bars on
    standard error: True always, False never, None when it is a terminal.
    `on_read`, if given, is called with the Lexicon once it is read, before
    training starts (the command line prints its summary).

    The model replaces `output` once it is complete, through a temporary
    file next to it; a symbolic link there is followed and kept.

    Raises LexiconError (a ValueError) for an unusable lexicon, also when
    more than `max_unaligned` (a share) of its entries cannot be aligned;
    TypeError or ValueError for bad options (see TrainOptions) and an output
    that is the lexicon itself; OSError when the output cannot be written
    (also when it is a FIFO, a device or a directory). Options and output
    are checked before the lexicon is read.
    """
    started = time.monotonic()
    options = replace(options or TrainOptions(), **changes)
    check_output(output, lexicon.path if isinstance(lexicon, Lexicon)
                  else lexicon)
    source = lexicon_of(lexicon, options)
    if on_read is not None:
        on_read(source)
    form, phones = _recorded(source, options)
    source, trained = _held_out(source, options)
    entries, markers = _core_entries(source, form, options)
    markers += trained
    if phones is not None:
        markers.append(PHONE_SET_MARKERS[phones])
    core = options.core()
    try:
        result = _train_with_bars(entries, output, core, markers, progress)
    except ValueError as error:
        raise _with_lines(error, source) from None
    return TrainReport(
        path=os.fspath(output),
        entries=result["entries"],
        aligned=result["aligned"],
        unaligned=[source.entries[i] for i in result["unaligned"]],
        malformed=list(source.malformed),
        graphemes=form,
        phones=phones,
        floor_tokens=result["floor_tokens"],
        chunk_types=result["chunk_types"],
        em_iterations=result["em_iterations"],
        ngrams=list(result["ngrams"]),
        states=result["states"],
        arcs=result["arcs"],
        file_size=result["file_size"],
        seconds=time.monotonic() - started,
        options=replace(options, threads=core["threads"]))


def recorded_form(source: Lexicon, options: TrainOptions) -> str:
    """The grapheme form ("nfc" or "nfd") a model trained on `source` with
    `options` records: as they say, or chosen from the data ("auto")."""
    return (choose_form(e.word for e in source.entries)
            if options.graphemes == "auto" else options.graphemes)


def _recorded(source: Lexicon, options: TrainOptions
              ) -> tuple[str, str | None]:
    """The grapheme form and the phone set (if any) the model records: as
    `options` say, or chosen from the data ("auto")."""
    form = recorded_form(source, options)
    phones = (phone_set_of(p for e in source.entries for p in e.phonemes)
              if options.phones == "auto" else options.phones)
    return form, phones


def _held_out(source: Lexicon, options: TrainOptions
              ) -> tuple[Lexicon, list[str]]:
    """The entries to train on, without the words `options.hold_out` sets
    aside, and the marker recording those trained on (none without a
    hold-out)."""
    if options.hold_out is None:
        return source, []
    held = split_words((e.word for e in source.entries), options.hold_out,
                       options.seed)
    kept = replace(source, entries=[e for e in source.entries
                                    if e.word not in held])
    return kept, [TRAINED_MARKER.format(
        words_digest(e.word for e in kept.entries)), _options_marker(options)]


OPTIONS_MARKER = "<tamsu:options:{}>"
"""The input symbol that records, as compact JSON, the options a model was
trained with (all but `threads`, `hold_out` and `seed`), written with the
hold-out marker: what `tamsu train-neural --refit` trains it again with."""

# Options that do not change what is learnt from a given set of words.
_UNRECORDED = ("threads", "hold_out", "seed")


def _options_marker(options: TrainOptions) -> str:
    recorded = {option.name: getattr(options, option.name)
                for option in fields(options)
                if option.name not in _UNRECORDED}
    return OPTIONS_MARKER.format(json.dumps(recorded, separators=(",", ":"),
                                            sort_keys=True))


def recorded_options(model: SymbolSource) -> TrainOptions | None:
    """The options `model` records it was trained with
    (:data:`OPTIONS_MARKER`; `threads`, `hold_out` and `seed` at their
    defaults), or None when it records none (a model trained without a
    hold-out, or before they were recorded). Raises ValueError for a
    record this version cannot read."""
    start, end = OPTIONS_MARKER.split("{}")
    for text in input_symbols(model):
        if text.startswith(start) and text.endswith(end):
            try:
                recorded = json.loads(text[len(start):-len(end)])
                return TrainOptions(**{
                    name: value for name, value in recorded.items()
                    if name not in _UNRECORDED})
            except (TypeError, ValueError) as error:
                raise ValueError(f"the model's recorded training options "
                                 f"are unreadable: {error}") from None
    return None


def _core_entries(source: Lexicon, form: str, options: TrainOptions
                  ) -> tuple[list[tuple[Sequence[str], Sequence[str]]],
                             list[str]]:
    """The entries as the C++ trainer takes them, graphemes in the Unicode
    `form`, and the input markers that tell the front end how they were
    written."""
    entries: list[tuple[Sequence[str], Sequence[str]]] = [
        (graphemes_of(normalise_word(e.word, form), options.delim),
         e.phonemes) for e in source.entries]
    markers = [marker_of(form)]
    if options.reverse:
        entries = [(g[::-1], p[::-1]) for g, p in entries]
        markers.append(REVERSED_MARKER)
    return entries, markers


def _train_with_bars(entries: list[tuple[Sequence[str], Sequence[str]]],
                     output: str | os.PathLike[str], core: dict[str, Any],
                     markers: list[str],
                     progress: bool | None) -> _train.TrainResult:
    """The C++ trainer's run, with progress bars when `progress` asks."""
    # Without bars the trainer makes no callbacks at all.
    bars = StageBars(progress, _STAGE_UNITS) if shown(progress) else None
    try:
        return _train.train_model(entries, os.fspath(output), progress=bars,
                                  input_markers=markers, **core)
    finally:
        if bars is not None:
            bars.close()
