"""Builds the shipped English homograph files from the labelled sentences.

    python data/build_homographs.py table   # the table's dictionary rows
    python data/build_homographs.py model   # trains and writes the model

The data is Wikipedia Homograph Data (Gorman, Mazovetskiy and Nikolaev
2018; see NOTICE), by default /work/shared/data/homographs (--data DIR):
wordids.tsv names each reading, train/*.tsv holds sentences labelled with
one.

`table` writes src/tamsu/models/homographs.tsv, one row per reading:
wordid, homograph, stressed ARPAbet and where it came from. A reading gets
the CMU dictionary's first variant that matches the annotators' IPA (same
phonemes, reduced vowels alike, the primary stress on the same vowel) and
no other reading of the word; the rows marked `hand` (readings the
dictionary lacks or does not tell apart) are reviewed data kept as they
stand in the table. A reading with neither stops the build.

`model` sets aside a tenth of each homograph's sentences (chosen by a hash
of the sentence, so the same data always gives the same split), trains
logistic regressions on the rest with scikit-learn (see `train`), and
writes src/tamsu/models/homographs.bin (tamsu.homographs reads it). The
same data gives the same bytes. bench/homographs.py measures it on the
tenth set aside.
"""

from __future__ import annotations

import argparse
import csv
import hashlib
import sys
from collections import Counter, defaultdict
from pathlib import Path
from typing import Any, Iterable, NamedTuple, TypeVar

import numpy as np

ROOT = Path(__file__).resolve().parent.parent

DATA = Path("/work/shared/data/homographs")
TABLE = ROOT / "src" / "tamsu" / "models" / "homographs.tsv"
MODEL = ROOT / "src" / "tamsu" / "models" / "homographs.bin"

class Settings(NamedTuple):
    """How the model is trained."""
    c: float = 1.0  # the inverse of the L2 regularisation's strength
    min_count: int = 2  # a feature occurs in this many training sentences
    # The value of the shared model's features and of each word's intercept
    # column in the shared model: above 1 they are regularised less.
    shared_scale: float = 1.0
    bias_scale: float = 1.0


# Chosen on the tenth set aside (bench/homographs.py --tune tries the
# alternatives): the best accuracy there (95.9%, tied by two settings that
# make a model twice this size).
SETTINGS = Settings(c=2.0, min_count=3, shared_scale=1.0, bias_scale=5.0)


class Reading(NamedTuple):
    wordid: str
    homograph: str
    ipa: str
    label: str  # the reading's part of speech or meaning: "verb", "city", ...
    kind: str  # the kind of homography: "Morphosyntactic", "Lexical", ...


class Sentence(NamedTuple):
    homograph: str
    wordid: str
    text: str
    start: int  # character offsets of the homograph in `text`
    end: int


_Item = TypeVar("_Item", Reading, Sentence)


def read_readings(data: Path) -> list[Reading]:
    with open(data / "wordids.tsv", encoding="utf-8", newline="") as stream:
        rows = list(csv.DictReader(stream, delimiter="\t"))
    return [Reading(r["wordid"], r["homograph"], r["pronunciation"],
                    r["label"], r["homograph_type"]) for r in rows]


def read_sentences(data: Path) -> list[Sentence]:
    """Every labelled sentence, its byte offsets turned into str offsets."""
    sentences = []
    for path in sorted((data / "train").glob("*.tsv")):
        with open(path, encoding="utf-8", newline="") as stream:
            for row in csv.DictReader(stream, delimiter="\t"):
                raw = row["sentence"].encode("utf-8")
                start = len(raw[:int(row["start"])].decode("utf-8"))
                end = start + len(raw[int(row["start"]):int(row["end"])]
                                  .decode("utf-8"))
                sentences.append(Sentence(row["homograph"], row["wordid"],
                                          row["sentence"], start, end))
    return sentences


def grouped(items: Iterable[_Item]) -> dict[str, list[_Item]]:
    """Readings or sentences by homograph, in their order."""
    groups: dict[str, list[_Item]] = defaultdict(list)
    for item in items:
        groups[item.homograph].append(item)
    return groups


def split(sentences: list[Sentence]) -> tuple[list[Sentence], list[Sentence]]:
    """(training share, held-out tenth), the tenth taken per homograph."""
    by_homograph = grouped(sentences)
    train, held_out = [], []
    for homograph in sorted(by_homograph):
        group = sorted(by_homograph[homograph], key=lambda s: hashlib.sha256(
            f"{s.text}\t{s.start}".encode("utf-8")).digest())
        cut = max(1, round(len(group) / 10))
        held_out += group[:cut]
        train += group[cut:]
    return train, held_out


