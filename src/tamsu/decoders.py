"""Every kind of model as a decoder: pieces of words in, scored
pronunciations out.

A model argument (a file, a shipped or catalogued name, or a sequence of
files for an ensemble) becomes a path here (:func:`resolve_model`), a
file's kind is told here by its first bytes (:func:`model_kind`), and each
kind becomes a :class:`PartDecoder` here (:func:`load_decoder`):

- an n-gram model (OpenFst, the C++ core's n-best search);
- an ensemble of n-gram models (:mod:`tamsu.ensemble`), their posteriors
  summed;
- a neural model (its beam search);
- a bundle of an n-gram model and one or more neural models
  (:mod:`tamsu.bundle`): the n-gram list rescored by the neural models,
  the neural beam rescored by the n-gram model, or the neural beam alone.

Whatever the kind, a decoder's candidates end the same way
(:func:`finish_list`), so the options mean one thing everywhere:

- `nbest`: how many pronunciations a word gets at most;
- `beam`: a cap on that number (a word gets at most ``min(nbest, beam)``),
  as in :meth:`tamsu.Model.phoneticize_paths`; it never narrows a search;
- `threshold`: answers whose reported weight is above it are left out
  (the n-gram model's own path weight, as in :class:`tamsu.Model`; a
  neural model's -log probability; a rescored candidate's -score; an
  ensemble's -log share; with a `probability_mass`, -log of the share);
- `probability_mass` P: the best answers until their shares cover P;
- `accumulate`: the n-gram search log-adds the paths of one pronunciation;
- `confidence`: each answer also gets its confidence, the one number
  comparable across model kinds and settings: its probability as a share
  of the model's own CONFIDENCE_DEPTH best candidates, whatever `nbest`
  is (the decoders list at least that many; off, they list `nbest`, and
  the n-gram model's search is several times cheaper).

A bundle's n-gram list is rescored best n-gram score first, and the
neural models stop once no candidate left can rank among the answers
asked for (its combined score is at most its n-gram part:
:func:`tamsu._neural.rescore`); a candidate's decoding also stops at the
first prefix that leaves it below the answers found (a prefix's
log-probability bounds its extensions'). Without `probability_mass` and
`confidence` the answers, their order and their weights are those of
scoring every candidate; each answer's probability is then its share of
the candidates scored (one left out counts as 0: it could not have been
an answer), an upper estimate of its share of the whole list. With
either of them every candidate is scored.
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import math
import os
import stat
from dataclasses import dataclass
from typing import (Callable, Final, Literal, NamedTuple, Protocol,
                    Sequence, TypeVar)

from tamsu import catalogue
from tamsu._batch import BatchDecoder
from tamsu._neural import NeuralModel, rescore
from tamsu.bundle import (MAX_DEPTH, NEURAL_BEAM, Bundle, read_bundle,
                          verify_bundle)
from tamsu.ensemble import Ensemble
from tamsu.files import load_with
from tamsu.graphemes import FORM_MARKERS, is_reversed, normalise_word
from tamsu.lexicon import trained_words
from tamsu.normalise import Alphabet
from tamsu.phones import Phonemes, phone_set
from tamsu.scores import shares

__all__ = ["CONFIDENCE_DEPTH", "KINDS", "PartDecoder", "Phonemes", "Scored",
           "Source",
           "SearchOptions", "finish_list", "load_decoder", "model_kind",
           "resolve_model", "within_mass"]

_NEURAL_MAGIC = b"TAMSU-NN"
KINDS: Final = {"ngram": "n-gram", "neural": "neural",
                "bundle": "neural + n-gram bundle"}
"""The kinds of model file, with the names users read."""
# Candidates scored by the neural model per call: bounds the memory a
# call takes, whatever the number of words and candidates.
_SCORED_PER_CALL = 4096
# A candidate the neural model cannot spell (a phoneme it does not know)
# ranks below every other, by its n-gram score among its kind.
_FLOOR = -1e4
_T = TypeVar("_T")
CONFIDENCE_DEPTH: Final = 5
"""How many of a model's best candidates an answer's confidence is a share
of: the neural beam's width (NEURAL_BEAM), within every bundle's list."""


@dataclass(frozen=True)
class SearchOptions:
    """How a decoder answers a piece of a word (see the module notes).

    Raises TypeError or ValueError for values no model can honour.
    """

    nbest: int = 1
    beam: int = 10000
    threshold: float | None = None
    probability_mass: float | None = None
    accumulate: bool = False
    confidence: bool = False

    def __post_init__(self) -> None:
        for name in ("nbest", "beam"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{name} must be an int")
            if not 1 <= value < 2**64:  # the model's unsigned 64 bits
                raise ValueError(f"{name} must be from 1 to 2**64 - 1")
        if self.threshold is not None and self.threshold != self.threshold:
            raise ValueError("threshold must be a number, not NaN")
        mass = self.probability_mass
        if mass is not None and not 0.0 < mass <= 1.0:
            raise ValueError("probability_mass must be in (0, 1]")

    @property
    def answers(self) -> int:
        """The most pronunciations a piece gets."""
        return min(self.nbest, self.beam)

    @property
    def depth(self) -> int:
        """How many candidates a decoder lists: `nbest`, and at least
        CONFIDENCE_DEPTH with `confidence`."""
        return max(self.nbest, CONFIDENCE_DEPTH) if self.confidence \
            else self.nbest


Source = Literal["dictionary", "model"]
"""Where a pronunciation came from."""


class Scored(NamedTuple):
    """A pronunciation before ranking."""
    phonemes: Phonemes
    probability: float
    weight: float
    source: Source
    confidence: float | None = None


class PartDecoder(Protocol):
    """Turns pieces of words (already spelled for `alphabet`) into scored
    pronunciations, best first. One may be used from any number of
    threads at once."""

    @property
    def alphabet(self) -> Alphabet: ...

    @property
    def phones(self) -> str | None:
        """The phone set of the answers (see tamsu.phones.phone_set)."""
        ...

    def decode(self, parts: Sequence[str],
               threads: int = 1) -> list[list[Scored]]:
        """One list per part, in order; [] for a part without answer.
        `threads` is how many native threads may decode them (a hint)."""
        ...


def within_mass(scored: list[Scored], mass: float | None) -> list[Scored]:
    """The first of `scored` (best first) whose probabilities cover
    `mass`; all of them for None."""
    if mass is None:
        return scored
    wanted = mass * (1 - 1e-9)
    kept, covered = [], 0.0
    for item in scored:
        kept.append(item)
        covered += item.probability
        if covered >= wanted:
            break
    return kept


def finish_list(candidates: Sequence[tuple[Phonemes, float]],
                options: SearchOptions, *, shared: bool = False,
                among: int | None = None,
                confidence: Sequence[float] | None = None,
                standard: Sequence[float] | None = None) -> list[Scored]:
    """A piece's candidates, (phonemes, log score) with higher better, as
    its ranked answers: empty pronunciations left out, best first (ties in
    the given order), each with its share of the candidates' probability
    (with `shared`, the scores are already log shares), the threshold on
    the reported weight, at most ``options.answers``, then the probability
    mass. Only the first `among` candidates (all for None) are answers and
    share the probability; with ``options.confidence`` each answer's
    confidence is its share of the CONFIDENCE_DEPTH best candidates of all
    by `confidence` (log scores, one per candidate; None: the scores), or
    of the best of `standard` (the scores of the list the model makes
    whatever `nbest`, when these candidates come from a wider search)."""
    scores = [s for _, s in candidates] if confidence is None else confidence
    found = [(p, s, c, i < among if among is not None else True)
             for i, ((p, s), c) in enumerate(zip(candidates, scores))
             if p and (math.isfinite(s) or (shared and s == -math.inf))]
    found.sort(key=lambda c: -c[1])
    answers = [c for c in found if c[3]]
    if shared:
        parts = [math.exp(s) for _, s, _, _ in answers]
    else:
        parts = shares([s for _, s, _, _ in answers])
    confidences: list[float | None] = [None] * len(answers)
    if options.confidence:
        pool = (standard if standard is not None
                else [c for _, _, c, _ in found])
        best = sorted((c for c in pool if c > -math.inf),
                      reverse=True)[:CONFIDENCE_DEPTH]
        top = best[0] if best else 0.0
        total = math.log(math.fsum(math.exp(c - top) for c in best)) + top
        confidences = [math.exp(c - total) for _, _, c, _ in answers]
    relative = shared or options.probability_mass is not None
    scored = [Scored(p, share, (-math.log(share) if share > 0 else math.inf)
                     if relative else -s, "model", sure)
              for (p, s, _, _), share, sure in zip(answers, parts,
                                                   confidences)]
    if options.threshold is not None:
        scored = [s for s in scored if s.weight <= options.threshold]
    return within_mass(scored[:options.answers], options.probability_mass)


def _each_part(parts: Sequence[str], decode: Callable[[list[str]], list[_T]],
               none: _T) -> list[_T]:
    """decode() of the non-empty parts, `none` for the empty ones."""
    wanted = [part for part in parts if part]
    if len(wanted) == len(parts):
        return decode(wanted)
    found = iter(decode(wanted))
    return [next(found) if part else none for part in parts]


class NgramDecoder:
    """An n-gram model's search, on native threads."""

    def __init__(self, model: BatchDecoder, delim: str,
                 options: SearchOptions) -> None:
        self._model = model
        self._options = options
        self.alphabet = Alphabet.of_model(model, delim)
        self.phones = phone_set(model)
        # The digest of the words it was trained on, when it records them.
        self.trained_on = trained_words(model)
        mass = options.probability_mass
        # The core's arguments after the words, made once: a word's decode
        # is a few tens of microseconds. The confidence needs the whole
        # list: finish_list then applies the threshold and the mass.
        self._arguments = (options.nbest, options.beam, options.threshold,
                           None if mass is None else -math.log(mass),
                           options.accumulate) if not options.confidence \
            else (options.depth, max(options.beam, options.depth), None,
                  None, options.accumulate)

    @property
    def model(self) -> BatchDecoder:
        """The loaded model (its symbols record how it was trained)."""
        return self._model

    def decode(self, parts: Sequence[str],
               threads: int = 1) -> list[list[Scored]]:
        if len(parts) == 1 and parts[0]:  # a word alone: no list to sort out
            return [self._finish(self._model.decode(
                parts, *self._arguments, threads)[0][0])]
        return _each_part(parts, lambda wanted: [
            self._finish(paths) for paths, _ in self._model.decode(
                wanted, *self._arguments, threads)], [])

    def _finish(self, paths: list[tuple[Phonemes, float]]) -> list[Scored]:
        if self._options.confidence:
            return finish_list([(p, -w) for p, w in paths], self._options,
                               among=self._options.nbest)
        if len(paths) == 1 and self._options.probability_mass is None:
            phonemes, weight = paths[0]  # all of the mass: the common case
            if weight < math.inf:  # the core has applied the threshold
                return [Scored(phonemes, 1.0, weight, "model")]
        # With a probability mass the weights are -log shares already.
        return finish_list([(p, -w) for p, w in paths], self._options,
                           shared=self._options.probability_mass is not None)


