"""Generates the benchmark's model and word list, deterministically.

The model has the shape of a trained joint n-gram G2P model: a backoff
4-gram over grapheme:phoneme pairs. Its states are histories of pairs (the
root is the empty history); each explicit n-gram is an arc that reads a
grapheme (or a grapheme cluster such as "c|h"), writes a phoneme (or a
phoneme cluster such as "K|S", or the skip symbol "_"), and leads to the
longest known history it ends in; each state backs off to its shorter
history over an epsilon:epsilon arc. Weights are negative log
probabilities. The default size is about 300,000 arcs over 11,000 states.

    .venv/bin/python bench/make_model.py [--out build-bench] [--seed 1]

writes OUT/model.fst (OpenFst binary, both symbol tables embedded) and
OUT/words.txt (one word a line, only known graphemes). Needs fstcompile.

    .venv/bin/python bench/make_model.py --cmu [--order 5]

instead trains a real model, as the speed goals are measured on: `tamsu
train --order N` (other settings default) on the CMU training split (the
shipped dictionary's words outside the test buckets, data/cmudict.py),
into OUT/cmu5.fst, and writes OUT/cmu-words.txt, the held-out test words
(data/en_us/test.dict), for both it and the shipped model. Takes about
a minute.
"""

import argparse
import gzip
import math
import os
import random
import subprocess
import sys

LETTERS = "abcdefghijklmnopqrstuvwxyz"
# English letter frequencies (percent), for words and for pair weights.
LETTER_FREQ = [8.2, 1.5, 2.8, 4.3, 12.7, 2.2, 2.0, 6.1, 7.0, 0.15, 0.77, 4.0,
               2.4, 6.7, 7.5, 1.9, 0.095, 6.0, 6.3, 9.1, 2.8, 0.98, 2.4,
               0.15, 2.0, 0.074]
EXTRA_GRAPHEMES = ["'", "-", "é", "è", "à", "ç", "ü", "ö"]
INPUT_CLUSTERS = ["c|h", "s|h", "t|h", "p|h", "c|k", "g|h", "n|g", "q|u",
                  "w|h", "t|c|h"]
PHONEMES = ["AA", "AE", "AH", "AO", "AW", "AY", "B", "CH", "D", "DH", "EH",
            "ER", "EY", "F", "G", "HH", "IH", "IY", "JH", "K", "L", "M", "N",
            "NG", "OW", "OY", "P", "R", "S", "SH", "T", "TH", "UH", "UW", "V",
            "W", "Y", "Z", "ZH"]
OUTPUT_CLUSTERS = ["K|S", "Y|UW", "W|AH", "Y|AH", "K|W", "G|Z"]
VOWELS = set("aeiouyéèàüö")
VOWEL_PHONEMES = ["AA", "AE", "AH", "AO", "AW", "AY", "EH", "ER", "EY", "IH",
                  "IY", "OW", "OY", "UH", "UW", "Y|UW", "W|AH", "Y|AH"]
CONSONANT_PHONEMES = [p for p in PHONEMES if p not in VOWEL_PHONEMES] + \
    ["K|S", "K|W", "G|Z"]


def joint_tokens(rng):
    """The grapheme:phoneme pairs with their unigram probabilities."""
    tokens = []
    inputs = list(LETTERS) + EXTRA_GRAPHEMES + INPUT_CLUSTERS
    for grapheme in inputs:
        first = grapheme[0]
        pool = VOWEL_PHONEMES if first in VOWELS else CONSONANT_PHONEMES
        count = rng.randint(4, 9) if "|" not in grapheme else rng.randint(1, 3)
        outputs = rng.sample(pool, min(count, len(pool)))
        if rng.random() < 0.6:
            outputs.append("_")  # the grapheme is silent
        if first in LETTERS and "|" not in grapheme:
            base = LETTER_FREQ[LETTERS.index(first)] / 100.0
        else:
            base = 0.002
        # Zipf-shaped split of the grapheme's mass over its phonemes.
        shares = [1.0 / (rank + 1) ** 1.3 for rank in range(len(outputs))]
        norm = sum(shares)
        for output, share in zip(outputs, shares):
            tokens.append((grapheme, output, base * share / norm))
    total = sum(p for _, _, p in tokens)
    return [(g, o, p / total) for g, o, p in tokens]


def build(rng, num_trigram, num_fourgram):
    tokens = joint_tokens(rng)
    count = len(tokens)
    probs = [p for _, _, p in tokens]
    # Histories: () the root, every pair (bigram states), then sampled
    # pair-of-pairs and triples whose suffix is already a history.
    histories = [()] + [(t,) for t in range(count)]
    known = set(histories)
    while len(histories) < 1 + count + num_trigram:
        h = tuple(rng.choices(range(count), probs, k=2))
        if h not in known:
            known.add(h)
            histories.append(h)
    trigram_histories = histories[1 + count:]
    while len(histories) < 1 + count + num_trigram + num_fourgram:
        h = (rng.choices(range(count), probs)[0],) + rng.choice(
            trigram_histories)
        if h not in known:
            known.add(h)
            histories.append(h)
    state_of = {h: s for s, h in enumerate(histories)}

    def target(history, token):
        h = (history + (token,))[-3:]
        while h not in state_of:
            h = h[1:]
        return state_of[h]

    arcs = []  # (state, next state, grapheme, phoneme, weight)
    finals = []
    for state, history in enumerate(histories):
        order = len(history)
        if order == 0:
            successors = range(count)
        else:
            size = {1: rng.randint(80, 240), 2: rng.randint(30, 90),
                    3: rng.randint(8, 30)}[order]
            successors = set(rng.choices(range(count), probs, k=size))
        for token in sorted(successors):
            grapheme, phoneme, p = tokens[token]
            # Higher orders sharpen the unigram estimate with some noise.
            weight = -math.log(p) * rng.uniform(0.55, 1.0) ** order
            arcs.append((state, target(history, token), grapheme, phoneme,
                         weight))
        if order > 0:
            backoff = state_of[history[1:]]
            arcs.append((state, backoff, "<eps>", "<eps>",
                         rng.uniform(0.3, 2.5)))
        if order <= 1:
            finals.append((state, rng.uniform(1.5, 6.0)))
    return histories, arcs, finals


