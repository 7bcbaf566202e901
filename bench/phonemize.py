"""Throughput, start-up and memory of `tamsu phonemize` on English prose.

    .venv/bin/python bench/phonemize.py [--reps 3] [--models en_us-ngram en_us]

The corpus is the sentences of the homograph data
(/work/shared/data/homographs/train/*.tsv, column "sentence", one per
line); words are counted as white-space separated pieces. Each figure is
the best of --reps runs of the command in a child process, wall clock,
start-up included; the load average before each run is printed, as the
machine may be shared. Then: --jobs 2 against --jobs 1, the start-up of a
one-word run, the peak resident memory over the corpus once and repeated
10 times, and the tokens the reader left unread (numbers, symbols) or
could not pronounce, by kind, with the commonest.
"""

import argparse
import collections
import csv
import glob
import os
import subprocess
import sys
import tempfile
import time
import warnings

CORPUS = "/work/shared/data/homographs/train/*.tsv"
TAMSU = os.path.join(os.path.dirname(sys.executable), "tamsu")


def sentences(pattern):
    out = []
    for path in sorted(glob.glob(pattern)):
        with open(path, newline="", encoding="utf-8") as stream:
            for row in csv.DictReader(stream, delimiter="\t"):
                out.append(" ".join(row["sentence"].split()))
    return out


def timed(args):
    """(wall seconds, processor seconds, peak resident KiB) of one run."""
    start = time.perf_counter()
    child = subprocess.Popen([TAMSU, "phonemize", *args],
                             stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"tamsu phonemize {' '.join(args)} failed ({status})")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def best(args, reps):
    runs = []
    for _ in range(reps):
        load = os.getloadavg()[0]
        runs.append((*timed(args), load))
    return min(runs)


def unread(lines, model):
    import tamsu
    g2p = tamsu.G2P(model)
    kinds = collections.Counter()
    examples = collections.Counter()
    tokens = 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", tamsu.G2PWarning)
        for found in g2p.phonemize_many(lines):
            tokens += len(found)
            for token in found:
                if token.problem is not None:
                    kinds[token.kind] += 1
                    examples[token.written] += 1
    return tokens, kinds, examples


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--models", nargs="+",
                        default=["en_us-ngram", "en_us"])
    parser.add_argument("--corpus", default=CORPUS)
    args = parser.parse_args()
    lines = sentences(args.corpus)
    words = sum(len(line.split()) for line in lines)
    with tempfile.TemporaryDirectory() as folder:
        once = os.path.join(folder, "corpus.txt")
        tenfold = os.path.join(folder, "corpus10.txt")
        with open(once, "w", encoding="utf-8") as out:
            out.writelines(line + "\n" for line in lines)
        with open(tenfold, "w", encoding="utf-8") as out:
            for _ in range(10):
                out.writelines(line + "\n" for line in lines)
        print(f"corpus: {len(lines)} sentences, {words} words; "
              f"{os.cpu_count()} processors")
        for model in args.models:
            for jobs in (1, 2):
                wall, cpu, rss, load = best(
                    ["-m", model, "--jobs", str(jobs), "-f", once], args.reps)
                print(f"{model} --jobs {jobs}: {wall:.2f} s wall "
                      f"({words / wall:,.0f} words/s), {cpu:.2f} s "
                      f"processor, load before {load:.2f}")
        wall, _, rss, load = best(["-m", "en_us-ngram", "Hello."],
                                  max(args.reps, 5))
        print(f"start-up (one word, en_us-ngram): {wall:.3f} s, "
              f"load before {load:.2f}")
        for name, path in (("corpus once", once), ("corpus x10", tenfold)):
            wall, _, rss = timed(["-m", "en_us-ngram", "-f", path])
            print(f"{name}: peak resident {rss / 1024:.1f} MiB "
                  f"({wall:.1f} s)")
    tokens, kinds, examples = unread(lines, args.models[0])
    print(f"tokens: {tokens}; not (wholly) pronounced: "
          f"{sum(kinds.values())} ({dict(kinds)})")
    print("commonest:", ", ".join(f"{text!r} {n}" for text, n
                                  in examples.most_common(12)))


if __name__ == "__main__":
    main()