class EnsembleDecoder:
    """Several n-gram models, their posteriors summed (tamsu.ensemble)."""

    def __init__(self, ensemble: Ensemble, delim: str,
                 options: SearchOptions) -> None:
        self._ensemble = ensemble
        self._options = options
        members = ensemble.models
        alphabets = [Alphabet.of_model(m, delim) for m in members]
        forward = [a for a, m in zip(alphabets, members)
                   if not is_reversed(m)]
        # A grapheme one member lacks would reach that member's per-letter
        # message on standard error: it is removed instead.
        common = frozenset.intersection(*(a.graphemes for a in alphabets))
        if not common:
            raise ValueError(
                "the models share no graphemes: an ensemble combines "
                "models of one language, trained on one lexicon")
        self.alphabet = dataclasses.replace((forward or alphabets)[0],
                                            graphemes=common)
        self.phones = phone_set(members[0])

    def decode(self, parts: Sequence[str],
               threads: int = 1) -> list[list[Scored]]:
        s = self._options
        if s.confidence:
            return _each_part(parts, lambda wanted: [
                finish_list([(p, _log(share)) for p, share, _ in found], s,
                            shared=True, among=ranked,
                            confidence=[c for *_, c in found])
                for ranked, found in self._ensemble.scored_all(
                    wanted, CONFIDENCE_DEPTH, beam=max(s.beam, s.depth),
                    accumulate=s.accumulate, threads=threads)], [])
        return _each_part(parts, lambda wanted: [
            finish_list([(p, math.log(share) if share > 0 else -math.inf)
                         for p, share in found], s, shared=True)
            for found in self._ensemble.candidates_all(
                wanted, beam=max(s.beam, s.nbest),
                accumulate=s.accumulate, threads=threads)], [])


