"""The pronunciation front end: words in, ranked pronunciations out.

:class:`G2P` puts three layers above :class:`tamsu.Model`: input
normalisation (:mod:`tamsu.normalise`), a pronunciation dictionary consulted
before the model, and one model per thread (or per worker process), so that
any thread may use one G2P.

Problems with a word are reported with Python's :mod:`warnings`, once per
word, and never stop a run: characters the model does not know are removed
before decoding (:class:`UnknownCharacterWarning`), and a word that is not
valid text or is longer than :data:`MAX_WORD_LENGTH` characters gets no
pronunciation (:class:`SkippedWordWarning`). The model's own per-letter
message on standard error never appears.
"""

from __future__ import annotations

import dataclasses
import enum
import itertools
import math
import os
import threading
import warnings
import weakref
from dataclasses import dataclass
from typing import (Final, Iterable, Iterator, Literal, NamedTuple,
                    Sequence)

from tamsu._tamsu import Model
from tamsu.batch import default_model_path
from tamsu.dictionary import PronunciationDictionary, default_dictionary_path
from tamsu.ensemble import Ensemble
from tamsu.graphemes import is_reversed
from tamsu.normalise import (Alphabet, Normalised, normalise, printable,
                             undecodable_reason)
from tamsu.pool import ordered_map

__all__ = ["DEFAULT", "G2P", "G2PWarning", "MAX_WORD_LENGTH",
           "Pronunciation", "SkippedWordWarning", "UnknownCharacterWarning"]

MAX_WORD_LENGTH: Final = 256
"""The longest word, in characters, that is decoded; longer ones are
skipped. The longest words of dictionaries have under 60 letters, and
decoding time grows with length, so a longer "word" is almost always a
whole sentence or a stray binary line."""


class G2PWarning(UserWarning):
    """Base class of the warnings :class:`G2P` gives about words."""


class UnknownCharacterWarning(G2PWarning):
    """Characters the model does not know were removed from a word."""


class SkippedWordWarning(G2PWarning):
    """A word was not decoded at all: it is not valid text (a lone
    surrogate, made from bytes that are not UTF-8) or it is too long."""


class _Default(enum.Enum):
    DICTIONARY = "default dictionary"

    def __repr__(self) -> str:
        return "tamsu.DEFAULT"


DEFAULT: Final = _Default.DICTIONARY
"""The default `dictionary` of :class:`G2P`: the shipped CMU dictionary
with the shipped model, no dictionary with any other model."""

Source = Literal["dictionary", "model"]


@dataclass(frozen=True, slots=True)
class Pronunciation:
    """One ranked pronunciation of a word."""

    word: str
    """The word as the caller gave it."""
    phonemes: tuple[str, ...]
    """The phonemes, never empty."""
    probability: float
    """The pronunciation's share, between 0 and 1. Dictionary variants
    share equally; a model pronunciation's share is taken among the paths
    the search returned (with `nbest` 1, the only path has 1.0); an
    ensemble's, among the scores its members' answers summed to."""
    source: Source
    """"dictionary" or "model" (for a compound, "model" if any part came
    from the model)."""
    rank: int
    """1 for the best pronunciation of the word, then 2, 3, ..."""
    weight: float
    """The model's path weight (-log, smaller is better; with a
    `probability_mass` the normalised weight), or -log(probability) for a
    dictionary pronunciation or an ensemble's. Compounds add their parts'
    weights."""

    def __str__(self) -> str:
        return " ".join(self.phonemes)


class _Answer(NamedTuple):
    """What the front end found for one word (also crosses processes)."""
    word: str
    pronunciations: list[Pronunciation]
    removed: str  # characters the model did not know, removed
    skipped: str | None  # why the word was not decoded at all


@dataclass(frozen=True)
class _Settings:
    """Everything a worker process needs to build the same front end."""
    model: str | tuple[str, ...]  # a tuple (two or more) is an ensemble
    dictionary: str | PronunciationDictionary | None
    shipped_dictionary: bool
    normalise: bool
    delim: str
    nbest: int
    beam: int
    threshold: float
    pmass: float
    accumulate: bool
    max_word_length: int


# Models live in a per-thread table of the module, never in the G2P: when
# the last reference to a G2P goes away on one thread, the models other
# threads made for it must not be dropped there (a Model is bound to its
# thread, and one dropped elsewhere is leaked). A thread's table is cleared
# on that thread when it ends. A G2P that dies drops its model of the
# thread it dies on at once and bumps a generation counter; every other
# thread drops its models of dead G2Ps at its next look-up.
_thread_models = threading.local()
_retired = itertools.count(1)
_generation = 0


