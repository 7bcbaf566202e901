"""Both decoding routes over the shipped model's held-out words.

Decodes every word of data/en_us/test.dict with `phoneticize_paths` for
nbest 1, 5 and 10, once on the model's own route (the specialised lattice
search, falling back to OpenFst per word when it must) and once on the
forced OpenFst route, and compares the lists record by record: weights to
the bit, labels, phonemes and order. Prints the number of differences and
the share of calls each route answered.

    .venv/bin/python bench/route_differential.py [--limit N]
"""

import argparse
import collections
import os
import sys

import tamsu
from tamsu import _tamsu

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_MODEL = os.path.join(os.path.dirname(tamsu.__file__), "models",
                             "en_us.fst")
DEFAULT_WORDS = os.path.join(HERE, "..", "data", "en_us", "test.dict")


def records(paths):
    return [(p.path_weight, list(p.path_weights), list(p.ilabels),
             list(p.olabels), list(p.uniques)) for p in paths]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default=DEFAULT_MODEL)
    parser.add_argument("--words", default=DEFAULT_WORDS)
    parser.add_argument("--limit", type=int, default=0)
    args = parser.parse_args(argv)

    with open(args.words, encoding="utf-8") as f:
        words = list(dict.fromkeys(line.split()[0] for line in f
                                   if line.strip()))
    if args.limit:
        words = words[:args.limit]
    model = tamsu.Model(args.model)
    print(f"model {args.model}: planned route {_tamsu._route(model)[0]}")
    differences = 0
    for nbest in (1, 5, 10):
        routes = collections.Counter()
        for word in words:
            _tamsu._set_route(model, "auto")
            fast = records(model.phoneticize_paths(word, nbest=nbest))
            routes[_tamsu._route(model)[1]] += 1
            _tamsu._set_route(model, "openfst")
            reference = records(model.phoneticize_paths(word, nbest=nbest))
            if fast != reference:
                differences += 1
                print(f"DIFFERENT: {word!r} nbest={nbest}", file=sys.stderr)
        shares = ", ".join(f"{route} {count} ({100 * count / len(words):.2f}%)"
                           for route, count in sorted(routes.items()))
        print(f"nbest {nbest}: {len(words)} words; routes: {shares}")
    print(f"differences: {differences}")
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
