"""A tiny lexicon for the training, evaluation and command-line suites."""

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