# --- The reading table -----------------------------------------------------

# The annotators' IPA, longest symbols first, as ARPAbet; a vowel's stress
# comes from the mark before its syllable.
_IPA = sorted({
    "aɪ": "AY", "aʊ": "AW", "eɪ": "EY", "oʊ": "OW", "ɔɪ": "OY", "ɑː": "AA",
    "ɑ": "AA", "ɔː": "AO", "ɔ": "AO", "æ": "AE", "ʌ": "AH", "ə": "AH",
    "ɚ": "ER", "ɛ": "EH", "ɪ": "IH", "iː": "IY", "i": "IY", "uː": "UW",
    "u": "UW", "ʊ": "UH", "a": "AA", "e": "EY", "o": "OW",
    "b": "B", "d": "D", "f": "F", "ɡ": "G", "g": "G", "h": "HH", "j": "Y",
    "k": "K", "l": "L", "m": "M", "n": "N", "ŋ": "NG", "p": "P", "ɹ": "R",
    "s": "S", "ʃ": "SH", "t": "T", "θ": "TH", "ð": "DH", "v": "V", "w": "W",
    "z": "Z", "ʒ": "ZH", "ʤ": "JH", "ʧ": "CH",
}.items(), key=lambda item: -len(item[0]))
VOWELS = frozenset("AA AE AH AO AW AY EH ER EY IH IY OW OY UH UW".split())
# Vowels the dictionary and the annotators write for one sound: reduced
# vowels, the cot-caught merger, IY and IH before R.
_ALIKE = [frozenset({"AH", "IH"}), frozenset({"AA", "AO"})]


def ipa_to_arpabet(ipa: str) -> list[str]:
    """The annotators' IPA as stressed ARPAbet (unstressed vowels get 0)."""
    phones, stress, i = [], "0", 0
    text = ipa.replace("ː", "ː").replace("ɹː", "ɹ")
    while i < len(text):
        if text[i] in "'ˈ":
            stress, i = "1", i + 1
            continue
        if text[i] == "ˌ":
            stress, i = "2", i + 1
            continue
        if text[i].isdigit() or text[i] == "ː":
            i += 1
            continue
        for symbol, phone in _IPA:
            if text.startswith(symbol, i):
                if phone in VOWELS:
                    phones.append(phone + stress)
                    stress = "0"
                else:
                    phones.append(phone)
                i += len(symbol)
                break
        else:
            raise ValueError(f"unknown IPA symbol {text[i]!r} in {ipa!r}")
    return phones


def _vowel_distance(ours: str, theirs: str, after: str | None) -> int | None:
    """0 for the same vowel, 1 for two writings of one sound, None for
    different vowels or a different primary stress."""
    base_a, stress_a = ours[:-1], ours[-1]
    base_b, stress_b = theirs[:-1], theirs[-1]
    if (stress_a == "1") != (stress_b == "1"):
        return None
    if base_a == base_b:
        return 0
    if any(base_a in group and base_b in group for group in _ALIKE):
        return 1
    if after == "R" and {base_a, base_b} == {"IY", "IH"}:
        return 1
    # The annotators reduce to a schwa what the dictionary writes as an
    # unstressed full vowel ("escort" EH0 S K AO1 R T, "əs'kɔːɹt").
    return 1 if base_a == "AH" else None


def distance(ipa: list[str], variant: tuple[str, ...]) -> int | None:
    """How far a dictionary variant is from the annotators' pronunciation:
    None unless the phonemes are the same but for writings of one vowel
    and the primary stress is on the same vowel (the dictionary's secondary
    and unstressed full vowels vary too freely to compare), else the number
    of vowels written differently."""
    if len(ipa) != len(variant):
        return None
    total = 0
    for i, (ours, theirs) in enumerate(zip(ipa, variant)):
        if ours[-1].isdigit() != theirs[-1].isdigit():
            return None
        if ours[-1].isdigit():
            after = ipa[i + 1] if i + 1 < len(ipa) else None
            step = _vowel_distance(ours, theirs, after)
            if step is None:
                return None
            total += step
        elif ours != theirs:
            return None
    return total


def read_table(path: Path) -> dict[str, list[str]]:
    """wordid -> [homograph, ARPAbet, source, note] as the table holds them."""
    if not path.exists():
        return {}
    with open(path, encoding="utf-8", newline="") as stream:
        rows = [line.rstrip("\n").split("\t") for line in stream
                if line.strip() and not line.startswith("#")]
    return {row[0]: row[1:] for row in rows}


