"""The specialised lattice search against OpenFst's route, on models full
of ties.

A model whose input-epsilon arcs form no cycle is decoded by a search that
replays OpenFst's composition and n-shortest search; every list must be
exactly the one OpenFst's route gives (forced with the private
`_tamsu._set_route`): same records, same order among equal weights, same
float bits. The random backoff models below draw weights from a few
dyadic values, repeat arcs and share targets, so that equal-weight paths
are everywhere. Everything is seeded.
"""

import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import tamsu
from tamsu import _tamsu

GRAPHEMES = ["a", "b", "c", "h", "s"]
IN_CLUSTERS = ["c|h", "s|h", "s|c|h"]
PHONEMES = ["A", "B", "K", "S", "H", "CH"]
OUT_CLUSTERS = ["K|S", "S|_"]
ISYMS = ["<eps>", "|", "_"] + GRAPHEMES + IN_CLUSTERS
OSYMS = ["<eps>", "|", "_"] + PHONEMES + OUT_CLUSTERS
# Few values, so that sums of different paths often agree exactly; 0.0005
# and -0.0004 make epsilon arcs the path reading leaves out; 0.1 and 0.7
# make sums whose rounding depends on the order of addition.
WEIGHTS = ["0", "0.5", "1", "1", "1.5", "2", "0.25", "-0.25", "0.0005",
           "-0.0004", "0.1", "0.7"]

OPTION_SETS = [
    dict(nbest=1),
    dict(nbest=2),
    dict(nbest=5, accumulate=True),
    dict(nbest=10, beam=3),
    dict(nbest=3, pmass=1.0),
    dict(nbest=4, threshold=3.0),
    dict(nbest=40, accumulate=True, pmass=2.0),
    dict(nbest=2**63, beam=4),
]


def compile_model(directory, name, text):
    """Compiles AT&T text over ISYMS and OSYMS (labels 0, 1, ...) into
    DIRECTORY/NAME.fst with both tables kept; returns its path."""
    tables = []
    for side, symbols in (("i", ISYMS), ("o", OSYMS)):
        path = os.path.join(directory, f"{name}.{side}.syms")
        with open(path, "w", encoding="utf-8") as f:
            f.writelines(f"{text}\t{label}\n"
                         for label, text in enumerate(symbols))
        tables.append(path)
    source = os.path.join(directory, f"{name}.txt")
    with open(source, "w", encoding="utf-8") as f:
        f.write(textwrap.dedent(text).strip() + "\n")
    model = os.path.join(directory, f"{name}.fst")
    subprocess.run(["fstcompile", f"--isymbols={tables[0]}",
                    f"--osymbols={tables[1]}", "--keep_isymbols",
                    "--keep_osymbols", source, model], check=True)
    return model


def random_model(directory, seed):
    """A backoff-shaped model: each state but the root backs off to a lower
    state over epsilon arcs; other arcs go anywhere (cycles included)."""
    rng = random.Random(seed)
    num_states = rng.randint(3, 7)
    lines = []
    for state in range(num_states):
        for symbol in GRAPHEMES + IN_CLUSTERS:
            if rng.random() >= (0.95 if state == 0 else 0.4):
                continue
            for _ in range(rng.randint(1, 3)):
                output = rng.choice(["<eps>", "_"] + PHONEMES + OUT_CLUSTERS)
                line = (f"{state} {rng.randrange(num_states)} {symbol} "
                        f"{output} {rng.choice(WEIGHTS)}")
                lines.append(line)
                if rng.random() < 0.1:
                    lines.append(line)  # the very same arc twice
        if state > 0:
            lines.append(f"{state} {rng.randrange(state)} <eps> <eps> "
                         f"{rng.choice(WEIGHTS)}")
            if rng.random() < 0.4:
                lines.append(f"{state} {rng.randrange(state)} <eps> "
                             f"{rng.choice(PHONEMES)} {rng.choice(WEIGHTS)}")
        if rng.random() < 0.6:
            lines.append(f"{state} {rng.choice(WEIGHTS)}")
    rng.shuffle(lines)
    # The start state's line must come first in fstcompile's input.
    first = next(i for i, line in enumerate(lines) if line.startswith("0 "))
    lines.insert(0, lines.pop(first))
    return compile_model(str(directory), f"ties{seed}", "\n".join(lines))


