"""Training on one thread while two others load and decode, in a child
process: nothing reaches stderr, loads report their own errors, and the exit
is clean (a std::cerr left on a destroyed buffer used to crash it)."""

import subprocess
import sys

SCRIPT = r"""
import os, sys, threading, tamsu
from tamsu import _train

LEXICON = [("phone", "F OW N"), ("fox", "F AA K S"), ("tax", "T AE K S"),
           ("cat", "K AE T"), ("knot", "N AA T"), ("tone", "T OW N")]
path, bad = (os.path.join(sys.argv[1], name) for name in ("m.fst", "bad.fst"))
tamsu.train(LEXICON, path, order=3, threads=1, progress=False)
with open(bad, "w") as f:
    f.write("not a model")
expected = [tamsu.Model(path).phoneticize(w) for w, _ in LEXICON]
# Each decoder finishes a round after training reports its start and before
# it reports writing: the overlap is certain, not left to the scheduler.
began, decoded = (threading.Barrier(3, timeout=60) for _ in "ab")
trained, failures, stages = threading.Event(), [], []

def check():
    if [tamsu.Model(path).phoneticize(w) for w, _ in LEXICON] != expected:
        failures.append("a decode changed")
    try:
        tamsu.Model(bad)
    except ValueError as e:
        failures.extend([] if "Magic number" in str(e) else [str(e)])

def decode():
    began.wait()
    check()
    decoded.wait()
    while not trained.is_set():
        check()

def progress(stage, done, total):
    if not stages or stage == "writing" != stages[-1]:
        (decoded if stages else began).wait()
    stages.append(stage)

def train():
    try:
        _train.train_model([(list(w), p.split()) for w, p in LEXICON],
                           path + ".2", order=3, progress=progress)
    finally:
        trained.set()

threads = [threading.Thread(target=f) for f in (train, decode, decode)]
[thread.start() for thread in threads]
[thread.join() for thread in threads]
print(failures)
"""


def test_train_while_loading_and_decoding(tmp_path):
    result = subprocess.run(
        [sys.executable, "-X", "dev", "-c", SCRIPT, str(tmp_path)],
        capture_output=True, text=True, timeout=300)
    assert (result.returncode, result.stderr, result.stdout) == (0, "", "[]\n")