def _retire(key: int) -> None:
    global _generation
    _generation = next(_retired)
    table = getattr(_thread_models, "table", None)
    if table is not None:
        entry = table.get(key)
        if entry is not None and entry[0]() is None:
            table.pop(key, None)  # made on this thread: dropped here


class _Owner:
    """The identity of one G2P in the per-thread tables."""
    __slots__ = ("__weakref__",)


_Decoder = Model | Ensemble


def _models_of_this_thread(
) -> dict[int, tuple[weakref.ref[_Owner], _Decoder]]:
    table: dict[int, tuple[weakref.ref[_Owner], _Decoder]] | None = getattr(
        _thread_models, "table", None)
    if table is None:
        table = _thread_models.table = {}
        _thread_models.generation = _generation
    elif _thread_models.generation != _generation:
        _thread_models.generation = _generation
        # A copy: a G2P dying meanwhile may pop from the table.
        for key, (ref, _) in table.copy().items():
            if ref() is None:
                table.pop(key, None)
    return table


class G2P:
    """Pronunciations of words: dictionary first, then the model.

    ``G2P()`` uses the shipped US English model and the shipped CMU
    Pronouncing Dictionary. `model` is a model file (str or path-like), or
    a sequence of two or more model files decoding as an ensemble (below);
    `dictionary` is a dictionary file (see :mod:`tamsu.dictionary`), a
    :class:`~tamsu.dictionary.PronunciationDictionary`, None for none, or
    :data:`DEFAULT` (the shipped dictionary with the shipped model, none
    otherwise, ensembles included). The model is loaded at once, so a bad
    path fails here with ValueError; the shipped dictionary is loaded at
    its first use.

    Words are normalised for the model (`normalise`, see
    :mod:`tamsu.normalise`); a word in the dictionary (as given or
    normalised) gets all its variants in dictionary order, any other word
    up to `nbest` model pronunciations. `beam`, `threshold` and
    `accumulate` are passed to :meth:`tamsu.Model.phoneticize_paths`;
    `probability_mass` (in (0, 1]) keeps the best pronunciations until
    their probabilities add up to at least that much. `delim` is the
    model's grapheme delimiter. Words longer than `max_word_length`
    characters are skipped.

    An ensemble (see :mod:`tamsu.ensemble`) ranks pronunciations by the
    members' scores summed; it costs one decode per member and word (three
    models: about three times one). With `nbest` 1 each member gives its
    best path and their joint probabilities are summed (exactly
    ``Ensemble(paths, depth=1)``, the setting measured best); with `nbest`
    N above 1 each member gives its N best paths, whose posteriors are
    summed (``depth=N``), so N distinct answers come back whenever one
    member has N, and the top answer may differ from the `nbest` 1 one. A
    pronunciation's probability is its share of the summed scores among all
    the members' answers (how far they agree), its weight -ln of that share.
    All members are loaded with the one `delim`. Words are normalised for
    the first member that reads left to right (or the first of all) and
    keep only the graphemes every member knows. A model trained right to
    left (``tamsu train --reverse``) is refused alone but welcome in an
    ensemble, which turns its words and answers round.

    One G2P may be used from any number of threads at once: each thread
    gets its own Model (or ensemble), dropped on that thread when the
    thread ends (or at its next use of any G2P once this one is gone).
    """

    def __init__(self, model: str | os.PathLike[str]
                 | Sequence[str | os.PathLike[str]] | None = None,
                 dictionary: str | os.PathLike[str] | PronunciationDictionary
                 | None | _Default = DEFAULT, *,
                 normalise: bool = True, delim: str = "", nbest: int = 1,
                 beam: int = 10000, threshold: float | None = None,
                 probability_mass: float | None = None,
                 accumulate: bool = False,
                 max_word_length: int = MAX_WORD_LENGTH) -> None:
        path = _model_paths(model)
        for name, value, least in (("nbest", nbest, 1), ("beam", beam, 1),
                                   ("max_word_length", max_word_length, 1)):
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{name} must be an int")
            if not least <= value < 2**64:  # the model's unsigned 64 bits
                raise ValueError(f"{name} must be from {least} to 2**64 - 1")
        if probability_mass is not None and not 0.0 < probability_mass <= 1.0:
            raise ValueError("probability_mass must be in (0, 1]")
        shipped = False
        source: str | PronunciationDictionary | None
        if isinstance(dictionary, _Default):
            source = None
            if model is None or (isinstance(path, str) and _same_file(
                    path, default_model_path())):
                source, shipped = default_dictionary_path(), True
                if not os.path.isfile(source):  # loaded later: check now
                    raise FileNotFoundError(
                        f"the shipped dictionary is missing ({source}); "
                        f"pass dictionary=None to decode without it")
        elif dictionary is None or isinstance(dictionary,
                                              PronunciationDictionary):
            source = dictionary
        else:
            source = os.fspath(dictionary)
        # -log(p): the model stops once the paths' share exceeds p.
        pmass = (99.0 if probability_mass is None
                 else -math.log(probability_mass))
        self._settings = _Settings(
            model=path, dictionary=source, shipped_dictionary=shipped,
            normalise=normalise, delim=delim, nbest=nbest, beam=beam,
            threshold=99.0 if threshold is None else float(threshold),
            pmass=pmass, accumulate=accumulate,
            max_word_length=max_word_length)
        self._start()

    @classmethod
    def _of_settings(cls, settings: _Settings) -> G2P:
        g2p = cls.__new__(cls)
        g2p._settings = settings
        g2p._start()
        return g2p

    def _start(self) -> None:
        settings = self._settings
        self._owner = _Owner()
        weakref.finalize(self._owner, _retire, id(self._owner)).atexit = False
        decoder = _load(settings)  # fails fast
        texts: list[str] = []
        if isinstance(decoder, Ensemble):
            members = decoder.models
            alphabets = [Alphabet.of_model(m, settings.delim)
                         for m in members]
            forward = [a for a, m in zip(alphabets, members)
                       if not is_reversed(m)]
            # A grapheme one member lacks would reach that member's
            # per-letter message on standard error: it is removed instead.
            shared = frozenset.intersection(*(a.graphemes for a in alphabets))
            if not shared:
                raise ValueError(
                    "the models share no graphemes: an ensemble combines "
                    "models of one language, trained on one lexicon")
            self._alphabet = dataclasses.replace(
                (forward or alphabets)[0], graphemes=shared)
        else:
            model = decoder
            if is_reversed(model):
                # Alone it would answer with the phonemes backwards.
                raise ValueError(
                    f"{settings.model} reads words right to left: it is "
                    f"made to be combined with others in an ensemble (give "
                    f"several models)")
            self._alphabet = Alphabet.of_model(model, settings.delim)
            while (text := model.find_osym(len(texts))) is not None:
                texts.append(text)
        _models_of_this_thread()[id(self._owner)] = (
            weakref.ref(self._owner), decoder)
        self._phonemes: tuple[str, ...] = tuple(texts)
        self._dictionary_lock = threading.Lock()
        self._dictionary: PronunciationDictionary | None = None
        source = settings.dictionary
        if isinstance(source, PronunciationDictionary):
            self._dictionary = source
        elif source is not None and not settings.shipped_dictionary:
            self._dictionary = PronunciationDictionary.read(source)

    @property
    def model_path(self) -> str:
        """The model file (an ensemble's first)."""
        return self.model_paths[0]

    @property
    def model_paths(self) -> tuple[str, ...]:
        """The model file, or the ensemble's files, in the order given."""
        model = self._settings.model
        return model if isinstance(model, tuple) else (model,)

    @property
    def alphabet(self) -> Alphabet:
        """The model's graphemes and the normalisation they call for."""
        return self._alphabet

    @property
    def dictionary(self) -> PronunciationDictionary | None:
        """The pronunciation dictionary (loaded now if not yet), or None."""
        settings = self._settings
        if self._dictionary is None and isinstance(settings.dictionary, str):
            with self._dictionary_lock:
                if self._dictionary is None:
                    self._dictionary = PronunciationDictionary._read_sorted(
                        settings.dictionary)
        return self._dictionary

    def __reduce__(self) -> tuple[object, tuple[_Settings]]:
        # Pickled as its settings: another process loads its own model.
        return (G2P._of_settings, (self._settings,))

    def __repr__(self) -> str:
        s = self._settings
        source = ("the shipped dictionary" if s.shipped_dictionary
                  else repr(s.dictionary))
        return f"<G2P model={s.model!r} dictionary={source}>"

    def __call__(self, word: str) -> list[Pronunciation]:
        """The ranked pronunciations of `word`; [] when it has none.

        Warns (:class:`UnknownCharacterWarning`, :class:`SkippedWordWarning`)
        about characters removed or a word skipped. Raises TypeError if
        `word` is not a str.
        """
        answer = self._answer(word)
        if answer.removed or answer.skipped is not None:
            _warn(answer, stacklevel=2)
        return answer.pronunciations

    def map(self, words: Iterable[str], *, jobs: int = 1,
            chunk_size: int = 256) -> Iterator[list[Pronunciation]]:
        """Yields the pronunciations of each word, in input order.

        Like ``map(g2p, words)``, streamed: `words` may be a generator of
        any length. With `jobs` above 1 the words are decoded in that many
        worker processes, `chunk_size` words at a time (each process loads
        the model); a worker that dies raises
        :class:`tamsu.pool.WorkerDied`. Warnings are given here, in input
        order.
        """
        for answer in self._answers(words, jobs=jobs, chunk_size=chunk_size):
            if answer.removed or answer.skipped is not None:
                _warn(answer, stacklevel=2)
            yield answer.pronunciations

    def _answers(self, words: Iterable[str], *, jobs: int = 1,
                 chunk_size: int = 256) -> Iterator[_Answer]:
        """One :class:`_Answer` per word, in order, without warnings."""
        if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
            raise ValueError("jobs must be a whole number of at least 1")
        if jobs == 1:
            answer = self._answer
            for word in words:
                yield answer(word)
            return
        yield from ordered_map(_answer_chunk, words, jobs=jobs,
                               initializer=_start_worker,
                               initargs=(self._settings,),
                               chunk_size=chunk_size)

    def _decoder(self) -> _Decoder:
        table = _models_of_this_thread()
        entry = table.get(id(self._owner))
        if entry is not None and entry[0]() is self._owner:
            return entry[1]
        decoder = _load(self._settings)
        table[id(self._owner)] = (weakref.ref(self._owner), decoder)
        return decoder

    def _answer(self, word: str) -> _Answer:
        if not isinstance(word, str):
            raise TypeError(f"word must be a str, not "
                            f"{type(word).__name__}")
        settings = self._settings
        reason = undecodable_reason(word)
        if reason is None and len(word) > settings.max_word_length:
            reason = (f"longer than {settings.max_word_length} characters "
                      f"({len(word)})")
        if reason is not None:
            return _Answer(word, [], "", reason)
        normalised = normalise(word, self._alphabet,
                               enabled=settings.normalise)
        dictionary = self.dictionary
        if dictionary is not None:
            for key in normalised.keys:
                variants = dictionary.lookup(key)
                if variants:
                    return _Answer(word, _ranked(
                        word, self._from_dictionary(variants)),
                        normalised.removed, None)
        return _Answer(word, _ranked(word, self._pronounce(normalised,
                                                           dictionary)),
                       normalised.removed, None)

    def _pronounce(self, normalised: Normalised,
                   dictionary: PronunciationDictionary | None) -> list[_Scored]:
        parts = [part for part in normalised.parts if part]
        if len(parts) == 1 and len(normalised.parts) == 1:
            # A hyphenated compound the model could spell whole, whose
            # parts are all in the dictionary, is better read from it.
            pieces = parts[0].split("-")
            if dictionary is None or len(pieces) < 2 or not all(
                    piece in dictionary for piece in pieces):
                return self._decode(parts[0])
            parts = pieces
        choices = []
        for part in parts:
            variants = dictionary.lookup(part) if dictionary else ()
            scored = (self._from_dictionary(variants) if variants
                      else self._decode(part))
            if scored:
                choices.append(scored)
        return _combine(choices, self._settings.nbest)

    def _from_dictionary(self, variants: Sequence[tuple[str, ...]]
                         ) -> list[_Scored]:
        share = 1.0 / len(variants)
        weight = math.log(len(variants))  # -log(share), 0.0 for one
        return _within_mass([(v, share, weight, "dictionary")
                             for v in variants], self._settings.pmass)

    def _decode(self, part: str) -> list[_Scored]:
        if not part:
            return []
        s = self._settings
        decoder = self._decoder()
        if isinstance(decoder, Ensemble):
            summed = decoder.candidates(part, beam=s.beam,
                                        threshold=s.threshold,
                                        accumulate=s.accumulate)
            return _within_mass(
                [(p, share, 0.0 - math.log(share) if share > 0 else math.inf,
                  "model") for p, share in summed[:s.nbest]], s.pmass)
        paths = decoder.phoneticize_paths(
            part, s.nbest, s.beam, s.threshold, False, s.accumulate, s.pmass)
        texts = self._phonemes
        found = [(tuple([texts[label] for label in path.uniques]),
                  path.path_weight) for path in paths if path.uniques]
        if not found:
            return []
        if s.pmass < 99.0:  # weights are already -log of shares
            return [(p, math.exp(-w), w, "model") for p, w in found]
        best = min(w for _, w in found)
        shares = [math.exp(best - w) for _, w in found]
        total = sum(shares)
        return [(p, share / total, w, "model")
                for (p, w), share in zip(found, shares)]