def random_word(rng):
    letters = GRAPHEMES + ["x"] * (rng.random() < 0.1)
    return "".join(rng.choice(letters) for _ in range(rng.randint(1, 7)))


def records(paths):
    return [(p.path_weight, list(p.path_weights), list(p.ilabels),
             list(p.olabels), list(p.uniques)) for p in paths]


@pytest.fixture(scope="module")
def tie_models(tmp_path_factory):
    directory = tmp_path_factory.mktemp("ties")
    return [(seed, random_model(directory, seed)) for seed in range(12)]


def test_routes_give_the_same_lists(tie_models):
    taken = {"lattice": 0, "openfst": 0, "none": 0}
    for seed, path in tie_models:
        model = tamsu.Model(path)
        assert _tamsu._route(model)[0] == "lattice"
        rng = random.Random(seed)
        for _ in range(30):
            word = random_word(rng)
            for options in OPTION_SETS:
                _tamsu._set_route(model, "auto")
                fast = records(model.phoneticize_paths(word, **options))
                taken[_tamsu._route(model)[1]] += 1
                _tamsu._set_route(model, "openfst")
                reference = records(model.phoneticize_paths(word, **options))
                assert fast == reference, (seed, word, options)
    # The comparison means something only if the search answered most
    # calls itself rather than handing them to OpenFst.
    assert taken["lattice"] > 4 * taken["openfst"], taken


def test_dump_files_take_openfst_route(tie_models, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    model = tamsu.Model(tie_models[0][1])
    paths = model.phoneticize_paths("chab", nbest=3, write_fsts=True)
    assert _tamsu._route(model)[1] == "openfst"
    assert (tmp_path / "chab.lat.fst").exists()
    assert records(paths) == records(model.phoneticize_paths("chab", nbest=3))


def test_epsilon_cycle_model_takes_openfst_route(tmp_path):
    path = compile_model(str(tmp_path), "epsilon_cycle", """
        0 1 a A 1
        1 2 <eps> <eps> 0.5
        2 1 <eps> <eps> 0.5
        1 0 b B 1
        0 0.5
        1 0.25
    """)
    model = tamsu.Model(path)
    assert _tamsu._route(model)[0] == "openfst: epsilon cycle"
    assert model.phoneticize("ab") == ["A", "B"]
    assert _tamsu._route(model)[1] == "openfst"


SHIPPED = os.path.join(os.path.dirname(tamsu.__file__), "models", "en_us.fst")


def run_child(code, *, timeout):
    return subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, timeout=timeout)


@pytest.mark.parametrize("route", ["auto", "openfst"])
def test_huge_nbest_is_bounded_by_what_can_be_returned(route):
    # Before, OpenFst was asked for 2**31 paths of a lattice holding two
    # million: minutes and gigabytes. Now the search stops at the `beam`
    # records selection can return, the first thousand being nbest=1000's.
    code = f"""
import tamsu
model = tamsu.Model({SHIPPED!r})
tamsu._tamsu._set_route(model, {route!r})
huge = model.phoneticize_paths("hello", nbest=2**63, beam=2000)
some = model.phoneticize_paths("hello", nbest=1000)
assert len(huge) == 2000, len(huge)
assert [p.uniques for p in huge[:1000]] == [p.uniques for p in some]
print("ok")
"""
    assert run_child(code, timeout=60).stdout.strip() == "ok"


def test_ctrl_c_interrupts_a_long_decode():
    code = f"""
import tamsu
model = tamsu.Model({SHIPPED!r})
print("decoding", flush=True)
try:
    model.phoneticize_paths("abcdefghij" * 1000, nbest=10**6)
except KeyboardInterrupt:
    print("interrupted")
"""
    child = subprocess.Popen([sys.executable, "-c", code],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "decoding"
        time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=10)
    finally:
        child.kill()
        child.wait()
    assert out.strip() == "interrupted"
