"""The lattice search against OpenFst's route (forced with the private
`_tamsu._set_route`), on seeded models full of ties: every list must be
exactly OpenFst's, down to the order among equal weights and float bits."""

import os
import random
import signal
import subprocess
import sys
import time

import pytest

import tamsu
from conftest import compile_model
from test_differential import GRAPHEMES, ISYMS, OSYMS, random_model
from tamsu import _tamsu

# Few values, so that sums of different paths often agree exactly; 0.0005
# and -0.0004 make epsilon arcs the path reading leaves out; 0.1 and 0.7
# make sums whose rounding depends on the order of addition.
WEIGHTS = ["0", "0.5", "1", "1", "1.5", "2", "0.25", "-0.25", "0.0005",
           "-0.0004", "0.1", "0.7"]

OPTION_SETS = [
    dict(nbest=1), dict(nbest=2), dict(nbest=5, accumulate=True),
    dict(nbest=10, beam=3), dict(nbest=3, pmass=1.0),
    dict(nbest=4, threshold=3.0), dict(nbest=40, accumulate=True, pmass=2.0),
    dict(nbest=2**63, beam=4), dict(nbest=0)]


def records(paths):
    return [(p.path_weight, list(p.path_weights), list(p.ilabels),
             list(p.olabels), list(p.uniques)) for p in paths]


@pytest.fixture(scope="module")
def tie_models(tmp_path_factory):
    directory = tmp_path_factory.mktemp("ties")
    return [(seed, compile_model(directory, f"ties{seed}", random_model(
        random.Random(seed), weights=WEIGHTS), ISYMS, OSYMS))
        for seed in range(12)]


def test_routes_give_the_same_lists(tie_models):
    taken = {"lattice": 0, "openfst": 0, "none": 0}
    for seed, path in tie_models:
        model = tamsu.Model(path)
        assert _tamsu._route(model)[0] == "lattice"
        rng = random.Random(seed)
        for _ in range(30):
            letters = GRAPHEMES + ["x"] * (rng.random() < 0.1)
            word = "".join(rng.choice(letters)
                           for _ in range(rng.randint(1, 7)))
            for options in OPTION_SETS:
                _tamsu._set_route(model, "auto")
                fast = records(model.phoneticize_paths(word, **options))
                taken[_tamsu._route(model)[1]] += 1
                _tamsu._set_route(model, "openfst")
                reference = records(model.phoneticize_paths(word, **options))
                assert _tamsu._route(model)[1] != "lattice"
                assert fast == reference, (seed, word, options)
    # Meaningful only if the search answered most calls itself.
    assert taken["lattice"] > 4 * taken["openfst"], taken


def test_epsilon_cycles_take_openfst_route(tmp_path):
    cycle = tamsu.Model(compile_model(tmp_path, "cycle", """
        0 1 a A 1
        1 2 <eps> S 0.5
        2 1 <eps> <eps> 0.5
        1 0 c K 1
        0 0.5
    """, ISYMS, OSYMS))
    assert _tamsu._route(cycle) == ("openfst: epsilon cycle", "none")
    # Each turn of the cycle says S once more: no end of distinct paths.
    assert cycle.phoneticize_sampling("ac", nbest=3) == [
        ["A", "K"], ["A", "S", "K"], ["A", "S", "S", "K"]]
    assert _tamsu._route(cycle)[1] == "openfst"


SHIPPED = os.path.join(os.path.dirname(tamsu.__file__), "models", "en_us.fst")
PRELUDE = (f"import tamsu\nmodel_path = {SHIPPED!r}\n"
           f"model = tamsu.Model(model_path)")


@pytest.mark.parametrize("call", [
    # A search that runs seconds before its work limit ends it (a long word
    # fails at the lattice limit sooner).
    'model.phoneticize_paths("hello", nbest=2**32, accumulate=True)',
    # Threads busy with long words and a stream of short ones.
    'BatchDecoder(model_path).decode(["abcdefghij" * 1000] * 3 + ["hello"] '
    '* 10**6, nbest=10**6, threads=2)'])
def test_ctrl_c_interrupts_a_long_decode(call):
    code = PRELUDE + f"""
from tamsu._batch import BatchDecoder
print("decoding", flush=True)
try:
    {call}
except KeyboardInterrupt:
    print("interrupted")
"""
    # A shell that starts a job in the background has it ignore SIGINT,
    # which the child would inherit: give it the default back.
    child = subprocess.Popen(
        [sys.executable, "-c", code], stdout=subprocess.PIPE, text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        assert child.stdout.readline().strip() == "decoding"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=10)
    finally:
        child.kill()
        child.wait()
    assert out.strip() == "interrupted"
