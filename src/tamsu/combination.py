"""Neural models, alone or combined with an n-gram model, in the decoding
path.

:func:`load_part_decoder` tells a model file's kind by its first bytes: a
neural model (``tamsu.neural``'s magic), a bundle, or else an n-gram model
(:func:`tamsu.decoding.load_decoder`). A bundle is a small JSON manifest
beside its two models that says how to combine them::

    {"format": "tamsu-bundle", "version": 1,
     "ngram": "nl.fst", "ngram_sha256": "<hex>",
     "neural": "nl.tnn", "neural_sha256": "<hex>",
     "mode": "rescore", "weight": 0.6, "depth": 10,
     "dev_wer": {"ngram": 22.0, "neural": 15.3, "rescore": 14.2,
                 "rescore-beam": 14.6},
     "weights": {"rescore": 0.6, "rescore-beam": 0.45}}

Paths are relative to the bundle's directory, and a model whose sha256
differs from the recorded one is refused: the weight was tuned for that
pair. In mode "rescore" the n-gram model's `depth` best pronunciations are
re-ranked by

    score = (1 - weight) * log P_ngram(p | word) + weight * log P_neural(p | word)

where P_ngram is the path's share of the list's probability mass (its
log-posterior within the list) and P_neural the neural model's
teacher-forced probability of the whole sequence. Both are conditional
distributions over pronunciations of the word, so the interpolation is a
log-linear mixture of experts; the weight is chosen on dev words at
training time (:func:`tune_bundle`). Mode "neural" decodes with the neural
model's beam search alone (chosen when that was better on dev).

In mode "rescore-beam" the roles swap: the neural model's beam (its
NEURAL_BEAM best pronunciations) is re-ranked by the same formula, P_ngram
being the share of the best joint path of the word and each candidate
(:meth:`tamsu._batch.BatchDecoder.path_weights`, a search constrained to
the candidate's phonemes) among the candidates'; a candidate the n-gram
model cannot spell ranks below the others.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import math
import os
from dataclasses import dataclass
from typing import Any, Callable, Sequence, TypeVar

from tamsu._batch import BatchDecoder
from tamsu._neural import NeuralModel
from tamsu.decoding import PartDecoder, Scored, load_decoder, within_mass
from tamsu.files import load_with, write_whole
from tamsu.graphemes import MARKERS, normalise_word
from tamsu.normalise import Alphabet, normalise
from tamsu.phones import phone_set
from tamsu.search import Phonemes, SearchOptions, search_all

__all__ = ["BUNDLE_FORMAT", "MODES", "NEURAL_BEAM", "Bundle",
           "load_part_decoder", "model_kind", "read_bundle", "tune_bundle",
           "write_bundle"]

BUNDLE_FORMAT = "tamsu-bundle"
_VERSION = 1
_NEURAL_MAGIC = b"TAMSU-NN"
NEURAL_BEAM = 5
MODES = ("rescore", "rescore-beam", "neural")
"""A bundle's modes: the n-gram list rescored with the neural model, the
neural beam rescored with the n-gram model, the neural beam alone."""
"""The neural beam's width: at least `nbest`, at most the search's `beam`.
Wider beams cost time and rarely change the best path."""
# A candidate the neural model cannot spell (a phoneme it does not know)
# ranks below every other, by its n-gram score among its kind.
_FLOOR = -1e4
_WEIGHTS = [i / 20 for i in range(21)]
_T = TypeVar("_T")


@dataclass(frozen=True)
class Bundle:
    """A bundle file's content, its paths made absolute."""
    ngram: str
    neural: str
    mode: str          # one of MODES
    weight: float      # the neural model's share of the rescoring score
    depth: int         # the n-gram paths rescored
    dev_wer: dict[str, float]
    # The weight tuned for each rescoring mode, so that another mode can be
    # chosen by editing `mode` and `weight` alone.
    weights: dict[str, float] = dataclasses.field(default_factory=dict)


def model_kind(path: str | os.PathLike[str]) -> str:
    """"neural", "bundle" or "ngram" by the file's first bytes ("ngram"
    also when it cannot be read: the model loader says why)."""
    try:
        with open(path, "rb") as f:
            head = f.read(len(_NEURAL_MAGIC))
    except OSError:
        return "ngram"
    if head == _NEURAL_MAGIC:
        return "neural"
    return "bundle" if head.lstrip().startswith(b"{") else "ngram"


