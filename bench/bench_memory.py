"""Memory over a long run: decodes about a million words with one model and
prints the resident set size as it goes. A decoder that frees everything it
builds per call shows the same size in the middle and at the end as after
the first few thousand words.

    .venv/bin/python bench/bench_memory.py [--count 1000000] [--nbest 5]

With --nbest 0 (the default) it calls `phoneticize`; otherwise
`phoneticize_paths(word, nbest=N)`, whose records are dropped at once.
"""

import argparse
import gc
import os
import sys
import time

import tamsu


def memory_kib():
    """(current, peak) resident set size in KiB, from /proc/self/status."""
    fields = {}
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                fields[name] = int(value.split()[0])
    return fields["VmRSS"], fields["VmHWM"]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default="build-bench/model.fst")
    parser.add_argument("--words", default="build-bench/words.txt")
    parser.add_argument("--count", type=int, default=1_000_000,
                        help="words to decode, the list repeated "
                             "(default: 1000000)")
    parser.add_argument("--nbest", type=int, default=0)
    parser.add_argument("--reports", type=int, default=10)
    args = parser.parse_args(argv)

    for path in (args.model, args.words):
        if not os.path.exists(path):
            sys.exit(f"{path} is missing: run bench/make_model.py first")
    with open(args.words, encoding="utf-8") as f:
        words = [line.strip() for line in f if line.strip()]
    before = memory_kib()
    model = tamsu.Model(args.model)
    if args.nbest:
        def decode(word):
            return model.phoneticize_paths(word, nbest=args.nbest)
        name = f"phoneticize_paths(nbest={args.nbest})"
    else:
        decode = model.phoneticize
        name = "phoneticize"
    print(f"{name} on {args.count} words ({len(words)} distinct)")
    print(f"{'words':>9} {'seconds':>8} {'RSS KiB':>9} {'peak KiB':>9}")
    print(f"{'no model':>9} {'':>8} {before[0]:9d} {before[1]:9d}")

    step = max(1, args.count // args.reports)
    begin = time.perf_counter()
    done = 0
    first = None
    while done < args.count:
        for word in words[:min(len(words), args.count - done)]:
            decode(word)
            done += 1
            if done % step == 0 or done == min(len(words), 1000):
                gc.collect()
                rss, peak = memory_kib()
                if first is None:
                    first = rss
                print(f"{done:9d} {time.perf_counter() - begin:8.1f} "
                      f"{rss:9d} {peak:9d}", flush=True)
    rss, peak = memory_kib()
    print(f"growth after the first {min(len(words), 1000)} words: "
          f"{rss - first:+d} KiB over {done} words")


if __name__ == "__main__":
    main()
