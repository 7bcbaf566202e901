"""Model files built to crash or hang a decoder: each is loaded and decoded
in a child process, so that a segfault or a search that never ends fails
the test instead of the suite."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

import fstbytes

SYMBOLS = "<eps> 0\n| 1\n_ 2\na 3\nb 4\nA 5\nB 6\n"


def loop_model(tmp_path, name, loop):
    """a:A into state 1, `loop` (epsilon arcs from 1), b:B back to 0."""
    (tmp_path / "syms").write_text(SYMBOLS)
    text = tmp_path / f"{name}.txt"
    text.write_text(f"0 1 a A 1.0\n{loop}\n1 0 b B 1.0\n0 0.0\n1 0.0\n")
    path = str(tmp_path / f"{name}.fst")
    syms = str(tmp_path / "syms")
    subprocess.run(["fstcompile", f"--isymbols={syms}", f"--osymbols={syms}",
                    "--keep_isymbols", "--keep_osymbols", str(text), path],
                   check=True)
    return path


def load_and_decode(path):
    """The child's output: the load error, or the best paths of "ab"."""
    script = (
        "import sys, tamsu\n"
        "try:\n"
        "    model = tamsu.Model(sys.argv[1])\n"
        "except ValueError as e:\n"
        "    print('error:', e)\n"
        "else:\n"
        "    print(model.phoneticize_paths('ab', nbest=2))\n")
    result = subprocess.run([sys.executable, "-X", "dev", "-c", script, path],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    return result.stdout.strip()


ACYCLIC = 0x0000004000000000 | 0x0000000800000000 | 0x0000002000000000
NO_EPSILONS = 0x800000 | 0x2000000 | 0x8000000
ACCEPTOR = 0x10000
ERROR = 0x4
EVERY_POSITIVE_BIT = 0x0000_5555_5555_0000


@pytest.mark.parametrize("claims", [ACYCLIC | NO_EPSILONS, ACCEPTOR,
                                    EVERY_POSITIVE_BIT])
def test_stored_properties_are_not_trusted(tmp_path, claims):
    path = loop_model(tmp_path, "m", "1 2 <eps> <eps> 0.5\n2 1 <eps> <eps> 0.5")
    honest = load_and_decode(path)
    assert honest.startswith("[PathData(")
    data = Path(path).read_bytes()
    lying = fstbytes.poke(data, fstbytes.header_offsets(data)["properties"],
                          "<Q", 0b11 | claims)
    (tmp_path / "lying.fst").write_bytes(lying)
    assert load_and_decode(str(tmp_path / "lying.fst")) == honest


def test_stored_error_property_is_a_read_failure(tmp_path):
    path = loop_model(tmp_path, "m", "")
    data = Path(path).read_bytes()
    offset = fstbytes.header_offsets(data)["properties"]
    failed = fstbytes.poke(data, offset, "<Q",
                           fstbytes.read_field(data, "properties") | ERROR)
    (tmp_path / "failed.fst").write_bytes(failed)
    assert load_and_decode(str(tmp_path / "failed.fst")) == (
        f"error: failed to read FST: {tmp_path / 'failed.fst'}: the file "
        "marks the FST as failed (error property set)")


@pytest.mark.parametrize("loop, states", [
    ("1 2 <eps> <eps> 0.5\n2 1 <eps> <eps> -0.5001", "12"),
    ("1 2 <eps> B 0.5\n2 2 <eps> <eps> -1e-3", "2"),
    ("1 2 <eps> <eps> 0\n2 3 <eps> <eps> 0\n3 1 <eps> <eps> -inf", "123"),
])
def test_negative_epsilon_cycle_is_a_read_failure(tmp_path, loop, states):
    path = loop_model(tmp_path, "m", loop)
    message = load_and_decode(path)
    pattern = (rf"error: failed to read FST: {re.escape(path)}: epsilon arcs "
               rf"form a cycle of negative weight through state [{states}] ")
    assert re.match(pattern, message), message


@pytest.mark.parametrize("loop", [
    "1 2 <eps> <eps> 0.1\n2 1 <eps> <eps> -0.1",   # weighs nothing
    "1 2 a <eps> -5\n2 1 <eps> <eps> 1",           # consumes a letter
    "1 2 <eps> <eps> -5\n2 3 <eps> <eps> -5",      # no cycle
])
def test_other_cycles_load(tmp_path, loop):
    assert load_and_decode(loop_model(tmp_path, "m", loop)).startswith("[")
