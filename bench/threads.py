"""Words per second on 1, 2 and 4 native threads over one shared model,
and the resident memory with each, in one run that also records the
processor count and load average (threads only scale onto idle cores).

    .venv/bin/python bench/threads.py [--words 20000] [--reps 3]

Decodes the shipped model's dictionary words (every k-th, in order) with
tamsu._batch.BatchDecoder: each thread count in turn, interleaved over the
repetitions so that other load falls on each alike; the best repetition
counts. Then `G2P.map(jobs=N)` (dictionary off, so every word is decoded)
and a G2P called from a ThreadPoolExecutor of 8 threads against a plain
loop. Resident memory is read after each count's runs: it grows by the
threads' own working memory only, the model is never copied.
"""

import argparse
import gzip
import os
import time
from concurrent.futures import ThreadPoolExecutor

import tamsu
from tamsu._batch import BatchDecoder
from tamsu import default_model_path

THREADS = (1, 2, 4)


def resident_kib():
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def dictionary_words(count):
    path = default_model_path().replace(".fst", ".dict.gz")
    with gzip.open(path, "rt", encoding="utf-8") as f:
        words = [line.split("\t", 1)[0] for line in f]
    step = max(len(words) // count, 1)
    return words[::step][:count]


def best_rate(runs, words):
    return len(words) / min(runs)


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--words", type=int, default=20000)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    words = dictionary_words(args.words)
    print(f"processors: {os.cpu_count()}, load average before: "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"{len(words)} dictionary words, model {default_model_path()}")
    base = resident_kib()
    decoder = BatchDecoder(default_model_path())
    print(f"resident: {base} KiB before the model, {resident_kib()} KiB "
          f"with it")
    times = {n: [] for n in THREADS}
    memory = {}
    for _ in range(args.reps):
        for n in THREADS:
            times[n].append(timed(lambda: decoder.decode(words, threads=n)))
            memory[n] = resident_kib()
    one = best_rate(times[1], words)
    for n in THREADS:
        rate = best_rate(times[n], words)
        print(f"BatchDecoder, {n} thread(s): {rate:8.0f} words/s "
              f"({rate / one:.2f}x of 1), resident {memory[n]} KiB "
              f"({memory[n] / memory[1]:.3f}x of 1)")
    g2p = tamsu.G2P("en_us-ngram", None)  # the model BatchDecoder loads
    maps = {n: min(timed(lambda: list(g2p.map(words, jobs=n)))
                   for _ in range(args.reps)) for n in (1, 2)}
    print(f"G2P.map: jobs=1 {len(words) / maps[1]:.0f} words/s, jobs=2 "
          f"{len(words) / maps[2]:.0f} words/s ({maps[1] / maps[2]:.2f}x)")
    loop = timed(lambda: [g2p(w) for w in words])
    with ThreadPoolExecutor(8) as pool:
        pooled = timed(lambda: list(pool.map(g2p, words, chunksize=64)))
    print(f"G2P in 8 pool threads: {len(words) / pooled:.0f} words/s against "
          f"{len(words) / loop:.0f} in a plain loop ({loop / pooled:.2f}x), "
          f"resident {resident_kib()} KiB")
    print(f"load average after: "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