def make_words(rng, count):
    """Random letter strings of English-like lengths (2 to 16, mostly 5 to 9)
    that alternate vowels and consonants loosely."""
    vowels = [c for c in LETTERS if c in VOWELS]
    vowel_weights = [LETTER_FREQ[LETTERS.index(c)] for c in vowels]
    consonants = [c for c in LETTERS if c not in VOWELS]
    consonant_weights = [LETTER_FREQ[LETTERS.index(c)] for c in consonants]
    words = set()
    while len(words) < count:
        length = min(16, max(2, round(rng.gauss(7.5, 2.5))))
        letters = []
        vowel = rng.random() < 0.3
        while len(letters) < length:
            if rng.random() < 0.04:
                letters.append(rng.choice(EXTRA_GRAPHEMES[2:]))
            elif vowel:
                letters.append(rng.choices(vowels, vowel_weights)[0])
            else:
                letters.append(rng.choices(consonants, consonant_weights)[0])
            vowel = not vowel if rng.random() < 0.75 else vowel
        words.add("".join(letters))
    return sorted(words)


def write_symbols(path, symbols):
    with open(path, "w", encoding="utf-8") as f:
        for label, text in enumerate(symbols):
            f.write(f"{text}\t{label}\n")


def make_cmu_model(out, order):
    """Trains the order-`order` model on the CMU training split."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    sys.path.insert(0, os.path.join(root, "data"))
    import cmudict  # the split's definition
    dictionary = os.path.join(root, "src", "tamsu", "models", "en_us.dict.gz")
    train_path = os.path.join(out, "cmu-train.dict")
    with gzip.open(dictionary, "rt", encoding="utf-8") as source, \
            open(train_path, "w", encoding="utf-8") as train:
        for line in source:
            if cmudict.bucket(line.split("\t", 1)[0]) not in \
                    cmudict.TEST_BUCKETS:
                train.write(line)
    model_path = os.path.join(out, f"cmu{order}.fst")
    subprocess.run([sys.executable, "-m", "tamsu", "train", "--order",
                    str(order), "--threads", "1", "--no-progress", "-o",
                    model_path, train_path], check=True)
    with open(os.path.join(root, "data", "en_us", "test.dict"),
              encoding="utf-8") as test:
        words = dict.fromkeys(line.split("\t", 1)[0] for line in test)
    words_path = os.path.join(out, "cmu-words.txt")
    with open(words_path, "w", encoding="utf-8") as f:
        f.write("\n".join(words) + "\n")
    print(f"{model_path}; {words_path}: {len(words)} words", file=sys.stderr)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", default="build-bench",
                        help="output folder (default: build-bench)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--words", type=int, default=5000,
                        help="number of words (default: 5000)")
    parser.add_argument("--trigrams", type=int, default=4000,
                        help="number of 2-pair histories (default: 4000)")
    parser.add_argument("--fourgrams", type=int, default=7000,
                        help="number of 3-pair histories (default: 7000)")
    parser.add_argument("--cmu", action="store_true",
                        help="train a model on the CMU training split "
                             "instead")
    parser.add_argument("--order", type=int, default=5,
                        help="the --cmu model's n-gram order (default: 5)")
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    if args.cmu:
        make_cmu_model(args.out, args.order)
        return

    rng = random.Random(args.seed)
    histories, arcs, finals = build(rng, args.trigrams, args.fourgrams)
    words = make_words(rng, args.words)

    isyms = ["<eps>", "|", "_"] + list(LETTERS) + EXTRA_GRAPHEMES + \
        INPUT_CLUSTERS
    osyms = ["<eps>", "|", "_"] + PHONEMES + OUTPUT_CLUSTERS
    isyms_path = os.path.join(args.out, "model.isyms")
    osyms_path = os.path.join(args.out, "model.osyms")
    write_symbols(isyms_path, isyms)
    write_symbols(osyms_path, osyms)
    text_path = os.path.join(args.out, "model.txt")
    with open(text_path, "w", encoding="utf-8") as f:
        for state, nextstate, grapheme, phoneme, weight in arcs:
            f.write(f"{state}\t{nextstate}\t{grapheme}\t{phoneme}\t"
                    f"{weight:.4f}\n")
        for state, weight in finals:
            f.write(f"{state}\t{weight:.4f}\n")
    model_path = os.path.join(args.out, "model.fst")
    subprocess.run(["fstcompile", f"--isymbols={isyms_path}",
                    f"--osymbols={osyms_path}", "--keep_isymbols",
                    "--keep_osymbols", text_path, model_path], check=True)
    os.remove(text_path)
    words_path = os.path.join(args.out, "words.txt")
    with open(words_path, "w", encoding="utf-8") as f:
        f.write("\n".join(words) + "\n")
    print(f"{model_path}: {len(histories)} states, {len(arcs)} arcs; "
          f"{words_path}: {len(words)} words", file=sys.stderr)


if __name__ == "__main__":
    main()
