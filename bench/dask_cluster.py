"""Dask's overhead against threads on one machine: the same words through
`tamsu apply --jobs 2` and through `tamsu apply --scheduler` on a
distributed.LocalCluster of 2 single-threaded worker processes.

    .venv/bin/python bench/dask_cluster.py [--count 100000] [--words FILE]

The words are the first COUNT of FILE (default: Debian's wamerican,
/usr/share/dict/american-english, whose words the model mostly decodes;
`--words dictionary` takes the shipped dictionary's, every k-th, which
mostly measures fixed costs), written to a file; both runs must print the
same lexicon. The cluster is started before the
clock starts (as a running cluster would be), so the Dask figure counts
connecting, shipping tasks and answers, and each worker loading the model.
Prints the processor count and the load average with the times.
"""

import argparse
import gzip
import os
import subprocess
import sys
import tempfile
import time

from distributed import LocalCluster

from tamsu import default_model_path


def timed_apply(words_file, *options):
    start = time.perf_counter()
    # The shipped n-gram model (the default is the slower neural bundle).
    out = subprocess.run([sys.executable, "-m", "tamsu", "apply", "-m",
                          "en_us-ngram", "-f", words_file, *options],
                         capture_output=True,
                         check=True).stdout
    return time.perf_counter() - start, out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=100000)
    parser.add_argument("--words", default="/usr/share/dict/american-english")
    args = parser.parse_args()
    if args.words == "dictionary":
        path = default_model_path().replace(".fst", ".dict.gz")
        with gzip.open(path, "rt", encoding="utf-8") as f:
            words = [line.split("\t", 1)[0] for line in f]
        words = words[::max(len(words) // args.count, 1)]
    else:
        with open(args.words, encoding="utf-8") as f:
            words = [line.strip() for line in f if line.strip()]
    words = words[:args.count]
    print(f"processors: {os.cpu_count()}, load average: "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    with tempfile.NamedTemporaryFile("w", suffix=".txt") as listing, \
            LocalCluster(n_workers=2, threads_per_worker=1,
                         dashboard_address=None) as cluster:
        listing.write("\n".join(words) + "\n")
        listing.flush()
        local, expected = timed_apply(listing.name, "--jobs", "2")
        dask, got = timed_apply(listing.name, "--scheduler",
                                cluster.scheduler_address)
    assert got == expected, "the cluster's lexicon differs"
    print(f"{len(words)} words: --jobs 2 {local:.2f} s, --scheduler "
          f"(2 workers) {dask:.2f} s: {dask / local:.2f}x the wall time")
    print(f"load average after: "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
