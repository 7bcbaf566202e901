"""Training on one thread while two others load and decode, in a child
process: nothing reaches standard error, every load reports its own error
only, and the interpreter exits cleanly (a std::cerr left on a destroyed
buffer used to crash at exit)."""

import subprocess
import sys

from train_data import write_lexicon

SCRIPT = r"""
import sys, threading
import tamsu
from tamsu.training import train

model_path, lexicon, output, *damaged = sys.argv[1:]
WORDS = ["abc", "ch", "bach", "cab"]
failures = []
trained = threading.Event()


def decode(index):
    try:
        bad = damaged[index]
        # Until training is over, so that decoding overlaps all of it.
        while not trained.is_set():
            model = tamsu.Model(model_path)
            if [model.phoneticize(w) for w in WORDS] != expected:
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
            train(lexicon, output, order=3, threads=1, progress=False)
    except BaseException as e:
        failures.append(repr(e))
    finally:
        trained.set()


expected = [tamsu.Model(model_path).phoneticize(w) for w in WORDS]
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


def test_train_while_loading_and_decoding(tmp_path, simple_model_path):
    damaged = []
    for i in range(2):
        path = tmp_path / f"damaged{i}.fst"
        path.write_text("not a model")
        damaged.append(str(path))
    lexicon = write_lexicon(tmp_path / "lexicon.dict")
    result = subprocess.run(
        [sys.executable, "-X", "dev", "-c", SCRIPT, simple_model_path, lexicon,
         str(tmp_path / "trained.fst"), *damaged],
        capture_output=True, text=True, timeout=300)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == "[] True False\n"
