"""Decoding speed of tamsu from Python against bare OpenFst in C++.

Times `phoneticize` and `phoneticize_paths(nbest=5)` and `(nbest=10)` over
the word list, each on the model's own route (the specialised lattice
search) and on the forced OpenFst route, and the baseline program
(bench/baseline.cc: composition and n-shortest search with nothing of
tamsu's) over the same model and words. The repetitions are interleaved,
so that load from other processes falls on each alike, and all count
processor time; the best and the median of each are reported. The goal is a
`phoneticize` at least 5 times as fast as the baseline (bar: 3 times).

    .venv/bin/python bench/make_model.py
    ninja -C build bench/baseline
    .venv/bin/python bench/bench_decode.py --baseline build/bench/baseline

`--against PYTHON` also times another build (the interpreter of its venv,
say an older commit's) on the same words in each repetition, in a
process of its own, and prints this build's cost against it. `--count N`
takes the first N words.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

import tamsu
from tamsu import _tamsu

# Run by the --against interpreter: microseconds of processor time per word
# for phoneticize and for nbest 5 and 10.
OTHER_BUILD = """
import sys, time, tamsu
model = tamsu.Model(sys.argv[1])
words = [w.strip() for w in open(sys.argv[2], encoding="utf-8") if w.strip()]
words = words[:int(sys.argv[3])]
def cost(method):
    begin = time.process_time()
    for word in words:
        method(word)
    return 1e6 * (time.process_time() - begin) / len(words)
cost(model.phoneticize)  # warm caches
print(cost(model.phoneticize),
      *(cost(lambda w: model.phoneticize_paths(w, nbest=n)) for n in (5, 10)))
"""


def words_per_second(method, words):
    # Processor time, as the baseline counts it: other jobs on the same
    # cores disturb it far less than wall time.
    begin = time.process_time()
    for word in words:
        method(word)
    return len(words) / (time.process_time() - begin)


def run_baseline(baseline, model, words_path, *extra):
    result = subprocess.run([baseline, model, words_path, *extra],
                            check=True, capture_output=True, text=True)
    return result.stdout


def baseline_words_per_second(baseline, model, words_path, symbols):
    extra = ["--reps", "1"] + (["--symbols"] if symbols else [])
    out = run_baseline(baseline, model, words_path, *extra)
    return float(re.search(r"([0-9.]+) words/s \(cpu\)", out).group(1))


def agreement(baseline, model_path, words_path, model, words):
    """How many words get the same best phonemes from both decoders (ties
    between equally good paths may be broken differently)."""
    out = run_baseline(baseline, model_path, words_path, "--print")
    theirs = dict(line.split("\t", 1) for line in out.splitlines())
    same = sum(theirs.get(w) == " ".join(model.phoneticize(w)) for w in words)
    return same


def describe(name, rates, reference=None):
    best, median = max(rates), statistics.median(rates)
    line = (f"{name:<34} best {best:9.1f} words/s ({1e6 / best:7.1f} us/word)"
            f"   median {median:9.1f} words/s")
    if reference is not None:
        line += (f"   cost x{max(reference) / best:.3f} (best), "
                 f"x{statistics.median(reference) / median:.3f} (median)")
    return line


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default="build-bench/model.fst")
    parser.add_argument("--words", default="build-bench/words.txt")
    parser.add_argument("--baseline", default="build/bench/baseline",
                        help="the baseline program (ninja -C build "
                             "bench/baseline)")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--count", type=int, default=0,
                        help="decode the first COUNT words (default: all)")
    parser.add_argument("--against", metavar="PYTHON",
                        help="also time the build of this interpreter")
    args = parser.parse_args(argv)

    for path in (args.model, args.words):
        if not os.path.exists(path):
            sys.exit(f"{path} is missing: run bench/make_model.py first")
    if not os.access(args.baseline, os.X_OK):
        sys.exit(f"{args.baseline} is missing: build it with "
                 f"ninja -C build bench/baseline")
    with open(args.words, encoding="utf-8") as f:
        words = [line.strip() for line in f if line.strip()]
    if args.count:
        words = words[:args.count]
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False,
                                         encoding="utf-8") as f:
            f.write("\n".join(words) + "\n")
        args.words = f.name
    print(f"processors: {os.cpu_count()}, load average: "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    model = tamsu.Model(args.model)
    print(f"planned route: {_tamsu._route(model)[0]}")

    def on_route(route, method):
        def call(word):
            _tamsu._set_route(model, route)
            return method(word)
        return call

    def nbest(n):
        return lambda word: model.phoneticize_paths(word, nbest=n)

    decoders = {
        "phoneticize": on_route("auto", model.phoneticize),
        "phoneticize [OpenFst route]": on_route("openfst", model.phoneticize),
        "paths(nbest=5)": on_route("auto", nbest(5)),
        "paths(nbest=5) [OpenFst route]": on_route("openfst", nbest(5)),
        "paths(nbest=10)": on_route("auto", nbest(10)),
        "paths(nbest=10) [OpenFst route]": on_route("openfst", nbest(10)),
    }
    words_per_second(model.phoneticize, words[:200])  # warm caches
    rates = {"baseline": [], **{name: [] for name in decoders}}
    other = []
    for _ in range(args.reps):
        if args.against:
            out = subprocess.run([args.against, "-c", OTHER_BUILD, args.model,
                                  args.words, str(len(words))], check=True,
                                 capture_output=True, text=True).stdout
            other.append([1e6 / float(x) for x in out.split()])
        rates["baseline"].append(baseline_words_per_second(
            args.baseline, args.model, args.words, symbols=False))
        for name, decoder in decoders.items():
            rates[name].append(words_per_second(decoder, words))
    _tamsu._set_route(model, "auto")

    print(f"model {args.model}, {len(words)} words, {args.reps} repetitions"
          f" (interleaved), processor time")
    print(describe("baseline (C++, OpenFst only)", rates["baseline"]))
    for name in decoders:
        reference = ("baseline" if name.startswith("phoneticize") and
                     "OpenFst" not in name else None)
        print(describe("tamsu " + name, rates[name],
                       rates["baseline"] if reference else None))
    median = statistics.median
    cost = median(rates["baseline"]) / median(rates["phoneticize"])
    print(f"phoneticize / baseline cost (medians): {cost:.3f} "
          f"({1 / cost:.2f}x faster; goal 5x, bar 3x)")
    for n in (5, 10):
        fast = median(rates[f"paths(nbest={n})"])
        slow = median(rates[f"paths(nbest={n}) [OpenFst route]"])
        print(f"phoneticize_paths(nbest={n}): {fast / slow:.2f}x the OpenFst "
              f"route (medians)")
    if other:
        names = ("phoneticize", "paths(nbest=5)", "paths(nbest=10)")
        for i, name in enumerate(names):
            theirs = median([rates[i] for rates in other])
            print(f"{name}: cost x{theirs / median(rates[name]):.3f} of "
                  f"{args.against}'s (medians; {1e6 / theirs:.1f} us/word "
                  f"there)")
    same = agreement(args.baseline, args.model, args.words, model, words)
    print(f"same best phonemes as the baseline: {same} of {len(words)} words")
    print(f"load average after: "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    if args.count:
        os.remove(args.words)


if __name__ == "__main__":
    main()
