"""Bundles: neural and n-gram models combined, read, written and tuned.

A bundle is a small JSON manifest beside its models that says how to
combine them (:mod:`tamsu.decoders` decodes with it)::

    {"format": "tamsu-bundle", "version": 1,
     "ngram": "nl.fst", "ngram_sha256": "<hex>",
     "neural": "nl.tnn", "neural_sha256": "<hex>",
     "mode": "rescore", "weight": 0.6, "depth": 10,
     "dev_wer": {"ngram": 22.0, "neural": 15.3, "rescore": 14.2,
                 "rescore-beam": 14.6},
     "weights": {"rescore": 0.6, "rescore-beam": 0.45}}

A bundle may name several neural models, an ensemble ("neural" and
"neural_sha256" are then lists of the same length): their mean
log-probability is the neural score below. The models are regular files
inside the bundle's folder, named relative to it, and a model whose sha256
differs from the recorded one is refused: the weight was tuned for those
models. A bundle is untrusted input like any model
file: every value is checked for its exact type and range, and nothing
outside the folder, nor any device or pipe, is ever opened.

In mode "rescore" the n-gram model's `depth` best pronunciations are
re-ranked by

    score = (1 - weight) * log P_ngram(p | word) + weight * log P_neural(p | word)

where P_ngram is the path's share of the list's probability mass (its
log-posterior within the list) and P_neural the neural model's
teacher-forced probability of the whole sequence. Both are conditional
distributions over pronunciations of the word, so the interpolation is a
log-linear mixture of experts; the weight is chosen on dev words at
training time (:func:`tune_bundle`). Mode "neural" decodes with the neural
model's beam search alone (chosen when that was better on dev); an
ensemble's first model searches and the members' mean score ranks its
beam.

In mode "rescore-beam" the roles swap: the neural model's beam (its
NEURAL_BEAM best pronunciations; an ensemble's first model's) is re-ranked by the same formula, P_ngram
being the share of the best joint path of the word and each candidate
(:meth:`tamsu._batch.BatchDecoder.path_weights`, a search constrained to
the candidate's phonemes) among the candidates'; a candidate the n-gram
model cannot spell ranks below the others.
"""

from __future__ import annotations

import dataclasses
import json
import os
import stat
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final, Sequence

from tamsu.catalogue import sha256_of
from tamsu.files import write_whole
from tamsu.normalise import Alphabet, normalise
from tamsu.phones import Phonemes

if TYPE_CHECKING:
    from tamsu.decoders import Candidate

__all__ = ["BUNDLE_FORMAT", "MAX_DEPTH", "MAX_MEMBERS", "MODES", "NEURAL_BEAM",
           "Bundle", "read_bundle", "tune_bundle", "verify_bundle", "write_bundle"]

BUNDLE_FORMAT: Final = "tamsu-bundle"
_VERSION = 1
MODES: Final = ("rescore", "rescore-beam", "neural")
"""A bundle's modes: the n-gram list rescored with the neural model, the
neural beam rescored with the n-gram model, the neural beam alone."""
NEURAL_BEAM: Final = 5
"""The neural beam's width (or `nbest`, if wider). Wider beams cost time
and rarely change the best path."""
MAX_DEPTH: Final = 1000
"""The deepest n-gram list a bundle rescores (each candidate costs a pass
of the neural model)."""
# A manifest is a few hundred bytes; anything much larger is not one.
_MANIFEST_BYTES = 1 << 16
_WEIGHTS = [i / 20 for i in range(21)]
# The most neural models a bundle combines.
MAX_MEMBERS: Final = 16


@dataclass(frozen=True)
class Bundle:
    """A bundle file's content, its paths made absolute."""
    ngram: str
    neural: tuple[str, ...]  # one model, or an ensemble's members
    mode: str          # one of MODES
    weight: float      # the neural model's share of the rescoring score
    depth: int         # the n-gram paths rescored
    dev_wer: dict[str, float]
    # The weight tuned for each rescoring mode, so that another mode can be
    # chosen by editing `mode` and `weight` alone.
    weights: dict[str, float] = dataclasses.field(default_factory=dict)
    # The models' recorded sha256, by path ({} for a bundle being made).
    sha256: dict[str, str] = dataclasses.field(default_factory=dict,
                                               compare=False)


class _Bad(ValueError):
    """A manifest value that is not what a bundle holds."""


def _number(data: dict[str, Any], key: str, low: float, high: float,
            kind: type = float) -> Any:
    value: Any = data.get(key)
    allowed = (int,) if kind is int else (int, float)
    if isinstance(value, bool) or not isinstance(value, allowed) or not (
            low <= value <= high):  # NaN and infinities fail the range
        what = "a whole number" if kind is int else "a number"
        raise _Bad(f"{key} must be {what} from {low:g} to {high:g}, "
                   f"not {value!r}"[:200])
    return kind(value)