def _rebased(wide: Sequence[tuple[Phonemes, float]],
             standard: Sequence[tuple[Phonemes, float]]
             ) -> tuple[list[float], list[float]]:
    """finish_list's confidence and standard scores of a beam searched
    wider than the model's standard one (or a deeper rescored list):
    within a list the scores differ from the standard list's by one shift
    (the n-gram share's normaliser), found on a pronunciation both hold."""
    known = dict(standard)
    shift = next((known[p] - s for p, s in wide
                  if p in known and math.isfinite(known[p] - s)), 0.0)
    return ([s + shift for _, s in wide],
            [s for p, s in standard if p])  # answers only


def _log(share: float) -> float:
    return math.log(share) if share > 0 else -math.inf


def _neural_alphabet(model: NeuralModel) -> Alphabet:
    form = model.grapheme_form
    markers = [FORM_MARKERS[form]] if form is not None else []
    return Alphabet.of_symbols(["", "", *model.graphemes, *markers])


class NeuralDecoder:
    """A neural model's beam search (pieces of words spelled in its
    graphemes, one character each), NEURAL_BEAM wide or `nbest` if
    wider."""

    def __init__(self, model: NeuralModel, options: SearchOptions) -> None:
        self._model = model
        self._options = options
        self._beam = max(options.nbest, NEURAL_BEAM)
        self.alphabet = _neural_alphabet(model)
        self.phones = phone_set(model)

    def decode(self, parts: Sequence[str],
               threads: int = 1) -> list[list[Scored]]:
        options = self._options
        found = [[(tuple(p), s) for p, s in paths] for paths in
                 self._model.phoneticize_batch(parts, options.depth,
                                               self._beam, threads)]
        if not options.confidence or self._beam == NEURAL_BEAM:
            return [finish_list(paths, options, among=options.nbest)
                    for paths in found]
        # A wider beam: the confidence is a share of the standard one's.
        standard = self._model.phoneticize_batch(
            parts, CONFIDENCE_DEPTH, NEURAL_BEAM, threads)
        return [finish_list(paths, options, among=options.nbest,
                            confidence=sure, standard=pool)
                for paths, same in zip(found, standard)
                for sure, pool in [_rebased(paths, [(tuple(p), s)
                                                    for p, s in same])]]


