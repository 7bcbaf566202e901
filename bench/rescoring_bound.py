"""What the exact bound saves when the shipped bundle rescores its n-gram
list, and proof that it changes no answer.

    nice -n 10 .venv/bin/python bench/rescoring_bound.py [--words N]

Decodes the held-out words of data/en_us/test.dict (each word once, all
of them unless --words takes the first N) with the shipped bundle
(src/tamsu/models/en_us.bundle), the dictionary unused: once scoring every
candidate of the n-gram list with the neural model, once with the bound
(tamsu.decoders: the candidates best n-gram score first, stopping when no
candidate left can rank among the answers). It prints, for nbest 1 and 3,
how many words get identical answers (phonemes, order and weights, to the
last bit) and the candidates the neural model scored per word each way.
Timings are printed too, but mean something only on an idle machine.
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

from tamsu.bundle import read_bundle
from tamsu.decoders import RescoringDecoder, SearchOptions
from tamsu.lexicon import read_lexicon
from tamsu.normalise import plain_spelling

ROOT = Path(__file__).resolve().parent.parent
BUNDLE = ROOT / "src" / "tamsu" / "models" / "en_us.bundle"
TEST = ROOT / "data" / "en_us" / "test.dict"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--words", type=int, default=None,
                        help="the first N distinct words only")
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    bundle = read_bundle(BUNDLE)
    words = list(dict.fromkeys(e.word for e in read_lexicon(TEST).entries))
    if args.words is not None:
        words = words[:args.words]
    for nbest in (1, 3):
        options = SearchOptions(nbest=nbest)
        full = RescoringDecoder(bundle, "", options, exhaustive=True)
        bound = RescoringDecoder(bundle, "", options)
        parts = [plain_spelling(w, full.alphabet) for w in words]
        kept = [p for p in parts if p]
        timings = {}
        answers = {}
        for name, decoder in (("full", full), ("bound", bound)):
            start = time.perf_counter()
            answers[name] = decoder.decode(kept, args.threads)
            timings[name] = time.perf_counter() - start
        same = sum([(s.phonemes, s.weight) for s in a] ==
                   [(s.phonemes, s.weight) for s in b]
                   for a, b in zip(answers["full"], answers["bound"]))
        listed = full.candidates(kept, args.threads, scored=False)
        scored = bound.candidates(kept, args.threads, keep=nbest)
        total = sum(len(c) for c in listed)
        left = sum(len(c) for c in scored)
        print(f"nbest {nbest}: {len(kept)} words ({len(words) - len(kept)} "
              f"not plainly spelled, skipped); identical answers "
              f"{same}/{len(kept)}; candidates scored per word "
              f"{total / len(kept):.2f} full, {left / len(kept):.2f} with "
              f"the bound; {timings['full']:.1f} s against "
              f"{timings['bound']:.1f} s")


if __name__ == "__main__":
    main()