def build_table(readings: list[Reading], table: Path) -> list[str]:
    """The table's rows: dictionary rows derived afresh, hand rows kept."""
    from tamsu.dictionary import PronunciationDictionary

    dictionary = PronunciationDictionary.read_shipped()
    kept = read_table(table)
    by_homograph = grouped(readings)
    rows, missing = [], []
    for homograph, group in by_homograph.items():
        variants = dictionary.lookup(homograph)
        # Closest pairs first, each variant given to one reading at most.
        pairs = sorted(
            (d, index, r.wordid) for r in group
            for index, v in enumerate(variants)
            if (d := distance(ipa_to_arpabet(r.ipa), v)) is not None)
        chosen: dict[str, int] = {}
        for _, index, wordid in pairs:
            if wordid not in chosen and index not in chosen.values():
                chosen[wordid] = index
        for reading in group:
            hand = kept.get(reading.wordid)
            if hand is not None and hand[2] == "hand":
                rows.append("\t".join([reading.wordid, *hand]))
            elif reading.wordid in chosen:
                index = chosen[reading.wordid]
                rows.append(f"{reading.wordid}\t{homograph}\t"
                            f"{' '.join(variants[index])}\t"
                            f"cmudict:{index + 1}\t")
            else:
                missing.append(f"{reading.wordid}\t{homograph}\t"
                               f"{' '.join(ipa_to_arpabet(reading.ipa))}"
                               f"\t{reading.ipa}")
    if missing:
        raise SystemExit("readings the dictionary lacks or does not tell "
                         "apart; add them as reviewed `hand` rows "
                         "(the IPA read mechanically is shown):\n" +
                         "\n".join(missing))
    return rows


# --- The model -------------------------------------------------------------

def verb_pairs(readings: list[Reading]) -> dict[str, list[str]]:
    """Homographs read one way as a verb and another way otherwise (most
    of them), as homograph -> [the other wordid, the verb's wordid]."""
    pairs = {}
    for homograph, group in grouped(readings).items():
        verbs = [r.wordid for r in group if r.label == "verb"]
        others = [r.wordid for r in group if r.label != "verb"]
        if len(verbs) == 1 and len(others) == 1:
            pairs[homograph] = [others[0], verbs[0]]
    return pairs


class _Columns:
    """Feature strings numbered as columns of one design matrix."""

    def __init__(self) -> None:
        self.number: dict[tuple[str, str], int] = {}

    def add(self, space: str, names: list[str]) -> None:
        for name in names:
            self.number.setdefault((space, name), len(self.number))


def _kept(found: list[list[str]], min_count: int, shared: bool = False) \
        -> list[str]:
    counts = Counter(f for fs in found for f in set(fs)
                     if not (shared and f.startswith("bag=")))
    return sorted(f for f, n in counts.items() if n >= min_count)


def _design(found: list[list[str]], spaces: list[list[str]],
            columns: _Columns) -> Any:
    """A binary sentence x column matrix: sentence i has the columns of its
    features in each of spaces[i]."""
    from scipy.sparse import csr_matrix

    rows, cols = [], []
    for row, (fs, names) in enumerate(zip(found, spaces)):
        hits = {columns.number.get((space, f)) for space in names for f in fs}
        hits.discard(None)
        rows += [row] * len(hits)
        cols += sorted(hits)  # type: ignore[type-var]
    return csr_matrix((np.ones(len(rows)), (rows, cols)),
                      shape=(len(found), len(columns.number)))