def _scores(data: dict[str, Any], key: str, names: Sequence[str],
            high: float) -> dict[str, float]:
    table = data.get(key, {})
    if not isinstance(table, dict):
        raise _Bad(f"{key} must be an object")
    for name in table:
        if name not in names:
            raise _Bad(f"{key}: unknown entry {name!r}"[:200])
    return {name: _number(table, name, 0.0, high) for name in table}


def _model_files(data: dict[str, Any], kind: str,
                 folder: str) -> dict[str, str]:
    """The bundle's `kind` models (one name, or a list of them for the
    neural models) and their recorded sha256, by real path (symbolic links
    resolved): regular files inside `folder`, checked before anything
    opens them."""
    names, digests = data.get(kind), data.get(f"{kind}_sha256")
    if kind == "neural" and isinstance(names, list):
        if not 1 <= len(names) <= MAX_MEMBERS:
            raise _Bad(f"neural must name 1 to {MAX_MEMBERS} models")
        if not isinstance(digests, list) or len(digests) != len(names):
            raise _Bad("neural_sha256 must list one digest per neural model")
    else:
        names, digests = [names], [digests]
    files = dict(_model_file(name, digest, kind, folder)
                 for name, digest in zip(names, digests))
    if len(files) < len(names):
        raise _Bad(f"{kind} names a model twice")
    return files


def _model_file(name: Any, digest: Any, kind: str,
                folder: str) -> tuple[str, str]:
    if not isinstance(name, str) or not name or "\0" in name:
        raise _Bad(f"{kind} must name a file")
    if os.path.isabs(name):
        raise _Bad(f"{kind} must be relative to the bundle's folder: {name}")
    real = os.path.realpath(os.path.join(folder, name))
    if os.path.commonpath([real, folder]) != folder:
        raise _Bad(f"{kind} model {name} is outside the bundle's folder")
    try:
        mode = os.stat(real).st_mode
    except OSError as error:
        raise _Bad(f"cannot read the {kind} model {name}: "
                   f"{error.strerror}") from None
    if not stat.S_ISREG(mode):
        raise _Bad(f"the {kind} model {name} is not a regular file")
    if not (isinstance(digest, str) and len(digest) == 64
            and all(c in "0123456789abcdef" for c in digest)):
        raise _Bad(f"{kind}_sha256 must be 64 lower-case hex digits")
    return real, digest


def _manifest(path: str) -> dict[str, Any]:
    with open(path, "rb") as f:
        if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
            raise _Bad("not a regular file")
        text = f.read(_MANIFEST_BYTES + 1)
    if len(text) > _MANIFEST_BYTES:
        raise _Bad(f"larger than {_MANIFEST_BYTES} bytes")
    try:
        data = json.loads(text.decode("utf-8"))
    except RecursionError:
        raise _Bad("nested too deeply") from None
    if not isinstance(data, dict) or data.get("format") != BUNDLE_FORMAT:
        raise _Bad("not a tamsu bundle")
    if data.get("version") != _VERSION or isinstance(data["version"], bool):
        raise _Bad(f"unsupported bundle version {data.get('version')!r}"[:200])
    return data


def read_bundle(path: str | os.PathLike[str]) -> Bundle:
    """The bundle at `path`; ValueError naming it for a manifest that is
    not a bundle's, a value of the wrong type or out of range, or a model
    that is not a regular file inside the bundle's folder. The models'
    hashes are checked by :func:`verify_bundle`."""
    name = os.fspath(path)
    try:
        data = _manifest(name)
        folder = os.path.realpath(os.path.dirname(os.path.abspath(name)))
        ngram = _model_files(data, "ngram", folder)
        neural = _model_files(data, "neural", folder)
        mode = data.get("mode")
        if mode not in MODES:
            raise _Bad(f"mode must be one of {', '.join(MODES)}")
        return Bundle(next(iter(ngram)), tuple(neural), mode,
                      _number(data, "weight", 0.0, 1.0),
                      _number(data, "depth", 1, MAX_DEPTH, int),
                      _scores(data, "dev_wer", ("ngram", *MODES), 100.0),
                      _scores(data, "weights", MODES[:2], 1.0),
                      ngram | neural)
    except (OSError, UnicodeDecodeError, ValueError) as error:
        reason = error.strerror if isinstance(error, OSError) else error
        raise ValueError(f"{name}: bad bundle: {reason}") from None


def verify_bundle(bundle: Bundle) -> None:
    """Raises ValueError when a model is not the one the bundle was tuned
    with (its sha256 differs from the recorded one)."""
    for kind, file in _models(bundle):
        try:
            found = sha256_of(file)
        except OSError as error:
            raise ValueError(f"cannot read the {kind} model {file}: "
                             f"{error.strerror}") from None
        if found != bundle.sha256.get(file):
            raise ValueError(f"{file} is not the {kind} model the bundle "
                             f"was tuned with (sha256 differs)")


