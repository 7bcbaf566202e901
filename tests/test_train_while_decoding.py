"""Training while two threads load and decode, in a child process: nothing
reaches stderr, each load reports only its own error, and the exit is clean
(a std::cerr left on a destroyed buffer used to crash it)."""

import subprocess
import sys

SCRIPT = r"""
import os, sys, threading
import tamsu

directory = sys.argv[1]
LEXICON = [("phone", "F OW N"), ("fox", "F AA K S"), ("tax", "T AE K S"),
           ("cat", "K AE T"), ("knot", "N AA T"), ("tone", "T OW N")]
model_path = os.path.join(directory, "model.fst")
tamsu.train(LEXICON, model_path, order=3, threads=1, progress=False)
bad = [os.path.join(directory, f"bad{i}.fst") for i in (0, 1)]
for path in bad:
    with open(path, "w") as f:
        f.write("not a model")
expected = [tamsu.Model(model_path).phoneticize(w) for w, _ in LEXICON]
failures = []
trained = threading.Event()

def decode(i):
    while not trained.is_set():  # overlaps all of the training
        model = tamsu.Model(model_path)
        if [model.phoneticize(w) for w, _ in LEXICON] != expected:
            failures.append("a decode changed")
        try:
            tamsu.Model(bad[i])
        except ValueError as e:
            if bad[i] not in str(e) or bad[1 - i] in str(e):
                failures.append(str(e))

def train_twice():
    try:
        for _ in range(2):
            tamsu.train(LEXICON, os.path.join(directory, "t.fst"), order=3,
                        threads=1, progress=False)
    finally:
        trained.set()

threads = [threading.Thread(target=train_twice)]
threads += [threading.Thread(target=decode, args=(i,)) for i in (0, 1)]
[thread.start() for thread in threads]
[thread.join() for thread in threads]
try:
    tamsu.Model(bad[0])
except ValueError as e:
    print(failures, bad[0] in str(e), bad[1] in str(e))
"""


def test_train_while_loading_and_decoding(tmp_path):
    result = subprocess.run(
        [sys.executable, "-X", "dev", "-c", SCRIPT, str(tmp_path)],
        capture_output=True, text=True, timeout=300)
    assert (result.returncode, result.stderr, result.stdout) == \
        (0, "", "[] True False\n")
