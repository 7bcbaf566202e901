"""Model files built to crash or hang a decoder, each tried in a child
process so that a crash or a hang fails the test, not the suite."""

import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import compile_model

SYMBOLS = ["<eps>", "|", "_", "a", "b", "A", "B"]


def loop_model(tmp_path, loop):
    """a:A into state 1, `loop` (epsilon arcs from 1), b:B back to 0."""
    return compile_model(tmp_path, "m", f"0 1 a A 1.0\n{loop}\n1 0 b B 1.0\n"
                         "0 0.0\n1 0.0", SYMBOLS, SYMBOLS)


def load_and_decode(path):
    """The child's output: the load error, or the best paths of "ab"."""
    script = ("import sys, tamsu\ntry:\n    print(tamsu.Model(sys.argv[1])"
              ".phoneticize_paths('ab', nbest=2))\n"
              "except ValueError as e:\n    print('error:', e)\n")
    result = subprocess.run([sys.executable, "-X", "dev", "-c", script, path],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    return result.stdout.strip()


def test_stored_properties_are_not_trusted(tmp_path):
    # OpenFst's search would take the claim and index past its state order.
    path = loop_model(tmp_path, "1 2 <eps> <eps> 0.5\n2 1 <eps> <eps> 0.5")
    honest = load_and_decode(path)
    data = bytearray(Path(path).read_bytes())
    offset = 4  # the magic number, two type strings, version and flags
    for _ in range(2):
        offset += 4 + struct.unpack_from("<i", data, offset)[0]
    # Claims: top sorted, acyclic, initially acyclic, no epsilons.
    struct.pack_into("<Q", data, offset + 8, 0x68_0A80_0003)
    Path(path).write_bytes(data)
    assert load_and_decode(path) == honest
    assert honest.startswith("[PathData(")


@pytest.mark.parametrize("loop, states", [
    ("1 2 <eps> <eps> 0.5\n2 1 <eps> <eps> -0.5001", "12"),
    ("1 2 <eps> B 0.5\n2 2 <eps> <eps> -1e-3", "2"),
])
def test_negative_epsilon_cycle_is_a_read_failure(tmp_path, loop, states):
    path = loop_model(tmp_path, loop)
    assert re.match(rf"error: failed to read FST: {re.escape(path)}: epsilon "
                    rf"arcs form a cycle of negative weight through state "
                    rf"[{states}] ", load_and_decode(path))



def test_entangled_epsilons_stop_at_the_work_limit(tmp_path):
    # Every path of "aaaaaaa" spells A seven times: a search for two
    # pronunciations would go through every tangle of epsilon arcs (GBs,
    # tens of seconds) before giving up. Under 1 GB it stops at the work
    # limit with the one pronunciation it completed.
    n = 150
    arcs = [f"{i} {j} <eps> <eps> {0.01 * (1 + (3 * i + j) % 5):.2f}"
            for i in range(n) for j in range(n)]
    arcs += [f"{i} {(i + 1) % n} a A 1.0\n{i} 0.0" for i in range(n)]
    path = compile_model(tmp_path, "m", "\n".join(arcs), SYMBOLS, SYMBOLS)
    script = ("import resource, sys, tamsu\nfrom tamsu import _tamsu\n"
              "resource.setrlimit(resource.RLIMIT_AS, (2**30, 2**30))\n"
              "model = tamsu.Model(sys.argv[1])\n"
              "for decode in model.phoneticize_paths, model.phoneticize_sampling:\n"
              "    print(decode('aaaaaaa', nbest=2), _tamsu._last_failure(model))\n")
    result = subprocess.run([sys.executable, "-X", "dev", "-c", script, path],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == (
        "[PathData(path_weight=7.0000, uniques=[5, 5, 5, 5, 5, 5, 5])] none\n"
        "[['A', 'A', 'A', 'A', 'A', 'A', 'A']] none\n")