def _models(bundle: Bundle) -> list[tuple[str, str]]:
    """The bundle's models: (kind, path) pairs."""
    return [("ngram", bundle.ngram), *(("neural", n) for n in bundle.neural)]


def write_bundle(path: str | os.PathLike[str], bundle: Bundle) -> None:
    """Writes `bundle` to `path` (its models named relative to it, with
    their sha256), replacing the file once it is complete."""
    here = os.path.dirname(os.path.abspath(path))
    data: dict[str, Any] = {"format": BUNDLE_FORMAT, "version": _VERSION}
    for kind, files in (("ngram", [bundle.ngram]), ("neural", bundle.neural)):
        names = [os.path.relpath(file, here) for file in files]
        digests = [sha256_of(file) for file in files]
        # One model is named as a bundle always named it.
        data[kind] = names if len(names) > 1 else names[0]
        data[f"{kind}_sha256"] = digests if len(names) > 1 else digests[0]
    data.update(mode=bundle.mode, weight=bundle.weight, depth=bundle.depth,
                dev_wer=bundle.dev_wer, weights=bundle.weights)
    write_whole(path, (json.dumps(data, indent=1) + "\n").encode())


def tune_bundle(ngram: str | os.PathLike[str],
                neural: str | os.PathLike[str] | Sequence[
                    str | os.PathLike[str]],
                dev: Sequence[tuple[str, Sequence[Phonemes]]],
                output: str | os.PathLike[str], *, depth: int = 10,
                threads: int = 1, trained_on: str | None = None) -> Bundle:
    """Writes a bundle of `ngram` and `neural` (a model, or a sequence of
    models for an ensemble, trained on the same words) to `output`, its
    mode and weight the best on the `dev` words ((word, references) pairs): the
    neural beam alone, or rescoring (the n-gram list or the neural beam)
    with the weight of the grid 0, 0.05, ..., 1 with the fewest word errors
    (ties go to the smaller weight, then to "rescore", "rescore-beam" and
    "neural" in that order). Decodes on `threads` native threads.

    The dev words must be words neither model trained on: an n-gram model
    that has seen them looks nearly perfect there, and the tuning would
    choose it alone. Give `trained_on`, the digest of the neural model's
    training words (its report's `trained_on`), and an n-gram model that
    does not record the same (``tamsu.train(..., hold_out=...)`` with the
    neural training's share and seed) is refused. Raises ValueError for
    such a pair, models that cannot be loaded or no dev words."""
    # The decoders read bundles: imported here, where a bundle is made.
    from tamsu.decoders import RescoringDecoder, SearchOptions
    if not dev:
        raise ValueError("tuning a bundle needs dev words")
    if not 1 <= depth <= MAX_DEPTH:
        raise ValueError(f"depth must be from 1 to {MAX_DEPTH}")
    members = ((neural,) if isinstance(neural, (str, os.PathLike))
               else tuple(neural))
    if not 1 <= len(members) <= MAX_MEMBERS:
        raise ValueError(f"a bundle combines 1 to {MAX_MEMBERS} neural "
                         f"models")
    draft = Bundle(os.path.abspath(ngram),
                   tuple(os.path.abspath(m) for m in members), "rescore",
                   0.0, depth, {})
    rescorer = RescoringDecoder(draft, "", SearchOptions(), verify=False)
    if trained_on is not None and rescorer.trained_on != trained_on:
        raise ValueError(
            f"{ngram} was not trained on the neural model's training words "
            f"(train it with hold_out and seed as the neural model's "
            f"dev_share and seed): tuned on words it has seen, the bundle "
            f"would choose it alone")
    wanted = [{tuple(r) for r in references} for _, references in dev]
    spelled = _spelled(dev, rescorer.alphabet)
    tried = {mode: _errors_by_weight(found, wanted) for mode, found in (
        ("rescore", rescorer.candidates(spelled, threads)),
        ("rescore-beam", rescorer.beam_candidates(spelled, threads)))}
    best = {mode: min(range(len(_WEIGHTS)), key=lambda i: (errors[i], i))
            for mode, errors in tried.items()}
    # The neural beam ranked by the neural score alone: mode "neural".
    wer = {"ngram": tried["rescore"][0], "neural": tried["rescore-beam"][-1],
           **{mode: tried[mode][i] for mode, i in best.items()}}
    mode = min(MODES, key=lambda m: wer[m])
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
            best = max(candidates,
                       key=lambda c: (1 - w) * c.ngram + w * c.neural,
                       default=None)
            errors[i] += best is None or best.phonemes not in right
    return errors