def _log_shares(weights: Sequence[float | None]) -> list[float]:
    """The log of each path's share of the paths' probability (weights are
    -log); _FLOOR for a path without weight or share."""
    found = iter(shares([-w for w in weights if w is not None]))
    logs = []
    for weight in weights:
        share = next(found) if weight is not None else 0.0
        logs.append(math.log(share) if share > 0 else _FLOOR)
    return logs


class Candidate(NamedTuple):
    """A candidate of a rescoring: its phonemes, the n-gram model's
    log-posterior within the candidate list, the neural model's
    log-probability."""
    phonemes: Phonemes
    ngram: float
    neural: float


def _combined(lists: Sequence[Sequence[Phonemes]],
              ngram: Sequence[Sequence[float]],
              neural: Sequence[Sequence[float | None]]
              ) -> list[list[Candidate]]:
    """Each word's list with both models' scores: n-gram log shares (see
    _log_shares) and neural log-probabilities (None: left unscored, and
    out of the list)."""
    return [[Candidate(p, g, n if math.isfinite(n) and n > _FLOOR else _FLOOR)
             for p, g, n in zip(found, priors, scores) if n is not None]
            for found, priors, scores in zip(lists, ngram, neural)]


class RescoringDecoder:
    """The n-gram model's n-best list re-ranked with the neural models'
    mean teacher-forced log-probability (see tamsu.bundle for the
    formula)."""

    def __init__(self, bundle: Bundle, delim: str, options: SearchOptions,
                 *, verify: bool = True, exhaustive: bool = False) -> None:
        """`exhaustive`: score every candidate of the list even where no
        answer can depend on it (to measure what the bound saves)."""
        # The hashes are checked beside the loads (both release the
        # interpreter lock), so checking costs little of a load's time.
        with concurrent.futures.ThreadPoolExecutor(
                1, thread_name_prefix="tamsu") as helper:
            checked = helper.submit(verify_bundle, bundle) if verify else None
            self._ngram = load_with(BatchDecoder, bundle.ngram, delim)
            self._members = [NeuralModel(path) for path in bundle.neural]
            if checked is not None:
                checked.result()
        self._weight = bundle.weight
        self._options = options
        self._exhaustive = exhaustive
        depth = min(max(bundle.depth, options.nbest), MAX_DEPTH)
        self._list = (depth, depth, None, None, options.accumulate)
        self._standard = (bundle.depth, bundle.depth, None, None,
                          options.accumulate)
        self._beam = max(min(options.nbest, MAX_DEPTH), NEURAL_BEAM)
        self.alphabet = Alphabet.of_model(self._ngram, delim)
        self.phones = phone_set(self._ngram)
        self.trained_on = trained_words(self._ngram)  # the n-gram model's

    def candidates(self, parts: Sequence[str], threads: int = 1,
                   scored: bool = True, standard: bool = False,
                   keep: int = 0) -> list[list[Candidate]]:
        """The n-gram list of each part, in n-gram order (the bundle's
        depth when `standard`, else deeper if nbest is); neural scores 0
        unless `scored`. keep > 0 leaves out the candidates that cannot
        rank among the keep best (tamsu._neural.rescore)."""
        def decode(wanted: list[str]) -> list[list[Candidate]]:
            # Only the distinct pronunciations are scored: search for them
            # rather than for the many alignments that spell each.
            lists = [paths for paths, _ in self._ngram.decode(
                wanted, *(self._standard if standard else self._list),
                threads, search="pronunciations")]
            phonemes = [[p for p, _ in paths] for paths in lists]
            priors = [_log_shares([w for _, w in paths]) for paths in lists]
            neural: Sequence[Sequence[float | None]] = _zeros(phonemes)
            if scored:
                neural = _mean(self._scores(self._members, wanted, phonemes,
                                            priors, keep, threads))
            return _combined(phonemes, priors, neural)
        return _each_part(parts, decode, [])

    def beam_candidates(self, parts: Sequence[str], threads: int = 1,
                        scored: bool = True, standard: bool = False
                        ) -> list[list[Candidate]]:
        """The neural beam of each part (NEURAL_BEAM wide when `standard`,
        else wider if nbest is), in neural order; n-gram scores the same
        for all unless `scored`."""
        beam = NEURAL_BEAM if standard else self._beam
        def decode(wanted: list[str]) -> list[list[Candidate]]:
            first = self._members[0]
            # An empty pronunciation is no answer, whatever its score.
            beams = [[(tuple(p), s) for p, s in paths if p]
                     for paths in first.phoneticize_batch(
                         _spelled_for(first, wanted), beam, beam, threads)]
            phonemes = [[p for p, _ in paths] for paths in beams]
            ngram: Sequence[Sequence[float | None]] = _zeros(phonemes)
            if scored:
                ngram = self._ngram.path_weights(wanted, phonemes, threads)
            priors = [_log_shares(weights) for weights in ngram]
            neural: list[list[float | None]] = [
                [s for _, s in paths] for paths in beams]
            if len(self._members) > 1:
                # The search's scores are its model's teacher-forced ones.
                neural = _mean([neural, *self._scores(
                    self._members[1:], wanted, phonemes, priors, 0,
                    threads)])
            return _combined(phonemes, priors, neural)
        return _each_part(parts, decode, [])

    def _scores(self, members: Sequence[NeuralModel], words: Sequence[str],
                phonemes: Sequence[Sequence[Phonemes]],
                priors: Sequence[Sequence[float]], keep: int, threads: int
                ) -> list[list[list[float | None]]]:
        """Each model's table of log-probabilities of each word's
        candidates (None: left unscored, see candidates), scored in calls
        of at most _SCORED_PER_CALL candidates."""
        spelled = [_spelled_for(m, words) for m in members]
        found: list[list[list[float | None]]] = []
        start = 0
        while start < len(words):
            end, held = start, 0
            while end < len(words) and (end == start or held + len(
                    phonemes[end]) <= _SCORED_PER_CALL):
                held += len(phonemes[end])
                end += 1
            found += rescore(members, [w[start:end] for w in spelled],
                             phonemes[start:end], priors[start:end],
                             self._weight, keep, threads)
            start = end
        return [[word[m] for word in found] for m in range(len(members))]

    def decode(self, parts: Sequence[str],
               threads: int = 1) -> list[list[Scored]]:
        w = self._weight
        options = self._options

        def scores(found: list[Candidate]) -> list[tuple[Phonemes, float]]:
            return [(c.phonemes, (1 - w) * c.ngram + w * c.neural)
                    for c in found]
        # The bound keeps the answers exact, not the shares of the rest.
        exact = (self._exhaustive or options.confidence
                 or options.probability_mass is not None)
        keep = 0 if exact else min(options.answers, self._list[0])
        lists = [scores(found) for found in self._found(parts, threads,
                                                         keep=keep)]
        if not options.confidence or not self._wide():
            return [finish_list(found, options) for found in lists]
        # A wider list: the confidence is a share of the standard one's.
        standard = self._found(parts, threads, standard=True)
        return [finish_list(found, options, confidence=sure,
                            standard=pool)
                for found, same in zip(lists, standard)
                for sure, pool in [_rebased(found, scores(same))]]

    def _wide(self) -> bool:
        """Whether nbest makes the list deeper than the bundle's own."""
        return self._list[0] > self._standard[0]

    def _found(self, parts: Sequence[str], threads: int,
               standard: bool = False, keep: int = 0
               ) -> list[list[Candidate]]:
        # At weight 0 the neural scores cannot change the answers.
        return self.candidates(parts, threads, scored=self._weight > 0,
                               standard=standard, keep=keep)


