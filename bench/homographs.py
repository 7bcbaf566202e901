"""How often the homograph model reads a homograph right, on the tenth of
Wikipedia Homograph Data's training sentences that data/build_homographs.py
sets aside (the model never sees them), beside the most-frequent-reading
baseline (each homograph's majority reading in the training share) and
what a word alone gets (the shipped dictionary's first variant, right when
it is the reading table's pronunciation of the right reading).

    .venv/bin/python bench/homographs.py              # the shipped model
    .venv/bin/python bench/homographs.py --words      # and per homograph
    .venv/bin/python bench/homographs.py --tune       # retrain, other settings

Prints accuracy overall and per kind of homography (wordids.tsv's
homograph_type of the right reading).
"""

from __future__ import annotations

import argparse
import itertools
import sys
import tempfile
from collections import Counter, defaultdict
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "data"))

import build_homographs as build  # noqa: E402

from tamsu import PronunciationDictionary  # noqa: E402
from tamsu.homographs import Homographs  # noqa: E402


# The settings --tune tries: every combination of these values of
# build_homographs.Settings' fields, in order.
GRID = [(0.5, 1.0, 2.0), (2, 3), (0.5, 1.0, 2.0), (1.0, 5.0)]


def score(model: Homographs, held_out: list[build.Sentence],
          baseline: dict[str, str]) -> dict[str, list[int]]:
    """group -> [sentences, model right, baseline right, dictionary right];
    groups are "all", "kind:KIND" and "word:HOMOGRAPH"."""
    kinds = {r.wordid: r.kind for r in build.read_readings(build.DATA)}
    table = build.read_table(build.TABLE)
    dictionary = PronunciationDictionary.read_shipped()
    totals: dict[str, list[int]] = defaultdict(lambda: [0, 0, 0, 0])
    for s in held_out:
        first = dictionary.lookup(s.homograph)[:1]
        decided = model.decide(s.text, s.start, s.end)
        right = (decided is not None and decided[0] == s.wordid,
                 baseline[s.homograph] == s.wordid,
                 (tuple(table[s.wordid][1].split()),) == first)
        for group in ("all", f"kind:{kinds[s.wordid]}", f"word:{s.homograph}"):
            totals[group][0] += 1
            for i, hit in enumerate(right, 1):
                totals[group][i] += hit
    return totals


def show(totals: dict[str, list[int]], words: bool) -> None:
    print(f"{'':32} {'sentences':>9} {'model':>7} {'baseline':>8} "
          f"{'dictionary':>10}")
    for group in sorted(totals, key=lambda g: (g != "all", g)):
        if group.startswith("word:") and not words:
            continue
        n, right, base, first = totals[group]
        print(f"{group.split(':')[-1]:32} {n:9} {right / n:7.1%} "
              f"{base / n:8.1%} {first / n:10.1%}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--model", type=Path, default=build.MODEL)
    parser.add_argument("--data", type=Path, default=build.DATA)
    parser.add_argument("--words", action="store_true",
                        help="also show every homograph")
    parser.add_argument("--tune", action="store_true",
                        help="retrain with each setting of a small grid")
    args = parser.parse_args()
    train, held_out = build.split(build.read_sentences(args.data))
    baseline = build.majority(train)
    print(f"{len(train)} training sentences, {len(held_out)} held out "
          f"({Counter(s.homograph for s in held_out).__len__()} homographs)")
    if not args.tune:
        show(score(Homographs.read(args.model), held_out, baseline),
             args.words)
        return 0
    table = build.read_table(build.TABLE)
    readings = build.read_readings(args.data)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "model.bin"
        for values in itertools.product(*GRID):
            settings = build.Settings(*values)
            build.train(train, readings, table, settings, path)
            n, right, *_ = score(Homographs.read(path), held_out,
                                baseline)["all"]
            print(f"{settings} {right / n:.2%} "
                  f"{path.stat().st_size:9} bytes", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
