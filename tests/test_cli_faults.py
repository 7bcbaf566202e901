"""`tamsu apply` (shipped model) when a worker dies or on Ctrl-C."""

import os
import signal
import subprocess
import sys

import pytest

BATCH = b"abc\n" * 3000  # enough output to pass the stdout buffer


def start_apply(jobs):
    """`tamsu apply` on an open standard input, once it printed a line
    (unbuffered: communicate() reads the pipes directly afterwards)."""
    child = subprocess.Popen(
        [sys.executable, "-m", "tamsu", "apply", "--jobs", str(jobs)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        bufsize=0, start_new_session=True,
        # A shell that runs the suite in the background starts it with
        # SIGINT ignored, which the child would inherit.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    child.stdin.write(BATCH)
    first = child.stdout.readline()
    assert first.startswith(b"abc\t1\t"), child.stderr.read()
    return child, first


def finish(child, more=None):
    try:
        return child.communicate(more, timeout=10)
    finally:
        child.kill()
        child.wait()


@pytest.mark.parametrize("jobs", [1, 2])
def test_ctrl_c_exits_130_with_a_one_line_note(jobs):
    child, _ = start_apply(jobs)
    os.killpg(child.pid, signal.SIGINT)  # as a terminal does
    assert finish(child)[1] == b"tamsu: interrupted\n"
    assert child.returncode == 130


@pytest.mark.parametrize("command, first", [
    ("apply -f WORDS", b"abc\t1\t"), ("models list", b"name\tcached\t")])
def test_a_reader_that_goes_away_ends_the_run_quietly(tmp_path, command,
                                                      first):
    words = tmp_path / "words.txt"
    words.write_bytes(BATCH * 7)  # far more output than a pipe holds
    command = command.replace("WORDS", f"'{words}'")
    result = subprocess.run(
        ["bash", "-c", f"set -o pipefail; '{sys.executable}' -m tamsu "
         f"{command} | head -1"], capture_output=True, timeout=120)
    assert (result.returncode, result.stdout[:len(first)]) == (0, first)
    assert b"error" not in result.stderr