class BeamRescoringDecoder(RescoringDecoder):
    """The neural model's beam re-ranked with the n-gram model's best path
    of each candidate (the same formula, the lists' roles swapped)."""

    def _wide(self) -> bool:
        return self._beam > NEURAL_BEAM

    def _found(self, parts: Sequence[str], threads: int,
               standard: bool = False, keep: int = 0
               ) -> list[list[Candidate]]:
        # Its list comes from the neural beam, scored already: nothing to
        # leave out. At weight 1 the n-gram scores cannot change the
        # answers.
        return self.beam_candidates(parts, threads, scored=self._weight < 1,
                                    standard=standard)


def _zeros(lists: Sequence[Sequence[object]]) -> list[list[float]]:
    return [[0.0] * len(found) for found in lists]


def _mean(tables: Sequence[Sequence[Sequence[float | None]]]
          ) -> list[list[float | None]]:
    """The element-wise mean of tables of one shape (a single table as
    it is, so one model's scores stay exactly its own); None where a
    table holds None."""
    if len(tables) == 1:
        return [list(row) for row in tables[0]]
    return [[None if None in values
             else math.fsum(v for v in values if v is not None) / len(values)
             for values in zip(*rows)]
            for rows in zip(*tables)]


def _spelled_for(model: NeuralModel, parts: Sequence[str]) -> list[str]:
    # The models of a bundle come from one lexicon, but a grapheme form
    # each: a neural model reads the word in its own (and leaves out what
    # it does not know).
    return [normalise_word(part, model.grapheme_form) for part in parts]


