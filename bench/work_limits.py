"""Measures how large the lattices and searches of a model's real words grow,
against the decoder's work limits (the WorkLimits defaults in
src/nbest/path_data.h): the largest lattice (states + arcs of the expanded
composition, per acceptor state) and the most partial paths one search held
(per acceptor state and per path requested), over every word of a lexicon."""

import argparse
import gzip
import os

import tamsu
from tamsu import _tamsu

HERE = os.path.dirname(os.path.abspath(__file__))
SHIPPED = os.path.join(HERE, "..", "src", "tamsu", "models")


def words_of(path):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt", encoding="utf-8") as f:
        return sorted({line.split("\t")[0].split()[0] for line in f
                       if line.strip() and not line.startswith("#")})


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--model", default=os.path.join(SHIPPED, "en_us.fst"))
    parser.add_argument("--words", default=os.path.join(SHIPPED, "en_us.dict.gz"))
    parser.add_argument("--nbest", type=int, nargs="+", default=[1, 10, 100])
    parser.add_argument("--every", type=int, default=1,
                        help="decode every Nth word only")
    args = parser.parse_args()
    model = tamsu.Model(args.model)
    words = words_of(args.words)[::args.every]
    for nbest in args.nbest:
        request = max(8 * nbest, 16)
        worst = {"lattice": (0, 0, ""), "lattice/position": (0, 0, ""),
                 "pairs": (0, 0, ""), "pairs/(position*request)": (0, 0, "")}
        failures = {}
        for word in words:
            model.phoneticize_paths(word, nbest=nbest)
            failure = _tamsu._last_failure(model)
            failures[failure] = failures.get(failure, 0) + 1
            lattice, pairs = _tamsu._last_work(model)
            positions = len(word) + 1
            for key, value in (("lattice", lattice),
                               ("lattice/position", lattice / positions),
                               ("pairs", pairs),
                               ("pairs/(position*request)",
                                pairs / (positions * request))):
                if value > worst[key][0]:
                    worst[key] = (value, len(word), word)
        print(f"nbest {nbest}: {len(words)} words, failures {failures}")
        for key, (value, length, word) in worst.items():
            print(f"  largest {key}: {value:.1f} ({word!r}, {length} letters)")


if __name__ == "__main__":
    main()
