"""What re-ranking a model's n-best list can gain on the CMU dev tenth.

    .venv/bin/python bench/cmu_rescoring.py            # about 2 minutes

Trains, on the CMU training part minus the dev tenth (data/cmudict.py), the
shipped model's settings (L1: one grapheme per chunk, order 7, 700,000
n-grams) and three partners: right to left (R1), two graphemes per chunk
(L2), and a phoneme 7-gram (P: a model trained to spell each pronunciation
as itself, so that its best path weight is the pronunciation's phonotactic
cost). Then, on the dev tenth, it prints word error rates of:

- L1's best path, and how often a reference is among L1's k best (oracle);
- L1's 10 best re-ranked by the weight summed over all segmentations
  that spell the same phonemes (`accumulate=True`);
- L1's best with a per-phoneme length bonus or penalty;
- L1's k best re-ranked by a weighted sum of the partners' weights (a
  candidate a partner does not list among its 40 best gets that partner's
  worst weight plus 8), the weights chosen on one half of the dev words and
  measured on the other (two folds);
- the posterior sum of L1, L2 and R1 (tamsu.ensemble.Ensemble, depth 1).

Tune-only: the held-out test split is never read.
"""

from __future__ import annotations

import argparse
import hashlib
import math
import sys
import tempfile
import time
from pathlib import Path

from tamsu._tamsu import Model
from tamsu.ensemble import combine_posteriors
from tamsu.graphemes import (grapheme_form, is_reversed, normalise_word,
                             reverse_word)
from tamsu.lexicon import read_lexicon
from tamsu.training import train

ROOT = Path(__file__).resolve().parent.parent
SHIPPED = dict(max_graphemes=1, max_ngrams=700000)
PARTNERS = {"R1": dict(SHIPPED, reverse=True),
            "L2": dict(SHIPPED, max_graphemes=2)}
MISSING = 8.0  # added to a partner's worst weight for an unlisted candidate
GRID = (0.0, 0.25, 0.5, 0.75, 1.0, 1.5)

Listing = dict[str, list[tuple[tuple[str, ...], float]]]


def nbest_lists(path: str, words: list[str], depth: int, *,
                delim: str = "", spell=None, accumulate: bool = False
                ) -> Listing:
    """word -> [(phonemes, weight)] best first, as the model ranks them."""
    model = Model(path, delim)
    form, backwards = grapheme_form(model), is_reversed(model)
    texts: dict[int, str] = {}
    out: Listing = {}
    for word in words:
        query = spell(word) if spell else normalise_word(word, form)
        if backwards:
            query = reverse_word(query, delim)
        found = []
        for p in model.phoneticize_paths(query, nbest=depth,
                                         accumulate=accumulate):
            phonemes = [texts.setdefault(label, model.find_osym(label) or "")
                        for label in p.uniques]
            if backwards:
                phonemes.reverse()
            found.append((tuple(phonemes), p.path_weight))
        out[word] = found
    return out


def error_rate(choice: dict[str, tuple[str, ...]],
               references: dict[str, set[tuple[str, ...]]],
               words: list[str]) -> float:
    wrong = sum(choice.get(w, ()) not in references[w] for w in words)
    return 100.0 * wrong / len(words)


def rescored(main: Listing, partners: list[dict], weights: list[float],
             k: int, words: list[str]) -> dict[str, tuple[str, ...]]:
    choice = {}
    for w in words:
        def cost(candidate: tuple[tuple[str, ...], float]) -> float:
            total = candidate[1]
            for table, weight in zip(partners, weights):
                if weight:
                    listed = table[w]
                    total += weight * listed.get(
                        candidate[0], max(listed.values(), default=0.0)
                        + MISSING)
            return total
        if main[w]:
            choice[w] = min(main[w][:k], key=cost)[0]
    return choice