# phonemes, probability, weight, source
_Scored = tuple[tuple[str, ...], float, float, Source]


def _within_mass(scored: list[_Scored], pmass: float) -> list[_Scored]:
    if pmass >= 99.0:
        return scored
    wanted = math.exp(-pmass) * (1 - 1e-9)
    kept, mass = [], 0.0
    for item in scored:
        kept.append(item)
        mass += item[1]
        if mass >= wanted:
            break
    return kept


def _combine(choices: list[list[_Scored]], nbest: int) -> list[_Scored]:
    """Pronunciations of a compound: its parts' pronunciations in a row."""
    if not choices:
        return []
    limit = max(nbest, max(len(c) for c in choices))
    combined: list[_Scored] = [((), 1.0, 0.0, "dictionary")]
    for options in choices:
        combined = sorted(
            ((a[0] + b[0], a[1] * b[1], a[2] + b[2],
              _joint_source(a[3], b[3]))
             for a in combined for b in options),
            key=lambda item: -item[1])[:limit]
    return combined


def _joint_source(a: Source, b: Source) -> Source:
    return "model" if "model" in (a, b) else "dictionary"


def _ranked(word: str, scored: list[_Scored]) -> list[Pronunciation]:
    return [Pronunciation(word, phonemes, probability, source, rank, weight)
            for rank, (phonemes, probability, weight, source)
            in enumerate(scored, start=1)]


