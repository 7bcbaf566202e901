"""`tamsu apply` when a worker dies or the user presses Ctrl-C."""

import os
import signal
import subprocess
import sys

import pytest


def compile_model(directory):
    """A one-state model reading a, b, c as themselves."""
    symbols = ["<eps>", "|", "_", "a", "b", "c"]
    table = directory / "symbols.txt"
    table.write_text("".join(f"{s}\t{i}\n" for i, s in enumerate(symbols)))
    arcs = directory / "model.txt"
    arcs.write_text("0 0 a a 1\n0 0 b b 1\n0 0 c c 1\n0 0\n")
    model = directory / "model.fst"
    subprocess.run(["fstcompile", f"--isymbols={table}",
                    f"--osymbols={table}", "--keep_isymbols",
                    "--keep_osymbols", str(arcs), str(model)], check=True)
    return str(model)


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    return compile_model(tmp_path_factory.mktemp("faults"))


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


def test_a_killed_worker_ends_the_run_with_1_keeping_written_lines(model):
    child, first = start_apply(model, jobs=2)
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
def test_ctrl_c_exits_130_with_a_one_line_note(model, jobs):
    child, _ = start_apply(model, jobs)
    os.killpg(child.pid, signal.SIGINT)  # as a terminal does
    try:
        _, err = child.communicate(timeout=10)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 130
    assert err == b"tamsu: interrupted\n"
