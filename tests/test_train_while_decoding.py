"""Training on one thread while two others load and decode, in a child
process: nothing reaches standard error, every load reports its own error
only, and the interpreter exits cleanly (a std::cerr left on a destroyed
buffer used to crash at exit)."""

import subprocess
import sys

SCRIPT = r"""
import os, sys, threading
import tamsu
from tamsu.training import train

directory = sys.argv[1]
LEXICON = [("phone", "F OW N"), ("fox", "F AA K S"), ("tax", "T AE K S"),
           ("cat", "K AE T"), ("knot", "N AA T"), ("photo", "F OW T OW"),
           ("tone", "T OW N"), ("cone", "K OW N"), ("pat", "P AE T")]
model_path = os.path.join(directory, "model.fst")
train(LEXICON, model_path, order=3, threads=1, progress=False)
damaged = [os.path.join(directory, f"damaged{i}.fst") for i in (0, 1)]
for path in damaged:
    with open(path, "w") as f:
        f.write("not a model")
words = [word for word, _ in LEXICON]
expected = [tamsu.Model(model_path).phoneticize(w) for w in words]
failures = []
trained = threading.Event()


def decode(index):
    try:
        bad = damaged[index]
        # Until training is over, so that decoding overlaps all of it.
        while not trained.is_set():
            model = tamsu.Model(model_path)
            if [model.phoneticize(w) for w in words] != expected:
                failures.append("a decode changed")
            try:
                tamsu.Model(bad)
            except ValueError as e:
                if bad not in str(e) or damaged[1 - index] in str(e):
                    failures.append(f"load of {bad}: {e}")
            del model
    except BaseException as e:
        failures.append(repr(e))


def train_models():
    try:
        for _ in range(2):
            train(LEXICON, os.path.join(directory, "trained.fst"), order=3,
                  threads=1, progress=False)
    except BaseException as e:
        failures.append(repr(e))
    finally:
        trained.set()


threads = [threading.Thread(target=train_models)]
threads += [threading.Thread(target=decode, args=(i,)) for i in (0, 1)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
try:
    tamsu.Model(damaged[0])
except ValueError as e:
    message = str(e)
print(failures, damaged[0] in message, damaged[1] in message)
"""


def test_train_while_loading_and_decoding(tmp_path):
    result = subprocess.run(
        [sys.executable, "-X", "dev", "-c", SCRIPT, str(tmp_path)],
        capture_output=True, text=True, timeout=300)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == "[] True False\n"