def _model_paths(model: str | os.PathLike[str] | Sequence[
        str | os.PathLike[str]] | None) -> str | tuple[str, ...]:
    """The settings' form of G2P's `model`: a path, or a tuple of two or
    more for an ensemble (a sequence of one is that model alone)."""
    if model is None:
        return default_model_path()
    if isinstance(model, (str, os.PathLike)):
        paths: list[object] = [os.fspath(model)]
        single = True
    elif isinstance(model, (bytes, bytearray)) or not isinstance(
            model, Sequence):
        raise TypeError("model must be a path or a sequence of paths")
    else:
        paths = [os.fspath(p) if isinstance(p, os.PathLike) else p
                 for p in model]
        single = len(paths) == 1
        if not paths:
            raise ValueError("model: an ensemble needs two or more models")
    if not all(isinstance(p, str) for p in paths):
        raise TypeError("model must be a str or path-like of str, or a "
                        "sequence of them")
    checked = [str(p) for p in paths]
    return checked[0] if single else tuple(checked)


def _load(settings: _Settings) -> _Decoder:
    """The model, or the ensemble, of `settings`, loaded."""
    if isinstance(settings.model, tuple):
        return Ensemble(settings.model, delim=settings.delim,
                        depth=settings.nbest)
    return Model(settings.model, settings.delim)


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _warn(answer: _Answer, stacklevel: int) -> None:
    """Warns about `answer`'s word; `stacklevel` 2 blames _warn's caller's
    caller (the user's line)."""
    if answer.skipped is not None:
        warnings.warn(f"{printable(answer.word)!r} skipped: {answer.skipped}",
                      SkippedWordWarning, stacklevel=stacklevel + 1)
    elif answer.removed:
        shown = ", ".join(repr(c) for c in answer.removed)
        warnings.warn(f"{answer.word!r}: removed characters the model does "
                      f"not know: {shown}", UnknownCharacterWarning,
                      stacklevel=stacklevel + 1)


# The front end of a worker process, made by its initializer.
_worker: G2P | None = None


def _start_worker(settings: _Settings) -> None:
    global _worker
    _worker = G2P._of_settings(settings)


def _answer_chunk(words: list[str]) -> list[_Answer]:
    assert _worker is not None
    return [_worker._answer(word) for word in words]
