"""A tiny lexicon for the training, evaluation and command-line suites, and
a cipher for the neural ones."""

import itertools

LEXICON = [
    ("phone", "F OW N"), ("phonics", "F AA N IH K S"), ("fox", "F AA K S"),
    ("tax", "T AE K S"), ("cat", "K AE T"), ("knot", "N AA T"),
    ("not", "N AA T"), ("photo", "F OW T OW"), ("tone", "T OW N"),
    ("cone", "K OW N"), ("graph", "G R AE F"), ("pat", "P AE T"),
    ("tap", "T AE P"), ("nap", "N AE P"), ("con", "K AA N"),
    ("tic", "T IH K"), ("tin", "T IH N"), ("pin", "P IH N"),
]


def write_lexicon(path, pairs=LEXICON):
    path.write_text("".join(f"{w}\t{p}\n" for w, p in pairs), encoding="utf-8")
    return str(path)


# A cipher for the neural suites: each letter has its own phoneme, but "h"
# is silent.
CIPHER = {"a": "AA", "b": "B", "c": "K", "d": "D", "e": "EH", "h": "",
          "i": "IY", "x": "KS"}
WORDS = ["".join(w) for w in itertools.product(CIPHER, repeat=3)][::4]


def spell(word):
    return " ".join(CIPHER[c] for c in word if CIPHER[c])


CIPHER_DICT = "".join(f"{w}\t{spell(w)}\n" for w in WORDS)
