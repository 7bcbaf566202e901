"""English homographs decided by the sentence they stand in.

A homograph such as "lead" (L EH1 D, the metal; L IY1 D, to guide) or
"record" (R EH1 K ER0 D, the noun; R AH0 K AO1 R D, the verb) is read by
a linear model over its neighbours, their shapes and suffixes, and the
sentence's other words: each word's own weights, plus, for the words read
one way as a verb and another way otherwise, weights they share (what
makes a verb of any of them). The shipped model (models/homographs.bin,
made by data/build_homographs.py from Wikipedia Homograph Data) knows 162
English homographs; its readings are those of models/homographs.tsv.

The model file: the magic ``b"tamsuHG\\0"``, a little-endian uint32
version, the SHA-256 of the rest, then a uint32 length and that many bytes
of UTF-8 JSON (the feature strings, the shared weights' count, and per
homograph its readings, its count of weights and score rows, whether the
shared weights count), then the shared weights and each homograph's in
order: sorted feature numbers (int32), weights (float32, a row per
feature), and for a homograph its intercepts (float32, a row). A score row
per reading, or for two readings one row, the second's score. Any other
size is refused.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import struct
import threading
from importlib import resources
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

__all__ = ["Homographs", "features", "default_homographs_path"]

MAGIC = b"tamsuHG\0"
VERSION = 1
_HEADER = struct.Struct("<8sI32sI")

# A word (letters and digits of any script, inner apostrophes kept) or one
# other visible character.
_TOKEN = re.compile(r"\w+(?:['’]\w+)*|[^\w\s]")


def default_homographs_path() -> str:
    """The shipped English homograph model."""
    return os.fspath(str(resources.files("tamsu").joinpath(
        "models", "homographs.bin")))


def _shape(token: str) -> str:
    if token.isdigit():
        return "9"
    if token.isupper() and len(token) > 1:
        return "XX"
    if token[:1].isupper():
        return "Xx"
    return "x" if token.isalpha() else "?"


def features(text: str, start: int, end: int) -> list[str]:
    """The features of the word text[start:end] in `text`, the model's
    input (the same for training and deciding)."""
    left = [t.lower() for t in _TOKEN.findall(text, 0, start)]
    raw_right = _TOKEN.findall(text, end)
    right = [t.lower() for t in raw_right]
    word = text[start:end]
    padded_left = ["<s>"] * 3 + left
    padded_right = right + ["</s>"] * 3
    l1, l2, l3 = padded_left[-1], padded_left[-2], padded_left[-3]
    r1, r2, r3 = padded_right[:3]
    shape = _shape(word)
    found = [
        f"shape={shape}", f"first={not left}", f"shapefirst={shape}{not left}",
        f"l1={l1}", f"l2={l2}", f"l3={l3}", f"r1={r1}", f"r2={r2}",
        f"r3={r3}", f"l21={l2} {l1}", f"r12={r1} {r2}", f"l1r1={l1} {r1}",
        f"l1s={l1[-3:]}", f"r1s={r1[-3:]}", f"l1s2={l1[-2:]}",
        f"r1s2={r1[-2:]}", f"l2s={l2[-2:]}", f"r2s={r2[-2:]}",
        f"r1shape={_shape(raw_right[0]) if right else '-'}",
    ]
    found += {f"near={t}" for t in left[-4:] + right[:4]}
    found += {f"bag={t}" for t in left + right if t[0].isalnum()}
    return found


class _Weights(NamedTuple):
    ids: npt.NDArray[np.int32]  # sorted feature numbers
    table: npt.NDArray[np.float32]  # (features, rows)

    def score(self, numbers: npt.NDArray[np.int32]) -> npt.NDArray[np.float32]:
        """The summed rows of the features numbered `numbers`."""
        if not len(self.ids):
            return np.zeros(self.table.shape[1], np.float32)
        at = np.minimum(np.searchsorted(self.ids, numbers), len(self.ids) - 1)
        summed: npt.NDArray[np.float32] = \
            self.table[at[self.ids[at] == numbers]].sum(axis=0)
        return summed


class _Homograph(NamedTuple):
    readings: tuple[tuple[str, tuple[str, ...]], ...]  # (wordid, phonemes)
    weights: _Weights
    intercept: npt.NDArray[np.float32]  # (rows,)
    shared: bool  # whether the shared model's score is added


class Homographs:
    """A model that reads English homographs by their sentence.

    Get the shipped one with :meth:`shipped` (loaded once per process) or
    read a file with :meth:`read`. Instances are immutable after loading,
    so threads may share one.
    """

    _index: dict[str, int]
    _shared: _Weights
    _words: dict[str, _Homograph]

    _shipped: Homographs | None = None
    _shipped_lock = threading.Lock()

    def __init__(self) -> None:
        raise TypeError("use Homographs.shipped() or Homographs.read(path)")

    @classmethod
    def shipped(cls) -> Homographs:
        """The shipped model, read at the first call and shared after."""
        with cls._shipped_lock:
            if cls._shipped is None:
                cls._shipped = cls.read(default_homographs_path())
            return cls._shipped

    @classmethod
    def read(cls, path: str | os.PathLike[str]) -> Homographs:
        """Reads a model file (see the module notes).

        Raises OSError when it cannot be read and ValueError, naming the
        file, for one that is damaged, truncated or not a homograph model.
        """
        name = os.fspath(path)
        with open(name, "rb") as stream:
            data = stream.read()
        try:
            index, shared, words = _parse(data)
        except (ValueError, KeyError, TypeError, struct.error) as error:
            raise ValueError(f"{name}: not a tamsu homograph model "
                             f"({error})") from None
        self = object.__new__(cls)
        self._index = index
        self._shared = shared
        self._words = words
        return self

    def __contains__(self, word: object) -> bool:
        """Whether `word` (in any case) is one of the model's homographs."""
        return isinstance(word, str) and word.lower() in self._words

    def __len__(self) -> int:
        """The number of homographs."""
        return len(self._words)

    def __repr__(self) -> str:
        return f"<Homographs of {len(self)} words>"

    def readings(self, word: str) -> tuple[tuple[str, tuple[str, ...]], ...]:
        """The readings of `word` as (wordid, phonemes) pairs; () for a
        word that is none of the model's homographs."""
        homograph = self._words.get(word.lower())
        return () if homograph is None else homograph.readings

    def decide(self, text: str, start: int, end: int) \
            -> tuple[str, tuple[str, ...]] | None:
        """The reading of the word text[start:end] (str offsets) in the
        sentence or line `text` as (wordid, stressed ARPAbet), or None when
        that word is none of the model's homographs."""
        if not 0 <= start <= end <= len(text):
            raise ValueError(f"offsets {start}:{end} outside a text of "
                             f"{len(text)} characters")
        homograph = self._words.get(text[start:end].lower())
        if homograph is None:
            return None
        numbers = np.fromiter(
            (n for f in features(text, start, end)
             if (n := self._index.get(f)) is not None), np.int32)
        scores = homograph.intercept + homograph.weights.score(numbers)
        if homograph.shared:
            scores = scores + self._shared.score(numbers)
        if len(scores) == 1:  # two readings: the score of the second
            return homograph.readings[int(scores[0] > 0)]
        return homograph.readings[int(np.argmax(scores))]

    def choose(self, text: str, start: int, end: int) \
            -> tuple[str, ...] | None:
        """The pronunciation (stressed ARPAbet) of the word text[start:end]
        (str offsets) in the sentence or line `text`, or None when that
        word is none of the model's homographs."""
        reading = self.decide(text, start, end)
        return None if reading is None else reading[1]


