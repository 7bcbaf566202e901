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
     "dev_wer": {"ngram": 22.0, "neural": 15.3, "rescore": 14.2}}

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

Rescoring the neural beam with the n-gram model is not offered: the
n-gram model can only rank paths it finds itself (its probability of an
arbitrary phoneme sequence needs a constrained search that Model does not
expose), so a neural candidate outside its n-best list has no sound n-gram
score.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import math
import os
import tempfile
from dataclasses import dataclass
from typing import Any, Sequence

from tamsu._batch import BatchDecoder
from tamsu._neural import NeuralModel
from tamsu.decoding import PartDecoder, Scored, load_decoder, within_mass
from tamsu.files import load_with
from tamsu.graphemes import MARKERS, normalise_word
from tamsu.normalise import Alphabet, normalise
from tamsu.search import Phonemes, SearchOptions, search_all

__all__ = ["BUNDLE_FORMAT", "NEURAL_BEAM", "Bundle", "load_part_decoder",
           "model_kind", "tune_bundle"]

BUNDLE_FORMAT = "tamsu-bundle"
_VERSION = 1
_NEURAL_MAGIC = b"TAMSU-NN"
NEURAL_BEAM = 5
"""The neural beam's width: at least `nbest`, at most the search's `beam`.
Wider beams cost time and rarely change the best path."""
# A candidate the neural model cannot spell (a phoneme it does not know)
# ranks below every other, by its n-gram score among its kind.
_FLOOR = -1e4
_WEIGHTS = [i / 20 for i in range(21)]


@dataclass(frozen=True)
class Bundle:
    """A bundle file's content, its paths made absolute."""
    ngram: str
    neural: str
    mode: str          # "rescore" or "neural"
    weight: float      # the neural model's share of the rescoring score
    depth: int         # the n-gram paths rescored
    dev_wer: dict[str, float]


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
                        dict(data.get("dev_wer", {})))
    except (OSError, KeyError, TypeError, ValueError) as error:
        raise ValueError(f"{path}: bad bundle: {error}") from None
    if bundle.mode not in ("rescore", "neural") or not (
            0.0 <= bundle.weight <= 1.0) or bundle.depth < 1:
        raise ValueError(f"{path}: bad bundle: mode, weight or depth out of "
                         f"range")
    return bundle


def _write_bundle(path: str | os.PathLike[str], bundle: Bundle) -> None:
    here = os.path.dirname(os.path.abspath(path))
    data: dict[str, Any] = {"format": BUNDLE_FORMAT, "version": _VERSION}
    for kind in ("ngram", "neural"):
        file = getattr(bundle, kind)
        data[kind] = os.path.relpath(file, here)
        data[f"{kind}_sha256"] = _sha256(file)
    data.update(mode=bundle.mode, weight=bundle.weight, depth=bundle.depth,
                dev_wer=bundle.dev_wer)
    handle, temporary = tempfile.mkstemp(dir=here, suffix=".tmp")
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as f:
            json.dump(data, f, indent=1)
            f.write("\n")
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


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

    def __init__(self, model: NeuralModel, options: SearchOptions) -> None:
        self._model = model
        self._options = options
        self._beam = max(options.nbest, min(options.beam, NEURAL_BEAM))
        self.alphabet = _neural_alphabet(model)

    def decode(self, parts: Sequence[str],
               threads: int = 1) -> list[list[Scored]]:
        found = [self._model.phoneticize(part, self._options.nbest,
                                         self._beam) if part else []
                 for part in parts]
        return [_ranked([(tuple(p), s) for p, s in paths if p],
                        self._options) for paths in found]


class RescoringDecoder:
    """The n-gram model's n-best list re-ranked with the neural model's
    teacher-forced log-probabilities (see the module's formula)."""

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
        self.alphabet = Alphabet.of_model(self._ngram, delim)
        self._form = self._neural.grapheme_form

    def candidates(self, part: str) -> list[tuple[Phonemes, float, float]]:
        """The n-gram list of `part`: (phonemes, n-gram log-posterior within
        the list, neural log-probability), in n-gram order."""
        paths = search_all(self._ngram, [part], self._list)[0]
        if not paths:
            return []
        shares = _shares([-w for _, w in paths])
        # Both models come from one lexicon, but a grapheme form each: the
        # neural model scores the word in its own (and leaves out what it
        # does not know).
        neural = self._neural.score(normalise_word(part, self._form),
                                    [p for p, _ in paths])
        return [(p, math.log(share) if share > 0 else _FLOOR,
                 max(n, _FLOOR))
                for (p, _), share, n in zip(paths, shares, neural)]

    def decode(self, parts: Sequence[str],
               threads: int = 1) -> list[list[Scored]]:
        w = self._weight
        return [_ranked([(p, (1 - w) * g + w * n) for p, g, n in
                         self.candidates(part)], self._options)
                if part else [] for part in parts]


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
    return RescoringDecoder(bundle, delim, options)


def tune_bundle(ngram: str | os.PathLike[str], neural: str | os.PathLike[str],
                dev: Sequence[tuple[str, Sequence[Phonemes]]],
                output: str | os.PathLike[str], *, depth: int = 10) -> Bundle:
    """Writes a bundle of `ngram` and `neural` to `output`, its mode and
    weight the best on the `dev` words ((word, references) pairs): the
    neural beam alone, or rescoring with the weight of the grid 0, 0.05,
    ..., 1 with the fewest word errors (ties go to the smaller weight).
    Raises ValueError for models that cannot be loaded or no dev words."""
    if not dev:
        raise ValueError("tuning a bundle needs dev words")
    draft = Bundle(os.path.abspath(ngram), os.path.abspath(neural), "rescore",
                   0.0, depth, {})
    rescorer = RescoringDecoder(draft, "", SearchOptions())
    alone = NeuralDecoder(NeuralModel(draft.neural), SearchOptions())
    errors = [0] * len(_WEIGHTS)
    neural_errors = 0
    for word, references in dev:
        wanted = {tuple(r) for r in references}
        spelled = "".join(normalise(word, rescorer.alphabet,
                                    enabled=False).parts)
        found = rescorer.candidates(spelled)
        for i, w in enumerate(_WEIGHTS):
            best = max(found, key=lambda c: (1 - w) * c[1] + w * c[2],
                       default=None)
            errors[i] += best is None or best[0] not in wanted
        spelled = "".join(normalise(word, alone.alphabet,
                                    enabled=False).parts)
        top = alone.decode([spelled])[0]
        neural_errors += not top or top[0].phonemes not in wanted
    chosen = min(range(len(_WEIGHTS)), key=lambda i: (errors[i], i))
    wer = {"ngram": errors[0], "rescore": errors[chosen],
           "neural": neural_errors}
    bundle = dataclasses.replace(
        draft, mode="neural" if neural_errors < errors[chosen] else "rescore",
        weight=_WEIGHTS[chosen],
        dev_wer={k: round(100.0 * v / len(dev), 2) for k, v in wer.items()})
    _write_bundle(output, bundle)
    return bundle