def model_kind(path: str | os.PathLike[str]) -> str:
    """"neural", "bundle" or "ngram" by the file's first bytes ("ngram"
    also when it is no regular file or cannot be read: the model loader
    says why). A pipe or device is never opened: it could block or never
    end."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return "ngram"
        with open(path, "rb") as f:
            head = f.read(len(_NEURAL_MAGIC))
    except OSError:
        return "ngram"
    if head == _NEURAL_MAGIC:
        return "neural"
    return "bundle" if head.lstrip().startswith(b"{") else "ngram"


def resolve_model(model: str | os.PathLike[str] | Sequence[
        str | os.PathLike[str]] | None) -> str | tuple[str, ...]:
    """A model argument as a path, or a tuple of two or more for an
    ensemble (a sequence of one is that model alone): None is the shipped
    default model, a shipped or catalogued name its file
    (:func:`tamsu.catalogue.resolve`). Raises TypeError for what is not a
    path, NotCachedError (a FileNotFoundError) for a catalogued model not
    built yet."""
    if model is None:
        return catalogue.default_path()
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
    checked = [catalogue.resolve(str(p)) for p in paths]
    return checked[0] if single else tuple(checked)


def load_decoder(model: str | tuple[str, ...], delim: str,
                 options: SearchOptions) -> PartDecoder:
    """The decoder of a model file of any kind (see :func:`model_kind`), or
    of an ensemble (a tuple of two or more n-gram model files). Raises
    ValueError for a model that cannot be loaded, a right-to-left model
    alone, an ensemble member that is not an n-gram model, an ensemble
    without shared graphemes, or a delimiter given to a neural model."""
    if isinstance(model, tuple):
        for member in model:
            kind = model_kind(member)
            if kind != "ngram":
                raise ValueError(
                    f"{member} is a {KINDS[kind]} model: an ensemble "
                    f"combines n-gram models (the shipped one is "
                    f"{catalogue.NGRAM_MODEL})")
        return EnsembleDecoder(Ensemble(model, delim=delim,
                                        depth=options.nbest), delim, options)
    kind = model_kind(model)
    if kind == "ngram":
        loaded = load_with(BatchDecoder, model, delim)
        if is_reversed(loaded):
            # Alone it would answer with the phonemes backwards.
            raise ValueError(
                f"{model} reads words right to left: it is made to be "
                f"combined with others in an ensemble (give several models)")
        return NgramDecoder(loaded, delim, options)
    if delim:
        raise ValueError(f"{model}: a neural model reads words character by "
                         f"character: it takes no delimiter")
    if kind == "neural":
        return NeuralDecoder(NeuralModel(model), options)
    bundle = read_bundle(model)
    if bundle.mode == "neural" and len(bundle.neural) == 1:
        verify_bundle(bundle)
        return NeuralDecoder(NeuralModel(bundle.neural[0]), options)
    if bundle.mode == "neural":
        # The first model's beam ranked by the members' mean alone.
        bundle = dataclasses.replace(bundle, weight=1.0)
    if bundle.mode != "rescore":
        return BeamRescoringDecoder(bundle, delim, options)
    return RescoringDecoder(bundle, delim, options)