def train(sentences: list[Sentence], readings: list[Reading],
          table: dict[str, list[str]], settings: Settings = SETTINGS,
          path: Path = MODEL) -> None:
    """Trains the model on `sentences` and writes it to `path`.

    The verb-or-not homographs share one logistic regression: context
    features common to all of them (what makes a verb: "to" before it, an
    object after it) beside each one's own features and intercept. Every
    other homograph gets a model of its own.
    """
    from scipy.sparse import diags
    from sklearn.linear_model import LogisticRegression

    from tamsu import homographs

    c, min_count = settings.c, settings.min_count
    by_homograph = grouped(sentences)
    found = {h: [homographs.features(s.text, s.start, s.end) for s in group]
             for h, group in by_homograph.items()}
    pairs = verb_pairs(readings)
    joint = sorted(h for h in by_homograph if h in pairs)
    # The shared model: columns ("", f) shared, (h, f) and (h, "") per word.
    columns = _Columns()
    columns.add("", _kept([fs for h in joint for fs in found[h]], min_count,
                          shared=True))
    for h in joint:
        columns.add(h, [""] + _kept(found[h], min_count))
    x = _design([fs + [""] for h in joint for fs in found[h]],
                [["", h] for h in joint for _ in found[h]], columns)
    y = [s.wordid == pairs[h][1] for h in joint for s in by_homograph[h]]
    scale = np.ones(len(columns.number))
    for (space, name), column in columns.number.items():
        if not space:
            scale[column] = settings.shared_scale
        elif not name:
            scale[column] = settings.bias_scale
    model = LogisticRegression(C=c, max_iter=5000).fit(x @ diags(scale), y)
    coef, intercept = model.coef_[0] * scale, model.intercept_[0]
    weights: dict[str, dict[str, float]] = defaultdict(dict)
    for (space, name), column in columns.number.items():
        weights[space][name] = coef[column]
    fitted = []
    for h in sorted(by_homograph):
        y_h = [s.wordid for s in by_homograph[h]]
        if h in pairs:
            own = weights[h]
            bias = intercept + own.pop("")
            fitted.append((h, pairs[h], own, np.array([bias]), True))
        elif len(set(y_h)) == 1:
            # Only one reading seen: it always wins, by its intercept alone.
            wordids = sorted(w for w, row in table.items() if row[0] == h)
            winner = np.eye(len(wordids))[wordids.index(y_h[0])]
            fitted.append((h, wordids, {}, winner if len(wordids) > 2
                           else winner[1:] * 2 - 1, False))
        else:
            vocabulary = _kept(found[h], min_count)
            own_columns = _Columns()
            own_columns.add("", vocabulary)
            alone = LogisticRegression(C=c, max_iter=5000).fit(
                _design(found[h], [[""]] * len(y_h), own_columns), y_h)
            fitted.append((h, list(alone.classes_), {
                f: alone.coef_[:, i] for i, f in enumerate(vocabulary)},
                alone.intercept_, False))
    names = sorted({f for _, _, own, _, _ in fitted for f in own} |
                   set(weights[""]))
    number = {f: i for i, f in enumerate(names)}

    def arrays(own: dict[str, Any], rows: int) -> tuple[Any, Any]:
        keys = sorted(own, key=number.__getitem__)
        return (np.array([number[f] for f in keys], dtype=np.int64),
                np.array([own[f] for f in keys]).reshape(len(keys), rows))

    homographs.write(path, names, arrays(weights[""], 1), [
        (h, [(w, table[w][1]) for w in wordids], *arrays(own, len(bias)),
         bias, shared)
        for h, wordids, own, bias, shared in fitted])


def majority(sentences: list[Sentence]) -> dict[str, str]:
    """Each homograph's most frequent reading in `sentences` (ties: the
    first wordid in sorted order)."""
    return {h: min(Counter(s.wordid for s in group).items(),
                   key=lambda item: (-item[1], item[0]))[0]
            for h, group in grouped(sentences).items()}


TABLE_HEADER = """\
# English homographs: each reading (a wordid of Wikipedia Homograph Data,
# Gorman, Mazovetskiy and Nikolaev 2018, Apache License 2.0) in stressed
# ARPAbet. Columns: wordid, homograph, phonemes, source, note. Source
# cmudict:N is the CMU dictionary's Nth variant of the word (derived by
# data/build_homographs.py table), hand a reviewed transcription of the
# annotators' IPA (the note says where it departs from that IPA).
"""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("what", choices=("table", "model"))
    parser.add_argument("--data", type=Path, default=DATA)
    args = parser.parse_args()
    readings = read_readings(args.data)
    if args.what == "table":
        rows = build_table(readings, TABLE)
        TABLE.write_text(TABLE_HEADER + "\n".join(rows) + "\n",
                         encoding="utf-8")
        sources = Counter(row.split("\t")[3].split(":")[0] for row in rows)
        print(f"table: {len(rows)} readings ({sources['cmudict']} from the "
              f"dictionary, {sources['hand']} by hand) -> {TABLE}",
              file=sys.stderr)
        return 0
    train_share, _ = split(read_sentences(args.data))
    train(train_share, readings, read_table(TABLE))
    print(f"model: {len(train_share)} sentences, {MODEL.stat().st_size} "
          f"bytes -> {MODEL}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