def _parse(data: bytes) -> tuple[dict[str, int], _Weights,
                                 dict[str, _Homograph]]:
    if len(data) < _HEADER.size:
        raise ValueError("too short")
    magic, version, digest, meta_size = _HEADER.unpack_from(data)
    if magic != MAGIC:
        raise ValueError("no homograph model magic")
    if version != VERSION:
        raise ValueError(f"version {version}, not {VERSION}")
    if hashlib.sha256(data[_HEADER.size - 4:]).digest() != digest:
        raise ValueError("checksum mismatch: damaged or truncated")
    at = _HEADER.size + meta_size
    meta: dict[str, Any] = json.loads(data[_HEADER.size:at].decode("utf-8"))
    names: list[str] = meta["features"]
    index = dict(zip(names, range(len(names))))
    if len(index) != len(names):
        raise ValueError("repeated feature")

    def take(kind: str, count: int) -> npt.NDArray[Any]:
        nonlocal at
        if count < 0 or at + 4 * count > len(data):
            raise ValueError("truncated")
        array = np.frombuffer(data, kind, count, at)
        at += 4 * count
        return array

    def weights(count: int, rows: int, what: str) -> _Weights:
        ids = take("<i4", count).astype(np.int32, copy=False)
        if count and (ids[0] < 0 or ids[-1] >= len(names)
                      or np.any(np.diff(ids) <= 0)):
            raise ValueError(f"bad feature numbers for {what}")
        table = take("<f4", count * rows).astype(np.float32, copy=False)
        return _Weights(ids, table.reshape(count, rows))

    shared = weights(int(meta["shared"]), 1, "the shared model")
    words: dict[str, _Homograph] = {}
    for entry in meta["homographs"]:
        word, rows = str(entry["word"]), int(entry["rows"])
        readings = tuple((str(wordid), tuple(str(phonemes).split()))
                         for wordid, phonemes in entry["readings"])
        if len(readings) < 2 or rows != (
                1 if len(readings) == 2 else len(readings)) or (
                entry["shared"] and rows != 1):
            raise ValueError(f"bad shape for {word!r}")
        own = weights(int(entry["features"]), rows, repr(word))
        intercept = take("<f4", rows).astype(np.float32, copy=False)
        words[word] = _Homograph(readings, own, intercept,
                                 bool(entry["shared"]))
    if at != len(data):
        raise ValueError(f"{len(data) - at} bytes after the model")
    return index, shared, words


