"""Cost of tamsu.pool.ordered_map against multiprocessing.Pool.imap.

    python bench/pool_overhead.py [--items 400000] [--reps 3]

Both pools upper-case the same strings in two forkserver workers, 256 per
chunk, so the time is nearly all the pools' own: starting the workers,
moving chunks and results, keeping the order. The repetitions interleave the
two so that load from other processes falls on both alike.
"""

import argparse
import multiprocessing
import statistics
import time

from tamsu.pool import ordered_map

CHUNK = 256


def upper(chunk):
    return [text.upper() for text in chunk]


def with_ordered_map(items):
    return list(ordered_map(upper, items, jobs=2, chunk_size=CHUNK))


def with_pool_imap(items):
    chunks = (items[i:i + CHUNK] for i in range(0, len(items), CHUNK))
    with multiprocessing.get_context("forkserver").Pool(2) as pool:
        return [text for result in pool.imap(upper, chunks) for text in result]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--items", type=int, default=400_000)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    items = [f"word{i}" for i in range(args.items)]
    times: dict[str, list[float]] = {"ordered_map": [], "Pool.imap": []}
    for _ in range(args.reps):
        for name, run in (("ordered_map", with_ordered_map),
                          ("Pool.imap", with_pool_imap)):
            started = time.perf_counter()
            assert run(items) == upper(items)
            times[name].append(time.perf_counter() - started)
    for name, seconds in times.items():
        print(f"{name:12} best {min(seconds):.2f} s   "
              f"median {statistics.median(seconds):.2f} s")


if __name__ == "__main__":
    main()
