"""Speed-up of `tamsu apply --jobs N` over one process on a long word list.

    python bench/apply_jobs.py [WORDS] [--jobs 2] [--model PATH]

WORDS defaults to the words of data/en_us/test.dict repeated to 60,000
lines. Prints the wall-clock time of each run and the speed-up; the outputs
of both runs must be identical.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def word_list(path: Path, count: int) -> list[str]:
    words = list(dict.fromkeys(
        line.split("\t", 1)[0] for line in path.read_text().splitlines()))
    return (words * (count // len(words) + 1))[:count]


def timed_apply(words_file: str, jobs: int, model: list[str]) -> tuple[float, bytes]:
    started = time.monotonic()
    result = subprocess.run(
        [sys.executable, "-m", "tamsu", "apply", "-f", words_file,
         "--jobs", str(jobs), "--no-progress", *model],
        capture_output=True, check=True)
    return time.monotonic() - started, result.stdout


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("words", nargs="?")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--count", type=int, default=60_000)
    parser.add_argument("--model", default="en_us-ngram")
    args = parser.parse_args()
    model = ["--model", args.model] if args.model else []
    with tempfile.TemporaryDirectory() as directory:
        words_file = args.words
        if words_file is None:
            words_file = os.path.join(directory, "words.txt")
            words = word_list(ROOT / "data" / "en_us" / "test.dict", args.count)
            Path(words_file).write_text("\n".join(words) + "\n")
        serial, out1 = timed_apply(words_file, 1, model)
        parallel, out2 = timed_apply(words_file, args.jobs, model)
        count = len(Path(words_file).read_text().splitlines())
    if out1 != out2:
        print("outputs differ", file=sys.stderr)
        return 1
    print(f"1 job: {serial:.2f} s ({count / serial:.0f} words/s)   "
          f"{args.jobs} jobs: {parallel:.2f} s ({count / parallel:.0f} "
          f"words/s)   speed-up: {serial / parallel:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