def write(path: str | os.PathLike[str], feature_names: list[str],
          shared: tuple[npt.NDArray[Any], npt.NDArray[Any]],
          homographs: list[tuple[str, list[tuple[str, str]],
                                 npt.NDArray[Any], npt.NDArray[Any],
                                 npt.NDArray[Any], bool]]) -> None:
    """Writes a model file: the feature strings (numbered in order), the
    shared model's (sorted feature numbers, weights of shape (features, 1)),
    and per homograph (word, [(wordid, phonemes)], sorted feature numbers,
    weights of shape (features, rows), intercepts of shape (rows,), whether
    the shared model's score counts too)."""
    meta = {"features": feature_names, "shared": len(shared[0]),
            "homographs": [
                {"word": word, "readings": [list(r) for r in readings],
                 "features": len(ids), "rows": int(intercept.shape[0]),
                 "shared": shared_too}
                for word, readings, ids, _, intercept, shared_too
                in homographs]}
    body = [json.dumps(meta, ensure_ascii=False, sort_keys=True,
                       separators=(",", ":")).encode("utf-8"),
            np.asarray(shared[0], "<i4").tobytes(),
            np.asarray(shared[1], "<f4").tobytes()]
    for _, _, ids, weights, intercept, _ in homographs:
        body += [np.asarray(ids, "<i4").tobytes(),
                 np.asarray(weights, "<f4").tobytes(),
                 np.asarray(intercept, "<f4").tobytes()]
    tail = struct.pack("<I", len(body[0])) + b"".join(body)
    with open(path, "wb") as stream:
        stream.write(MAGIC + struct.pack("<I", VERSION) +
                     hashlib.sha256(tail).digest() + tail)