def _sha256(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


def read_bundle(path: str) -> Bundle:
    """The bundle at `path`; ValueError naming it for a bad manifest or a
    model changed since the bundle was made."""
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        if data.get("format") != BUNDLE_FORMAT:
            raise ValueError("not a tamsu bundle")
        if data.get("version") != _VERSION:
            raise ValueError(f"unsupported bundle version {data.get('version')}")
        here = os.path.dirname(os.path.abspath(path))
        files = {kind: os.path.join(here, data[kind])
                 for kind in ("ngram", "neural")}
        for kind, file in files.items():
            if _sha256(file) != data[f"{kind}_sha256"]:
                raise ValueError(f"{file} is not the {kind} model the bundle "
                                 f"was tuned with (sha256 differs)")
        bundle = Bundle(files["ngram"], files["neural"], data["mode"],
                        float(data["weight"]), int(data["depth"]),
                        dict(data.get("dev_wer", {})),
                        dict(data.get("weights", {})))
    except (OSError, KeyError, TypeError, ValueError) as error:
        raise ValueError(f"{path}: bad bundle: {error}") from None
    if bundle.mode not in MODES or not (
            0.0 <= bundle.weight <= 1.0) or bundle.depth < 1:
        raise ValueError(f"{path}: bad bundle: mode, weight or depth out of "
                         f"range")
    return bundle


def write_bundle(path: str | os.PathLike[str], bundle: Bundle) -> None:
    """Writes `bundle` to `path` (its models named relative to it, with
    their sha256), replacing the file once it is complete."""
    here = os.path.dirname(os.path.abspath(path))
    data: dict[str, Any] = {"format": BUNDLE_FORMAT, "version": _VERSION}
    for kind in ("ngram", "neural"):
        file = getattr(bundle, kind)
        data[kind] = os.path.relpath(file, here)
        data[f"{kind}_sha256"] = _sha256(file)
    data.update(mode=bundle.mode, weight=bundle.weight, depth=bundle.depth,
                dev_wer=bundle.dev_wer, weights=bundle.weights)
    write_whole(path, (json.dumps(data, indent=1) + "\n").encode())


def _neural_alphabet(model: NeuralModel) -> Alphabet:
    form = model.grapheme_form
    markers = [MARKERS[form]] if form is not None else []
    return Alphabet.of_symbols(["", "", *model.graphemes, *markers])


def _shares(log_scores: Sequence[float]) -> list[float]:
    best = max(log_scores)
    exps = [math.exp(s - best) for s in log_scores]
    total = sum(exps)
    return [e / total for e in exps]


def _ranked(paths: Sequence[tuple[Phonemes, float]],
            options: SearchOptions) -> list[Scored]:
    """(phonemes, log score) paths as Scored records, best first, their
    probabilities shares of the paths' probabilities."""
    paths = sorted(paths, key=lambda p: -p[1])
    shares = _shares([s for _, s in paths]) if paths else []
    relative = options.probability_mass is not None
    scored = [Scored(p, share, (-math.log(share) if share > 0 else math.inf)
                     if relative else -s, "model")
              for (p, s), share in zip(paths, shares)]
    if options.threshold is not None:
        scored = [s for s in scored if s.weight <= options.threshold]
    return within_mass(scored[:options.nbest], options.probability_mass)


class NeuralDecoder:
    """The neural model's beam search (pieces of words spelled in its
    graphemes, one character each)."""

    batched = True  # many words per call decode faster (see G2P.answers)

    def __init__(self, model: NeuralModel, options: SearchOptions) -> None:
        self._model = model
        self._options = options
        self._beam = max(options.nbest, min(options.beam, NEURAL_BEAM))
        self.alphabet = _neural_alphabet(model)
        self.phones = phone_set(model)

    def decode(self, parts: Sequence[str],
               threads: int = 1) -> list[list[Scored]]:
        found = self._model.phoneticize_batch(parts, self._options.nbest,
                                              self._beam, threads)
        return [_ranked([(tuple(p), s) for p, s in paths if p],
                        self._options) for paths in found]


def _log_shares(weights: Sequence[float | None]) -> list[float]:
    """The log of each path's share of the paths' probability (weights are
    -log); _FLOOR for a path without weight or share."""
    found = [-w for w in weights if w is not None]
    shares = iter(_shares(found) if found else [])
    logs = []
    for weight in weights:
        share = next(shares) if weight is not None else 0.0
        logs.append(math.log(share) if share > 0 else _FLOOR)
    return logs


def _each_part(parts: Sequence[str], decode: Callable[[list[str]], list[_T]],
               none: _T) -> list[_T]:
    """decode() of the non-empty parts, `none` for the empty ones."""
    found = iter(decode([part for part in parts if part]))
    return [next(found) if part else none for part in parts]


# A candidate of a combination: phonemes, the n-gram model's log-posterior
# within the candidate list, the neural model's log-probability.
Candidate = tuple[Phonemes, float, float]


def _combined(lists: Sequence[Sequence[Phonemes]],
              ngram: Sequence[Sequence[float | None]],
              neural: Sequence[Sequence[float]]) -> list[list[Candidate]]:
    """Each word's list with both models' scores: n-gram path weights (None:
    no path) and neural log-probabilities."""
    return [[(p, g, max(n, _FLOOR)) for p, g, n in
             zip(found, _log_shares(weights), scores)]
            for found, weights, scores in zip(lists, ngram, neural)]


class RescoringDecoder:
    """The n-gram model's n-best list re-ranked with the neural model's
    teacher-forced log-probabilities (see the module's formula)."""

    batched = True

    def __init__(self, bundle: Bundle, delim: str,
                 options: SearchOptions) -> None:
        self._ngram = load_with(BatchDecoder, bundle.ngram, delim)
        self._neural = NeuralModel(bundle.neural)
        self._weight = bundle.weight
        # The threshold applies to the n-gram paths, not to their new
        # scores.
        self._options = dataclasses.replace(options, threshold=None)
        depth = max(bundle.depth, options.nbest)
        self._list = dataclasses.replace(options, nbest=depth,
                                         beam=max(options.beam, depth),
                                         probability_mass=None)
        self._beam = max(options.nbest, NEURAL_BEAM)
        self.alphabet = Alphabet.of_model(self._ngram, delim)
        self.phones = phone_set(self._ngram)
        self._form = self._neural.grapheme_form

    def candidates(self, parts: Sequence[str], threads: int = 1,
                   scored: bool = True) -> list[list[Candidate]]:
        """The n-gram list of each part, in n-gram order; neural scores 0
        unless `scored`."""
        def decode(wanted: list[str]) -> list[list[Candidate]]:
            lists = search_all(self._ngram, wanted, self._list, threads)
            phonemes = [[p for p, _ in paths] for paths in lists]
            return _combined(phonemes, [[w for _, w in paths]
                                        for paths in lists],
                             self._neural.score_batch(
                                 self._neural_words(wanted), phonemes,
                                 threads) if scored else
                             [[0.0] * len(found) for found in phonemes])
        return _each_part(parts, decode, [])

    def beam_candidates(self, parts: Sequence[str], threads: int = 1,
                        scored: bool = True) -> list[list[Candidate]]:
        """The neural beam of each part, in neural order; n-gram scores
        the same for all unless `scored`."""
        def decode(wanted: list[str]) -> list[list[Candidate]]:
            beams = self._neural.phoneticize_batch(
                self._neural_words(wanted), self._beam, self._beam, threads)
            phonemes = [[tuple(p) for p, _ in paths] for paths in beams]
            return _combined(phonemes, self._ngram.path_weights(
                wanted, phonemes, threads) if scored else
                [[0.0] * len(found) for found in phonemes],
                [[s for _, s in paths] for paths in beams])
        return _each_part(parts, decode, [])

    def _neural_words(self, parts: Sequence[str]) -> list[str]:
        # Both models come from one lexicon, but a grapheme form each: the
        # neural model reads the word in its own (and leaves out what it
        # does not know).
        return [normalise_word(part, self._form) for part in parts]

    def decode(self, parts: Sequence[str],
               threads: int = 1) -> list[list[Scored]]:
        w = self._weight
        return [_ranked([(p, (1 - w) * g + w * n) for p, g, n in found],
                        self._options)
                for found in self._found(parts, threads)]

    def _found(self, parts: Sequence[str],
               threads: int) -> list[list[Candidate]]:
        # At weight 0 the neural scores cannot change the answers.
        return self.candidates(parts, threads, scored=self._weight > 0)


class BeamRescoringDecoder(RescoringDecoder):
    """The neural model's beam re-ranked with the n-gram model's best path
    of each candidate (the module's formula, the lists' roles swapped)."""

    def _found(self, parts: Sequence[str],
               threads: int) -> list[list[Candidate]]:
        # At weight 1 the n-gram scores cannot change the answers.
        return self.beam_candidates(parts, threads, scored=self._weight < 1)


def load_part_decoder(model: str | tuple[str, ...], delim: str,
                      options: SearchOptions) -> PartDecoder:
    """:func:`tamsu.decoding.load_decoder` for any kind of model file: a
    neural model, a bundle, an n-gram model or an ensemble of them."""
    kind = "ngram" if isinstance(model, tuple) else model_kind(model)
    if kind == "ngram":
        return load_decoder(model, delim, options)
    assert isinstance(model, str)
    if delim:
        raise ValueError(f"{model}: a neural model reads words character by "
                         f"character: it takes no delimiter")
    if kind == "neural":
        return NeuralDecoder(NeuralModel(model), options)
    bundle = read_bundle(model)
    if bundle.mode == "neural":
        return NeuralDecoder(NeuralModel(bundle.neural), options)
    if bundle.mode == "rescore-beam":
        return BeamRescoringDecoder(bundle, delim, options)
    return RescoringDecoder(bundle, delim, options)


def tune_bundle(ngram: str | os.PathLike[str], neural: str | os.PathLike[str],
                dev: Sequence[tuple[str, Sequence[Phonemes]]],
                output: str | os.PathLike[str], *, depth: int = 10,
                threads: int = 1) -> Bundle:
    """Writes a bundle of `ngram` and `neural` to `output`, its mode and
    weight the best on the `dev` words ((word, references) pairs): the
    neural beam alone, or rescoring (the n-gram list or the neural beam)
    with the weight of the grid 0, 0.05, ..., 1 with the fewest word errors
    (ties go to the smaller weight, then to "rescore", "rescore-beam" and
    "neural" in that order). Decodes on `threads` native threads. Raises
    ValueError for models that cannot be loaded or no dev words."""
    if not dev:
        raise ValueError("tuning a bundle needs dev words")
    draft = Bundle(os.path.abspath(ngram), os.path.abspath(neural), "rescore",
                   0.0, depth, {})
    rescorer = RescoringDecoder(draft, "", SearchOptions())
    alone = NeuralDecoder(NeuralModel(draft.neural), SearchOptions())
    wanted = [{tuple(r) for r in references} for _, references in dev]
    spelled = _spelled(dev, rescorer.alphabet)
    tried = {mode: _errors_by_weight(found, wanted) for mode, found in (
        ("rescore", rescorer.candidates(spelled, threads)),
        ("rescore-beam", rescorer.beam_candidates(spelled, threads)))}
    neural_errors = sum(
        not top or top[0].phonemes not in right for top, right in
        zip(alone.decode(_spelled(dev, alone.alphabet), threads), wanted))
    best = {mode: min(range(len(_WEIGHTS)), key=lambda i: (errors[i], i))
            for mode, errors in tried.items()}
    wer = {"ngram": tried["rescore"][0], "neural": neural_errors,
           **{mode: tried[mode][i] for mode, i in best.items()}}
    mode = min(["rescore", "rescore-beam", "neural"], key=lambda m: wer[m])
    bundle = dataclasses.replace(
        draft, mode=mode, weight=_WEIGHTS[best.get(mode, 0)],
        dev_wer={k: round(100.0 * v / len(dev), 2) for k, v in wer.items()},
        weights={mode: _WEIGHTS[i] for mode, i in best.items()})
    write_bundle(output, bundle)
    return bundle


def _spelled(dev: Sequence[tuple[str, Sequence[Phonemes]]],
             alphabet: Alphabet) -> list[str]:
    """The dev words spelled for `alphabet` (unknown characters removed)."""
    return ["".join(normalise(word, alphabet, enabled=False).parts)
            for word, _ in dev]


def _errors_by_weight(found: Sequence[Sequence[Candidate]],
                      wanted: Sequence[set[Phonemes]]) -> list[int]:
    """The words whose best candidate is wrong, for each weight of the
    grid."""
    errors = [0] * len(_WEIGHTS)
    for candidates, right in zip(found, wanted):
        for i, w in enumerate(_WEIGHTS):
            best = max(candidates, key=lambda c: (1 - w) * c[1] + w * c[2],
                       default=None)
            errors[i] += best is None or best[0] not in right
    return errors
