"""The bundle's n-gram list from both searches over the held-out words.

Decodes every distinct word of data/en_us/test.dict with the shipped n-gram
model as the bundle lists candidates (`BatchDecoder.decode(words, depth,
depth, None, None, False, threads)`), once with search="paths" (the
n-shortest replay, Model's order) and once with search="pronunciations"
(best first over pronunciations), and compares the lists: the same
pronunciations with the same weights (to 1e-5) in the same order, order
aside within ties, and lists the pronunciation search made longer where the
path search stopped at its request cap. Then times both searches, the
repetitions interleaved, in processor time.

    .venv/bin/python bench/pronunciation_search.py [--depth 10] [--limit N]
"""

import argparse
import os
import statistics
import sys
import time

import tamsu
from tamsu._batch import BatchDecoder

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_MODEL = os.path.join(os.path.dirname(tamsu.__file__), "models",
                             "en_us.fst")
DEFAULT_WORDS = os.path.join(HERE, "..", "data", "en_us", "test.dict")
SEARCHES = ("paths", "pronunciations")


def close(a, b):
    return abs(a - b) <= 1e-5


def compare(old, new):
    """'same', 'same but ties in another order', 'longer' or 'different'."""
    if len(new) > len(old):
        agree = compare(old, new[:len(old)]) != "different"
        return "longer" if agree else "different"
    if len(new) != len(old):
        return "different"
    if [p for p, _ in new] == [p for p, _ in old]:
        same = all(close(a, b) for (_, a), (_, b) in zip(old, new))
        return "same" if same else "different"
    if not all(close(a, b) for (_, a), (_, b) in zip(old, new)):
        return "different"
    old_weights, new_weights = dict(old), dict(new)
    if any(not close(old_weights[p], new_weights[p])
           for p in old_weights.keys() & new_weights.keys()):
        return "different"
    # Sets may differ only by a tie cut at the end of the list.
    if any(not close(old_weights.get(p, new_weights.get(p)), old[-1][1])
           for p in old_weights.keys() ^ new_weights.keys()):
        return "different"
    return "ties"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default=DEFAULT_MODEL)
    parser.add_argument("--words", default=DEFAULT_WORDS)
    parser.add_argument("--depth", type=int, default=10)
    parser.add_argument("--limit", type=int, default=0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)

    with open(args.words, encoding="utf-8") as f:
        words = list(dict.fromkeys(line.split()[0] for line in f
                                   if line.strip()))
    if args.limit:
        words = words[:args.limit]
    decoder = BatchDecoder(args.model)
    request = (words, args.depth, args.depth, None, None, False, 1)

    def run(search):
        return decoder.decode(*request, search=search)

    lists = {search: run(search) for search in SEARCHES}
    verdicts = {"same": 0, "ties": 0, "longer": 0, "different": 0}
    exact = 0
    for word, (old, _), (new, _) in zip(words, *lists.values(), strict=True):
        verdict = compare(old, new)
        verdicts[verdict] += 1
        exact += old == new
        if verdict != "same":
            print(f"{verdict.upper()}: {word!r}\n  paths: {old}\n"
                  f"  pronunciations: {new}", file=sys.stderr)
    print(f"{len(words)} words, depth {args.depth}: "
          + ", ".join(f"{k} {v}" for k, v in verdicts.items())
          + f"; identical to the bit {exact}")

    costs = {search: [] for search in SEARCHES}
    for _ in range(args.repeat):
        for search in SEARCHES:
            begin = time.process_time()
            run(search)
            costs[search].append(
                1e6 * (time.process_time() - begin) / len(words))
    for search in SEARCHES:
        print(f"search={search!r}: best {min(costs[search]):.1f} us/word, "
              f"median {statistics.median(costs[search]):.1f}")
    best = {search: min(costs[search]) for search in SEARCHES}
    print(f"speed-up (best): {best['paths'] / best['pronunciations']:.2f}x")
    return 1 if verdicts["different"] else 0


if __name__ == "__main__":
    sys.exit(main())
