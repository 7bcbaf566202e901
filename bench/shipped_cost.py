"""What a word the dictionary lacks costs with each shipped model.

    .venv/bin/python bench/shipped_cost.py [--count N] [--reps R]

Decodes the first N distinct held-out words (data/en_us/test.dict, never
looked up in the dictionary) with `G2P(name, dictionary=None)` for each
shipped model, on one thread: all at once through `G2P.map`, and one word
per call (`g2p(word)`). Prints the processor milliseconds per word (the best
of R repetitions, interleaved so that other load falls on each alike) and
the machine's load average: `models show` and `apply --help` quote the
`map` figures.
"""

from __future__ import annotations

import argparse
import os
import time
from pathlib import Path

from tamsu import G2P
from tamsu.catalogue import SHIPPED
from tamsu.lexicon import read_lexicon

TEST = Path(__file__).resolve().parent.parent / "data" / "en_us" / "test.dict"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    words = list(dict.fromkeys(
        e.word for e in read_lexicon(TEST).entries))[:args.count]
    models = {name: G2P(name, dictionary=None) for name in SHIPPED}
    best: dict[tuple[str, str], float] = {}
    for _ in range(args.reps):
        for name, g2p in models.items():
            for how, run in (("map", lambda: list(g2p.map(words))),
                             ("per word", lambda: [g2p(w) for w in words])):
                started = time.process_time()
                run()
                ms = 1000 * (time.process_time() - started) / len(words)
                key = (name, how)
                best[key] = min(best.get(key, ms), ms)
    print(f"{len(words)} held-out words, one thread, processor time, best "
          f"of {args.reps}; load average {os.getloadavg()[0]:.2f}")
    for (name, how), ms in best.items():
        print(f"{name:12} {how:9} {ms:7.3f} ms per word")


if __name__ == "__main__":
    main()
