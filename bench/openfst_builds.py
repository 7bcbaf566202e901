"""Decoding with the bundled OpenFst against the system one.

Runs the same decoding in two installations of tamsu, one built against the
system's OpenFst (./setup.sh: .venv) and one against the bundled 1.8.3
(.ci/run: build-bundled/venv), in fresh interpreters and interleaved so that
load from other processes falls on both alike. Each run decodes the shipped
model's held-out words (data/en_us/test.dict) with `phoneticize_paths` for
nbest 1 and 5 on the specialised route and on the forced OpenFst route,
counting processor time. Prints words per second (medians), the bundled
build's cost against the system's, and whether every answer (weights to the
bit, labels, order) is the same in both.

    .venv/bin/python bench/openfst_builds.py [--reps 5] [--limit N]
"""

import argparse
import statistics
import subprocess

RUN = """
import hashlib, os, sys, time, tamsu
from tamsu import _tamsu
words = [line.split("\\t")[0] for line in open(sys.argv[1], encoding="utf-8")]
words = list(dict.fromkeys(words))[:int(sys.argv[2]) or None]
model = tamsu.Model(os.path.join(os.path.dirname(tamsu.__file__), "models",
                                 "en_us.fst"))
for route in ("own", "openfst"):
    if route == "openfst":
        _tamsu._set_route(model, "openfst")
    for nbest in (1, 5):
        digest = hashlib.sha256()
        begin = time.process_time()
        for word in words:
            for p in model.phoneticize_paths(word, nbest=nbest):
                digest.update(repr((p.path_weight, list(p.path_weights),
                    list(p.ilabels), list(p.olabels))).encode())
        rate = len(words) / (time.process_time() - begin)
        print(f"{route} nbest={nbest}", rate, digest.hexdigest(), sep="\\t")
"""


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--system", default=".venv/bin/python")
    parser.add_argument("--bundled", default="build-bundled/venv/bin/python")
    parser.add_argument("--words", default="data/en_us/test.dict")
    parser.add_argument("--limit", type=int, default=0)
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args(argv)
    rates, digests = {}, {}
    for _ in range(args.reps):
        for build in ("system", "bundled"):
            out = subprocess.run(
                [getattr(args, build), "-c", RUN, args.words, str(args.limit)],
                check=True, capture_output=True, text=True).stdout
            for line in out.splitlines():
                case, rate, digest = line.split("\t")
                rates.setdefault((case, build), []).append(float(rate))
                digests.setdefault(case, set()).add(digest)
    for case in digests:
        system = statistics.median(rates[case, "system"])
        bundled = statistics.median(rates[case, "bundled"])
        same = "same answers" if len(digests[case]) == 1 else "ANSWERS DIFFER"
        print(f"{case:<18} system {system:9.1f} words/s   bundled "
              f"{bundled:9.1f} words/s   cost x{system / bundled:.3f}   "
              + same)


if __name__ == "__main__":
    main()