def tuned(main: Listing, partners: list[dict], k: int, words: list[str],
          references) -> list[float]:
    """Coordinate search over GRID, two sweeps."""
    weights = [0.0] * len(partners)
    best = error_rate(rescored(main, partners, weights, k, words),
                      references, words)
    for _ in range(2):
        for i in range(len(partners)):
            for value in GRID:
                trial = weights[:i] + [value] + weights[i + 1:]
                rate = error_rate(rescored(main, partners, trial, k, words),
                                  references, words)
                if rate < best - 1e-9:
                    best, weights = rate, trial
    return weights


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--k", type=int, default=2,
                        help="candidates of L1 that rescoring chooses from")
    args = parser.parse_args()
    sys.path.insert(0, str(ROOT / "data"))
    import cmudict
    paths = cmudict.prepare(ROOT / "data" / "cache",
                            ROOT / "data" / "en_us" / "test.dict")
    dev = read_lexicon(paths["dev"]).references()
    words = list(dev)
    references = {w: {tuple(v) for v in variants}
                  for w, variants in dev.items()}
    halves = [[w for w in words
               if hashlib.sha256(w.encode()).digest()[0] % 2 == h]
              for h in (0, 1)]

    with tempfile.TemporaryDirectory() as folder:
        models = {}
        for name, settings in [("L1", SHIPPED), *PARTNERS.items()]:
            models[name] = f"{folder}/{name}.fst"
            started = time.monotonic()
            train(paths["fit"], models[name], threads=2, progress=False,
                  **settings)
            print(f"trained {name} in {time.monotonic() - started:.1f} s",
                  flush=True)
        pronunciations = [(" ".join(e.phonemes), e.phonemes)
                          for e in read_lexicon(paths["fit"]).entries]
        models["P"] = f"{folder}/P.fst"
        train(pronunciations, models["P"], delim=" ", max_graphemes=1,
              max_phonemes=1, max_deleted=0, threads=2, progress=False)

        started = time.monotonic()
        l1 = nbest_lists(models["L1"], words, 8)
        print(f"L1 8-best: {1000 * (time.monotonic() - started) / len(words):.3f}"
              " ms per word", flush=True)
        best = {w: l1[w][0][0] for w in words if l1[w]}
        print(f"L1 best path                      {error_rate(best, references, words):6.2f}")
        for k in (2, 3, 5, 8):
            oracle = sum(not any(c in references[w] for c, _ in l1[w][:k])
                         for w in words)
            print(f"L1 oracle of the {k} best          "
                  f"{100.0 * oracle / len(words):6.2f}")
        summed = nbest_lists(models["L1"], words, 10, accumulate=True)
        choice = {w: min(summed[w], key=lambda c: c[1])[0]
                  for w in words if summed[w]}
        print(f"L1 10 best, summed segmentations  {error_rate(choice, references, words):6.2f}")
        for bonus in (-0.5, -0.25, 0.25, 0.5):
            choice = {w: min(l1[w], key=lambda c: c[1] + bonus * len(c[0]))[0]
                      for w in words if l1[w]}
            print(f"L1 8 best, {bonus:+.2f} per phoneme      "
                  f"{error_rate(choice, references, words):6.2f}")

        tables = {name: {w: dict(v) for w, v in nbest_lists(
            models[name], words, 40).items()} for name in PARTNERS}
        phonotactic = Model(models["P"], " ")
        tables["P"] = {}
        for w in words:
            scores = {}
            for candidate, _ in l1[w][:args.k]:
                found = (phonotactic.phoneticize_paths(" ".join(candidate))
                         if candidate else [])
                scores[candidate] = found[0].path_weight if found else 50.0
            tables["P"][w] = scores
        for names in (["R1"], ["L2"], ["P"], ["R1", "L2"], ["R1", "L2", "P"]):
            partners = [tables[n] for n in names]
            folds = []
            for tune_on, measure_on in ((0, 1), (1, 0)):
                weights = tuned(l1, partners, args.k, halves[tune_on],
                                references)
                folds.append((weights, error_rate(
                    rescored(l1, partners, weights, args.k,
                             halves[measure_on]),
                    references, halves[measure_on]) * len(halves[measure_on])))
            rate = sum(f[1] for f in folds) / len(words)
            print(f"L1 {args.k} best + {'+'.join(names):9} (two folds)   "
                  f"{rate:6.2f}   weights {folds[0][0]} / {folds[1][0]}")

        choice = {}
        for w in words:
            firsts = [l1[w][:1]] + [
                sorted(tables[n][w].items(), key=lambda c: c[1])[:1]
                for n in PARTNERS]
            ranked = combine_posteriors(firsts, normalise=False)
            if ranked:
                choice[w] = ranked[0][0]
        print(f"posterior sum L1+L2+R1 (depth 1)  {error_rate(choice, references, words):6.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
