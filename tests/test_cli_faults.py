"""`tamsu apply` when a worker dies or the user presses Ctrl-C."""

import os
import signal
import subprocess
import sys

import pytest

WORD = b"abc"
BATCH = (WORD + b"\n") * 3000  # enough output to pass the stdout buffer


def start_apply(model, jobs):
    """Starts `tamsu apply` on a standard input left open; returns it once
    its first line of output is out (the workers are up)."""
    # Unbuffered: communicate() later reads the pipes directly, so nothing
    # may sit in a buffer here.
    child = subprocess.Popen(
        [sys.executable, "-m", "tamsu", "apply", "-m", model,
         "--jobs", str(jobs)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        bufsize=0, start_new_session=True)
    child.stdin.write(BATCH)
    first = child.stdout.readline()
    assert first.startswith(WORD + b"\t1\t"), child.stderr.read()
    return child, first


def grandchildren(pid):
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            parents[int(entry)] = int(fields[1])
    children = {p for p, parent in parents.items() if parent == pid}
    return [p for p, parent in parents.items() if parent in children]


def test_a_killed_worker_ends_the_run_with_1_keeping_written_lines(
        simple_model_path):
    child, first = start_apply(simple_model_path, jobs=2)
    workers = grandchildren(child.pid)
    assert len(workers) == 2
    os.kill(workers[0], signal.SIGKILL)
    try:
        out, err = child.communicate(BATCH, timeout=10)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 1
    assert err == b"tamsu: error: a worker process died (killed by SIGKILL)\n"
    lines = (first + out).splitlines(keepends=True)
    assert len(lines) >= 256 and set(lines) == {first}


@pytest.mark.parametrize("jobs", [1, 2])
def test_ctrl_c_exits_130_with_a_one_line_note(simple_model_path, jobs):
    child, _ = start_apply(simple_model_path, jobs)
    os.killpg(child.pid, signal.SIGINT)  # as a terminal does
    try:
        _, err = child.communicate(timeout=10)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 130
    assert err == b"tamsu: interrupted\n"
